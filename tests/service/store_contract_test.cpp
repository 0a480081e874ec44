// The store's contract, run on each engine from the same cases: merging what
// sources say, names and sources in byte order, refusing databases that are
// not its own without touching them, and what readers see while an import
// runs or after the real program was killed in the middle of one. Then what
// only a database server does: imports waiting for each other, a connection
// lost mid-import, and reads that move to another server and come back.
#include "service/commands.h"
#include "service/store/store.h"
#include "service/web/unknown_digests.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "postgres_server.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string shared_md5 = "44d88612fea8a8f36de82e1278abb02f";
const std::string other_md5  = "1b55b9073f3d6afd23952113797e3d8d";

ImportEntry entry(std::string_view md5, std::string name, Verdict verdict, std::string label = {},
                  std::optional<std::uint64_t> size = {})
{
    ImportEntry e{{}, {}, {}, size, std::move(name), verdict, std::move(label)};
    parse_hex(md5, e.md5);
    return e;
}

UploadedFile upload(std::string_view md5, std::string name, unsigned char fill)
{
    UploadedFile file;
    parse_hex(md5, file.md5);
    file.sha1.fill(fill);
    file.sha256.fill(fill);
    file.size = 5;
    file.name = std::move(name);
    return file;
}

// Runs `sql` on the SQLite file at `path` as another program would.
int run_sql(const std::string& path, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const int status = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return status;
}

// One "source verdict files" line per row that counts() gives.
std::string counted(Store& store)
{
    std::vector<SourceCount> counts;
    std::string error, text;
    EXPECT_EQ(store.counts(counts, error), StoreStatus::Ok) << error;
    for (const SourceCount& c : counts)
        text += c.source + " " + std::string(verdict_name(c.verdict)) + " " + std::to_string(c.files) + "\n";
    return text;
}

// One server for all the PostgreSQL cases of this process.
PostgresServer& postgres()
{
    static PostgresServer server;
    return server;
}

const std::string postgres_engine = "postgresql";

// Skips the case where there is no server to test on, and fails it under CI.
void require_postgres()
{
    if (postgres().available())
        return;
    if (running_under_ci())
        FAIL() << postgres().why();
    GTEST_SKIP() << postgres().why();
}

class StoreContract : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/store-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        if (on_postgres()) {
            require_postgres();
            if (IsSkipped() || HasFailure())
                return;
            database_ = postgres().fresh_database();
            location_ = postgres().uri(database_);
        } else {
            location_ = (dir_ / "store.db").string();
        }
        store_ = open_store(location_, StoreMode::ReadWrite, error_);
        ASSERT_TRUE(store_) << error_;
    }
    void TearDown() override { fs::remove_all(dir_); }

    bool on_postgres() const { return GetParam() == postgres_engine; }

    StoreStatus find(Store& store, const std::string& hex)
    {
        return find_digest(store, *parse_digest(hex), record_, error_);
    }

    void import(const char* source, std::vector<ImportEntry> entries, std::uint64_t expect_new)
    {
        auto import = store_->begin_import(source, error_);
        ASSERT_TRUE(import) << error_;
        ASSERT_EQ(import->add_batch(entries, error_), StoreStatus::Ok) << error_;
        ASSERT_EQ(import->commit(error_), StoreStatus::Ok) << error_;
        EXPECT_EQ(import->new_listings(), expect_new) << source;
    }

    // Runs `text` on the store's database behind its back, on either engine.
    void behind_its_back(const char* text)
    {
        if (on_postgres())
            postgres().sql(database_, text);
        else
            EXPECT_EQ(run_sql(location_, text), SQLITE_OK) << text;
    }

    // Whether a running import has begun writing into the store itself.
    bool merging() const
    {
        if (on_postgres())
            return postgres().sql(database_, "SELECT count(*) FROM pg_stat_activity"
                                  " WHERE state = 'active' AND query LIKE 'INSERT INTO files%'") == "1";
        std::error_code no_wal_yet;
        const std::uintmax_t wal_bytes = fs::file_size(location_ + "-wal", no_wal_yet);
        return !no_wal_yet && wal_bytes > (1u << 20);
    }

    fs::path               dir_;
    std::string            location_, database_;
    std::unique_ptr<Store> store_;
    FileRecord             record_;
    std::string            error_;
};

TEST_P(StoreContract, MergesSourcesBadOverGoodAndNeverAddsTwice)
{
    import("list-a", {entry(shared_md5, "a.exe", Verdict::Unknown)}, 1);
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 1);
    import("signatures", {entry(shared_md5, "", Verdict::Bad, "Win.Test-1", 99)}, 1);
    // Imported again, a source is dated anew, though it adds nothing.
    behind_its_back("UPDATE sources SET imported = '2001-01-01T00:00:00Z'");
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 0);
    ImportEntry late = entry(shared_md5, "a.exe", Verdict::Good, "other");
    late.sha1.emplace().fill(0x11);
    late.sha256.emplace().fill(0x22);
    // Byte order, as memcmp: capitals before small letters, bytes that are
    // not UTF-8 kept as they came and last.
    // A name given twice is kept once.
    import("Late", {late, entry(shared_md5, "B.exe", Verdict::Good), entry(shared_md5, "\xff.bin", Verdict::Good),
                    entry(shared_md5, "B.exe", Verdict::Good)}, 1);

    ASSERT_EQ(find(*store_, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Bad);
    EXPECT_EQ(record_.label, "Win.Test-1");
    EXPECT_EQ(record_.size, 68u);  // the first size known stays
    EXPECT_EQ(record_.names, (std::vector<std::string>{"/usr/bin/a", "B.exe", "a.exe", "\xff.bin"}));
    ASSERT_EQ(record_.sources.size(), 4u);
    EXPECT_EQ(record_.sources[0].name, "Late");
    EXPECT_EQ(record_.sources[0].imported.size(), 20u);  // 2026-12-07T00:00:00Z
    EXPECT_EQ(record_.sources[0].imported.back(), 'Z');
    EXPECT_EQ(record_.sources[1].imported, "2001-01-01T00:00:00Z");  // list-a, not again
    EXPECT_NE(record_.sources[2].imported, "2001-01-01T00:00:00Z");
    EXPECT_EQ(counted(*store_), "Late good 1\nlist-a unknown 1\npackages good 1\nsignatures bad 1\n");

    // Found by the digests a late source filled in, and by nothing else.
    for (const std::string& hex : {std::string(40, '1'), std::string(64, '2')}) {
        ASSERT_EQ(find(*store_, hex), StoreStatus::Ok) << hex;
        EXPECT_EQ(to_hex(record_.md5), shared_md5);
    }
    EXPECT_EQ(find(*store_, std::string(40, '3')), StoreStatus::NotFound);
}

TEST_P(StoreContract, ReadersSeeAnImportWholeOrNotAtAll)
{
    import("first", {entry(shared_md5, "old", Verdict::Good)}, 1);
    auto service = open_store(location_, StoreMode::Service, error_);  // keeps scans
    ASSERT_TRUE(service) << error_;
    auto reader = open_store(location_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    const std::vector<ImportEntry> batch = {entry(other_md5, "new", Verdict::Bad),
                                            entry(shared_md5, "", Verdict::Bad, "Bad.One")};
    auto dropped = store_->begin_import("dropped", error_);
    ASSERT_TRUE(dropped && dropped->add_batch(batch, error_) == StoreStatus::Ok) << error_;
    dropped.reset();  // before its commit

    auto running = store_->begin_import("second", error_);
    ASSERT_TRUE(running && running->add_batch(batch, error_) == StoreStatus::Ok) << error_;
    EXPECT_EQ(find(*reader, other_md5), StoreStatus::NotFound) << error_;
    ASSERT_EQ(find(*reader, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Good);
    ASSERT_EQ(running->commit(error_), StoreStatus::Ok) << error_;
    // Asked again, both are read afresh: neither answer is kept past another
    // connection's commit (at once within one process on SQLite; on
    // PostgreSQL once its bound has passed).
    if (on_postgres())
        std::this_thread::sleep_for(postgres_recent_bound + 20ms);
    EXPECT_EQ(find(*reader, other_md5), StoreStatus::Ok) << error_;
    ASSERT_EQ(find(*reader, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Bad);
    EXPECT_EQ(counted(*reader), "first good 1\nsecond bad 2\n");

    // Nor past a scan another connection keeps.
    const ScanRecord scan{"ClamAV", "1.0.7", "27001", "", true, "Test.Found-1"};
    ASSERT_EQ(service->add_upload(upload(shared_md5, "scanned.bin", 0x33), &scan, error_),
              StoreStatus::Ok) << error_;
    if (on_postgres())
        std::this_thread::sleep_for(postgres_recent_bound + 20ms);
    ASSERT_EQ(find(*reader, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.scans.size(), 1u);
}

// Distinct, scattered digests: i times an odd constant is a bijection.
std::string line_for(unsigned long long i)
{
    char text[96];
    std::snprintf(text, sizeof text, "%016llx%016llx  /srv/files/%llu/name-%llu.bin\n",
                  i * 0x9E3779B97F4A7C15u, ~i * 0xC2B2AE3D27D4EB4Fu, i % 977, i);
    return text;
}

TEST_P(StoreContract, KilledImportLeavesTheStoreAsItWas)
{
    import("before", {entry(shared_md5, "old", Verdict::Good)}, 1);
    store_.reset();
    // A list longer than the page cache holds, killed once the merge into the
    // store has begun writing.
    const std::string list = (dir_ / "list.md5").string();
    std::ofstream out(list, std::ios::binary);
    for (unsigned long long i = 0; i < 400'000; ++i)
        out << line_for(i);
    ASSERT_TRUE(out.flush());

    const char* argv[] = {SERVICE_PROGRAM, "import", location_.c_str(), "--source", "killed",
                          "--format", "md5sum", list.c_str(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (merging())
            kill(child, SIGKILL);
        usleep(1000);
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "the import ended before it was killed";

    auto store = open_store(location_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(store) << error_;
    EXPECT_EQ(find(*store, line_for(0).substr(0, 32)), StoreStatus::NotFound);
    EXPECT_EQ(counted(*store), "before good 1\n");
    store.reset();
    // And writable again: the killed import's locks are gone.
    store_ = open_store(location_, StoreMode::ReadWrite, error_);
    ASSERT_TRUE(store_) << error_;
    import("after", {entry(other_md5, "new", Verdict::Good)}, 1);
}

// "verdict label size names sources" of one held file, as a reader gets it.
std::string summary(Store& store, std::string_view md5)
{
    FileRecord record;
    std::string error;
    if (find_digest(store, *parse_digest(md5), record, error) != StoreStatus::Ok)
        return "not held " + error;
    std::string text = std::string(verdict_name(record.verdict)) + " [" + record.label + "] "
                     + (record.size ? std::to_string(*record.size) : "-") + " " + (record.sha1 ? "sha1" : "-");
    for (const std::string& name : record.names)
        text += " " + name;
    text += " |";
    for (const SourceListing& source : record.sources)
        text += " " + source.name;
    return text;
}

std::vector<ImportEntry> filler(unsigned long long count)
{
    std::vector<ImportEntry> entries;
    for (unsigned long long i = 0; i < count; ++i)
        entries.push_back(entry(line_for(i).substr(0, 32), "filler", Verdict::Good, "pkg", i));
    return entries;
}

const std::string third_md5 = "0123456789abcdef0123456789abcdef";
const std::string fourth_md5 = "fedcba9876543210fedcba9876543210";

// The same lists give the same records whatever the store held before:
// nothing (the list is loaded whole), less than the list (merged into a
// copy), or more (merged in place). Each list names files more than once.
TEST_P(StoreContract, ListsThatRepeatFilesMergeAlikeIntoEveryStore)
{
    ImportEntry with_sha1 = entry(shared_md5, "/usr/bin/b", Verdict::Good, "", 99);
    with_sha1.sha1.emplace().fill(0x11);
    const std::vector<ImportEntry> packages = {
        entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68), with_sha1,
        entry(shared_md5, "/usr/bin/a", Verdict::Unknown),
        entry(other_md5, "x", Verdict::Bad), entry(other_md5, "y", Verdict::Bad, "Win.X"),
        entry(other_md5, "z", Verdict::Good, "pkg"),
        entry(third_md5, "", Verdict::Good, "pkg"), entry(third_md5, "", Verdict::Unknown, "u")};
    const std::vector<ImportEntry> signatures = {
        entry(other_md5, "y", Verdict::Good, "zz"), entry(third_md5, "t", Verdict::Good, "later"),
        entry(fourth_md5, "f", Verdict::Bad, "Win.F"), entry(fourth_md5, "f", Verdict::Bad, "Win.G")};
    for (const unsigned long long held : {0ull, 1ull, 60ull}) {
        SCOPED_TRACE("files held before: " + std::to_string(held));
        if (held > 0) {
            fs::remove_all(dir_);
            SetUp();
            ASSERT_FALSE(HasFailure());
            import("filler", filler(held), held);
        }
        import("packages", packages, 3);
        import("signatures", signatures, 3);
        std::vector<ImportEntry> again = packages;  // once per source, a name added
        again.push_back(entry(shared_md5, "/usr/bin/c", Verdict::Good));
        import("packages", again, 0);
        EXPECT_EQ(summary(*store_, shared_md5), "good [pkg] 68 sha1 /usr/bin/a /usr/bin/b /usr/bin/c | packages");
        EXPECT_EQ(summary(*store_, other_md5), "bad [Win.X] - - x y z | packages signatures");
        EXPECT_EQ(summary(*store_, third_md5), "good [pkg] - - t | packages signatures");
        EXPECT_EQ(summary(*store_, fourth_md5), "bad [Win.F] - - f | signatures");
        EXPECT_EQ(find(*store_, std::string(40, '1')), StoreStatus::Ok);
        if (held > 0) {
            EXPECT_EQ(summary(*store_, line_for(held - 1).substr(0, 32)),
                      "good [pkg] " + std::to_string(held - 1) + " - filler | filler");
        }
        EXPECT_EQ(counted(*store_), (held ? "filler good " + std::to_string(held) + "\n" : std::string())
                                    + "packages good 2\npackages bad 1\nsignatures good 2\nsignatures bad 1\n");
    }
}

TEST_P(StoreContract, RefusesDatabasesNotItsOwnAndLeavesThemAlone)
{
    // What another program or a later version left, as each engine holds it;
    // a null setup does not apply to that engine.
    struct Foreign {
        const char* sqlite;
        const char* postgres;
        const char* says;
    };
    const Foreign cases[] = {
        {"", nullptr, "is not a brantwicker-service database"},  // a text file
        {"CREATE TABLE t (x); INSERT INTO t VALUES (1)", "CREATE TABLE t (x int); INSERT INTO t VALUES (1)",
         "is not a brantwicker-service database"},
        {"PRAGMA application_id = 1113017171; PRAGMA user_version = 7; CREATE TABLE f (x)",
         "CREATE TABLE brantwicker_store (mark text, schema_version int);"
         " INSERT INTO brantwicker_store VALUES ('brantwicker-service store', 7)",
         "was made by a newer version (schema 7); this program reads schema "},
        {nullptr, "CREATE TABLE brantwicker_store (mark text, schema_version int);"
                  " INSERT INTO brantwicker_store VALUES ('another program', 1)",
         "is not a brantwicker-service database"},
    };
    int number = 0;
    for (const auto& [sqlite, postgres_sql, says] : cases) {
        const char* setup = on_postgres() ? postgres_sql : sqlite;
        if (!setup)
            continue;
        // Each state is read back after the refusals: it must not have moved.
        std::string location;
        std::function<std::string()> state;
        if (on_postgres()) {
            const std::string database = postgres().fresh_database();
            location = postgres().uri(database);
            postgres().sql(database, setup);
            state = [database] {
                return postgres().sql(database, "SELECT string_agg(relname, ',' ORDER BY relname)"
                                                " FROM pg_class WHERE relnamespace = 'public'::regnamespace");
            };
        } else {
            const fs::path path = dir_ / ("foreign-" + std::to_string(++number));
            location = path.string();
            if (*setup == '\0') {
                std::ofstream(path) << "not a database, only text long enough to look like a file\n";
            } else {
                sqlite3* db = nullptr;
                sqlite3_open(path.c_str(), &db);
                EXPECT_EQ(sqlite3_exec(db, setup, nullptr, nullptr, nullptr), SQLITE_OK) << setup;
                sqlite3_close(db);
            }
            state = [path] { return std::to_string(fs::last_write_time(path).time_since_epoch().count()); };
        }
        const std::string before = state();
        for (StoreMode mode : {StoreMode::ReadOnly, StoreMode::ReadWrite}) {
            EXPECT_FALSE(open_store(location, mode, error_)) << setup;
            EXPECT_NE(error_.find(says), std::string::npos) << error_;
        }
        EXPECT_EQ(state(), before) << setup;
    }

    // Reading never creates; an empty database becomes a store to write.
    std::string empty = (dir_ / "absent.db").string();
    if (on_postgres()) {
        empty = postgres().uri(postgres().fresh_database());
    } else {
        EXPECT_FALSE(open_store(empty, StoreMode::ReadOnly, error_));
        EXPECT_FALSE(fs::exists(empty));
        std::ofstream(empty).close();
    }
    EXPECT_FALSE(open_store(empty, StoreMode::ReadOnly, error_));
    EXPECT_NE(error_.find("empty"), std::string::npos) << error_;
    EXPECT_TRUE(open_store(empty, StoreMode::ReadWrite, error_)) << error_;
    EXPECT_TRUE(open_store(empty, StoreMode::ReadOnly, error_)) << error_;
}

// Uploads are written at once while an import holds the lists' write lock,
// apart from the lists, and are read merged with them (a found signature
// makes a listed good file bad; a clean scan changes no verdict).
TEST_P(StoreContract, UploadsAreKeptApartAndMergedOnReading)
{
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 1);
    auto service = open_store(location_, StoreMode::Service, error_);
    ASSERT_TRUE(service) << error_;
    auto running = store_->begin_import("slow", error_);  // holds the write lock
    ASSERT_TRUE(running && running->add_batch(std::vector{entry(other_md5, "x", Verdict::Good)},
                                              error_) == StoreStatus::Ok) << error_;

    const ScanRecord clean{"ClamAV", "1.0.7", "", "", false, ""};
    const ScanRecord found{"ClamAV", "1.0.7", "27001", "", true, "Test.Found-1"};
    const std::tuple<UploadedFile, const ScanRecord*> uploads[] = {
        {upload(other_md5, "<new>.bin", 0x33), &clean},
        {upload(other_md5, "again.bin", 0x33), &found},
        {upload(other_md5, "third.bin", 0x33), nullptr},  // answered from the scan before
        {upload(shared_md5, "", 0x44), &clean},
    };
    for (const auto& [file, scan] : uploads)
        ASSERT_EQ(service->add_upload(file, scan, error_), StoreStatus::Ok) << error_;
    running.reset();
    EXPECT_EQ(store_->add_upload(std::get<0>(uploads[0]), &clean, error_), StoreStatus::Error);
    // Each write tells the engine's caches of records that they are stale:
    // the import committed and the four uploads, not the import rolled back.
    if (on_postgres()) {
        EXPECT_EQ(postgres().sql(database_, "SELECT generation FROM brantwicker_store"), "5");
    }

    auto reader = open_store(location_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    ASSERT_EQ(find(*reader, std::string(40, '3')), StoreStatus::Ok) << error_;
    EXPECT_EQ(to_hex(record_.md5), other_md5);
    EXPECT_EQ(record_.verdict, Verdict::Bad);
    EXPECT_EQ(record_.label, "Test.Found-1");
    EXPECT_EQ(record_.size, 5u);
    EXPECT_EQ(record_.names, (std::vector<std::string>{"<new>.bin", "again.bin", "third.bin"}));
    ASSERT_EQ(record_.scans.size(), 2u);
    EXPECT_EQ(record_.scans[0].signature, "Test.Found-1");  // newest first
    EXPECT_EQ(record_.scans[0].signature_version, "27001");
    EXPECT_EQ(record_.scans[1].signature_version, "");
    EXPECT_EQ(record_.scans[1].engine_version, "1.0.7");
    EXPECT_EQ(record_.scans[1].scanned.size(), 20u);
    ASSERT_EQ(record_.sources.size(), 1u);
    EXPECT_EQ(record_.sources[0].name, "upload");
    EXPECT_EQ(find(*reader, std::string(64, '3')), StoreStatus::Ok) << error_;

    ASSERT_EQ(find(*reader, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Good);  // nothing found is not a verdict
    EXPECT_EQ(record_.size, 68u);
    EXPECT_EQ(record_.sha256, upload(shared_md5, "", 0x44).sha256);  // filled in by the upload
    EXPECT_EQ(counted(*reader), "packages good 1\nupload unknown 1\nupload bad 1\n");
    std::uint64_t scans = 0;
    EXPECT_EQ(reader->scan_count(scans, error_), StoreStatus::Ok);
    EXPECT_EQ(scans, 3u);
}

// What two lists say of a file, then what a scan of it found: the verdict
// and label its record shows, each file counted once by that verdict.
TEST_P(StoreContract, LabelGoesWithTheStrongestVerdict)
{
    struct Case {
        Verdict first;  const char* first_label;
        Verdict second; const char* second_label;
        bool found;  // an upload's scan found Test.Found-1
        Verdict verdict; const char* label;
    };
    using enum Verdict;
    const Case cases[] = {
        {Good, "Product X", Bad, "", false, Bad, ""},
        {Bad, "", Good, "Product X", false, Bad, ""},
        {Bad, "", Bad, "Win.Family", false, Bad, "Win.Family"},
        {Good, "Product X", Bad, "Win.Family", false, Bad, "Win.Family"},
        {Bad, "Win.Family", Good, "Product X", false, Bad, "Win.Family"},
        {Unknown, "", Good, "Product X", false, Good, "Product X"},
        {Good, "Product X", Good, "Product Y", false, Good, "Product X"},
        {Good, "Product X", Good, "", true, Bad, "Test.Found-1"},
        {Unknown, "", Unknown, "", true, Bad, "Test.Found-1"},
        {Bad, "Win.Family", Bad, "", true, Bad, "Win.Family"},
    };
    const auto md5_of = [](std::size_t i) {
        char hex[33];
        std::snprintf(hex, sizeof hex, "%032zx", i + 1);
        return std::string(hex);
    };
    std::vector<ImportEntry> first, second;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        first.push_back(entry(md5_of(i), "", cases[i].first, cases[i].first_label));
        second.push_back(entry(md5_of(i), "", cases[i].second, cases[i].second_label));
    }
    import("first", first, std::size(cases));
    import("second", second, std::size(cases));
    auto service = open_store(location_, StoreMode::Service, error_);
    ASSERT_TRUE(service) << error_;
    const ScanRecord found{"ClamAV", "1.0.7", "27001", "", true, "Test.Found-1"};
    const ScanRecord clean{"ClamAV", "1.0.7", "27001", "", false, ""};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        if (cases[i].found) {
            ASSERT_EQ(service->add_upload(upload(md5_of(i), "", 0x55), &found, error_),
                      StoreStatus::Ok) << error_;
        }
    }
    // Known from uploads alone: one found bad, one where nothing was found.
    const std::size_t only_uploaded = std::size(cases);
    ASSERT_EQ(service->add_upload(upload(md5_of(only_uploaded), "", 0x66), &found, error_),
              StoreStatus::Ok) << error_;
    ASSERT_EQ(service->add_upload(upload(md5_of(only_uploaded + 1), "", 0x77), &clean, error_),
              StoreStatus::Ok) << error_;

    auto reader = open_store(location_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    std::array<std::uint64_t, 3> expected{0, 0, 0};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        ASSERT_EQ(find(*reader, md5_of(i)), StoreStatus::Ok) << error_;
        EXPECT_EQ(record_.verdict, cases[i].verdict) << "case " << i;
        EXPECT_EQ(record_.label, cases[i].label) << "case " << i;
        ASSERT_GE(record_.sources.size(), 2u) << "case " << i;
        EXPECT_EQ(record_.sources[0].name, "first") << "case " << i;  // a product stays visible
        ++expected[static_cast<std::size_t>(cases[i].verdict)];
    }
    ++expected[static_cast<std::size_t>(Bad)];
    ++expected[static_cast<std::size_t>(Unknown)];
    std::array<std::uint64_t, 3> by_verdict{};
    ASSERT_EQ(reader->files_by_verdict(by_verdict, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(by_verdict, expected);
}

// What analyses find is kept with the uploads, apart from the lists: the
// rules matched, the type, the fuzzy digest, the analysers' faults and an
// archive's members, whose links read back both ways a page at a time. A
// new analysis of the archive replaces its members and faults.
TEST_P(StoreContract, AnalysesKeepWhatTheyFoundAndTheArchiveLinks)
{
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 1);
    auto service = open_store(location_, StoreMode::Service, error_);
    ASSERT_TRUE(service) << error_;
    const std::string member_md5(32, '5');
    const auto sha1_of = [](unsigned char fill) { Sha1Bytes sha1; sha1.fill(fill); return sha1; };
    const auto md5_of = [](const std::string& hex) { Md5Bytes md5{}; parse_hex(hex, md5); return md5; };

    const ScanRecord clean{"ClamAV", "1.0.7", "27001", "", false, ""};
    ScanRecord yara{"YARA", "4.2.3", "set-1", "", true, "YARA:evil"};
    yara.matches = {{"evil", "a.yar", "bad x86", "says <evil>", "me"}, {"note", "b.yar", "info", "", ""}};
    AnalysisRecord archive{upload(other_md5, "outer.zip", 0x33), {clean, yara}, "application/zip",
                           "Zip archive data", "3:abc:def", {{"ssdeep", "failed"}}, true,
                           {{"bin/a", md5_of(shared_md5), sha1_of(0x44), ""},
                            {"secret.doc", {}, {}, "encrypted"},
                            {"c.txt", md5_of(member_md5), sha1_of(0x55), ""},
                            {"copy/a", md5_of(shared_md5), sha1_of(0x44), ""}}};
    const AnalysisRecord members[] = {
        {upload(shared_md5, "bin/a", 0x44), {clean}, "", "", "", {}, false, {}},
        {upload(member_md5, "c.txt", 0x55), {clean}, "text/plain", "ASCII text", "3:x:y", {}, false, {}},
        archive};
    ASSERT_EQ(service->add_analyses(members, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(store_->add_analyses(members, error_), StoreStatus::Error);

    auto reader = open_store(location_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    ASSERT_EQ(find(*reader, other_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Bad);
    EXPECT_EQ(record_.label, "YARA:evil");
    EXPECT_EQ(record_.names, std::vector<std::string>{"outer.zip"});
    EXPECT_EQ(record_.mime, "application/zip");
    EXPECT_EQ(record_.type, "Zip archive data");
    EXPECT_EQ(record_.ssdeep, "3:abc:def");
    ASSERT_EQ(record_.scans.size(), 2u);
    EXPECT_EQ(record_.scans[0].signature_version, "set-1");  // newest first
    ASSERT_EQ(record_.scans[0].matches.size(), 2u);
    EXPECT_EQ(record_.scans[0].matches[0].description, "says <evil>");
    EXPECT_EQ(record_.scans[0].matches[0].tags, "bad x86");
    EXPECT_EQ(record_.scans[0].matches[1].rule_namespace, "b.yar");
    EXPECT_TRUE(record_.scans[1].matches.empty());
    ASSERT_EQ(record_.faults.size(), 1u);
    EXPECT_EQ(record_.faults[0].detail, "failed");
    ASSERT_EQ(record_.members.size(), 4u);
    EXPECT_EQ(record_.members[1].name, "secret.doc");
    EXPECT_EQ(record_.members[1].skipped, "encrypted");
    EXPECT_FALSE(record_.members[1].md5);
    EXPECT_EQ(record_.members[2].sha1, sha1_of(0x55));
    EXPECT_TRUE(record_.parents.empty());

    ASSERT_EQ(find(*reader, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Good);  // the list's verdict stands
    ASSERT_EQ(record_.parents.size(), 2u);
    EXPECT_EQ(to_hex(record_.parents[0].md5), other_md5);
    EXPECT_EQ(record_.parents[0].sha1, sha1_of(0x33));
    EXPECT_EQ(record_.parents[0].name, "bin/a");
    EXPECT_EQ(record_.parents[1].name, "copy/a");

    LinkPage page;
    ASSERT_EQ(reader->archive_links(sha1_of(0x33), LinkDirection::Children, {}, 1, page, error_),
              StoreStatus::Ok) << error_;
    EXPECT_EQ(page.total, 2u);  // each file once
    EXPECT_EQ(page.sha1s, std::vector{sha1_of(0x44)});
    ASSERT_EQ(reader->archive_links(sha1_of(0x33), LinkDirection::Children, sha1_of(0x44), 10, page,
                                    error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(page.sha1s, std::vector{sha1_of(0x55)});
    ASSERT_EQ(reader->archive_links(sha1_of(0x55), LinkDirection::Parents, {}, 10, page, error_),
              StoreStatus::Ok) << error_;
    EXPECT_EQ(page.sha1s, std::vector{sha1_of(0x33)});
    EXPECT_EQ(page.total, 1u);
    ASSERT_EQ(reader->archive_links(sha1_of(0x33), LinkDirection::Parents, {}, 10, page, error_),
              StoreStatus::Ok) << error_;
    EXPECT_EQ(page.total, 0u);

    archive.scans.clear();
    archive.faults.clear();
    archive.members.resize(1);
    ASSERT_EQ(service->add_analyses(std::span(&archive, 1), error_), StoreStatus::Ok) << error_;
    std::this_thread::sleep_for(2 * postgres_recent_bound);  // the reader's records may be that old
    ASSERT_EQ(find(*reader, other_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.members.size(), 1u);
    EXPECT_TRUE(record_.faults.empty());
    EXPECT_EQ(record_.scans.size(), 2u);
    ASSERT_EQ(reader->archive_links(sha1_of(0x55), LinkDirection::Parents, {}, 10, page, error_),
              StoreStatus::Ok) << error_;
    EXPECT_EQ(page.total, 0u);

    // A record lists the first kMembersListed members of a larger archive.
    archive.members.assign(kMembersListed + 1, {"more", {}, {}, "file bound"});
    archive.members.front().name = "first";
    ASSERT_EQ(service->add_analyses(std::span(&archive, 1), error_), StoreStatus::Ok) << error_;
    std::this_thread::sleep_for(2 * postgres_recent_bound);
    ASSERT_EQ(find(*reader, other_md5), StoreStatus::Ok) << error_;
    ASSERT_EQ(record_.members.size(), kMembersListed);
    EXPECT_EQ(record_.members.front().name, "first");
}

// "hex count" per digest kept, in digest order, then the asks in all; with
// `detail`, each digest's error, first and last asked too.
std::string kept_counts(LiveStore& live, bool detail = false)
{
    std::vector<UnknownDigest> kept;
    std::uint64_t asked = 0;
    std::string error;
    EXPECT_EQ(live.load_unknown(kept, asked, error), StoreStatus::Ok) << error;
    std::vector<std::string> lines;
    for (const UnknownDigest& d : kept) {
        std::vector<std::uint64_t> numbers = {d.count};
        if (detail)
            numbers.insert(numbers.end(), {d.error, static_cast<std::uint64_t>(d.first_asked),
                                           static_cast<std::uint64_t>(d.last_asked)});
        std::string& line = lines.emplace_back(to_hex(d.digest));
        for (const std::uint64_t number : numbers)
            line.append(" ").append(std::to_string(number));
        line.append("\n");
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines)
        text += line;
    return text + "asked " + std::to_string(asked) + "\n";
}

// The unknown digests' counts as the service keeps them, each step a service
// started afresh: they come back, and a digest the store comes to hold
// leaves them.
TEST_P(StoreContract, UnknownCountsSurviveRestartsAndLeaveOnceHeld)
{
    const auto live = [this] {
        return on_postgres() ? open_postgres_live_store(location_, 8, 10s)
                             : open_sqlite_live_store(location_, error_);
    };
    auto reader = open_store(location_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    const std::string sha1(40, '5');
    const std::tuple<bool, std::vector<std::string>, std::string> steps[] = {
        {false, {other_md5, sha1, other_md5}, other_md5 + " 2\n" + sha1 + " 1\nasked 3\n"},
        {true, {sha1}, sha1 + " 2\nasked 4\n"},  // other_md5 imported meanwhile
        {false, {}, sha1 + " 2\nasked 4\n"},
    };
    for (const auto& [import_first, asks, expected] : steps) {
        auto kept = live();
        ASSERT_TRUE(kept) << error_;
        UnknownDigests counts(8);
        ASSERT_EQ(counts.load(*kept, error_), StoreStatus::Ok) << error_;
        if (import_first)
            import("late", {entry(other_md5, "", Verdict::Good)}, 1);
        for (const std::string& hex : asks)
            counts.asked(parse_digest(hex)->bytes);
        ASSERT_EQ(counts.save(*kept, *reader, error_), StoreStatus::Ok) << error_;
        EXPECT_EQ(kept_counts(*live()), expected);
    }
}

// Look-up sessions, each step at the clock it gives: digests are kept once
// each, a session past its time is gone (and its digests with it when the
// name is made again), and one made again in time keeps what it had.
TEST_P(StoreContract, SessionsKeepTheirDigestsUntilTheyExpire)
{
    auto live = on_postgres() ? open_postgres_live_store(location_, 8, 10s)
                              : open_sqlite_live_store(location_, error_);
    ASSERT_TRUE(live) << error_;
    enum class Do { Create, Held, NotHeld, Read };
    // What, the session, the clock, the time it ends or the digest, what it answers
    // (for a read: "held | not held").
    const std::tuple<Do, std::string, std::int64_t, std::string, std::string> steps[] = {
        {Do::Read, "a", 0, "", "NotFound"},
        {Do::Held, "a", 0, "AA", "NotFound"},
        {Do::Create, "a", 0, "100", "Ok"},
        {Do::Held, "a", 10, "BB", "Ok"},
        {Do::Held, "a", 10, "AA", "Ok"},
        {Do::Held, "a", 10, "AA", "Ok"},
        {Do::NotHeld, "a", 20, "CC", "Ok"},
        {Do::Held, "b", 20, "DD", "NotFound"},
        {Do::Read, "a", 99, "", "AA BB | CC"},
        {Do::Read, "a", 100, "", "NotFound"},
        {Do::NotHeld, "a", 100, "EE", "NotFound"},
        {Do::Create, "odd\xff name", 100, "300", "Ok"},
        {Do::NotHeld, "odd\xff name", 110, "FF", "Ok"},
        {Do::Create, "a", 200, "300", "Ok"},
        {Do::Read, "a", 200, "", " |"},
        {Do::Create, "odd\xff name", 250, "400", "Ok"},
        {Do::Read, "odd\xff name", 350, "", " | FF"},
    };
    const auto named = [](StoreStatus status) {
        return status == StoreStatus::Ok ? "Ok" : status == StoreStatus::NotFound ? "NotFound" : "Error";
    };
    for (const auto& [what, name, now, value, expected] : steps) {
        SCOPED_TRACE(name + " at " + std::to_string(now) + " " + value);
        std::string got;
        switch (what) {
        case Do::Create:
            got = named(live->create_session(name, std::stoll(value), now, error_));
            break;
        case Do::Held:
        case Do::NotHeld:
            got = named(live->add_to_session(name, value, what == Do::Held, now, error_));
            break;
        case Do::Read: {
            LookupSession session;
            const StoreStatus status = live->read_session(name, now, session, error_);
            got = named(status);
            if (status == StoreStatus::Ok) {
                got.clear();
                for (const std::string& digest : session.held)
                    got += (got.empty() ? "" : " ") + digest;
                got += " |";
                for (const std::string& digest : session.not_held)
                    got += " " + digest;
            }
            break;
        }
        }
        EXPECT_EQ(got, expected) << error_;
    }
}

// Retro-hunts run one at a time across every service sharing the store; a
// silent one gives way, and what a hunt found is read back as it was kept.
TEST_P(StoreContract, HuntsRunOneAtATimeAndKeepWhatTheyFound)
{
    auto live = on_postgres() ? open_postgres_live_store(location_, 8, 10s)
                              : open_sqlite_live_store(location_, error_);
    auto other = on_postgres() ? open_postgres_live_store(location_, 8, 10s)
                               : open_sqlite_live_store(location_, error_);
    ASSERT_TRUE(live && other) << error_;
    const std::string a(32, 'a'), b(32, 'b'), c(32, 'c');
    const auto start = [&](LiveStore& store, const std::string& id, std::int64_t now) {
        bool started = false;
        EXPECT_EQ(store.start_hunt(id, now, now - 60, now - 1000, started, error_), StoreStatus::Ok) << error_;
        return started;
    };
    const auto state = [&](const std::string& id) {
        HuntState hunt;
        const StoreStatus status = live->read_hunt(id, hunt, error_);
        return status == StoreStatus::Ok ? hunt.state : status == StoreStatus::NotFound ? "none" : error_;
    };
    EXPECT_TRUE(start(*live, a, 100));
    EXPECT_FALSE(start(*other, b, 120));
    EXPECT_EQ(state(b), "none");

    const HuntMatch found[] = {{std::string(32, '1'), "Marked", "odd\xff name", "2026-01-02T03:04:05Z"},
                               {std::string(32, '2'), "Marked", "inner/a.exe", ""}};
    ASSERT_EQ(live->update_hunt(a, {"running", 3, 10, 0, 130, 0, {}}, found, error_), StoreStatus::Ok) << error_;
    ASSERT_EQ(live->update_hunt(a, {"running", 5, 10, 0, 140, 0, {}}, {}, error_), StoreStatus::Ok) << error_;
    HuntState hunt;
    ASSERT_EQ(other->read_hunt(a, hunt, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(hunt.state, "running");
    EXPECT_EQ(hunt.done, 5u);
    EXPECT_EQ(hunt.total, 10u);
    EXPECT_EQ(hunt.started, 100);
    EXPECT_EQ(hunt.updated, 140);
    EXPECT_EQ(hunt.found, 2u);
    ASSERT_EQ(hunt.matches.size(), 2u);
    EXPECT_EQ(hunt.matches[0].name, "odd\xff name");
    EXPECT_EQ(hunt.matches[0].first_seen, "2026-01-02T03:04:05Z");
    EXPECT_EQ(hunt.matches[1].md5, std::string(32, '2'));
    EXPECT_EQ(hunt.matches[1].rule, "Marked");

    // Silent past the bound, the first gives way to the next.
    EXPECT_TRUE(start(*other, b, 201));
    EXPECT_EQ(state(a), "interrupted");
    EXPECT_EQ(live->update_hunt(a, {"running", 6, 10, 0, 205, 0, {}}, {}, error_), StoreStatus::NotFound);
    ASSERT_EQ(other->update_hunt(b, {"done", 10, 10, 0, 210, 0, {}}, {}, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(state(b), "done");
    EXPECT_TRUE(start(*live, c, 220));
    ASSERT_EQ(live->cut_hunts(221, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(state(c), "interrupted");
    // Finished long ago, a hunt is forgotten with its matches.
    EXPECT_TRUE(start(*live, std::string(32, 'd'), 5000));
    EXPECT_EQ(state(a), "none");
    EXPECT_EQ(state(std::string(32, 'd')), "running");
}

// A walk over the lists hands over each file the filter lets through, once,
// and the count agrees with it.
TEST_P(StoreContract, WalksTheFilesAFilterLetsThrough)
{
    const std::string sha1(40, 'a');
    std::vector<ImportEntry> listed = {entry(shared_md5, "", Verdict::Good),
                                       entry(other_md5, "", Verdict::Unknown)};
    parse_hex(sha1, listed[0].sha1.emplace());
    import("packages", listed, 2);
    const std::string third = "00000000000000000000000000000003";
    import("bad list", {entry(third, "", Verdict::Bad), entry(other_md5, "", Verdict::Unknown)}, 2);
    auto reader = open_store(location_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    const std::pair<FileFilter, std::string> filters[] = {
        {{}, third + " " + other_md5 + " " + shared_md5 + "+"},
        {{Verdict::Good, {}, false}, shared_md5 + "+"},
        {{Verdict::Bad, {}, false}, third},
        {{std::nullopt, {}, true}, shared_md5 + "+"},
        {{std::nullopt, {"bad list"}, false}, third + " " + other_md5},
        {{std::nullopt, {"bad list", "packages"}, false}, third + " " + other_md5 + " " + shared_md5 + "+"},
        {{std::nullopt, {"nobody"}, false}, ""},
        {{Verdict::Unknown, {"packages"}, false}, other_md5},
    };
    for (const auto& [filter, expected] : filters) {
        std::vector<std::string> seen;
        const auto visit = [&](std::span<const HeldDigests> batch) {
            for (const HeldDigests& file : batch)
                seen.push_back(to_hex(file.md5) + (file.sha1 && to_hex(*file.sha1) == sha1 ? "+" : ""));
            return true;
        };
        ASSERT_EQ(reader->walk_files(filter, visit, error_), StoreStatus::Ok) << error_;
        std::sort(seen.begin(), seen.end());
        std::string text;
        for (const std::string& file : seen)
            text += (text.empty() ? "" : " ") + file;
        EXPECT_EQ(text, expected);
        std::uint64_t count = 0;
        ASSERT_EQ(reader->count_files(filter, count, error_), StoreStatus::Ok) << error_;
        EXPECT_EQ(count, seen.size()) << expected;
    }
}

// The queue of samples to analyse again: each sample once, the most asked
// first and then the newest; a claimed sample is nobody else's until given
// back, and goes back to the queue when its claimer's connection ends.
TEST_P(StoreContract, RescanQueueHandsEachSampleToOneClaimerInOrder)
{
    import("list", {entry(shared_md5, "a", Verdict::Good)}, 1);
    const auto sample = [](unsigned char fill) {
        Sha256Bytes sha256{};
        sha256.fill(fill);
        return sha256;
    };
    const auto claim = [&](Store& store) -> std::optional<unsigned char> {
        RescanItem item;
        const StoreStatus status = store.claim_rescan(item, error_);
        EXPECT_NE(status, StoreStatus::Error) << error_;
        return status == StoreStatus::Ok ? std::optional(item.sha256[0]) : std::nullopt;
    };
    auto reader = open_store(location_, StoreMode::ReadOnly, error_);
    auto a = open_store(location_, StoreMode::Service, error_);
    auto b = open_store(location_, StoreMode::Service, error_);
    ASSERT_TRUE(reader && a && b) << error_;
    std::uint64_t added = 0, queued = 0;
    // Queued in the reverse of the order they are taken in.
    const RescanItem first[] = {
        {sample(4), 1, 50}, {sample(3), 1, 200}, {sample(2), 5, 50}, {sample(1), 1, 100}};
    EXPECT_EQ(reader->queue_rescans(first, added, error_), StoreStatus::Error);
    ASSERT_EQ(a->queue_rescans(first, added, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(added, 4u);
    // Queued again, from another connection: nothing doubled, the larger count kept.
    const RescanItem again[] = {{sample(1), 7, 100}, {sample(3), 0, 200}};
    ASSERT_EQ(b->queue_rescans(again, added, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(added, 0u);
    ASSERT_EQ(b->rescans_queued(queued, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(queued, 4u);

    EXPECT_EQ(claim(*a), 1);
    EXPECT_EQ(claim(*b), 2);
    EXPECT_EQ(claim(*a), 3);
    EXPECT_EQ(claim(*b), 4);
    EXPECT_EQ(claim(*b), std::nullopt);
    ASSERT_EQ(a->end_rescan(sample(1), true, error_), StoreStatus::Ok) << error_;
    ASSERT_EQ(b->end_rescan(sample(2), false, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(claim(*a), 2);
    ASSERT_EQ(a->rescans_queued(queued, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(queued, 3u);
    // Its claimer gone, what it held is taken again. PostgreSQL lets go of
    // a closed connection's locks once its server process has ended, a
    // moment later, so the claims are tried again for a while.
    a.reset();
    std::set<unsigned char> retaken;
    for (int tries = 0; retaken.size() < 2 && tries < 300; ++tries) {
        if (const std::optional<unsigned char> taken = claim(*b))
            retaken.insert(*taken);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(retaken, (std::set<unsigned char>{2, 3}));
    EXPECT_EQ(claim(*b), std::nullopt);

    // Two claimers at once, each holding all it takes: every sample is
    // taken, and by one of them only.
    std::vector<RescanItem> many;
    for (unsigned char i = 10; i < 70; ++i)
        many.push_back({sample(i), i % 3u, i});
    ASSERT_EQ(b->queue_rescans(many, added, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(added, many.size());
    auto c = open_store(location_, StoreMode::Service, error_);
    auto d = open_store(location_, StoreMode::Service, error_);
    ASSERT_TRUE(c && d) << error_;
    std::vector<unsigned char> by_c, by_d;
    const auto take_all = [](Store& store, std::vector<unsigned char>& taken) {
        std::string error;
        // Bounded: a claim that is not exclusive would take samples for ever.
        for (RescanItem item; taken.size() < 200 && store.claim_rescan(item, error) == StoreStatus::Ok;)
            taken.push_back(item.sha256[0]);
    };
    {
        std::jthread one(take_all, std::ref(*c), std::ref(by_c));
        std::jthread two(take_all, std::ref(*d), std::ref(by_d));
    }
    std::vector<unsigned char> both = by_c;
    both.insert(both.end(), by_d.begin(), by_d.end());
    std::sort(both.begin(), both.end());
    std::vector<unsigned char> expected;
    for (unsigned char i = 10; i < 70; ++i)
        expected.push_back(i);
    EXPECT_EQ(both, expected) << by_c.size() << " and " << by_d.size() << " taken";
    ASSERT_EQ(b->end_rescan(sample(3), true, error_), StoreStatus::Ok) << error_;
    ASSERT_EQ(b->rescans_queued(queued, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(queued, 62u);

    // The signatures each analyser had when the queue was last filled.
    std::optional<std::string> seen;
    ASSERT_EQ(b->signatures_seen("ClamAV", seen, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(seen, std::nullopt);
    ASSERT_EQ(b->set_signatures_seen("ClamAV", "1.4.6/101", error_), StoreStatus::Ok) << error_;
    ASSERT_EQ(c->set_signatures_seen("ClamAV", "1.4.6/102", error_), StoreStatus::Ok) << error_;
    ASSERT_EQ(c->set_signatures_seen("YARA", "4.3/ab", error_), StoreStatus::Ok) << error_;
    ASSERT_EQ(b->signatures_seen("ClamAV", seen, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(seen, "1.4.6/102");
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreContract, ::testing::Values("sqlite", postgres_engine),
                         [](const auto& engine) { return engine.param; });

// What the SQLite engine alone does: the indexes a large import sorts anew,
// the service's own file beside the lists, and the shell commands over it.
class SqliteStore : public StoreContract {};

// Another program's commit is not announced within the process: a reader
// sees it once it reads the store's version again, a moment later.
TEST_P(SqliteStore, AnotherProgramsCommitIsSeenAMomentLater)
{
    import("first", {entry(shared_md5, "old", Verdict::Good)}, 1);
    auto reader = open_store(location_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    EXPECT_EQ(find(*reader, other_md5), StoreStatus::NotFound) << error_;
    const std::string insert = "INSERT INTO files (md5, verdict, label) VALUES (x'" +
                               std::string(other_md5) + "', 2, 'Bad.Other')";
    ASSERT_EQ(run_sql(location_, insert.c_str()), SQLITE_OK);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(find(*reader, other_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.label, "Bad.Other");
}

TEST_P(SqliteStore, LargeImportKeepsTheDigestIndexes)
{
    ImportEntry late = entry(shared_md5, "a.exe", Verdict::Good, "other");
    late.sha1.emplace().fill(0x11);
    import("late", {late}, 1);
    ASSERT_EQ(find(*store_, std::string(40, '1')), StoreStatus::Ok) << error_;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(location_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* indexes = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_schema WHERE name IN"
                           " ('files_by_sha1', 'files_by_sha256')", -1, &indexes, nullptr);
    EXPECT_EQ(sqlite3_step(indexes) == SQLITE_ROW ? sqlite3_column_int(indexes, 0) : -1, 2);
    sqlite3_finalize(indexes);
    sqlite3_close(db);
}

// The shell commands in the order an operator runs them: each outcome's exit
// status, which scripts branch on, and all that it prints (after "...": how
// that ends).
TEST_P(SqliteStore, CommandsExitAndPrintForEachOutcome)
{
    const std::string list = (dir_ / "list.md5").string(), absent = (dir_ / "absent").string(),
                      unknown(32, 'f'), from_list = "imported 2 entries from 1 file (source one): ";
    std::ofstream(list) << shared_md5 << "  /bin/a\n" << other_md5 << "  /bin/b\nbad line\n";
    const std::string import = location_ + " --format md5sum --source one ";
    const std::tuple<int (*)(int, char**), std::string, int, std::string> cases[] = {
        {import_command, import + list, 0, from_list + "2 new, 0 already listed, 1 line skipped\n"},
        {import_command, import + list + " " + absent, 1,
         from_list + "0 new, 2 already listed, 1 line skipped; 1 file not imported\n"},
        {import_command, import + dir_.string(), 1,  // a folder opens but cannot be read
         "imported 0 entries from 0 files: 0 new, 0 already listed, 0 lines skipped;"
         " 1 file not imported\n"},
        {import_command, list + " " + list, 2, ""},  // not a store
        {lookup_command, location_ + " " + other_md5, 0, other_md5 + "  unknown  -  /bin/b\n"},
        {lookup_command, location_ + " " + unknown + " " + shared_md5, 1,
         unknown + "  not held\n" + shared_md5 + "  unknown  -  /bin/a\n"},
        {lookup_command, location_ + " " + shared_md5 + " 0x" + shared_md5, 2, ""},
        {lookup_command, absent + " " + shared_md5, 2, ""},
        {stats_command, location_, 0, "...\n           2  unknown  one\n           0  scans\n"},
    };
    for (const auto& [command, args, status, printed] : cases) {
        std::string words = "command " + args;
        std::vector<char*> argv;
        for (char* word = std::strtok(words.data(), " "); word; word = std::strtok(nullptr, " "))
            argv.push_back(word);
        testing::internal::CaptureStdout();
        EXPECT_EQ(command(static_cast<int>(argv.size()), argv.data()), status) << args;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(printed.starts_with("...") ? out.ends_with(printed.substr(3)) : out == printed) << out;
    }
}

// A service's own file that holds something else is refused untouched.
TEST_P(SqliteStore, RefusesALiveFileNotItsOwn)
{
    std::ofstream(location_ + "-live", std::ios::trunc) << "something else entirely, not ours at all\n";
    for (StoreMode mode : {StoreMode::ReadOnly, StoreMode::Service}) {
        EXPECT_FALSE(open_sqlite_store(location_, mode, error_));
        EXPECT_NE(error_.find("-live is not a brantwicker-service database"), std::string::npos)
            << error_;
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, SqliteStore, ::testing::Values("sqlite"),
                         [](const auto& engine) { return engine.param; });

// What only a database server does. Waits that are measured are this long:
// enough for a busy machine to connect within them.
constexpr auto server_wait = 3s;

class PostgresStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        require_postgres();
        if (IsSkipped() || HasFailure())
            return;
        database_ = postgres().fresh_database();
        location_ = postgres().uri(database_);
        store_ = open_postgres_store(location_, {}, StoreMode::ReadWrite, 10s, error_);
        ASSERT_TRUE(store_) << error_;
    }

    std::string terminate(const std::string& like)
    {
        return postgres().sql(database_, "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                                         " WHERE application_name = 'brantwicker-service' AND query LIKE '"
                                         + like + "'");
    }

    std::string            location_, database_;
    std::unique_ptr<Store> store_;
    FileRecord             record_;
    std::string            error_;
};

TEST_F(PostgresStore, SecondImportWaitsAWhileThenFails)
{
    auto first = store_->begin_import("first", error_);
    ASSERT_TRUE(first) << error_;
    auto other = open_postgres_store(location_, {}, StoreMode::ReadWrite, server_wait, error_);
    ASSERT_TRUE(other) << error_;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(other->begin_import("second", error_));
    EXPECT_GE(std::chrono::steady_clock::now() - start, server_wait - 100ms);
    EXPECT_NE(error_.find("another import into this database is still running"), std::string::npos)
        << error_;
    ASSERT_EQ(first->commit(error_), StoreStatus::Ok) << error_;
    EXPECT_TRUE(other->begin_import("second", error_)) << error_;  // its turn now
}

TEST_F(PostgresStore, ConnectionLostMidImportLeavesNothing)
{
    auto import = store_->begin_import("lost", error_);
    ASSERT_TRUE(import) << error_;
    const ImportEntry entries[] = {entry(shared_md5, "a", Verdict::Bad, "X")};
    ASSERT_EQ(import->add_batch(entries, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(terminate("COPY%"), "1");
    EXPECT_EQ(import->commit(error_), StoreStatus::Error);
    EXPECT_EQ(store_->find_md5(entries[0].md5, record_, error_), StoreStatus::NotFound) << error_;
    EXPECT_EQ(counted(*store_), "");
    // The store connects again by itself for the next import.
    import = store_->begin_import("again", error_);
    ASSERT_TRUE(import) << error_;
    ASSERT_EQ(import->add_batch(entries, error_), StoreStatus::Ok) << error_;
    ASSERT_EQ(import->commit(error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(counted(*store_), "again bad 1\n");
    // postgres:// names the same database as postgresql://.
    auto reader = open_store("postgres" + location_.substr(location_.find(':')), StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    EXPECT_EQ(counted(*reader), "again bad 1\n");
}

TEST_F(PostgresStore, ReadsMoveToAnotherServerAndComeBack)
{
    {
        auto import = store_->begin_import("list", error_);
        const ImportEntry entries[] = {entry(shared_md5, "a", Verdict::Good)};
        ASSERT_TRUE(import && import->add_batch(entries, error_) == StoreStatus::Ok
                    && import->commit(error_) == StoreStatus::Ok) << error_;
    }
    Md5Bytes md5{};
    parse_hex(shared_md5, md5);
    // A replica that is not there: reads go to the primary.
    const std::string gone = "postgresql:///store_1?host=/nonexistent&user=nobody";
    auto reader = open_postgres_store(location_, {gone}, StoreMode::ReadOnly, server_wait, error_);
    ASSERT_TRUE(reader) << error_;
    EXPECT_EQ(reader->find_md5(md5, record_, error_), StoreStatus::Ok) << error_;

    // Its connection cut: the next read connects again at once. (Each read
    // comes after the bound, so that what it read before is asked anew: a
    // record kept is never answered past it while the servers fail.)
    EXPECT_NE(terminate("%"), "0");
    std::this_thread::sleep_for(postgres_recent_bound);
    EXPECT_EQ(reader->find_md5(md5, record_, error_), StoreStatus::Ok) << error_;

    // A server that stops answering: an error once the wait is over, not a hang.
    const std::string backend = postgres().sql(database_,
        "SELECT pid FROM pg_stat_activity WHERE application_name = 'brantwicker-service'");
    ASSERT_EQ(kill(std::stoi(backend), SIGSTOP), 0) << backend;
    std::this_thread::sleep_for(postgres_recent_bound);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reader->find_md5(md5, record_, error_), StoreStatus::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * server_wait);
    kill(std::stoi(backend), SIGCONT);

    // Every server down: an error, within the wait, never "not held"; and
    // an upload's scan is not kept, which says so, within the wait too.
    auto service = open_postgres_store(location_, {}, StoreMode::Service, server_wait, error_);
    ASSERT_TRUE(service) << error_;
    UploadedFile file;
    file.md5 = md5;
    const ScanRecord scan{"ClamAV", "1.0.7", "", "", false, ""};
    ASSERT_TRUE(postgres().stop());
    std::this_thread::sleep_for(postgres_recent_bound);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(reader->find_md5(md5, record_, error_), StoreStatus::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * server_wait);
    EXPECT_NE(error_.find("/nonexistent"), std::string::npos) << error_;  // says where
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(service->add_upload(file, &scan, error_), StoreStatus::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * server_wait);
    EXPECT_TRUE(error_.starts_with("the primary database: ")) << error_;
    ASSERT_TRUE(postgres().start());
    StoreStatus status = StoreStatus::Error, kept = StoreStatus::Error;
    for (int i = 0; i < 50 && (status != StoreStatus::Ok || kept != StoreStatus::Ok); ++i) {
        std::this_thread::sleep_for(100ms);
        status = reader->find_md5(md5, record_, error_);
        kept = service->add_upload(file, &scan, error_);
    }
    EXPECT_EQ(status, StoreStatus::Ok) << error_;
    EXPECT_EQ(kept, StoreStatus::Ok) << error_;
}

// The label follows the strongest verdict on every path of an import, and
// a table that takes the files' place keeps what readers were granted and
// leaves none of the import's own tables behind.
TEST_F(PostgresStore, LabelFollowsTheStrongestVerdictOnEveryPath)
{
    const auto run = [this](const char* source, std::vector<ImportEntry> entries) {
        auto import = store_->begin_import(source, error_);
        ASSERT_TRUE(import) << error_;
        ASSERT_EQ(import->add_batch(entries, error_), StoreStatus::Ok) << error_;
        ASSERT_EQ(import->commit(error_), StoreStatus::Ok) << error_;
    };
    for (const unsigned long long held : {0ull, 1ull, 60ull}) {
        SCOPED_TRACE("files held before: " + std::to_string(held));
        database_ = postgres().fresh_database();
        location_ = postgres().uri(database_);
        store_ = open_postgres_store(location_, {}, StoreMode::ReadWrite, 10s, error_);
        ASSERT_TRUE(store_) << error_;
        if (held > 0)
            run("filler", filler(held));
        postgres().sql(database_, "GRANT SELECT ON files TO PUBLIC");
        run("packages", {entry(shared_md5, "a", Verdict::Good, "pkg"), entry(other_md5, "b", Verdict::Good),
                         entry(third_md5, "c", Verdict::Bad), entry(third_md5, "c", Verdict::Good, "pkg")});
        run("signatures", {entry(shared_md5, "a", Verdict::Bad), entry(other_md5, "b", Verdict::Good, "late")});
        EXPECT_EQ(summary(*store_, shared_md5), "bad [] - - a | packages signatures");
        EXPECT_EQ(summary(*store_, other_md5), "good [late] - - b | packages signatures");
        EXPECT_EQ(summary(*store_, third_md5), "bad [] - - c | packages");
        EXPECT_EQ(postgres().sql(database_, "SELECT string_agg(relname, ',' ORDER BY relname) FROM pg_class"
                                            " WHERE relname LIKE 'import%' OR relname LIKE 'files%'"),
                  "files,files_by_sha1,files_by_sha256,files_pkey");
        EXPECT_EQ(postgres().sql(database_, "SELECT has_table_privilege('public', 'files', 'SELECT')"), "t");
    }
}

// Instances flushing their own counts into one table: each adds what it
// counted since its last flush; first asked is the least, last the greatest,
// and the table keeps as many digests as a summary does.
TEST_F(PostgresStore, InstancesAddTheirUnknownCountsToEachOthers)
{
    const auto counted_as = [](unsigned char fill, std::size_t size, std::uint64_t count,
                               std::int64_t first, std::int64_t last) {
        return UnknownDigest{std::vector<unsigned char>(size, fill), count, 0, first, last};
    };
    const UnknownDigest a1 = counted_as(0xaa, 16, 1, 50, 150), b = counted_as(0xbb, 20, 1, 60, 60);
    auto one = open_postgres_live_store(location_, 2, 10s), two = open_postgres_live_store(location_, 2, 10s);
    // Each flush: the instance, the counts it holds now, its asks in all.
    const std::tuple<LiveStore*, std::vector<UnknownDigest>, std::uint64_t> flushes[] = {
        {one.get(), {counted_as(0xaa, 16, 2, 100, 200)}, 2},
        {two.get(), {a1, b}, 2},
        {one.get(), {counted_as(0xaa, 16, 3, 100, 300)}, 3},
        {two.get(), {a1, b, counted_as(0xcc, 32, 1, 70, 70)}, 3},  // one past the bound
    };
    for (const auto& [live, digests, asked] : flushes)
        ASSERT_EQ(live->save_unknown(digests, asked, error_), StoreStatus::Ok) << error_;
    // Read back by an instance that would keep more.
    EXPECT_EQ(kept_counts(*open_postgres_live_store(location_, 8, 10s), true),
              std::string(32, 'a') + " 4 0 50 300\n" + std::string(40, 'b') + " 1 0 60 60\nasked 6\n");
}

}  // namespace
