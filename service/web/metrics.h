// What the service counts about itself, written out in Prometheus' text
// exposition format (version 0.0.4) for GET /metrics.
//
// Every count is a relaxed atomic, so the request path never takes a lock;
// the names of routes and scan results are fixed when the registry is made,
// so no label grows without bound.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The upper bounds of the latency histogram's buckets, in seconds.
inline constexpr std::array<double, 12> kLatencyBuckets = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5};

// Scan outcomes, for the scanner to count through scanned().
inline constexpr std::array<std::string_view, 3> kScanResults = {"clean", "infected", "error"};

class Metrics {
public:
    // `routes`: every route label the requests may carry; any other is
    // counted under "other". An empty label is the edge's own answer (a
    // request that could not be read), counted under "none".
    explicit Metrics(std::span<const std::string_view> routes);

    // The network edge.
    void connection_opened() { open_connections_.fetch_add(1, std::memory_order_relaxed); }
    void connection_closed() { open_connections_.fetch_sub(1, std::memory_order_relaxed); }
    void connection_refused() { refused_.fetch_add(1, std::memory_order_relaxed); }
    void replied(std::string_view route, unsigned status, std::chrono::nanoseconds took);

    void store_error() { store_errors_.fetch_add(1, std::memory_order_relaxed); }

    // The scanner's hooks: one scan ended with `result`, one of kScanResults;
    // whether the scanner answers. Until a scanner is configured nobody calls
    // them, and the scan counts stay 0 with the scanner down.
    void scanned(std::string_view result);
    void scanner_available(bool up) { scanner_up_.store(up ? 1 : 0, std::memory_order_relaxed); }
    // The YARA rule files the last load compiled and left out.
    void yara_rule_files(std::size_t compiled, std::size_t left_out)
    {
        yara_compiled_.store(compiled, std::memory_order_relaxed);
        yara_left_out_.store(left_out, std::memory_order_relaxed);
        yara_known_.store(true);
    }

    // One upload admitted with the key named `key`. Key names come from the
    // operator's file, so their number is bounded; addresses are never
    // counted.
    void uploaded_by_key(const std::string& key);
    // A kept sample analysed again (`changed`: its verdict moved, from
    // `from` to `to`), or one that could not be.
    void rescanned(bool done) { (done ? rescans_done_ : rescans_failed_).fetch_add(1, std::memory_order_relaxed); }
    void verdict_changed(int from, int to)
    {
        if (from >= 0 && from < 3 && to >= 0 && to < 3)
            verdict_changes_[static_cast<std::size_t>(from * 3 + to)].fetch_add(1, std::memory_order_relaxed);
    }

    // Files in the store per verdict (good, bad, unknown by Verdict's order),
    // set by whoever reads them, at most once a minute.
    void store_files(const std::array<std::uint64_t, 3>& by_verdict);

    // The kept samples: what the folder holds, as a listing of it found;
    // one sample just kept, of `bytes` on disk; one upload that could not
    // be kept. Shown once the folder has been listed.
    void samples_on_disk(std::uint64_t samples, std::uint64_t bytes)
    {
        samples_kept_.store(samples, std::memory_order_relaxed);
        samples_bytes_.store(bytes, std::memory_order_relaxed);
        samples_known_.store(true);
    }
    void sample_kept(std::uint64_t bytes)
    {
        samples_kept_.fetch_add(1, std::memory_order_relaxed);
        samples_bytes_.fetch_add(bytes, std::memory_order_relaxed);
    }
    void sample_fault() { sample_faults_.fetch_add(1, std::memory_order_relaxed); }

    // The whole exposition.
    std::string exposition() const;

private:
    struct Route {
        std::string name;
        // By status 100..599.
        std::array<std::atomic<std::uint64_t>, 500> by_status{};
        std::array<std::atomic<std::uint64_t>, kLatencyBuckets.size()> buckets{};
        std::atomic<std::uint64_t> count{0};
        std::atomic<std::uint64_t> nanoseconds{0};
    };
    Route& route_for(std::string_view label);

    std::vector<std::unique_ptr<Route>> routes_;  // the given ones, "none", then "other"
    std::atomic<std::int64_t>  open_connections_{0};
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::uint64_t> store_errors_{0};
    std::array<std::atomic<std::uint64_t>, kScanResults.size()> scans_{};
    std::atomic<int> scanner_up_{0};
    std::atomic<std::uint64_t> yara_compiled_{0}, yara_left_out_{0};
    std::atomic<bool> yara_known_{false};
    std::atomic<std::uint64_t> rescans_done_{0}, rescans_failed_{0};
    std::array<std::atomic<std::uint64_t>, 9> verdict_changes_{};  // from * 3 + to, by Verdict's order
    std::array<std::atomic<std::uint64_t>, 3> store_files_{};
    std::atomic<bool> store_files_known_{false};
    std::atomic<std::uint64_t> samples_kept_{0}, samples_bytes_{0}, sample_faults_{0};
    std::atomic<bool> samples_known_{false};
    mutable std::mutex by_key_mutex_;
    std::map<std::string, std::uint64_t> uploads_by_key_;
};
