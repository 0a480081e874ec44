#include "service/web/metrics.h"

#include <cstdio>
#include <type_traits>
#include <utility>

namespace {

constexpr std::memory_order relaxed = std::memory_order_relaxed;

void family(std::string& out, std::string_view name, std::string_view type, std::string_view help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// A sample line; `labels` is empty or `a="x",b="y"`, of our own texts only.
template <typename Number>
void sample(std::string& out, std::string_view name, std::string_view labels, Number value)
{
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    if constexpr (std::is_floating_point_v<Number>) {
        char text[32];
        std::snprintf(text, sizeof text, "%.9g", value);
        out += text;
    } else {
        out += std::to_string(value);
    }
    out += '\n';
}

std::string bound_text(double bound)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", bound);
    return text;
}

}  // namespace

Metrics::Metrics(std::span<const std::string_view> routes)
{
    for (const std::string_view name : routes) {
        routes_.push_back(std::make_unique<Route>());
        routes_.back()->name = name;
    }
    for (const char* name : {"none", "other"}) {
        routes_.push_back(std::make_unique<Route>());
        routes_.back()->name = name;
    }
}

Metrics::Route& Metrics::route_for(std::string_view label)
{
    if (label.empty())
        return *routes_[routes_.size() - 2];
    for (std::size_t i = 0; i + 2 < routes_.size(); ++i)
        if (routes_[i]->name == label)
            return *routes_[i];
    return *routes_.back();
}

void Metrics::replied(std::string_view route, unsigned status, std::chrono::nanoseconds took)
{
    Route& counted = route_for(route);
    if (status >= 100 && status < 600)
        counted.by_status[status - 100].fetch_add(1, relaxed);
    const double seconds = std::chrono::duration<double>(took).count();
    for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i)
        if (seconds <= kLatencyBuckets[i]) {
            counted.buckets[i].fetch_add(1, relaxed);
            break;
        }
    counted.count.fetch_add(1, relaxed);
    counted.nanoseconds.fetch_add(static_cast<std::uint64_t>(took.count()), relaxed);
}

void Metrics::scanned(std::string_view result)
{
    for (std::size_t i = 0; i < kScanResults.size(); ++i)
        if (kScanResults[i] == result)
            scans_[i].fetch_add(1, relaxed);
}

void Metrics::store_files(const std::array<std::uint64_t, 3>& by_verdict)
{
    for (std::size_t i = 0; i < by_verdict.size(); ++i)
        store_files_[i].store(by_verdict[i], relaxed);
    store_files_known_.store(true);
}

void Metrics::uploaded_by_key(const std::string& key)
{
    const std::lock_guard lock(by_key_mutex_);
    ++uploads_by_key_[key];
}

std::string Metrics::exposition() const
{
    std::string out;
    out.reserve(8192);

    constexpr std::string_view requests = "brantwicker_http_requests_total";
    family(out, requests, "counter", "Requests answered, by route and status.");
    for (const auto& route : routes_)
        for (unsigned status = 100; status < 600; ++status)
            if (const std::uint64_t n = route->by_status[status - 100].load(relaxed))
                sample(out, requests,
                       "route=\"" + route->name + "\",status=\"" + std::to_string(status) + "\"", n);

    constexpr std::string_view latency = "brantwicker_http_request_duration_seconds";
    family(out, latency, "histogram",
           "Time from a request read whole to its reply handed to the kernel, by route.");
    for (const auto& route : routes_) {
        const std::uint64_t count = route->count.load(relaxed);
        if (count == 0)
            continue;
        const std::string label = "route=\"" + route->name + "\"";
        // Buckets are cumulative: each counts every request at or below it.
        std::uint64_t below = 0;
        for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
            below += route->buckets[i].load(relaxed);
            sample(out, std::string(latency) + "_bucket",
                   label + ",le=\"" + bound_text(kLatencyBuckets[i]) + "\"", below);
        }
        sample(out, std::string(latency) + "_bucket", label + ",le=\"+Inf\"", count);
        sample(out, std::string(latency) + "_sum", label,
               static_cast<double>(route->nanoseconds.load(relaxed)) / 1e9);
        sample(out, std::string(latency) + "_count", label, count);
    }

    family(out, "brantwicker_open_connections", "gauge", "Connections open now.");
    sample(out, "brantwicker_open_connections", "", open_connections_.load(relaxed));
    family(out, "brantwicker_connections_refused_total", "counter",
           "Connections answered 503 or closed at the connection bound.");
    sample(out, "brantwicker_connections_refused_total", "", refused_.load(relaxed));
    family(out, "brantwicker_store_errors_total", "counter",
           "Requests the store could not answer (each answered 503).");
    sample(out, "brantwicker_store_errors_total", "", store_errors_.load(relaxed));

    family(out, "brantwicker_scans_total", "counter", "Uploads scanned, by result.");
    for (std::size_t i = 0; i < kScanResults.size(); ++i)
        sample(out, "brantwicker_scans_total", "result=\"" + std::string(kScanResults[i]) + "\"",
               scans_[i].load(relaxed));
    family(out, "brantwicker_scanner_up", "gauge",
           "1 when the scanner answers, 0 when it does not or none is configured.");
    sample(out, "brantwicker_scanner_up", "", scanner_up_.load(relaxed));
    {
        const std::lock_guard lock(by_key_mutex_);
        if (!uploads_by_key_.empty()) {
            constexpr std::string_view by_key = "brantwicker_uploads_by_key_total";
            family(out, by_key, "counter", "Uploads admitted, by the name of the key they came with.");
            for (const auto& [key, n] : uploads_by_key_)
                sample(out, by_key, "key=\"" + key + "\"", n);
        }
    }
    if (yara_known_.load()) {
        family(out, "brantwicker_yara_rule_files", "gauge",
               "YARA rule files of the last load, compiled and left out for an error.");
        sample(out, "brantwicker_yara_rule_files", "state=\"compiled\"", yara_compiled_.load(relaxed));
        sample(out, "brantwicker_yara_rule_files", "state=\"left_out\"", yara_left_out_.load(relaxed));
    }

    family(out, "brantwicker_rescans_total", "counter",
           "Kept samples analysed again, and those that could not be.");
    sample(out, "brantwicker_rescans_total", "result=\"done\"", rescans_done_.load(relaxed));
    sample(out, "brantwicker_rescans_total", "result=\"failed\"", rescans_failed_.load(relaxed));
    family(out, "brantwicker_verdict_changes_total", "counter",
           "Verdicts changed by a scan again of a kept sample, from and to.");
    constexpr std::string_view verdicts[] = {"unknown", "good", "bad"};  // Verdict's order
    for (std::size_t from = 0; from < 3; ++from)
        for (std::size_t to = 0; to < 3; ++to)
            if (from != to)
                sample(out, "brantwicker_verdict_changes_total",
                       "from=\"" + std::string(verdicts[from]) + "\",to=\"" + std::string(verdicts[to]) + "\"",
                       verdict_changes_[from * 3 + to].load(relaxed));

    if (store_files_known_.load()) {
        family(out, "brantwicker_store_files", "gauge",
               "Files in the store by verdict, read at most once a minute.");
        for (const auto& [index, name] : {std::pair{1, "good"}, {2, "bad"}, {0, "unknown"}})
            sample(out, "brantwicker_store_files", std::string("verdict=\"") + name + "\"",
                   store_files_[static_cast<std::size_t>(index)].load(relaxed));
    }

    if (samples_known_.load()) {
        family(out, "brantwicker_samples_kept", "gauge",
               "Uploads kept as samples in the samples folder.");
        sample(out, "brantwicker_samples_kept", "", samples_kept_.load(relaxed));
        family(out, "brantwicker_samples_bytes", "gauge",
               "Bytes the kept samples take on disk, compressed.");
        sample(out, "brantwicker_samples_bytes", "", samples_bytes_.load(relaxed));
        family(out, "brantwicker_sample_faults_total", "counter",
               "Uploads analysed whose sample could not be kept.");
        sample(out, "brantwicker_sample_faults_total", "", sample_faults_.load(relaxed));
    }
    return out;
}
