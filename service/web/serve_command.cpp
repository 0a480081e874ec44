// brantwicker-service serve DB [--replica URI]... [--listen ADDR:PORT] [--threads N]
//                              [--read-timeout SECONDS] [--max-connections N]
//                              [--clamd SOCKET|HOST:PORT] [--scan-jobs N]
//                              [--scan-max-bytes N] [--scan-timeout SECONDS]
//                              [--metrics-listen ADDR:PORT] [--unknown-top N|off]
//                              [--public-stats] [--session-ttl SECONDS] [--bloom on|off]
//
// Each worker thread has its own read-only connection to the store: a
// connection is never used by two threads at once, and each request reads
// afresh, so an import shows as soon as it commits. With clamd, each scan job
// has a connection of its own too, the one that writes the service's records.
// A housekeeping thread, with a connection of its own, reads the store's
// totals for the metrics and writes the unknown digests' counts to the live
// store (SQLite's live file, or the PostgreSQL primary) once a minute, and
// once more on the way out. On PostgreSQL a worker reads from the replicas,
// in turn from its own first one, and from the primary when none answers; a
// server that does not answer within the read time-out makes the request a
// 503, never a wait past it. Scan jobs read and write on the primary alone,
// so that the report an upload is sent to shows its scan however far a
// replica lags; the counts of unknown digests are added to the primary's,
// which every instance shares. Look-up sessions are kept in the same place
// as those counts, through a connection per worker; the Bloom filter on
// offer is made by a thread with a store connection of its own.
#include "service/commands.h"
#include "service/store/store.h"
#include "service/web/routes.h"
#include "service/web/server.h"
#include "service/web/bloom_publisher.h"
#include "service/web/upload_routes.h"
#include "service/web/unknown_digests.h"

#include <sys/resource.h>

#include <array>
#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: brantwicker-service serve DB [--replica URI]... [--listen ADDR:PORT] [--threads N]"
    " [--read-timeout SECONDS] [--max-connections N]\n"
    "       [--clamd SOCKET|HOST:PORT] [--scan-jobs N] [--scan-max-bytes N] [--scan-timeout SECONDS]\n"
    "       [--metrics-listen ADDR:PORT] [--unknown-top N|off]\n"
    "       [--public-stats] [--session-ttl SECONDS] [--bloom on|off]\n";

// Digests the unknown-digest summary keeps by default.
constexpr std::size_t kUnknownTopDefault = 1000;

// How often the housekeeping reads the store's totals and saves the counts.
constexpr std::chrono::seconds kHousekeepingPeriod{60};

struct ScanSettings {
    std::string clamd;  // empty: no scanning
    ScanOptions options;
    std::chrono::milliseconds clamd_timeout{60000};
};

struct ServeOptions {
    std::string   db;
    std::vector<std::string> replicas;  // PostgreSQL only
    ServerOptions server;
    ScanSettings  scan;
    std::size_t   unknown_top = kUnknownTopDefault;  // 0: off
    bool          public_stats = false;
    std::chrono::seconds session_ttl{86400};
    bool          bloom = true;
};


std::optional<unsigned long long> number(std::string_view text, unsigned long long low,
                                         unsigned long long high)
{
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// "127.0.0.1:80", "[::1]:8080".
bool parse_listen(std::string_view text, std::string& address, unsigned short& port_out)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const auto port = number(text.substr(colon + 1), 0, 65535);
    if (host.empty() || !port)
        return false;
    address = std::string(host);
    port_out = static_cast<unsigned short>(*port);
    return true;
}

bool parse_options(int argc, char** argv, ServeOptions& serve)
{
    std::string& db = serve.db;
    ServerOptions& options = serve.server;
    ScanSettings& scan = serve.scan;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--public-stats") {
            serve.public_stats = true;
            continue;
        }
        if (!arg.starts_with("--")) {
            if (!db.empty())
                return false;
            db = arg;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "brantwicker-service serve: %s needs a value\n", argv[i]);
            return false;
        }
        const std::string_view value = argv[++i];
        bool good = true;
        if (arg == "--replica") {
            good = is_postgres_location(value);
            serve.replicas.emplace_back(value);
        } else if (arg == "--listen") {
            good = parse_listen(value, options.address, options.port);
        } else if (arg == "--metrics-listen") {
            good = parse_listen(value, options.operator_address, options.operator_port) &&
                   options.operator_port != 0;
        } else if (arg == "--unknown-top") {
            const auto top = value == "off" ? 0ul : number(value, 1, 100'000);
            good = top.has_value();
            serve.unknown_top = top.value_or(0);
        } else if (arg == "--session-ttl") {
            const auto seconds = number(value, 1, 366ull * 86400);
            good = seconds.has_value();
            serve.session_ttl = std::chrono::seconds(seconds.value_or(1));
        } else if (arg == "--bloom") {
            good = value == "on" || value == "off";
            serve.bloom = value == "on";
        } else if (arg == "--threads") {
            const auto threads = number(value, 1, 256);
            good = threads.has_value();
            options.threads = static_cast<unsigned>(threads.value_or(1));
        } else if (arg == "--read-timeout") {
            const auto seconds = number(value, 1, 3600);
            good = seconds.has_value();
            options.read_timeout = std::chrono::seconds(seconds.value_or(10));
        } else if (arg == "--max-connections") {
            const auto bound = number(value, 1, 1'000'000);
            good = bound.has_value();
            options.max_connections = bound.value_or(1);
        } else if (arg == "--clamd") {
            // Empty, as a unit file passes an unset setting: no scanning.
            good = value.empty() || parse_clamd_address(value).has_value();
            scan.clamd = std::string(value);
        } else if (arg == "--scan-jobs") {
            const auto jobs = number(value, 1, 64);
            good = jobs.has_value();
            scan.options.jobs = static_cast<unsigned>(jobs.value_or(1));
        } else if (arg == "--scan-max-bytes") {
            // clamd takes at most 4 GiB in a stream.
            const auto bytes = number(value, 1, 4'294'967'295ull);
            good = bytes.has_value();
            scan.options.max_bytes = bytes.value_or(1);
        } else if (arg == "--scan-timeout") {
            const auto seconds = number(value, 1, 3600);
            good = seconds.has_value();
            scan.clamd_timeout = std::chrono::seconds(seconds.value_or(60));
        } else {
            std::fprintf(stderr, "brantwicker-service serve: unknown option %s\n", argv[i - 1]);
            return false;
        }
        if (!good) {
            std::fprintf(stderr, "brantwicker-service serve: bad value for %s: %s\n", argv[i - 1],
                         argv[i]);
            return false;
        }
    }
    if (!serve.replicas.empty() && !is_postgres_location(db)) {
        std::fputs("brantwicker-service serve: --replica needs a PostgreSQL store\n", stderr);
        return false;
    }
    return !db.empty();
}

// Every connection, and every refusal, holds a descriptor: the process may
// open as many as the hard limit allows, and the bound shrinks to fit.
void fit_descriptors(ServerOptions& options)
{
    constexpr rlim_t kReserve = 64;  // store files, the listener, standard streams
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
        (void)getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t needed = 2 * options.max_connections + options.threads + kReserve;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        const std::size_t fits =
            limit.rlim_cur > 2 * kReserve ? (limit.rlim_cur - options.threads - kReserve) / 2 : 1;
        std::fprintf(stderr, "brantwicker-service serve: %zu connections at most: the descriptor"
                             " limit is %llu\n", fits,
                     static_cast<unsigned long long>(limit.rlim_cur));
        options.max_connections = fits;
    }
}

// Reads the store's totals into the metrics and saves the unknown digests'
// counts, now and then every kHousekeepingPeriod until stop() and once more
// then. A failure is logged and tried again next time.
class Housekeeping {
public:
    Housekeeping(Store& store, LiveStore* live, UnknownDigests* unknown, Metrics& metrics)
        : store_(store), live_(live), unknown_(unknown), metrics_(metrics),
          thread_([this] { run(); })
    {
    }

    ~Housekeeping() { stop(); }

    void stop()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            lock.unlock();
            once();
            lock.lock();
            if (stopping_ || wake_.wait_for(lock, kHousekeepingPeriod, [this] { return stopping_; })) {
                lock.unlock();
                save();
                return;
            }
        }
    }

    void once()
    {
        std::array<std::uint64_t, 3> files{};
        std::string error;
        if (store_.files_by_verdict(files, error) == StoreStatus::Ok)
            metrics_.store_files(files);
        else
            report("cannot count the store's files: " + error);
        save();
    }

    void save()
    {
        if (!unknown_ || !live_)
            return;
        std::string error;
        if (unknown_->save(*live_, store_, error) != StoreStatus::Ok)
            report("cannot save the unknown digests' counts: " + error);
    }

    static void report(const std::string& what)
    {
        std::fprintf(stderr, "brantwicker-service: %s\n", what.c_str());
    }

    Store& store_;
    LiveStore* live_;
    UnknownDigests* unknown_;
    Metrics& metrics_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

int serve_command(int argc, char** argv)
{
    ServeOptions serve;
    ServerOptions& options = serve.server;
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    if (!parse_options(argc, argv, serve)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string& db = serve.db;

    // The scan jobs' connections first: the first one makes the service's
    // own file, which the look-up threads then read beside the lists. Then
    // one connection per worker, and the housekeeping's last.
    ScanSettings& scan = serve.scan;
    std::vector<std::unique_ptr<Store>> scan_stores, stores;
    const bool postgres = is_postgres_location(db);
    const auto open_stores = [&](std::vector<std::unique_ptr<Store>>& into, unsigned count,
                                 StoreMode mode) {
        for (unsigned i = 0; i < count; ++i) {
            std::string error;
            if (postgres) {
                // Workers start on different replicas, so that the reads spread.
                std::vector<std::string> mine;
                if (mode == StoreMode::ReadOnly)
                    mine = serve.replicas;
                if (!mine.empty())
                    std::rotate(mine.begin(),
                                mine.begin() + static_cast<std::ptrdiff_t>(i % mine.size()),
                                mine.end());
                into.push_back(open_postgres_store(db, mine, mode, options.read_timeout, error));
            } else {
                into.push_back(open_sqlite_store(db, mode, error));
            }
            if (!into.back()) {
                std::fprintf(stderr, "brantwicker-service serve: %s\n",
                             postgres ? error.c_str() : (db + ": " + error).c_str());
                return false;
            }
        }
        return true;
    };
    const bool scanning = !scan.clamd.empty();
    if (!open_stores(scan_stores, scanning ? scan.options.jobs : 0, StoreMode::Service)
        || !open_stores(stores, options.threads + 1, StoreMode::ReadOnly))
        return 1;
    std::unique_ptr<LiveStore> live;
    std::unique_ptr<UnknownDigests> unknown;
    if (serve.unknown_top > 0) {
        std::string error;
        live = postgres ? open_postgres_live_store(db, serve.unknown_top, options.read_timeout)
                        : open_sqlite_live_store(db, error);
        unknown = std::make_unique<UnknownDigests>(serve.unknown_top);
        if (!live || unknown->load(*live, error) != StoreStatus::Ok) {
            std::fprintf(stderr, "brantwicker-service serve: the unknown digests' counts: %s%s\n",
                         error.c_str(), postgres ? "; counting from none, added to them once the"
                                                   " primary answers"
                                                 : " (--unknown-top off serves without them)");
            // A primary away leaves the replicas to serve; a file of ours
            // that cannot be read is a fault to stop for.
            if (!postgres)
                return 1;
        }
    }
    // Sessions are the service's own writes: one connection per worker.
    std::vector<std::unique_ptr<LiveStore>> sessions;
    for (unsigned i = 0; i < options.threads; ++i) {
        std::string error;
        sessions.push_back(postgres ? open_postgres_live_store(db, std::max<std::size_t>(serve.unknown_top, 1),
                                                               options.read_timeout)
                                    : open_sqlite_live_store(db, error));
        if (!sessions.back()) {
            std::fprintf(stderr, "brantwicker-service serve: the sessions: %s\n", error.c_str());
            return 1;
        }
    }
    std::vector<std::unique_ptr<Store>> bloom_stores;
    if (serve.bloom && !open_stores(bloom_stores, 1, StoreMode::ReadOnly))
        return 1;
    fit_descriptors(options);
    options.body_limit_for = [base = options.body_limit](std::string_view target) {
        return request_body_limit(target, base);
    };

    PublishedBloom published;
    Metrics metrics(route_names());
    options.metrics = &metrics;
    std::optional<Scanner> scanner;
    std::optional<UploadScans> uploads;
    std::vector<HealthCheck> checks = {
        {"store", [&stores](unsigned worker, std::string& why) {
             return stores[worker]->probe(why) == StoreStatus::Ok;
         }},
    };
    if (scanning) {
        scanner.emplace(*parse_clamd_address(scan.clamd), scan.clamd, scan.clamd_timeout);
        scan.options.read_timeout = options.read_timeout;
        scan.options.metrics = &metrics;
        uploads.emplace(*scanner, scan.options, scan_stores);
        // What clamd said of itself a few seconds ago at most: a load
        // balancer's probe every second does not reach clamd every time.
        checks.push_back({"clamd", [&scanner, &metrics](unsigned, std::string& why) {
            const ScannerReport report = scanner->report();
            metrics.scanner_available(report.reachable);
            why = report.detail;
            return report.reachable;
        }});
    }
    const RequestHandler handler = [&](unsigned worker, const WebRequest& request) {
        const RouteContext context{BRANTWICKER_VERSION, worker, unknown.get(), checks,
                                   options.operator_port ? &metrics : nullptr,
                                   scanner ? &*scanner : nullptr, sessions[worker].get(),
                                   serve.session_ttl, serve.public_stats,
                                   serve.bloom ? &published : nullptr};
        WebResponse response = route(request, *stores[worker], context);
        if (response.status == 503 && response.route != "healthz")
            metrics.store_error();
        return response;
    };
    Housekeeping housekeeping(*stores.back(), live.get(), unknown.get(), metrics);
    std::optional<BloomPublisher> publisher;
    if (serve.bloom)
        publisher.emplace(*bloom_stores.front(), published);
    std::string error;
    const int status = run_server(options, handler, error, uploads ? &*uploads : nullptr);
    housekeeping.stop();
    if (publisher)
        publisher->stop();
    if (status != 0)
        std::fprintf(stderr, "brantwicker-service serve: %s\n", error.c_str());
    return status;
}
