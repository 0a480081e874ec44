// Kept samples analysed again when the signatures change, and on request.
//
// A watcher asks the analysers what they scan with (clamd's VERSION, the
// YARA rule set in force) every few minutes and after the rules are
// compiled again. When an analyser has signatures the queue was not filled
// for, every kept sample that no scan with them answers for is queued in the
// store: the most asked first, by the asks counted for held files, then the
// newest kept. Workers, at most a few, take samples from the queue one at a
// time and put each through the uploads' own pipeline, at idle priority and
// resting between samples as long as each took, so that look-ups keep their
// speed. Each new scan joins the file's history; a verdict that moves is
// logged and counted. The queue lives in the store, so a restart goes on
// where it stopped, and a sample whose worker died is taken again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "service/analysis/analysers.h"
#include "service/analysis/pipeline.h"
#include "service/samples/sample_store.h"
#include "service/store/store.h"
#include "service/web/heavy_hitters.h"
#include "service/web/metrics.h"

// How often each held file was asked for lately, in bounded memory, by the
// digest asked (its MD5, SHA-1 or SHA-256): the order in which samples are
// analysed again.
class AskCounts {
public:
    explicit AskCounts(std::size_t capacity) : summary_(capacity) {}
    void asked(std::span<const unsigned char> digest);
    // The counts now, by the digest's bytes.
    std::unordered_map<std::string, std::uint64_t> counts() const;

private:
    mutable std::mutex mutex_;
    HeavyHitters summary_;
};

// What the routes ask of the scans again.
class RescanRequests {
public:
    virtual ~RescanRequests() = default;
    // Queues the kept sample `sha256` ahead of those the watcher queued; one
    // queued already is not queued twice.
    virtual StoreStatus request(const Sha256Bytes& sha256, std::string& error) = 0;
};

struct RescanSettings {
    unsigned             jobs = 1;             // --rescan-jobs
    std::chrono::seconds check_every{300};     // --signature-check
    ExtractLimits        extract;
    YaraRules*           yara = nullptr;
    std::chrono::seconds yara_timeout{60};
};

class Rescans final : public RescanRequests {
public:
    // `stores`: settings.jobs + 2 connections in StoreMode::Service (the
    // watcher's, the requests', then one per worker), moved in. `asks` may
    // be null: then the newest go first.
    Rescans(Scanner& scanner, SampleStore& samples, std::vector<std::unique_ptr<Store>> stores,
            Metrics& metrics, const AskCounts* asks, const RescanSettings& settings);
    ~Rescans() override;
    Rescans(const Rescans&) = delete;
    Rescans& operator=(const Rescans&) = delete;

    StoreStatus request(const Sha256Bytes& sha256, std::string& error) override;
    // Asks the analysers again now, as after the rules were compiled again.
    void check_now();
    // Ends the watcher and the workers, each after the sample in its hands.
    void stop();

private:
    void watch();
    void work(Store& store);
    // Fills the queue for the analysers whose signatures changed; false on
    // a failure, to be tried again at the next check.
    bool check(Store& store);
    enum class Outcome { Done, Dropped, Retry };
    Outcome analyse(Store& store, const RescanItem& item);

    SampleStore& samples_;
    std::vector<std::unique_ptr<Store>> stores_;
    Metrics& metrics_;
    const AskCounts* asks_;
    RescanSettings settings_;
    std::vector<std::unique_ptr<Analyser>> analysers_;
    bool unanswered_ = false;   // the watcher's: an analyser did not say what it scans with
    std::mutex request_mutex_;  // the requests' store, shared by the routes' threads

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool check_asked_ = false;
    std::uint64_t work_signal_ = 0;  // moves each time samples are queued
    std::vector<std::thread> threads_;
};
