// The JSON API for scripts, under /api/v1/. Bodies are built and read with
// nlohmann-json; names from imported lists that are not valid UTF-8 come out
// with U+FFFD in place of the bad bytes.
#pragma once

#include <cstddef>
#include <string_view>

#include "service/store/digest_text.h"
#include "service/scan/scanner.h"
#include "service/store/store.h"
#include "service/web/message.h"

// The most digests one bulk request may ask about.
inline constexpr std::size_t kBulkMax = 1000;

// GET /api/v1/{md5,sha1,sha256}/<hex>: 200 with the record, 404, or 400 when
// `hex` is not a digest of that kind.
WebResponse api_find(DigestKind kind, std::string_view hex, Store& store);

// POST /api/v1/bulk/md5 with a JSON array of at most kBulkMax MD5 digests:
// 200 with an array of the records held, in the order asked, each once.
WebResponse api_bulk_md5(std::string_view body, Store& store);

// 200 with the record of one file, its scans included.
WebResponse api_record(const FileRecord& record);

// GET /api/v1/info: files per source and verdict, the versions, the number of
// scans, and the scanner (reachable or not, its versions) when there is one.
WebResponse api_info(Store& store, std::string_view service_version, Scanner* scanner);

// GET /api/v1/openapi.json: this API described in OpenAPI 3.
WebResponse api_openapi(std::string_view service_version);

// A JSON body {"error": message} with `status`.
WebResponse api_error(unsigned status, std::string_view message);
