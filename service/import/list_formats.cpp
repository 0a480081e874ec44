#include "service/import/list_formats.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace {

constexpr std::string_view hex_digits = "0123456789abcdefABCDEF";

bool starts_with_hex(std::string_view text, std::size_t count)
{
    return text.size() >= count && text.substr(0, count).find_first_not_of(hex_digits)
                                       == std::string_view::npos;
}

std::string_view base_name(std::string_view path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A size as lists write it: decimal digits only, and small enough for the
// store's signed 64-bit integers.
bool parse_size(std::string_view text, std::uint64_t& size)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), size);
    return status == std::errc() && end == text.data() + text.size()
        && size <= static_cast<std::uint64_t>(INT64_MAX);
}

ParsedLine refused(std::string_view reason)
{
    return {LineOutcome::Refused, reason};
}

// GNU md5sum marks a line whose name holds a backslash or a line break with a
// leading backslash, and writes them as \\, \n and \r.
bool unescape_name(std::string_view text, std::string& name)
{
    name.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            name += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '\\': name += '\\'; break;
        case 'n':  name += '\n'; break;
        case 'r':  name += '\r'; break;
        default:   return false;
        }
    }
    return true;
}

ParsedLine parse_md5sum(std::string_view line, ImportEntry& entry)
{
    const bool escaped = !line.empty() && line.front() == '\\';
    if (escaped)
        line.remove_prefix(1);
    if (!starts_with_hex(line, 32))
        return refused("no MD5 digest at the start");
    if (line.size() < 35 || line[32] != ' ' || (line[33] != ' ' && line[33] != '*'))
        return refused("no name after the digest");
    parse_hex(line.substr(0, 32), entry.md5);
    const std::string_view name = line.substr(34);
    if (escaped) {
        if (!unescape_name(name, entry.name))
            return refused("a broken escape in the name");
    } else {
        entry.name.assign(name);
    }
    return {LineOutcome::Entry, {}};
}

// One field of quoted CSV starting at `at`. Moves `at` past the field and its
// comma, and says whether another field follows. False for broken quoting.
bool next_csv_field(std::string_view line, std::size_t& at, std::string& field, bool& more)
{
    field.clear();
    if (at < line.size() && line[at] == '"') {
        for (++at;; ++at) {
            if (at >= line.size())
                return false;  // no closing quote
            if (line[at] != '"')
                field += line[at];
            else if (at + 1 < line.size() && line[at + 1] == '"')
                field += line[++at];
            else
                break;
        }
        ++at;  // the closing quote
    } else {
        const std::size_t end = std::min(line.find(',', at), line.size());
        field.assign(line.substr(at, end - at));
        if (field.find('"') != std::string::npos)
            return false;
        at = end;
    }
    more = at < line.size() && line[at] == ',';
    if (!more && at < line.size())
        return false;  // text after a closing quote
    ++at;
    return true;
}

ParsedLine parse_nsrl(std::string_view line, ImportEntry& entry)
{
    enum { sha1, md5, crc32, file_name, file_size, product, count = 8 };
    std::string fields[count];
    std::string extra;
    std::size_t at = 0;
    int found = 0;
    for (bool more = true; more; ++found)
        if (!next_csv_field(line, at, found < count ? fields[found] : extra, more))
            return refused("broken quoting");
    if (found != count)
        return refused(found < count ? "fewer than 8 fields" : "more than 8 fields");
    if (fields[sha1] == "SHA-1")
        return {LineOutcome::Ignored, {}};
    Sha1Bytes sha1_bytes{};
    if (!parse_hex(fields[sha1], sha1_bytes))
        return refused("not a SHA-1 digest");
    if (!parse_hex(fields[md5], entry.md5))
        return refused("not an MD5 digest");
    std::uint64_t size = 0;
    if (!parse_size(fields[file_size], size))
        return refused("not a file size");
    entry.sha1 = sha1_bytes;
    entry.size = size;
    entry.name = std::move(fields[file_name]);
    if (!fields[product].empty())
        entry.label = "product " + fields[product];
    return {LineOutcome::Entry, {}};
}

ParsedLine parse_hdb(std::string_view line, ImportEntry& entry)
{
    if (line.front() == '#')
        return {LineOutcome::Ignored, {}};
    // MD5:size:name, then at most the lowest and highest engine levels.
    std::string_view fields[6];
    std::size_t found = 0;
    for (std::size_t at = 0; found < 6; ++found) {
        const auto colon = line.find(':', at);
        fields[found] = line.substr(at, colon == std::string_view::npos ? colon : colon - at);
        if (colon == std::string_view::npos) {
            ++found;
            break;
        }
        at = colon + 1;
    }
    if (found < 3)
        return refused("fewer than 3 fields");
    if (found > 5)
        return refused("more than 5 fields");
    if (!parse_hex(fields[0], entry.md5))
        return refused("not an MD5 digest");
    std::uint64_t size = 0;
    if (fields[1] != "*" && !parse_size(fields[1], size))
        return refused("not a file size");
    if (fields[2].empty())
        return refused("no signature name");
    if (fields[1] != "*")
        entry.size = size;
    entry.label.assign(fields[2]);
    return {LineOutcome::Entry, {}};
}

// The export quotes every field and parts them with '", "'; "n/a" stands for
// an empty field. Shorter exports stop earlier in the same column order.
ParsedLine parse_bazaar(std::string_view line, ImportEntry& entry)
{
    if (line.front() == '#')
        return {LineOutcome::Ignored, {}};
    enum { first_seen, sha256, md5, sha1, reporter, file_name, file_type, mime_type, signature, clamav,
           count = 14 };
    if (line.size() < 2 || line.front() != '"' || line.back() != '"')
        return refused("not a quoted field list");
    line = line.substr(1, line.size() - 2);
    std::string_view fields[count + 1];
    std::size_t found = 0;
    for (std::size_t at = 0; found <= count; ++found) {
        const auto end = line.find("\", \"", at);
        fields[found] = line.substr(at, end == std::string_view::npos ? end : end - at);
        if (fields[found] == "n/a")
            fields[found] = {};
        if (end == std::string_view::npos) {
            ++found;
            break;
        }
        at = end + 4;
    }
    if (found <= md5)
        return refused("no MD5 field");
    if (found > count)
        return refused("more than 14 fields");
    if (!parse_hex(fields[md5], entry.md5))
        return refused("not an MD5 digest");
    Sha256Bytes sha256_bytes{};
    if (!fields[sha256].empty() && !parse_hex(fields[sha256], sha256_bytes))
        return refused("not a SHA-256 digest");
    Sha1Bytes sha1_bytes{};
    if (!fields[sha1].empty() && !parse_hex(fields[sha1], sha1_bytes))
        return refused("not a SHA-1 digest");
    if (!fields[sha256].empty())
        entry.sha256 = sha256_bytes;
    if (!fields[sha1].empty())
        entry.sha1 = sha1_bytes;
    entry.name.assign(fields[file_name]);
    for (const int label : {signature, clamav, file_type})
        if (!fields[label].empty()) {
            entry.label.assign(fields[label]);
            break;
        }
    return {LineOutcome::Entry, {}};
}

ParsedLine parse_virusshare(std::string_view line, ImportEntry& entry)
{
    if (line.front() == '#')
        return {LineOutcome::Ignored, {}};
    if (!parse_hex(line, entry.md5))
        return refused("not an MD5 digest");
    return {LineOutcome::Entry, {}};
}

// The name a VirusShare list gives itself in its comments: "VirusShare_" and
// its number.
std::string_view virusshare_name(std::string_view head)
{
    constexpr std::string_view prefix = "VirusShare_";
    const auto at = head.find(prefix);
    if (at == std::string_view::npos)
        return {};
    const auto end = head.find_first_not_of("0123456789", at + prefix.size());
    const std::string_view name = head.substr(at, end == std::string_view::npos ? end : end - at);
    return name.size() > prefix.size() ? name : std::string_view{};
}

}  // namespace

std::string_view format_name(ListFormat format)
{
    switch (format) {
    case ListFormat::Md5sum: return "md5sum";
    case ListFormat::Debian: return "debian";
    case ListFormat::Nsrl:   return "nsrl";
    case ListFormat::Hdb:    return "hdb";
    case ListFormat::Rds:    return "rds";
    case ListFormat::Bazaar: return "bazaar";
    case ListFormat::VirusShare: return "virusshare";
    }
    return "md5sum";
}

std::optional<ListFormat> format_from_name(std::string_view name)
{
    for (ListFormat format : {ListFormat::Md5sum, ListFormat::Debian, ListFormat::Nsrl, ListFormat::Hdb,
                              ListFormat::Rds, ListFormat::Bazaar, ListFormat::VirusShare})
        if (format_name(format) == name)
            return format;
    return std::nullopt;
}

std::optional<ListFormat> guess_format(std::string_view file_name, std::string_view head)
{
    if (file_name.ends_with(".md5sums"))
        return ListFormat::Debian;
    std::string_view first_line;
    while (!head.empty()) {
        const auto end = std::min(head.find('\n'), head.size());
        const std::string_view line = head.substr(0, end);
        head.remove_prefix(std::min(end + 1, head.size()));
        if (line.starts_with('#')) {
            if (line.find("first_seen_utc") != std::string_view::npos
                && line.find("md5_hash") != std::string_view::npos)
                return ListFormat::Bazaar;
            if (!virusshare_name(line).empty())
                return ListFormat::VirusShare;
        } else if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
            first_line = line;
            break;
        }
    }
    if (first_line.starts_with("\"SHA-1\","))
        return ListFormat::Nsrl;
    if (starts_with_hex(first_line, 32) && first_line.size() > 32 && first_line[32] == ':')
        return ListFormat::Hdb;
    if (first_line.starts_with('\\'))
        first_line.remove_prefix(1);
    if (starts_with_hex(first_line, 32) && first_line.size() > 33 && first_line[32] == ' '
        && (first_line[33] == ' ' || first_line[33] == '*'))
        return ListFormat::Md5sum;
    return std::nullopt;
}

ListDefaults list_defaults(ListFormat format, std::string_view file_name, std::string_view head)
{
    const std::string named = file_name.empty() ? "standard input" : std::string(base_name(file_name));
    switch (format) {
    case ListFormat::Debian: {
        std::string_view package = base_name(file_name);
        if (package.ends_with(".md5sums"))
            package.remove_suffix(std::string_view(".md5sums").size());
        return {Verdict::Good, std::string(package), "debian-packages"};
    }
    case ListFormat::Hdb:
        return {Verdict::Bad, {}, named};
    case ListFormat::Bazaar:
        return {Verdict::Bad, {}, "MalwareBazaar"};
    case ListFormat::VirusShare: {
        const std::string_view name = virusshare_name(head);
        return {Verdict::Bad, {}, name.empty() ? named : std::string(name)};
    }
    case ListFormat::Md5sum:
    case ListFormat::Nsrl:
    case ListFormat::Rds:
        break;
    }
    return {Verdict::Unknown, {}, named};
}

ParsedLine parse_list_line(ListFormat format, std::string_view line, ImportEntry& entry)
{
    // Lists written on Windows end their lines with CR LF.
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos)
        return {LineOutcome::Ignored, {}};
    if (line.find('\0') != std::string_view::npos)
        return refused("a NUL byte");
    switch (format) {
    case ListFormat::Md5sum:
        return parse_md5sum(line, entry);
    case ListFormat::Debian: {
        const ParsedLine parsed = parse_md5sum(line, entry);
        if (parsed.outcome == LineOutcome::Entry && !entry.name.starts_with('/'))
            entry.name.insert(0, 1, '/');
        return parsed;
    }
    case ListFormat::Nsrl:
        return parse_nsrl(line, entry);
    case ListFormat::Hdb:
        return parse_hdb(line, entry);
    case ListFormat::Bazaar:
        return parse_bazaar(line, entry);
    case ListFormat::VirusShare:
        return parse_virusshare(line, entry);
    case ListFormat::Rds:
        break;
    }
    return refused("not a line of a list");
}
