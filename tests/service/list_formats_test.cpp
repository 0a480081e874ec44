// Each list format against real lines, good and broken.
#include "service/import/import_progress.h"
#include "service/import/line_reader.h"
#include "service/import/list_formats.h"
#include "service/shell_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

const std::string sha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A MalwareBazaar export line: its fields quoted and parted by '", "'.
std::string bazaar(const std::vector<std::string>& fields)
{
    std::string line;
    for (const std::string& field : fields)
        line += (line.empty() ? "\"" : "\", \"") + field;
    return line + "\"";
}

// The first fields of an export line: first seen, the three digests, reporter.
std::vector<std::string> sample(std::vector<std::string> rest, const std::string& sha1_text = sha1)
{
    std::vector<std::string> fields{"2024-12-07 07:58:22", sha256, md5, sha1_text, "abuse_ch"};
    fields.insert(fields.end(), rest.begin(), rest.end());
    return fields;
}

// "refused", "ignored", or the entry the line gives as "name|size|label",
// with "+sha1" and "+sha256" for the digests it also gives.
std::string read_line(ListFormat format, const std::string& line)
{
    ImportEntry entry;
    const ParsedLine parsed = parse_list_line(format, line, entry);
    EXPECT_EQ(parsed.reason.empty(), parsed.outcome != LineOutcome::Refused);
    if (parsed.outcome != LineOutcome::Entry)
        return parsed.outcome == LineOutcome::Ignored ? "ignored" : "refused";
    EXPECT_EQ(to_hex(entry.md5), md5);
    std::string sha1_lower = sha1;
    std::ranges::transform(sha1_lower, sha1_lower.begin(), [](char c) { return std::tolower(c); });
    EXPECT_EQ(entry.sha1 ? to_hex(*entry.sha1) : sha1_lower, sha1_lower);
    EXPECT_EQ(entry.sha256 ? to_hex(*entry.sha256) : sha256, sha256);
    return entry.name + "|" + (entry.size ? std::to_string(*entry.size) : "") + "|" + entry.label
         + (entry.sha1 ? "+sha1" : "") + (entry.sha256 ? "+sha256" : "");
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
        {Nsrl, nsrl("\"_sfx_0024._p\",4109,21000"), "_sfx_0024._p|4109|product 21000+sha1"},
        {Nsrl, nsrl("\"Smith, \"\"J\"\".doc\",0,7"), "Smith, \"J\".doc|0|product 7+sha1"},
        {Nsrl, nsrl("\"big.iso\",9223372036854775807,1"), "big.iso|9223372036854775807|product 1+sha1"},
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

        {Bazaar, "# \"first_seen_utc\",\"sha256_hash\",\"md5_hash\"", "ignored"},
        {Bazaar, bazaar(sample({"a.exe", "exe", "application/x-dosexec", "AgentTesla", "Win.Trojan.A",
                                "12.5", "n/a", "n/a", "n/a"})), "a.exe||AgentTesla+sha1+sha256"},
        {Bazaar, bazaar(sample({"b.dll", "dll", "application/x-dosexec", "n/a", "Win.Trojan.B"})),
         "b.dll||Win.Trojan.B+sha1+sha256"},
        {Bazaar, bazaar(sample({"c.doc", "doc", "n/a", "n/a", "n/a"})), "c.doc||doc+sha1+sha256"},
        {Bazaar, bazaar(sample({"n/a", "n/a"}, "n/a")), "||+sha256"},
        {Bazaar, bazaar(sample({"short.exe"})), "short.exe||+sha1+sha256"},
        {Bazaar, bazaar({"2024-12-07", "n/a", md5}), "||"},
        {Bazaar, bazaar({"2024-12-07", sha256}), "refused"},
        {Bazaar, bazaar(sample({"x", "x", "x", "x", "x", "x", "x", "x", "x", "x"})), "refused"},
        {Bazaar, bazaar(sample({"bad.exe"}, sha1.substr(1))), "refused"},
        {Bazaar, bazaar({"2024-12-07", sha256.substr(2), md5}), "refused"},
        {Bazaar, bazaar({"2024-12-07", sha256, md5 + "0"}), "refused"},
        {Bazaar, "\"2024-12-07\",\"" + sha256 + "\",\"" + md5 + "\"", "refused"},
        {Bazaar, "2024-12-07, " + sha256 + ", " + md5, "refused"},

        {VirusShare, md5, "||"},
        {VirusShare, capitals + "\r", "||"},
        {VirusShare, "# VirusShare_00000", "ignored"},
        {VirusShare, md5 + "  name", "refused"},
        {VirusShare, md5.substr(1), "refused"},
        {Rds, md5, "refused"},
    };
    for (const auto& [format, line, read] : cases)
        EXPECT_EQ(read_line(format, line), read) << format_name(format) << ": " << line;
}

TEST(ListFormats, GuessedFromNameOrHead)
{
    const std::string bazaar_head = "################\n# MalwareBazaar full malware samples dump (CSV)\n"
                                    "# \"first_seen_utc\",\"sha256_hash\",\"md5_hash\",\"sha1_hash\"\n";
    const std::string virusshare_head = "#####\n#   VirusShare_00042 \n#   list of MD5s\n#####\n";
    const std::tuple<const char*, std::string, std::optional<ListFormat>> cases[] = {
        {"/var/lib/dpkg/info/coreutils.md5sums", md5 + "  usr/bin/env", Debian},
        {"list.txt", md5 + "  usr/bin/env", Md5sum},
        {"list.txt", "\\" + md5 + " *a\\\\b", Md5sum},
        {"NSRLFile.txt", "\"SHA-1\",\"MD5\",\"CRC32\",\"FileName\"", Nsrl},
        {"main.hdb", md5 + ":68:Sig", Hdb},
        {"notes.txt", "hello", std::nullopt},
        {"main.hdb", "# made by hand\n\n" + md5 + ":68:Sig", Hdb},
        {"full.csv", bazaar_head + bazaar(sample({})), Bazaar},
        {"x", "#\n# \"first_seen_utc\", \"sha256_hash\", \"md5_hash\"\n", Bazaar},
        {"x", virusshare_head + md5, VirusShare},
        {"x", "# VirusShare_\n" + md5, std::nullopt},
        {"x", "# a list\n" + md5 + "  a", Md5sum},
    };
    for (const auto& [file, head, format] : cases)
        EXPECT_EQ(guess_format(file, head), format) << file << ": " << head;

    // Each format's defaults: verdict, label and source, from the file name or the head.
    const std::tuple<ListFormat, const char*, std::string, std::string> defaults[] = {
        {Debian, "/var/lib/dpkg/info/libc6:amd64.md5sums", "", "good|libc6:amd64|debian-packages"},
        {Md5sum, "/srv/lists/SHA.md5", "", "unknown||SHA.md5"},
        {Md5sum, "", "", "unknown||standard input"},
        {Nsrl, "NSRLFile.txt", "", "unknown||NSRLFile.txt"},
        {Hdb, "/var/lib/clamav/main.hdb", "", "bad||main.hdb"},
        {Bazaar, "full.csv", bazaar_head, "bad||MalwareBazaar"},
        {VirusShare, "list.md5", virusshare_head, "bad||VirusShare_00042"},
        {VirusShare, "list.md5", "# no name\n", "bad||list.md5"},
    };
    for (const auto& [format, file, head, expected] : defaults) {
        const ListDefaults got = list_defaults(format, file, head);
        EXPECT_EQ(std::string(verdict_name(got.verdict)) + "|" + got.label + "|" + got.source, expected)
            << format_name(format) << " " << file;
    }
    for (const ListFormat format : {Md5sum, Debian, Nsrl, Hdb, Rds, Bazaar, VirusShare})
        EXPECT_EQ(format_from_name(format_name(format)), format);
}

TEST(LineReader, SplitsLinesAndSkipsOverlongOnesWhole)
{
    const std::string overlong(LineReader::max_line + 1, 'x');
    const std::string text = "one\n\n" + overlong + "\nthree\r\nlast";
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    ASSERT_NE(file, nullptr);
    FileSource source(file);
    LineReader reader(source);
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
