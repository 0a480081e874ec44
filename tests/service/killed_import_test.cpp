// The real program, killed in the middle of a list, leaves the store as it was.
#include "service/store.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// Distinct, scattered digests: i times an odd constant is a bijection.
std::string line_for(std::uint64_t i)
{
    const std::uint64_t high = i * 0x9E3779B97F4A7C15u, low = ~i * 0xC2B2AE3D27D4EB4Fu;
    char text[96];
    std::snprintf(text, sizeof text, "%016llx%016llx  /srv/files/%llu/name-%llu.bin\n",
                  static_cast<unsigned long long>(high), static_cast<unsigned long long>(low),
                  static_cast<unsigned long long>(i % 977), static_cast<unsigned long long>(i));
    return text;
}

TEST(KilledImport, LeavesTheStoreAsItWas)
{
    char pattern[] = "/tmp/killed-import-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    struct Remove {
        const fs::path& dir;
        ~Remove() { fs::remove_all(dir); }
    } remove{dir};
    const std::string db = (dir / "store.db").string();

    std::string error;
    ImportEntry held;
    held.md5.fill(0xAB);
    {
        auto store = open_sqlite_store(db, StoreMode::ReadWrite, error);
        ASSERT_TRUE(store) << error;
        auto import = store->begin_import("before", error);
        ASSERT_EQ(import->add_batch({&held, 1}, error), StoreStatus::Ok);
        ASSERT_EQ(import->commit(error), StoreStatus::Ok);
    }

    // A list longer than the page cache holds, killed once the merge into the
    // store has written pages of its own.
    const std::string list = (dir / "list.md5").string();
    {
        std::ofstream out(list, std::ios::binary);
        for (std::uint64_t i = 0; i < 400'000; ++i)
            out << line_for(i);
        ASSERT_TRUE(out.flush());
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(SERVICE_PROGRAM, SERVICE_PROGRAM, "import", db.c_str(), "--source", "killed",
              "--format", "md5sum", list.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string wal = db + "-wal";
    int status = 0;
    bool ended = false;
    for (int polls = 0; polls < 60'000 && !ended; ++polls) {
        std::error_code ignored;
        if (fs::file_size(wal, ignored) > (1u << 20))
            break;
        ended = waitpid(child, &status, WNOHANG) == child;
        usleep(1000);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "the import ended before it was killed";

    auto store = open_sqlite_store(db, StoreMode::ReadOnly, error);
    ASSERT_TRUE(store) << error;
    FileRecord record;
    EXPECT_EQ(store->find_md5(held.md5, record, error), StoreStatus::Ok) << error;
    EXPECT_EQ(find_digest(*store, *parse_digest(line_for(0).substr(0, 32)), record, error),
              StoreStatus::NotFound);
    std::vector<SourceCount> counts;
    ASSERT_EQ(store->counts(counts, error), StoreStatus::Ok);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0].source, "before");
    store.reset();
    EXPECT_TRUE(open_sqlite_store(db, StoreMode::ReadWrite, error)) << error;  // and writable again
}

}  // namespace
