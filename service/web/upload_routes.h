// The upload routes: POST /scan (a person's form, multipart/form-data, one
// file field named "file"; 303 to the file's report) and POST /api/v1/scan
// (the file's bytes as the body, ?name= its name; 200 with its record). Each
// upload runs as a job of a scan pool, off the threads that answer look-ups:
// its body is read as it comes, bounded in size and in the time any piece may
// take, streamed to clamd and digested in the same pass and held in memory;
// then the other analysers work on it beside clamd, and an archive's members
// go through them in turn. With a gate, nothing of a refused upload is read
// past its key: the API's comes in its header, checked before the job
// starts; the form's comes in its `key` field before the file, checked
// before the file's first byte reaches an analyser. Digests, names, types,
// the scans' results and the archives' member lists are kept; with a sample
// store, the upload's own bytes too, once its analysis is stored (an
// archive's members are not kept apart: they are in their archive). An
// engine that scanned the file
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
#include "service/web/upload_gate.h"

struct ScanOptions {
    std::uint64_t max_bytes = 25u << 20;  // clamd's own default stream limit
    unsigned      jobs = 2;
    std::chrono::milliseconds read_timeout{10000};  // the longest a client may stall
    Metrics* metrics = nullptr;  // counts the uploads' replies and scans, and clamd's availability
    YaraRules* yara = nullptr;   // --yara-rules: none, no YARA
    std::chrono::seconds yara_timeout{60};
    ExtractLimits extract;
    SampleStore* samples = nullptr;  // --samples: each upload kept once stored; none, none kept
    // Who may upload (keys, the bound per client); null: everyone, unbounded.
    UploadGate* gate = nullptr;
};

class UploadScans final : public UploadRoutes {
public:
    // `stores`: one per job, opened in StoreMode::Service, outliving this.
    UploadScans(Scanner& scanner, const ScanOptions& options,
                std::vector<std::unique_ptr<Store>>& stores);

    bool handles(std::string_view target) const override;
    std::optional<WebResponse> take(UploadStart& start) override;

private:
    // `client`: the key's name when the gate admitted the upload already;
    // nothing when the form's key field is still to be checked.
    void scan(Store& store, UploadStart& start, std::optional<std::string> client);
    void keep_sample(const UploadedFile& file, std::span<const unsigned char> bytes);

    ScanOptions options_;
    std::vector<std::unique_ptr<Store>>& stores_;
    std::vector<std::unique_ptr<Analyser>> analysers_;
    // Last: its threads end, their scans finished, before the rest goes.
    ScanPool pool_;
};
