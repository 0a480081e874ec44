#include "service/web/unknown_digests.h"

#include <ctime>
#include <optional>
#include <string_view>

namespace {

std::string_view key_of(std::span<const unsigned char> digest)
{
    return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

std::optional<DigestQuery> query_of(const std::vector<unsigned char>& digest)
{
    switch (digest.size()) {
    case 16: return DigestQuery{DigestKind::Md5, digest};
    case 20: return DigestQuery{DigestKind::Sha1, digest};
    case 32: return DigestQuery{DigestKind::Sha256, digest};
    }
    return std::nullopt;
}

}  // namespace

void UnknownDigests::asked(std::span<const unsigned char> digest)
{
    const std::int64_t now = std::time(nullptr);
    const std::lock_guard lock(mutex_);
    summary_.add(key_of(digest), now);
}

std::uint64_t UnknownDigests::total() const
{
    const std::lock_guard lock(mutex_);
    return summary_.total();
}

std::vector<UnknownDigest> UnknownDigests::snapshot(std::size_t n) const
{
    std::vector<HeavyHitter> hitters;
    {
        const std::lock_guard lock(mutex_);
        hitters = summary_.top(n);
    }
    std::vector<UnknownDigest> digests;
    digests.reserve(hitters.size());
    for (const HeavyHitter& hitter : hitters)
        digests.push_back({std::vector<unsigned char>(hitter.key.begin(), hitter.key.end()),
                           hitter.count, hitter.error, hitter.first, hitter.last});
    return digests;
}

bool UnknownDigests::drop_held(std::vector<UnknownDigest>& digests, Store& store,
                               std::string& error)
{
    std::vector<UnknownDigest> kept;
    for (UnknownDigest& digest : digests) {
        const std::optional<DigestQuery> query = query_of(digest.digest);
        FileRecord record;
        const StoreStatus status =
            query ? find_digest(store, *query, record, error) : StoreStatus::Ok;
        if (status == StoreStatus::Error)
            return false;
        if (status == StoreStatus::NotFound) {
            kept.push_back(std::move(digest));
            continue;
        }
        const std::lock_guard lock(mutex_);
        summary_.erase(key_of(digest.digest));
    }
    digests = std::move(kept);
    return true;
}

StoreStatus UnknownDigests::load(LiveStore& live, std::string& error)
{
    std::vector<UnknownDigest> kept;
    std::uint64_t asked = 0;
    if (live.load_unknown(kept, asked, error) != StoreStatus::Ok)
        return StoreStatus::Error;
    const std::lock_guard lock(mutex_);
    for (const UnknownDigest& digest : kept)
        summary_.restore({std::string(key_of(digest.digest)), digest.count, digest.error,
                          digest.first_asked, digest.last_asked}, asked);
    saved_total_ = summary_.total();
    return StoreStatus::Ok;
}

StoreStatus UnknownDigests::save(LiveStore& live, Store& store, std::string& error)
{
    const std::uint64_t asked = total();
    std::vector<UnknownDigest> digests = snapshot(summary_.capacity());
    const std::size_t counted = digests.size();
    if (!drop_held(digests, store, error))
        return StoreStatus::Error;
    if (asked == saved_total_ && digests.size() == counted)
        return StoreStatus::Ok;  // nothing new since the last save
    if (live.save_unknown(digests, asked, error) != StoreStatus::Ok)
        return StoreStatus::Error;
    saved_total_ = asked;
    return StoreStatus::Ok;
}

StoreStatus UnknownDigests::top(std::size_t n, Store& store, Listing& out, std::string& error)
{
    // Each round drops what the store now holds from the counts, so the next
    // one brings up the digests below them.
    for (;;) {
        out = {snapshot(n), total(), summary_.capacity()};
        const std::size_t counted = out.digests.size();
        if (!drop_held(out.digests, store, error))
            return StoreStatus::Error;
        if (out.digests.size() == counted)
            return StoreStatus::Ok;
    }
}
