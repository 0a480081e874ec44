// The JSON API for scripts, under /api/v1/. Bodies are built and read with
// nlohmann-json; names from imported lists that are not valid UTF-8 come out
// with U+FFFD in place of the bad bytes.
#pragma once

#include <cstddef>
#include <string_view>

#include "service/store/digest_text.h"
#include "service/analysis/scanner.h"
#include "service/samples/sample_store.h"
#include "service/store/store.h"
#include "service/web/message.h"
#include "service/web/unknown_digests.h"

// The most digests one bulk request may ask about.
inline constexpr std::size_t kBulkMax = 1000;

// The most bytes a bulk request's body of `kind` may have: kBulkMax digests,
// each quoted and set apart by a comma and some white space, in a small
// envelope.
std::size_t bulk_body_limit(DigestKind kind);

// "md5", "sha1" or "sha256", as in the API's paths.
std::string_view kind_name(DigestKind kind);

// GET /api/v1/{md5,sha1,sha256}/<hex>: 200 with the record, 404, or 400 when
// `hex` is not a digest of that kind. A digest not held is counted in
// `unknown` (when not null), as in the two routes below. A record says
// whether its file's bytes are kept in `samples` (null: none kept), its own
// or inside a kept archive.
WebResponse api_find(DigestKind kind, std::string_view hex, Store& store, UnknownDigests* unknown,
                     const SampleStore* samples = nullptr);

// POST /api/v1/bulk/{md5,sha1,sha256} with a JSON array of at most kBulkMax
// digests of that kind: 200 with an array of the records held, in the order
// asked, each once.
WebResponse api_bulk(DigestKind kind, std::string_view body, Store& store, UnknownDigests* unknown,
                     const SampleStore* samples = nullptr);

// GET /api/v1/unknown?top=N: the digests most asked for and not held, with
// their counts, error bounds and first and last asks.
WebResponse api_unknown(const UnknownDigests::Listing& listing);

// 200 with the record of one file, its scans included; with `store`, its
// members as a tree with each one's verdict.
WebResponse api_record(const FileRecord& record, Store* store = nullptr,
                       const SampleStore* samples = nullptr);

// GET /api/v1/info: files per source and verdict, the versions, the number of
// scans, and the scanner (reachable or not, its versions) when there is one.
WebResponse api_info(Store& store, std::string_view service_version, Scanner* scanner);

// GET /api/v1/openapi.json: this API described in OpenAPI 3.
WebResponse api_openapi(std::string_view service_version);

// A JSON body {"error": message} with `status`.
WebResponse api_error(unsigned status, std::string_view message);

// 202: the kept sample of `sha256_hex` is queued to be analysed again; its
// report, when the store holds one, at `report`.
WebResponse api_rescan_queued(std::string_view sha256_hex, std::string_view report);
