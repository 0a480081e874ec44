// The driver's and the exchange's order of calls, against a platform edge that
// records each call, one a line, instead of touching the network or the desktop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "lookup/driver.h"
#include "lookup/lookup_exchange.h"
#include "lookup/platform/platform.h"

namespace {

struct Recording {
    bool resolves = true, connects = true;
    std::string reply;
    long receive_result = 0;  // what net_receive returns: -1 for a failed receive
    std::string calls, sent;
} fake;

void record(const std::string& call) { fake.calls += call + '\n'; }

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

constexpr char kEmptyDigest[] = "d41d8cd98f00b204e9800998ecf8427e";  // of /dev/null
const std::string kHost = kServiceHost;
const std::string kError = "box 16 Quellarion Brantwicker [by el.Quo]: ";
const std::string kInfo = "box 64 Quellarion Brantwicker [by el.Quo]: ";

// From the command line to what the user is shown. Without a file named (a
// count of 1, or of 0 where argv[1] lies past the vector) or one that can be
// read, the run ends before the network.
TEST(LookupMain, CallsInOrder)
{
    char name[] = "brantwicker", empty[] = "/dev/null", missing[] = "/nonexistent/brantwicker-test";
    char* no_args[] = {nullptr};
    char* just_name[] = {name, nullptr};
    char* unreadable[] = {name, missing, nullptr};
    char* readable[] = {name, empty, nullptr};
    char buffer[kRequestBufferSize];  // its bytes are lookup_test.cpp's to check
    const std::string request(
        buffer, format_lookup_request(buffer, sizeof buffer, kHost, kEmptyDigest));
    const std::string digest_line = std::string(kEmptyDigest) + "\n";
    const std::string before = "start\nsocket\nresolve " + kHost + "\n";
    const std::string exchange = before + "connect 7 127 80\npause 100\nsend " +
                                 std::to_string(request.size()) + "\nreceive 1024\n";
    struct Case {
        char** argv;
        bool resolves, connects;
        std::string reply;
        bool receive_fails;
        std::string out, calls;
    };
    const Case cases[] = {
        {no_args, true, true, "", false, "", kError + "Can't get file!\n"},
        {just_name, true, true, "", false, "", kError + "Can't get file!\n"},
        {unreadable, true, true, "", false, "Error: FileName='/nonexistent/brantwicker-test' -- ",
         ""},
        {readable, false, true, "", false, digest_line,
         before + kError + "Failed to resolve hostname!\n"},
        {readable, true, false, "", false, digest_line,
         before + "connect 7 127 80\n" + kError + "Could not connect to server!\n"
                  "shutdown 7\nclose 7\n"},
        {readable, true, true, "x located <a href=\"/r/1\">", false, digest_line,
         exchange + "open http://" + kHost + "/r/1\">\n"},
        {readable, true, true, "located <a href=\"/buscaHash.html\"", false, digest_line,
         exchange + kInfo + "Quellarion don't known this hash!\n"},
        {readable, true, true, "HTTP/1.0 500 Oops\r\n\r\n", false, digest_line,
         exchange + kError + "Unexpected reply from server!\n"},
        {readable, true, true, "located <a href=\"/r/1", true, digest_line,
         exchange + kError + "Unexpected reply from server!\n"},
    };
    for (const Case& c : cases) {
        int argc = 0;
        while (c.argv[argc] != nullptr)
            ++argc;
        fake = {c.resolves, c.connects, c.reply,
                c.receive_fails ? -1 : static_cast<long>(c.reply.size()), {}, {}};
        testing::internal::CaptureStdout();
        EXPECT_EQ(lookup_main(argc, c.argv), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.substr(0, c.out.size()), c.out) << c.calls;
        EXPECT_EQ(out.empty(), c.out.empty()) << c.calls;
        EXPECT_EQ(fake.calls, c.calls) << c.reply;
        EXPECT_EQ(fake.sent, c.calls.find("\nsend ") != std::string::npos ? request : "");
    }
}

}  // namespace
