#include "service/web/routes.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <utility>
#include <string>

#include "lookup/wire.h"
#include "service/store/digest_text.h"
#include "service/web/api.h"
#include "service/web/consult.h"
#include "service/web/hunt_routes.h"
#include "service/web/pages.h"
#include "service/web/member_tree.h"
#include "service/web/report_path.h"
#include "service/web/text.h"

namespace {

constexpr std::string_view kApi = "/api/v1/";
constexpr std::string_view kUnknownPagePath = "/unknown.html";

constexpr std::string_view kRouteNames[] = {
    "consult", "report", "search", "api_md5", "api_sha1", "api_sha256", "api_bulk_md5",
    "api_bulk_sha1", "api_bulk_sha256", "api_info", "api_openapi", "api_unknown",
    "unknown_page", "healthz", "metrics", "not_found", "scan", "api_scan",
    "hashlookup_lookup", "hashlookup_bulk", "hashlookup_info", "hashlookup_stats",
    "hashlookup_session", "hashlookup_links", "hashlookup_bloom", "api_retrohunt",
    "api_rescan", "rescan",
};

// POST /api/v1/files/<sha256>/rescan, and the report page's button at
// /files/<sha256>/rescan.
constexpr std::string_view kFilesPath = "files/";
constexpr std::string_view kFilesPagePath = "/files/";
constexpr std::string_view kRescanSuffix = "/rescan";

// The most digests GET /api/v1/unknown?top=N lists; without `top`, 100.
constexpr std::size_t kUnknownTopDefault = 100;

// Longer than any digest; a field past it is shown cut.
constexpr std::size_t kEchoMax = 128;

WebResponse not_allowed(bool api, const char* allow)
{
    WebResponse response = api ? api_error(405, "method not allowed")
                               : message_page(405, "Method not allowed",
                                              "This address does not take that method.");
    response.allow = allow;
    return response;
}

WebResponse store_failed(const std::string& error)
{
    WebResponse response = message_page(503, "Store unavailable", "The store could not be read.");
    response.log_note = error;
    return response;
}

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

WebResponse search(std::string_view query, Store& store, const RouteContext& context)
{
    const bool upload = context.scanner != nullptr;
    const bool key = upload && context.gate && context.gate->needs_key();
    const std::optional<std::string> field = form_field(query, "hash");
    const std::string_view asked = trimmed(field ? std::string_view(*field) : std::string_view{});
    if (asked.empty())
        return search_page(200, "", "", upload, key);
    const std::string_view shown = asked.substr(0, kEchoMax);

    const std::optional<DigestQuery> digest = parse_digest(asked);
    if (!digest)
        return search_page(400, shown,
                           "That is not a digest: an MD5, SHA-1 or SHA-256 is 32, 40 or 64 "
                           "hexadecimal digits.", upload, key);
    FileRecord record;
    std::string error;
    switch (find_digest(store, *digest, record, error)) {
    case StoreStatus::Ok:
        return see_other_page(report_path(record.md5));
    case StoreStatus::NotFound:
        if (context.unknown)
            context.unknown->asked(digest->bytes);
        return search_page(404, shown, "This digest is not held: " + to_hex(digest->bytes) +
                                           (upload ? ". Have the file scanned: choose it below."
                                                   : ""), upload, key);
    case StoreStatus::Error:
        break;
    }
    return store_failed(error);
}

WebResponse report(std::string_view path, Store& store, const RouteContext& context)
{
    const std::optional<Md5Bytes> md5 = report_path_digest(path);
    FileRecord record;
    std::string error;
    const StoreStatus status =
        md5 ? store.find_md5(*md5, record, error) : StoreStatus::NotFound;
    switch (status) {
    case StoreStatus::Ok: {
        // A member's bytes are kept in its archive's sample; with them, a
        // button to scan again.
        const bool kept = context.samples &&
                          kept_holder(store, *context.samples, record, error).has_value();
        return report_page(record, member_tree(store, record), kept, kept && context.rescans,
                           context.gate && context.gate->needs_key());
    }
    case StoreStatus::NotFound:
        return message_page(404, "No such report",
                            "There is no report at this address. The search page finds files "
                            "by MD5, SHA-1 or SHA-256.");
    case StoreStatus::Error:
        break;
    }
    return store_failed(error);
}

// Queues the kept sample that holds the file `hex` (a SHA-256) to be
// analysed again: 202 (the API) or back to its report (the page's button),
// whether or not it was queued already; 404 when no sample of it is kept.
WebResponse rescan(bool api, std::string_view method, std::string_view hex,
                   const WebRequest& request, Store& store, const RouteContext& context)
{
    if (method != "POST")
        return not_allowed(api, "POST");
    if (context.gate) {
        // The page's button sends the key in a form field, as the upload
        // form does: a browser has no header of ours to send.
        std::string client;
        const UploadGate::Reply reply = api ? UploadGate::Reply::Json : UploadGate::Reply::Page;
        std::optional<WebResponse> refused =
            !api && context.gate->needs_key() && request.authorization.empty()
                ? context.gate->admit_key(form_field(request.body, "key").value_or(""), request.peer,
                                          client, reply)
                : context.gate->admit(request.authorization, request.peer, client, reply);
        if (refused)
            return *refused;
    }
    const auto failed = [api](unsigned status, std::string_view title, std::string_view why) {
        return api ? api_error(status, why) : message_page(status, title, why);
    };
    Sha256Bytes sha256{};
    if (hex.size() != 64 || !parse_hex(hex, sha256))
        return failed(400, "Bad request", "A file is named here by its SHA-256: 64 hexadecimal digits.");
    if (!context.samples || !context.rescans)
        return failed(404, "No sample kept",
                      "This service keeps no samples, so it cannot scan a file again. "
                      "Upload the file to have it scanned.");
    std::string error;
    const std::optional<Sha256Bytes> holder = kept_holder(store, *context.samples, sha256, error);
    if (!holder && !error.empty()) {
        WebResponse response = failed(503, "Store unavailable", "The store could not be read.");
        response.log_note = error;
        return response;
    }
    if (!holder)
        return failed(404, "No sample kept",
                      "No sample of this file is kept, so it cannot be scanned again. "
                      "Upload the file to have it scanned.");
    FileRecord record;
    const StoreStatus found = store.find_sha256(sha256, record, error);
    if (found == StoreStatus::Error || context.rescans->request(*holder, error) != StoreStatus::Ok) {
        WebResponse response = failed(503, "Store unavailable", "The scan again could not be queued.");
        response.log_note = error;
        return response;
    }
    const std::string report = found == StoreStatus::Ok ? report_path(record.md5) : std::string();
    if (api)
        return api_rescan_queued(to_hex(sha256), report);
    return see_other_page(report.empty() ? std::string(kSearchPagePath) : report);
}

// Which of the digests most asked and not held to show: `top=N`, 1 to the
// summary's capacity.
std::optional<std::size_t> unknown_top(std::string_view query, std::size_t capacity)
{
    const std::optional<std::string> top = form_field(query, "top");
    if (!top)
        return std::min(kUnknownTopDefault, capacity);
    std::size_t n = 0;
    const auto [end, error] = std::from_chars(top->data(), top->data() + top->size(), n);
    if (error != std::errc() || end != top->data() + top->size() || n == 0)
        return std::nullopt;
    return std::min(n, capacity);
}

// The operator's routes: the metrics, the digests most asked and not held.
WebResponse operator_route(std::string_view method, const TargetParts& target,
                           const WebRequest& request, Store& store, const RouteContext& context)
{
    const bool api = target.path == "/api/v1/unknown";
    if (is_hunt_path(target.path)) {
        WebResponse response = hunt_route(method, target.path, request, context);
        response.route = "api_retrohunt";
        return response;
    }
    if (target.path == "/metrics" && context.metrics) {
        if (method != "GET")
            return not_allowed(false, "GET, HEAD");
        WebResponse response;
        response.content_type = "text/plain; version=0.0.4; charset=utf-8";
        response.body = context.metrics->exposition();
        return response;
    }
    if ((api || target.path == kUnknownPagePath) && context.unknown) {
        if (method != "GET")
            return not_allowed(api, "GET, HEAD");
        const std::optional<std::size_t> top = unknown_top(target.query, context.unknown->capacity());
        if (!top)
            return api ? api_error(400, "top must be a whole number from 1")
                       : message_page(400, "Bad request", "top must be a whole number from 1.");
        UnknownDigests::Listing listing;
        std::string error;
        if (context.unknown->top(*top, store, listing, error) != StoreStatus::Ok)
            return api ? api_error(503, "the store could not be read") : store_failed(error);
        return api ? api_unknown(listing) : unknown_page(listing);
    }
    return message_page(404, "Not found", "There is nothing at this address.");
}

WebResponse api(std::string_view method, std::string_view path, const WebRequest& request,
                Store& store, const RouteContext& context)
{
    const bool get = method == "GET";
    struct Lookup {
        std::string_view prefix;
        DigestKind kind;
    };
    static constexpr Lookup lookups[] = {
        {"md5/", DigestKind::Md5}, {"sha1/", DigestKind::Sha1}, {"sha256/", DigestKind::Sha256}};
    for (const Lookup& lookup : lookups) {
        if (path.starts_with(lookup.prefix))
            return get ? api_find(lookup.kind, path.substr(lookup.prefix.size()), store,
                                  context.unknown, context.samples)
                       : not_allowed(true, "GET, HEAD");
        if (path == "bulk/" + std::string(lookup.prefix.substr(0, lookup.prefix.size() - 1)))
            return method == "POST" ? api_bulk(lookup.kind, request.body, store, context.unknown,
                                               context.samples)
                                    : not_allowed(true, "POST");
    }
    if (path.starts_with(kFilesPath) && path.ends_with(kRescanSuffix)
        && path.size() >= kFilesPath.size() + kRescanSuffix.size())
        return rescan(true, method, path.substr(kFilesPath.size(), path.size() - kFilesPath.size()
                                                                   - kRescanSuffix.size()),
                      request, store, context);
    if (path == "info")
        return get ? api_info(store, context.service_version, context.scanner)
                   : not_allowed(true, "GET, HEAD");
    if (path == "openapi.json")
        return get ? api_openapi(context.service_version) : not_allowed(true, "GET, HEAD");
    return api_error(404, "no such address");
}

// The name the metrics count a request under: a bounded set, whatever the
// path asked. A path ending in '/' names every path it begins.
std::string_view route_name(std::string_view path)
{
    static constexpr std::pair<std::string_view, std::string_view> paths[] = {
        {kConsultPath, "consult"}, {kReportPathPrefix, "report"}, {"/", "search"},
        {kSearchPagePath, "search"}, {kUnknownPagePath, "unknown_page"}, {"/healthz", "healthz"},
        {"/metrics", "metrics"}, {"/api/v1/md5/", "api_md5"}, {"/api/v1/sha1/", "api_sha1"},
        {"/api/v1/sha256/", "api_sha256"}, {"/api/v1/bulk/md5", "api_bulk_md5"},
        {"/api/v1/bulk/sha1", "api_bulk_sha1"}, {"/api/v1/bulk/sha256", "api_bulk_sha256"},
        {"/api/v1/info", "api_info"}, {"/api/v1/openapi.json", "api_openapi"},
        {"/api/v1/unknown", "api_unknown"},
    };
    if (path.ends_with(kRescanSuffix))
        return path.starts_with(kApi) ? "api_rescan" : "rescan";
    for (const auto& [known, name] : paths)
        if (path == known || (known.size() > 1 && known.ends_with('/') && path.starts_with(known)))
            return name;
    return "not_found";
}

WebResponse route_request(const WebRequest& request, Store& store, const RouteContext& context)
{
    const std::string_view method =
        request.method == "HEAD" ? std::string_view("GET") : std::string_view(request.method);
    const TargetParts target = split_target(request.target);

    if (target.path == "/healthz")
        return method == "GET" ? health(context.health, context.worker)
                               : not_allowed(false, "GET, HEAD");
    // The hash-lookup clients' routes are public, but for the statistics,
    // which are the operator's unless made public.
    if (const std::optional<std::string> path = hashlookup_path(target.path);
        path && (!request.operator_side || *path == "/stats/top"))
        return hashlookup_route(method, *path, request, store, context);
    if (request.operator_side)
        return operator_route(method, target, request, store, context);
    if (target.path == kConsultPath)
        return method == "POST" ? consult(request.body, store, context.unknown)
                                : not_allowed(false, "POST");
    if (target.path.starts_with(kApi))
        return api(method, target.path.substr(kApi.size()), request, store, context);

    if (target.path.starts_with(kFilesPagePath) && target.path.ends_with(kRescanSuffix)
        && target.path.size() >= kFilesPagePath.size() + kRescanSuffix.size())
        return rescan(false, method, target.path.substr(kFilesPagePath.size(),
                                                        target.path.size() - kFilesPagePath.size()
                                                            - kRescanSuffix.size()),
                      request, store, context);

    const bool page = target.path == "/" || target.path == kSearchPagePath ||
                      target.path.starts_with(kReportPathPrefix);
    if (page && method != "GET")
        return not_allowed(false, "GET, HEAD");
    if (target.path.starts_with(kReportPathPrefix))
        return report(target.path, store, context);
    if (page)
        return search(target.query, store, context);
    return message_page(404, "Not found", "There is nothing at this address.");
}

}  // namespace

WebResponse route(const WebRequest& request, Store& store, const RouteContext& context)
{
    WebResponse response = route_request(request, store, context);
    const std::string_view path = split_target(request.target).path;
    if (response.route.empty())
        response.route = route_name(path);
    // A file found is counted by the digest it was asked by, the last part
    // of its address.
    if (context.asks && response.status == 200
        && (response.route == "report" || response.route == "api_md5"
            || response.route == "api_sha1" || response.route == "api_sha256")) {
        const std::string_view last = path.substr(path.find_last_of('/') + 1);
        const std::string_view hex = response.route == "report" ? path.substr(std::string_view(kReportPathPrefix).size(), 32) : last;
        if (const std::optional<DigestQuery> digest = parse_digest(hex))
            context.asks->asked(digest->bytes);
    }
    return response;
}

std::size_t request_body_limit(std::string_view target, std::size_t base)
{
    const std::string_view path = split_target(target).path;
    if (is_hunt_path(path))
        return std::max(base, kHuntRulesMax);
    const std::optional<std::string> theirs = hashlookup_path(path);
    for (const DigestKind kind : {DigestKind::Md5, DigestKind::Sha1, DigestKind::Sha256}) {
        const std::string name(kind_name(kind));
        if (path == std::string(kApi) + "bulk/" + name || (theirs && *theirs == "/bulk/" + name))
            return std::max(base, bulk_body_limit(kind));
    }
    return base;
}

std::span<const std::string_view> route_names()
{
    return kRouteNames;
}
