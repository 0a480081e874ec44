// The hash lists the store is fed from, one line at a time: each line becomes
// an entry, is ignored (blank, comment, header), or is refused with a reason.
#pragma once

#include <optional>
#include <string_view>

#include "service/store/store.h"

enum class ListFormat {
    Md5sum,  // GNU md5sum output: "HASH  name", "HASH *name", "\HASH  esc\\aped"
    Debian,  // a package's .md5sums under /var/lib/dpkg/info: md5sum lines, relative paths
    Nsrl,    // NSRLFile.txt: quoted CSV, SHA-1, MD5, CRC32, name, size, product, OS, special
    Hdb,     // ClamAV MD5 signatures: "MD5:size:name", size may be "*"
    Rds,     // NSRL RDS v3: an SQLite database, read by rds_reader.h, not line by line
    Bazaar,  // MalwareBazaar's CSV export: "first_seen", "sha256", "md5", "sha1", ...
    VirusShare,  // VirusShare hash lists: one MD5 a line after "#" comments naming the list
};

// "md5sum", "debian", "nsrl", "hdb", "rds", "bazaar" or "virusshare".
std::string_view format_name(ListFormat format);
std::optional<ListFormat> format_from_name(std::string_view name);

// The lines an import reads to tell a list's format and its defaults, at most
// this many: the leading comment and blank lines and the first other one,
// each ending in a line break. Feeds name themselves in their comments.
constexpr std::size_t list_head_lines = 64;

// The format of a list named `file_name` whose head (as above) is `head`;
// nothing when neither tells. An RDS database is told by its content.
std::optional<ListFormat> guess_format(std::string_view file_name, std::string_view head);

// What a list says when an import does not say otherwise: the verdict, for a
// Debian manifest the package named by its file name, and the source the list
// is recorded under (from the file name, or the name the feed gives itself).
// `file_name` is empty for standard input.
struct ListDefaults {
    Verdict     verdict = Verdict::Unknown;
    std::string label;
    std::string source;
};
ListDefaults list_defaults(ListFormat format, std::string_view file_name, std::string_view head = {});

enum class LineOutcome { Entry, Ignored, Refused };

struct ParsedLine {
    LineOutcome      outcome = LineOutcome::Ignored;
    std::string_view reason;  // why a refused line was refused
};

// Parses one line, without its line break, into `entry` (name, digests, size,
// and for ClamAV the verdict and label; the rest is left as it was).
ParsedLine parse_list_line(ListFormat format, std::string_view line, ImportEntry& entry);
