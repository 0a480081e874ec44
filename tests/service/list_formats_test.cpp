// Each list format against real lines, good and broken.
#include "service/import_progress.h"
#include "service/line_reader.h"
#include "service/list_formats.h"
#include "service/shell_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

using enum ListFormat;
using enum LineOutcome;

constexpr const char* empty_md5 = "d41d8cd98f00b204e9800998ecf8427e";
constexpr const char* sample_md5 = "1d6ebb5a789abd108ff578263e1f40f3";

struct LineCase {
    ListFormat    format;
    std::string   line;
    LineOutcome   outcome;
    const char*   md5 = "";
    std::string   name = {};
    std::optional<std::uint64_t> size = {};
    std::string   label = {};
};

const std::string nsrl_head = "\"0000002D9D62AEBE1E0E9DB6C4C4C7C16A163D2C\",\"1D6EBB5A789ABD108FF578263E1F40F3\",\"FFFFFFFF\",";

const LineCase line_cases[] = {
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427e  notes.txt", Entry, empty_md5, "notes.txt"},
    {Md5sum, "D41D8CD98F00B204E9800998ECF8427E *bin/tool.exe", Entry, empty_md5, "bin/tool.exe"},
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427e   lead space", Entry, empty_md5, " lead space"},
    {Md5sum, "\\d41d8cd98f00b204e9800998ecf8427e  back\\\\slash\\nnew\\rline", Entry, empty_md5,
     "back\\slash\nnew\rline"},
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427e  kept\\as-is", Entry, empty_md5, "kept\\as-is"},
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427e  dos.txt\r", Entry, empty_md5, "dos.txt"},
    {Md5sum, "\\d41d8cd98f00b204e9800998ecf8427e  bad\\tescape", Refused},
    {Md5sum, "\\d41d8cd98f00b204e9800998ecf8427e  trailing\\", Refused},
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427e", Refused},
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427e  ", Refused},
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427  short.txt", Refused},
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427g  nonhex.txt", Refused},
    {Md5sum, "d41d8cd98f00b204e9800998ecf8427e one-space", Refused},
    {Md5sum, std::string("d41d8cd98f00b204e9800998ecf8427e  nul\0byte", 42), Refused},
    {Md5sum, "  \r", Ignored},

    {Debian, "1d6ebb5a789abd108ff578263e1f40f3  usr/bin/env", Entry, sample_md5, "/usr/bin/env"},
    {Debian, "1d6ebb5a789abd108ff578263e1f40f3  /etc/already", Entry, sample_md5, "/etc/already"},
    {Debian, "1d6ebb5a789abd108ff578263e1f40f3 usr/bin/env", Refused},

    {Nsrl, "\"SHA-1\",\"MD5\",\"CRC32\",\"FileName\",\"FileSize\",\"ProductCode\",\"OpSystemCode\",\"SpecialCode\"",
     Ignored},
    {Nsrl, nsrl_head + "\"_sfx_0024._p\",4109,21000,\"358\",\"\"", Entry, sample_md5, "_sfx_0024._p",
     4109, "product 21000"},
    {Nsrl, nsrl_head + "\"Smith, \"\"J\"\".doc\",0,7,\"358\",\"\"", Entry, sample_md5, "Smith, \"J\".doc",
     0, "product 7"},
    {Nsrl, nsrl_head + "\"big.iso\",9223372036854775807,1,\"358\",\"\"", Entry, sample_md5, "big.iso",
     9223372036854775807u, "product 1"},
    {Nsrl, nsrl_head + "\"huge.iso\",9223372036854775808,1,\"358\",\"\"", Refused},
    {Nsrl, nsrl_head + "\"huger.iso\",184467440737095516160,1,\"358\",\"\"", Refused},
    {Nsrl, nsrl_head + "\"neg\",-1,1,\"358\",\"\"", Refused},
    {Nsrl, nsrl_head + "\"short\",1,1", Refused},
    {Nsrl, nsrl_head + "\"long\",1,1,\"358\",\"\",\"\"", Refused},
    {Nsrl, nsrl_head + "\"open,1,1,\"358\",\"", Refused},
    {Nsrl, nsrl_head + "\"after\"x,1,1,\"358\",\"\"", Refused},
    {Nsrl, "\"0000002D9D62AEBE1E0E9DB6C4C4C7C16A163D2C\",\"1D6EBB5A789ABD108FF578263E1F40FZ\","
           "\"FFFFFFFF\",\"x\",1,1,\"358\",\"\"", Refused},
    {Nsrl, "\"0000002D9D62AEBE1E0E9DB6C4C4C7C16A163D2\",\"1D6EBB5A789ABD108FF578263E1F40F3\","
           "\"FFFFFFFF\",\"x\",1,1,\"358\",\"\"", Refused},

    {Hdb, "1d6ebb5a789abd108ff578263e1f40f3:68:Win.Test.Sample-1", Entry, sample_md5, "", 68,
     "Win.Test.Sample-1"},
    {Hdb, "1D6EBB5A789ABD108FF578263E1F40F3:*:Unix.Test.Any-2:73", Entry, sample_md5, "", {},
     "Unix.Test.Any-2"},
    {Hdb, "1d6ebb5a789abd108ff578263e1f40f3:68", Refused},
    {Hdb, "1d6ebb5a789abd108ff578263e1f40f3:68:", Refused},
    {Hdb, "1d6ebb5a789abd108ff578263e1f40f3:0x44:Hex.Size", Refused},
    {Hdb, "1d6ebb5a789abd108ff578263e1f40f3:99999999999999999999:Huge.Size", Refused},
    {Hdb, "1d6ebb5a789abd108ff578263e1f40:68:Short.Digest", Refused},
    {Hdb, "1d6ebb5a789abd108ff578263e1f40f3:1:a:2:3:4", Refused},
    {Hdb, "# a comment", Ignored},
};

TEST(ListFormats, EachLineIsAnEntryIgnoredOrRefused)
{
    for (const LineCase& c : line_cases) {
        SCOPED_TRACE(std::string(format_name(c.format)) + ": " + c.line);
        ImportEntry entry;
        const ParsedLine parsed = parse_list_line(c.format, c.line, entry);
        ASSERT_EQ(parsed.outcome, c.outcome);
        if (c.outcome != Entry) {
            EXPECT_EQ(parsed.reason.empty(), c.outcome == Ignored);
            continue;
        }
        EXPECT_EQ(to_hex(entry.md5), c.md5);
        EXPECT_EQ(entry.name, c.name);
        EXPECT_EQ(entry.size, c.size);
        EXPECT_EQ(entry.label, c.label);
        EXPECT_EQ(entry.sha1.has_value(), c.format == Nsrl);
    }
}

TEST(ListFormats, GuessedFromNameOrFirstLine)
{
    const struct {
        const char* file;
        const char* first_line;
        std::optional<ListFormat> format;
    } cases[] = {
        {"/var/lib/dpkg/info/coreutils.md5sums", "1b55b9073f3d6afd23952113797e3d8d  usr/bin/env", Debian},
        {"list.txt", "1b55b9073f3d6afd23952113797e3d8d  usr/bin/env", Md5sum},
        {"list.txt", "\\1b55b9073f3d6afd23952113797e3d8d *a\\\\b", Md5sum},
        {"NSRLFile.txt", "\"SHA-1\",\"MD5\",\"CRC32\",\"FileName\"", Nsrl},
        {"main.hdb", "1b55b9073f3d6afd23952113797e3d8d:68:Sig", Hdb},
        {"notes.txt", "hello", std::nullopt},
        {"empty.txt", "", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(guess_format(c.file, c.first_line), c.format) << c.file << ": " << c.first_line;
    EXPECT_EQ(list_defaults(Debian, "/var/lib/dpkg/info/libc6:amd64.md5sums").label, "libc6:amd64");
}

TEST(LineReader, SplitsLinesAndSkipsOverlongOnesWhole)
{
    const std::string overlong(LineReader::max_line + 1, 'x');
    const std::string text = "one\n\n" + overlong + "\nthree\r\nlast";
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ASSERT_NE(file, nullptr);
    LineReader reader(file);
    std::vector<std::string> seen;
    std::string_view line;
    for (LineReader::Next next; (next = reader.next(line)) != LineReader::Next::End;)
        seen.push_back(next == LineReader::Next::TooLong ? "<too long>" : std::string(line));
    std::fclose(file);
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "", "<too long>", "three\r", "last"}));
    EXPECT_EQ(reader.line_number(), 5u);
}

TEST(ImportProgress, TimeLeftFollowsTheRateSoFar)
{
    EXPECT_EQ(progress_line({25 << 20, 100u << 20, 1000, 10.0}),
              "25.0 MiB of 100.0 MiB, 1000 lines, 100 lines/s, 0:30 left");
    EXPECT_EQ(progress_line({3 << 20, std::nullopt, 1, 0.5}), "3.0 MiB, 1 line, 2 lines/s");
}

TEST(ShellText, NamesCannotBreakLinesOrDriveTheTerminal)
{
    EXPECT_EQ(printable("a\\b\nc\rd\te"), "a\\\\b\\nc\\rd\\te");
    EXPECT_EQ(printable("\x1b[2J\x7f\x01"), "\\x1b[2J\\x7f\\x01");
    EXPECT_EQ(printable("Grüße.txt"), "Grüße.txt");
}

}  // namespace
