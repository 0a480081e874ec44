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

TEST(LookupRequest, BytesForAnyHostWithTheBufferClearedBehind)
{
    for (const std::string& host : {std::string("h"), std::string(1000, 'a')}) {
        std::vector<char> buffer(kRequestBufferSize, 'Z');
        const std::size_t length =
            format_lookup_request(buffer.data(), buffer.size(), host, kDigest);
        EXPECT_EQ(std::string(buffer.data(), length),
                  "POST /qn/en/consultamd5 HTTP/1.0\r\nHost: " + host +
                      "\r\nUser-Agent: el.Agent [by el.Quo]\r\nContent-Length: 48\r\n\r\n"
                      "hash=0123456789abcdef0123456789abcdef&x=166&y=22");
        EXPECT_EQ(std::string(buffer.begin() + static_cast<long>(length), buffer.end()),
                  std::string(buffer.size() - length, '\0'));
    }
}

// One byte short of room for the terminator: no request, not half of one.
TEST(LookupRequest, NothingAtAllWhenItDoesNotFit)
{
    std::vector<char> buffer(146 + 9, 'x');
    EXPECT_EQ(format_lookup_request(buffer.data(), buffer.size(), "host.test", kDigest), 0u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(buffer.size(), '\0'));
    EXPECT_EQ(format_lookup_request(buffer.data(), buffer.size(), "h", nullptr), 0u);
}

TEST(ReplaceAll, LeftToRightWithoutOverlap)
{
    struct Case { std::string pattern, replacement, subject, expected; };
    const Case cases[] = {
        {"", "x", "abc", "abc"},
        {"abcd", "x", "abc", "abc"},
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
