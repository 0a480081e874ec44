// Every route of the service: one call from a parsed request to a response.
#pragma once

#include <chrono>
#include <span>
#include <string_view>

#include "service/analysis/scanner.h"
#include "service/store/store.h"
#include "service/web/hashlookup_routes.h"
#include "service/web/health.h"
#include "service/web/message.h"
#include "service/web/metrics.h"
#include "service/web/unknown_digests.h"
#include "service/web/upload_gate.h"
#include "service/samples/sample_store.h"
#include "service/web/rescans.h"

class HuntRunner;

// What the routes use beside the store. A part left null is switched off.
struct RouteContext {
    std::string_view service_version;
    unsigned worker = 0;                      // the thread asking, for the health probes
    UnknownDigests* unknown = nullptr;        // --unknown-top off: nothing counted or listed
    std::span<const HealthCheck> health;      // what GET /healthz asks
    const Metrics* metrics = nullptr;         // what GET /metrics shows
    // With a scanner, the search page offers uploads and the information page
    // reports it; the uploads themselves are taken by upload_routes.h.
    Scanner* scanner = nullptr;
    // What the hash-lookup routes use: the look-up sessions (null: none
    // kept) and their time to live, whether /stats/top answers on the public
    // port, and the Bloom filter on offer (null: --bloom off).
    LiveStore* sessions = nullptr;
    std::chrono::seconds session_ttl{86400};
    bool public_stats = false;
    const PublishedBloom* bloom = nullptr;
    // Who may ask for work (scans again, retro-hunts); null: everyone.
    UploadGate* gate = nullptr;
    // The kept samples; null: none kept (--samples off).
    SampleStore* samples = nullptr;
    // The retro-hunts over the kept samples, with `sessions` as the live
    // store they are kept in; null: none (no kept samples).
    HuntRunner* hunts = nullptr;
    // Where a kept sample is queued to be analysed again; null: nowhere.
    RescanRequests* rescans = nullptr;
    // Counts the look-ups that found a file (its report, the API by
    // digest); null: not counted.
    AskCounts* asks = nullptr;
};

// Answers `request` from `store`. HEAD is answered as GET; the edge leaves
// out the body. Unknown paths get 404, known paths with another method 405.
// The operator's routes (/metrics, the unknown digests) answer only on the
// operator's address, and there only they and /healthz do. The response
// carries its route's name, one of route_names().
WebResponse route(const WebRequest& request, Store& store, const RouteContext& context);

// The most bytes a request's body for `target` may have: the bulk routes'
// bound follows from their digest bound, the others take `base`.
std::size_t request_body_limit(std::string_view target, std::size_t base);

// The names routes give their responses, for the metrics.
std::span<const std::string_view> route_names();
