// The most frequent keys of a stream in bounded memory: the Space-Saving
// summary (Metwally, Agrawal and El Abbadi, 2005), with `capacity` counters
// whatever the number of distinct keys.
//
// Its promise, with N the keys counted so far: every key's count is over-
// estimated by at most its own `error`, and every error is at most N /
// capacity; so any key seen more than N / capacity times is held, and the
// true count of a held key lies in [count - error, count].
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct HeavyHitter {
    std::string   key;
    std::uint64_t count = 0;
    std::uint64_t error = 0;   // how much of `count` may belong to keys it replaced
    std::int64_t  first = 0;   // when it was first counted (the caller's clock)
    std::int64_t  last  = 0;   // when it was last counted
};

class HeavyHitters {
public:
    explicit HeavyHitters(std::size_t capacity);

    // Counts `key` once, at time `now`.
    void add(std::string_view key, std::int64_t now);

    // Takes back a key counted before (one that must no longer be counted);
    // its counter goes free. The errors of the others stay as they were.
    void erase(std::string_view key);

    // Puts back a counter as kept, with `total` the keys counted so far; used
    // to carry a summary across a restart. Ignored once full.
    void restore(const HeavyHitter& hitter, std::uint64_t total);

    // The counters, largest count first (ties: the smaller error first).
    std::vector<HeavyHitter> top(std::size_t n) const;

    std::uint64_t total() const { return total_; }
    std::size_t   capacity() const { return capacity_; }
    std::size_t   size() const { return heap_.size(); }

private:
    void sift_down(std::size_t at);
    void sift_up(std::size_t at);
    void swap_at(std::size_t a, std::size_t b);

    std::size_t capacity_;
    std::uint64_t total_ = 0;
    // A min-heap on count, so the counter a new key takes over is at the top,
    // and where each key sits in it.
    std::vector<HeavyHitter> heap_;
    std::unordered_map<std::string, std::size_t> where_;
};
