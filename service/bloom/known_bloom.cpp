#include "service/bloom/known_bloom.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>


void bloom_value(std::span<const unsigned char> digest, std::string& out)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    out.resize(2 * digest.size());
    for (std::size_t i = 0; i < digest.size(); ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
}

std::optional<BloomFilter> make_known_bloom(Store& store, BloomRequest request, std::string& error)
{
    request.filter.with_sha1 = !request.md5;
    std::uint64_t files = 0;
    if (store.count_files(request.filter, files, error) != StoreStatus::Ok)
        return std::nullopt;
    // An import may commit between the count and the walk: a filter that
    // took more values than its capacity would be refused by its readers,
    // so it is made again for the larger count.
    for (;;) {
        BloomFilter filter(bloom_sizing(files, request.p));
        std::uint64_t seen = 0;
        std::vector<std::string> texts;
        std::vector<std::string_view> values;
        const auto visit = [&](std::span<const HeldDigests> batch) {
            texts.resize(std::max(texts.size(), batch.size()));
            values.clear();
            for (const HeldDigests& file : batch) {
                std::string& text = texts[values.size()];
                if (request.md5)
                    bloom_value(file.md5, text);
                else if (file.sha1)
                    bloom_value(*file.sha1, text);
                else
                    continue;
                values.push_back(text);
            }
            filter.add_all(values);
            seen += values.size();
            return true;
        };
        if (store.walk_files(request.filter, visit, error) != StoreStatus::Ok)
            return std::nullopt;
        if (seen <= filter.sizing().n)
            return filter;
        files = seen;
    }
}

namespace {

bool write_all(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t wrote = ::write(fd, bytes, size);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        bytes += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
    return true;
}

}  // namespace

bool write_filter(const BloomFilter& filter, const std::string& out, std::string& error)
{
    const std::string partial = out + ".partial";
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = partial + ": " + std::strerror(errno);
        return false;
    }
    const std::string header = filter.header();
    bool good = write_all(fd, header.data(), header.size());
    // The words go out little-endian, a piece at a time.
    std::string piece;
    const std::vector<std::uint64_t>& words = filter.words();
    for (std::size_t i = 0; good && i < words.size(); i += 8192) {
        piece.clear();
        for (std::size_t j = i; j < std::min(words.size(), i + 8192); ++j)
            for (int b = 0; b < 8; ++b)
                piece += static_cast<char>((words[j] >> (8 * b)) & 0xff);
        good = write_all(fd, piece.data(), piece.size());
    }
    good = good && ::fsync(fd) == 0;
    if (!good)
        error = partial + ": " + std::strerror(errno);
    if (::close(fd) != 0 && good) {
        error = partial + ": " + std::strerror(errno);
        good = false;
    }
    if (good && ::rename(partial.c_str(), out.c_str()) != 0) {
        error = out + ": " + std::strerror(errno);
        good = false;
    }
    if (!good)
        ::unlink(partial.c_str());
    return good;
}
