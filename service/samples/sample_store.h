// Kept samples: the bytes of each upload, when the operator asks for them to
// be kept, compressed with zstd in a folder of the operator's, named by their
// SHA-256. A sample is written whole or not at all (a temporary name, fsync,
// rename), so a crash leaves either the sample or nothing, and several
// services may share one folder. Nothing here is ever served back over the
// network: the operator reaches the samples on disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "service/store/store.h"

// How long and how much is kept; zero means no bound.
struct SampleBounds {
    std::uint64_t max_bytes = 0;  // --samples-max-bytes: compressed, on disk
    unsigned      days = 0;       // --samples-days
};

// One kept sample, as a listing of the folder gives it.
struct KeptSample {
    Sha256Bytes   sha256{};
    std::uint64_t stored_bytes = 0;  // compressed, on disk
    std::int64_t  kept_at = 0;       // seconds since 1970, UTC
    long          kept_at_ns = 0;    // and nanoseconds, which order keeps within a second
};

// How many samples the folder holds, and their compressed bytes on disk.
struct SampleTotals {
    std::uint64_t samples = 0;
    std::uint64_t bytes = 0;
};

// What one prune did, and what it left.
struct PruneResult {
    SampleTotals  left;
    std::uint64_t dropped = 0;        // samples past a bound
    std::uint64_t temps_dropped = 0;  // temporary files a crashed writer left
};

// A temporary file older than this was left by a writer that died: no write
// of the largest upload takes this long. Younger ones may be another
// service's write in progress, in the same folder.
inline constexpr std::int64_t kStaleTempSeconds = 15 * 60;

// The most bytes a kept sample may decompress to: past what any upload may
// be, so a damaged frame cannot ask for more.
inline constexpr std::uint64_t kSampleMaxBytes = 4'294'967'295ull;

class SampleStore {
public:
    // Opens the folder `dir`, making it when it does not exist. Null on
    // failure, with `error` saying why.
    static std::unique_ptr<SampleStore> open(const std::string& dir, SampleBounds bounds,
                                             std::string& error);

    const std::string& dir() const { return dir_; }
    const SampleBounds& bounds() const { return bounds_; }

    // Keeps `bytes` as the sample of `sha256`. A sample kept already stays as
    // it is. Safe from any thread and from several processes at once.
    // `stored`, when given, gets the compressed bytes written (0 when the
    // sample was kept already).
    bool keep(const Sha256Bytes& sha256, std::span<const unsigned char> bytes, std::string& error,
              std::uint64_t* stored = nullptr);

    bool has(const Sha256Bytes& sha256) const;

    // The sample's bytes, as uploaded. NotFound when it is not kept; Error
    // when it cannot be read or does not decompress to bytes of its digest.
    StoreStatus read(const Sha256Bytes& sha256, std::vector<unsigned char>& out,
                     std::string& error) const;

    // Every sample kept, oldest first.
    bool list(std::vector<KeptSample>& out, std::string& error) const;

    // Where the sample of `sha256` lives, kept or not.
    std::string path_of(const Sha256Bytes& sha256) const;

    // Drops the samples past the bounds, the oldest first: those kept more
    // than `days` before `now` (seconds since 1970), then the oldest until
    // the rest fit in max_bytes; and the temporary files older than
    // kStaleTempSeconds. A file another service dropped meanwhile is no
    // error. One prune at a time in this process.
    bool prune(std::int64_t now, PruneResult& out, std::string& error);

    // Whether the keeps since the last prune may have pushed the folder past
    // max_bytes, as far as this process knows.
    bool over_max_bytes() const
    {
        return bounds_.max_bytes != 0 && bytes_seen_.load() > bounds_.max_bytes;
    }

private:
    SampleStore(std::string dir, SampleBounds bounds) : dir_(std::move(dir)), bounds_(bounds) {}
    bool drop_stale_temps(std::int64_t now, std::uint64_t& dropped, std::string& error);

    std::string  dir_;
    SampleBounds bounds_;
    // The folder's bytes at the last prune, and what this process kept since.
    std::atomic<std::uint64_t> bytes_seen_{0};
    std::mutex pruning_;
};

// The kept sample that holds the file `sha256`: its own, or that of an
// archive it was found in, at any depth, since members are not kept apart.
// None when no such sample is kept; none with `error` set when the store
// could not be read.
// The nearest holder is found first; at most kHolderWalkFiles archives are
// looked at, and each once, however the archives contain one another.
std::optional<Sha256Bytes> kept_holder(Store& store, const SampleStore& samples,
                                       const Sha256Bytes& sha256, std::string& error);
// The same for a record already read.
std::optional<Sha256Bytes> kept_holder(Store& store, const SampleStore& samples,
                                       const FileRecord& record, std::string& error);

inline constexpr std::size_t kHolderWalkFiles = 256;
