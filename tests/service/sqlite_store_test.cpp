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

constexpr const char* shared_md5 = "44d88612fea8a8f36de82e1278abb02f";
constexpr const char* other_md5  = "1b55b9073f3d6afd23952113797e3d8d";

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
    e.size = size;
    e.name = std::move(name);
    e.verdict = verdict;
    e.label = std::move(label);
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
        std::string error;
        store_ = open_sqlite_store(path_, StoreMode::ReadWrite, error);
        ASSERT_TRUE(store_) << error;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void import(const char* source, std::vector<ImportEntry> entries, std::uint64_t expect_new)
    {
        std::string error;
        auto import = store_->begin_import(source, error);
        ASSERT_TRUE(import) << error;
        ASSERT_EQ(import->add_batch(entries, error), StoreStatus::Ok) << error;
        ASSERT_EQ(import->commit(error), StoreStatus::Ok) << error;
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
    import("list-a", {entry(shared_md5, "a.exe", Verdict::Unknown),
                      entry(other_md5, "/usr/bin/env", Verdict::Unknown)}, 2);
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 1);
    import("signatures", {entry(shared_md5, "", Verdict::Bad, "Win.Test-1", 99),
                          entry(shared_md5, "", Verdict::Bad, "Win.Test-1", 99),
                          entry(other_md5, "", Verdict::Unknown)}, 2);
    import("packages", {entry(shared_md5, "/usr/bin/a", Verdict::Good, "pkg", 68)}, 0);
    ImportEntry late = entry(shared_md5, "a.exe", Verdict::Good, "other");
    late.sha1.emplace().fill(0x11);
    late.sha256.emplace().fill(0x22);
    import("late", {late}, 1);

    ASSERT_EQ(store_->find_md5(md5_of(shared_md5), record_, error_), StoreStatus::Ok) << error_;
    EXPECT_EQ(record_.verdict, Verdict::Bad);
    EXPECT_EQ(record_.label, "Win.Test-1");
    EXPECT_EQ(record_.size, 68u);  // the first size known stays
    EXPECT_EQ(record_.names, (std::vector<std::string>{"/usr/bin/a", "a.exe"}));
    ASSERT_EQ(record_.sources.size(), 4u);
    EXPECT_EQ(record_.sources[0].name, "late");
    EXPECT_EQ(record_.sources[0].imported.size(), 20u);  // 2026-12-07T00:00:00Z

    std::vector<SourceCount> counts;
    ASSERT_EQ(store_->counts(counts, error_), StoreStatus::Ok) << error_;
    std::vector<std::tuple<std::string, Verdict, std::uint64_t>> seen;
    for (const SourceCount& c : counts)
        seen.emplace_back(c.source, c.verdict, c.files);
    EXPECT_EQ(seen, (decltype(seen){{"late", Verdict::Good, 1}, {"list-a", Verdict::Unknown, 2},
                                    {"packages", Verdict::Good, 1}, {"signatures", Verdict::Unknown, 1},
                                    {"signatures", Verdict::Bad, 1}}));

    // Found by the digests a late source filled in, and by nothing else.
    for (const std::string& hex : {std::string(40, '1'), std::string(64, '2')}) {
        ASSERT_EQ(find_digest(*store_, *parse_digest(hex), record_, error_), StoreStatus::Ok) << hex;
        EXPECT_EQ(to_hex(record_.md5), shared_md5);
    }
    EXPECT_EQ(find_digest(*store_, *parse_digest(std::string(40, '3')), record_, error_),
              StoreStatus::NotFound);
    EXPECT_EQ(store_->find_md5(Md5Bytes{}, record_, error_), StoreStatus::NotFound);
}

TEST_F(SqliteStore, ReadersSeeAnImportWholeOrNotAtAll)
{
    import("first", {entry(shared_md5, "old", Verdict::Good)}, 1);
    auto reader = open_sqlite_store(path_, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;
    const auto check = [&](StoreStatus other, Verdict shared) {
        EXPECT_EQ(reader->find_md5(md5_of(other_md5), record_, error_), other) << error_;
        ASSERT_EQ(reader->find_md5(md5_of(shared_md5), record_, error_), StoreStatus::Ok);
        EXPECT_EQ(record_.verdict, shared);
    };
    // First an import dropped before its commit, then one committed.
    for (const bool committed : {false, true}) {
        auto running = store_->begin_import(committed ? "second" : "dropped", error_);
        ASSERT_TRUE(running) << error_;
        const std::vector<ImportEntry> batch = {entry(other_md5, "new", Verdict::Bad),
                                                entry(shared_md5, "", Verdict::Bad, "Bad.One")};
        ASSERT_EQ(running->add_batch(batch, error_), StoreStatus::Ok) << error_;
        check(StoreStatus::NotFound, Verdict::Good);
        if (committed) {
            ASSERT_EQ(running->commit(error_), StoreStatus::Ok) << error_;
            check(StoreStatus::Ok, Verdict::Bad);
        }
    }
    std::vector<SourceCount> counts;
    ASSERT_EQ(reader->counts(counts, error_), StoreStatus::Ok);
    EXPECT_EQ(counts.size(), 2u);  // nothing from the dropped import
}

TEST_F(SqliteStore, RefusesFilesNotItsOwnAndLeavesThemAlone)
{
    const auto make_db = [](const fs::path& path, const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    const fs::path text = dir_ / "notes.txt", foreign = dir_ / "foreign.db", future = dir_ / "future.db";
    std::ofstream(text) << "not a database, only text long enough to look like a file\n";
    make_db(foreign, "CREATE TABLE t (x); INSERT INTO t VALUES (1)");
    make_db(future, "PRAGMA application_id = 1113017171; PRAGMA user_version = 7;"
                    " CREATE TABLE files (md5 BLOB)");
    const std::pair<fs::path, const char*> cases[] = {
        {text, "is not a brantwicker-service database"},
        {foreign, "is not a brantwicker-service database"},
        {future, "was made by a newer version (schema 7); this program reads schema 1"},
    };
    for (const auto& [path, says] : cases) {
        const std::string before = contents(path);
        for (StoreMode mode : {StoreMode::ReadOnly, StoreMode::ReadWrite}) {
            EXPECT_FALSE(open_sqlite_store(path.string(), mode, error_)) << path;
            EXPECT_NE(error_.find(says), std::string::npos) << error_;
        }
        EXPECT_EQ(contents(path), before) << path;
        EXPECT_FALSE(fs::exists(path.string() + "-wal")) << path;
    }

    // Reading never creates; an empty file becomes a store to write.
    const fs::path absent = dir_ / "absent.db";
    EXPECT_FALSE(open_sqlite_store(absent.string(), StoreMode::ReadOnly, error_));
    EXPECT_FALSE(fs::exists(absent));
    std::ofstream(absent).close();
    EXPECT_FALSE(open_sqlite_store(absent.string(), StoreMode::ReadOnly, error_));
    EXPECT_TRUE(open_sqlite_store(absent.string(), StoreMode::ReadWrite, error_)) << error_;
    EXPECT_TRUE(open_sqlite_store(absent.string(), StoreMode::ReadOnly, error_)) << error_;
}

}  // namespace
