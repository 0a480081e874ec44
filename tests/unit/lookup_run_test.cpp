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
    bool connects = true;
    std::string reply;
    long receive_result = 0;  // what net_receive returns: -1 for a failed receive
    std::string calls;
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
    return true;
}

bool net_connect(NetSocket s, const std::uint8_t address[4], std::uint16_t port)
{
    record("connect " + std::to_string(s) + " " + std::to_string(address[0]) + " " +
           std::to_string(port));
    return fake.connects;
}

void net_send(NetSocket, const char*, std::size_t len) { record("send " + std::to_string(len)); }

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

// From the command line to the calls made, where the end-to-end cases cannot
// look: a count of 0 (argv[1] lies past the vector), a file that opens but
// cannot be read (a directory: no digest, so nothing is printed or sent), the
// socket released after a failed connect, the pause, the receive's size, and a
// failed receive whose buffer must not be read. What replies mean is theirs to
// tell.
TEST(LookupMain, CallsInOrder)
{
    char name[] = "brantwicker", empty[] = "/dev/null", folder[] = "/";
    char* no_args[] = {nullptr};
    char* readable[] = {name, empty, nullptr};
    char* unreadable[] = {name, folder, nullptr};
    // Its bytes are lookup_test.cpp's and the end-to-end cases' to check.
    char buffer[kRequestBufferSize];
    const std::string request(
        buffer, format_lookup_request(buffer, sizeof buffer, kHost, kEmptyDigest));
    const std::string digest_line = std::string(kEmptyDigest) + "\n";
    const std::string connect = "start\nsocket\nresolve " + kHost + "\nconnect 7 127 80\n";
    const std::string exchange =
        connect + "pause 100\nsend " + std::to_string(request.size()) + "\nreceive 1024\n";
    struct Case {
        int argc;
        char** argv;
        bool connects;
        std::string reply;
        bool receive_fails;
        std::string out, calls;
    };
    const Case cases[] = {
        {0, no_args, true, "", false, "", kError + "Can't get file!\n"},
        {2, unreadable, true, "", false, "", ""},
        {2, readable, false, "", false, digest_line,
         connect + kError + "Could not connect to server!\nshutdown 7\nclose 7\n"},
        {2, readable, true, "x located <a href=\"/r/1\">", false, digest_line,
         exchange + "open http://" + kHost + "/r/1\">\n"},
        {2, readable, true, "located <a href=\"/r/1", true, digest_line,
         exchange + kError + "Unexpected reply from server!\n"},
    };
    for (const Case& c : cases) {
        fake = {c.connects, c.reply, c.receive_fails ? -1 : static_cast<long>(c.reply.size()), {}};
        testing::internal::CaptureStdout();
        EXPECT_EQ(lookup_main(c.argc, c.argv), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.calls;
        EXPECT_EQ(fake.calls, c.calls) << c.reply;
    }
}

}  // namespace
