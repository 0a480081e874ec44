// The SQLite store: merging what sources say, refusing files that are not its
// own without touching them, and what readers see while an import runs.
#include "service/store.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

Md5Bytes md5_of(const char* hex)
{
    Md5Bytes md5{};
    EXPECT_TRUE(parse_hex(hex, md5));
    return md5;
}

ImportEntry entry(const char* md5, std::string name, Verdict verdict, std::string label = {},
                  std::optional<std::uint64_t> size = {})
{
    ImportEntry e;
    e.md5 = md5_of(md5);
    e.name = std::move(name);
    e.verdict = verdict;
    e.label = std::move(label);
    e.size = size;
    return e;
}

std::string contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class SqliteStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/store-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "store.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<Store> open(StoreMode mode)
    {
        std::string error;
        auto store = open_sqlite_store(path_, mode, error);
        EXPECT_TRUE(store) << error;
        return store;
    }

    static void import(Store& store, const char* source, std::vector<ImportEntry> entries,
                       std::uint64_t expect_new)
    {
        std::string error;
        auto import = store.begin_import(source, error);
        ASSERT_TRUE(import) << error;
        ASSERT_EQ(import->add_batch(entries, error), StoreStatus::Ok) << error;
        ASSERT_EQ(import->commit(error), StoreStatus::Ok) << error;
        EXPECT_EQ(import->new_listings(), expect_new) << source;
    }

    fs::path    dir_;
    std::string path_;
};

constexpr const char* shared_md5 = "44d88612fea8a8f36de82e1278abb02f";
constexpr const char* other_md5  = "1b55b9073f3d6afd23952113797e3d8d";

TEST_F(SqliteStore, MergesSourcesBadOverGoodAndNeverAddsTwice)
{
    auto store = open(StoreMode::ReadWrite);
    ASSERT_TRUE(store);
    import(*store, "list-a", {entry(shared_md5, "a.exe", Verdict::Unknown),
                              entry(other_md5, "/usr/bin/env", Verdict::Unknown)}, 2);
    import(*store, "packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 1);
    import(*store, "signatures", {entry(shared_md5, "", Verdict::Bad, "Win.Test-1", 99),
                                  entry(shared_md5, "", Verdict::Bad, "Win.Test-1", 99),
                                  entry(other_md5, "", Verdict::Unknown)}, 2);
    import(*store, "packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 0);
    ImportEntry late = entry(shared_md5, "a.exe", Verdict::Good, "other");
    late.sha1 = Sha1Bytes{};
    import(*store, "late", {late}, 1);

    FileRecord record;
    std::string error;
    ASSERT_EQ(store->find_md5(md5_of(shared_md5), record, error), StoreStatus::Ok) << error;
    EXPECT_EQ(record.verdict, Verdict::Bad);
    EXPECT_EQ(record.label, "Win.Test-1");
    EXPECT_EQ(record.size, 68u);  // the first size known stays
    EXPECT_TRUE(record.sha1);      // filled in
    EXPECT_EQ(record.names, (std::vector<std::string>{"/usr/bin/a", "a.exe"}));
    ASSERT_EQ(record.sources.size(), 4u);
    EXPECT_EQ(record.sources[0].name, "late");
    EXPECT_EQ(record.sources[0].imported.size(), 20u);  // 2026-12-07T00:00:00Z

    std::vector<SourceCount> counts;
    ASSERT_EQ(store->counts(counts, error), StoreStatus::Ok) << error;
    std::vector<std::tuple<std::string, Verdict, std::uint64_t>> seen;
    for (const SourceCount& c : counts)
        seen.emplace_back(c.source, c.verdict, c.files);
    EXPECT_EQ(seen, (decltype(seen){{"late", Verdict::Good, 1}, {"list-a", Verdict::Unknown, 2},
                                    {"packages", Verdict::Good, 1}, {"signatures", Verdict::Unknown, 1},
                                    {"signatures", Verdict::Bad, 1}}));

    EXPECT_EQ(store->find_md5(md5_of("00000000000000000000000000000000"), record, error),
              StoreStatus::NotFound);
}

TEST_F(SqliteStore, FindsBySha1AndSha256)
{
    auto store = open(StoreMode::ReadWrite);
    ASSERT_TRUE(store);
    ImportEntry e = entry(shared_md5, "x", Verdict::Good);
    e.sha1 = Sha1Bytes{};
    e.sha1->fill(0x11);
    e.sha256 = Sha256Bytes{};
    e.sha256->fill(0x22);
    import(*store, "nsrl", {e}, 1);

    for (const char* hex : {"1111111111111111111111111111111111111111",
                            "2222222222222222222222222222222222222222222222222222222222222222"}) {
        FileRecord record;
        std::string error;
        ASSERT_EQ(find_digest(*store, *parse_digest(hex), record, error), StoreStatus::Ok) << hex;
        EXPECT_EQ(to_hex(record.md5), shared_md5);
    }
    FileRecord record;
    std::string error;
    EXPECT_EQ(find_digest(*store, *parse_digest(std::string(40, '3')), record, error),
              StoreStatus::NotFound);
}

TEST_F(SqliteStore, ReadersSeeAnImportWhole)
{
    auto writer = open(StoreMode::ReadWrite);
    ASSERT_TRUE(writer);
    import(*writer, "first", {entry(shared_md5, "old", Verdict::Good)}, 1);
    auto reader = open(StoreMode::ReadOnly);
    ASSERT_TRUE(reader);

    std::string error;
    auto running = writer->begin_import("second", error);
    ASSERT_TRUE(running) << error;
    const std::vector<ImportEntry> batch = {entry(other_md5, "new", Verdict::Bad),
                                            entry(shared_md5, "", Verdict::Bad, "Bad.One")};
    ASSERT_EQ(running->add_batch(batch, error), StoreStatus::Ok) << error;

    const auto check = [&](StoreStatus other, Verdict shared) {
        FileRecord record;
        std::string read_error;
        EXPECT_EQ(reader->find_md5(md5_of(other_md5), record, read_error), other) << read_error;
        ASSERT_EQ(reader->find_md5(md5_of(shared_md5), record, read_error), StoreStatus::Ok);
        EXPECT_EQ(record.verdict, shared);
    };
    check(StoreStatus::NotFound, Verdict::Good);
    ASSERT_EQ(running->commit(error), StoreStatus::Ok) << error;
    check(StoreStatus::Ok, Verdict::Bad);

    // An import dropped before its commit leaves nothing behind.
    running = writer->begin_import("dropped", error);
    ASSERT_TRUE(running) << error;
    const std::vector<ImportEntry> dropped = {entry("00000000000000000000000000000001", "x",
                                                    Verdict::Bad)};
    ASSERT_EQ(running->add_batch(dropped, error), StoreStatus::Ok);
    running.reset();
    std::vector<SourceCount> counts;
    ASSERT_EQ(reader->counts(counts, error), StoreStatus::Ok);
    EXPECT_EQ(counts.size(), 2u);
    FileRecord record;
    EXPECT_EQ(reader->find_md5(dropped[0].md5, record, error), StoreStatus::NotFound);
}

TEST_F(SqliteStore, RefusesFilesNotItsOwnAndLeavesThemAlone)
{
    const auto make_db = [](const fs::path& path, const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    const fs::path text = dir_ / "notes.txt", foreign = dir_ / "foreign.db",
                   future = dir_ / "future.db";
    std::ofstream(text) << "not a database, only text long enough to look like a file\n";
    make_db(foreign, "CREATE TABLE t (x); INSERT INTO t VALUES (1)");
    make_db(future, "PRAGMA application_id = 1113017171; PRAGMA user_version = 7;"
                    " CREATE TABLE files (md5 BLOB)");

    const struct {
        fs::path    path;
        const char* says;
    } cases[] = {
        {text, "is not a brantwicker-service database"},
        {foreign, "is not a brantwicker-service database"},
        {future, "was made by a newer version (schema 7); this program reads schema 1"},
    };
    for (const auto& c : cases) {
        const std::string before = contents(c.path);
        for (StoreMode mode : {StoreMode::ReadOnly, StoreMode::ReadWrite}) {
            std::string error;
            EXPECT_FALSE(open_sqlite_store(c.path.string(), mode, error)) << c.path;
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
        }
        EXPECT_EQ(contents(c.path), before) << c.path;
        EXPECT_FALSE(fs::exists(c.path.string() + "-wal")) << c.path;
    }

    // Reading never creates; an absent or empty file becomes a store to write.
    std::string error;
    EXPECT_FALSE(open_sqlite_store(path_, StoreMode::ReadOnly, error));
    EXPECT_FALSE(fs::exists(path_));
    std::ofstream(path_).close();
    EXPECT_FALSE(open_sqlite_store(path_, StoreMode::ReadOnly, error));
    EXPECT_TRUE(open(StoreMode::ReadWrite));
    EXPECT_TRUE(open(StoreMode::ReadOnly));
}

}  // namespace
