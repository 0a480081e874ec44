#include "service/bloom/bloom_filter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace {

constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr std::uint64_t kFnvPrime  = 0x100000001b3ull;
// The readers' modulus (the largest prime below 2^64) and multiplier.
constexpr std::uint64_t kModulus    = 18446744073709551557ull;
constexpr std::uint64_t kMultiplier = 18446744073709550147ull;

constexpr std::uint64_t kVersion = 1;

void put_le64(std::string& out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint64_t bits_for(std::uint64_t n, double p)
{
    const double ln2 = std::log(2.0);
    return static_cast<std::uint64_t>(
        std::fabs(std::ceil(static_cast<double>(n) * std::log(p) / (ln2 * ln2))));
}

// Calls `bit` with each of the k positions of `value`.
template <typename Bit>
void for_each_position(const BloomSizing& sizing, std::string_view value, Bit bit)
{
    std::uint64_t h = fnv1_64({reinterpret_cast<const unsigned char*>(value.data()), value.size()})
                    % kModulus;
    for (std::uint64_t i = 0; i < sizing.k; ++i) {
        h = (h * kMultiplier) % kModulus;
        bit(h % sizing.m);
    }
}

}  // namespace

std::uint64_t fnv1_64(std::span<const unsigned char> bytes)
{
    std::uint64_t hash = kFnvOffset;
    for (const unsigned char byte : bytes) {
        hash *= kFnvPrime;
        hash ^= byte;
    }
    return hash;
}

BloomSizing bloom_sizing(std::uint64_t values, double p)
{
    BloomSizing sizing;
    sizing.p = p;
    sizing.n = values == 0 ? 1 : values;
    sizing.m = bits_for(sizing.n, p);
    while (sizing.m < 2 || std::has_single_bit(sizing.m))
        sizing.m = bits_for(++sizing.n, p);
    sizing.k = static_cast<std::uint64_t>(
        std::ceil(std::log(2.0) * static_cast<double>(sizing.m) / static_cast<double>(sizing.n)));
    return sizing;
}

BloomFilter::BloomFilter(const BloomSizing& sizing)
    : sizing_(sizing), words_((sizing.m + 63) / 64, 0)
{
}

void BloomFilter::add(std::string_view value)
{
    bool fresh = false;
    for_each_position(sizing_, value, [&](std::uint64_t bit) {
        std::uint64_t& word = words_[bit / 64];
        const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
        fresh = fresh || (word & mask) == 0;
        word |= mask;
    });
    if (fresh)
        ++added_;
}

void BloomFilter::add_all(std::span<const std::string_view> values)
{
    // A filter much larger than the caches costs a miss per bit: the
    // positions of a few values are made and their words asked for first,
    // so that the misses overlap, then the bits are set in order.
    constexpr std::size_t kAhead = 16;
    const std::size_t k = static_cast<std::size_t>(sizing_.k);
    pending_.resize(kAhead * k);
    for (std::size_t first = 0; first < values.size(); first += kAhead) {
        const std::size_t count = std::min(kAhead, values.size() - first);
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t* out = &pending_[i * k];
            for_each_position(sizing_, values[first + i], [&](std::uint64_t bit) {
                *out++ = bit;
                __builtin_prefetch(&words_[bit / 64], 1);
            });
        }
        for (std::size_t i = 0; i < count; ++i) {
            bool fresh = false;
            for (std::size_t j = 0; j < k; ++j) {
                const std::uint64_t bit = pending_[i * k + j];
                std::uint64_t& word = words_[bit / 64];
                const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
                fresh = fresh || (word & mask) == 0;
                word |= mask;
            }
            if (fresh)
                ++added_;
        }
    }
}

bool BloomFilter::contains(std::string_view value) const
{
    bool all = true;
    for_each_position(sizing_, value, [&](std::uint64_t bit) {
        all = all && (words_[bit / 64] >> (bit % 64) & 1) != 0;
    });
    return all;
}

std::vector<std::uint64_t> BloomFilter::positions(std::string_view value) const
{
    std::vector<std::uint64_t> out;
    for_each_position(sizing_, value, [&](std::uint64_t bit) { out.push_back(bit); });
    return out;
}

std::string BloomFilter::header() const
{
    std::string out;
    put_le64(out, kVersion);
    put_le64(out, sizing_.n);
    put_le64(out, std::bit_cast<std::uint64_t>(sizing_.p));
    put_le64(out, sizing_.k);
    put_le64(out, sizing_.m);
    put_le64(out, added_);
    return out;
}

std::string BloomFilter::bytes() const
{
    std::string out = header();
    out.reserve(out.size() + 8 * words_.size());
    for (const std::uint64_t word : words_)
        put_le64(out, word);
    return out;
}
