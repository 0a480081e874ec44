// Waiting on one non-blocking socket with a deadline: the scanner's client and
// the upload routes bound every wait with it.
#pragma once

#include <poll.h>

#include <cerrno>
#include <chrono>

// True once `fd` is ready for `events` (or in error: the next call on it says
// what went wrong); false when the deadline passed first.
inline bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        pollfd ready{fd, events, 0};
        const int status = ::poll(&ready, 1, static_cast<int>(left));
        if (status != 0 && !(status < 0 && errno == EINTR))
            return true;
    }
}
