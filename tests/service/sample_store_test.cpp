// The samples folder: what is kept reads back whole or not at all, the bounds
// drop the oldest first, a crashed writer's leftovers go once stale, and a
// member is found kept through the archives it came in.
#include "service/analysis/file_digests.h"
#include "service/samples/sample_store.h"
#include "service/store/store.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kDay = 86400;

UploadedFile digests_of(const std::string& bytes, const std::string& name = "")
{
    FileDigests digests;
    digests.add(bytes);
    UploadedFile file;
    EXPECT_TRUE(digests.end(file));
    file.name = name;
    return file;
}

std::span<const unsigned char> as_bytes(const std::string& text)
{
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

void set_mtime(const std::string& path, std::int64_t when, long nanoseconds = 0)
{
    const timespec times[2] = {{when, nanoseconds}, {when, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_text(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class SampleFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sample-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        reopen({});
    }
    void TearDown() override { fs::remove_all(dir_); }

    void reopen(SampleBounds bounds)
    {
        samples_ = SampleStore::open((dir_ / "samples").string(), bounds, error_);
        ASSERT_TRUE(samples_) << error_;
    }

    // Keeps `bytes` and dates it `when`; returns its SHA-256.
    Sha256Bytes keep(const std::string& bytes, std::int64_t when)
    {
        const Sha256Bytes sha256 = digests_of(bytes).sha256;
        EXPECT_TRUE(samples_->keep(sha256, as_bytes(bytes), error_)) << error_;
        set_mtime(samples_->path_of(sha256), when);
        return sha256;
    }

    fs::path dir_;
    std::unique_ptr<SampleStore> samples_;
    std::string error_;
};

// What goes in comes out, compressed on disk under its digest, once.
TEST_F(SampleFolder, KeptSamplesReadBackAsUploaded)
{
    std::mt19937 random(7);
    std::string large(300'000, '\0');
    for (char& c : large)
        c = static_cast<char>(random() % 4);  // compressible, not trivially
    for (const std::string& bytes : {std::string(), std::string("MZ\0\x90 a small one", 16), large}) {
        const UploadedFile file = digests_of(bytes);
        std::uint64_t stored = 1;
        ASSERT_TRUE(samples_->keep(file.sha256, as_bytes(bytes), error_, &stored)) << error_;
        const std::string hex = to_hex(file.sha256);
        EXPECT_EQ(samples_->path_of(file.sha256),
                  (dir_ / "samples" / hex.substr(0, 2) / (hex + ".zst")).string());
        EXPECT_EQ(stored, fs::file_size(samples_->path_of(file.sha256)));
        EXPECT_TRUE(samples_->has(file.sha256));
        std::vector<unsigned char> out;
        ASSERT_EQ(samples_->read(file.sha256, out, error_), StoreStatus::Ok) << error_;
        EXPECT_EQ(std::string(out.begin(), out.end()), bytes);
        // Kept already: not written again.
        ASSERT_TRUE(samples_->keep(file.sha256, as_bytes(bytes), error_, &stored));
        EXPECT_EQ(stored, 0u);
    }
    EXPECT_LT(fs::file_size(samples_->path_of(digests_of(large).sha256)), large.size() / 2);
    EXPECT_TRUE(fs::is_empty(dir_ / "samples" / "tmp"));

    std::vector<unsigned char> out;
    const Sha256Bytes absent = digests_of("never kept").sha256;
    EXPECT_FALSE(samples_->has(absent));
    EXPECT_EQ(samples_->read(absent, out, error_), StoreStatus::NotFound);
}

// A sample changed on disk is an error, never other bytes taken for it.
TEST_F(SampleFolder, DamagedSamplesAreRefused)
{
    const std::string bytes(5000, 'x');
    const Sha256Bytes sha256 = keep(bytes + "tail", std::time(nullptr));
    const std::string path = samples_->path_of(sha256);
    const std::string good = file_text(path);
    const Sha256Bytes other = keep("another file", std::time(nullptr));

    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x20;
    // A frame header that claims 2^60 bytes: refused, not allocated.
    std::string huge = good.substr(0, 4) + std::string("\xe0\x00\x00\x00\x00\x00\x00\x00\x10", 9);
    const std::string cases[] = {flipped, good.substr(0, good.size() - 3), "", "not zstd at all",
                                 huge, file_text(samples_->path_of(other))};
    for (const std::string& damaged : cases) {
        SCOPED_TRACE(damaged.size());
        write_text(path, damaged);
        std::vector<unsigned char> out;
        EXPECT_EQ(samples_->read(sha256, out, error_), StoreStatus::Error);
        EXPECT_FALSE(error_.empty());
        EXPECT_TRUE(out.empty());
    }
}

// Listed oldest first; the bounds drop from the oldest, by age then by size,
// and leave what fits; stale temporary files go, fresh ones stay.
TEST_F(SampleFolder, PruneDropsTheOldestPastTheBounds)
{
    const std::int64_t now = std::time(nullptr);
    const Sha256Bytes old = keep("ten days old", now - 10 * kDay);
    const Sha256Bytes newest = keep("one hour old", now - 3600);
    const Sha256Bytes middle = keep("two days old", now - 2 * kDay);
    std::vector<KeptSample> listed;
    // Within one second, the order the nanoseconds give, not the digests'.
    const Sha256Bytes a = keep("kept first", now - 3 * kDay), b = keep("kept next", now - 3 * kDay);
    const auto [first, next] = a < b ? std::pair(b, a) : std::pair(a, b);
    set_mtime(samples_->path_of(first), now - 3 * kDay, 100);
    set_mtime(samples_->path_of(next), now - 3 * kDay, 900);
    ASSERT_TRUE(samples_->list(listed, error_)) << error_;
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[1].sha256, first);
    EXPECT_EQ(listed[2].sha256, next);
    fs::remove(samples_->path_of(a));
    fs::remove(samples_->path_of(b));

    ASSERT_TRUE(samples_->list(listed, error_)) << error_;
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].sha256, old);
    EXPECT_EQ(listed[1].sha256, middle);
    EXPECT_EQ(listed[2].sha256, newest);
    std::uint64_t total = 0;
    for (const KeptSample& sample : listed)
        total += sample.stored_bytes;

    PruneResult pruned;
    ASSERT_TRUE(samples_->prune(now, pruned, error_)) << error_;  // no bounds: nothing goes
    EXPECT_EQ(pruned.dropped, 0u);
    EXPECT_EQ(pruned.left.samples, 3u);
    EXPECT_EQ(pruned.left.bytes, total);

    reopen({0, 5});
    ASSERT_TRUE(samples_->prune(now, pruned, error_)) << error_;
    EXPECT_EQ(pruned.dropped, 1u);
    EXPECT_FALSE(samples_->has(old));
    EXPECT_TRUE(samples_->has(middle) && samples_->has(newest));
    EXPECT_EQ(pruned.left.bytes, total - listed[0].stored_bytes);

    // Room for the newest alone, by one byte short of both.
    reopen({listed[1].stored_bytes + listed[2].stored_bytes - 1, 0});
    ASSERT_TRUE(samples_->prune(now, pruned, error_)) << error_;
    EXPECT_EQ(pruned.dropped, 1u);
    EXPECT_FALSE(samples_->has(middle));
    EXPECT_TRUE(samples_->has(newest));
    EXPECT_EQ(pruned.left.samples, 1u);
    EXPECT_EQ(pruned.left.bytes, listed[2].stored_bytes);
    EXPECT_FALSE(samples_->over_max_bytes());
    keep("one more, past the bound", now);
    EXPECT_TRUE(samples_->over_max_bytes());

    const std::string stale = (dir_ / "samples" / "tmp" / "left.1.0").string();
    const std::string fresh = (dir_ / "samples" / "tmp" / "writing.2.0").string();
    write_text(stale, "half a sample");
    write_text(fresh, "a sample being written");
    set_mtime(stale, now - kStaleTempSeconds - 1);
    set_mtime(fresh, now - kStaleTempSeconds + 60);
    ASSERT_TRUE(samples_->prune(now, pruned, error_)) << error_;
    EXPECT_EQ(pruned.temps_dropped, 1u);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(fresh));
}

TEST_F(SampleFolder, FolderThatCannotBeMadeIsRefused)
{
    write_text((dir_ / "a-file").string(), "");
    EXPECT_FALSE(SampleStore::open((dir_ / "a-file" / "samples").string(), {}, error_));
    EXPECT_NE(error_.find("a-file"), std::string::npos) << error_;
}

// A member is kept when an archive it was found in is, at any depth, and
// archives that contain one another do not walk forever.
TEST_F(SampleFolder, MembersAreKeptThroughTheirArchives)
{
    const std::string location = (dir_ / "store.db").string();
    ASSERT_TRUE(open_sqlite_store(location, StoreMode::ReadWrite, error_)) << error_;
    const auto service = open_sqlite_store(location, StoreMode::Service, error_);
    ASSERT_TRUE(service) << error_;
    const UploadedFile outer = digests_of("outer", "outer.zip"), inner = digests_of("inner", "in.zip"),
                       leaf = digests_of("leaf", "leaf.txt"), loose = digests_of("loose", "x");
    const ScanRecord clean{"ClamAV", "1.0", "1", "", false, ""};
    const auto listing = [](const UploadedFile& file) {
        return MemberListing{file.name, file.md5, file.sha1, ""};
    };
    // outer holds inner, which holds leaf; leaf, an odd archive, holds outer.
    const AnalysisRecord records[] = {
        {inner, {clean}, "", "", "", {}, true, {listing(leaf)}},
        {leaf, {clean}, "", "", "", {}, true, {listing(outer)}},
        {outer, {clean}, "", "", "", {}, true, {listing(inner)}},
        {loose, {clean}, "", "", "", {}, false, {}},
    };
    ASSERT_EQ(service->add_analyses(records, error_), StoreStatus::Ok) << error_;
    const auto reader = open_sqlite_store(location, StoreMode::ReadOnly, error_);
    ASSERT_TRUE(reader) << error_;

    for (const UploadedFile* file : {&outer, &inner, &leaf, &loose}) {
        EXPECT_FALSE(kept_holder(*reader, *samples_, file->sha256, error_)) << file->name;
        EXPECT_TRUE(error_.empty()) << error_;
    }
    ASSERT_TRUE(samples_->keep(outer.sha256, as_bytes("outer"), error_)) << error_;
    EXPECT_EQ(kept_holder(*reader, *samples_, leaf.sha256, error_), outer.sha256);
    EXPECT_EQ(kept_holder(*reader, *samples_, inner.sha256, error_), outer.sha256);
    EXPECT_EQ(kept_holder(*reader, *samples_, outer.sha256, error_), outer.sha256);
    EXPECT_FALSE(kept_holder(*reader, *samples_, loose.sha256, error_));
    // The nearest holder first.
    ASSERT_TRUE(samples_->keep(inner.sha256, as_bytes("inner"), error_)) << error_;
    EXPECT_EQ(kept_holder(*reader, *samples_, leaf.sha256, error_), inner.sha256);
    // Not in the store at all: not kept, and no error.
    EXPECT_FALSE(kept_holder(*reader, *samples_, digests_of("unheld").sha256, error_));
    EXPECT_TRUE(error_.empty()) << error_;
}

}  // namespace
