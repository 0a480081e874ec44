// The store in one SQLite file (WAL mode, so that readers keep reading while an
// import writes). Every statement is prepared once with its text fixed here;
// nothing from outside is ever pasted into SQL.
#include "service/store/store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// Marks our files ("BWKS"), so that another program's database is refused
// rather than written into.
constexpr int application_id = 0x42574B53;
constexpr int current_schema = 1;

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
        if (!open_) {
            error = "this import has already ended";
            return StoreStatus::Error;
        }
        for (const ImportEntry& entry : entries)
            if (!stage(entry, error)) {
                fail();
                return StoreStatus::Error;
            }
        return StoreStatus::Ok;
    }

    StoreStatus commit(std::string& error) override
    {
        if (!open_) {
            error = "this import has already ended";
            return StoreStatus::Error;
        }
        if (!merge(error) || !run(db_, "COMMIT", error)) {
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
                 " label = CASE WHEN excluded.label <> ''"
                 "         AND (excluded.verdict > verdict OR label = '')"
                 "         THEN excluded.label ELSE label END,"
                 " verdict = max(verdict, excluded.verdict)"
                 " WHERE excluded.verdict > verdict OR (label = '' AND excluded.label <> '')"
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

class SqliteStore final : public Store {
public:
    explicit SqliteStore(Database db) : db_(std::move(db)) {}

    bool prepare_reads(std::string& error)
    {
        sqlite3* db = db_.get();
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
            && (begin_read_ = prepare(db, "BEGIN", error))
            && (end_read_ = prepare(db, "COMMIT", error));
    }

    StoreStatus find_md5(const Md5Bytes& md5, FileRecord& out, std::string& error) override
    {
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
        return status;
    }

    StoreStatus find_sha1(const Sha1Bytes& sha1, FileRecord& out, std::string& error) override
    {
        return find_by(by_sha1_.get(), sha1, out, error);
    }

    StoreStatus find_sha256(const Sha256Bytes& sha256, FileRecord& out, std::string& error) override
    {
        return find_by(by_sha256_.get(), sha256, out, error);
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
        return StoreStatus::Ok;
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

    template <std::size_t N>
    StoreStatus find_by(sqlite3_stmt* statement, const std::array<unsigned char, N>& digest,
                        FileRecord& out, std::string& error)
    {
        Md5Bytes md5{};
        {
            ResetOnExit reset{statement};
            bind_bytes(statement, 1, digest);
            const int status = sqlite3_step(statement);
            if (status == SQLITE_DONE)
                return StoreStatus::NotFound;
            if (status != SQLITE_ROW || !column_bytes(statement, 0, md5)) {
                error = describe(db_.get(), "reading the store");
                return StoreStatus::Error;
            }
        }
        // Found by another digest but gone by MD5 means an import replaced it
        // in between; that is not an error.
        return find_md5(md5, out, error);
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
            return StoreStatus::NotFound;
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
        return StoreStatus::Ok;
    }

    Database  db_;
    Statement by_md5_, by_sha1_, by_sha256_, names_, sources_, counts_, begin_read_, end_read_;
};

bool create_schema(sqlite3* db, std::string& error)
{
    if (!run(db, "BEGIN IMMEDIATE", error))
        return false;
    // Another process may have made the store since we looked.
    int version = 0;
    if (!read_integer(db, "PRAGMA user_version", version, error)) {
        std::string ignored;
        run(db, "ROLLBACK", ignored);
        return false;
    }
    if (version == 0) {
        for (const char* sql : schema_sql)
            if (!run(db, sql, error)) {
                std::string ignored;
                run(db, "ROLLBACK", ignored);
                return false;
            }
        // Pragmas take no parameters; both values are our own constants.
        const std::string ids = "PRAGMA application_id = " + std::to_string(application_id);
        const std::string schema = "PRAGMA user_version = " + std::to_string(current_schema);
        if (!run(db, ids.c_str(), error) || !run(db, schema.c_str(), error)) {
            std::string ignored;
            run(db, "ROLLBACK", ignored);
            return false;
        }
    }
    return run(db, "COMMIT", error);
}

// Says why the file behind `db` is not a store this program may use, or
// nothing. Reads only: a refused file is never altered.
std::optional<std::string> refusal(sqlite3* db, const std::string& path)
{
    int id = 0;
    int version = 0;
    std::string error;
    if (!read_integer(db, "PRAGMA application_id", id, error)
        || !read_integer(db, "PRAGMA user_version", version, error)) {
        // Only SQLite's own verdict makes a file foreign; anything else
        // (permissions, a lock, a full disk) is told as it is.
        if (sqlite3_errcode(db) == SQLITE_NOTADB)
            return path + " is not a brantwicker-service database (" + error + ")";
        return path + ": cannot be read (" + error + ")";
    }
    if (id != application_id)
        return path + " is not a brantwicker-service database";
    if (version > current_schema)
        return path + " was made by a newer version (schema " + std::to_string(version)
             + "); this program reads schema " + std::to_string(current_schema);
    if (version < current_schema)
        return path + " has an unknown schema " + std::to_string(version)
             + "; this program reads schema " + std::to_string(current_schema);
    return std::nullopt;
}

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
    if (mode == StoreMode::ReadOnly && !exists) {
        error = path + ": no such store";
        return nullptr;
    }
    if (mode == StoreMode::ReadOnly && fresh) {
        error = path + " is empty, not a brantwicker-service database";
        return nullptr;
    }

    const int flags = mode == StoreMode::ReadOnly ? SQLITE_OPEN_READONLY
                    : SQLITE_OPEN_READWRITE | (fresh ? SQLITE_OPEN_CREATE : 0);
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    Database db(raw);
    if (opened != SQLITE_OK) {
        error = path + ": " + (raw ? sqlite3_errmsg(raw) : "cannot open");
        return nullptr;
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, busy_timeout_ms);

    if (!fresh) {
        if (auto reason = refusal(raw, path)) {
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
            || (fresh && !create_schema(raw, error))) {
            error = path + ": " + error;
            return nullptr;
        }
    }
    if (mode == StoreMode::ReadOnly && !run(raw, reader_map, error)) {
        error = path + ": " + error;
        return nullptr;
    }
    auto store = std::make_unique<SqliteStore>(std::move(db));
    if (!store->prepare_reads(error)) {
        error = path + ": " + error;
        return nullptr;
    }
    return store;
}
