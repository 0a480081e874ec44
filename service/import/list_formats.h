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
};

// "md5sum", "debian", "nsrl" or "hdb".
std::string_view format_name(ListFormat format);
std::optional<ListFormat> format_from_name(std::string_view name);

// The format of a list named `file_name` whose first non-blank line is
// `first_line`; nothing when neither tells.
std::optional<ListFormat> guess_format(std::string_view file_name, std::string_view first_line);

// What a list says when an import does not say otherwise: the verdict, and
// for a Debian manifest the package named by its file name.
struct ListDefaults {
    Verdict     verdict = Verdict::Unknown;
    std::string label;
};
ListDefaults list_defaults(ListFormat format, std::string_view file_name);

enum class LineOutcome { Entry, Ignored, Refused };

struct ParsedLine {
    LineOutcome      outcome = LineOutcome::Ignored;
    std::string_view reason;  // why a refused line was refused
};

// Parses one line, without its line break, into `entry` (name, digests, size,
// and for ClamAV the verdict and label; the rest is left as it was).
ParsedLine parse_list_line(ListFormat format, std::string_view line, ImportEntry& entry);
