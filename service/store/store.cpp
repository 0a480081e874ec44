#include "service/store/store.h"

#include <algorithm>

std::string_view verdict_name(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Unknown: return "unknown";
    case Verdict::Good:    return "good";
    case Verdict::Bad:     return "bad";
    }
    return "unknown";
}

StoreStatus import_ended(std::string& error)
{
    error = "this import has already ended";
    return StoreStatus::Error;
}

namespace {

// Copies the query's bytes into the digest type `find` takes, when the
// lengths agree.
template <std::size_t N, class Find>
StoreStatus find_as(const DigestQuery& query, Find find, std::string& error)
{
    std::array<unsigned char, N> digest{};
    if (query.bytes.size() != N) {
        error = "a digest of the wrong length for its kind";
        return StoreStatus::Error;
    }
    std::copy(query.bytes.begin(), query.bytes.end(), digest.begin());
    return find(digest);
}

}  // namespace

std::unique_ptr<Store> open_store(const std::string& location, StoreMode mode, std::string& error)
{
    // A command waits this long for a database server that does not answer,
    // and for another import to end, as the SQLite store waits for its lock.
    constexpr std::chrono::seconds command_wait{10};
    if (is_postgres_location(location))
        return open_postgres_store(location, {}, mode, command_wait, error);
    return open_sqlite_store(location, mode, error);
}

StoreStatus merge_uploads(FileRecord& out, bool listed, UploadsRead uploads)
{
    if (uploads.scans.empty())
        return listed ? StoreStatus::Ok : StoreStatus::NotFound;
    if (!out.sha1)
        out.sha1 = uploads.sha1;
    if (!out.sha256)
        out.sha256 = uploads.sha256;
    if (!out.size)
        out.size = uploads.size;
    out.scans = std::move(uploads.scans);
    if (out.mime.empty())
        out.mime = std::move(uploads.mime);
    out.type = std::move(uploads.type);
    out.ssdeep = std::move(uploads.ssdeep);
    out.members = std::move(uploads.members);
    out.parents = std::move(uploads.parents);
    out.faults = std::move(uploads.faults);
    out.names.insert(out.names.end(), std::make_move_iterator(uploads.names.begin()),
                     std::make_move_iterator(uploads.names.end()));
    std::sort(out.names.begin(), out.names.end());
    out.names.erase(std::unique(out.names.begin(), out.names.end()), out.names.end());

    out.sources.push_back({std::string(kUploadSource), out.scans.front().scanned});
    std::sort(out.sources.begin(), out.sources.end(),
              [](const SourceListing& a, const SourceListing& b) { return a.name < b.name; });
    const auto found = std::find_if(out.scans.begin(), out.scans.end(),
                                    [](const ScanRecord& scan) { return scan.found; });
    if (found != out.scans.end() && (out.verdict != Verdict::Bad || out.label.empty())) {
        out.verdict = Verdict::Bad;
        out.label = found->signature;
    }
    return StoreStatus::Ok;
}

StoreStatus find_digest(Store& store, const DigestQuery& query, FileRecord& out, std::string& error)
{
    switch (query.kind) {
    case DigestKind::Md5:
        return find_as<16>(query, [&](const Md5Bytes& d) { return store.find_md5(d, out, error); }, error);
    case DigestKind::Sha1:
        return find_as<20>(query, [&](const Sha1Bytes& d) { return store.find_sha1(d, out, error); }, error);
    case DigestKind::Sha256:
        return find_as<32>(query, [&](const Sha256Bytes& d) { return store.find_sha256(d, out, error); }, error);
    }
    error = "a digest of an unknown kind";
    return StoreStatus::Error;
}

namespace {

StoreStatus no_queue(std::string& error)
{
    error = "this store keeps no queue of samples to analyse again";
    return StoreStatus::Error;
}

}  // namespace

StoreStatus Store::queue_rescans(std::span<const RescanItem>, std::uint64_t& added, std::string& error)
{
    added = 0;
    return no_queue(error);
}

StoreStatus Store::claim_rescan(RescanItem&, std::string& error)
{
    return no_queue(error);
}

StoreStatus Store::end_rescan(const Sha256Bytes&, bool, std::string& error)
{
    return no_queue(error);
}

StoreStatus Store::rescans_queued(std::uint64_t& out, std::string& error)
{
    out = 0;
    return no_queue(error);
}

StoreStatus Store::signatures_seen(std::string_view, std::optional<std::string>& out,
                                   std::string& error)
{
    out.reset();
    return no_queue(error);
}

StoreStatus Store::set_signatures_seen(std::string_view, std::string_view, std::string& error)
{
    return no_queue(error);
}
