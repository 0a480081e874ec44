// The store in one SQLite file (WAL mode, so that readers keep reading while an
// import writes), and the service's own records (uploads and their scans) in a
// second one beside it, attached to every connection of the service. Every
// statement is prepared once with its text fixed here; nothing from outside is
// ever pasted into SQL.
#include "service/store/store.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <filesystem>
#include <cstdio>
#include <random>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace {

// Marks our files ("BWKS"), so that another program's database is refused
// rather than written into.
constexpr int application_id = 0x42574B53;
constexpr int current_schema = 1;

// The service's own file, beside the store.
constexpr const char* live_suffix = "-live";

// Commits made through any connection of this process, so that the others
// read their data version again at once instead of after kVersionRecheck.
std::atomic<std::uint64_t> process_commits{0};
constexpr auto kVersionRecheck = std::chrono::milliseconds(1);

// While an import is running, a second one waits this long for it.
constexpr int busy_timeout_ms = 10'000;

// An import's page cache; its sorter takes as much again. Both stay well
// inside the import's memory goal of 64 MiB.
constexpr const char* import_cache = "PRAGMA cache_size = -16384";  // KiB

// Readers map the file instead of copying pages into a cache of their own:
// a look-up then costs no system call. Address space only; the pages are the
// kernel's page cache, shared by every reader.
constexpr const char* reader_map = "PRAGMA mmap_size = 17179869184";  // 16 GiB

constexpr const char* schema_sql[] = {
    "CREATE TABLE files ("
    " md5 BLOB PRIMARY KEY NOT NULL, sha1 BLOB, sha256 BLOB, size INTEGER,"
    " verdict INTEGER NOT NULL, label TEXT NOT NULL) WITHOUT ROWID",
    "CREATE INDEX files_by_sha1 ON files (sha1) WHERE sha1 IS NOT NULL",
    "CREATE INDEX files_by_sha256 ON files (sha256) WHERE sha256 IS NOT NULL",
    "CREATE TABLE names ("
    " md5 BLOB NOT NULL, name TEXT NOT NULL, PRIMARY KEY (md5, name)) WITHOUT ROWID",
    "CREATE TABLE sources ("
    " id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, imported TEXT NOT NULL)",
    "CREATE TABLE listings ("
    " md5 BLOB NOT NULL, source INTEGER NOT NULL, verdict INTEGER NOT NULL,"
    " PRIMARY KEY (md5, source)) WITHOUT ROWID",
    // Kept up to date by each import, so that counting never scans the store.
    "CREATE TABLE source_counts ("
    " source INTEGER NOT NULL, verdict INTEGER NOT NULL, files INTEGER NOT NULL,"
    " PRIMARY KEY (source, verdict)) WITHOUT ROWID",
};

// The files a walk over the lists visits: ?1 the verdict (-1: any), ?2 1 for
// files with a SHA-1 only, ?3 1 for files listed by a source named in
// temp.walk_sources only.
#define WALK_FILTER                                                                        \
    " FROM files AS f WHERE (?1 < 0 OR f.verdict = ?1) AND (?2 = 0 OR f.sha1 IS NOT NULL)"  \
    " AND (?3 = 0 OR EXISTS (SELECT 1 FROM listings AS l JOIN sources AS s ON s.id = l.source" \
    " WHERE l.md5 = f.md5 AND s.name IN (SELECT name FROM temp.walk_sources)))"
constexpr struct {
    const char* sources_table;
    const char* count;
    const char* count_sha1;  // with_sha1 alone: from the SHA-1 index, a third of the table
    const char* walk;
} walk_sql{
    "CREATE TEMP TABLE IF NOT EXISTS walk_sources (name TEXT PRIMARY KEY NOT NULL)",
    "SELECT count(*)" WALK_FILTER,
    "SELECT count(*) FROM files WHERE sha1 IS NOT NULL AND ?1 + ?2 + ?3 IS NOT NULL",
    "SELECT f.md5, f.sha1" WALK_FILTER,
};
#undef WALK_FILTER

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

struct DatabaseDeleter {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseDeleter>;

std::string describe(sqlite3* db, const std::string& what)
{
    return what + ": " + sqlite3_errmsg(db);
}

Statement prepare(sqlite3* db, const char* sql, std::string& error)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr)
        != SQLITE_OK) {
        error = describe(db, "preparing a statement");
        return nullptr;
    }
    return Statement(statement);
}

// Runs one statement of fixed text whose rows, if any, are not wanted.
bool run(sqlite3* db, const char* sql, std::string& error)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        error = describe(db, sql);
        return false;
    }
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    sqlite3_finalize(statement);
    if (status != SQLITE_DONE) {
        error = describe(db, sql);
        return false;
    }
    return true;
}

// Commits, and lets this process's other connections know at once.
bool commit(sqlite3* db, std::string& error)
{
    if (!run(db, "COMMIT", error))
        return false;
    process_commits.fetch_add(1, std::memory_order_release);
    return true;
}

// Reads a pragma that yields one integer.
bool read_integer(sqlite3* db, const char* sql, int& value, std::string& error)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
        return false;
    }
    const int status = sqlite3_step(statement);
    if (status == SQLITE_ROW)
        value = sqlite3_column_int(statement, 0);
    else
        error = sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    return status == SQLITE_ROW;
}

// Resets a statement when leaving the scope, so that a read never keeps a
// snapshot open between calls.
struct ResetOnExit {
    sqlite3_stmt* statement;
    ~ResetOnExit()
    {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
};

template <std::size_t N>
void bind_bytes(sqlite3_stmt* statement, int index, const std::array<unsigned char, N>& bytes)
{
    sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(N), SQLITE_STATIC);
}

template <std::size_t N>
void bind_optional(sqlite3_stmt* statement, int index,
                   const std::optional<std::array<unsigned char, N>>& bytes)
{
    if (bytes)
        bind_bytes(statement, index, *bytes);
    else
        sqlite3_bind_null(statement, index);
}

void bind_text(sqlite3_stmt* statement, int index, std::string_view text)
{
    sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

template <std::size_t N>
bool column_bytes(sqlite3_stmt* statement, int column, std::array<unsigned char, N>& out)
{
    if (sqlite3_column_type(statement, column) != SQLITE_BLOB
        || sqlite3_column_bytes(statement, column) != static_cast<int>(N))
        return false;
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, column));
    std::copy(bytes, bytes + N, out.begin());
    return true;
}

std::string column_text(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                : std::string();
}

Verdict verdict_from(int value)
{
    switch (value) {
    case 1:  return Verdict::Good;
    case 2:  return Verdict::Bad;
    default: return Verdict::Unknown;
    }
}

// An import first appends the list, as it comes, to a scratch table outside
// the store, then merges it into the store's tables in key order at commit:
// SQLite's own sorter orders it (spilling to temporary files, so memory stays
// flat), and each page of the store is then written once instead of once per
// entry. The merge runs inside the import's transaction.
class SqliteImport final : public StoreImport {
public:
    SqliteImport(sqlite3* db, sqlite3_int64 source, Statement stage)
        : db_(db), source_(source), stage_(std::move(stage))
    {
    }

    ~SqliteImport() override
    {
        if (open_)
            fail();
    }

    StoreStatus add_batch(std::span<const ImportEntry> entries, std::string& error) override
    {
        if (!open_)
            return import_ended(error);
        for (const ImportEntry& entry : entries)
            if (!stage(entry, error)) {
                fail();
                return StoreStatus::Error;
            }
        return StoreStatus::Ok;
    }

    StoreStatus commit(std::string& error) override
    {
        if (!open_)
            return import_ended(error);
        if (!merge(error) || !::commit(db_, error)) {
            fail();
            return StoreStatus::Error;
        }
        open_ = false;
        clear_stage();
        return StoreStatus::Ok;
    }

    std::uint64_t new_listings() const override { return new_listings_; }

private:
    bool stage(const ImportEntry& entry, std::string& error)
    {
        sqlite3_stmt* statement = stage_.get();
        bind_bytes(statement, 1, entry.md5);
        bind_optional(statement, 2, entry.sha1);
        bind_optional(statement, 3, entry.sha256);
        // SQLite integers are signed: a size beyond them is kept as unknown
        // rather than wrapped into a wrong one.
        if (entry.size && *entry.size <= static_cast<std::uint64_t>(INT64_MAX))
            sqlite3_bind_int64(statement, 4, static_cast<sqlite3_int64>(*entry.size));
        else
            sqlite3_bind_null(statement, 4);
        sqlite3_bind_int(statement, 5, static_cast<int>(entry.verdict));
        bind_text(statement, 6, entry.label);
        bind_text(statement, 7, entry.name);
        const int status = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (status != SQLITE_DONE) {
            error = describe(db_, "staging the list");
            return false;
        }
        verdicts_[static_cast<int>(entry.verdict)] = true;
        ++staged_;
        digests_ = digests_ || entry.sha1 || entry.sha256;
        return true;
    }

    bool step(sqlite3_stmt* statement, const char* what, std::string& error)
    {
        const int status = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (status != SQLITE_DONE) {
            error = describe(db_, what);
            return false;
        }
        return true;
    }

    // The SHA-1 and SHA-256 indexes take the files in an order random to
    // the MD5 order they are merged in: for a list large beside the store,
    // sorting them anew costs far less than placing each entry (every
    // placement another page in and out of the cache). The store's listings
    // are what it holds at most.
    bool rebuild_digest_indexes(bool& rebuild, std::string& error)
    {
        rebuild = false;
        if (!digests_)
            return true;
        Statement large = prepare(db_,
            "SELECT ?1 * 4 >= (SELECT coalesce(sum(files), 0) FROM source_counts)", error);
        if (!large)
            return false;
        sqlite3_bind_int64(large.get(), 1, static_cast<sqlite3_int64>(staged_));
        rebuild = sqlite3_step(large.get()) == SQLITE_ROW && sqlite3_column_int(large.get(), 0) == 1;
        large.reset();  // a running statement would keep the table locked
        return !rebuild || (run(db_, "DROP INDEX files_by_sha1", error)
                            && run(db_, "DROP INDEX files_by_sha256", error));
    }

    bool merge(std::string& error)
    {
        bool rebuild = false;
        if (!rebuild_digest_indexes(rebuild, error))
            return false;
        // "WHERE true" tells the parser the ON CONFLICT belongs to the INSERT.
        if (!run(db_,
                 "INSERT INTO files (md5, sha1, sha256, size, verdict, label)"
                 " SELECT md5, sha1, sha256, size, verdict, label FROM temp.import_stage"
                 " WHERE true ORDER BY md5"
                 " ON CONFLICT (md5) DO UPDATE SET"
                 " sha1 = coalesce(sha1, excluded.sha1),"
                 " sha256 = coalesce(sha256, excluded.sha256),"
                 " size = coalesce(size, excluded.size),"
                 " label = CASE WHEN excluded.verdict > verdict"
                 "              OR (excluded.verdict = verdict AND label = '')"
                 "         THEN excluded.label ELSE label END,"
                 " verdict = max(verdict, excluded.verdict)"
                 " WHERE excluded.verdict > verdict"
                 " OR (label = '' AND excluded.label <> '' AND excluded.verdict = verdict)"
                 " OR (sha1 IS NULL AND excluded.sha1 IS NOT NULL)"
                 " OR (sha256 IS NULL AND excluded.sha256 IS NOT NULL)"
                 " OR (size IS NULL AND excluded.size IS NOT NULL)",
                 error)
            || !run(db_,
                    "INSERT OR IGNORE INTO names (md5, name)"
                    " SELECT md5, name FROM temp.import_stage WHERE name <> '' ORDER BY md5, name",
                    error)
            || (rebuild && (!run(db_, schema_sql[1], error) || !run(db_, schema_sql[2], error))))
            return false;

        // One pass per verdict the list gave (nearly always one), so that the
        // new listings are counted by verdict; the strongest goes first, so
        // that it is the one kept when a list names a file twice.
        Statement listings = prepare(db_,
            "INSERT OR IGNORE INTO listings (md5, source, verdict)"
            " SELECT md5, ?1, verdict FROM temp.import_stage WHERE verdict = ?2 ORDER BY md5",
            error);
        Statement counts = prepare(db_,
            "INSERT INTO source_counts (source, verdict, files) VALUES (?1, ?2, ?3)"
            " ON CONFLICT (source, verdict) DO UPDATE SET files = files + excluded.files",
            error);
        if (!listings || !counts)
            return false;
        for (int verdict = 2; verdict >= 0; --verdict) {
            if (!verdicts_[verdict])
                continue;
            sqlite3_bind_int64(listings.get(), 1, source_);
            sqlite3_bind_int(listings.get(), 2, verdict);
            if (!step(listings.get(), "adding the listings", error))
                return false;
            const auto added = static_cast<std::uint64_t>(sqlite3_changes64(db_));
            new_listings_ += added;
            sqlite3_bind_int64(counts.get(), 1, source_);
            sqlite3_bind_int(counts.get(), 2, verdict);
            sqlite3_bind_int64(counts.get(), 3, static_cast<sqlite3_int64>(added));
            if (!step(counts.get(), "counting the import", error))
                return false;
        }
        return true;
    }

    void clear_stage()
    {
        std::string ignored;
        run(db_, "DELETE FROM temp.import_stage", ignored);
    }

    void fail()
    {
        std::string ignored;
        run(db_, "ROLLBACK", ignored);
        open_ = false;
        new_listings_ = 0;
        clear_stage();
    }

    sqlite3*      db_;
    sqlite3_int64 source_;
    Statement     stage_;
    bool          open_ = true;
    bool          verdicts_[3] = {};
    bool          digests_ = false;  // whether the list gave SHA-1s or SHA-256s
    std::uint64_t staged_ = 0;
    std::uint64_t new_listings_ = 0;
};

// Who holds a claimed sample: a token drawn once per process, then the
// connection's number. A claim whose token is not this process's was left
// by a process that ended.
const std::string& process_claimer()
{
    static const std::string token = [] {
        std::random_device random;
        char text[40];
        std::snprintf(text, sizeof text, "%08x%08x%08x:", random(), random(),
                      static_cast<unsigned>(::getpid()));
        return std::string(text);
    }();
    return token;
}

std::string claimer_name()
{
    static std::atomic<std::uint64_t> connections{0};
    return process_claimer() + std::to_string(connections.fetch_add(1));
}

class SqliteStore final : public Store {
public:
    SqliteStore(Database db, bool service, std::string path, struct stat opened)
        : db_(std::move(db)), service_(service), path_(std::move(path)), opened_(opened)
    {
    }

    bool prepare_reads(std::string& error)
    {
        sqlite3* db = db_.get();
        // The tables of the service's file are named without a schema: they
        // are found in the attached file, or in the empty stand-ins made in
        // the connection's temporary database when there is none.
        return (by_md5_ = prepare(db,
                    "SELECT sha1, sha256, size, verdict, label FROM files WHERE md5 = ?1", error))
            && (by_sha1_ = prepare(db, "SELECT md5 FROM files WHERE sha1 = ?1", error))
            && (by_sha256_ = prepare(db, "SELECT md5 FROM files WHERE sha256 = ?1", error))
            && (names_ = prepare(db, "SELECT name FROM names WHERE md5 = ?1 ORDER BY name", error))
            && (sources_ = prepare(db,
                    "SELECT s.name, s.imported FROM listings AS l JOIN sources AS s"
                    " ON s.id = l.source WHERE l.md5 = ?1 ORDER BY s.name", error))
            && (counts_ = prepare(db,
                    "SELECT s.name, c.verdict, c.files FROM source_counts AS c JOIN sources AS s"
                    " ON s.id = c.source WHERE c.files > 0 ORDER BY s.name, c.verdict", error))
            && (scans_ = prepare(db,
                    "SELECT sha1, sha256, size, engine, engine_version, signature_version, scanned,"
                    " found, signature, id FROM scans WHERE md5 = ?1 ORDER BY id DESC", error))
            && (matches_ = prepare(db,
                    "SELECT m.scan, m.rule, m.namespace, m.tags, m.description, m.author"
                    " FROM scans AS s JOIN scan_matches AS m ON m.scan = s.id WHERE s.md5 = ?1"
                    " ORDER BY m.scan, m.position", error))
            && (file_type_ = prepare(db,
                    "SELECT mime, type, ssdeep FROM file_types WHERE md5 = ?1", error))
            && (faults_ = prepare(db,
                    "SELECT analyser, detail FROM analyser_faults WHERE md5 = ?1 ORDER BY analyser",
                    error))
            && (members_ = prepare(db,
                    "SELECT name, md5, sha1, skipped FROM archive_members WHERE parent = ?1"
                    " AND position < 2000" // kMembersListed
                    " ORDER BY position", error))
            && (parents_ = prepare(db,
                    "SELECT parent, parent_sha1, name FROM archive_members WHERE md5 = ?1"
                    " ORDER BY parent, position", error))
            && (children_page_ = prepare(db,
                    "SELECT DISTINCT sha1 FROM archive_members WHERE parent_sha1 = ?1"
                    " AND sha1 > ?2 ORDER BY sha1 LIMIT ?3", error))
            && (children_count_ = prepare(db,
                    "SELECT count(DISTINCT sha1) FROM archive_members WHERE parent_sha1 = ?1",
                    error))
            && (parents_page_ = prepare(db,
                    "SELECT DISTINCT parent_sha1 FROM archive_members WHERE sha1 = ?1"
                    " AND parent_sha1 > ?2 ORDER BY parent_sha1 LIMIT ?3", error))
            && (parents_count_ = prepare(db,
                    "SELECT count(DISTINCT parent_sha1) FROM archive_members WHERE sha1 = ?1",
                    error))
            && (upload_names_ = prepare(db,
                    "SELECT name FROM upload_names WHERE md5 = ?1 ORDER BY name", error))
            && (scan_by_sha1_ = prepare(db, "SELECT md5 FROM scans WHERE sha1 = ?1 LIMIT 1", error))
            && (scan_by_sha256_ = prepare(db,
                    "SELECT md5 FROM scans WHERE sha256 = ?1 LIMIT 1", error))
            && (upload_counts_ = prepare(db,
                    "SELECT found, count(*) FROM (SELECT max(found) AS found FROM scans GROUP BY md5)"
                    " GROUP BY found ORDER BY found", error))
            && (scan_count_ = prepare(db, "SELECT count(*) FROM scans", error))
            // Each file once, with the verdict its record shows: a file
            // known from uploads alone by its scans, and a listed one that a
            // scan found something in as bad.
            && (by_verdict_ = prepare(db,
                    "SELECT verdict, sum(files) FROM ("
                    " SELECT verdict, count(*) AS files FROM files GROUP BY verdict"
                    " UNION ALL SELECT 2 * found, count(*) FROM"
                    "  (SELECT md5, max(found) AS found FROM scans GROUP BY md5) AS u"
                    "  WHERE NOT EXISTS (SELECT 1 FROM files AS f WHERE f.md5 = u.md5) GROUP BY found"
                    " UNION ALL SELECT verdict, -count(*) FROM files"
                    "  WHERE verdict < 2 AND md5 IN (SELECT md5 FROM scans WHERE found) GROUP BY verdict"
                    " UNION ALL SELECT 2, count(*) FROM files"
                    "  WHERE verdict < 2 AND md5 IN (SELECT md5 FROM scans WHERE found))"
                    " GROUP BY verdict", error))
            && (data_version_ = prepare(db, "PRAGMA data_version", error))
            && (!sqlite3_db_filename(db, "live")
                || (live_version_ = prepare(db, "PRAGMA live.data_version", error)))
            && (begin_read_ = prepare(db, "BEGIN", error))
            && (end_read_ = prepare(db, "COMMIT", error))
            && (!service_ || prepare_writes(error));
    }

    bool prepare_writes(std::string& error)
    {
        sqlite3* db = db_.get();
        return (add_scan_ = prepare(db,
                    "INSERT INTO scans (md5, sha1, sha256, size, engine, engine_version,"
                    " signature_version, scanned, found, signature) VALUES (?1, ?2, ?3, ?4, ?5, ?6,"
                    " ?7, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), ?8, ?9)", error))
            && (add_name_ = prepare(db,
                    "INSERT OR IGNORE INTO upload_names (md5, name) VALUES (?1, ?2)", error))
            && (begin_write_ = prepare(db, "BEGIN IMMEDIATE", error))
            && (add_match_ = prepare(db,
                    "INSERT INTO scan_matches (scan, position, rule, namespace, tags, description,"
                    " author) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)", error))
            && (set_type_ = prepare(db,
                    "INSERT OR REPLACE INTO file_types (md5, mime, type, ssdeep)"
                    " VALUES (?1, ?2, ?3, ?4)", error))
            && (drop_faults_ = prepare(db, "DELETE FROM analyser_faults WHERE md5 = ?1", error))
            && (add_fault_ = prepare(db,
                    "INSERT OR REPLACE INTO analyser_faults (md5, analyser, detail)"
                    " VALUES (?1, ?2, ?3)", error))
            && (drop_members_ = prepare(db, "DELETE FROM archive_members WHERE parent = ?1", error))
            && (add_member_ = prepare(db,
                    "INSERT INTO archive_members (parent, position, parent_sha1, name, md5, sha1,"
                    " skipped) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)", error))
            && (queue_add_ = prepare(db,
                    "INSERT OR IGNORE INTO rescan_queue (sha256, asked, newest, queued, claimed)"
                    " VALUES (?1, ?2, ?3, ?4, NULL)", error))
            && (queue_last_ = prepare(db, "SELECT coalesce(max(queued), 0) FROM rescan_queue",
                                      error))
            && (queue_raise_ = prepare(db,
                    "UPDATE rescan_queue SET asked = max(asked, ?2) WHERE sha256 = ?1", error))
            // A claim by a connection of an earlier process is a worker that
            // died: the sample is free again. The file is one service's.
            && (queue_first_ = prepare(db,
                    "SELECT sha256, asked, newest FROM rescan_queue WHERE claimed IS NULL"
                    " OR substr(claimed, 1, length(?1)) <> ?1"
                    " ORDER BY asked DESC, newest DESC, queued LIMIT 1", error))
            && (queue_claim_ = prepare(db,
                    "UPDATE rescan_queue SET claimed = ?2 WHERE sha256 = ?1", error))
            && (queue_done_ = prepare(db,
                    "DELETE FROM rescan_queue WHERE sha256 = ?1 AND claimed = ?2", error))
            && (queue_release_ = prepare(db,
                    "UPDATE rescan_queue SET claimed = NULL WHERE sha256 = ?1 AND claimed = ?2",
                    error))
            && (queue_release_all_ = prepare(db,
                    "UPDATE rescan_queue SET claimed = NULL WHERE claimed = ?1", error))
            && (queue_size_ = prepare(db, "SELECT count(*) FROM rescan_queue", error))
            && (seen_read_ = prepare(db, "SELECT seen FROM signatures_seen WHERE engine = ?1",
                                     error))
            && (seen_write_ = prepare(db,
                    "INSERT OR REPLACE INTO signatures_seen (engine, seen) VALUES (?1, ?2)", error));
    }

    ~SqliteStore() override { release_claims(); }

    StoreStatus queue_rescans(std::span<const RescanItem> items, std::uint64_t& added,
                              std::string& error) override
    {
        added = 0;
        if (!writable(error) || !step_once(begin_write_.get(), error))
            return StoreStatus::Error;
        // Each new sample after the last queued, counted once per batch.
        sqlite3_int64 last = 0;
        bool done = true;
        {
            ResetOnExit reset{queue_last_.get()};
            if (sqlite3_step(queue_last_.get()) == SQLITE_ROW)
                last = sqlite3_column_int64(queue_last_.get(), 0);
            else
                done = false;
        }
        for (const RescanItem& item : items) {
            if (!done)
                break;
            const sqlite3_int64 asked =
                static_cast<sqlite3_int64>(std::min<std::uint64_t>(item.asked, INT64_MAX));
            bind_bytes(queue_add_.get(), 1, item.sha256);
            sqlite3_bind_int64(queue_add_.get(), 2, asked);
            sqlite3_bind_int64(queue_add_.get(), 3, item.newest);
            sqlite3_bind_int64(queue_add_.get(), 4, last + 1);
            if (!(done = step_once(queue_add_.get(), error)))
                break;
            if (sqlite3_changes(db_.get()) > 0) {
                ++added;
                ++last;
                continue;
            }
            bind_bytes(queue_raise_.get(), 1, item.sha256);
            sqlite3_bind_int64(queue_raise_.get(), 2, asked);
            if (!(done = step_once(queue_raise_.get(), error)))
                break;
        }
        if (done && commit(db_.get(), error))
            return StoreStatus::Ok;
        added = 0;
        std::string ignored;
        run(db_.get(), "ROLLBACK", ignored);
        return StoreStatus::Error;
    }

    StoreStatus claim_rescan(RescanItem& out, std::string& error) override
    {
        if (!writable(error) || !step_once(begin_write_.get(), error))
            return StoreStatus::Error;
        StoreStatus status = StoreStatus::NotFound;
        {
            sqlite3_stmt* first = queue_first_.get();
            ResetOnExit reset{first};
            bind_text(first, 1, process_claimer());
            const int stepped = sqlite3_step(first);
            if (stepped == SQLITE_ROW && column_bytes(first, 0, out.sha256)) {
                out.asked = static_cast<std::uint64_t>(sqlite3_column_int64(first, 1));
                out.newest = sqlite3_column_int64(first, 2);
                status = StoreStatus::Ok;
            } else if (stepped != SQLITE_DONE && stepped != SQLITE_ROW) {
                error = describe(db_.get(), "reading the queue");
                status = StoreStatus::Error;
            }
        }
        if (status == StoreStatus::Ok) {
            bind_bytes(queue_claim_.get(), 1, out.sha256);
            bind_text(queue_claim_.get(), 2, claimer_);
            if (!step_once(queue_claim_.get(), error))
                status = StoreStatus::Error;
        }
        if (status != StoreStatus::Error && commit(db_.get(), error))
            return status;
        std::string ignored;
        run(db_.get(), "ROLLBACK", ignored);
        return StoreStatus::Error;
    }

    StoreStatus end_rescan(const Sha256Bytes& sha256, bool done, std::string& error) override
    {
        if (!writable(error))
            return StoreStatus::Error;
        sqlite3_stmt* statement = done ? queue_done_.get() : queue_release_.get();
        bind_bytes(statement, 1, sha256);
        bind_text(statement, 2, claimer_);
        return step_once(statement, error) ? StoreStatus::Ok : StoreStatus::Error;
    }

    StoreStatus rescans_queued(std::uint64_t& out, std::string& error) override
    {
        out = 0;
        if (!writable(error))
            return StoreStatus::Error;
        ResetOnExit reset{queue_size_.get()};
        if (sqlite3_step(queue_size_.get()) != SQLITE_ROW) {
            error = describe(db_.get(), "counting the queue");
            return StoreStatus::Error;
        }
        out = static_cast<std::uint64_t>(sqlite3_column_int64(queue_size_.get(), 0));
        return StoreStatus::Ok;
    }

    StoreStatus signatures_seen(std::string_view engine, std::optional<std::string>& out,
                                std::string& error) override
    {
        out.reset();
        if (!writable(error))
            return StoreStatus::Error;
        ResetOnExit reset{seen_read_.get()};
        bind_text(seen_read_.get(), 1, engine);
        const int stepped = sqlite3_step(seen_read_.get());
        if (stepped == SQLITE_ROW)
            out = column_text(seen_read_.get(), 0);
        else if (stepped != SQLITE_DONE) {
            error = describe(db_.get(), "reading the signatures seen");
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

    StoreStatus set_signatures_seen(std::string_view engine, std::string_view seen,
                                    std::string& error) override
    {
        if (!writable(error))
            return StoreStatus::Error;
        bind_text(seen_write_.get(), 1, engine);
        bind_text(seen_write_.get(), 2, seen);
        return step_once(seen_write_.get(), error) ? StoreStatus::Ok : StoreStatus::Error;
    }

    // A file asked for again is answered from the records read since the
    // store last changed: one read of SQLite's data version, which moves
    // whenever another connection (an import) commits, instead of three.
    StoreStatus find_md5(const Md5Bytes& md5, FileRecord& out, std::string& error) override
    {
        std::int64_t version = 0;
        if (!current_version(version, error))
            return StoreStatus::Error;
        if (version != recent_version_ || recent_.size() >= kRecentMax) {
            recent_.clear();
            recent_version_ = version;
        }
        const std::string key(md5.begin(), md5.end());
        if (const auto hit = recent_.find(key); hit != recent_.end()) {
            if (!hit->second)
                return StoreStatus::NotFound;
            out = *hit->second;
            return StoreStatus::Ok;
        }
        // One snapshot for the three reads, so that an import committing
        // in between never shows half of a record.
        if (!step_once(begin_read_.get(), error))
            return StoreStatus::Error;
        const StoreStatus status = read_record(md5, out, error);
        std::string end_error;
        if (!step_once(end_read_.get(), end_error) && status != StoreStatus::Error) {
            error = end_error;
            return StoreStatus::Error;
        }
        // Read after the version: an import committing in between changes
        // the version, and the next look-up starts afresh.
        if (status != StoreStatus::Error)
            recent_.emplace(key, status == StoreStatus::Ok ? std::optional(out) : std::nullopt);
        return status;
    }

    StoreStatus find_sha1(const Sha1Bytes& sha1, FileRecord& out, std::string& error) override
    {
        return find_by({by_sha1_.get(), scan_by_sha1_.get()}, sha1, out, error);
    }

    StoreStatus find_sha256(const Sha256Bytes& sha256, FileRecord& out, std::string& error) override
    {
        return find_by({by_sha256_.get(), scan_by_sha256_.get()}, sha256, out, error);
    }

    StoreStatus counts(std::vector<SourceCount>& out, std::string& error) override
    {
        out.clear();
        sqlite3_stmt* statement = counts_.get();
        ResetOnExit reset{statement};
        int status;
        while ((status = sqlite3_step(statement)) == SQLITE_ROW)
            out.push_back({column_text(statement, 0), verdict_from(sqlite3_column_int(statement, 1)),
                           static_cast<std::uint64_t>(sqlite3_column_int64(statement, 2))});
        if (status != SQLITE_DONE) {
            error = describe(db_.get(), "counting");
            return StoreStatus::Error;
        }
        sqlite3_stmt* uploads = upload_counts_.get();
        ResetOnExit reset_uploads{uploads};
        while ((status = sqlite3_step(uploads)) == SQLITE_ROW)
            out.push_back({std::string(kUploadSource),
                           sqlite3_column_int(uploads, 0) ? Verdict::Bad : Verdict::Unknown,
                           static_cast<std::uint64_t>(sqlite3_column_int64(uploads, 1))});
        if (status != SQLITE_DONE) {
            error = describe(db_.get(), "counting the uploads");
            return StoreStatus::Error;
        }
        std::stable_sort(out.begin(), out.end(), [](const SourceCount& a, const SourceCount& b) {
            return a.source < b.source;
        });
        return StoreStatus::Ok;
    }

    StoreStatus scan_count(std::uint64_t& out, std::string& error) override
    {
        sqlite3_stmt* statement = scan_count_.get();
        ResetOnExit reset{statement};
        if (sqlite3_step(statement) != SQLITE_ROW) {
            error = describe(db_.get(), "counting the scans");
            return StoreStatus::Error;
        }
        out = static_cast<std::uint64_t>(sqlite3_column_int64(statement, 0));
        return StoreStatus::Ok;
    }

    StoreStatus add_upload(const UploadedFile& file, const ScanRecord* scan,
                           std::string& error) override
    {
        if (!service_) {
            error = "the store is not open for the service's own records";
            return StoreStatus::Error;
        }
        // This connection's own commits do not move its data version.
        recent_.clear();
        if (!step_once(begin_write_.get(), error))
            return StoreStatus::Error;
        bool done = true;
        if (scan) {
            sqlite3_stmt* add = add_scan_.get();
            bind_bytes(add, 1, file.md5);
            bind_bytes(add, 2, file.sha1);
            bind_bytes(add, 3, file.sha256);
            sqlite3_bind_int64(add, 4, static_cast<sqlite3_int64>(file.size));
            bind_text(add, 5, scan->engine);
            bind_text(add, 6, scan->engine_version);
            bind_text(add, 7, scan->signature_version);
            sqlite3_bind_int(add, 8, scan->found ? 1 : 0);
            bind_text(add, 9, scan->found ? std::string_view(scan->signature) : std::string_view(""));
            done = step_once(add, error);
        }
        if (done && !file.name.empty()) {
            bind_bytes(add_name_.get(), 1, file.md5);
            bind_text(add_name_.get(), 2, file.name);
            done = step_once(add_name_.get(), error);
        }
        if (done && commit(db_.get(), error))
            return StoreStatus::Ok;
        std::string ignored;
        run(db_.get(), "ROLLBACK", ignored);
        return StoreStatus::Error;
    }

    StoreStatus add_analyses(std::span<const AnalysisRecord> records, std::string& error) override
    {
        if (!service_) {
            error = "the store is not open for the service's own records";
            return StoreStatus::Error;
        }
        recent_.clear();
        if (!step_once(begin_write_.get(), error))
            return StoreStatus::Error;
        bool done = true;
        for (std::size_t i = 0; done && i < records.size(); ++i)
            done = write_analysis(records[i], error);
        if (done && commit(db_.get(), error))
            return StoreStatus::Ok;
        std::string ignored;
        run(db_.get(), "ROLLBACK", ignored);
        return StoreStatus::Error;
    }

    StoreStatus archive_links(const Sha1Bytes& sha1, LinkDirection direction,
                              const std::optional<Sha1Bytes>& after, std::size_t limit,
                              LinkPage& out, std::string& error) override
    {
        out = {};
        const bool children = direction == LinkDirection::Children;
        sqlite3_stmt* page = children ? children_page_.get() : parents_page_.get();
        sqlite3_stmt* count = children ? children_count_.get() : parents_count_.get();
        ResetOnExit reset_page{page};
        ResetOnExit reset_count{count};
        bind_bytes(page, 1, sha1);
        // The empty blob sorts before every digest.
        if (after)
            bind_bytes(page, 2, *after);
        else
            sqlite3_bind_blob(page, 2, "", 0, SQLITE_STATIC);
        sqlite3_bind_int64(page, 3, static_cast<sqlite3_int64>(
                                        std::min<std::size_t>(limit, INT64_MAX)));
        int status;
        while ((status = sqlite3_step(page)) == SQLITE_ROW)
            if (Sha1Bytes link; column_bytes(page, 0, link))
                out.sha1s.push_back(link);
        bind_bytes(count, 1, sha1);
        if (status != SQLITE_DONE || sqlite3_step(count) != SQLITE_ROW) {
            error = describe(db_.get(), "reading the archive links");
            return StoreStatus::Error;
        }
        out.total = static_cast<std::uint64_t>(sqlite3_column_int64(count, 0));
        return StoreStatus::Ok;
    }

    StoreStatus count_files(const FileFilter& filter, std::uint64_t& out,
                            std::string& error) override
    {
        out = 0;
        const Unmapped unmapped(db_.get());
        const bool every_sha1 = filter.with_sha1 && !filter.verdict && filter.sources.empty();
        Statement count = start_walk(every_sha1 ? walk_sql.count_sha1 : walk_sql.count, filter, error);
        if (!count)
            return StoreStatus::Error;
        if (sqlite3_step(count.get()) != SQLITE_ROW) {
            error = describe(db_.get(), "counting the files");
            return StoreStatus::Error;
        }
        out = static_cast<std::uint64_t>(sqlite3_column_int64(count.get(), 0));
        return StoreStatus::Ok;
    }

    // One read transaction for the whole walk: an import committing
    // meanwhile is seen whole or not at all.
    StoreStatus walk_files(const FileFilter& filter,
                           const std::function<bool(std::span<const HeldDigests>)>& visit,
                           std::string& error) override
    {
        constexpr std::size_t kBatch = 4096;
        const Unmapped unmapped(db_.get());
        Statement rows = start_walk(walk_sql.walk, filter, error);
        if (!rows || !step_once(begin_read_.get(), error))
            return StoreStatus::Error;
        std::vector<HeldDigests> batch;
        batch.reserve(kBatch);
        int status = SQLITE_ROW;
        bool going = true;
        while (going && (status = sqlite3_step(rows.get())) == SQLITE_ROW) {
            HeldDigests& file = batch.emplace_back();
            column_bytes(rows.get(), 0, file.md5);
            Sha1Bytes sha1{};
            if (column_bytes(rows.get(), 1, sha1))
                file.sha1 = sha1;
            if (batch.size() == kBatch) {
                going = visit(batch);
                batch.clear();
            }
        }
        if (going && status == SQLITE_DONE && !batch.empty())
            visit(batch);
        rows.reset();
        std::string end_error;
        step_once(end_read_.get(), end_error);
        if (status != SQLITE_DONE && going) {
            error = describe(db_.get(), "reading the files");
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

    // The count reads the whole store, so it is kept until another
    // connection (an import) commits.
    StoreStatus files_by_verdict(std::array<std::uint64_t, 3>& out, std::string& error) override
    {
        std::int64_t version = 0;
        if (!current_version(version, error))
            return StoreStatus::Error;
        if (files_by_verdict_ && version == counted_version_) {
            out = *files_by_verdict_;
            return StoreStatus::Ok;
        }
        out = {};
        sqlite3_stmt* statement = by_verdict_.get();
        ResetOnExit reset{statement};
        int status;
        while ((status = sqlite3_step(statement)) == SQLITE_ROW)
            out[static_cast<std::size_t>(verdict_from(sqlite3_column_int(statement, 0)))] +=
                static_cast<std::uint64_t>(sqlite3_column_int64(statement, 1));
        if (status != SQLITE_DONE) {
            error = describe(db_.get(), "counting");
            return StoreStatus::Error;
        }
        files_by_verdict_ = out;
        counted_version_ = version;
        return StoreStatus::Ok;
    }

    // SQLite trusts its own cache while the log says nothing changed, so the
    // file itself is looked at too: still there, still the one opened, and
    // its header still readable and a database's.
    StoreStatus probe(std::string& error) override
    {
        if (path_ != ":memory:" && !file_unchanged()) {
            error = path_ + ": gone, replaced or unreadable since the service opened it";
            return StoreStatus::Error;
        }
        std::int64_t version = 0;
        if (!current_version(version, error, true))
            return StoreStatus::Error;
        FileRecord record;
        return find_md5(Md5Bytes{}, record, error) == StoreStatus::Error ? StoreStatus::Error
                                                                       : StoreStatus::Ok;
    }

    std::unique_ptr<StoreImport> begin_import(std::string_view source, std::string& error) override
    {
        sqlite3* db = db_.get();
        if (sqlite3_db_readonly(db, "main") == 1) {
            error = "the store is open for reading only";
            return nullptr;
        }
        // The scratch table lives in this connection's temporary database,
        // a file of its own that goes with the connection.
        if (!run(db, "CREATE TEMP TABLE IF NOT EXISTS import_stage ("
                     " md5 BLOB NOT NULL, sha1 BLOB, sha256 BLOB, size INTEGER,"
                     " verdict INTEGER NOT NULL, label TEXT NOT NULL, name TEXT NOT NULL)", error)
            || !run(db, "DELETE FROM temp.import_stage", error))
            return nullptr;
        Statement stage = prepare(db,
            "INSERT INTO temp.import_stage (md5, sha1, sha256, size, verdict, label, name)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)", error);
        Statement add_source = stage
            ? prepare(db, "INSERT INTO sources (name, imported)"
                          " VALUES (?1, strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))"
                          " ON CONFLICT (name) DO UPDATE SET imported = excluded.imported"
                          " RETURNING id", error) : nullptr;
        if (!add_source || !run(db, "BEGIN IMMEDIATE", error))
            return nullptr;

        bind_text(add_source.get(), 1, source);
        sqlite3_int64 source_id = 0;
        const int status = sqlite3_step(add_source.get());
        if (status == SQLITE_ROW)
            source_id = sqlite3_column_int64(add_source.get(), 0);
        else
            error = describe(db, "adding the source");
        add_source.reset();
        if (status != SQLITE_ROW) {
            std::string ignored;
            run(db, "ROLLBACK", ignored);
            return nullptr;
        }
        return std::make_unique<SqliteImport>(db, source_id, std::move(stage));
    }

    std::string engine_version() const override { return std::string("SQLite ") + sqlite3_libversion(); }
    int schema_version() const override { return current_schema; }

private:
    // Moves whenever another connection commits to the lists (an import) or
    // to the service's own file (a scan kept by another thread).
    //
    // Reading it takes a lock and a look at the file each time, a third of
    // what a cached answer costs; so it is read again only when this process
    // committed since, or after kVersionRecheck. Another process's import is
    // seen that much later at most, and whole.
    bool current_version(std::int64_t& version, std::string& error, bool fresh = false)
    {
        const std::uint64_t commits = process_commits.load(std::memory_order_acquire);
        const auto now = std::chrono::steady_clock::now();
        if (!fresh && version_read_ && commits == version_commits_ &&
            now - version_read_at_ < kVersionRecheck) {
            version = version_;
            return true;
        }
        version_read_ = false;
        version = 0;
        for (sqlite3_stmt* statement : {data_version_.get(), live_version_.get()}) {
            if (!statement)
                continue;
            const int status = sqlite3_step(statement);
            version = (version << 32) + sqlite3_column_int(statement, 0);
            sqlite3_reset(statement);
            if (status != SQLITE_ROW) {
                error = describe(db_.get(), "reading the store");
                return false;
            }
        }
        version_ = version;
        version_read_ = true;
        version_read_at_ = now;
        version_commits_ = commits;
        return true;
    }

    bool file_unchanged() const
    {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat now {};
        char header[16] = {};
        const bool same = fd >= 0 && ::fstat(fd, &now) == 0 && now.st_dev == opened_.st_dev &&
                          now.st_ino == opened_.st_ino &&
                          ::pread(fd, header, sizeof header, 0) == sizeof header &&
                          std::memcmp(header, "SQLite format 3", sizeof header) == 0;
        if (fd >= 0)
            ::close(fd);
        return same;
    }

    // A walk reads through SQLite's small page cache, not the map: pages
    // mapped once would all count as this process's memory until it ends.
    struct Unmapped {
        explicit Unmapped(sqlite3* connection) : db(connection)
        {
            std::string ignored;
            run(db, "PRAGMA mmap_size = 0", ignored);
        }
        ~Unmapped()
        {
            std::string ignored;
            run(db, reader_map, ignored);
        }
        Unmapped(const Unmapped&) = delete;
        Unmapped& operator=(const Unmapped&) = delete;
        sqlite3* db;
    };

    // The statement `sql` with `filter` bound; the sources go into a table
    // of the connection's own temporary database.
    Statement start_walk(const char* sql, const FileFilter& filter, std::string& error)
    {
        sqlite3* db = db_.get();
        if (!run(db, walk_sql.sources_table, error) || !run(db, "DELETE FROM temp.walk_sources", error))
            return nullptr;
        Statement add = prepare(db, "INSERT OR IGNORE INTO temp.walk_sources (name) VALUES (?1)", error);
        for (const std::string& source : filter.sources) {
            if (!add)
                return nullptr;
            bind_text(add.get(), 1, source);
            if (!step_once(add.get(), error))
                return nullptr;
        }
        Statement statement = prepare(db, sql, error);
        if (!statement)
            return nullptr;
        sqlite3_bind_int(statement.get(), 1, filter.verdict ? static_cast<int>(*filter.verdict) : -1);
        sqlite3_bind_int(statement.get(), 2, filter.with_sha1 ? 1 : 0);
        sqlite3_bind_int(statement.get(), 3, filter.sources.empty() ? 0 : 1);
        return statement;
    }

    bool writable(std::string& error) const
    {
        if (service_)
            return true;
        error = "the store is not open for the service's own records";
        return false;
    }

    bool step_once(sqlite3_stmt* statement, std::string& error)
    {
        const int status = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (status != SQLITE_DONE) {
            error = describe(db_.get(), "reading the store");
            return false;
        }
        return true;
    }

    // Looks the digest up in the lists, then among the uploads.
    template <std::size_t N>
    StoreStatus find_by(std::array<sqlite3_stmt*, 2> statements,
                        const std::array<unsigned char, N>& digest, FileRecord& out,
                        std::string& error)
    {
        for (sqlite3_stmt* statement : statements) {
            Md5Bytes md5{};
            ResetOnExit reset{statement};
            bind_bytes(statement, 1, digest);
            const int status = sqlite3_step(statement);
            if (status == SQLITE_DONE)
                continue;
            if (status != SQLITE_ROW || !column_bytes(statement, 0, md5)) {
                error = describe(db_.get(), "reading the store");
                return StoreStatus::Error;
            }
            // Found by another digest but gone by MD5 means an import
            // replaced it in between; that is not an error.
            return find_md5(md5, out, error);
        }
        return StoreStatus::NotFound;
    }

    // Runs `statement` with what `bind` binds, once, and resets it.
    template <class Bind>
    bool write_once(Statement& statement, Bind bind, std::string& error)
    {
        bind(statement.get());
        const bool done = step_once(statement.get(), error);
        sqlite3_clear_bindings(statement.get());
        return done;
    }

    bool write_analysis(const AnalysisRecord& record, std::string& error)
    {
        const UploadedFile& file = record.file;
        for (const ScanRecord& scan : record.scans) {
            const bool added = write_once(add_scan_, [&](sqlite3_stmt* add) {
                bind_bytes(add, 1, file.md5);
                bind_bytes(add, 2, file.sha1);
                bind_bytes(add, 3, file.sha256);
                sqlite3_bind_int64(add, 4, static_cast<sqlite3_int64>(file.size));
                bind_text(add, 5, scan.engine);
                bind_text(add, 6, scan.engine_version);
                bind_text(add, 7, scan.signature_version);
                sqlite3_bind_int(add, 8, scan.found ? 1 : 0);
                bind_text(add, 9, scan.found ? std::string_view(scan.signature) : std::string_view(""));
            }, error);
            if (!added)
                return false;
            const sqlite3_int64 id = sqlite3_last_insert_rowid(db_.get());
            for (std::size_t i = 0; i < scan.matches.size(); ++i) {
                const RuleMatch& match = scan.matches[i];
                if (!write_once(add_match_, [&](sqlite3_stmt* add) {
                        sqlite3_bind_int64(add, 1, id);
                        sqlite3_bind_int64(add, 2, static_cast<sqlite3_int64>(i));
                        bind_text(add, 3, match.rule);
                        bind_text(add, 4, match.rule_namespace);
                        bind_text(add, 5, match.tags);
                        bind_text(add, 6, match.description);
                        bind_text(add, 7, match.author);
                    }, error))
                    return false;
            }
        }
        if (!file.name.empty() && !write_once(add_name_, [&](sqlite3_stmt* add) {
                bind_bytes(add, 1, file.md5);
                bind_text(add, 2, file.name);
            }, error))
            return false;
        if ((!record.mime.empty() || !record.type.empty() || !record.ssdeep.empty())
            && !write_once(set_type_, [&](sqlite3_stmt* add) {
                bind_bytes(add, 1, file.md5);
                bind_text(add, 2, record.mime);
                bind_text(add, 3, record.type);
                bind_text(add, 4, record.ssdeep);
            }, error))
            return false;
        if (!write_once(drop_faults_, [&](sqlite3_stmt* drop) { bind_bytes(drop, 1, file.md5); }, error))
            return false;
        for (const AnalyserFault& fault : record.faults)
            if (!write_once(add_fault_, [&](sqlite3_stmt* add) {
                    bind_bytes(add, 1, file.md5);
                    bind_text(add, 2, fault.analyser);
                    bind_text(add, 3, fault.detail);
                }, error))
                return false;
        if (!record.archive)
            return true;
        if (!write_once(drop_members_, [&](sqlite3_stmt* drop) { bind_bytes(drop, 1, file.md5); }, error))
            return false;
        for (std::size_t i = 0; i < record.members.size(); ++i) {
            const MemberListing& member = record.members[i];
            if (!write_once(add_member_, [&](sqlite3_stmt* add) {
                    bind_bytes(add, 1, file.md5);
                    sqlite3_bind_int64(add, 2, static_cast<sqlite3_int64>(i));
                    bind_bytes(add, 3, file.sha1);
                    bind_text(add, 4, member.name);
                    bind_optional(add, 5, member.md5);
                    bind_optional(add, 6, member.sha1);
                    bind_text(add, 7, member.skipped);
                }, error))
                return false;
        }
        return true;
    }

    // What analyses found of an uploaded file, beside its scans.
    bool read_analysis(const Md5Bytes& md5, std::span<const sqlite3_int64> scan_ids,
                       UploadsRead& uploads)
    {
        int status;
        {
            sqlite3_stmt* rows = matches_.get();
            ResetOnExit reset{rows};
            bind_bytes(rows, 1, md5);
            while ((status = sqlite3_step(rows)) == SQLITE_ROW) {
                const auto at = std::find(scan_ids.begin(), scan_ids.end(), sqlite3_column_int64(rows, 0));
                if (at != scan_ids.end())
                    uploads.scans[static_cast<std::size_t>(at - scan_ids.begin())].matches.push_back(
                        {column_text(rows, 1), column_text(rows, 2), column_text(rows, 3),
                         column_text(rows, 4), column_text(rows, 5)});
            }
            if (status != SQLITE_DONE)
                return false;
        }
        {
            sqlite3_stmt* row = file_type_.get();
            ResetOnExit reset{row};
            bind_bytes(row, 1, md5);
            if ((status = sqlite3_step(row)) == SQLITE_ROW) {
                uploads.mime = column_text(row, 0);
                uploads.type = column_text(row, 1);
                uploads.ssdeep = column_text(row, 2);
            } else if (status != SQLITE_DONE) {
                return false;
            }
        }
        {
            sqlite3_stmt* rows = faults_.get();
            ResetOnExit reset{rows};
            bind_bytes(rows, 1, md5);
            while ((status = sqlite3_step(rows)) == SQLITE_ROW)
                uploads.faults.push_back({column_text(rows, 0), column_text(rows, 1)});
            if (status != SQLITE_DONE)
                return false;
        }
        {
            sqlite3_stmt* rows = members_.get();
            ResetOnExit reset{rows};
            bind_bytes(rows, 1, md5);
            while ((status = sqlite3_step(rows)) == SQLITE_ROW) {
                MemberListing member{column_text(rows, 0), {}, {}, column_text(rows, 3)};
                if (Md5Bytes digest; column_bytes(rows, 1, digest))
                    member.md5 = digest;
                if (Sha1Bytes digest; column_bytes(rows, 2, digest))
                    member.sha1 = digest;
                uploads.members.push_back(std::move(member));
            }
            if (status != SQLITE_DONE)
                return false;
        }
        sqlite3_stmt* rows = parents_.get();
        ResetOnExit reset{rows};
        bind_bytes(rows, 1, md5);
        while ((status = sqlite3_step(rows)) == SQLITE_ROW) {
            ArchiveParent parent;
            column_bytes(rows, 0, parent.md5);
            column_bytes(rows, 1, parent.sha1);
            parent.name = column_text(rows, 2);
            uploads.parents.push_back(std::move(parent));
        }
        return status == SQLITE_DONE;
    }

    // Reads what uploads say of the file, to add it to what the lists say.
    StoreStatus read_uploads(const Md5Bytes& md5, bool listed, FileRecord& out, std::string& error)
    {
        UploadsRead uploads;
        std::vector<sqlite3_int64> scan_ids;
        sqlite3_stmt* scans = scans_.get();
        ResetOnExit reset_scans{scans};
        bind_bytes(scans, 1, md5);
        int status;
        while ((status = sqlite3_step(scans)) == SQLITE_ROW) {
            if (uploads.scans.empty()) {
                column_bytes(scans, 0, uploads.sha1);
                column_bytes(scans, 1, uploads.sha256);
                uploads.size = static_cast<std::uint64_t>(sqlite3_column_int64(scans, 2));
            }
            uploads.scans.push_back({column_text(scans, 3), column_text(scans, 4),
                                     column_text(scans, 5), column_text(scans, 6),
                                     sqlite3_column_int(scans, 7) != 0, column_text(scans, 8), {}});
            scan_ids.push_back(sqlite3_column_int64(scans, 9));
        }
        if (status != SQLITE_DONE) {
            error = describe(db_.get(), "reading the scans");
            return StoreStatus::Error;
        }
        if (uploads.scans.empty())
            return listed ? StoreStatus::Ok : StoreStatus::NotFound;

        sqlite3_stmt* names = upload_names_.get();
        ResetOnExit reset_names{names};
        bind_bytes(names, 1, md5);
        while ((status = sqlite3_step(names)) == SQLITE_ROW)
            uploads.names.push_back(column_text(names, 0));
        if (status != SQLITE_DONE) {
            error = describe(db_.get(), "reading the upload names");
            return StoreStatus::Error;
        }
        if (!read_analysis(md5, scan_ids, uploads)) {
            error = describe(db_.get(), "reading the analyses");
            return StoreStatus::Error;
        }
        return merge_uploads(out, listed, std::move(uploads));
    }

    StoreStatus read_record(const Md5Bytes& md5, FileRecord& out, std::string& error)
    {
        out = FileRecord{};
        out.md5 = md5;
        sqlite3_stmt* file = by_md5_.get();
        ResetOnExit reset_file{file};
        bind_bytes(file, 1, md5);
        int status = sqlite3_step(file);
        if (status == SQLITE_DONE)
            return read_uploads(md5, false, out, error);
        if (status != SQLITE_ROW) {
            error = describe(db_.get(), "reading the store");
            return StoreStatus::Error;
        }
        if (Sha1Bytes sha1; column_bytes(file, 0, sha1))
            out.sha1 = sha1;
        if (Sha256Bytes sha256; column_bytes(file, 1, sha256))
            out.sha256 = sha256;
        if (sqlite3_column_type(file, 2) == SQLITE_INTEGER)
            out.size = static_cast<std::uint64_t>(sqlite3_column_int64(file, 2));
        out.verdict = verdict_from(sqlite3_column_int(file, 3));
        out.label = column_text(file, 4);

        sqlite3_stmt* names = names_.get();
        ResetOnExit reset_names{names};
        bind_bytes(names, 1, md5);
        while ((status = sqlite3_step(names)) == SQLITE_ROW)
            out.names.push_back(column_text(names, 0));
        if (status != SQLITE_DONE) {
            error = describe(db_.get(), "reading the store");
            return StoreStatus::Error;
        }

        sqlite3_stmt* sources = sources_.get();
        ResetOnExit reset_sources{sources};
        bind_bytes(sources, 1, md5);
        while ((status = sqlite3_step(sources)) == SQLITE_ROW)
            out.sources.push_back({column_text(sources, 0), column_text(sources, 1)});
        if (status != SQLITE_DONE) {
            error = describe(db_.get(), "reading the store");
            return StoreStatus::Error;
        }
        return read_uploads(md5, true, out, error);
    }

    // Samples claimed by this connection go back to the queue with it.
    void release_claims()
    {
        if (!queue_release_all_)
            return;
        ResetOnExit reset{queue_release_all_.get()};
        bind_text(queue_release_all_.get(), 1, claimer_);
        sqlite3_step(queue_release_all_.get());
    }

    Database    db_;
    bool        service_;
    std::string claimer_ = claimer_name();
    std::string path_;
    struct stat opened_;
    std::optional<std::array<std::uint64_t, 3>> files_by_verdict_;
    std::int64_t counted_version_ = 0;
    // Records read at recent_version_, by MD5 (nothing: not held); a bounded
    // few, emptied when full.
    static constexpr std::size_t kRecentMax = 4096;
    std::unordered_map<std::string, std::optional<FileRecord>> recent_;
    std::int64_t recent_version_ = -1;
    std::int64_t version_ = 0;
    bool version_read_ = false;
    std::chrono::steady_clock::time_point version_read_at_;
    std::uint64_t version_commits_ = 0;
    Statement by_md5_, by_sha1_, by_sha256_, names_, sources_, counts_, by_verdict_, data_version_,
              live_version_, begin_read_, end_read_;
    Statement scans_, upload_names_, scan_by_sha1_, scan_by_sha256_, upload_counts_, scan_count_;
    Statement add_scan_, add_name_, begin_write_;
    Statement matches_, file_type_, faults_, members_, parents_, children_page_, children_count_,
              parents_page_, parents_count_;
    Statement add_match_, set_type_, drop_faults_, add_fault_, drop_members_, add_member_;
    Statement queue_add_, queue_last_, queue_raise_, queue_first_, queue_claim_, queue_done_, queue_release_,
              queue_release_all_, queue_size_, seen_read_, seen_write_;
};

// A kind of file of ours: its mark, its schema version and the statements
// that make that schema.
struct Layout {
    int mark;
    int schema;
    std::span<const char* const> sql;
};

constexpr Layout store_layout{application_id, current_schema, schema_sql};

bool create_schema(sqlite3* db, const Layout& layout, std::string& error)
{
    if (!run(db, "BEGIN IMMEDIATE", error))
        return false;
    // Another process may have made the file since we looked.
    int version = 0;
    if (!read_integer(db, "PRAGMA user_version", version, error)) {
        std::string ignored;
        run(db, "ROLLBACK", ignored);
        return false;
    }
    if (version == 0) {
        for (const char* sql : layout.sql)
            if (!run(db, sql, error)) {
                std::string ignored;
                run(db, "ROLLBACK", ignored);
                return false;
            }
        // Pragmas take no parameters; both values are our own constants.
        const std::string ids = "PRAGMA application_id = " + std::to_string(layout.mark);
        const std::string schema = "PRAGMA user_version = " + std::to_string(layout.schema);
        if (!run(db, ids.c_str(), error) || !run(db, schema.c_str(), error)) {
            std::string ignored;
            run(db, "ROLLBACK", ignored);
            return false;
        }
    }
    return run(db, "COMMIT", error);
}

// Says why the file behind `db` (its schema `prefix`: "" or "live.") is not
// one of ours that this program may use, or nothing. Reads only: a refused
// file is never altered.
std::optional<std::string> refusal(sqlite3* db, const std::string& path, const Layout& layout,
                                   const std::string& prefix = "")
{
    int id = 0;
    int version = 0;
    std::string error;
    if (!read_integer(db, ("PRAGMA " + prefix + "application_id").c_str(), id, error)
        || !read_integer(db, ("PRAGMA " + prefix + "user_version").c_str(), version, error)) {
        // Only SQLite's own verdict makes a file foreign; anything else
        // (permissions, a lock, a full disk) is told as it is.
        if (sqlite3_errcode(db) == SQLITE_NOTADB)
            return path + " is not a brantwicker-service database (" + error + ")";
        return path + ": cannot be read (" + error + ")";
    }
    if (id != layout.mark)
        return path + " is not a brantwicker-service database";
    if (version > layout.schema)
        return path + " was made by a newer version (schema " + std::to_string(version)
             + "); this program reads schema " + std::to_string(layout.schema);
    if (version < layout.schema)
        return path + " has an unknown schema " + std::to_string(version)
             + "; this program reads schema " + std::to_string(layout.schema);
    return std::nullopt;
}

// The service's own writes live in a second file beside the store,
// `<store>-live`, with a mark and schema of its own: the store is the
// imports', read-only to the service, and an import may hold its write lock
// for minutes.
constexpr int live_mark   = 0x42574B4C;  // "BWKL"
constexpr int live_schema = 1;

constexpr const char* live_sql[] = {
    // Uploads and their scans. A scan keeps the file's digests and size with
    // it, so that an uploaded file needs no row in the lists.
    "CREATE TABLE scans ("
    " id INTEGER PRIMARY KEY, md5 BLOB NOT NULL, sha1 BLOB NOT NULL, sha256 BLOB NOT NULL,"
    " size INTEGER NOT NULL, engine TEXT NOT NULL, engine_version TEXT NOT NULL,"
    " signature_version TEXT NOT NULL, scanned TEXT NOT NULL, found INTEGER NOT NULL,"
    " signature TEXT NOT NULL)",
    "CREATE INDEX scans_by_md5 ON scans (md5, id)",
    "CREATE INDEX scans_by_sha1 ON scans (sha1)",
    "CREATE INDEX scans_by_sha256 ON scans (sha256)",
    "CREATE TABLE upload_names ("
    " md5 BLOB NOT NULL, name TEXT NOT NULL, PRIMARY KEY (md5, name)) WITHOUT ROWID",
    // The most-asked digests that were not held; no client is ever recorded.
    "CREATE TABLE unknown_digests ("
    " digest BLOB PRIMARY KEY NOT NULL, count INTEGER NOT NULL, error INTEGER NOT NULL,"
    " first_asked INTEGER NOT NULL, last_asked INTEGER NOT NULL) WITHOUT ROWID",
    // How many asks were counted in all: the counts' error bound follows from it.
    "CREATE TABLE unknown_asked (id INTEGER PRIMARY KEY CHECK (id = 1), total INTEGER NOT NULL)",
};

constexpr Layout live_layout{live_mark, live_schema, live_sql};

// What analyses find beside the scans, made where absent in a live file of
// an earlier version, so that its schema number stays as it was: the rules
// a scan's rules matched, the file's type and fuzzy digest, the analysers
// that could not finish, and the members of archives with their parents.
constexpr const char* analysis_sql[] = {
    "CREATE TABLE IF NOT EXISTS scan_matches ("
    " scan INTEGER NOT NULL, position INTEGER NOT NULL, rule TEXT NOT NULL,"
    " namespace TEXT NOT NULL, tags TEXT NOT NULL, description TEXT NOT NULL,"
    " author TEXT NOT NULL, PRIMARY KEY (scan, position)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS file_types ("
    " md5 BLOB PRIMARY KEY NOT NULL, mime TEXT NOT NULL, type TEXT NOT NULL,"
    " ssdeep TEXT NOT NULL) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS analyser_faults ("
    " md5 BLOB NOT NULL, analyser TEXT NOT NULL, detail TEXT NOT NULL,"
    " PRIMARY KEY (md5, analyser)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS archive_members ("
    " parent BLOB NOT NULL, position INTEGER NOT NULL, parent_sha1 BLOB NOT NULL,"
    " name TEXT NOT NULL, md5 BLOB, sha1 BLOB, skipped TEXT NOT NULL,"
    " PRIMARY KEY (parent, position)) WITHOUT ROWID",
    // The samples to analyse again, and the signatures each analyser had when
    // it was last filled. `claimed` names the connection that holds a sample:
    // this process's token, then the connection's number.
    "CREATE TABLE IF NOT EXISTS rescan_queue ("
    " sha256 BLOB PRIMARY KEY NOT NULL, asked INTEGER NOT NULL, newest INTEGER NOT NULL,"
    " queued INTEGER NOT NULL, claimed TEXT) WITHOUT ROWID",
    "CREATE INDEX IF NOT EXISTS rescan_queue_order ON rescan_queue (asked DESC, newest DESC, queued)",
    "CREATE TABLE IF NOT EXISTS signatures_seen ("
    " engine TEXT PRIMARY KEY NOT NULL, seen TEXT NOT NULL) WITHOUT ROWID",
    "CREATE INDEX IF NOT EXISTS archive_members_by_md5 ON archive_members (md5)",
    "CREATE INDEX IF NOT EXISTS archive_members_by_sha1 ON archive_members (sha1, parent_sha1)",
    ("CREATE INDEX IF NOT EXISTS archive_members_by_parent_sha1"
     " ON archive_members (parent_sha1, sha1)"),
};

// The analysis tables as empty stand-ins in the connection's temporary
// database, for those `present` says the live file lacks.
template <class Present>
bool stand_in_analysis(sqlite3* db, Present present, std::string& error)
{
    constexpr std::string_view prefix = "CREATE TABLE IF NOT EXISTS ";
    for (const std::string_view sql : analysis_sql) {
        if (!sql.starts_with(prefix))
            continue;
        const std::string_view rest = sql.substr(prefix.size());
        if (present(std::string(rest.substr(0, rest.find(' ')))))
            continue;
        if (!run(db, ("CREATE TEMP TABLE " + std::string(rest)).c_str(), error))
            return false;
    }
    return true;
}

// Look-up sessions, in the live file too; made where missing, so that a live
// file from before them serves as it is. A session keeps only its name, its
// time and the digests asked: never who asked.
struct SessionSql {
    const char* tables[2];
    const char* drop_expired_digests;
    const char* drop_expired;
    const char* create;
    const char* exists;
    const char* add;
    const char* read;
};
constexpr SessionSql session_sql{
    {"CREATE TABLE IF NOT EXISTS lookup_sessions ("
     " name TEXT PRIMARY KEY NOT NULL, expires INTEGER NOT NULL) WITHOUT ROWID",
     "CREATE TABLE IF NOT EXISTS lookup_session_digests ("
     " name TEXT NOT NULL, held INTEGER NOT NULL, digest TEXT NOT NULL,"
     " PRIMARY KEY (name, held, digest)) WITHOUT ROWID"},
    "DELETE FROM lookup_session_digests WHERE name IN"
    " (SELECT name FROM lookup_sessions WHERE expires <= ?1)",
    "DELETE FROM lookup_sessions WHERE expires <= ?1",
    "INSERT INTO lookup_sessions (name, expires) VALUES (?1, ?2)"
    " ON CONFLICT (name) DO UPDATE SET expires = excluded.expires",
    "SELECT 1 FROM lookup_sessions WHERE name = ?1 AND expires > ?2",
    "INSERT OR IGNORE INTO lookup_session_digests (name, held, digest) SELECT ?1, ?2, ?3"
    " WHERE (SELECT count(*) FROM lookup_session_digests WHERE name = ?1) < ?4",
    "SELECT held, digest FROM lookup_session_digests WHERE name = ?1 ORDER BY held, digest",
};

// Retro-hunts, in the live file too, made where missing. `running` is 1 for
// the one hunt that runs and null otherwise: its unique index lets one run
// at a time.
constexpr const char* hunt_tables_sql[] = {
    ("CREATE TABLE IF NOT EXISTS retro_hunts ("
     " id TEXT PRIMARY KEY NOT NULL, state TEXT NOT NULL, running INTEGER UNIQUE,"
     " done INTEGER NOT NULL, total INTEGER NOT NULL, started INTEGER NOT NULL,"
     " updated INTEGER NOT NULL, found INTEGER NOT NULL)"),
    ("CREATE TABLE IF NOT EXISTS retro_hunt_matches ("
     " id TEXT NOT NULL, position INTEGER NOT NULL, md5 TEXT NOT NULL, rule TEXT NOT NULL,"
     " name TEXT NOT NULL, first_seen TEXT NOT NULL, PRIMARY KEY (id, position)) WITHOUT ROWID"),
};
constexpr const char* hunt_cut_sql =
    "UPDATE retro_hunts SET state = 'interrupted', running = NULL"
    " WHERE running IS NOT NULL AND updated < ?1";

// Opens the SQLite file in `path` with `flags`, for one thread at a time,
// waiting a while for another process's lock.
Database open_database(const std::string& path, int flags, std::string& error)
{
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    Database db(raw);
    if (opened != SQLITE_OK) {
        error = path + ": " + (raw ? sqlite3_errmsg(raw) : "cannot open");
        return nullptr;
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, busy_timeout_ms);
    return db;
}

// Opens the live file in `path`, making it and its schema when it is absent
// or empty; a file of another kind or version is refused untouched.
Database open_live_file(const std::string& path, std::string& error)
{
    Database db = open_database(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
    sqlite3* raw = db.get();
    if (!db)
        return nullptr;
    int version = 0;
    int mark = 0;
    if (!read_integer(raw, "PRAGMA user_version", version, error)
        || !read_integer(raw, "PRAGMA application_id", mark, error)) {
        error = refusal(raw, path, live_layout).value_or(path + ": " + error);
        return nullptr;
    }
    const bool fresh = version == 0 && mark == 0;
    if (!fresh) {
        if (auto reason = refusal(raw, path, live_layout)) {
            error = *reason;
            return nullptr;
        }
    }
    if (!run(raw, "PRAGMA journal_mode = WAL", error)
        || !run(raw, "PRAGMA synchronous = NORMAL", error)
        || (fresh && !create_schema(raw, live_layout, error))) {
        error = path + ": " + error;
        return nullptr;
    }
    for (const char* sql : analysis_sql)
        if (!run(raw, sql, error)) {
            error = path + ": " + error;
            return nullptr;
        }
    return db;
}


// file: URIs let a connection whose lists are read-only still write the
// service's own file.
std::string file_uri(const std::string& path, std::string_view mode)
{
    std::string uri = "file://";
    for (const char byte : std::filesystem::absolute(path).string()) {
        const auto c = static_cast<unsigned char>(byte);
        if (std::isalnum(c) || std::string_view("/._-~").find(static_cast<char>(c)) != std::string_view::npos) {
            uri += static_cast<char>(c);
        } else {
            constexpr char digits[] = "0123456789ABCDEF";
            uri += '%';
            uri += digits[c >> 4];
            uri += digits[c & 15];
        }
    }
    return uri + "?mode=" + std::string(mode);
}

// Makes the service's own file beside the lists when it is absent, or checks
// that the one there is ours.
bool prepare_live_file(const std::string& live, std::string& error)
{
    return open_live_file(live, error) != nullptr;
}

// Attaches the service's own file as "live", read-only unless `writable`;
// without one, the same tables stand empty in the connection's temporary
// database, so that every statement reads alike.
bool attach_live(sqlite3* db, const std::string& live, bool writable, std::string& error)
{
    struct stat info {};
    if (::stat(live.c_str(), &info) != 0) {
        for (const std::string_view sql : live_sql)
            if (sql.starts_with("CREATE TABLE ")
                && !run(db, ("CREATE TEMP TABLE " + std::string(sql.substr(13))).c_str(), error))
                return false;
        return stand_in_analysis(db, [](const std::string&) { return false; }, error);
    }
    Statement attach = prepare(db, "ATTACH DATABASE ?1 AS live", error);
    if (!attach)
        return false;
    const std::string uri = file_uri(live, writable ? "rw" : "ro");
    bind_text(attach.get(), 1, uri);
    if (sqlite3_step(attach.get()) != SQLITE_DONE) {
        error = (sqlite3_errcode(db) & 0xff) == SQLITE_NOTADB
              ? live + " is not a brantwicker-service database" : describe(db, live);
        return false;
    }
    if (auto reason = refusal(db, live, live_layout, "live.")) {
        error = *reason;
        return false;
    }
    // A live file no service of this version has opened yet lacks them.
    Statement table = prepare(db,
        "SELECT 1 FROM live.sqlite_master WHERE type = 'table' AND name = ?1", error);
    if (!table || !stand_in_analysis(db, [&](const std::string& name) {
            ResetOnExit reset{table.get()};
            bind_text(table.get(), 1, name);
            return sqlite3_step(table.get()) == SQLITE_ROW;
        }, error))
        return false;
    // A scan the service answered for must outlive a power cut.
    return !writable || run(db, "PRAGMA live.synchronous = FULL", error);
}

class SqliteLiveStore final : public LiveStore {
public:
    explicit SqliteLiveStore(Database db) : db_(std::move(db)) {}

    StoreStatus load_unknown(std::vector<UnknownDigest>& out, std::uint64_t& asked,
                             std::string& error) override
    {
        out.clear();
        asked = 0;
        sqlite3* db = db_.get();
        Statement rows = prepare(db,
            "SELECT digest, count, error, first_asked, last_asked FROM unknown_digests", error);
        Statement total = rows ? prepare(db, "SELECT total FROM unknown_asked", error) : nullptr;
        if (!total)
            return StoreStatus::Error;
        int status;
        while ((status = sqlite3_step(rows.get())) == SQLITE_ROW) {
            const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(rows.get(), 0));
            UnknownDigest digest;
            digest.digest.assign(bytes, bytes + sqlite3_column_bytes(rows.get(), 0));
            digest.count = static_cast<std::uint64_t>(sqlite3_column_int64(rows.get(), 1));
            digest.error = static_cast<std::uint64_t>(sqlite3_column_int64(rows.get(), 2));
            digest.first_asked = sqlite3_column_int64(rows.get(), 3);
            digest.last_asked = sqlite3_column_int64(rows.get(), 4);
            out.push_back(std::move(digest));
        }
        if (status == SQLITE_DONE && (status = sqlite3_step(total.get())) == SQLITE_ROW)
            asked = static_cast<std::uint64_t>(sqlite3_column_int64(total.get(), 0));
        if (status != SQLITE_DONE && status != SQLITE_ROW) {
            error = describe(db, "reading the unknown digests");
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

    StoreStatus save_unknown(std::span<const UnknownDigest> digests, std::uint64_t asked,
                             std::string& error) override
    {
        sqlite3* db = db_.get();
        Statement add = prepare(db,
            "INSERT INTO unknown_digests (digest, count, error, first_asked, last_asked)"
            " VALUES (?1, ?2, ?3, ?4, ?5)", error);
        Statement total = add ? prepare(db,
            "INSERT OR REPLACE INTO unknown_asked (id, total) VALUES (1, ?1)", error) : nullptr;
        if (!total || !run(db, "BEGIN IMMEDIATE", error))
            return StoreStatus::Error;
        bool good = run(db, "DELETE FROM unknown_digests", error);
        for (std::size_t i = 0; good && i < digests.size(); ++i) {
            const UnknownDigest& digest = digests[i];
            sqlite3_stmt* statement = add.get();
            sqlite3_bind_blob(statement, 1, digest.digest.data(),
                              static_cast<int>(digest.digest.size()), SQLITE_STATIC);
            sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(digest.count));
            sqlite3_bind_int64(statement, 3, static_cast<sqlite3_int64>(digest.error));
            sqlite3_bind_int64(statement, 4, digest.first_asked);
            sqlite3_bind_int64(statement, 5, digest.last_asked);
            good = sqlite3_step(statement) == SQLITE_DONE;
            sqlite3_reset(statement);
        }
        sqlite3_bind_int64(total.get(), 1, static_cast<sqlite3_int64>(asked));
        good = good && sqlite3_step(total.get()) == SQLITE_DONE;
        if (!good || !run(db, "COMMIT", error)) {
            if (error.empty())
                error = describe(db, "saving the unknown digests");
            std::string ignored;
            run(db, "ROLLBACK", ignored);
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

    StoreStatus create_session(std::string_view name, std::int64_t expires, std::int64_t now,
                               std::string& error) override
    {
        sqlite3* db = db_.get();
        Statement drop_digests = prepare(db, session_sql.drop_expired_digests, error);
        Statement drop = drop_digests ? prepare(db, session_sql.drop_expired, error) : nullptr;
        Statement make = drop ? prepare(db, session_sql.create, error) : nullptr;
        if (!make || !run(db, "BEGIN IMMEDIATE", error))
            return StoreStatus::Error;
        sqlite3_bind_int64(drop_digests.get(), 1, now);
        sqlite3_bind_int64(drop.get(), 1, now);
        bind_text(make.get(), 1, name);
        sqlite3_bind_int64(make.get(), 2, expires);
        const bool good = sqlite3_step(drop_digests.get()) == SQLITE_DONE
                       && sqlite3_step(drop.get()) == SQLITE_DONE
                       && sqlite3_step(make.get()) == SQLITE_DONE;
        if (!good || !run(db, "COMMIT", error)) {
            if (error.empty())
                error = describe(db, "creating a session");
            std::string ignored;
            run(db, "ROLLBACK", ignored);
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

    StoreStatus add_to_session(std::string_view name, std::string_view digest, bool held,
                               std::int64_t now, std::string& error) override
    {
        const StoreStatus found = session_exists(name, now, error);
        if (found != StoreStatus::Ok)
            return found;
        sqlite3* db = db_.get();
        Statement add = prepare(db, session_sql.add, error);
        if (!add)
            return StoreStatus::Error;
        bind_text(add.get(), 1, name);
        sqlite3_bind_int(add.get(), 2, held ? 1 : 0);
        bind_text(add.get(), 3, digest);
        sqlite3_bind_int64(add.get(), 4, static_cast<sqlite3_int64>(kSessionDigestsMax));
        if (sqlite3_step(add.get()) != SQLITE_DONE) {
            error = describe(db, "adding to a session");
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

    StoreStatus read_session(std::string_view name, std::int64_t now, LookupSession& out,
                             std::string& error) override
    {
        out = {};
        const StoreStatus found = session_exists(name, now, error);
        if (found != StoreStatus::Ok)
            return found;
        sqlite3* db = db_.get();
        Statement rows = prepare(db, session_sql.read, error);
        if (!rows)
            return StoreStatus::Error;
        bind_text(rows.get(), 1, name);
        int status;
        while ((status = sqlite3_step(rows.get())) == SQLITE_ROW)
            (sqlite3_column_int(rows.get(), 0) ? out.held : out.not_held)
                .push_back(column_text(rows.get(), 1));
        if (status != SQLITE_DONE) {
            error = describe(db, "reading a session");
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

    StoreStatus start_hunt(std::string_view id, std::int64_t now, std::int64_t stale_before,
                           std::int64_t forget_before, bool& started, std::string& error) override
    {
        started = false;
        sqlite3* db = db_.get();
        Statement cut = prepare(db, hunt_cut_sql, error);
        Statement forget_matches = cut ? prepare(db,
            "DELETE FROM retro_hunt_matches WHERE id IN"
            " (SELECT id FROM retro_hunts WHERE running IS NULL AND updated < ?1)", error) : nullptr;
        Statement forget = forget_matches ? prepare(db,
            "DELETE FROM retro_hunts WHERE running IS NULL AND updated < ?1", error) : nullptr;
        Statement make = forget ? prepare(db,
            "INSERT OR IGNORE INTO retro_hunts (id, state, running, done, total, started, updated, found)"
            " VALUES (?1, 'running', 1, 0, 0, ?2, ?2, 0)", error) : nullptr;
        if (!make || !run(db, "BEGIN IMMEDIATE", error))
            return StoreStatus::Error;
        sqlite3_bind_int64(cut.get(), 1, stale_before);
        sqlite3_bind_int64(forget_matches.get(), 1, forget_before);
        sqlite3_bind_int64(forget.get(), 1, forget_before);
        bind_text(make.get(), 1, id);
        sqlite3_bind_int64(make.get(), 2, now);
        bool good = sqlite3_step(cut.get()) == SQLITE_DONE
                 && sqlite3_step(forget_matches.get()) == SQLITE_DONE
                 && sqlite3_step(forget.get()) == SQLITE_DONE
                 && sqlite3_step(make.get()) == SQLITE_DONE;
        started = good && sqlite3_changes(db) == 1;
        if (!good || !run(db, "COMMIT", error)) {
            if (error.empty())
                error = describe(db, "starting a retro-hunt");
            std::string ignored;
            run(db, "ROLLBACK", ignored);
            started = false;
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

    StoreStatus update_hunt(std::string_view id, const HuntState& now_at,
                            std::span<const HuntMatch> found, std::string& error) override
    {
        sqlite3* db = db_.get();
        Statement before = prepare(db,
            "SELECT found FROM retro_hunts WHERE id = ?1 AND running IS NOT NULL", error);
        Statement change = before ? prepare(db,
            "UPDATE retro_hunts SET state = ?2, running = CASE WHEN ?2 = 'running' THEN 1 END,"
            " done = ?3, total = ?4, updated = ?5, found = found + ?6 WHERE id = ?1", error) : nullptr;
        Statement add = change ? prepare(db,
            "INSERT OR IGNORE INTO retro_hunt_matches (id, position, md5, rule, name, first_seen)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6)", error) : nullptr;
        if (!add || !run(db, "BEGIN IMMEDIATE", error))
            return StoreStatus::Error;
        bind_text(before.get(), 1, id);
        int status = sqlite3_step(before.get());
        const bool running = status == SQLITE_ROW;
        const std::int64_t had = running ? sqlite3_column_int64(before.get(), 0) : 0;
        bool good = status == SQLITE_ROW || status == SQLITE_DONE;
        if (good && running) {
            bind_text(change.get(), 1, id);
            bind_text(change.get(), 2, now_at.state);
            sqlite3_bind_int64(change.get(), 3, static_cast<sqlite3_int64>(now_at.done));
            sqlite3_bind_int64(change.get(), 4, static_cast<sqlite3_int64>(now_at.total));
            sqlite3_bind_int64(change.get(), 5, now_at.updated);
            sqlite3_bind_int64(change.get(), 6, static_cast<sqlite3_int64>(found.size()));
            good = sqlite3_step(change.get()) == SQLITE_DONE;
            for (std::size_t i = 0; good && i < found.size()
                                    && static_cast<std::size_t>(had) + i < kHuntMatchesMax; ++i) {
                sqlite3_stmt* statement = add.get();
                bind_text(statement, 1, id);
                sqlite3_bind_int64(statement, 2, had + static_cast<sqlite3_int64>(i));
                bind_text(statement, 3, found[i].md5);
                bind_text(statement, 4, found[i].rule);
                bind_text(statement, 5, found[i].name);
                bind_text(statement, 6, found[i].first_seen);
                good = sqlite3_step(statement) == SQLITE_DONE;
                sqlite3_reset(statement);
            }
        }
        if (!good || !run(db, "COMMIT", error)) {
            if (error.empty())
                error = describe(db, "keeping a retro-hunt's progress");
            std::string ignored;
            run(db, "ROLLBACK", ignored);
            return StoreStatus::Error;
        }
        return running ? StoreStatus::Ok : StoreStatus::NotFound;
    }

    StoreStatus read_hunt(std::string_view id, HuntState& out, std::string& error) override
    {
        out = {};
        sqlite3* db = db_.get();
        Statement hunt = prepare(db,
            "SELECT state, done, total, started, updated, found FROM retro_hunts WHERE id = ?1", error);
        Statement rows = hunt ? prepare(db,
            "SELECT md5, rule, name, first_seen FROM retro_hunt_matches WHERE id = ?1"
            " ORDER BY position", error) : nullptr;
        if (!rows || !run(db, "BEGIN", error))
            return StoreStatus::Error;
        bind_text(hunt.get(), 1, id);
        bind_text(rows.get(), 1, id);
        int status = sqlite3_step(hunt.get());
        const bool held = status == SQLITE_ROW;
        if (held) {
            sqlite3_stmt* row = hunt.get();
            out.state = column_text(row, 0);
            out.done = static_cast<std::uint64_t>(sqlite3_column_int64(row, 1));
            out.total = static_cast<std::uint64_t>(sqlite3_column_int64(row, 2));
            out.started = sqlite3_column_int64(row, 3);
            out.updated = sqlite3_column_int64(row, 4);
            out.found = static_cast<std::uint64_t>(sqlite3_column_int64(row, 5));
            while ((status = sqlite3_step(rows.get())) == SQLITE_ROW)
                out.matches.push_back({column_text(rows.get(), 0), column_text(rows.get(), 1),
                                       column_text(rows.get(), 2), column_text(rows.get(), 3)});
        }
        std::string ignored;
        if (status != SQLITE_DONE && status != SQLITE_ROW) {
            error = describe(db, "reading a retro-hunt");
            run(db, "ROLLBACK", ignored);
            return StoreStatus::Error;
        }
        run(db, "COMMIT", ignored);
        return held ? StoreStatus::Ok : StoreStatus::NotFound;
    }

    StoreStatus cut_hunts(std::int64_t stale_before, std::string& error) override
    {
        sqlite3* db = db_.get();
        Statement cut = prepare(db, hunt_cut_sql, error);
        if (!cut)
            return StoreStatus::Error;
        sqlite3_bind_int64(cut.get(), 1, stale_before);
        if (sqlite3_step(cut.get()) != SQLITE_DONE) {
            error = describe(db, "marking retro-hunts interrupted");
            return StoreStatus::Error;
        }
        return StoreStatus::Ok;
    }

private:
    StoreStatus session_exists(std::string_view name, std::int64_t now, std::string& error)
    {
        sqlite3* db = db_.get();
        Statement exists = prepare(db, session_sql.exists, error);
        if (!exists)
            return StoreStatus::Error;
        bind_text(exists.get(), 1, name);
        sqlite3_bind_int64(exists.get(), 2, now);
        switch (sqlite3_step(exists.get())) {
        case SQLITE_ROW:  return StoreStatus::Ok;
        case SQLITE_DONE: return StoreStatus::NotFound;
        default:          break;
        }
        error = describe(db, "reading a session");
        return StoreStatus::Error;
    }

    Database db_;
};

}  // namespace

std::unique_ptr<Store> open_sqlite_store(const std::string& path, StoreMode mode, std::string& error)
{
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists && errno != ENOENT) {
        error = path + ": cannot be read";
        return nullptr;
    }
    const bool fresh = !exists || (S_ISREG(info.st_mode) && info.st_size == 0);
    const bool reads = mode != StoreMode::ReadWrite;
    if (reads && !exists) {
        error = path + ": no such store";
        return nullptr;
    }
    if (reads && fresh) {
        error = path + " is empty, not a brantwicker-service database";
        return nullptr;
    }

    // The service's connections open the lists read-only through the URI,
    // so that the file attached beside them may still be written.
    const std::string name = reads ? file_uri(path, "ro") : path;
    const int flags = reads ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI
                            : SQLITE_OPEN_READWRITE | (fresh ? SQLITE_OPEN_CREATE : 0);
    Database db = open_database(name, flags, error);
    sqlite3* raw = db.get();
    if (!db) {
        error = path + error.substr(name.size());
        return nullptr;
    }

    if (!fresh) {
        if (auto reason = refusal(raw, path, store_layout)) {
            error = *reason;
            return nullptr;
        }
    }
    if (mode == StoreMode::ReadWrite) {
        // Only now that the file is known to be ours (or new) may it change.
        if (!run(raw, "PRAGMA journal_mode = WAL", error)
            || !run(raw, "PRAGMA synchronous = NORMAL", error)
            // A large import leaves a write-ahead log as large as itself;
            // once copied into the store it need not keep that disk space.
            || !run(raw, "PRAGMA journal_size_limit = 67108864", error)
            || !run(raw, import_cache, error)
            || !run(raw, "PRAGMA temp_store = FILE", error)
            || (fresh && !create_schema(raw, store_layout, error))) {
            error = path + ": " + error;
            return nullptr;
        }
    }
    if (reads && !run(raw, reader_map, error)) {
        error = path + ": " + error;
        return nullptr;
    }
    const std::string live = path + live_suffix;
    if ((mode == StoreMode::Service && !prepare_live_file(live, error))
        || !attach_live(raw, mode == StoreMode::ReadWrite ? std::string() : live,
                        mode == StoreMode::Service, error)) {
        if (!error.starts_with(live))
            error = path + ": " + error;
        return nullptr;
    }
    struct stat file {};
    if (path != ":memory:" && ::stat(path.c_str(), &file) != 0) {
        error = path + ": cannot be read";
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(std::move(db), mode == StoreMode::Service, path, file);
    if (!store->prepare_reads(error)) {
        error = path + ": " + error;
        return nullptr;
    }
    return store;
}

std::unique_ptr<LiveStore> open_sqlite_live_store(const std::string& store_path, std::string& error)
{
    Database db = open_live_file(store_path + "-live", error);
    if (!db)
        return nullptr;
    for (const char* sql : session_sql.tables)
        if (!run(db.get(), sql, error)) {
            error = store_path + "-live: " + error;
            return nullptr;
        }
    for (const char* sql : hunt_tables_sql)
        if (!run(db.get(), sql, error)) {
            error = store_path + "-live: " + error;
            return nullptr;
        }
    return std::make_unique<SqliteLiveStore>(std::move(db));
}
