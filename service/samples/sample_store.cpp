#include "service/samples/sample_store.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <climits>
#include <new>
#include <set>
#include <tuple>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <openssl/evp.h>

namespace fs = std::filesystem;

namespace {

// The level zstd writes at: fast, and most of the gain of the higher ones on
// executables.
constexpr int kLevel = 3;
// The suffix of a kept sample, and the folder its temporary copy is written in.
constexpr const char* kSuffix = ".zst";
constexpr const char* kTempDir = "tmp";

std::string errno_text(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool sync_dir(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool sha256_of(std::span<const unsigned char> bytes, Sha256Bytes& out) {
    unsigned int size = 0;
    return EVP_Digest(bytes.data(), bytes.size(), out.data(), &size, EVP_sha256(), nullptr) == 1 &&
           size == out.size();
}

}  // namespace

std::unique_ptr<SampleStore> SampleStore::open(const std::string& dir, SampleBounds bounds,
                                               std::string& error) {
    std::error_code ec;
    fs::create_directories(fs::path(dir) / kTempDir, ec);
    if (ec) {
        error = "cannot make the samples folder " + dir + ": " + ec.message();
        return nullptr;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        error = errno_text("cannot write in the samples folder", dir);
        return nullptr;
    }
    return std::unique_ptr<SampleStore>(new SampleStore(dir, bounds));
}

std::string SampleStore::path_of(const Sha256Bytes& sha256) const {
    const std::string hex = to_hex(sha256);
    return dir_ + "/" + hex.substr(0, 2) + "/" + hex + kSuffix;
}

bool SampleStore::has(const Sha256Bytes& sha256) const {
    struct stat st {};
    return ::stat(path_of(sha256).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool SampleStore::keep(const Sha256Bytes& sha256, std::span<const unsigned char> bytes,
                       std::string& error, std::uint64_t* stored) {
    const std::string final_path = path_of(sha256);
    if (stored) *stored = 0;
    if (has(sha256)) return true;

    // With the frame's own checksum, a reader that decompresses the sample
    // knows it whole without digesting it again.
    std::vector<unsigned char> packed(ZSTD_compressBound(bytes.size()));
    ZSTD_CCtx* context = ZSTD_createCCtx();
    if (!context) {
        error = "cannot compress a sample: out of memory";
        return false;
    }
    std::size_t packed_size = ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, kLevel);
    if (!ZSTD_isError(packed_size))
        packed_size = ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    if (!ZSTD_isError(packed_size))
        packed_size = ZSTD_compress2(context, packed.data(), packed.size(), bytes.data(), bytes.size());
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(packed_size)) {
        error = std::string("cannot compress a sample: ") + ZSTD_getErrorName(packed_size);
        return false;
    }

    // A name no other writer, in this process or another, uses at once.
    static std::atomic<unsigned long> counter{0};
    const std::string temp = dir_ + "/" + kTempDir + "/" + to_hex(sha256) + "." +
                             std::to_string(::getpid()) + "." + std::to_string(counter++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = errno_text("cannot write", temp);
        return false;
    }
    const bool written = write_all(fd, packed.data(), packed_size) && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!written) {
        errno = saved;
        error = errno_text("cannot write", temp);
        ::unlink(temp.c_str());
        return false;
    }
    const std::string folder = final_path.substr(0, final_path.rfind('/'));
    if (::mkdir(folder.c_str(), 0750) != 0 && errno != EEXIST) {
        error = errno_text("cannot make", folder);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), final_path.c_str()) != 0) {
        error = errno_text("cannot keep", final_path);
        ::unlink(temp.c_str());
        return false;
    }
    bytes_seen_ += packed_size;
    if (stored) *stored = packed_size;
    if (!sync_dir(folder)) {
        error = errno_text("cannot sync", folder);
        return false;
    }
    return true;
}

StoreStatus SampleStore::read(const Sha256Bytes& sha256, std::vector<unsigned char>& out,
                              std::string& error) const {
    const std::string path = path_of(sha256);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return StoreStatus::NotFound;
        error = errno_text("cannot read", path);
        return StoreStatus::Error;
    }
    std::vector<unsigned char> packed;
    unsigned char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno_text("cannot read", path);
            ::close(fd);
            return StoreStatus::Error;
        }
        if (n == 0) break;
        packed.insert(packed.end(), chunk, chunk + n);
    }
    ::close(fd);

    // The frame names its size; a sample written by keep() always does.
    const unsigned long long size = ZSTD_getFrameContentSize(packed.data(), packed.size());
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN ||
        size > kSampleMaxBytes) {
        error = "the sample " + path + " is not one this service wrote";
        return StoreStatus::Error;
    }
    try {
        out.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        error = "no memory for the sample " + path;
        return StoreStatus::Error;
    }
    const std::size_t got = ZSTD_decompress(out.data(), out.size(), packed.data(), packed.size());
    Sha256Bytes digest{};
    if (ZSTD_isError(got) || got != size || !sha256_of(out, digest) || digest != sha256) {
        error = "the sample " + path + " is damaged";
        out.clear();
        return StoreStatus::Error;
    }
    return StoreStatus::Ok;
}

bool SampleStore::list(std::vector<KeptSample>& out, std::string& error) const {
    out.clear();
    std::error_code ec;
    for (fs::directory_iterator top(dir_, ec), end; !ec && top != end; top.increment(ec)) {
        const std::string name = top->path().filename().string();
        if (name.size() != 2 || !top->is_directory(ec)) continue;
        for (fs::directory_iterator it(top->path(), ec); !ec && it != end; it.increment(ec)) {
            const std::string file = it->path().filename().string();
            KeptSample sample;
            if (file.size() != 64 + std::strlen(kSuffix) || !file.ends_with(kSuffix) ||
                !parse_hex(std::string_view(file).substr(0, 64), sample.sha256))
                continue;
            struct stat st {};
            if (::stat(it->path().c_str(), &st) != 0) continue;  // dropped meanwhile
            sample.stored_bytes = static_cast<std::uint64_t>(st.st_size);
            sample.kept_at = st.st_mtim.tv_sec;
            sample.kept_at_ns = st.st_mtim.tv_nsec;
            out.push_back(sample);
        }
    }
    if (ec) {
        error = "cannot list the samples folder " + dir_ + ": " + ec.message();
        return false;
    }
    std::sort(out.begin(), out.end(), [](const KeptSample& a, const KeptSample& b) {
        return std::tie(a.kept_at, a.kept_at_ns, a.sha256) < std::tie(b.kept_at, b.kept_at_ns, b.sha256);
    });
    return true;
}

bool SampleStore::drop_stale_temps(std::int64_t now, std::uint64_t& dropped, std::string& error) {
    const fs::path temps = fs::path(dir_) / kTempDir;
    std::error_code ec;
    for (fs::directory_iterator it(temps, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (now - st.st_mtim.tv_sec < kStaleTempSeconds) continue;
        if (::unlink(it->path().c_str()) == 0)
            ++dropped;
        else if (errno != ENOENT)
            error = errno_text("cannot drop", it->path().string());
    }
    if (ec) {
        error = "cannot list " + temps.string() + ": " + ec.message();
        return false;
    }
    return error.empty();
}

bool SampleStore::prune(std::int64_t now, PruneResult& out, std::string& error) {
    const std::lock_guard lock(pruning_);
    out = PruneResult{};
    error.clear();
    bool ok = drop_stale_temps(now, out.temps_dropped, error);

    std::vector<KeptSample> kept;
    std::string listed;
    if (!list(kept, listed)) {
        error = listed;
        return false;
    }
    std::uint64_t total = 0;
    for (const KeptSample& sample : kept) total += sample.stored_bytes;
    const std::int64_t oldest_kept =
        bounds_.days ? now - static_cast<std::int64_t>(bounds_.days) * 86400 : INT64_MIN;
    // Oldest first: drop from the front while a bound is passed.
    std::size_t first = 0;
    for (; first < kept.size(); ++first) {
        const KeptSample& sample = kept[first];
        const bool too_old = sample.kept_at < oldest_kept;
        const bool too_much = bounds_.max_bytes && total > bounds_.max_bytes;
        if (!too_old && !too_much) break;
        const std::string path = path_of(sample.sha256);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            // Left in place, and still counted: the next prune tries again.
            error = errno_text("cannot drop", path);
            ok = false;
            break;
        }
        total -= sample.stored_bytes;
        ++out.dropped;
    }
    out.left = {kept.size() - out.dropped, total};
    bytes_seen_ = total;
    return ok;
}

std::optional<Sha256Bytes> kept_holder(Store& store, const SampleStore& samples,
                                       const Sha256Bytes& sha256, std::string& error) {
    error.clear();
    if (samples.has(sha256)) return sha256;
    FileRecord record;
    switch (store.find_sha256(sha256, record, error)) {
    case StoreStatus::Ok:
        return kept_holder(store, samples, record, error);
    case StoreStatus::NotFound:
        error.clear();
        return std::nullopt;
    case StoreStatus::Error:
        break;
    }
    return std::nullopt;
}

std::optional<Sha256Bytes> kept_holder(Store& store, const SampleStore& samples,
                                       const FileRecord& record, std::string& error) {
    error.clear();
    if (record.sha256 && samples.has(*record.sha256)) return record.sha256;
    // Found in no archive: nothing to walk, and no look-up spent on it.
    if (!record.sha1 || record.parents.empty()) return std::nullopt;
    // Breadth first, so that the nearest holder is found first; each archive
    // once, so that archives holding one another end.
    std::vector<Sha1Bytes> queue{*record.sha1};
    std::set<Sha1Bytes> seen{*record.sha1};
    for (std::size_t next = 0; next < queue.size(); ++next) {
        std::optional<Sha1Bytes> after;
        for (;;) {
            LinkPage page;
            if (store.archive_links(queue[next], LinkDirection::Parents, after, 64, page, error) !=
                StoreStatus::Ok)
                return std::nullopt;
            for (const Sha1Bytes& parent : page.sha1s) {
                if (seen.size() > kHolderWalkFiles) return std::nullopt;
                if (!seen.insert(parent).second) continue;
                FileRecord held;
                const StoreStatus found = store.find_sha1(parent, held, error);
                if (found == StoreStatus::Error) return std::nullopt;
                error.clear();
                if (found == StoreStatus::NotFound) continue;
                if (held.sha256 && samples.has(*held.sha256)) return held.sha256;
                queue.push_back(parent);
            }
            if (page.sha1s.size() < 64) break;
            after = page.sha1s.back();
        }
    }
    return std::nullopt;
}
