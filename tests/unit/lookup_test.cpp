// The request bytes and the substring replacement beneath the reply rules.
// What replies mean is told by the end-to-end cases (tests/e2e/cases), which
// run the same rules through the real program on every platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lookup/lookup_exchange.h"
#include "lookup/replace_all.h"

namespace {

constexpr char kDigest[] = "0123456789abcdef0123456789abcdef";

// The bytes for any host, with the rest of the buffer cleared; and where the
// request would not fit (one byte short of room for its terminator) or has no
// digest, no request at all, not half of one.
TEST(LookupRequest, WholeOrNothingWithTheBufferClearedBehind)
{
    struct Case { std::string host; std::size_t capacity; const char* digest; bool whole; };
    const Case cases[] = {
        {"h", kRequestBufferSize, kDigest, true},
        {std::string(1000, 'a'), kRequestBufferSize, kDigest, true},
        {"host.test", 146 + 9, kDigest, false},
        {"h", kRequestBufferSize, nullptr, false},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer(c.capacity, 'Z');
        const std::size_t length =
            format_lookup_request(buffer.data(), buffer.size(), c.host, c.digest);
        EXPECT_EQ(std::string(buffer.data(), length),
                  !c.whole ? "" : "POST /qn/en/consultamd5 HTTP/1.0\r\nHost: " + c.host +
                      "\r\nUser-Agent: el.Agent [by el.Quo]\r\nContent-Length: 48\r\n\r\n"
                      "hash=0123456789abcdef0123456789abcdef&x=166&y=22") << c.host;
        EXPECT_EQ(std::string(buffer.begin() + static_cast<long>(length), buffer.end()),
                  std::string(c.capacity - length, '\0'));
    }
}

TEST(ReplaceAll, LeftToRightWithoutOverlap)
{
    struct Case { std::string pattern, replacement, subject, expected; };
    const Case cases[] = {
        {"", "x", "abc", "abc"},
        {"aa", "b", "aaa", "ba"},
        {"a", "aa", "aba", "aabaa"},  // the replacement is not scanned again
        {"ab", "X", "aab", "aX"},
        {"ab", "", "abcabab", "c"},
        {"abc", "Z", "xxab", "xxab"},
        {"Ab", "Z", "ab Ab AB", "ab Z AB"},
        {std::string("\0\xff", 2), "-", std::string("a\0\xff" "b\0", 5), std::string("a-b\0", 4)},
    };
    for (const Case& c : cases) {
        std::string subject = c.subject;
        EXPECT_EQ(replace_all(c.pattern, c.replacement, subject), c.expected) << c.subject;
        EXPECT_EQ(subject, c.expected);
    }
    std::string subject = "abab";  // a pattern that views into the subject
    EXPECT_EQ(replace_all(std::string_view(subject).substr(0, 2), "x", subject), "xx");
}

}  // namespace
