// A Bloom filter of digests in the layout offline hash-lookup tools read
// (format version 1): a header of six little-endian 64-bit fields, the bits
// in 64-bit little-endian words, then optional data, left empty here.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// FNV-1, 64 bits: multiply, then XOR.
std::uint64_t fnv1_64(std::span<const unsigned char> bytes);

struct BloomSizing {
    std::uint64_t n = 0;  // capacity
    double        p = 0;  // the false-positive rate wanted at n
    std::uint64_t k = 0;  // bits per value
    std::uint64_t m = 0;  // bits in all
};

// m = |ceil(n ln p / (ln 2)^2)|, k = ceil(ln 2 * m / n), as the readers
// compute them again and insist on. A bit count that is a power of two makes
// the positions fall on few bits, so the capacity is raised (by a few at
// most) until m is none. `values` of 0 sizes for one. `p` in (0, 1).
BloomSizing bloom_sizing(std::uint64_t values, double p);

class BloomFilter {
public:
    explicit BloomFilter(const BloomSizing& sizing);

    // Sets the k bits of `value`; counts it when one of them was not set.
    void add(std::string_view value);
    // The same for each of `values`, in order; faster for many, since the
    // words of several values are fetched from memory at once.
    void add_all(std::span<const std::string_view> values);
    bool contains(std::string_view value) const;

    // The k bit positions of `value`, in the order they are made.
    std::vector<std::uint64_t> positions(std::string_view value) const;

    const BloomSizing& sizing() const { return sizing_; }
    std::uint64_t added() const { return added_; }

    // The file's header, then its bit words (to be written little-endian);
    // bytes() is both, in one piece.
    std::string header() const;
    const std::vector<std::uint64_t>& words() const { return words_; }
    std::string bytes() const;

private:
    BloomSizing                sizing_;
    std::vector<std::uint64_t> words_;
    std::vector<std::uint64_t> pending_;  // add_all's positions, kept to spare allocations
    std::uint64_t              added_ = 0;
};
