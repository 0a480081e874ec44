// Each list format against real lines, good and broken.
#include "service/import/import_progress.h"
#include "service/import/line_reader.h"
#include "service/import/list_formats.h"
#include "service/shell_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <vector>

namespace {

using enum ListFormat;

const std::string md5 = "1d6ebb5a789abd108ff578263e1f40f3", capitals = "1D6EBB5A789ABD108FF578263E1F40F3";
const std::string sha1 = "0000002D9D62AEBE1E0E9DB6C4C4C7C16A163D2C";

// An NSRL line around `fields`: name, size and product.
std::string nsrl(const std::string& fields, const std::string& sha1_text = sha1,
                 const std::string& md5_text = capitals)
{
    return "\"" + sha1_text + "\",\"" + md5_text + "\",\"FFFFFFFF\"," + fields + ",\"358\",\"\"";
}

// "refused", "ignored", or the entry the line gives as "name|size|label".
std::string read_line(ListFormat format, const std::string& line)
{
    ImportEntry entry;
    const ParsedLine parsed = parse_list_line(format, line, entry);
    EXPECT_EQ(parsed.reason.empty(), parsed.outcome != LineOutcome::Refused);
    if (parsed.outcome != LineOutcome::Entry)
        return parsed.outcome == LineOutcome::Ignored ? "ignored" : "refused";
    EXPECT_EQ(to_hex(entry.md5), md5);
    EXPECT_EQ(entry.sha1.has_value(), format == Nsrl);
    return entry.name + "|" + (entry.size ? std::to_string(*entry.size) : "") + "|" + entry.label;
}

TEST(ListFormats, EachLineIsAnEntryIgnoredOrRefused)
{
    const std::tuple<ListFormat, std::string, std::string> cases[] = {
        {Md5sum, md5 + "  notes.txt", "notes.txt||"},
        {Md5sum, capitals + " *bin/tool.exe", "bin/tool.exe||"},
        {Md5sum, md5 + "   lead space", " lead space||"},
        {Md5sum, "\\" + md5 + "  back\\\\slash\\nnew\\rline", "back\\slash\nnew\rline||"},
        {Md5sum, md5 + "  kept\\as-is", "kept\\as-is||"},
        {Md5sum, md5 + "  dos.txt\r", "dos.txt||"},
        {Md5sum, "\\" + md5 + "  bad\\tescape", "refused"},
        {Md5sum, "\\" + md5 + "  trailing\\", "refused"},
        {Md5sum, md5 + "  ", "refused"},
        {Md5sum, md5.substr(1) + "g  nonhex.txt", "refused"},
        {Md5sum, md5 + " one-space", "refused"},
        {Md5sum, md5 + std::string("  nul\0byte", 10), "refused"},
        {Md5sum, "  \r", "ignored"},

        {Debian, md5 + "  usr/bin/env", "/usr/bin/env||"},
        {Debian, md5 + "  /etc/already", "/etc/already||"},

        {Nsrl, "\"SHA-1\",\"MD5\",\"CRC32\",\"FileName\",\"FileSize\",\"ProductCode\",\"OpSystemCode\","
               "\"SpecialCode\"", "ignored"},
        {Nsrl, nsrl("\"_sfx_0024._p\",4109,21000"), "_sfx_0024._p|4109|product 21000"},
        {Nsrl, nsrl("\"Smith, \"\"J\"\".doc\",0,7"), "Smith, \"J\".doc|0|product 7"},
        {Nsrl, nsrl("\"big.iso\",9223372036854775807,1"), "big.iso|9223372036854775807|product 1"},
        {Nsrl, nsrl("\"huge.iso\",9223372036854775808,1"), "refused"},
        {Nsrl, nsrl("\"huger.iso\",184467440737095516160,1"), "refused"},
        {Nsrl, nsrl("\"short\",1"), "refused"},
        {Nsrl, nsrl("\"long\",1,1,\"\""), "refused"},
        {Nsrl, nsrl("\"open\",1,1") + ",\"", "refused"},
        {Nsrl, nsrl("\"after\"x,1,1"), "refused"},
        {Nsrl, nsrl("\"x\",1,1", sha1, md5.substr(1) + "Z"), "refused"},
        {Nsrl, nsrl("\"x\",1,1", sha1.substr(1)), "refused"},

        {Hdb, md5 + ":68:Win.Test.Sample-1", "|68|Win.Test.Sample-1"},
        {Hdb, capitals + ":*:Unix.Test.Any-2:73", "||Unix.Test.Any-2"},
        {Hdb, md5 + ":68", "refused"},
        {Hdb, md5 + ":68:", "refused"},
        {Hdb, md5 + ":0x44:Hex.Size", "refused"},
        {Hdb, md5.substr(2) + ":68:Short.Digest", "refused"},
        {Hdb, md5 + ":1:a:2:3:4", "refused"},
        {Hdb, "# a comment", "ignored"},
    };
    for (const auto& [format, line, read] : cases)
        EXPECT_EQ(read_line(format, line), read) << format_name(format) << ": " << line;
}

TEST(ListFormats, GuessedFromNameOrFirstLine)
{
    const std::tuple<const char*, std::string, std::optional<ListFormat>> cases[] = {
        {"/var/lib/dpkg/info/coreutils.md5sums", md5 + "  usr/bin/env", Debian},
        {"list.txt", md5 + "  usr/bin/env", Md5sum},
        {"list.txt", "\\" + md5 + " *a\\\\b", Md5sum},
        {"NSRLFile.txt", "\"SHA-1\",\"MD5\",\"CRC32\",\"FileName\"", Nsrl},
        {"main.hdb", md5 + ":68:Sig", Hdb},
        {"notes.txt", "hello", std::nullopt},
    };
    for (const auto& [file, first_line, format] : cases)
        EXPECT_EQ(guess_format(file, first_line), format) << file << ": " << first_line;
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
