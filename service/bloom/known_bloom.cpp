#include "service/bloom/known_bloom.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "service/commands.h"

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

constexpr char kUsage[] =
    "usage: brantwicker-service export-bloom DB OUT [--fp P] [--verdict good|bad|all]"
    " [--source NAME]... [--digest sha1|md5]\n";

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

// Beside `out` first, then renamed over it: a reader never sees half a file.
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

bool parse_args(int argc, char** argv, std::string& db, std::string& out, BloomRequest& request)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!arg.starts_with("--")) {
            if (db.empty())
                db = arg;
            else if (out.empty())
                out = arg;
            else
                return false;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "brantwicker-service export-bloom: %s needs a value\n", argv[i]);
            return false;
        }
        const std::string value = argv[++i];
        bool good = true;
        if (arg == "--fp") {
            char* end = nullptr;
            request.p = std::strtod(value.c_str(), &end);
            good = !value.empty() && *end == '\0' && request.p > 0 && request.p < 1;
        } else if (arg == "--verdict") {
            good = value == "good" || value == "bad" || value == "all";
            request.filter.verdict = value == "good" ? std::optional(Verdict::Good)
                                   : value == "bad"  ? std::optional(Verdict::Bad) : std::nullopt;
        } else if (arg == "--source") {
            request.filter.sources.push_back(value);
        } else if (arg == "--digest") {
            good = value == "sha1" || value == "md5";
            request.md5 = value == "md5";
        } else {
            std::fprintf(stderr, "brantwicker-service export-bloom: unknown option %s\n", argv[i - 1]);
            return false;
        }
        if (!good) {
            std::fprintf(stderr, "brantwicker-service export-bloom: bad value for %s: %s\n",
                         argv[i - 1], argv[i]);
            return false;
        }
    }
    return !db.empty() && !out.empty();
}

}  // namespace

int export_bloom_command(int argc, char** argv)
{
    std::string db, out;
    BloomRequest request;
    if (!parse_args(argc, argv, db, out, request)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    const std::unique_ptr<Store> store = open_store(db, StoreMode::ReadOnly, error);
    if (!store) {
        std::fprintf(stderr, "brantwicker-service export-bloom: %s\n", error.c_str());
        return 1;
    }
    const std::optional<BloomFilter> filter = make_known_bloom(*store, request, error);
    if (!filter || !write_filter(*filter, out, error)) {
        std::fprintf(stderr, "brantwicker-service export-bloom: %s\n", error.c_str());
        return 1;
    }
    const BloomSizing& sizing = filter->sizing();
    std::fprintf(stderr, "brantwicker-service export-bloom: wrote %s (N %llu, n %llu, p %g, k %llu,"
                         " m %llu bits)\n",
                 out.c_str(), static_cast<unsigned long long>(filter->added()),
                 static_cast<unsigned long long>(sizing.n), sizing.p,
                 static_cast<unsigned long long>(sizing.k), static_cast<unsigned long long>(sizing.m));
    return 0;
}
