// The platform edge on Windows: Windows Sockets 2, a message box and the
// shell's "open" verb. This is the only file that includes Windows headers.
#include "lookup/platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <climits>
#include <cstring>

namespace {

// Version 2.0: major version in the low byte, minor in the high byte.
constexpr WORD kWinsockVersion = 0x0002;

SOCKET to_socket(NetSocket s)
{
    return static_cast<SOCKET>(s);
}

int clamp_to_int(std::size_t len)
{
    return len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

}  // namespace

int net_start()
{
    WSADATA data;
    if (::WSAStartup(kWinsockVersion, &data) != 0)
        return 1;
    if ((data.wVersion & 0xFFu) == 2 && (data.wVersion >> 8) == 0)
        return 0;
    ::WSACleanup();
    return 2;
}

NetSocket net_socket()
{
    return static_cast<NetSocket>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

bool net_resolve(const char* host, std::uint8_t address[4])
{
    const hostent* found = ::gethostbyname(host);
    // A record without a single address has nothing to connect to.
    if (found == nullptr || found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr)
        return false;
    std::memcpy(address, found->h_addr_list[0], 4);
    return true;
}

bool net_connect(NetSocket s, const std::uint8_t address[4], std::uint16_t port)
{
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = ::htons(port);
    std::memcpy(&target.sin_addr, address, 4);
    return ::connect(to_socket(s), reinterpret_cast<const sockaddr*>(&target),
                     static_cast<int>(sizeof target)) == 0;
}

void net_pause(unsigned milliseconds)
{
    ::Sleep(milliseconds);
}

void net_send(NetSocket s, const char* data, std::size_t len)
{
    (void)::send(to_socket(s), data, clamp_to_int(len), 0);
}

long net_receive(NetSocket s, char* buffer, std::size_t capacity)
{
    return ::recv(to_socket(s), buffer, clamp_to_int(capacity), 0);
}

void net_shutdown_send(NetSocket s)
{
    ::shutdown(to_socket(s), SD_SEND);
}

void net_close(NetSocket s)
{
    ::closesocket(to_socket(s));
}

void show_message_box(const char* text, const char* title, unsigned flags)
{
    ::MessageBoxA(nullptr, text, title, MB_OK | flags);
}

void shell_open(const char* address)
{
    ::ShellExecuteA(nullptr, "open", address, nullptr, nullptr, SW_SHOWNORMAL);
}
