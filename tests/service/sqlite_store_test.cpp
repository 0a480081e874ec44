// The SQLite store: merging what sources say, refusing files that are not its
// own without touching them, and what readers see while an import runs or
// after the real program was killed in the middle of one; and the shell
// commands over it.
#include "service/commands.h"
#include "service/store/store.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

const std::string shared_md5 = "44d88612fea8a8f36de82e1278abb02f";
const std::string other_md5  = "1b55b9073f3d6afd23952113797e3d8d";

ImportEntry entry(std::string_view md5, std::string name, Verdict verdict, std::string label = {},
                  std::optional<std::uint64_t> size = {})
{
    ImportEntry e{{}, {}, {}, size, std::move(name), verdict, std::move(label)};
    parse_hex(md5, e.md5);
    return e;
}

// Runs `sql` on the file at `path` as another program would.
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

class SqliteStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/store-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "store.db").string();
        store_ = open_sqlite_store(path_, StoreMode::ReadWrite, error_);
        ASSERT_TRUE(store_) << error_;
    }
    void TearDown() override { fs::remove_all(dir_); }

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

    fs::path               dir_;
    std::string            path_;
    std::unique_ptr<Store> store_;
    FileRecord             record_;
    std::string            error_;
};

TEST_F(SqliteStore, MergesSourcesBadOverGoodAndNeverAddsTwice)
{
    import("list-a", {entry(shared_md5, "a.exe", Verdict::Unknown)}, 1);
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 1);
    import("signatures", {entry(shared_md5, "", Verdict::Bad, "Win.Test-1", 99)}, 1);
    // Imported again, a source is dated anew, though it adds nothing.
    EXPECT_EQ(run_sql(path_, "UPDATE sources SET imported = '2001-01-01T00:00:00Z'"), SQLITE_OK);
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 0);
    ImportEntry late = entry(shared_md5, "a.exe", Verdict::Good, "other");
    late.sha1.emplace().fill(0x11);
    late.sha256.emplace().fill(0x22);
    import("late", {late}, 1);

    ASSERT_EQ(find(*store_, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Bad);
    EXPECT_EQ(record_.label, "Win.Test-1");
    EXPECT_EQ(record_.size, 68u);  // the first size known stays
    EXPECT_EQ(record_.names, (std::vector<std::string>{"/usr/bin/a", "a.exe"}));
    ASSERT_EQ(record_.sources.size(), 4u);
    EXPECT_EQ(record_.sources[0].name, "late");
    EXPECT_EQ(record_.sources[0].imported.size(), 20u);  // 2026-12-07T00:00:00Z
    EXPECT_EQ(record_.sources[1].imported, "2001-01-01T00:00:00Z");  // list-a, not again
    EXPECT_NE(record_.sources[2].imported, "2001-01-01T00:00:00Z");
    EXPECT_EQ(counted(*store_), "late good 1\nlist-a unknown 1\npackages good 1\nsignatures bad 1\n");

    // Found by the digests a late source filled in, and by nothing else.
    for (const std::string& hex : {std::string(40, '1'), std::string(64, '2')}) {
        ASSERT_EQ(find(*store_, hex), StoreStatus::Ok) << hex;
        EXPECT_EQ(to_hex(record_.md5), shared_md5);
    }
    EXPECT_EQ(find(*store_, std::string(40, '3')), StoreStatus::NotFound);

    // Through their indexes, which an import large beside the store sorts anew.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* indexes = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_schema WHERE name IN"
                           " ('files_by_sha1', 'files_by_sha256')", -1, &indexes, nullptr);
    EXPECT_EQ(sqlite3_step(indexes) == SQLITE_ROW ? sqlite3_column_int(indexes, 0) : -1, 2);
    sqlite3_finalize(indexes);
    sqlite3_close(db);
}

TEST_F(SqliteStore, ReadersSeeAnImportWholeOrNotAtAll)
{
    import("first", {entry(shared_md5, "old", Verdict::Good)}, 1);
    auto reader = open_sqlite_store(path_, StoreMode::ReadOnly, error_);
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
    // Asked again, both are read afresh: neither answer is kept past a commit.
    EXPECT_EQ(find(*reader, other_md5), StoreStatus::Ok) << error_;
    ASSERT_EQ(find(*reader, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Bad);
    EXPECT_EQ(counted(*reader), "first good 1\nsecond bad 2\n");
}

// Distinct, scattered digests: i times an odd constant is a bijection.
std::string line_for(unsigned long long i)
{
    char text[96];
    std::snprintf(text, sizeof text, "%016llx%016llx  /srv/files/%llu/name-%llu.bin\n",
                  i * 0x9E3779B97F4A7C15u, ~i * 0xC2B2AE3D27D4EB4Fu, i % 977, i);
    return text;
}

TEST_F(SqliteStore, KilledImportLeavesTheStoreAsItWas)
{
    import("before", {entry(shared_md5, "old", Verdict::Good)}, 1);
    store_.reset();
    // A list longer than the page cache holds, killed once the merge into the
    // store has written pages of its own.
    const std::string list = (dir_ / "list.md5").string();
    std::ofstream out(list, std::ios::binary);
    for (unsigned long long i = 0; i < 400'000; ++i)
        out << line_for(i);
    ASSERT_TRUE(out.flush());

    const char* argv[] = {SERVICE_PROGRAM, "import", path_.c_str(), "--source", "killed",
                          "--format", "md5sum", list.c_str(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    int status = 0;
    std::error_code no_wal_yet;
    while (waitpid(child, &status, WNOHANG) == 0) {
        const std::uintmax_t wal_bytes = fs::file_size(path_ + "-wal", no_wal_yet);
        if (!no_wal_yet && wal_bytes > (1u << 20))
            kill(child, SIGKILL);
        usleep(1000);
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "the import ended before it was killed";

    auto store = open_sqlite_store(path_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(store) << error_;
    EXPECT_EQ(find(*store, line_for(0).substr(0, 32)), StoreStatus::NotFound);
    EXPECT_EQ(counted(*store), "before good 1\n");
    store.reset();
    EXPECT_TRUE(open_sqlite_store(path_, StoreMode::ReadWrite, error_)) << error_;  // and writable again
}

// The shell commands in the order an operator runs them: each outcome's exit
// status, which scripts branch on, and all that it prints (after "...": how
// that ends).
TEST_F(SqliteStore, CommandsExitAndPrintForEachOutcome)
{
    const std::string list = (dir_ / "list.md5").string(), absent = (dir_ / "absent").string(),
                      unknown(32, 'f'), from_list = "imported 2 entries from 1 file (source one): ";
    std::ofstream(list) << shared_md5 << "  /bin/a\n" << other_md5 << "  /bin/b\nbad line\n";
    const std::string import = path_ + " --format md5sum --source one ";
    const std::tuple<int (*)(int, char**), std::string, int, std::string> cases[] = {
        {import_command, import + list, 0, from_list + "2 new, 0 already listed, 1 line skipped\n"},
        {import_command, import + list + " " + absent, 1,
         from_list + "0 new, 2 already listed, 1 line skipped; 1 file not imported\n"},
        {import_command, import + dir_.string(), 1,  // a folder opens but cannot be read
         "imported 0 entries from 0 files: 0 new, 0 already listed, 0 lines skipped;"
         " 1 file not imported\n"},
        {import_command, list + " " + list, 2, ""},  // not a store
        {lookup_command, path_ + " " + other_md5, 0, other_md5 + "  unknown  -  /bin/b\n"},
        {lookup_command, path_ + " " + unknown + " " + shared_md5, 1,
         unknown + "  not held\n" + shared_md5 + "  unknown  -  /bin/a\n"},
        {lookup_command, path_ + " " + shared_md5 + " 0x" + shared_md5, 2, ""},
        {lookup_command, absent + " " + shared_md5, 2, ""},
        {stats_command, path_, 0, "...\n           2  unknown  one\n           0  scans\n"},
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

TEST_F(SqliteStore, RefusesFilesNotItsOwnAndLeavesThemAlone)
{
    // A text file, another program's database, and a store of a later schema.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"notes.txt", nullptr, "is not a brantwicker-service database"},
        {"foreign.db", "CREATE TABLE t (x); INSERT INTO t VALUES (1)",
         "is not a brantwicker-service database"},
        {"future.db", "PRAGMA application_id = 1113017171; PRAGMA user_version = 7; CREATE TABLE f (x)",
         "was made by a newer version (schema 7); this program reads schema 1"},
    };
    for (const auto& [name, sql, says] : cases) {
        const fs::path path = dir_ / name;
        if (sql == nullptr)
            std::ofstream(path) << "not a database, only text long enough to look like a file\n";
        else
            EXPECT_EQ(run_sql(path.string(), sql), SQLITE_OK) << name;
        const fs::file_time_type before = fs::last_write_time(path);
        for (StoreMode mode : {StoreMode::ReadOnly, StoreMode::ReadWrite}) {
            EXPECT_FALSE(open_sqlite_store(path.string(), mode, error_)) << path;
            EXPECT_NE(error_.find(says), std::string::npos) << error_;
        }
        EXPECT_EQ(fs::last_write_time(path), before) << path;
    }

    // Reading never creates; an empty file becomes a store to write.
    const fs::path absent = dir_ / "absent.db";
    EXPECT_FALSE(open_sqlite_store(absent.string(), StoreMode::ReadOnly, error_));
    EXPECT_FALSE(fs::exists(absent));
    std::ofstream(absent).close();
    EXPECT_FALSE(open_sqlite_store(absent.string(), StoreMode::ReadOnly, error_));
    EXPECT_TRUE(open_sqlite_store(absent.string(), StoreMode::ReadWrite, error_)) << error_;
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

// Uploads are written into the service's own file while an import holds the
// lists' write lock, are read merged with the lists (a found signature makes
// a listed good file bad; a clean scan changes no verdict), and a file that
// holds something else in the service's place is refused untouched.
TEST_F(SqliteStore, UploadsAreKeptApartAndMergedOnReading)
{
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 1);
    auto service = open_sqlite_store(path_, StoreMode::Service, error_);
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

    auto reader = open_sqlite_store(path_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    ASSERT_EQ(find(*reader, std::string(40, '3')), StoreStatus::Ok) << error_;
    EXPECT_EQ(to_hex(record_.md5), other_md5);
    EXPECT_EQ(record_.verdict, Verdict::Bad);
    EXPECT_EQ(record_.label, "Test.Found-1");
    EXPECT_EQ(record_.size, 5u);
    EXPECT_EQ(record_.names, (std::vector<std::string>{"<new>.bin", "again.bin", "third.bin"}));
    ASSERT_EQ(record_.scans.size(), 2u);
    EXPECT_EQ(record_.scans[0].signature, "Test.Found-1");  // newest first
    EXPECT_EQ(record_.scans[1].signature_version, "");
    EXPECT_EQ(record_.scans[1].scanned.size(), 20u);
    ASSERT_EQ(record_.sources.size(), 1u);
    EXPECT_EQ(record_.sources[0].name, "upload");

    ASSERT_EQ(find(*reader, shared_md5), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Good);  // nothing found is not a verdict
    EXPECT_EQ(record_.size, 68u);
    EXPECT_EQ(record_.sha256, upload(shared_md5, "", 0x44).sha256);  // filled in by the upload
    EXPECT_EQ(counted(*reader), "packages good 1\nupload unknown 1\nupload bad 1\n");
    std::uint64_t scans = 0;
    EXPECT_EQ(reader->scan_count(scans, error_), StoreStatus::Ok);
    EXPECT_EQ(scans, 3u);

    service.reset();
    reader.reset();
    std::ofstream(path_ + "-live", std::ios::trunc) << "something else entirely, not ours at all\n";
    for (StoreMode mode : {StoreMode::ReadOnly, StoreMode::Service}) {
        EXPECT_FALSE(open_sqlite_store(path_, mode, error_));
        EXPECT_NE(error_.find("-live is not a brantwicker-service database"), std::string::npos)
            << error_;
    }
}

}  // namespace
