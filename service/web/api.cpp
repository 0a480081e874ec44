#include "service/web/api.h"

#include <map>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "service/web/report_path.h"

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

template <typename Bytes>
Json optional_hex(const std::optional<Bytes>& digest)
{
    return digest ? Json(to_hex(*digest)) : Json(nullptr);
}

Json record_json(const FileRecord& record)
{
    Json sources = Json::array();
    for (const SourceListing& source : record.sources)
        sources.push_back({{"name", source.name}, {"imported", source.imported}});
    return {
        {"md5", to_hex(record.md5)},
        {"sha1", optional_hex(record.sha1)},
        {"sha256", optional_hex(record.sha256)},
        {"size", record.size ? Json(*record.size) : Json(nullptr)},
        {"verdict", verdict_name(record.verdict)},
        {"label", record.label},
        {"names", record.names},
        {"sources", std::move(sources)},
        {"report", report_path(record.md5)},
    };
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

}  // namespace

WebResponse api_error(unsigned status, std::string_view message)
{
    return json_response(status, Json{{"error", message}});
}

WebResponse api_find(DigestKind kind, std::string_view hex, Store& store)
{
    const std::optional<DigestQuery> query = parse_digest(hex);
    if (!query || query->kind != kind)
        return api_error(400, "not a " + std::string(kind_name(kind)) + " digest in hex");
    FileRecord record;
    std::string error;
    switch (find_digest(store, *query, record, error)) {
    case StoreStatus::Ok:       return json_response(200, record_json(record));
    case StoreStatus::NotFound: return api_error(404, "not held");
    case StoreStatus::Error:    break;
    }
    return store_failed(error);
}

WebResponse api_bulk_md5(std::string_view body, Store& store)
{
    const Json asked = Json::parse(body, nullptr, false);
    if (asked.is_discarded() || !asked.is_array())
        return api_error(400, "the body must be a JSON array of MD5 digests");
    if (asked.size() > kBulkMax)
        return api_error(400, "at most " + std::to_string(kBulkMax) + " digests at once");

    std::vector<Md5Bytes> digests;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        Md5Bytes md5{};
        const std::string* text = asked[i].get_ptr<const std::string*>();
        if (text == nullptr || !parse_hex(*text, md5))
            return api_error(400, "element " + std::to_string(i) + " is not an MD5 digest in hex");
        digests.push_back(md5);
    }

    Json held = Json::array();
    std::set<Md5Bytes> seen;
    for (const Md5Bytes& md5 : digests) {
        if (!seen.insert(md5).second)
            continue;
        FileRecord record;
        std::string error;
        switch (store.find_md5(md5, record, error)) {
        case StoreStatus::Ok:       held.push_back(record_json(record)); break;
        case StoreStatus::NotFound: break;
        case StoreStatus::Error:    return store_failed(error);
        }
    }
    return json_response(200, held);
}

WebResponse api_info(Store& store, std::string_view service_version)
{
    std::vector<SourceCount> counts;
    std::string error;
    if (store.counts(counts, error) != StoreStatus::Ok)
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
    });
}
