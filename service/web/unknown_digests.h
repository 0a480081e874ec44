// The digests people ask for that the store does not hold, most asked first,
// so that the operator knows which files to obtain next. Counted in bounded
// memory (a HeavyHitters summary), shared by every worker, written to the
// live store by the housekeeping at most once a minute and read back at
// start. Only digests are kept: nothing about who asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "service/store/store.h"
#include "service/web/heavy_hitters.h"

class UnknownDigests {
public:
    explicit UnknownDigests(std::size_t capacity) : summary_(capacity) {}

    // A look-up of `digest` (16, 20 or 32 bytes) found nothing.
    void asked(std::span<const unsigned char> digest);

    // What `live` kept, put back; before any look-up is counted.
    StoreStatus load(LiveStore& live, std::string& error);

    // Drops the digests `store` now holds, then writes the counts to `live`
    // when they changed since the last save.
    StoreStatus save(LiveStore& live, Store& store, std::string& error);

    struct Listing {
        std::vector<UnknownDigest> digests;  // most asked first
        std::uint64_t asked = 0;             // look-ups counted in all
        std::size_t   capacity = 0;          // digests the summary keeps
    };
    // The `n` most asked that `store` does not hold (those it now holds are
    // dropped on the way).
    StoreStatus top(std::size_t n, Store& store, Listing& out, std::string& error);

    std::uint64_t total() const;
    std::size_t   capacity() const { return summary_.capacity(); }

private:
    std::vector<UnknownDigest> snapshot(std::size_t n) const;
    // Drops from the counts each of `digests` that `store` holds; false on a
    // store error.
    bool drop_held(std::vector<UnknownDigest>& digests, Store& store, std::string& error);

    mutable std::mutex mutex_;
    HeavyHitters summary_;
    std::uint64_t saved_total_ = 0;
};
