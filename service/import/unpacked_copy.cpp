#include "service/import/unpacked_copy.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

// The copy being made, for a signal that ends the import meanwhile: a large
// release copied to TMPDIR would otherwise stay there.
char          signalled_path[PATH_MAX];
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_and_end(int number)
{
    ::unlink(signalled_path);
    std::signal(number, SIG_DFL);
    std::raise(number);
}

struct SignalGuard {
    SignalGuard()
    {
        for (std::size_t i = 0; i < std::size(ending_signals); ++i)
            before[i] = std::signal(ending_signals[i], remove_and_end);
    }
    ~SignalGuard()
    {
        for (std::size_t i = 0; i < std::size(ending_signals); ++i)
            std::signal(ending_signals[i], before[i]);
    }
    void (*before[std::size(ending_signals)])(int) = {};
};

std::string mebibytes(std::uint64_t bytes)
{
    return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB";
}

}  // namespace

UnpackedCopy::~UnpackedCopy()
{
    remove_name();
    if (fd_ >= 0)
        ::close(fd_);
}

void UnpackedCopy::remove_name()
{
    if (!path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
}

bool UnpackedCopy::make(const std::string& directory, ByteSource& source, std::optional<std::uint64_t> size,
                        const std::function<void(std::uint64_t)>& copied, std::string& error)
{
    struct statvfs space {};
    if (::statvfs(directory.c_str(), &space) != 0) {
        error = "cannot unpack it in " + directory + ": " + std::strerror(errno);
        return false;
    }
    const std::uint64_t free_bytes = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
    const auto too_big = [&](std::uint64_t needed) {
        error = "not enough free space in " + directory + " to unpack it: " + mebibytes(needed)
              + " needed, " + mebibytes(free_bytes) + " free (TMPDIR chooses where)";
        return false;
    };
    if (size && *size > free_bytes)
        return too_big(*size);

    // mkstemp writes the name before it makes the file, so a signal finds
    // the name of any copy there is.
    const std::string pattern = directory + "/brantwicker-rds-XXXXXX";
    if (pattern.size() >= sizeof signalled_path) {
        error = "cannot unpack it in " + directory + ": the name is too long";
        return false;
    }
    const SignalGuard guard;
    std::memcpy(signalled_path, pattern.c_str(), pattern.size() + 1);
    fd_ = ::mkstemp(signalled_path);
    if (fd_ < 0) {
        error = "cannot unpack it in " + directory + ": " + std::strerror(errno);
        return false;
    }
    path_ = signalled_path;

    std::vector<char> block(64 * 1024);
    std::uint64_t written = 0;
    for (long got; (got = source.read(block.data(), block.size())) != 0;) {
        if (got < 0) {
            error = "read error: " + source.error() + "; nothing imported from it";
            return false;
        }
        // An archive may say less than it holds: the room is checked again.
        written += static_cast<std::uint64_t>(got);
        if (written > free_bytes)
            return too_big(written);
        for (long at = 0; at < got;) {
            const ssize_t put = ::write(fd_, block.data() + at, static_cast<std::size_t>(got - at));
            if (put < 0 && errno != EINTR) {
                error = "cannot unpack it in " + directory + ": " + std::strerror(errno);
                return false;
            }
            at += put > 0 ? put : 0;
        }
        copied(source.consumed());
    }
    return true;
}
