// The platform edge on Linux and other POSIX systems: BSD sockets, a dialog
// through zenity when a desktop is there, and the desktop's "open" command.
#include "lookup/platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

extern char** environ;

namespace {

// Starts `argv[0]` (looked up on the PATH) without a shell, with its standard
// input and output on /dev/null so that nothing it prints lands in ours, and
// with its standard error there too when `quiet` is set. Returns the child's
// pid, or -1.
pid_t spawn_detached_output(char* const argv[], bool quiet)
{
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool has_desktop()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return true;
    }
    return false;
}

int to_fd(NetSocket s)
{
    return static_cast<int>(s);
}

}  // namespace

int net_start()
{
    return 0;  // BSD sockets need no start-up
}

NetSocket net_socket()
{
    return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

bool net_resolve(const char* host, std::uint8_t address[4])
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    sockaddr_in first{};
    std::memcpy(&first, found->ai_addr, sizeof first);
    std::memcpy(address, &first.sin_addr, 4);
    ::freeaddrinfo(found);
    return true;
}

bool net_connect(NetSocket s, const std::uint8_t address[4], std::uint16_t port)
{
    sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    std::memcpy(&target.sin_addr, address, 4);
    int rc;
    do {
        rc = ::connect(to_fd(s), reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

void net_pause(unsigned milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void net_send(NetSocket s, const char* data, std::size_t len)
{
    // A peer that has gone must not end the process through SIGPIPE.
    (void)::send(to_fd(s), data, len, MSG_NOSIGNAL);
}

long net_receive(NetSocket s, char* buffer, std::size_t capacity)
{
    ssize_t got;
    do {
        got = ::recv(to_fd(s), buffer, capacity, 0);
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

void net_shutdown_send(NetSocket s)
{
    ::shutdown(to_fd(s), SHUT_WR);
}

void net_close(NetSocket s)
{
    ::close(to_fd(s));
}

void show_message_box(const char* text, const char* title, unsigned flags)
{
    std::fprintf(stderr, "%s: %s\n", title, text);
    std::fflush(stderr);
    if (!has_desktop())
        return;

    // Joined "--flag=value" forms, so that a text beginning with a dash is
    // never taken for a flag; --no-markup shows it as plain text.
    std::string kind = (flags & 0x40u) != 0 ? "--info" : "--error";
    std::string title_arg = std::string("--title=") + title;
    std::string text_arg = std::string("--text=") + text;
    char program[] = "zenity";
    char no_markup[] = "--no-markup";
    char* argv[] = {program, kind.data(), title_arg.data(), text_arg.data(), no_markup, nullptr};
    // The box is told on standard error in exactly one line; the toolkit's
    // own chatter stays out of it.
    pid_t pid = spawn_detached_output(argv, true);
    if (pid < 0)
        return;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void shell_open(const char* address)
{
    const char* browser = std::getenv("BROWSER");
#if defined(__APPLE__)
    const char* fallback = "open";
#else
    const char* fallback = "xdg-open";
#endif
    const char* program = (browser != nullptr && *browser != '\0') ? browser : fallback;
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(address), nullptr};
    (void)spawn_detached_output(argv, false);
}
