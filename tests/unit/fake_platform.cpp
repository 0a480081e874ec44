#include "fake_platform.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "lookup/platform/platform.h"

FakePlatform& fake_platform()
{
    static FakePlatform instance;
    return instance;
}

namespace {

void record(std::string call)
{
    fake_platform().calls.push_back(std::move(call));
}

constexpr NetSocket kSocket = 7;

}  // namespace

int net_start()
{
    record("start");
    return 0;
}

NetSocket net_socket()
{
    record("socket");
    return kSocket;
}

bool net_resolve(const char* host, std::uint8_t address[4])
{
    record(std::string("resolve ") + host);
    const std::uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(address, loopback, sizeof loopback);
    return fake_platform().resolves;
}

bool net_connect(NetSocket s, const std::uint8_t address[4], std::uint16_t port)
{
    record("connect " + std::to_string(s) + " " + std::to_string(address[0]) + " " +
           std::to_string(port));
    return fake_platform().connects;
}

void net_pause(unsigned milliseconds)
{
    record("pause " + std::to_string(milliseconds));
}

void net_send(NetSocket, const char* data, std::size_t len)
{
    record("send " + std::to_string(len));
    fake_platform().sent.append(data, len);
}

long net_receive(NetSocket, char* buffer, std::size_t capacity)
{
    record("receive " + std::to_string(capacity));
    const FakePlatform& fake = fake_platform();
    const std::size_t n = std::min({fake.reply.size(), capacity,
                                    static_cast<std::size_t>(std::max(fake.receive_result, 0L))});
    std::memcpy(buffer, fake.reply.data(), n);
    return fake.receive_result;
}

void net_shutdown_send(NetSocket s)
{
    record("shutdown " + std::to_string(s));
}

void net_close(NetSocket s)
{
    record("close " + std::to_string(s));
}

void show_message_box(const char* text, const char* title, unsigned flags)
{
    record("box " + std::to_string(flags) + " " + title + ": " + text);
}

void shell_open(const char* address)
{
    record(std::string("open ") + address);
}
