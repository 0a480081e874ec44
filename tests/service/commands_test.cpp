// The shell commands in the process, in the order an operator runs them: each
// outcome's exit status, which scripts branch on, and the counts and records
// each prints.
#include "service/commands.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string md5_a = "44d88612fea8a8f36de82e1278abb02f";
const std::string md5_b = "1b55b9073f3d6afd23952113797e3d8d";
const std::string unknown = "ffffffffffffffffffffffffffffffff";

// Runs `command` (its words split at blanks) and returns its exit status.
int run(const std::string& command, std::string& out)
{
    std::istringstream split(command);
    std::vector<std::string> words{std::istream_iterator<std::string>(split), {}};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    const auto subcommand = words[0] == "import" ? import_command
                          : words[0] == "lookup" ? lookup_command : stats_command;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = subcommand(argc, argv.data());
    out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return status;
}

TEST(Commands, ExitStatusAndOutputForEachOutcome)
{
    char pattern[] = "/tmp/commands-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    std::ofstream(dir / "list.md5") << md5_a << "  /bin/a\n" << md5_b << "  /bin/b\nbad line\n";
    std::ofstream(dir / "notes.txt") << "not a store, only text long enough to look like a file\n";
    const std::string db = (dir / "store.db").string(), list = (dir / "list.md5").string();
    const std::string import = "import " + db + " --format md5sum --source one ";

    // The command, its status, and its whole standard output ("..." first:
    // what it ends with).
    const std::tuple<std::string, int, std::string> cases[] = {
        {"import " + db, 2, ""},
        {import + list, 0,
         "imported 2 entries from 1 file (source one): 2 new, 0 already listed, 1 line skipped\n"},
        {import + list + " " + (dir / "absent.md5").string(), 1,
         "imported 2 entries from 1 file (source one): 0 new, 2 already listed, 1 line skipped;"
         " 1 file not imported\n"},
        {import + dir.string(), 1,  // a folder opens but cannot be read
         "imported 0 entries from 0 files: 0 new, 0 already listed, 0 lines skipped;"
         " 1 file not imported\n"},
        {"import " + (dir / "notes.txt").string() + " " + list, 2, ""},
        {"lookup " + db + " " + md5_b, 0, md5_b + "  unknown  -  /bin/b\n"},
        {"lookup " + db + " " + unknown + " " + md5_a, 1,
         unknown + "  not held\n" + md5_a + "  unknown  -  /bin/a\n"},
        {"lookup " + db + " " + md5_a + " 0x" + md5_a, 2, ""},
        {"lookup " + (dir / "absent.db").string() + " " + md5_a, 2, ""},
        {"stats " + db, 0, "...\n           2  unknown  one\n"},
        {"stats", 2, ""},
    };
    for (const auto& [command, status, printed] : cases) {
        std::string out;
        EXPECT_EQ(run(command, out), status) << command;
        if (printed.starts_with("..."))
            EXPECT_TRUE(out.ends_with(printed.substr(3))) << command << "\n" << out;
        else
            EXPECT_EQ(out, printed) << command;
    }
    fs::remove_all(dir);
}

}  // namespace
