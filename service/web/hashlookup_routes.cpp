#include "service/web/hashlookup_routes.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <ctime>

#include <nlohmann/json.hpp>

#include "service/web/api.h"
#include "service/web/routes.h"

using Json = nlohmann::ordered_json;

namespace {

// The version of the API these routes follow; clients read it from /info.
constexpr std::string_view kApiVersion = "1.2";

// How many parent records a look-up carries.
constexpr std::size_t kParentsShown = 15;

// At most this many links in one page of /parents or /children.
constexpr std::size_t kLinksPageMax = 1000;

// The longest session name.
constexpr std::size_t kSessionNameMax = 120;

// The most-asked unknown digests /stats/top lists.
constexpr std::size_t kTopShown = 100;

struct Kind {
    std::string_view path;
    DigestKind       kind;
    std::string_view missing;
    std::string_view incorrect;
};

constexpr Kind kKinds[] = {
    {"md5", DigestKind::Md5, "Non existing MD5",
     "MD5 value incorrect, expecting a MD5 value in hex format"},
    {"sha1", DigestKind::Sha1, "Non existing SHA-1",
     "SHA1 value incorrect, expecting a SHA1 value in hex format"},
    {"sha256", DigestKind::Sha256, "Non existing SHA-256",
     "SHA-256 value incorrect, expecting a SHA-256 value in hex format"},
};

WebResponse answer(unsigned status, const Json& body, std::string_view route)
{
    WebResponse response;
    response.status = status;
    response.content_type = "application/json";
    response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    response.body += '\n';
    response.route = route;
    return response;
}

WebResponse message(unsigned status, std::string_view text, std::string_view route)
{
    return answer(status, Json{{"message", text}}, route);
}

WebResponse store_failed(const std::string& error, std::string_view route)
{
    WebResponse response = message(503, "The store could not be read", route);
    response.log_note = error;
    return response;
}

std::string upper_hex(std::span<const unsigned char> bytes)
{
    std::string hex = to_hex(bytes);
    for (char& c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

// "2026-01-02T03:04:05Z" as seconds since 1970; -1 when it is not that.
std::int64_t unix_seconds(const std::string& iso)
{
    std::tm parts{};
    int year = 0, month = 0;
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ", &year, &month, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6)
        return -1;
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    return static_cast<std::int64_t>(timegm(&parts));
}

// A record as these clients read it: every value a string, keys spelt as theirs.
Json record_json(const FileRecord& record)
{
    Json json = Json::object();
    if (!record.names.empty())
        json["FileName"] = record.names.front();
    if (record.size)
        json["FileSize"] = std::to_string(*record.size);
    json["MD5"] = upper_hex(record.md5);
    // Clients take a record with SHA-1 for a known file; none is made up.
    if (record.sha1)
        json["SHA-1"] = upper_hex(*record.sha1);
    if (record.sha256)
        json["SHA-256"] = upper_hex(*record.sha256);
    std::string sources;
    std::int64_t first = -1;
    for (const SourceListing& source : record.sources) {
        sources += (sources.empty() ? "" : ", ") + source.name;
        const std::int64_t imported = unix_seconds(source.imported);
        if (imported >= 0 && (first < 0 || imported < first))
            first = imported;
    }
    json["source"] = sources;
    if (first >= 0)
        json["insert-timestamp"] = std::to_string(first);
    if (!record.mime.empty())
        json["mimetype"] = record.mime;
    if (record.verdict == Verdict::Bad)
        json["KnownMalicious"] = record.label.empty() ? sources : sources + ": " + record.label;
    return json;
}

// The parents a look-up carries, and the trust that follows from them.
StoreStatus add_parents(Json& json, const FileRecord& record, Store& store, std::string& error)
{
    std::uint64_t parents = 0;
    if (record.sha1) {
        LinkPage page;
        if (store.archive_links(*record.sha1, LinkDirection::Parents, std::nullopt, kParentsShown,
                                page, error) != StoreStatus::Ok)
            return StoreStatus::Error;
        parents = page.total;
        if (parents > 0) {
            json["hashlookup:parent-total"] = parents;
            Json shown = Json::array();
            for (const Sha1Bytes& sha1 : page.sha1s) {
                FileRecord parent;
                const StoreStatus found = store.find_sha1(sha1, parent, error);
                if (found == StoreStatus::Error)
                    return found;
                shown.push_back(found == StoreStatus::Ok ? record_json(parent)
                                                         : Json{{"SHA-1", upper_hex(sha1)}});
            }
            json["parents"] = std::move(shown);
        }
    }
    json["hashlookup:trust"] = hashlookup_trust(parents, record.verdict == Verdict::Bad);
    return StoreStatus::Ok;
}

// A look-up that names a session adds its digest to it. A session that is
// gone, or a store that cannot take it, costs the look-up nothing.
void note_in_session(const WebRequest& request, const RouteContext& context,
                     std::span<const unsigned char> digest, bool held)
{
    if (request.session.empty() || !context.sessions)
        return;
    std::string ignored;
    context.sessions->add_to_session(request.session, upper_hex(digest), held,
                                     static_cast<std::int64_t>(std::time(nullptr)), ignored);
}

WebResponse lookup(const Kind& kind, std::string_view hex, const WebRequest& request, Store& store,
                   const RouteContext& context)
{
    constexpr std::string_view route = "hashlookup_lookup";
    const std::optional<DigestQuery> query = parse_digest(hex);
    if (!query || query->kind != kind.kind)
        return message(400, kind.incorrect, route);
    FileRecord record;
    std::string error;
    switch (find_digest(store, *query, record, error)) {
    case StoreStatus::Ok: {
        Json json = record_json(record);
        if (add_parents(json, record, store, error) != StoreStatus::Ok)
            break;
        note_in_session(request, context, query->bytes, true);
        return answer(200, json, route);
    }
    case StoreStatus::NotFound:
        if (context.unknown)
            context.unknown->asked(query->bytes);
        note_in_session(request, context, query->bytes, false);
        return answer(404, Json{{"message", kind.missing}, {"query", hex}}, route);
    case StoreStatus::Error:
        break;
    }
    return store_failed(error, route);
}

WebResponse bulk(const Kind& kind, std::string_view body, Store& store, const RouteContext& context)
{
    constexpr std::string_view route = "hashlookup_bulk";
    const Json asked = Json::parse(body, nullptr, false);
    if (asked.is_discarded())
        return message(400, "The body is not JSON", route);
    const auto hashes = asked.is_object() ? asked.find("hashes") : asked.end();
    if (!asked.is_object() || hashes == asked.end() || !hashes->is_array())
        return message(404, "JSON format incorrect. An array of hashes in the key 'hashes' is "
                            "expected.", route);
    if (hashes->size() > kBulkMax)
        return message(400, "At most " + std::to_string(kBulkMax) + " hashes at once", route);
    Json held = Json::array();
    for (const Json& hash : *hashes) {
        const std::string* text = hash.get_ptr<const std::string*>();
        const std::optional<DigestQuery> query = text ? parse_digest(*text) : std::nullopt;
        if (!query || query->kind != kind.kind)
            continue;
        FileRecord record;
        std::string error;
        switch (find_digest(store, *query, record, error)) {
        case StoreStatus::Ok:
            held.push_back(record_json(record));
            break;
        case StoreStatus::NotFound:
            if (context.unknown)
                context.unknown->asked(query->bytes);
            break;
        case StoreStatus::Error:
            return store_failed(error, route);
        }
    }
    return answer(200, held, route);
}

WebResponse info(Store& store, const RouteContext& context)
{
    constexpr std::string_view route = "hashlookup_info";
    std::vector<SourceCount> counts;
    std::string error;
    if (store.counts(counts, error) != StoreStatus::Ok)
        return store_failed(error, route);
    std::uint64_t listed = 0;
    std::optional<std::string> rds;
    for (const SourceCount& count : counts) {
        listed += count.files;
        std::string lower = count.source;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        // Releases of the reference set are named by date: the greatest is the newest.
        if (lower.find("rds") != std::string::npos && (!rds || count.source > *rds))
            rds = count.source;
    }
    return answer(200, Json{
        {"nsrl-version", rds ? Json(*rds) : Json(nullptr)},
        {"stat:hashlookup_total_keys", listed},
        {"hashlookup-version", kApiVersion},
        {"service", "brantwicker-service"},
        {"version", context.service_version},
    }, route);
}

WebResponse top(const WebRequest& request, Store& store, const RouteContext& context)
{
    constexpr std::string_view route = "hashlookup_stats";
    if (!request.operator_side && !context.public_stats)
        return message(400, "Public statistics not enabled", route);
    Json nx = Json::array();
    if (context.unknown) {
        UnknownDigests::Listing listing;
        std::string error;
        if (context.unknown->top(std::min(kTopShown, context.unknown->capacity()), store, listing,
                                 error) != StoreStatus::Ok)
            return store_failed(error, route);
        for (const UnknownDigest& digest : listing.digests)
            nx.push_back(Json::array({upper_hex(digest.digest), digest.count}));
    }
    return answer(200, Json{{"nx", std::move(nx)}, {"exist", Json::array()}}, route);
}

WebResponse session(std::string_view rest, const RouteContext& context)
{
    constexpr std::string_view route = "hashlookup_session";
    const bool create = rest.starts_with("create/");
    if (!create && !rest.starts_with("get/"))
        return message(404, "Not found", route);
    const std::string_view name = rest.substr(create ? 7 : 4);
    if (name.empty() || name.find('/') != std::string_view::npos)
        return message(404, "Not found", route);
    if (name.size() > kSessionNameMax)
        return message(400, "Session name too long: at most " + std::to_string(kSessionNameMax) +
                                " characters", route);
    if (!context.sessions)
        return message(404, "Sessions not enabled", route);
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    std::string error;
    if (create) {
        const auto ttl = static_cast<std::int64_t>(context.session_ttl.count());
        if (context.sessions->create_session(name, now + ttl, now, error) != StoreStatus::Ok)
            return store_failed(error, route);
        return message(200, "Session " + std::string(name) + " created and session will expire in " +
                                std::to_string(ttl) + " seconds", route);
    }
    LookupSession kept;
    switch (context.sessions->read_session(name, now, kept, error)) {
    case StoreStatus::Ok:
        return answer(200, Json{{"nx", kept.not_held}, {"exist", kept.held}, {"info", ""}}, route);
    case StoreStatus::NotFound:
        return message(404, "Non-existing session", route);
    case StoreStatus::Error:
        break;
    }
    return store_failed(error, route);
}

// /parents/<sha1>/<count>/<cursor>: the cursor is "0" for the first page,
// else the last SHA-1 of the page before.
WebResponse links(LinkDirection direction, std::string_view rest, Store& store)
{
    constexpr std::string_view route = "hashlookup_links";
    const bool parents = direction == LinkDirection::Parents;
    const std::size_t first = rest.find('/');
    const std::size_t second = first == std::string_view::npos ? first : rest.find('/', first + 1);
    if (second == std::string_view::npos || rest.find('/', second + 1) != std::string_view::npos)
        return message(404, "Not found", route);
    const std::string_view hex = rest.substr(0, first);
    const std::string_view count_text = rest.substr(first + 1, second - first - 1);
    const std::string_view cursor = rest.substr(second + 1);
    Sha1Bytes sha1{};
    if (!parse_hex(hex, sha1))
        return message(400, "SHA1 value incorrect, expecting a SHA1 value in hex format", route);
    std::size_t count = 0;
    const auto [end, bad] = std::from_chars(count_text.data(), count_text.data() + count_text.size(), count);
    if (bad != std::errc() || end != count_text.data() + count_text.size() || count == 0 ||
        count > kLinksPageMax)
        return message(400, "The count must be a whole number from 1 to " +
                                std::to_string(kLinksPageMax), route);
    std::optional<Sha1Bytes> after;
    if (cursor != "0") {
        Sha1Bytes from{};
        if (!parse_hex(cursor, from))
            return message(400, "The cursor must be 0 or a SHA1 value in hex format", route);
        after = from;
    }
    // One more than asked says whether a next page exists.
    LinkPage page;
    std::string error;
    if (store.archive_links(sha1, direction, after, count + 1, page, error) != StoreStatus::Ok)
        return store_failed(error, route);
    if (page.total == 0)
        return message(404, parents ? "The SHA1 value has no known parent."
                                    : "The SHA1 value has no known child.", route);
    const bool more = page.sha1s.size() > count;
    page.sha1s.resize(std::min(page.sha1s.size(), count));
    Json listed = Json::array();
    for (const Sha1Bytes& link : page.sha1s)
        listed.push_back(upper_hex(link));
    const std::string next = more ? upper_hex(page.sha1s.back()) : "0";
    return answer(200, Json{{parents ? "parents" : "children", std::move(listed)},
                            {"cursor", next}, {"total", page.total}}, route);
}

WebResponse bloom(const WebRequest& request, const RouteContext& context)
{
    constexpr std::string_view route = "hashlookup_bloom";
    if (!context.bloom)
        return message(404, "The Bloom filter is not offered here", route);
    const std::shared_ptr<const PublishedFile> file = context.bloom->current();
    if (!file) {
        WebResponse response = message(503, "The Bloom filter is being made; try again shortly", route);
        response.retry_after = "60";
        return response;
    }
    WebResponse response;
    response.route = route;
    response.etag = file->etag;
    response.last_modified = file->last_modified;
    if (request.if_none_match == file->etag) {
        response.status = 304;
        return response;
    }
    response.content_type = "application/octet-stream";
    response.body = file->bytes;
    return response;
}

WebResponse not_allowed(const char* allow, std::string_view route)
{
    WebResponse response = message(405, "The method is not allowed for the requested URL.", route);
    response.allow = allow;
    return response;
}

}  // namespace

int hashlookup_trust(std::uint64_t parents, bool malicious)
{
    // Past 20 parents the cap is reached whatever else holds.
    const int trust = 50 + 5 * static_cast<int>(std::min<std::uint64_t>(parents, 20)) -
                      (malicious ? 20 : 0);
    return std::min(trust, 100);
}

std::optional<std::string> hashlookup_path(std::string_view path)
{
    // Every request passes here: most are told apart without a copy.
    static constexpr std::string_view firsts[] = {"lookup/", "bulk/", "info", "stats/", "session/",
                                                  "parents/", "children/", "bloom/"};
    const std::size_t start = path.find_first_not_of('/');
    const std::string_view rest = start == std::string_view::npos ? std::string_view() : path.substr(start);
    if (std::none_of(std::begin(firsts), std::end(firsts),
                     [rest](std::string_view first) { return rest.starts_with(first); }))
        return std::nullopt;
    std::string plain;
    for (const char c : path)
        if (c != '/' || plain.empty() || plain.back() != '/')
            plain += c;
    if (plain.size() > 1 && plain.back() == '/')
        plain.pop_back();
    static constexpr std::string_view prefixes[] = {"/lookup/", "/bulk/", "/session/",
                                                    "/parents/", "/children/", "/bloom/"};
    static constexpr std::string_view exact[] = {"/info", "/stats/top"};
    for (const std::string_view prefix : prefixes)
        if (plain.starts_with(prefix))
            return plain;
    for (const std::string_view whole : exact)
        if (plain == whole)
            return plain;
    return std::nullopt;
}

WebResponse hashlookup_route(std::string_view method, std::string_view path,
                             const WebRequest& request, Store& store, const RouteContext& context)
{
    const bool get = method == "GET";
    for (const Kind& kind : kKinds) {
        const std::string lookup_prefix = "/lookup/" + std::string(kind.path) + "/";
        if (path.starts_with(lookup_prefix))
            return get ? lookup(kind, path.substr(lookup_prefix.size()), request, store, context)
                       : not_allowed("GET, HEAD", "hashlookup_lookup");
        // Bulk look-ups by SHA-256 are ours alone, under /api/v1.
        if (kind.kind != DigestKind::Sha256 && path == "/bulk/" + std::string(kind.path))
            return method == "POST" ? bulk(kind, request.body, store, context)
                                    : not_allowed("POST", "hashlookup_bulk");
    }
    struct Plain {
        std::string_view prefix;
        std::string_view route;
    };
    static constexpr Plain plain[] = {
        {"/info", "hashlookup_info"},       {"/stats/top", "hashlookup_stats"},
        {"/session/", "hashlookup_session"}, {"/parents/", "hashlookup_links"},
        {"/children/", "hashlookup_links"}, {"/bloom/known-sha1.bloom", "hashlookup_bloom"},
    };
    for (const auto& [prefix, route] : plain) {
        if (!path.starts_with(prefix))
            continue;
        if (!get)
            return not_allowed("GET, HEAD", route);
        const std::string_view rest = path.substr(prefix.size());
        if (prefix == "/info")
            return info(store, context);
        if (prefix == "/stats/top")
            return top(request, store, context);
        if (prefix == "/session/")
            return session(rest, context);
        if (prefix == "/parents/" || prefix == "/children/")
            return links(prefix == "/parents/" ? LinkDirection::Parents : LinkDirection::Children,
                         rest, store);
        if (rest.empty())
            return bloom(request, context);
    }
    return message(404, "Not found", "not_found");
}
