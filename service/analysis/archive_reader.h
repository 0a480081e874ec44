// Taking an archive apart in memory: one level at a time, so that each member
// goes back into the same analysis as any upload, with its depth and its
// parent carried along by the caller. No member is ever written to disk.
//
// Formats: zip, 7z, rar, tar, cab, iso, and the single-stream packers gzip,
// bzip2 and xz (whose one member is the unpacked stream). Anything else is
// not an archive, and says so.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What one upload's whole tree may still unpack: shared by every level, so
// that a nest of archives cannot multiply the bounds.
struct ExtractBudget {
    std::size_t   files_left = 1000;                    // --extract-max-files
    std::uint64_t bytes_left = std::uint64_t{512} << 20;  // --extract-max-bytes
};

struct ExtractOptions {
    // Tried in order on an encrypted member; "infected" is added by the
    // caller after the uploader's own.
    std::vector<std::string> passwords;
    // Unpacked bytes per packed byte past which a member is taken for a
    // bomb and left unread (a member of less than a megabyte never is).
    double max_ratio = 1000.0;
};

// Why a member was listed but not read. Every member of an archive is listed,
// read or not: a clean answer never hides a skipped file.
enum class MemberSkip {
    None,        // read whole: `data` holds it
    Encrypted,   // no password given worked
    FileBound,   // the tree's member count was reached
    ByteBound,   // the tree's unpacked bytes were reached
    Bomb,        // its compression ratio is one only a bomb has
    Damaged,     // its bytes could not be read to the end
    NotAFile,    // a link, a device or a folder: nothing to analyse
};

// "encrypted", "file bound", ... as the report and the JSON show it.
std::string_view member_skip_name(MemberSkip skip);

struct ArchiveMember {
    std::string                name;  // its path inside the archive, made safe:
                                      // no leading '/', no "..", valid UTF-8
    std::vector<unsigned char> data;  // empty unless skip == None
    MemberSkip                 skip = MemberSkip::None;
    std::string                detail;  // what the reader said, when skipped
};

enum class ArchiveOutcome {
    NotAnArchive,  // no format above recognised the bytes
    Read,          // every member listed (some may be skipped)
    Damaged,       // listed as far as it could be read; `detail` says where
};

struct ArchiveRead {
    ArchiveOutcome             outcome = ArchiveOutcome::NotAnArchive;
    std::string                format;   // libarchive's name for it: "ZIP 2.0 (deflation)", ...
    std::vector<ArchiveMember> members;  // in the archive's order
    std::string                detail;
};

// Lists and reads the members of the archive in `bytes`, charging each read
// member to `budget`. Never throws, never writes a file, and never holds more
// than the budget allows in memory whatever sizes the archive claims.
ArchiveRead read_archive(std::span<const unsigned char> bytes, const ExtractOptions& options,
                         ExtractBudget& budget);
