// The upload routes: POST /scan (a person's form, multipart/form-data, one
// file field named "file"; 303 to the file's report) and POST /api/v1/scan
// (the file's bytes as the body, ?name= its name; 200 with its record). Each
// upload runs as a job of a scan pool, off the threads that answer look-ups:
// its body is read as it comes, bounded in size and in the time any piece may
// take, streamed to clamd and digested in the same pass and held in memory;
// then the other analysers work on it beside clamd, and an archive's members
// go through them in turn. Only digests, names, types, the scans' results
// and the archives' member lists are kept. An engine that scanned the file
// before with the signatures (or rules) it has now is not asked again.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "service/analysis/analysers.h"
#include "service/analysis/pipeline.h"
#include "service/analysis/scan_pool.h"
#include "service/analysis/scanner.h"
#include "service/samples/sample_store.h"
#include "service/store/store.h"
#include "service/web/metrics.h"
#include "service/web/server.h"

struct ScanOptions {
    std::uint64_t max_bytes = 25u << 20;  // clamd's own default stream limit
    unsigned      jobs = 2;
    std::chrono::milliseconds read_timeout{10000};  // the longest a client may stall
    Metrics* metrics = nullptr;  // counts the uploads' replies and scans, and clamd's availability
    YaraRules* yara = nullptr;   // --yara-rules: none, no YARA
    std::chrono::seconds yara_timeout{60};
    ExtractLimits extract;
    SampleStore* samples = nullptr;  // --samples: each upload's bytes kept there
};

class UploadScans final : public UploadRoutes {
public:
    // `stores`: one per job, opened in StoreMode::Service, outliving this.
    UploadScans(Scanner& scanner, const ScanOptions& options,
                std::vector<std::unique_ptr<Store>>& stores);

    bool handles(std::string_view target) const override;
    std::optional<WebResponse> take(UploadStart& start) override;

private:
    void scan(Store& store, UploadStart& start);

    ScanOptions options_;
    std::vector<std::unique_ptr<Store>>& stores_;
    std::vector<std::unique_ptr<Analyser>> analysers_;
    // Last: its threads end, their scans finished, before the rest goes.
    ScanPool pool_;
};
