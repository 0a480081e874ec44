#include "service/web/routes.h"

#include <optional>
#include <string>

#include "lookup/wire.h"
#include "service/store/digest_text.h"
#include "service/web/api.h"
#include "service/web/consult.h"
#include "service/web/pages.h"
#include "service/web/report_path.h"
#include "service/web/text.h"

namespace {

constexpr std::string_view kApi = "/api/v1/";

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

WebResponse search(std::string_view query, Store& store)
{
    const std::optional<std::string> field = form_field(query, "hash");
    const std::string_view asked = trimmed(field ? std::string_view(*field) : std::string_view{});
    if (asked.empty())
        return search_page(200, "", "");
    const std::string_view shown = asked.substr(0, kEchoMax);

    const std::optional<DigestQuery> digest = parse_digest(asked);
    if (!digest)
        return search_page(400, shown,
                           "That is not a digest: an MD5, SHA-1 or SHA-256 is 32, 40 or 64 "
                           "hexadecimal digits.");
    FileRecord record;
    std::string error;
    switch (find_digest(store, *digest, record, error)) {
    case StoreStatus::Ok: {
        WebResponse response;
        response.status = 303;
        response.location = report_path(record.md5);
        response.content_type = "text/html; charset=utf-8";
        response.body = "<!DOCTYPE html>\n<title>See Other</title>\n<p><a href=\"" +
                        response.location + "\">The report</a></p>\n";
        return response;
    }
    case StoreStatus::NotFound:
        return search_page(404, shown, "This digest is not held: " + to_hex(digest->bytes));
    case StoreStatus::Error:
        break;
    }
    return store_failed(error);
}

WebResponse report(std::string_view path, Store& store)
{
    const std::optional<Md5Bytes> md5 = report_path_digest(path);
    FileRecord record;
    std::string error;
    const StoreStatus status =
        md5 ? store.find_md5(*md5, record, error) : StoreStatus::NotFound;
    switch (status) {
    case StoreStatus::Ok:
        return report_page(record);
    case StoreStatus::NotFound:
        return message_page(404, "No such report",
                            "There is no report at this address. The search page finds files "
                            "by MD5, SHA-1 or SHA-256.");
    case StoreStatus::Error:
        break;
    }
    return store_failed(error);
}

WebResponse api(std::string_view method, std::string_view path, const WebRequest& request,
                Store& store, std::string_view service_version)
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
            return get ? api_find(lookup.kind, path.substr(lookup.prefix.size()), store)
                       : not_allowed(true, "GET, HEAD");
    }
    if (path == "bulk/md5")
        return method == "POST" ? api_bulk_md5(request.body, store) : not_allowed(true, "POST");
    if (path == "info")
        return get ? api_info(store, service_version) : not_allowed(true, "GET, HEAD");
    if (path == "openapi.json")
        return get ? api_openapi(service_version) : not_allowed(true, "GET, HEAD");
    return api_error(404, "no such address");
}

}  // namespace

WebResponse route(const WebRequest& request, Store& store, std::string_view service_version)
{
    const std::string_view method =
        request.method == "HEAD" ? std::string_view("GET") : std::string_view(request.method);
    const TargetParts target = split_target(request.target);

    if (target.path == kConsultPath)
        return method == "POST" ? consult(request.body, store) : not_allowed(false, "POST");
    if (target.path.starts_with(kApi))
        return api(method, target.path.substr(kApi.size()), request, store, service_version);

    const bool page = target.path == "/" || target.path == kSearchPagePath ||
                      target.path.starts_with(kReportPathPrefix);
    if (page && method != "GET")
        return not_allowed(false, "GET, HEAD");
    if (target.path.starts_with(kReportPathPrefix))
        return report(target.path, store);
    if (page)
        return search(target.query, store);
    return message_page(404, "Not found", "There is nothing at this address.");
}
