#include "lookup/lookup_exchange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr char kHost[] = "host.test";
const std::string kMarker = kReplyMarker;
const std::string kHead = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>It is ";

// 86 characters of link: the closing quote and what follows it belong to it.
const std::string kPath86 = "/reports/0123456789abcdef0123456789abcdef.html\">report</a> and the rest of the page is";

struct ReplyCase {
    const char* name;
    std::string reply;
    ReplyVerdict verdict;
    std::string address;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class ReplyRules : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyRules, Outcome)
{
    const ReplyCase& c = GetParam();
    const ReplyOutcome outcome = interpret_reply(c.reply, kHost);
    EXPECT_EQ(outcome.verdict, c.verdict);
    EXPECT_EQ(outcome.address, c.address);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyRules,
    testing::Values(
        ReplyCase{"Exactly86AfterMarker", kHead + kMarker + kPath86 + " long.</p>",
                  ReplyVerdict::OpenReport, "http://host.test" + kPath86},
        ReplyCase{"FewerThan86", kHead + kMarker + "/r/1\">x</a>",
                  ReplyVerdict::OpenReport, "http://host.test/r/1\">x</a>"},
        ReplyCase{"MarkerAtEnd", kHead + kMarker, ReplyVerdict::OpenReport, "http://host.test"},
        ReplyCase{"SecondMarkerBecomesBlank", kMarker + "/a" + kMarker + "/b",
                  ReplyVerdict::OpenReport, "http://host.test/a /b"},
        ReplyCase{"SearchPageWithQuery", kHead + kMarker + "/buscaHash.html?q=1\">",
                  ReplyVerdict::NotHeld, "http://host.test/buscaHash.html?q=1\">"},
        ReplyCase{"SearchPageExactly", kMarker + "/buscaHash.html", ReplyVerdict::NotHeld,
                  "http://host.test/buscaHash.html"},
        ReplyCase{"SearchPageOtherCase", kMarker + "/BuscaHash.html", ReplyVerdict::OpenReport,
                  "http://host.test/BuscaHash.html"},
        ReplyCase{"ShorterThanSearchPage", kMarker + "/buscaHash.htm", ReplyVerdict::OpenReport,
                  "http://host.test/buscaHash.htm"},
        ReplyCase{"UserInfoPath", kMarker + "@evil.test/x", ReplyVerdict::Unexpected, ""},
        ReplyCase{"LongerHostPath", kMarker + ".evil.test/x", ReplyVerdict::Unexpected, ""},
        ReplyCase{"NoMarker", kHead + "not located</p>", ReplyVerdict::Unexpected, ""},
        ReplyCase{"MarkerOtherCase", "Located <a href=\"/r", ReplyVerdict::Unexpected, ""},
        ReplyCase{"MarkerCutShort", kHead + "located <a href=", ReplyVerdict::Unexpected, ""},
        ReplyCase{"Empty", "", ReplyVerdict::Unexpected, ""}),
    [](const testing::TestParamInfo<ReplyCase>& p) { return p.param.name; });

struct ReceivedCase {
    const char* name;
    std::string bytes;
    long count;
    std::string text;
};

void PrintTo(const ReceivedCase& c, std::ostream* os) { *os << c.name; }

class ReplyText : public testing::TestWithParam<ReceivedCase> {};

TEST_P(ReplyText, IsWhatTheReceiveDeliveredUpToNul)
{
    const ReceivedCase& c = GetParam();
    EXPECT_EQ(reply_text(c.bytes.data(), c.count), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyText,
    testing::Values(ReceivedCase{"Failed", "abc", -1, ""},
                    ReceivedCase{"Closed", "abc", 0, ""},
                    ReceivedCase{"CountBounds", "abcdef", 3, "abc"},
                    ReceivedCase{"CutAtNul", std::string("ab\0cd", 5), 5, "ab"}),
    [](const testing::TestParamInfo<ReceivedCase>& p) { return p.param.name; });

TEST(ReplyText, NulBeforeMarkerHidesIt)
{
    const std::string bytes = std::string("HTTP/1.0 200 OK\0", 16) + kMarker + "/r";
    const auto count = static_cast<long>(bytes.size());
    EXPECT_EQ(interpret_reply(reply_text(bytes.data(), count), kHost).verdict,
              ReplyVerdict::Unexpected);
}

TEST(ReplyText, FullReceiveIsNotReadPast)
{
    // A full receive holds no terminator; the bytes behind it must stay out.
    const std::string tail = kMarker + "/abcdefghi";
    std::vector<char> memory(kReceiveBufferSize - tail.size(), 'h');
    memory.insert(memory.end(), tail.begin(), tail.end());
    memory.insert(memory.end(), 64, 'X');
    const std::string_view text =
        reply_text(memory.data(), static_cast<long>(kReceiveBufferSize));
    EXPECT_EQ(text.size(), kReceiveBufferSize);
    EXPECT_EQ(interpret_reply(text, kHost).address, "http://host.test/abcdefghi");
}

}  // namespace
