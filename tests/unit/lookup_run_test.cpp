// The driver's and the exchange's order of calls, against a platform edge that
// records each call instead of touching the network or the desktop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "lookup/driver.h"
#include "lookup/lookup_exchange.h"
#include "lookup/platform/platform.h"

namespace {

struct Recording {
    bool resolves = true, connects = true;
    std::string reply;
    long receive_result = 0;  // what net_receive returns
    std::vector<std::string> calls;
    std::string sent;
} fake;

void record(const std::string& call) { fake.calls.push_back(call); }

}  // namespace

int net_start() { record("start"); return 0; }
NetSocket net_socket() { record("socket"); return 7; }
void net_pause(unsigned ms) { record("pause " + std::to_string(ms)); }
void net_shutdown_send(NetSocket s) { record("shutdown " + std::to_string(s)); }
void net_close(NetSocket s) { record("close " + std::to_string(s)); }
void shell_open(const char* address) { record(std::string("open ") + address); }

bool net_resolve(const char* host, std::uint8_t address[4])
{
    record(std::string("resolve ") + host);
    std::memcpy(address, "\x7f\0\0\x01", 4);
    return fake.resolves;
}

bool net_connect(NetSocket s, const std::uint8_t address[4], std::uint16_t port)
{
    record("connect " + std::to_string(s) + " " + std::to_string(address[0]) + " " +
           std::to_string(port));
    return fake.connects;
}

void net_send(NetSocket, const char* data, std::size_t len)
{
    record("send " + std::to_string(len));
    fake.sent.append(data, len);
}

long net_receive(NetSocket, char* buffer, std::size_t capacity)
{
    record("receive " + std::to_string(capacity));
    std::memcpy(buffer, fake.reply.data(), std::min(fake.reply.size(), capacity));
    return fake.receive_result;
}

void show_message_box(const char* text, const char* title, unsigned flags)
{
    record("box " + std::to_string(flags) + " " + title + ": " + text);
}

namespace {

constexpr char kDigest[] = "0123456789abcdef0123456789abcdef";
const std::string kHost = kServiceHost;
const std::string kError = "box 16 Quellarion Brantwicker [by el.Quo]: ";
const std::string kInfo = "box 64 Quellarion Brantwicker [by el.Quo]: ";

TEST(RunLookup, CallsInOrder)
{
    const auto then = [](std::vector<std::string> calls, std::vector<std::string> more) {
        calls.insert(calls.end(), more.begin(), more.end());
        return calls;
    };
    const std::vector<std::string> before = {"start", "socket", "resolve " + kHost};
    const std::vector<std::string> exchange = then(
        before, {"connect 7 127 80", "pause 100", "send " + std::to_string(146 + kHost.size()),
                 "receive 1024"});
    struct Case {
        bool resolves, connects;
        std::string reply;
        long receive_result;  // -1: the receive fails; otherwise the reply's length
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {false, true, "", 0, then(before, {kError + "Failed to resolve hostname!"})},
        {true, false, "", 0,
         then(before, {"connect 7 127 80", kError + "Could not connect to server!", "shutdown 7",
                       "close 7"})},
        {true, true, "x located <a href=\"/r/1\">", 0,
         then(exchange, {"open http://" + kHost + "/r/1\">"})},
        {true, true, "located <a href=\"/buscaHash.html\"", 0,
         then(exchange, {kInfo + "Quellarion don't known this hash!"})},
        {true, true, "HTTP/1.0 500 Oops\r\n\r\n", 0,
         then(exchange, {kError + "Unexpected reply from server!"})},
        {true, true, "located <a href=\"/r/1", -1,
         then(exchange, {kError + "Unexpected reply from server!"})},
    };
    for (const Case& c : cases) {
        fake = {c.resolves, c.connects, c.reply,
                c.receive_result < 0 ? -1 : static_cast<long>(c.reply.size()), {}, {}};
        EXPECT_EQ(run_lookup(kDigest), 0);
        EXPECT_EQ(fake.calls, c.calls) << c.reply;
        char request[kRequestBufferSize];
        const std::size_t length = format_lookup_request(request, sizeof request, kHost, kDigest);
        EXPECT_EQ(fake.sent, c.connects && c.resolves ? std::string(request, length) : "");
    }
}

// No file named (a count of 1, or of 0 where argv[1] lies past the vector),
// or a file that cannot be read: the run ends before the network.
TEST(LookupMain, WithoutADigestNothingReachesTheNetwork)
{
    char name[] = "brantwicker", missing[] = "/nonexistent/brantwicker-test";
    char* just_name[] = {name, nullptr};
    char* empty[] = {nullptr};
    char* unreadable[] = {name, missing, nullptr};
    struct Case { int argc; char** argv; std::vector<std::string> calls; std::string out; };
    const Case cases[] = {
        {1, just_name, {kError + "Can't get file!"}, ""},
        {0, empty, {kError + "Can't get file!"}, ""},
        {2, unreadable, {}, "Error: FileName='/nonexistent/brantwicker-test' -- "},
    };
    for (const Case& c : cases) {
        fake = {};
        testing::internal::CaptureStdout();
        EXPECT_EQ(lookup_main(c.argc, c.argv), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, c.out.size()), c.out) << c.argc;
        EXPECT_EQ(out.empty(), c.out.empty()) << c.argc;
        EXPECT_EQ(fake.calls, c.calls) << c.argc;
    }
}

}  // namespace
