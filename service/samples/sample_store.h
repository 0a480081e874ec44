// Kept samples: the bytes of each upload, when the operator asks for them to
// be kept, compressed with zstd in a folder of the operator's, named by their
// SHA-256. A sample is written whole or not at all (a temporary name, fsync,
// rename), so a crash leaves either the sample or nothing, and several
// services may share one folder. Nothing here is ever served back over the
// network: the operator reaches the samples on disk.
#pragma once

#include <cstdint>
#include <memory>
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
};

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
    bool keep(const Sha256Bytes& sha256, std::span<const unsigned char> bytes, std::string& error);

    bool has(const Sha256Bytes& sha256) const;

    // The sample's bytes, as uploaded. NotFound when it is not kept; Error
    // when it cannot be read or does not decompress to bytes of its digest.
    StoreStatus read(const Sha256Bytes& sha256, std::vector<unsigned char>& out,
                     std::string& error) const;

    // Every sample kept, oldest first.
    bool list(std::vector<KeptSample>& out, std::string& error) const;

    // Where the sample of `sha256` lives, kept or not.
    std::string path_of(const Sha256Bytes& sha256) const;

private:
    SampleStore(std::string dir, SampleBounds bounds) : dir_(std::move(dir)), bounds_(bounds) {}
    std::string  dir_;
    SampleBounds bounds_;
};

// The kept sample that holds the file `sha256`: its own, or that of an
// archive it was found in, at any depth, since members are not kept apart.
// None when no such sample is kept; none with `error` set when the store
// could not be read.
std::optional<Sha256Bytes> kept_holder(Store& store, const SampleStore& samples,
                                       const Sha256Bytes& sha256, std::string& error);
