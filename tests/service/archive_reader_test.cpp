// The archive reader on archives made at test time by the tools analysts'
// uploads come from (zip, 7z, bsdtar, gcab, gzip, bzip2, xz), and on bytes
// crafted where no tool writes what a hostile archive holds. A missing tool
// skips its case, and fails it under CI.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "service/analysis/archive_reader.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

bool under_ci()
{
    const char* ci = std::getenv("CI");
    return ci && std::string_view(ci) == "true";
}

bool have(const std::string& tool)
{
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

#define NEED_TOOL(tool)                                                          \
    do {                                                                         \
        if (!have(tool)) {                                                       \
            if (under_ci())                                                      \
                FAIL() << (tool) << " is missing (scripts/install-test-deps.sh)"; \
            GTEST_SKIP() << (tool) << " is missing; its archives are not tested"; \
        }                                                                        \
    } while (0)

// For a row of a table: the other rows still run.
bool missing(const std::string& tool)
{
    if (have(tool))
        return false;
    if (under_ci())
        ADD_FAILURE() << tool << " is missing (scripts/install-test-deps.sh)";
    else
        std::printf("%s is missing; its rows are not tested\n", tool.c_str());
    return true;
}

Bytes bytes_of(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

std::string text_of(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

Bytes read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A folder of its own per test, with two small files in it, removed after.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/archive-reader-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ / "a.txt") << "alpha\n";
        fs::create_directory(dir_ / "dir");
        std::ofstream(dir_ / "dir" / "b.txt") << "bravo\n";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void run(const std::string& command)
    {
        const std::string line = "cd '" + dir_.string() + "' && (" + command + ") >/dev/null 2>&1";
        ASSERT_EQ(std::system(line.c_str()), 0) << command;
    }
    Bytes made(const std::string& command, const std::string& output)
    {
        run(command);
        return read_file(dir_ / output);
    }

    fs::path dir_;
};

ArchiveRead read(const Bytes& bytes, std::vector<std::string> passwords = {}, double ratio = 1000.0)
{
    ExtractBudget budget;
    return read_archive(bytes, ExtractOptions{std::move(passwords), ratio}, budget);
}

// name -> "text" for a member read, "(skip)" for one skipped.
std::map<std::string, std::string> listing(const ArchiveRead& read)
{
    std::map<std::string, std::string> out;
    for (const ArchiveMember& member : read.members) {
        std::string& shown = out[member.name];
        if (member.skip == MemberSkip::None) {
            shown = text_of(member.data);
        } else {
            shown.append("(").append(member_skip_name(member.skip)).append(")");
        }
    }
    return out;
}

using Listing = std::map<std::string, std::string>;

// -- crafted bytes ----------------------------------------------------------

std::uint32_t crc32(const Bytes& bytes, std::size_t from = 0, std::size_t to = SIZE_MAX)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < std::min(to, bytes.size()); ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put_le(Bytes& out, std::uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
        out.push_back(static_cast<unsigned char>(i < 8 ? value >> (8 * i) : 0));  // wider: zeros
}

// One ustar member per (name, type, contents): names exactly as given.
Bytes tar_of(const std::vector<std::tuple<std::string, char, std::string>>& members)
{
    Bytes out;
    for (const auto& [name, type, contents] : members) {
        std::vector<char> header(512, '\0');
        std::memcpy(header.data(), name.data(), std::min<std::size_t>(name.size(), 100));
        std::snprintf(header.data() + 100, 8, "%07o", 0644);
        std::snprintf(header.data() + 108, 8, "%07o", 0);
        std::snprintf(header.data() + 116, 8, "%07o", 0);
        std::snprintf(header.data() + 124, 12, "%011o", static_cast<unsigned>(contents.size()));
        std::snprintf(header.data() + 136, 12, "%011o", 0);
        header[156] = type;
        if (type == '1' || type == '2')
            std::memcpy(header.data() + 157, "/etc/passwd", 11);
        std::memcpy(header.data() + 257, "ustar\0" "00", 8);
        std::memset(header.data() + 148, ' ', 8);
        unsigned sum = 0;
        for (char c : header)
            sum += static_cast<unsigned char>(c);
        std::snprintf(header.data() + 148, 8, "%06o", sum);
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), contents.begin(), contents.end());
        out.resize((out.size() + 511) / 512 * 512, 0);
    }
    out.resize(out.size() + 1024, 0);
    return out;
}

// A RAR (version 4) archive of stored members: no Debian tool writes one.
Bytes rar_of(const std::vector<std::pair<std::string, std::string>>& members)
{
    Bytes out = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
    const auto block = [&](Bytes head, const std::string& data) {
        const std::uint32_t crc = crc32(head);
        put_le(out, crc & 0xFFFF, 2);
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), data.begin(), data.end());
    };
    Bytes archive_head = {0x73};
    put_le(archive_head, 0, 2);   // flags
    put_le(archive_head, 13, 2);  // header size
    put_le(archive_head, 0, 6);   // reserved
    block(archive_head, "");
    for (const auto& [name, data] : members) {
        Bytes head = {0x74};
        put_le(head, 0x8000, 2);  // a block with data after it
        put_le(head, 32 + name.size(), 2);
        put_le(head, data.size(), 4);  // packed
        put_le(head, data.size(), 4);  // unpacked
        head.push_back(0);             // made on MS-DOS
        put_le(head, crc32(bytes_of(data)), 4);
        put_le(head, 0x21 << 25 | 1 << 21, 4);  // 1980-01-01
        head.push_back(20);    // version needed
        head.push_back(0x30);  // stored
        put_le(head, name.size(), 2);
        put_le(head, 0x20, 4);  // an ordinary file
        head.insert(head.end(), name.begin(), name.end());
        block(head, data);
    }
    Bytes end = {0x7B};
    put_le(end, 0x4000, 2);
    put_le(end, 7, 2);
    block(end, "");
    return out;
}

// -- formats ----------------------------------------------------------------

struct FormatCase {
    const char* label;
    const char* tool;
    const char* command;
    const char* output;
    Listing     members;
};

const Listing both = {{"a.txt", "alpha\n"}, {"dir/b.txt", "bravo\n"}};
const Listing both_and_folder = {{"a.txt", "alpha\n"}, {"dir", "(not a file)"}, {"dir/b.txt", "bravo\n"}};

const FormatCase format_cases[] = {
    {"zip", "zip", "zip -q -r out a.txt dir", "out.zip", both_and_folder},
    {"7z", "7z", "7z a -bd out.7z a.txt dir/b.txt", "out.7z", both},
    {"tar", "bsdtar", "bsdtar -cf out.tar a.txt dir", "out.tar", both_and_folder},
    {"tar.gz", "bsdtar", "bsdtar -czf out.tgz a.txt dir/b.txt", "out.tgz", both},
    {"tar.xz", "bsdtar", "bsdtar -cJf out.txz a.txt dir/b.txt", "out.txz", both},
    {"cab", "gcab", "gcab -c -z out.cab a.txt dir/b.txt", "out.cab", both},
    {"iso", "bsdtar", "bsdtar --format iso9660 -cf out.iso a.txt dir", "out.iso",
     {{"unnamed", "(not a file)"}, {"a.txt", "alpha\n"}, {"dir", "(not a file)"}, {"dir/b.txt", "bravo\n"}}},
    // A second name for a file's bytes is a link: they are read once.
    {"tar, a hard link", "bsdtar", "ln a.txt h.txt && bsdtar -cf out.tar a.txt h.txt && rm h.txt", "out.tar",
     {{"a.txt", "alpha\n"}, {"h.txt", "(not a file)"}}},
    {"iso, a hard link", "bsdtar", "ln a.txt h.txt && bsdtar --format iso9660 -cf out.iso a.txt h.txt && rm h.txt",
     "out.iso", {{"unnamed", "(not a file)"}, {"a.txt", "alpha\n"}, {"h.txt", "(not a file)"}}},
    // A single stream is one member, named as the stream records it.
    {"gzip", "gzip", "gzip -k a.txt", "a.txt.gz", {{"a.txt", "alpha\n"}}},
    {"gzip, no name", "gzip", "gzip -n -c a.txt >out.gz", "out.gz", {{"data", "alpha\n"}}},
    {"gzip, a name not UTF-8", "gzip", "cp a.txt \"$(printf 'n\\377')\" && gzip -c n? >out.gz", "out.gz",
     {{"n\xEF\xBF\xBD", "alpha\n"}}},
    {"gzip, a zero block first", "gzip", "head -c 1024 /dev/zero | cat - a.txt | gzip -n >out.gz", "out.gz",
     {{"data", std::string(1024, '\0') + "alpha\n"}}},
    {"bzip2", "bzip2", "bzip2 -k a.txt", "a.txt.bz2", {{"data", "alpha\n"}}},
    {"xz", "xz", "xz -k a.txt", "a.txt.xz", {{"data", "alpha\n"}}},
};

TEST_F(Scratch, EachFormatListsAndReadsItsMembers)
{
    for (const FormatCase& c : format_cases) {
        SCOPED_TRACE(c.label);
        if (missing(c.tool))
            continue;
        const ArchiveRead got = read(made(c.command, c.output));
        EXPECT_EQ(got.outcome, ArchiveOutcome::Read) << got.detail;
        EXPECT_FALSE(got.format.empty());
        EXPECT_EQ(listing(got), c.members);
    }
}

TEST(ArchiveReader, ReadsRarAndSaysWhatIsNoArchive)
{
    const ArchiveRead rar = read(rar_of({{"r.txt", "romeo\n"}, {"s\\t.txt", "sierra\n"}}));
    EXPECT_EQ(rar.outcome, ArchiveOutcome::Read) << rar.detail;
    EXPECT_EQ(listing(rar), (Listing{{"r.txt", "romeo\n"}, {"s/t.txt", "sierra\n"}}));

    for (const char* text : {"", "plain text, not packed\n", "PK"}) {
        const ArchiveRead got = read(bytes_of(text));
        EXPECT_EQ(got.outcome, ArchiveOutcome::NotAnArchive) << text;
        EXPECT_TRUE(got.members.empty());
    }
}

// -- passwords --------------------------------------------------------------

struct PasswordCase {
    const char*              label;
    const char*              tool;
    const char*              command;  // makes out.zip or out.7z of a.txt
    const char*              output;
    std::vector<std::string> given;
    MemberSkip               skip;
};

const PasswordCase password_cases[] = {
    {"infected", "zip", "zip -q -P infected out a.txt", "out.zip", {"infected"}, MemberSkip::None},
    {"the uploader's, then infected", "zip", "zip -q -P s3cret out a.txt", "out.zip",
     {"s3cret", "infected"}, MemberSkip::None},
    {"the uploader's after a wrong one", "zip", "zip -q -P s3cret out a.txt", "out.zip",
     {"wrong", "s3cret"}, MemberSkip::None},
    {"wrong", "zip", "zip -q -P s3cret out a.txt", "out.zip", {"infected"}, MemberSkip::Encrypted},
    {"none given", "zip", "zip -q -P s3cret out a.txt", "out.zip", {}, MemberSkip::Encrypted},
    {"AES", "7z", "7z a -bd -tzip -mem=AES256 -pinfected out.zip a.txt", "out.zip", {"infected"},
     MemberSkip::None},
    {"AES, wrong", "7z", "7z a -bd -tzip -mem=AES256 -ps3cret out.zip a.txt", "out.zip", {"infected"},
     MemberSkip::Encrypted},
    // libarchive has no 7z decryption: listed, never read, always said so.
    {"7z", "7z", "7z a -bd -pinfected out.7z a.txt", "out.7z", {"infected"}, MemberSkip::Encrypted},
};

TEST_F(Scratch, PasswordsOpenEncryptedMembersOrTheyAreListedAsEncrypted)
{
    for (const PasswordCase& c : password_cases) {
        SCOPED_TRACE(c.label);
        if (missing(c.tool))
            continue;
        fs::remove(dir_ / c.output);
        const ArchiveRead got = read(made(c.command, c.output), c.given);
        ASSERT_EQ(got.members.size(), 1u) << got.detail;
        const ArchiveMember& member = got.members[0];
        EXPECT_EQ(member.name, "a.txt");
        EXPECT_EQ(member.skip, c.skip) << member.detail;
        EXPECT_EQ(text_of(member.data), c.skip == MemberSkip::None ? "alpha\n" : "");
        if (c.skip != MemberSkip::None) {
            EXPECT_FALSE(member.detail.empty());
        }
    }
}

TEST_F(Scratch, AnEncryptedListingIsDamagedNotEmpty)
{
    NEED_TOOL("7z");
    const ArchiveRead got = read(made("7z a -bd -pinfected -mhe=on out.7z a.txt", "out.7z"), {"infected"});
    EXPECT_EQ(got.outcome, ArchiveOutcome::Damaged);
    EXPECT_FALSE(got.detail.empty());
}

// -- names ------------------------------------------------------------------

TEST(ArchiveReader, MemberNamesAreMadeSafe)
{
    const struct {
        std::string raw;
        char        type;
        std::string safe;
        std::string shown;
    } cases[] = {
        {"/etc/passwd", '0', "etc/passwd", "x"},
        {"../../outside", '0', "outside", "x"},
        {"a/../../b/./c", '0', "a/b/c", "x"},
        {"..\\..\\win.ini", '0', "win.ini", "x"},
        {"C:\\Windows\\evil.dll", '0', "Windows/evil.dll", "x"},
        {"bad\xff\xc0name", '0', "bad\xEF\xBF\xBD\xEF\xBF\xBDname", "x"},
        {"cut\xe2\x82", '0', "cut\xEF\xBF\xBD\xEF\xBF\xBD", "x"},
        {"ok\xc3\xa9", '0', "ok\xc3\xa9", "x"},
        {"tab\there\x7f", '0', "tab?here?", "x"},
        {"../..", '0', "unnamed", "x"},
        {"link", '2', "link", "(not a file)"},
        {"hard", '1', "hard", "(not a file)"},
        {"folder/", '5', "folder", "(not a file)"},
        {"device", '3', "device", "(not a file)"},
        {"fifo", '6', "fifo", "(not a file)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        const ArchiveRead got = read(tar_of({{c.raw, c.type, c.type == '0' ? "x" : ""}}));
        ASSERT_EQ(got.members.size(), 1u) << got.detail;
        EXPECT_EQ(got.members[0].name, c.safe);
        EXPECT_EQ(listing(got).begin()->second, c.shown);
    }
    const ArchiveRead longest = read(tar_of({{std::string(80, 'd') + "/" + std::string(19, 'e'), '0', ""}}));
    ASSERT_EQ(longest.members.size(), 1u);
    EXPECT_EQ(longest.members[0].name.size(), 100u);
}

TEST_F(Scratch, HostileNamesFromRealToolsAreMadeSafe)
{
    NEED_TOOL("bsdtar");
    run("ln -s /etc/passwd link");
    const Listing expected = {{"etc/x", "alpha\n"}, {"y", "bravo\n"}, {"link", "(not a file)"}};
    for (const char* format : {"zip", "ustar", "7zip"}) {
        SCOPED_TRACE(format);
        fs::remove(dir_ / "out");
        const ArchiveRead got = read(made(std::string("bsdtar -P --format ") + format +
                                              " -s ',^a.txt$,/etc/x,' -s ',^dir/b.txt$,../../y,'"
                                              " -cf out a.txt dir/b.txt link",
                                          "out"));
        EXPECT_EQ(got.outcome, ArchiveOutcome::Read) << got.detail;
        EXPECT_EQ(listing(got), expected);
    }
}

// -- bounds -----------------------------------------------------------------

// A zip of `count` empty members named f0, f1, ...: past 65535 members the
// count only fits the zip64 end records, which is what the tools write too.
Bytes zip_of_empty(std::size_t count)
{
    Bytes out, central;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = 'f' + std::to_string(i);
        const std::size_t offset = out.size();
        put_le(out, 0x04034b50, 4);
        put_le(out, 10, 2);                 // version needed
        put_le(out, 0, 4);                  // flags, stored
        put_le(out, 0x00210000, 4);         // 1980-01-01
        put_le(out, 0, 12);                 // CRC, sizes
        put_le(out, name.size(), 2);
        put_le(out, 0, 2);
        out.insert(out.end(), name.begin(), name.end());
        put_le(central, 0x02014b50, 4);
        put_le(central, 10, 2);             // made by
        put_le(central, 10, 2);             // needed
        put_le(central, 0, 4);
        put_le(central, 0x00210000, 4);
        put_le(central, 0, 12);
        put_le(central, name.size(), 2);
        put_le(central, 0, 8);              // extra, comment, disk, internal
        put_le(central, 0, 4);              // external attributes
        put_le(central, offset, 4);
        central.insert(central.end(), name.begin(), name.end());
    }
    const std::size_t central_at = out.size();
    out.insert(out.end(), central.begin(), central.end());
    const std::size_t end64_at = out.size();
    put_le(out, 0x06064b50, 4);
    put_le(out, 44, 8);
    put_le(out, 45, 2);
    put_le(out, 45, 2);
    put_le(out, 0, 8);  // disks
    put_le(out, count, 8);
    put_le(out, count, 8);
    put_le(out, central.size(), 8);
    put_le(out, central_at, 8);
    put_le(out, 0x07064b50, 4);
    put_le(out, 0, 4);
    put_le(out, end64_at, 8);
    put_le(out, 1, 4);
    put_le(out, 0x06054b50, 4);
    put_le(out, 0, 4);
    put_le(out, 0xFFFF, 2);
    put_le(out, 0xFFFF, 2);
    put_le(out, 0xFFFFFFFF, 4);
    put_le(out, 0xFFFFFFFF, 4);
    put_le(out, 0, 2);
    return out;
}

TEST(ArchiveReader, ManyEmptyMembersAreListedPastTheFileBound)
{
    std::vector<std::tuple<std::string, char, std::string>> members;
    for (int i = 0; i < 100'000; ++i)
        members.emplace_back('f' + std::to_string(i), '0', "");
    const std::pair<const char*, Bytes> archives[] = {
        {"zip", zip_of_empty(100'000)},
        {"tar", tar_of(members)},
    };
    for (const auto& [label, archive] : archives) {
        SCOPED_TRACE(label);
        ExtractBudget budget{1000, 1 << 20};
        const ArchiveRead got = read_archive(archive, {}, budget);
        EXPECT_EQ(got.outcome, ArchiveOutcome::Read) << got.detail;
        ASSERT_EQ(got.members.size(), 100'000u);
        EXPECT_EQ(budget.files_left, 0u);
        EXPECT_EQ(got.members[999].skip, MemberSkip::None);
        EXPECT_EQ(got.members[1000].skip, MemberSkip::FileBound);
        EXPECT_EQ(got.members[99'999].skip, MemberSkip::FileBound);
        EXPECT_EQ(got.members[99'999].name, "f99999");
    }

    // Past 100,000 the listing itself stops, and says so.
    members.emplace_back("one too many", '0', "");
    ExtractBudget budget;
    const ArchiveRead got = read_archive(tar_of(members), {}, budget);
    EXPECT_EQ(got.outcome, ArchiveOutcome::Damaged);
    EXPECT_EQ(got.members.size(), 100'000u);
    EXPECT_NE(got.detail.find("100000"), std::string::npos) << got.detail;
}

struct Tree {
    std::map<MemberSkip, int> skips;
    std::uint64_t             kept = 0;
    int                       deepest = 0;
};

// As the pipeline goes: every member read goes back in, one level deeper,
// on the one budget of the whole upload.
void walk(const Bytes& bytes, const ExtractOptions& options, ExtractBudget& budget, int depth, Tree& tree)
{
    const ArchiveRead got = read_archive(bytes, options, budget);
    if (got.outcome == ArchiveOutcome::NotAnArchive)
        return;
    tree.deepest = std::max(tree.deepest, depth);
    for (const ArchiveMember& member : got.members) {
        ++tree.skips[member.skip];
        tree.kept += member.data.size();
        if (depth < 4 && member.skip == MemberSkip::None)
            walk(member.data, options, budget, depth + 1, tree);
    }
}

TEST_F(Scratch, ANestedBombStopsAtTheBudgetOfTheWholeTree)
{
    NEED_TOOL("zip");
    // Three levels of sixteen: 4096 members of 1 MiB each, 4 GiB in all.
    run("head -c 1048576 /dev/zero >z && zip -q -9 l0 z && "
        "for n in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do cp l0.zip $n.zip; done && "
        "zip -q l1 ?.zip && for n in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do cp l1.zip $n.zip; done && "
        "zip -q l2 ?.zip && for n in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do cp l2.zip $n.zip; done && "
        "zip -q l3 ?.zip");
    const Bytes bomb = read_file(dir_ / "l3.zip");

    const struct {
        ExtractBudget start;
        MemberSkip    stop;
    } cases[] = {
        {{1000, std::uint64_t{64} << 20}, MemberSkip::ByteBound},
        {{100, std::uint64_t{1} << 30}, MemberSkip::FileBound},
    };
    for (const auto& c : cases) {
        ExtractBudget budget = c.start;
        Tree tree;
        walk(bomb, ExtractOptions{{}, 1e9}, budget, 1, tree);
        EXPECT_EQ(tree.deepest, 4);
        EXPECT_GT(tree.skips[c.stop], 0);
        int read = 0;
        for (const auto& [skip, count] : tree.skips)
            read += skip == MemberSkip::None ? count : 0;
        EXPECT_LE(static_cast<std::size_t>(read), c.start.files_left);
        EXPECT_LE(tree.kept, c.start.bytes_left);
        EXPECT_EQ(c.start.files_left - budget.files_left, static_cast<std::size_t>(read));
    }
}

TEST_F(Scratch, AMemberOfABombRatioIsLeftUnread)
{
    NEED_TOOL("bzip2");
    // Not zeros: a stream of zeros reads as an empty tar.
    run("yes | head -c 8388608 | bzip2 >zeros.bz2 && yes | head -c 524288 | gzip >small.gz");
    const Bytes zeros = read_file(dir_ / "zeros.bz2");
    const Bytes small = read_file(dir_ / "small.gz");
    const struct {
        const Bytes& archive;
        double       ratio;
        MemberSkip   skip;
        std::size_t  size;
    } cases[] = {
        {zeros, 1000.0, MemberSkip::Bomb, 0},
        {zeros, 1e9, MemberSkip::None, std::size_t{8} << 20},
        {small, 2.0, MemberSkip::None, std::size_t{512} << 10},  // under a megabyte, never a bomb
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ratio);
        const ArchiveRead got = read(c.archive, {}, c.ratio);
        EXPECT_EQ(got.outcome, ArchiveOutcome::Read) << got.detail;
        ASSERT_EQ(got.members.size(), 1u);
        EXPECT_EQ(got.members[0].skip, c.skip) << got.members[0].detail;
        EXPECT_EQ(got.members[0].data.size(), c.size);
    }
}

// Passing over a member is free in a zip, but in a packed stream it means
// unpacking it: there the listing stops rather than unpack a bomb to its end.
TEST_F(Scratch, PassingOverABombStopsWhereItWouldUnpackIt)
{
    NEED_TOOL("bsdtar");
    run("yes | head -c 8388608 >big && bsdtar --format zip -cf cheap.zip a.txt big dir/b.txt && "
        "bsdtar -czf costly.tgz a.txt big dir/b.txt");
    const Bytes cheap = read_file(dir_ / "cheap.zip"), costly = read_file(dir_ / "costly.tgz");
    const struct {
        const char*    label;
        const Bytes&   archive;
        std::size_t    files;
        ArchiveOutcome outcome;
        Listing        members;
    } cases[] = {
        {"zip", cheap, 10, ArchiveOutcome::Read,
         {{"a.txt", "alpha\n"}, {"big", "(bomb)"}, {"dir/b.txt", "bravo\n"}}},
        {"zip past the file bound", cheap, 1, ArchiveOutcome::Read,
         {{"a.txt", "alpha\n"}, {"big", "(file bound)"}, {"dir/b.txt", "(file bound)"}}},
        {"tar.gz", costly, 10, ArchiveOutcome::Damaged, {{"a.txt", "alpha\n"}, {"big", "(bomb)"}}},
        {"tar.gz past the file bound", costly, 1, ArchiveOutcome::Damaged,
         {{"a.txt", "alpha\n"}, {"big", "(file bound)"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ExtractBudget budget{c.files, std::uint64_t{64} << 20};
        const ArchiveRead got = read_archive(c.archive, ExtractOptions{{}, 10.0}, budget);
        EXPECT_EQ(got.outcome, c.outcome) << got.detail;
        EXPECT_EQ(listing(got), c.members);
    }
}

struct ChildRead {
    MemberSkip    skip = MemberSkip::None;
    std::uint64_t kept = 0;
    std::uint64_t peak_growth = 0;  // bytes of resident memory
};

std::uint64_t status_kib(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::stoull(line.substr(std::strlen(field) + 1));
    return 0;
}

// Reads in a child whose address space only has room for the budget and a
// margin, and measures how far its resident memory rose while reading.
ChildRead read_in_child(const Bytes& archive, std::uint64_t budget_bytes, std::uint64_t margin)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::ofstream("/proc/self/clear_refs") << "5";
        const std::uint64_t before = status_kib("VmRSS:");
        if (!sanitized) {
            const rlim_t room = status_kib("VmSize:") * 1024 + budget_bytes + margin;
            const rlimit limit{room, room};
            setrlimit(RLIMIT_AS, &limit);
        }
        ExtractBudget budget{10, budget_bytes};
        const ArchiveRead got = read_archive(archive, ExtractOptions{{}, 1e12}, budget);
        ChildRead out;
        if (!got.members.empty()) {
            out.skip = got.members[0].skip;
            out.kept = got.members[0].data.size();
        }
        out.peak_growth = (status_kib("VmHWM:") - before) * 1024;
        const bool written = ::write(fds[1], &out, sizeof out) == sizeof out;
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    ChildRead out;
    const bool got = ::read(fds[0], &out, sizeof out) == sizeof out;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(got && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return out;
}

void set_le32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

// The bound: reading one archive raises resident memory by less than the
// bytes budget and 16 MiB more (libarchive's working state, the allocator's
// slack) where a member claims at least its real size, and by less than
// twice the budget and 16 MiB more where it claims none, as the bytes kept
// grow. Here 64 MiB unpacked on a budget of 16 MiB, in a child whose address
// space has room for only the budget and 48 MiB more.
TEST_F(Scratch, AMemberClaimingFourGibibytesStaysWithinTheBudget)
{
    NEED_TOOL("zip");
    run("head -c 67108864 /dev/zero >zeros && zip -q big zeros && yes | head -c 67108864 | gzip >big.gz");
    Bytes claims = read_file(dir_ / "big.zip");
    ASSERT_EQ(text_of(Bytes(claims.begin(), claims.begin() + 4)), "PK\3\4");
    set_le32(claims, 22, 0xFFFFFFF0u);  // the local header's unpacked size
    const std::string central = "PK\1\2";
    const auto at = std::search(claims.begin(), claims.end(), central.begin(), central.end());
    ASSERT_NE(at, claims.end());
    set_le32(claims, static_cast<std::size_t>(at - claims.begin()) + 24, 0xFFFFFFF0u);

    constexpr std::uint64_t budget = std::uint64_t{16} << 20, slack = std::uint64_t{16} << 20;
    const struct {
        const char*   label;
        Bytes         archive;
        std::uint64_t bound;
    } cases[] = {
        {"a zip member claiming 4 GiB", claims, budget + slack},
        {"a gzip stream, no size claimed", read_file(dir_ / "big.gz"), 2 * budget + slack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const ChildRead got = read_in_child(c.archive, budget, std::uint64_t{48} << 20);
        EXPECT_EQ(got.skip, MemberSkip::ByteBound);
        EXPECT_EQ(got.kept, 0u);
        EXPECT_LT(got.peak_growth, c.bound);
        std::printf("%s: peak resident growth %.1f MiB\n", c.label,
                    static_cast<double>(got.peak_growth) / (1 << 20));
    }
}

// -- damage -----------------------------------------------------------------

TEST_F(Scratch, EveryTruncationOfAZipIsDamagedOrWhole)
{
    NEED_TOOL("zip");
    run("seq 1 2000 >numbers && zip -q out a.txt numbers dir/b.txt");
    const Bytes whole = read_file(dir_ / "out.zip");
    const Listing full = listing(read(whole));
    ASSERT_EQ(full.size(), 3u);
    std::size_t damaged = 0;
    for (std::size_t size = 0; size < whole.size(); size += 7) {
        SCOPED_TRACE(size);
        const ArchiveRead got = read(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
        // Cut in its closing directory, a zip may still give every member
        // whole, each checked against its CRC; otherwise it is not read.
        if (got.outcome == ArchiveOutcome::Read) {
            EXPECT_EQ(listing(got), full);
        }
        damaged += got.outcome == ArchiveOutcome::Damaged;
        // What was read whole is what the archive holds.
        for (const ArchiveMember& member : got.members)
            if (member.skip == MemberSkip::None && full.count(member.name)) {
                EXPECT_EQ(text_of(member.data), full.at(member.name)) << member.name;
            }
    }
    EXPECT_GT(damaged, whole.size() / 7 / 2);
}

TEST(ArchiveReader, SkipNamesAreTheReportsWords)
{
    const std::pair<MemberSkip, const char*> cases[] = {
        {MemberSkip::None, "read"},           {MemberSkip::Encrypted, "encrypted"},
        {MemberSkip::FileBound, "file bound"}, {MemberSkip::ByteBound, "byte bound"},
        {MemberSkip::Bomb, "bomb"},           {MemberSkip::Damaged, "damaged"},
        {MemberSkip::NotAFile, "not a file"},
    };
    for (const auto& [skip, name] : cases)
        EXPECT_EQ(member_skip_name(skip), name);
}

}  // namespace
