#include "service/analysis/clamd_client.h"
#include "service/analysis/socket_wait.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Longer than any reply clamd gives to the commands used here.
constexpr std::size_t kReplyMax = 4096;

// Between tries at a Unix socket whose queue of connections is full.
constexpr auto kBusyPause = std::chrono::milliseconds(50);

// -1 when it fails; `busy`: because the listener's queue was full, which a
// non-blocking connect to a Unix socket says with EAGAIN.
int connect_one(int family, const sockaddr* address, socklen_t length, Clock::time_point deadline,
                std::string& detail, bool& busy)
{
    busy = false;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        detail = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (::connect(fd, address, length) != 0) {
        int error = errno;
        if (error == EAGAIN && family == AF_UNIX) {
            busy = true;
            detail = "clamd is busy: its queue of connections stayed full";
            ::close(fd);
            return -1;
        }
        if (error == EINPROGRESS || error == EAGAIN) {
            socklen_t size = sizeof error;
            error = !wait_ready(fd, POLLOUT, deadline) ? ETIMEDOUT
                  : ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 ? errno
                  : error;
        }
        if (error != 0 && error != EINPROGRESS && error != EAGAIN) {
            detail = std::string("connect: ") + std::strerror(error);
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

// A full queue is a busy clamd, not a missing one: tried again until the
// deadline, then `fault` is Busy rather than Unreachable.
int connect_to(const ClamdAddress& address, Clock::time_point deadline, std::string& detail,
               ScanFault& fault)
{
    fault = ScanFault::Unreachable;
    if (!address.unix_path.empty()) {
        sockaddr_un local{};
        local.sun_family = AF_UNIX;
        if (address.unix_path.size() >= sizeof local.sun_path) {
            detail = "the socket path is too long";
            return -1;
        }
        std::memcpy(local.sun_path, address.unix_path.c_str(), address.unix_path.size() + 1);
        for (;;) {
            bool busy = false;
            const int fd = connect_one(AF_UNIX, reinterpret_cast<const sockaddr*>(&local),
                                       sizeof local, deadline, detail, busy);
            if (!busy)
                return fd;
            if (Clock::now() + kBusyPause >= deadline) {
                fault = ScanFault::Busy;
                return -1;
            }
            std::this_thread::sleep_for(kBusyPause);
        }
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    if (const int status = ::getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found)) {
        detail = address.host + ": " + ::gai_strerror(status);
        return -1;
    }
    int fd = -1;
    bool busy = false;
    for (const addrinfo* at = found; at && fd < 0; at = at->ai_next)
        fd = connect_one(at->ai_family, at->ai_addr, at->ai_addrlen, deadline, detail, busy);
    ::freeaddrinfo(found);
    return fd;
}

ScanFault send_all(int fd, std::string_view bytes, Clock::time_point deadline, std::string& detail)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_ready(fd, POLLOUT, deadline)) {
                detail = "clamd took no more data in time";
                return ScanFault::TimedOut;
            }
        } else {
            detail = std::string("sending to clamd: ") + std::strerror(errno);
            return ScanFault::Unreachable;
        }
    }
    return ScanFault::None;
}

// One reply, up to its NUL (or the end of the connection).
ScanFault receive_reply(int fd, Clock::time_point deadline, std::string& reply, std::string& detail)
{
    reply.clear();
    std::array<char, 512> piece{};
    for (;;) {
        const ssize_t got = ::recv(fd, piece.data(), piece.size(), 0);
        if (got > 0) {
            reply.append(piece.data(), static_cast<std::size_t>(got));
            if (const std::size_t end = reply.find('\0'); end != std::string::npos) {
                reply.resize(end);
                return ScanFault::None;
            }
            if (reply.size() > kReplyMax) {
                detail = "clamd's reply is too long";
                return ScanFault::Garbled;
            }
        } else if (got == 0) {
            if (reply.empty()) {
                detail = "clamd closed the connection without a reply";
                return ScanFault::Unreachable;
            }
            return ScanFault::None;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!wait_ready(fd, POLLIN, deadline)) {
                detail = "clamd did not answer in time";
                return ScanFault::TimedOut;
            }
        } else {
            detail = std::string("reading from clamd: ") + std::strerror(errno);
            return ScanFault::Unreachable;
        }
    }
}

std::string printable(std::string_view text)
{
    std::string out;
    for (const char c : text.substr(0, 200))
        out += c >= ' ' && c < 127 ? c : '?';
    return out;
}

}  // namespace

std::optional<ClamdAddress> parse_clamd_address(std::string_view text)
{
    ClamdAddress address;
    if (text.find('/') != std::string_view::npos) {
        address.unix_path = std::string(text);
        return address;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string_view port = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (host.empty() || error != std::errc() || end != port.data() + port.size() || value == 0
        || value > 65535)
        return std::nullopt;
    address.host = std::string(host);
    address.port = static_cast<unsigned short>(value);
    return address;
}

std::optional<EngineVersion> parse_version_reply(std::string_view reply)
{
    if (!reply.empty() && reply.back() == '\n')
        reply.remove_suffix(1);
    const std::size_t space = reply.find(' ');
    if (space == std::string_view::npos || reply.substr(0, space) != "ClamAV")
        return std::nullopt;
    EngineVersion version{"ClamAV", {}, {}};
    std::string_view rest = reply.substr(space + 1);
    const std::size_t slash = rest.find('/');
    version.version = std::string(rest.substr(0, slash));
    if (slash != std::string_view::npos) {
        rest.remove_prefix(slash + 1);
        version.signatures = std::string(rest.substr(0, rest.find('/')));
    }
    const auto digits_and_dots = [](std::string_view text, bool dots) {
        return !text.empty() && text.size() <= 32 && text.find_first_not_of(
            dots ? "0123456789.-abcdefghijklmnopqrstuvwxyz" : "0123456789") == std::string_view::npos;
    };
    if (!digits_and_dots(version.version, true)
        || (slash != std::string_view::npos && !digits_and_dots(version.signatures, false)))
        return std::nullopt;
    return version;
}

ScanFault parse_scan_reply(std::string_view reply, ScanVerdict& out)
{
    constexpr std::string_view kStream = "stream: ";
    constexpr std::string_view kFound = " FOUND";
    out = {};
    if (reply.find("size limit exceeded") != std::string_view::npos)
        return ScanFault::TooLarge;
    if (!reply.starts_with(kStream))
        return ScanFault::Garbled;
    reply.remove_prefix(kStream.size());
    if (reply == "OK")
        return ScanFault::None;
    if (!reply.ends_with(kFound))
        return ScanFault::Garbled;
    reply.remove_suffix(kFound.size());
    // Signature names are short printable words; anything else is not clamd.
    if (reply.empty() || reply.size() > 256
        || std::find_if(reply.begin(), reply.end(), [](char c) { return c <= ' ' || c > '~'; })
               != reply.end())
        return ScanFault::Garbled;
    out.found = true;
    out.signature = std::string(reply);
    return ScanFault::None;
}

ScanFault clamd_version(const ClamdAddress& address, std::chrono::milliseconds timeout,
                        EngineVersion& out, std::string& detail)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    ScanFault fault = ScanFault::None;
    const int fd = connect_to(address, deadline, detail, fault);
    if (fd < 0)
        return fault;
    std::string reply;
    fault = send_all(fd, std::string_view("zVERSION", 9), deadline, detail);
    if (fault == ScanFault::None)
        fault = receive_reply(fd, deadline, reply, detail);
    ::close(fd);
    if (fault != ScanFault::None)
        return fault;
    if (auto version = parse_version_reply(reply)) {
        out = *version;
        return ScanFault::None;
    }
    detail = "not clamd's answer to VERSION: \"" + printable(reply) + "\"";
    return ScanFault::Garbled;
}

ClamdStream::~ClamdStream()
{
    if (fd_ >= 0)
        ::close(fd_);
}

ScanFault ClamdStream::open(const ClamdAddress& address, std::chrono::milliseconds timeout,
                            std::string& detail)
{
    timeout_ = timeout;
    ScanFault fault = ScanFault::None;
    fd_ = connect_to(address, Clock::now() + timeout, detail, fault);
    if (fd_ < 0)
        return fault;
    fault = send_all(fd_, std::string_view("zINSTREAM", 10), Clock::now() + timeout_, detail);
    return fault == ScanFault::Unreachable ? broken(detail) : fault;
}

ScanFault ClamdStream::send(std::string_view piece, std::string& detail)
{
    if (piece.empty())
        return ScanFault::None;  // an empty chunk would end the stream
    const auto size = static_cast<std::uint32_t>(piece.size());
    const char length[4] = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                            static_cast<char>(size >> 8), static_cast<char>(size)};
    const Clock::time_point deadline = Clock::now() + timeout_;
    ScanFault fault = send_all(fd_, std::string_view(length, 4), deadline, detail);
    if (fault == ScanFault::None)
        fault = send_all(fd_, piece, deadline, detail);
    return fault == ScanFault::Unreachable ? broken(detail) : fault;
}

ScanFault ClamdStream::finish(ScanVerdict& out, std::string& detail)
{
    const Clock::time_point deadline = Clock::now() + timeout_;
    ScanFault fault = send_all(fd_, std::string_view("\0\0\0\0", 4), deadline, detail);
    if (fault == ScanFault::Unreachable)
        return broken(detail);
    std::string reply;
    if (fault == ScanFault::None)
        fault = receive_reply(fd_, deadline, reply, detail);
    if (fault != ScanFault::None)
        return fault;
    fault = parse_scan_reply(reply, out);
    if (fault == ScanFault::Garbled)
        detail = "not clamd's answer to INSTREAM: \"" + printable(reply) + "\"";
    else if (fault == ScanFault::TooLarge)
        detail = "clamd: " + printable(reply);
    return fault;
}

ScanFault ClamdStream::broken(std::string& detail)
{
    std::string reply, ignored;
    ScanVerdict verdict;
    if (receive_reply(fd_, Clock::now() + std::chrono::milliseconds(200), reply, ignored)
            == ScanFault::None
        && parse_scan_reply(reply, verdict) == ScanFault::TooLarge) {
        detail = "clamd: " + printable(reply);
        return ScanFault::TooLarge;
    }
    return ScanFault::Unreachable;
}
