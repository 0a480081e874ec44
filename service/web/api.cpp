#include "service/web/api.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "service/web/member_tree.h"
#include "service/web/report_path.h"
#include "service/web/text.h"

using Json = nlohmann::ordered_json;

namespace {

WebResponse json_response(unsigned status, const Json& value)
{
    WebResponse response;
    response.status = status;
    response.content_type = "application/json";
    response.body = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    response.body += '\n';
    return response;
}

WebResponse store_failed(const std::string& error)
{
    WebResponse response = api_error(503, "the store could not be read");
    response.log_note = error;
    return response;
}

// The length of the valid UTF-8 sequence that `text` starts with (its
// first byte not ASCII), or 0 when it starts with none: overlong forms,
// surrogates and code points past U+10FFFF are not valid.
std::size_t utf8_sequence_length(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || lead < 0xc2 || text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
    const unsigned char second = byte(1);
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second > 0x9f) ||
        (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second > 0x8f))
        return 0;
    return length;
}

// The record as JSON text, written straight into one string: it is the
// reply scripts ask for most, and building it through a JSON tree costs more
// than the store's reads. Text is escaped as JSON requires, and bytes that
// are not valid UTF-8 become U+FFFD.
void add_string(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8_sequence_length(text.substr(i));
            out.append(length ? text.substr(i, length) : std::string_view("\xef\xbf\xbd"));
            i += length ? length : 1;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

template <typename Bytes>
void add_optional_hex(std::string& out, const std::optional<Bytes>& digest)
{
    if (digest) {
        out += '"';
        out += to_hex(*digest);
        out += '"';
    } else {
        out += "null";
    }
}

void add_members(std::string& out, const std::vector<MemberNode>& members)
{
    out += '[';
    for (std::size_t i = 0; i < members.size(); ++i) {
        const MemberNode& member = members[i];
        out += i ? ",{\"name\":" : "{\"name\":";
        add_string(out, member.listing.name);
        out += ",\"md5\":";
        add_optional_hex(out, member.listing.md5);
        out += ",\"sha1\":";
        add_optional_hex(out, member.listing.sha1);
        if (!member.listing.skipped.empty()) {
            out += ",\"skipped\":";
            add_string(out, member.listing.skipped);
        } else {
            out += ",\"verdict\":\"";
            out += verdict_name(member.verdict);
            out += "\",\"label\":";
            add_string(out, member.label);
            out += ",\"report\":\"";
            out += report_path(*member.listing.md5);
            out += "\",\"members\":";
            add_members(out, member.members);
        }
        out += '}';
    }
    out += ']';
}

void add_text_field(std::string& out, std::string_view name, std::string_view text)
{
    out += ",\"";
    out += name;
    out += "\":";
    if (text.empty())
        out += "null";
    else
        add_string(out, text);
}

// What analyses found beside the scans: the type, the fuzzy digest, the
// analysers that could not finish, the members (a tree with verdicts when
// `tree` is given, the bare list otherwise) and the archives it was found in.
void add_analysis(std::string& out, const FileRecord& record, const std::vector<MemberNode>* tree)
{
    add_text_field(out, "mime", record.mime);
    add_text_field(out, "type", record.type);
    add_text_field(out, "ssdeep", record.ssdeep);
    out += ",\"faults\":[";
    for (std::size_t i = 0; i < record.faults.size(); ++i) {
        out += i ? ",{\"analyser\":" : "{\"analyser\":";
        add_string(out, record.faults[i].analyser);
        out += ",\"detail\":";
        add_string(out, record.faults[i].detail);
        out += '}';
    }
    out += "],\"members\":";
    if (tree) {
        add_members(out, *tree);
    } else {
        std::vector<MemberNode> bare;
        for (const MemberListing& member : record.members)
            bare.push_back({member, Verdict::Unknown, {}, {}});
        add_members(out, bare);
    }
    out += ",\"parents\":[";
    for (std::size_t i = 0; i < record.parents.size(); ++i) {
        const ArchiveParent& parent = record.parents[i];
        out += i ? ",{\"md5\":\"" : "{\"md5\":\"";
        out += to_hex(parent.md5);
        out += "\",\"sha1\":\"";
        out += to_hex(parent.sha1);
        out += "\",\"name\":";
        add_string(out, parent.name);
        out += ",\"report\":\"";
        out += report_path(parent.md5);
        out += "\"}";
    }
    out += ']';
}

void add_matches(std::string& out, const std::vector<RuleMatch>& matches)
{
    out += ",\"matches\":[";
    for (std::size_t i = 0; i < matches.size(); ++i) {
        const RuleMatch& match = matches[i];
        out += i ? ",{\"rule\":" : "{\"rule\":";
        add_string(out, match.rule);
        out += ",\"namespace\":";
        add_string(out, match.rule_namespace);
        out += ",\"tags\":[";
        bool first = true;
        for (std::size_t start = 0; start < match.tags.size();) {
            const std::size_t end = std::min(match.tags.find(' ', start), match.tags.size());
            if (end > start) {
                out += first ? "" : ",";
                add_string(out, std::string_view(match.tags).substr(start, end - start));
                first = false;
            }
            start = end + 1;
        }
        out += ']';
        add_text_field(out, "description", match.description);
        add_text_field(out, "author", match.author);
        out += '}';
    }
    out += ']';
}

// Whether the file's bytes are kept: its own sample, or an archive's it was
// found in. A store that cannot be read for the archives says not kept; the
// record itself was read, and is answered.
bool sample_kept(Store& store, const SampleStore* samples, const FileRecord& record)
{
    if (!samples)
        return false;
    std::string error;
    return kept_holder(store, *samples, record, error).has_value();
}

void add_record(std::string& out, const FileRecord& record, bool kept,
                const std::vector<MemberNode>* tree = nullptr)
{
    const std::string md5 = to_hex(record.md5);
    out += "{\"md5\":\"";
    out += md5;
    out += "\",\"sha1\":";
    add_optional_hex(out, record.sha1);
    out += ",\"sha256\":";
    add_optional_hex(out, record.sha256);
    out += ",\"size\":";
    out += record.size ? std::to_string(*record.size) : "null";
    out += ",\"verdict\":\"";
    out += verdict_name(record.verdict);
    out += "\",\"label\":";
    add_string(out, record.label);
    out += ",\"names\":[";
    for (std::size_t i = 0; i < record.names.size(); ++i) {
        if (i)
            out += ',';
        add_string(out, record.names[i]);
    }
    out += "],\"sources\":[";
    for (std::size_t i = 0; i < record.sources.size(); ++i) {
        out += i ? ",{\"name\":" : "{\"name\":";
        add_string(out, record.sources[i].name);
        out += ",\"imported\":";
        add_string(out, record.sources[i].imported);
        out += '}';
    }
    out += "],\"scans\":[";
    for (std::size_t i = 0; i < record.scans.size(); ++i) {
        const ScanRecord& scan = record.scans[i];
        out += i ? ",{\"engine\":" : "{\"engine\":";
        add_string(out, scan.engine);
        out += ",\"engine_version\":";
        add_string(out, scan.engine_version);
        out += ",\"signature_version\":";
        if (scan.signature_version.empty())
            out += "null";
        else
            add_string(out, scan.signature_version);
        out += ",\"time\":";
        add_string(out, scan.scanned);
        out += scan.found ? ",\"result\":\"found\",\"signature\":" : ",\"result\":\"clean\"";
        if (scan.found)
            add_string(out, scan.signature);
        if (!scan.matches.empty() || scan.engine == "YARA")
            add_matches(out, scan.matches);
        out += '}';
    }
    out += ']';
    // Only an uploaded file was analysed: a file the lists alone hold keeps
    // the record it always had.
    if (!record.scans.empty())
        add_analysis(out, record, tree);
    out += kept ? ",\"sample_kept\":true" : ",\"sample_kept\":false";
    out += ",\"report\":\"";
    out += report_path(record.md5);
    out += "\"}";
}

WebResponse records_response(std::string body)
{
    WebResponse response;
    response.content_type = "application/json";
    response.body = std::move(body);
    response.body += '\n';
    return response;
}

Json scanner_json(Scanner& scanner)
{
    const ScannerReport report = scanner.report();
    Json json = {{"clamd", scanner.address_text()}, {"reachable", report.reachable}};
    if (report.reachable) {
        json["engine"] = report.version.engine;
        json["engine_version"] = report.version.version;
        json["signature_version"] = report.version.signatures.empty()
                                        ? Json(nullptr) : Json(report.version.signatures);
    } else {
        json["problem"] = report.detail;
    }
    if (const YaraRules* rules = scanner.rules()) {
        const std::shared_ptr<const CompiledRules> set = rules->current();
        Json left_out = Json::array();
        for (const RuleFileError& error : rules->errors())
            left_out.push_back({{"file", error.file}, {"error", error.message}});
        json["yara"] = {{"rules", rules->folder()},
                        {"rule_set", set ? Json(set->identity) : Json(nullptr)},
                        {"files", set ? set->files : 0},
                        {"left_out", std::move(left_out)}};
    }
    return json;
}

}  // namespace

std::size_t bulk_body_limit(DigestKind kind)
{
    constexpr std::size_t kSpacing = 16;   // quotes, a comma, a line's indentation
    constexpr std::size_t kEnvelope = 1024;
    const std::size_t digits = kind == DigestKind::Md5 ? 32 : kind == DigestKind::Sha1 ? 40 : 64;
    return kBulkMax * (digits + kSpacing) + kEnvelope;
}

std::string_view kind_name(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Md5:    return "md5";
    case DigestKind::Sha1:   return "sha1";
    case DigestKind::Sha256: return "sha256";
    }
    return "md5";
}

WebResponse api_error(unsigned status, std::string_view message)
{
    return json_response(status, Json{{"error", message}});
}

WebResponse api_rescan_queued(std::string_view sha256_hex, std::string_view report)
{
    Json json{{"sha256", sha256_hex}, {"queued", true}};
    if (!report.empty())
        json["report"] = report;
    WebResponse response = json_response(202, json);
    response.location = std::string(report);
    return response;
}

WebResponse api_record(const FileRecord& record, Store* store, const SampleStore* samples)
{
    std::string body;
    body.reserve(512);
    const std::vector<MemberNode> tree =
        store && !record.members.empty() ? member_tree(*store, record) : std::vector<MemberNode>();
    add_record(body, record, store && sample_kept(*store, samples, record), store ? &tree : nullptr);
    return records_response(std::move(body));
}

WebResponse api_find(DigestKind kind, std::string_view hex, Store& store, UnknownDigests* unknown,
                     const SampleStore* samples)
{
    const std::optional<DigestQuery> query = parse_digest(hex);
    if (!query || query->kind != kind)
        return api_error(400, "not a " + std::string(kind_name(kind)) + " digest in hex");
    FileRecord record;
    std::string error;
    switch (find_digest(store, *query, record, error)) {
    case StoreStatus::Ok:
        return api_record(record, &store, samples);
    case StoreStatus::NotFound:
        if (unknown)
            unknown->asked(query->bytes);
        return api_error(404, "not held");
    case StoreStatus::Error:
        break;
    }
    return store_failed(error);
}

WebResponse api_bulk(DigestKind kind, std::string_view body, Store& store, UnknownDigests* unknown,
                     const SampleStore* samples)
{
    const std::string kind_text(kind_name(kind));
    const Json asked = Json::parse(body, nullptr, false);
    if (asked.is_discarded() || !asked.is_array())
        return api_error(400, "the body must be a JSON array of " + kind_text + " digests");
    if (asked.size() > kBulkMax)
        return api_error(400, "at most " + std::to_string(kBulkMax) + " digests at once");

    std::vector<DigestQuery> digests;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const std::string* text = asked[i].get_ptr<const std::string*>();
        std::optional<DigestQuery> query = text ? parse_digest(*text) : std::nullopt;
        if (!query || query->kind != kind)
            return api_error(400, "element " + std::to_string(i) + " is not " +
                                      (kind == DigestKind::Md5 ? "an " : "a ") + kind_text +
                                      " digest in hex");
        digests.push_back(std::move(*query));
    }

    std::string held = "[";
    std::set<std::string> seen;
    for (const DigestQuery& query : digests) {
        if (!seen.emplace(query.bytes.begin(), query.bytes.end()).second)
            continue;
        FileRecord record;
        std::string error;
        switch (find_digest(store, query, record, error)) {
        case StoreStatus::Ok:
            if (held.size() > 1)
                held += ',';
            add_record(held, record, sample_kept(store, samples, record));
            break;
        case StoreStatus::NotFound:
            if (unknown)
                unknown->asked(query.bytes);
            break;
        case StoreStatus::Error:
            return store_failed(error);
        }
    }
    held += ']';
    return records_response(std::move(held));
}

WebResponse api_unknown(const UnknownDigests::Listing& listing)
{
    Json digests = Json::array();
    for (const UnknownDigest& digest : listing.digests) {
        const std::size_t size = digest.digest.size();
        digests.push_back({
            {"digest", to_hex(digest.digest)},
            {"kind", size == 16 ? "md5" : size == 20 ? "sha1" : "sha256"},
            {"count", digest.count},
            {"error", digest.error},
            {"first_asked", utc_text(digest.first_asked)},
            {"last_asked", utc_text(digest.last_asked)},
        });
    }
    return json_response(200, Json{
        {"asked", listing.asked},
        {"capacity", listing.capacity},
        {"error_bound", listing.asked / std::max<std::size_t>(listing.capacity, 1)},
        {"digests", std::move(digests)},
    });
}

WebResponse api_info(Store& store, std::string_view service_version, Scanner* scanner)
{
    std::vector<SourceCount> counts;
    std::uint64_t scans = 0;
    std::string error;
    if (store.counts(counts, error) != StoreStatus::Ok
        || store.scan_count(scans, error) != StoreStatus::Ok)
        return store_failed(error);

    std::map<std::string, Json> by_source;
    for (const SourceCount& count : counts) {
        Json& source = by_source[count.source];
        if (source.is_null())
            source = {{"name", count.source}, {"good", 0}, {"bad", 0}, {"unknown", 0}};
        source[std::string(verdict_name(count.verdict))] = count.files;
    }
    Json sources = Json::array();
    for (auto& [name, source] : by_source)
        sources.push_back(std::move(source));
    return json_response(200, Json{
        {"service", "brantwicker-service"},
        {"version", service_version},
        {"schema", store.schema_version()},
        {"engine", store.engine_version()},
        {"sources", std::move(sources)},
        {"scans", scans},
        {"scanner", scanner ? scanner_json(*scanner) : Json(nullptr)},
    });
}
