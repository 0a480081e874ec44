// The store's known digests as a Bloom filter, for tools that look files up
// offline: made by walking the store (memory near m/8, whatever its size),
// and written by `brantwicker-service export-bloom`.
#pragma once

#include <optional>
#include <string>

#include "service/bloom/bloom_filter.h"
#include "service/store/store.h"

struct BloomRequest {
    FileFilter filter;          // with_sha1 is set by `md5`
    bool       md5 = false;     // MD5s rather than SHA-1s
    double     p   = 0.0001;
};

// The value a filter holds for a digest: its upper-case hex, into `out`.
void bloom_value(std::span<const unsigned char> digest, std::string& out);

// A filter sized for the files the store holds now (at least one), holding
// each of their digests. Nothing, with `error`, when the store cannot be read.
std::optional<BloomFilter> make_known_bloom(Store& store, BloomRequest request, std::string& error);

// Writes `filter` in its file format to `out`: beside it first, then renamed
// over it, so that a reader never sees half a file. False, with `error`, when
// it could not be written whole.
bool write_filter(const BloomFilter& filter, const std::string& out, std::string& error);
