// What the service knows about files, by their digests, behind an interface
// of its own: the callers (imports, routes, the shell commands) never see the
// database engine, so another one can stand behind it later.
//
// Status values, not exceptions, cross this interface.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/store/digest_text.h"

using Md5Bytes    = std::array<unsigned char, 16>;
using Sha1Bytes   = std::array<unsigned char, 20>;
using Sha256Bytes = std::array<unsigned char, 32>;

enum class Verdict { Unknown = 0, Good = 1, Bad = 2 };

// "good", "bad" or "unknown".
std::string_view verdict_name(Verdict verdict);

enum class StoreStatus {
    Ok,
    NotFound,  // a look-up that found nothing
    Error,     // the message says what went wrong
};

// One source that listed a file: its name and the day it was imported.
struct SourceListing {
    std::string name;
    std::string imported;  // ISO 8601 date and time, UTC
};

// One rule that matched, as a rule engine (YARA) records it. A rule tagged
// "info" is shown but makes no verdict.
struct RuleMatch {
    std::string rule;
    std::string rule_namespace;  // the rule file it came from
    std::string tags;            // space-separated, as written in the rule
    std::string description;     // its metadata, empty where absent
    std::string author;
};

// One scan of an uploaded file by an anti-virus engine. "Nothing found" is no
// verdict of its own: a clean scan leaves the file's verdict as it was.
struct ScanRecord {
    std::string engine;             // "ClamAV"
    std::string engine_version;     // "1.0.7"
    std::string signature_version;  // empty when the engine named none
    std::string scanned;            // ISO 8601 date and time, UTC; set by the store
    bool        found = false;
    std::string signature;          // the signature that matched, when found
    std::vector<RuleMatch> matches{};  // what a rule engine's rules said, in order
};


// A file as an upload gave it: its digests, size and the name it came with.
struct UploadedFile {
    Md5Bytes      md5{};
    Sha1Bytes     sha1{};
    Sha256Bytes   sha256{};
    std::uint64_t size = 0;
    std::string   name;  // may be empty
};

// The source under which uploads are listed.
inline constexpr std::string_view kUploadSource = "upload";

// A member of an archive as its analysis listed it: read and digested, or
// left unread with the reason.
struct MemberListing {
    std::string             name;     // its path inside the archive
    std::optional<Md5Bytes> md5;      // absent when not read
    std::optional<Sha1Bytes> sha1;
    std::string             skipped;  // why it was not read; empty when read
};

// A record lists at most this many of an archive's members, its first: an
// archive may list a hundred thousand, and every look-up of it reads them.
// Both engines write the number into their statements.
inline constexpr std::size_t kMembersListed = 2000;

// An archive that holds a file, and the file's path inside it.
struct ArchiveParent {
    Md5Bytes    md5{};
    Sha1Bytes   sha1{};
    std::string name;
};

// An analyser that could not finish its work on a file, and why.
struct AnalyserFault {
    std::string analyser;
    std::string detail;
};

// Everything held about one file.
struct FileRecord {
    Md5Bytes                   md5{};
    std::optional<Sha1Bytes>   sha1;
    std::optional<Sha256Bytes> sha256;
    std::optional<std::uint64_t> size;
    Verdict                    verdict = Verdict::Unknown;
    std::string                label;  // product, package or malware family
    std::vector<std::string>   names;
    std::vector<SourceListing> sources;
    std::vector<ScanRecord>    scans;  // newest first
    std::string                mime;   // MIME type, empty when unknown
    std::string                type;   // libmagic's description, empty when unknown
    std::string                ssdeep; // fuzzy digest, empty when not taken
    std::vector<MemberListing> members;     // an archive's, in its order
    std::vector<ArchiveParent> parents;   // the archives it was found in
    std::vector<AnalyserFault> faults;    // analysers that could not finish
};

// What one analysis of one file adds to what is kept of it.
struct AnalysisRecord {
    UploadedFile               file;
    std::vector<ScanRecord>    scans;   // new scans; an engine answered by an earlier one adds none
    std::string                mime, type, ssdeep;  // empty when not taken
    std::vector<AnalyserFault> faults;  // replace the file's earlier ones
    bool                       archive = false;  // when set, `members` replace the earlier list
    std::vector<MemberListing> members;
};

// The archives a file was found in, or the members found in an archive, as
// analyses recorded them, by SHA-1.
enum class LinkDirection { Parents, Children };

// One page of a file's links: SHA-1s in byte order, and how many there are.
struct LinkPage {
    std::vector<Sha1Bytes> sha1s;
    std::uint64_t          total = 0;
};

// Which held files a walk over the lists visits.
struct FileFilter {
    std::optional<Verdict>   verdict;      // none: every verdict (the file's, bad winning)
    std::vector<std::string> sources;      // empty: whoever listed it
    bool                     with_sha1 = false;  // only files whose SHA-1 is known
};

// The digests of one file, as a walk hands them over.
struct HeldDigests {
    Md5Bytes                 md5{};
    std::optional<Sha1Bytes> sha1;
};

// One line of a hash list, as an import hands it to the store.
struct ImportEntry {
    Md5Bytes                   md5{};
    std::optional<Sha1Bytes>   sha1;
    std::optional<Sha256Bytes> sha256;
    std::optional<std::uint64_t> size;
    std::string                name;   // may be empty
    Verdict                    verdict = Verdict::Unknown;
    std::string                label;  // may be empty
};

// How many files one source lists with one verdict.
struct SourceCount {
    std::string   source;
    Verdict       verdict = Verdict::Unknown;
    std::uint64_t files   = 0;
};

// What an engine's import answers to a call after its commit or failure.
StoreStatus import_ended(std::string& error);

// A kept sample waiting to be analysed again: the most asked first, then the
// newest, then the first queued.
struct RescanItem {
    Sha256Bytes   sha256{};
    std::uint64_t asked = 0;   // how often its file was asked for lately
    std::int64_t  newest = 0;  // when it was last kept, seconds since 1970
};

// One import of one list: every batch added to it becomes visible together on
// commit(), or not at all. Dropping it uncommitted rolls everything back.
class StoreImport {
public:
    virtual ~StoreImport() = default;
    // Adds what `entries` list, once each: an entry already listed by this
    // source changes nothing. Where sources disagree, bad wins over good over
    // unknown, the label is the one given with the strongest verdict, and a
    // known SHA-1, SHA-256 or size is never replaced, only filled in. A
    // stronger verdict given without a label leaves the file with none, so
    // that a product's name never reads as a bad file's family; the product's
    // list stays among its sources.
    virtual StoreStatus add_batch(std::span<const ImportEntry> entries, std::string& error) = 0;
    virtual StoreStatus commit(std::string& error) = 0;

    // After commit(), how many of the entries this source did not list before.
    virtual std::uint64_t new_listings() const = 0;
};

// One Store serves one thread at a time; a service with several threads opens
// one per thread (readers never block each other, nor an import).
class Store {
public:
    virtual ~Store() = default;

    virtual StoreStatus find_md5   (const Md5Bytes& md5,       FileRecord& out, std::string& error) = 0;
    virtual StoreStatus find_sha1  (const Sha1Bytes& sha1,     FileRecord& out, std::string& error) = 0;
    virtual StoreStatus find_sha256(const Sha256Bytes& sha256, FileRecord& out, std::string& error) = 0;

    // Uploads count under the source kUploadSource: bad when a scan found
    // something, unknown otherwise.
    virtual StoreStatus counts(std::vector<SourceCount>& out, std::string& error) = 0;
    virtual StoreStatus scan_count(std::uint64_t& out, std::string& error) = 0;

    // Keeps an uploaded file under kUploadSource, with `scan` when given (a
    // file answered from an earlier scan only adds its name). Durable when it
    // returns Ok, and never waits for an import: the service's own writes
    // are kept apart from the lists. Only a store opened in StoreMode::Service
    // takes it.
    virtual StoreStatus add_upload(const UploadedFile& file, const ScanRecord* scan,
                                   std::string& error) = 0;

    // Keeps the analyses of an upload and of the members taken out of it,
    // all together or none. As add_upload, only in StoreMode::Service.
    virtual StoreStatus add_analyses(std::span<const AnalysisRecord> records,
                                     std::string& error) = 0;

    // Whether the store answers now, read past any cache the engine keeps:
    // cheap enough for a load balancer's health check every second.
    virtual StoreStatus probe(std::string& error) = 0;

    // How many files the store holds with each verdict, indexed by Verdict:
    // each file once, uploads too, by the verdict its record shows. It may
    // read the whole store: call it seldom, off the request path.
    virtual StoreStatus files_by_verdict(std::array<std::uint64_t, 3>& out, std::string& error) = 0;

    // Starts the import of one list under the source `source`, which it dates
    // now. Only one import runs at a time per store file: a second one waits
    // a while for the first to end, then fails. Null on error.
    virtual std::unique_ptr<StoreImport> begin_import(std::string_view source, std::string& error) = 0;

    // The links of the file `sha1` in `direction`: those after `after` (from
    // the first when absent), at most `limit` of them, with their total.
    virtual StoreStatus archive_links(const Sha1Bytes& sha1, LinkDirection direction,
                                      const std::optional<Sha1Bytes>& after, std::size_t limit,
                                      LinkPage& out, std::string& error) = 0;

    // How many files the lists hold that `filter` lets through, then each of
    // them handed to `visit` a batch at a time, in no set order, so that
    // memory does not grow with the store. `visit` returns false to stop.
    // Each call reads the store afresh: an import may commit in between.
    virtual StoreStatus count_files(const FileFilter& filter, std::uint64_t& out,
                                    std::string& error) = 0;
    virtual StoreStatus walk_files(const FileFilter& filter,
                                   const std::function<bool(std::span<const HeldDigests>)>& visit,
                                   std::string& error) = 0;

    // The queue of samples to analyse again, shared by every instance of the
    // service on one database; only in StoreMode::Service. A sample queued
    // already keeps its place, with the larger of the two counts; `added`
    // says how many were new.
    virtual StoreStatus queue_rescans(std::span<const RescanItem> items, std::uint64_t& added,
                                      std::string& error);
    // Takes the first sample in the queue that nobody holds, for this
    // connection: nobody else takes it until end_rescan(), or until the
    // connection (PostgreSQL) or the process (SQLite) ends, when it goes
    // back to the queue as it was. NotFound when there is none to take.
    virtual StoreStatus claim_rescan(RescanItem& out, std::string& error);
    // Gives a claimed sample back: out of the queue when `done`, otherwise
    // in its place, to be taken again.
    virtual StoreStatus end_rescan(const Sha256Bytes& sha256, bool done, std::string& error);
    virtual StoreStatus rescans_queued(std::uint64_t& out, std::string& error);

    // The signatures (engine version and signature version) an analyser
    // had when the queue was last filled for it; none before the first time.
    virtual StoreStatus signatures_seen(std::string_view engine, std::optional<std::string>& out,
                                        std::string& error);
    virtual StoreStatus set_signatures_seen(std::string_view engine, std::string_view seen,
                                            std::string& error);

    // The engine and the layout, for the service's information page.
    virtual std::string engine_version() const = 0;
    virtual int         schema_version() const = 0;
};

enum class StoreMode {
    ReadOnly,   // look-ups: never writes, sees each import when it commits
    Service,    // the service: the lists read-only, its own records (uploads)
                // writable; makes the place for them when there is none
    ReadWrite,  // imports: creates the file when it does not exist
};

// Opens the store in `path`. A file that is not a store of this schema version
// (another version, or not a database at all) is refused and left untouched.
// Null on failure, with `error` saying why.
std::unique_ptr<Store> open_sqlite_store(const std::string& path, StoreMode mode,
                                         std::string& error);

// Opens the store at `location`: a `postgresql://` or `postgres://` URI is a
// PostgreSQL database, handed to libpq as it is; anything else is the path of
// a SQLite file. Null on failure, with `error` saying why (for a database
// server: which host, and its reason).
std::unique_ptr<Store> open_store(const std::string& location, StoreMode mode, std::string& error);

bool is_postgres_location(std::string_view location);

// How long a PostgreSQL store answers a file it read lately without asking
// the server whether the store changed: its answers are never older than
// this (plus a replica's lag), and always of one committed state.
inline constexpr std::chrono::milliseconds postgres_recent_bound{100};

// The store in a PostgreSQL database. Reads go to `replicas` in turn, then to
// the primary; an import goes to the primary. A server that goes away is
// skipped and connected again by itself later; no call waits longer than
// `wait` for a server to answer (an import's statements excepted). One of
// them must answer now and hold a store of this schema: a database with
// other tables but no store's mark, or another schema version, is refused
// and left untouched; an empty one becomes a store when opened for writing.
std::unique_ptr<Store> open_postgres_store(const std::string& primary,
                                           const std::vector<std::string>& replicas,
                                           StoreMode mode, std::chrono::milliseconds wait,
                                           std::string& error);
// A digest asked for and not held, as the service counted it.
struct UnknownDigest {
    std::vector<unsigned char> digest;   // 16, 20 or 32 bytes: MD5, SHA-1, SHA-256
    std::uint64_t count = 0;             // asks, of which at most `error` were for others
    std::uint64_t error = 0;
    std::int64_t  first_asked = 0;       // seconds since 1970, UTC
    std::int64_t  last_asked  = 0;
};

// The most digests one session keeps; past it, more are not added.
inline constexpr std::size_t kSessionDigestsMax = 10000;

// A session's digests, as hex text.
struct LookupSession {
    std::vector<std::string> held;
    std::vector<std::string> not_held;
};

// One file a retro-hunt's rule matched, as the hunt reports it.
struct HuntMatch {
    std::string md5;         // hex
    std::string rule;
    std::string name;        // the file's first name, or its path in the archive it was found in
    std::string first_seen;  // ISO 8601 date and time, UTC; empty when the store has no record
};

// A retro-hunt as kept: "running", "done", "interrupted" (cut short: a
// restart, a stop, or its service gone silent) or "failed".
struct HuntState {
    std::string   state;
    std::uint64_t done = 0, total = 0;  // samples
    std::int64_t  started = 0, updated = 0;  // seconds since 1970, UTC
    std::uint64_t found = 0;            // matches in all; `matches` lists the first of them
    std::vector<HuntMatch> matches;
};

// The most matches a hunt keeps; past it they are counted only.
inline constexpr std::size_t kHuntMatchesMax = 10000;

// What the service writes itself, apart from the lists: an import may hold
// the store's write lock for minutes, and the service must not wait for it.
// One LiveStore serves one thread at a time.
class LiveStore {
public:
    virtual ~LiveStore() = default;

    // The unknown digests kept, and how many asks were counted in all.
    virtual StoreStatus load_unknown(std::vector<UnknownDigest>& out, std::uint64_t& asked,
                                     std::string& error) = 0;
    // Keeps `digests`, the counts as this process holds them now, all or
    // nothing. SQLite's file is one service's: it replaces what was kept.
    // PostgreSQL's table is shared by every instance: each adds what its
    // counts grew by since its last load or save, and digests the store now
    // holds leave it.
    virtual StoreStatus save_unknown(std::span<const UnknownDigest> digests, std::uint64_t asked,
                                     std::string& error) = 0;

    // Named sets of digests a client asked about, each kept until `expires`
    // (seconds since 1970); `now` is the caller's clock. A session past its
    // time is as if it never was, and is dropped by the next creation.
    // Creating a session that exists gives it the new time and keeps its sets.
    virtual StoreStatus create_session(std::string_view name, std::int64_t expires,
                                       std::int64_t now, std::string& error) = 0;
    // Adds `digest` to the session's set of held digests (`held`) or of
    // digests not held. NotFound when there is no such session.
    virtual StoreStatus add_to_session(std::string_view name, std::string_view digest, bool held,
                                       std::int64_t now, std::string& error) = 0;
    // Both sets, each in byte order. NotFound when there is no such session.
    virtual StoreStatus read_session(std::string_view name, std::int64_t now, LookupSession& out,
                                     std::string& error) = 0;

    // Retro-hunts, one running at a time across every service sharing the
    // store. Starting one first marks interrupted any running hunt whose
    // last word is older than `stale_before`; `started` is false when
    // another still runs. Hunts finished more than `forget_before` are dropped.
    virtual StoreStatus start_hunt(std::string_view id, std::int64_t now, std::int64_t stale_before,
                                   std::int64_t forget_before, bool& started, std::string& error) = 0;
    // The hunt's progress, the matches found since the last call, and its
    // state ("running" while it goes on). NotFound when no such hunt runs.
    virtual StoreStatus update_hunt(std::string_view id, const HuntState& now_at,
                                    std::span<const HuntMatch> found, std::string& error) = 0;
    virtual StoreStatus read_hunt(std::string_view id, HuntState& out, std::string& error) = 0;
    // Marks interrupted the running hunts whose last word is older than
    // `stale_before`: those of a service that stopped without saying so.
    virtual StoreStatus cut_hunts(std::int64_t stale_before, std::string& error) = 0;
};

// Opens, or makes, the live file that goes with the store in `store_path`
// (SQLite: `<store_path>-live`). Null on failure, with `error` saying why.
std::unique_ptr<LiveStore> open_sqlite_live_store(const std::string& store_path, std::string& error);

// What the uploads of one file say, as an engine reads them: its scans newest
// first, the digests and size the newest came with, and the names given.
struct UploadsRead {
    Sha1Bytes                sha1{};
    Sha256Bytes              sha256{};
    std::uint64_t            size = 0;
    std::vector<ScanRecord>  scans;
    std::vector<std::string> names;
    // What the analyses found, moved into the record as they are.
    std::string                mime, type, ssdeep;
    std::vector<MemberListing> members;
    std::vector<ArchiveParent> parents;
    std::vector<AnalyserFault> faults;
};

// Adds `uploads` to `out`, which holds what the lists say of the file (when
// `listed`), as both engines answer: digests and size filled in, names merged
// in byte order, kUploadSource dated by the newest scan, a found signature a
// bad verdict (bad wins, as in imports). NotFound when neither knows it.
StoreStatus merge_uploads(FileRecord& out, bool listed, UploadsRead uploads);

// Opens the unknown digests' counts kept in the PostgreSQL database at
// `primary`, the table shared by every instance of the service, bounded to
// `capacity` digests. Never fails: a server that does not answer makes each
// call an error, within `wait`, until it is back.
std::unique_ptr<LiveStore> open_postgres_live_store(const std::string& primary, std::size_t capacity,
                                                    std::chrono::milliseconds wait);

// Looks `query` up by the digest it carries, whatever its kind.
StoreStatus find_digest(Store& store, const DigestQuery& query, FileRecord& out,
                        std::string& error);
