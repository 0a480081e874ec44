#include "service/web/api.h"

#include <string>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

namespace {

Json ref(std::string_view schema)
{
    return {{"$ref", "#/components/schemas/" + std::string(schema)}};
}

Json json_content(Json schema)
{
    return {{"application/json", {{"schema", std::move(schema)}}}};
}

Json reply(std::string_view description, Json schema)
{
    return {{"description", description}, {"content", json_content(std::move(schema))}};
}

Json lookup_operation(std::string_view kind, int digits)
{
    return {{"get", {
        {"summary", "Everything held about the file with this " + std::string(kind)},
        {"parameters", Json::array({{
            {"name", "digest"}, {"in", "path"}, {"required", true},
            {"description", std::to_string(digits) + " hexadecimal digits, any case"},
            {"schema", {{"type", "string"},
                        {"pattern", "^[0-9A-Fa-f]{" + std::to_string(digits) + "}$"}}},
        }})},
        {"responses", {
            {"200", reply("The file is held", ref("Record"))},
            {"400", reply("Not a digest of this kind", ref("Error"))},
            {"404", reply("The file is not held", ref("Error"))},
        }},
    }}};
}

Json bulk_operation(std::string_view kind, int digits)
{
    const std::string bound = std::to_string(kBulkMax);
    return {{"post", {
        {"summary", "The held files among up to " + bound + " " + std::string(kind) + " digests"},
        {"requestBody", {{"required", true}, {"content", json_content({
            {"type", "array"}, {"maxItems", kBulkMax},
            {"items", {{"type", "string"},
                       {"pattern", "^[0-9A-Fa-f]{" + std::to_string(digits) + "}$"}}},
        })}}},
        {"responses", {
            {"200", reply("The records held, in the order asked, each once",
                          {{"type", "array"}, {"items", ref("Record")}})},
            {"400", reply("Not an array of at most " + bound + " " + std::string(kind) + " digests",
                          ref("Error"))},
        }},
    }}};
}

// The routes hash-lookup clients speak, beside /api/v1.
void add_hashlookup_paths(Json& paths)
{
    const Json message = ref("Message");
    const auto lookup = [&](std::string_view kind, int digits) {
        return Json{{"get", {
            {"summary", "The file with this " + std::string(kind) + ", as hash-lookup clients read it"},
            {"parameters", Json::array({{
                {"name", "digest"}, {"in", "path"}, {"required", true},
                {"description", std::to_string(digits) + " hexadecimal digits, any case"},
                {"schema", {{"type", "string"}}},
            }})},
            {"responses", {
                {"200", reply("The file is held", ref("HashlookupRecord"))},
                {"400", reply("Not a digest of this kind", message)},
                {"404", reply("Not held; the digest asked is echoed in query", message)},
            }},
        }}};
    };
    const auto bulk = [&](std::string_view kind) {
        return Json{{"post", {
            {"summary", "The held files among up to " + std::to_string(kBulkMax) + " " +
                            std::string(kind) + " digests; malformed ones and misses left out"},
            {"requestBody", {{"required", true}, {"content", json_content({
                {"type", "object"}, {"required", {"hashes"}},
                {"properties", {{"hashes", {{"type", "array"}, {"maxItems", kBulkMax},
                                            {"items", {{"type", "string"}}}}}}},
            })}}},
            {"responses", {
                {"200", reply("The records held, in the order asked",
                              {{"type", "array"}, {"items", ref("HashlookupRecord")}})},
                {"400", reply("Not JSON, or too many hashes", message)},
                {"404", reply("No array of hashes in the key hashes", message)},
            }},
        }}};
    };
    const auto get = [&](std::string_view summary, Json ok) {
        return Json{{"get", {{"summary", summary}, {"responses", std::move(ok)}}}};
    };
    const Json links = {
        {"200", reply("A page of SHA-1s, the cursor of the next page (\"0\" after the last) and "
                      "the total", {{"type", "object"}})},
        {"400", reply("Not a SHA-1, or a count or cursor out of range", message)},
        {"404", reply("None known", message)},
    };
    paths["/lookup/md5/{digest}"] = lookup("MD5", 32);
    paths["/lookup/sha1/{digest}"] = lookup("SHA-1", 40);
    paths["/lookup/sha256/{digest}"] = lookup("SHA-256", 64);
    paths["/bulk/md5"] = bulk("MD5");
    paths["/bulk/sha1"] = bulk("SHA-1");
    paths["/info"] = get("The reference set's version and the number of listings",
                         {{"200", reply("The figures", {{"type", "object"}})}});
    paths["/stats/top"] = get("The digests most asked for and not held (the operator's address, or "
                              "everywhere with --public-stats)",
                              {{"200", reply("nx: [digest, count] pairs; exist: empty", {{"type", "object"}})},
                               {"400", reply("Public statistics not enabled", message)}});
    paths["/session/create/{name}"] = get("Starts a session of at most 120 characters; look-ups "
                                          "with the header hashlookup_session add to it",
                                          {{"200", reply("Created, and when it expires", message)}});
    paths["/session/get/{name}"] = get("The digests a session found (exist) and did not (nx)",
                                       {{"200", reply("The session", {{"type", "object"}})},
                                        {"404", reply("Non-existing session", message)}});
    paths["/parents/{sha1}/{count}/{cursor}"] = get("The archives the file was found in", links);
    paths["/children/{sha1}/{count}/{cursor}"] = get("The files found in the archive", links);
    paths["/bloom/known-sha1.bloom"] = get(
        "The known SHA-1s as a Bloom filter (format version 1), with ETag and Last-Modified",
        {{"200", {{"description", "The filter"},
                  {"content", {{"application/octet-stream",
                                {{"schema", {{"type", "string"}, {"format", "binary"}}}}}}}}},
         {"304", {{"description", "Unchanged since the ETag given in If-None-Match"}}},
         {"404", reply("Not offered (--bloom off)", message)},
         {"503", reply("Not made yet", message)}});
}

Json schemas()
{
    const Json hex_or_null = {{"type", "string"}, {"nullable", true}};
    return {
        {"Record", {
            {"type", "object"},
            {"properties", {
                {"md5", {{"type", "string"}}},
                {"sha1", hex_or_null},
                {"sha256", hex_or_null},
                {"size", {{"type", "integer"}, {"nullable", true}}},
                {"verdict", {{"type", "string"}, {"enum", {"good", "bad", "unknown"}}}},
                {"label", {{"type", "string"}}},
                {"names", {{"type", "array"}, {"items", {{"type", "string"}}}}},
                {"sources", {{"type", "array"}, {"items", {
                    {"type", "object"},
                    {"properties", {{"name", {{"type", "string"}}},
                                    {"imported", {{"type", "string"}, {"format", "date-time"}}}}},
                }}}},
                {"scans", {{"type", "array"}, {"description", "Scans of uploads, newest first"},
                           {"items", ref("Scan")}}},
                // The analysis fields are present on uploaded files only.
                {"mime", {{"type", "string"}, {"nullable", true},
                          {"description", "libmagic's MIME type of an uploaded file"}}},
                {"type", {{"type", "string"}, {"nullable", true},
                          {"description", "libmagic's description of an uploaded file"}}},
                {"ssdeep", {{"type", "string"}, {"nullable", true},
                            {"description", "The fuzzy digest of an uploaded file"}}},
                {"faults", {{"type", "array"},
                            {"description", "Analysers that could not finish, and why"},
                            {"items", {{"type", "object"}, {"properties", {
                                {"analyser", {{"type", "string"}}},
                                {"detail", {{"type", "string"}}}}}}}}},
                {"members", {{"type", "array"},
                             {"description", "An archive's members in its order; in bulk"
                                             " answers without verdicts"},
                             {"items", ref("Member")}}},
                {"parents", {{"type", "array"}, {"description", "The archives it was found in"},
                             {"items", {{"type", "object"}, {"properties", {
                                 {"md5", {{"type", "string"}}},
                                 {"sha1", {{"type", "string"}}},
                                 {"name", {{"type", "string"},
                                           {"description", "Its path inside that archive"}}},
                                 {"report", {{"type", "string"}}}}}}}}},
                {"sample_kept", {{"type", "boolean"},
                                 {"description", "Whether this service keeps the file's bytes:"
                                                 " its own sample, or that of an archive it was"
                                                 " found in. Never served back"}}},
                {"report", {{"type", "string"},
                            {"description", "Path of the report page on this service"}}},
            }},
        }},
        {"Member", {
            {"type", "object"},
            {"properties", {
                {"name", {{"type", "string"}, {"description", "Its path inside the archive"}}},
                {"md5", hex_or_null},
                {"sha1", hex_or_null},
                {"skipped", {{"type", "string"},
                             {"description", "Why it was not analysed (encrypted, file bound,"
                                             " byte bound, bomb, damaged, not a file, depth"
                                             " bound); absent when it was"}}},
                {"verdict", {{"type", "string"}, {"enum", {"good", "bad", "unknown"}}}},
                {"label", {{"type", "string"}}},
                {"report", {{"type", "string"}}},
                {"members", {{"type", "array"}, {"items", ref("Member")}}},
            }},
        }},
        {"Match", {
            {"type", "object"},
            {"properties", {
                {"rule", {{"type", "string"}}},
                {"namespace", {{"type", "string"}, {"description", "The rule file"}}},
                {"tags", {{"type", "array"}, {"items", {{"type", "string"}}}}},
                {"description", {{"type", "string"}, {"nullable", true}}},
                {"author", {{"type", "string"}, {"nullable", true}}},
            }},
        }},
        {"Scan", {
            {"type", "object"},
            {"properties", {
                {"engine", {{"type", "string"}, {"example", "ClamAV"}}},
                {"engine_version", {{"type", "string"}}},
                {"signature_version", {{"type", "string"}, {"nullable", true},
                                       {"description", "null when clamd named none (a database of"
                                                       " its own)"}}},
                {"time", {{"type", "string"}, {"format", "date-time"}}},
                {"result", {{"type", "string"}, {"enum", {"clean", "found"}}}},
                {"signature", {{"type", "string"}, {"description", "Only when found"}}},
                {"matches", {{"type", "array"},
                             {"description", "YARA's rules that matched, those tagged info"
                                             " (which make no verdict) too; the engine YARA's"
                                             " signature_version is its rule set's identity"},
                             {"items", ref("Match")}}},
            }},
        }},
        {"Error", {
            {"type", "object"},
            {"properties", {{"error", {{"type", "string"}}}}},
        }},
        {"Hunt", {
            {"type", "object"},
            {"properties", {
                {"id", {{"type", "string"}}},
                {"state", {{"type", "string"}, {"enum", {"running", "done", "interrupted", "failed"}}}},
                {"progress", {{"type", "object"}, {"properties", {
                    {"done", {{"type", "integer"}}}, {"total", {{"type", "integer"}}}}}}},
                {"found", {{"type", "integer"}, {"description", "matches in all; at most 10000 listed"}}},
                {"matches", {{"type", "array"}, {"items", {{"type", "object"}, {"properties", {
                    {"md5", {{"type", "string"}}}, {"rule", {{"type", "string"}}},
                    {"name", {{"type", "string"}}}, {"first_seen", hex_or_null}}}}}}},
            }},
        }},
        {"Message", {
            {"type", "object"},
            {"properties", {{"message", {{"type", "string"}}}, {"query", {{"type", "string"}}}}},
        }},
        {"HashlookupRecord", {
            {"type", "object"},
            {"description", "Digests in upper case; every value a string but the trust and the "
                            "parents. A record without SHA-1 has none known."},
            {"properties", {
                {"MD5", {{"type", "string"}}}, {"SHA-1", {{"type", "string"}}},
                {"SHA-256", {{"type", "string"}}}, {"FileName", {{"type", "string"}}},
                {"FileSize", {{"type", "string"}}}, {"source", {{"type", "string"}}},
                {"insert-timestamp", {{"type", "string"}}}, {"mimetype", {{"type", "string"}}},
                {"KnownMalicious", {{"type", "string"}}},
                {"hashlookup:trust", {{"type", "integer"}}},
                {"hashlookup:parent-total", {{"type", "integer"}}},
                {"parents", {{"type", "array"}, {"maxItems", 15}, {"items", {{"type", "object"}}}}},
            }},
        }},
        {"Unknown", {
            {"type", "object"},
            {"properties", {
                {"asked", {{"type", "integer"}, {"description", "Look-ups of digests not held"}}},
                {"capacity", {{"type", "integer"}, {"description", "Digests the counts keep"}}},
                {"error_bound", {{"type", "integer"},
                                 {"description", "No count is more than this too high"}}},
                {"digests", {{"type", "array"}, {"items", {
                    {"type", "object"},
                    {"properties", {
                        {"digest", {{"type", "string"}}},
                        {"kind", {{"type", "string"}, {"enum", {"md5", "sha1", "sha256"}}}},
                        {"count", {{"type", "integer"}}},
                        {"error", {{"type", "integer"},
                                   {"description", "How much of count may be others' asks"}}},
                        {"first_asked", {{"type", "string"}, {"format", "date-time"}}},
                        {"last_asked", {{"type", "string"}, {"format", "date-time"}}},
                    }},
                }}}},
            }},
        }},
        {"Info", {
            {"type", "object"},
            {"properties", {
                {"service", {{"type", "string"}}},
                {"version", {{"type", "string"}}},
                {"schema", {{"type", "integer"}}},
                {"engine", {{"type", "string"}}},
                {"sources", {{"type", "array"}, {"items", {
                    {"type", "object"},
                    {"properties", {{"name", {{"type", "string"}}},
                                    {"good", {{"type", "integer"}}},
                                    {"bad", {{"type", "integer"}}},
                                    {"unknown", {{"type", "integer"}}}}},
                }}}},
                {"scans", {{"type", "integer"}}},
                {"scanner", {{"type", "object"}, {"nullable", true},
                             {"description", "null when the service runs without clamd"},
                             {"properties", {
                                 {"clamd", {{"type", "string"}}},
                                 {"reachable", {{"type", "boolean"}}},
                                 {"engine", {{"type", "string"}}},
                                 {"engine_version", {{"type", "string"}}},
                                 {"signature_version", {{"type", "string"}, {"nullable", true}}},
                                 {"problem", {{"type", "string"}}},
                                 {"yara", {{"type", "object"}, {"properties", {
                                     {"rules", {{"type", "string"}}},
                                     {"rule_set", {{"type", "string"}, {"nullable", true}}},
                                     {"files", {{"type", "integer"}}},
                                     {"left_out", {{"type", "array"}, {"items", {
                                         {"type", "object"}, {"properties", {
                                             {"file", {{"type", "string"}}},
                                             {"error", {{"type", "string"}}}}}}}}}}}}},
                             }}}},
            }},
        }},
    };
}

}  // namespace

WebResponse api_openapi(std::string_view service_version)
{
    Json description = {
        {"openapi", "3.0.3"},
        {"info", {
            {"title", "Quellarion Brantwicker scanning service"},
            {"version", service_version},
            {"description", "What is known about files, by their digests."},
        }},
        {"paths", {
            {"/api/v1/md5/{digest}", lookup_operation("MD5", 32)},
            {"/api/v1/sha1/{digest}", lookup_operation("SHA-1", 40)},
            {"/api/v1/sha256/{digest}", lookup_operation("SHA-256", 64)},
            {"/api/v1/bulk/md5", bulk_operation("MD5", 32)},
            {"/api/v1/bulk/sha1", bulk_operation("SHA-1", 40)},
            {"/api/v1/bulk/sha256", bulk_operation("SHA-256", 64)},
            {"/api/v1/scan", {{"post", {
                {"summary", "Scan a file with clamd and keep the result (only when the service"
                            " runs with --clamd)"},
                {"description", "The body is the file's bytes, sent with a Content-Length. A file"
                                " already scanned with the same signatures is answered from the"
                                " result kept."},
                {"parameters", Json::array({{
                    {"name", "name"}, {"in", "query"}, {"required", false},
                    {"description", "The file's name, kept with it"},
                    {"schema", {{"type", "string"}, {"maxLength", 255}}},
                }, {
                    {"name", "password"}, {"in", "query"}, {"required", false},
                    {"description", "An archive's password, tried before \"infected\""},
                    {"schema", {{"type", "string"}, {"maxLength", 1024}}},
                }})},
                {"requestBody", {{"required", true}, {"content", {{"application/octet-stream",
                    {{"schema", {{"type", "string"}, {"format", "binary"}}}}}}}}},
                {"responses", {
                    {"200", reply("The file's record, its scans included", ref("Record"))},
                    {"401", reply("With --api-keys: no key, or one the service does not know;"
                                  " nothing is read or kept", ref("Error"))},
                    {"408", reply("The upload stalled", ref("Error"))},
                    {"411", reply("No Content-Length", ref("Error"))},
                    {"413", reply("Larger than --scan-max-bytes, or than clamd takes", ref("Error"))},
                    {"502", reply("clamd's answer was not clamd's", ref("Error"))},
                    {"503", reply("Every scan job is busy, or clamd cannot be reached; see "
                                  "Retry-After", ref("Error"))},
                    {"429", reply("With --uploads-per-minute: past the bound of the key, or of the"
                                  " address without keys; see Retry-After", ref("Error"))},
                    {"504", reply("clamd did not answer in time", ref("Error"))},
                }},
                // Only when the operator gave keys; the look-ups never ask.
                {"security", Json::array({Json::object(), {{"key", Json::array()}}})},
            }}}},
            {"/api/v1/files/{sha256}/rescan", {{"post", {
                {"summary", "Analyse the file's kept sample again (only with --samples)"},
                {"description", "Queues the sample; a sample queued already is not queued"
                                " twice. Each new scan joins the file's record."},
                {"parameters", Json::array({{
                    {"name", "sha256"}, {"in", "path"}, {"required", true},
                    {"schema", {{"type", "string"}, {"pattern", "^[0-9a-fA-F]{64}$"}}},
                }})},
                {"responses", {
                    {"202", reply("Queued (or queued already); the report's address in Location",
                                  {{"type", "object"}, {"properties", {
                                      {"sha256", {{"type", "string"}}},
                                      {"queued", {{"type", "boolean"}}},
                                      {"report", {{"type", "string"}}}}}})},
                    {"400", reply("Not a SHA-256", ref("Error"))},
                    {"404", reply("No sample of the file is kept", ref("Error"))},
                    {"503", reply("The store could not be read or written", ref("Error"))},
                }},
            }}}},
            {"/api/v1/info", {{"get", {
                {"summary", "Files per source and verdict, the versions, and the scanner"},
                {"responses", {{"200", reply("The figures", ref("Info"))}}},
            }}}},
            {"/api/v1/unknown", {{"get", {
                {"summary", "The digests most asked for and not held (on the operator's "
                            "address, --metrics-listen, only)"},
                {"parameters", Json::array({{
                    {"name", "top"}, {"in", "query"}, {"required", false},
                    {"description", "How many, most asked first (default 100)"},
                    {"schema", {{"type", "integer"}, {"minimum", 1}}},
                }})},
                {"responses", {
                    {"200", reply("The counts", ref("Unknown"))},
                    {"400", reply("top is not a whole number from 1", ref("Error"))},
                }},
            }}}},
            {"/api/v1/retrohunt", {{"post", {
                {"summary", "Starts a retro-hunt: YARA rules over every kept sample and its "
                            "archives' members (on the operator's address only; one at a time)"},
                {"requestBody", {{"required", true}, {"content", {{"text/plain",
                    {{"schema", {{"type", "string"}, {"maxLength", 1 << 20}}}}}}}}},
                {"responses", {
                    {"202", {{"description", "Started; Location names the hunt"},
                             {"headers", {{"Location", {{"schema", {{"type", "string"}}}}}}},
                             {"content", json_content({{"type", "object"}, {"required", {"id"}},
                                 {"properties", {{"id", {{"type", "string"}}}}}})}}},
                    {"400", reply("The rules do not compile; the compiler's message", ref("Error"))},
                    {"404", reply("No samples are kept (serve --samples)", ref("Error"))},
                    {"409", reply("A retro-hunt runs already", ref("Error"))},
                    {"413", reply("Rules larger than 1 MiB", ref("Error"))},
                }},
            }}}},
            {"/api/v1/retrohunt/{id}", {{"get", {
                {"summary", "How a retro-hunt stands and what it found"},
                {"parameters", Json::array({{
                    {"name", "id"}, {"in", "path"}, {"required", true},
                    {"schema", {{"type", "string"}, {"pattern", "^[0-9a-f]{32}$"}}},
                }})},
                {"responses", {
                    {"200", reply("The hunt", ref("Hunt"))},
                    {"404", reply("No such hunt", ref("Error"))},
                }},
            }}}},
        }},
        {"components", {{"schemas", schemas()},
                        {"securitySchemes", {{"key", {
                            {"type", "http"}, {"scheme", "bearer"},
                            {"description", "A key the operator listed with --api-keys"}}}}}}},
    };
    add_hashlookup_paths(description["paths"]);
    WebResponse response;
    response.content_type = "application/json";
    response.body = description.dump(1, ' ') + '\n';
    return response;
}
