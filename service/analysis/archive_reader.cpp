#include "service/analysis/archive_reader.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <archive.h>
#include <archive_entry.h>

namespace {

// Unpacked bytes are taken in pieces of this size, so that a member that
// lies about its size costs at most one piece more than the bounds allow.
constexpr std::size_t piece = 64 * 1024;
// Below this a member is never called a bomb: small files compress well.
constexpr std::uint64_t bomb_floor = std::uint64_t{1} << 20;
// What the listing itself may hold, read or not: past the file bound the
// names still come, and a tiny packed tar can name millions of members.
constexpr std::size_t max_listed = 100'000;
constexpr std::size_t max_name_bytes = 1024;
constexpr std::size_t max_listed_name_bytes = std::size_t{16} << 20;

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

void append_replacement(std::string& out)
{
    out += "\xEF\xBF\xBD";  // U+FFFD
}

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8_sequence(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;  // overlong
        if (lead == 0xED)
            high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;  // overlong
        if (lead == 0xF4)
            high = 0x8F;  // past U+10FFFF
    } else
        return 0;
    if (text.size() < length)
        return 0;
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

// The member's path as something a report can show and nothing can follow
// out of the archive: '/' as the only separator, no root, no drive, no "."
// or ".." steps, no control characters, valid UTF-8, a bounded length.
std::string safe_name(std::string_view raw, std::string_view fallback)
{
    std::string text;
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t length = utf8_sequence(raw.substr(i));
        if (length == 0) {
            append_replacement(text);
            ++i;
            continue;
        }
        const char c = raw[i];
        if (c == '\\')
            text += '/';
        else if (length == 1 && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F))
            text += '?';
        else
            text.append(raw.substr(i, length));
        i += length;
    }

    std::string name;
    std::string_view rest = text;
    bool first = true;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view step = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        const bool drive = first && step.size() == 2 && step[1] == ':';
        first = false;
        if (step.empty() || step == "." || step == ".." || drive)
            continue;
        if (!name.empty())
            name += '/';
        name.append(step);
    }
    if (name.size() > max_name_bytes) {
        std::size_t cut = max_name_bytes;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return name.empty() ? std::string(fallback) : name;
}

// The name a gzip stream records of the file it packed, if any.
std::string gzip_stream_name(std::span<const unsigned char> bytes)
{
    constexpr unsigned char fextra = 0x04, fname = 0x08;
    if (bytes.size() < 10 || bytes[0] != 0x1F || bytes[1] != 0x8B || bytes[2] != 8)
        return {};
    const unsigned char flags = bytes[3];
    std::size_t at = 10;
    if (flags & fextra) {
        if (bytes.size() < at + 2)
            return {};
        at += 2 + (bytes[at] | std::size_t{bytes[at + 1]} << 8);
    }
    if (!(flags & fname) || at >= bytes.size())
        return {};
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(at);
    const auto end = std::find(begin, bytes.end(), 0);
    if (end == bytes.end())
        return {};
    std::string name(begin, end);
    // Only the last step: the stream names a file, not where it stood.
    const std::size_t slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string ratio_text(double ratio)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", ratio);
    return text;
}

std::string error_text(archive* reader, std::string_view otherwise)
{
    const char* text = archive_error_string(reader);
    return text && *text ? text : std::string(otherwise);
}

void open_reader(archive* reader, const ExtractOptions& options, bool stream_only)
{
    // Only the formats uploads come in: every other reader libarchive has
    // stays out of reach of hostile bytes.
    archive_read_support_filter_gzip(reader);
    archive_read_support_filter_bzip2(reader);
    archive_read_support_filter_xz(reader);
    archive_read_support_format_raw(reader);
    for (const std::string& password : options.passwords)
        archive_read_add_passphrase(reader, password.c_str());
    if (stream_only)
        return;
    archive_read_support_format_zip(reader);
    archive_read_support_format_7zip(reader);
    archive_read_support_format_rar(reader);
    archive_read_support_format_rar5(reader);
    archive_read_support_format_tar(reader);
    archive_read_support_format_cab(reader);
    archive_read_support_format_iso9660(reader);
}

class Reader {
public:
    Reader(std::span<const unsigned char> bytes, const ExtractOptions& options, ExtractBudget& budget)
        : bytes_(bytes), options_(options), budget_(budget), archive_(archive_read_new(), archive_read_free)
    {
    }

    ArchiveRead run();

private:
    bool list_one(archive_entry* entry, ArchiveRead& out);
    void read_member(archive_entry* entry, ArchiveMember& member, bool& fatal);
    bool drain(ArchiveRead& out);
    bool skips_cheaply() const;
    std::uint64_t bomb_limit() const;

    std::span<const unsigned char> bytes_;
    const ExtractOptions&          options_;
    ExtractBudget&                 budget_;
    ArchivePtr                     archive_;
    std::size_t                    listed_name_bytes_ = 0;
    std::uint64_t                  unpacked_ = 0;  // by this call, kept or not
    std::vector<unsigned char>     piece_ = std::vector<unsigned char>(piece);
    bool                           stream_only_ = false;
};

// The most a member may unpack before its ratio to the whole archive, the
// most it can have been packed into, is one only a bomb has. The whole
// archive and not the member's own packed size, which not every format
// records and a hostile one may misstate.
std::uint64_t Reader::bomb_limit() const
{
    const double limit = options_.max_ratio * static_cast<double>(bytes_.size());
    if (!(limit < 1.8e19))  // also NaN
        return UINT64_MAX;
    return std::max(bomb_floor, static_cast<std::uint64_t>(limit));
}

void Reader::read_member(archive_entry* entry, ArchiveMember& member, bool& fatal)
{
    archive* reader = archive_.get();
    // A claimed size is only a hint, never more than the bounds allow.
    const std::uint64_t limit = std::min(budget_.bytes_left, bomb_limit());
    if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0)
        member.data.reserve(static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(archive_entry_size(entry)), limit)));

    std::uint64_t unpacked = 0;
    for (;;) {
        const la_ssize_t got = archive_read_data(reader, piece_.data(), piece_.size());
        if (got == 0)
            break;
        if (got < 0) {
            fatal = got == ARCHIVE_FATAL;
            member.skip = archive_entry_is_encrypted(entry) ? MemberSkip::Encrypted : MemberSkip::Damaged;
            member.detail = error_text(reader, "its bytes could not be read");
            break;
        }
        unpacked += static_cast<std::uint64_t>(got);
        unpacked_ += static_cast<std::uint64_t>(got);
        // Charged whether kept or not: work done on a member left unread is
        // still work, and must not be repeated member after member.
        if (unpacked > budget_.bytes_left) {
            member.skip = MemberSkip::ByteBound;
            member.detail = "the unpacked bytes of the whole upload reached their bound";
            break;
        }
        if (unpacked > bomb_limit()) {
            member.skip = MemberSkip::Bomb;
            member.detail = "it unpacks to more than " + ratio_text(options_.max_ratio) +
                            " times the archive's size";
            break;
        }
        member.data.insert(member.data.end(), piece_.begin(), piece_.begin() + got);
    }
    budget_.bytes_left -= std::min(unpacked, budget_.bytes_left);
    if (member.skip != MemberSkip::None)
        std::vector<unsigned char>().swap(member.data);
}

// Whether passing over a member's bytes costs nothing: members stored one
// after another in the memory given, or a zip's, found by seeking. Anywhere
// else (a packed stream, a 7z, rar or cab block) libarchive would unpack
// what it passes over, however much there is.
bool Reader::skips_cheaply() const
{
    if (archive_filter_code(archive_.get(), 0) != ARCHIVE_FILTER_NONE)
        return false;
    const int format = archive_format(archive_.get()) & ARCHIVE_FORMAT_BASE_MASK;
    return format == ARCHIVE_FORMAT_ZIP || format == ARCHIVE_FORMAT_TAR ||
           format == ARCHIVE_FORMAT_ISO9660;
}

// Passes over a member left unread where that means unpacking it, within the
// same ratio that makes a bomb of one member. False when the listing must stop.
bool Reader::drain(ArchiveRead& out)
{
    for (;;) {
        const la_ssize_t got = archive_read_data(archive_.get(), piece_.data(), piece_.size());
        if (got == 0)
            return true;
        if (got < 0)
            return got != ARCHIVE_FATAL;  // that member's own fault, listed already
        unpacked_ += static_cast<std::uint64_t>(got);
        if (unpacked_ > bomb_limit()) {
            out.outcome = ArchiveOutcome::Damaged;
            out.detail = "listing stopped: the archive unpacks to more than " +
                         ratio_text(options_.max_ratio) + " times its size";
            return false;
        }
    }
}

// Lists one member, and reads it if it is a file within the bounds. False
// once nothing more can be read from the archive.
bool Reader::list_one(archive_entry* entry, ArchiveRead& out)
{
    const bool raw = archive_format(archive_.get()) == ARCHIVE_FORMAT_RAW;
    const char* path = archive_entry_pathname_utf8(entry);
    if (!path)
        path = archive_entry_pathname(entry);
    ArchiveMember& member = out.members.emplace_back();
    // A packed stream's name, where it records one, is as hostile as any.
    member.name = raw ? safe_name(gzip_stream_name(bytes_), "data") : safe_name(path ? path : "", "unnamed");
    listed_name_bytes_ += member.name.size();

    if (archive_entry_filetype(entry) != AE_IFREG || archive_entry_hardlink(entry) != nullptr) {
        member.skip = MemberSkip::NotAFile;
        member.detail = archive_entry_filetype(entry) == AE_IFDIR ? "a folder" : "a link or a device";
        return true;
    }
    if (budget_.files_left == 0) {
        member.skip = MemberSkip::FileBound;
        member.detail = "the members of the whole upload reached their bound";
        return skips_cheaply() || drain(out);
    }
    --budget_.files_left;
    bool fatal = false;
    read_member(entry, member, fatal);
    if (fatal) {
        out.outcome = ArchiveOutcome::Damaged;
        out.detail = "reading " + member.name + ": " + member.detail;
        return false;
    }
    // The bytes ran out elsewhere in the tree: no file of it was read.
    if (member.skip == MemberSkip::ByteBound)
        ++budget_.files_left;
    const bool cut_short = member.skip == MemberSkip::ByteBound || member.skip == MemberSkip::Bomb;
    if (cut_short && archive_format(archive_.get()) == ARCHIVE_FORMAT_RAW)
        return false;  // a packed stream's one member: nothing follows it
    if (cut_short && !skips_cheaply()) {
        out.outcome = ArchiveOutcome::Damaged;
        out.detail = "listing stopped at " + member.name +
                     ": what follows cannot be reached without unpacking the rest of it";
        return false;
    }
    return true;
}

ArchiveRead Reader::run()
{
    ArchiveRead out;
    archive* reader = archive_.get();
    if (!reader || bytes_.empty())
        return out;
    open_reader(reader, options_, stream_only_);
    if (archive_read_open_memory(reader, bytes_.data(), bytes_.size()) != ARCHIVE_OK) {
        out.detail = error_text(reader, "no archive format recognised");
        return out;
    }

    out.outcome = ArchiveOutcome::Read;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (out.members.empty()) {
            // libarchive's raw reader takes any bytes at all; only behind a
            // packer are they one.
            if (archive_format(reader) == ARCHIVE_FORMAT_RAW &&
                archive_filter_code(reader, 0) == ARCHIVE_FILTER_NONE) {
                out = ArchiveRead{};
                out.detail = "no archive format recognised";
                return out;
            }
            if (const char* name = archive_format_name(reader))
                out.format = name;
        }
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {  // a retry too: no entry came
            out.outcome = ArchiveOutcome::Damaged;
            out.detail = error_text(reader, "a member's header could not be read");
            if (archive_read_has_encrypted_entries(reader) > 0)
                out.detail += " (its listing is encrypted, and no password given opened it)";
            break;
        }
        if (out.members.size() >= max_listed || listed_name_bytes_ >= max_listed_name_bytes) {
            out.outcome = ArchiveOutcome::Damaged;
            out.detail = "listing stopped after " + std::to_string(out.members.size()) +
                         " members: the rest are neither listed nor read";
            break;
        }
        if (!list_one(entry, out))
            break;
    }
    if (out.format.empty() && archive_format_name(reader))
        out.format = archive_format_name(reader);
    // libarchive takes a packed stream that starts with a zero block for an
    // empty tar; whatever follows the block would go unanalysed.
    const bool tar = (archive_format(reader) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_TAR;
    if (out.outcome == ArchiveOutcome::Read && out.members.empty() && tar &&
        archive_filter_code(reader, 0) != ARCHIVE_FILTER_NONE && !stream_only_) {
        stream_only_ = true;
        archive_.reset(archive_read_new());
        return run();
    }
    return out;
}

}  // namespace

std::string_view member_skip_name(MemberSkip skip)
{
    switch (skip) {
    case MemberSkip::None: return "read";
    case MemberSkip::Encrypted: return "encrypted";
    case MemberSkip::FileBound: return "file bound";
    case MemberSkip::ByteBound: return "byte bound";
    case MemberSkip::Bomb: return "bomb";
    case MemberSkip::Damaged: return "damaged";
    case MemberSkip::NotAFile: return "not a file";
    }
    return "unknown";
}

ArchiveRead read_archive(std::span<const unsigned char> bytes, const ExtractOptions& options,
                         ExtractBudget& budget)
{
    try {
        return Reader(bytes, options, budget).run();
    } catch (...) {
        // Only allocation can throw here; the caller gets an answer, not an
        // exception through its pool.
        ArchiveRead out;
        out.outcome = ArchiveOutcome::Damaged;
        out.detail = "out of memory while reading the archive";
        return out;
    }
}
