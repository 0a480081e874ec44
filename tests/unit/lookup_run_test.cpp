#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "lookup/driver.h"
#include "lookup/lookup_exchange.h"

namespace {

constexpr char kDigest[] = "0123456789abcdef0123456789abcdef";
const std::string kHost = kServiceHost;
const std::string kTitle = "box 16 Quellarion Brantwicker [by el.Quo]: ";
const std::string kInfoTitle = "box 64 Quellarion Brantwicker [by el.Quo]: ";

std::vector<std::string> up_to_receive()
{
    return {"start", "socket", "resolve " + kHost, "connect 7 127 80", "pause 100",
            "send " + std::to_string(146 + kHost.size()), "receive 1024"};
}

std::vector<std::string> then(std::vector<std::string> calls, const std::string& last)
{
    calls.push_back(last);
    return calls;
}

struct RunCase {
    const char* name;
    bool resolves, connects;
    std::string reply;
    long receive_result;  // -1: the receive fails; otherwise the reply's length is used
    std::vector<std::string> calls;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class RunLookup : public testing::TestWithParam<RunCase> {};

TEST_P(RunLookup, CallsInOrder)
{
    const RunCase& c = GetParam();
    FakePlatform& fake = fake_platform();
    fake = FakePlatform{};
    fake.resolves = c.resolves;
    fake.connects = c.connects;
    fake.reply = c.reply;
    fake.receive_result = c.receive_result < 0 ? -1 : static_cast<long>(c.reply.size());

    EXPECT_EQ(run_lookup(kDigest), 0);
    EXPECT_EQ(fake.calls, c.calls);
    if (!fake.sent.empty()) {
        char request[kRequestBufferSize];
        const std::size_t length = format_lookup_request(request, sizeof request, kHost, kDigest);
        EXPECT_EQ(fake.sent, std::string(request, length));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RunLookup,
    testing::Values(
        RunCase{"ResolutionFails", false, true, "", 0,
                {"start", "socket", "resolve " + kHost, kTitle + "Failed to resolve hostname!"}},
        RunCase{"ConnectionFails", true, false, "", 0,
                {"start", "socket", "resolve " + kHost, "connect 7 127 80",
                 kTitle + "Could not connect to server!", "shutdown 7", "close 7"}},
        RunCase{"ReportOpened", true, true, "x located <a href=\"/r/1\">", 0,
                then(up_to_receive(), "open http://" + kHost + "/r/1\">")},
        RunCase{"NotHeld", true, true, "located <a href=\"/buscaHash.html\"", 0,
                then(up_to_receive(), kInfoTitle + "Quellarion don't known this hash!")},
        RunCase{"NoMarker", true, true, "HTTP/1.0 500 Oops\r\n\r\n", 0,
                then(up_to_receive(), kTitle + "Unexpected reply from server!")},
        RunCase{"ReceiveFails", true, true, "located <a href=\"/r/1", -1,
                then(up_to_receive(), kTitle + "Unexpected reply from server!")}),
    [](const testing::TestParamInfo<RunCase>& p) { return p.param.name; });

// No file named: a count of 1, and a count of 0 (an empty vector, where
// argv[1] would lie past its end), show the box and touch nothing else.
TEST(LookupMain, NoFileNamedShowsOnlyTheBox)
{
    char name[] = "brantwicker";
    char* just_name[] = {name, nullptr};
    char* empty[] = {nullptr};
    for (auto [argc, argv] : {std::pair{1, just_name}, std::pair{0, empty}}) {
        FakePlatform& fake = fake_platform();
        fake = FakePlatform{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(lookup_main(argc, argv), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(fake.calls, std::vector<std::string>{kTitle + "Can't get file!"}) << argc;
    }
}

TEST(LookupMain, UnreadableFileEndsTheRunBeforeTheNetwork)
{
    char name[] = "brantwicker";
    char missing[] = "/nonexistent/brantwicker-test";
    char* argv[] = {name, missing, nullptr};
    FakePlatform& fake = fake_platform();
    fake = FakePlatform{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(lookup_main(2, argv), 0);
    EXPECT_TRUE(testing::internal::GetCapturedStdout().starts_with("Error: FileName='"));
    EXPECT_TRUE(fake.calls.empty());
}

}  // namespace
