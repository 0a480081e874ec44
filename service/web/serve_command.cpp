// brantwicker-service serve DB [OPTION]...; the options are the rows of
// kServeOptions below, which also print --help and so the man page.
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
// offer is made by a thread with a store connection of its own. SIGHUP
// reads the keys file and compiles the YARA rules again.
#include "service/command_line.h"
#include "service/commands.h"
#include "service/hunt/hunt_runner.h"
#include "service/store/store.h"
#include "service/web/routes.h"
#include "service/web/server.h"
#include "service/web/bloom_publisher.h"
#include "service/web/upload_routes.h"
#include "service/web/rescans.h"
#include "service/web/unknown_digests.h"

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <array>
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// Digests the unknown-digest summary keeps by default.
constexpr std::size_t kUnknownTopDefault = 1000;

// How often the housekeeping reads the store's totals and saves the counts.
constexpr std::chrono::seconds kHousekeepingPeriod{60};

struct ScanSettings {
    std::string clamd;  // empty: no scanning
    ScanOptions options;
    std::chrono::milliseconds clamd_timeout{60000};
    std::string yara_rules;  // empty: no YARA
    RescanSettings rescan;
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
    std::string   samples;  // empty: nothing kept, no retro-hunts
    SampleBounds  sample_bounds;
    bool          sample_bounds_given = false;
    std::string   api_keys;             // empty: no key asked for
    unsigned      uploads_per_minute = 0;  // 0: no bound
};


// "127.0.0.1:80", "[::1]:8080".
bool parse_listen(std::string_view text, std::string& address, unsigned short& port_out)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const auto port = number_in(text.substr(colon + 1), 0, 65535);
    if (host.empty() || !port)
        return false;
    address = std::string(host);
    port_out = static_cast<unsigned short>(*port);
    return true;
}

// One row per option: the parsing and the help (and so the man page) both
// come from here.
using ServeRow = OptionRow<ServeOptions>;
constexpr ServeRow kServeOptions[] = {
    {"--replica", "URI", "a PostgreSQL standby to read from (repeat for more); needs a PostgreSQL DB",
     [](ServeOptions& o, std::string_view v) { o.replicas.emplace_back(v); return is_postgres_location(v); }},
    {"--listen", "ADDR:PORT", "where to serve HTTP (default 127.0.0.1:80; port 0 picks one)",
     [](ServeOptions& o, std::string_view v) { return parse_listen(v, o.server.address, o.server.port); }},
    {"--threads", "N", "worker threads, 1-256 (default one per core)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.server.threads, v, 1, 256); }},
    {"--read-timeout", "SECONDS", "time-out for a request and for a store server, 1-3600 (default 10)",
     [](ServeOptions& o, std::string_view v) { return take_seconds(o.server.read_timeout, v, 1, 3600); }},
    {"--max-connections", "N", "connections served at once, 1-1000000 (default 512)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.server.max_connections, v, 1, 1'000'000); }},
    // Empty, as a unit file passes an unset setting: no scanning.
    {"--clamd", "SOCKET|HOST:PORT", "clamd to scan uploads with (default none: no uploads)",
     [](ServeOptions& o, std::string_view v) { o.scan.clamd = v; return v.empty() || parse_clamd_address(v).has_value(); }},
    {"--scan-jobs", "N", "uploads scanned at once, 1-64 (default 2)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.scan.options.jobs, v, 1, 64); }},
    // clamd takes at most 4 GiB in a stream.
    {"--scan-max-bytes", "N", "largest upload in bytes, up to 4294967295 (default 26214400)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.scan.options.max_bytes, v, 1, 4'294'967'295ull); }},
    {"--scan-timeout", "SECONDS", "time-out for clamd's answer, 1-3600 (default 60)",
     [](ServeOptions& o, std::string_view v) { return take_seconds(o.scan.clamd_timeout, v, 1, 3600); }},
    {"--metrics-listen", "ADDR:PORT", "where to serve /metrics and /healthz (default nowhere)",
     [](ServeOptions& o, std::string_view v) { return parse_listen(v, o.server.operator_address, o.server.operator_port) && o.server.operator_port != 0; }},
    {"--unknown-top", "N|off", "digests asked for and not held to count, 1-100000 (default 1000)",
     [](ServeOptions& o, std::string_view v) { return v == "off" ? (o.unknown_top = 0, true) : take_number(o.unknown_top, v, 1, 100'000); }},
    {"--yara-rules", "DIR", "compile every .yar and .yara file in DIR, again on SIGHUP (default none)",
     [](ServeOptions& o, std::string_view v) { o.scan.yara_rules = v; return true; }},
    {"--yara-timeout", "SECONDS", "time-out for the YARA scan of one file, 1-3600 (default 60)",
     [](ServeOptions& o, std::string_view v) { return take_seconds(o.scan.options.yara_timeout, v, 1, 3600); }},
    {"--extract-depth", "N", "archives inside archives taken apart, 0-32 (default 4)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.scan.options.extract.depth, v, 0, 32); }},
    {"--extract-max-files", "N", "members of one upload's archives analysed, 0-1000000 (default 1000)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.scan.options.extract.max_files, v, 0, 1'000'000); }},
    {"--extract-max-bytes", "N", "bytes one upload's archives may unpack to, up to 1099511627776 (default 536870912)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.scan.options.extract.max_bytes, v, 0, std::uint64_t{1} << 40); }},
    {"--rescan-jobs", "N", "kept samples analysed again at once, at low priority, 1-64 (default 1)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.scan.rescan.jobs, v, 1, 64); }},
    {"--signature-check", "SECONDS", "how often to ask the analysers for new signatures, 1-86400 (default 300)",
     [](ServeOptions& o, std::string_view v) { return take_seconds(o.scan.rescan.check_every, v, 1, 86400); }},
    {"--public-stats", "", "answer /stats/top on the public port too (default: the operator's address only)",
     [](ServeOptions& o, std::string_view) { o.public_stats = true; return true; }},
    {"--session-ttl", "SECONDS", "how long a hash-lookup session lives, 1-31622400 (default 86400)",
     [](ServeOptions& o, std::string_view v) { return take_seconds(o.session_ttl, v, 1, 366ull * 86400); }},
    {"--api-keys", "FILE", "uploads need one of the keys FILE lists, each line NAME SHA256-OF-KEY (default none: no key asked)",
     [](ServeOptions& o, std::string_view v) { o.api_keys = v; return !v.empty(); }},
    {"--uploads-per-minute", "N", "uploads one key, or one address without keys, may start in a minute, 1-10000 (default no bound)",
     [](ServeOptions& o, std::string_view v) { return take_number(o.uploads_per_minute, v, 1, RateWindow::kPerMinuteMax); }},
    {"--bloom", "on|off", "offer the known SHA-1s as a Bloom filter at /bloom/known-sha1.bloom (default on)",
     [](ServeOptions& o, std::string_view v) { o.bloom = v == "on"; return v == "on" || v == "off"; }},
    // Empty, as a unit file passes an unset setting: nothing kept.
    {"--samples", "DIR", "keep each upload, compressed, in DIR (default none: nothing kept)",
     [](ServeOptions& o, std::string_view v) { o.samples = v; return true; }},
    {"--samples-max-bytes", "N", "most bytes the samples take on disk, the oldest dropped first (default 0: no bound)",
     [](ServeOptions& o, std::string_view v) { o.sample_bounds_given = true; return take_number(o.sample_bounds.max_bytes, v, 0, UINT64_MAX); }},
    {"--samples-days", "N", "days a sample is kept, 0-36600 (default 0: no bound)",
     [](ServeOptions& o, std::string_view v) { o.sample_bounds_given = true; return take_number(o.sample_bounds.days, v, 0, 36600); }},
};

constexpr CommandTable<ServeOptions> kServeCommand{
    "serve", "DB [OPTION]...",
    "Serves the reports of the store DB (an SQLite file, or a PostgreSQL URI) over HTTP:\n"
    "the pages the desktop program opens, the JSON API and, with clamd, uploads.",
    kServeOptions,
    [](ServeOptions& o, std::string_view v, std::string& why) {
        why = "one store only: '" + std::string(v) + "' after '" + o.db + "'";
        return o.db.empty() ? (o.db = v, true) : false;
    },
    [](const ServeOptions& o, std::string& why) {
        why = o.db.empty() ? "no store given (DB)" : "--replica needs a PostgreSQL store";
        return !o.db.empty() && (o.replicas.empty() || is_postgres_location(o.db));
    },
};

// Every connection, and every refusal, holds two descriptors: the process may
// open as many as the hard limit allows. The limit, or nothing when there is
// none.
std::optional<std::uint64_t> descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return std::nullopt;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
        (void)getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return std::nullopt;
    return limit.rlim_cur;
}

// The descriptors this process holds now; nothing where /proc cannot tell.
std::optional<std::uint64_t> descriptors_open()
{
    std::error_code error;
    std::uint64_t open = 0;
    for (std::filesystem::directory_iterator at("/proc/self/fd", error), end; !error && at != end;
         at.increment(error))
        ++open;
    return error ? std::nullopt : std::optional(open);
}

// Whether one connection fits in `limit` beside the `taken` descriptors;
// says so when not.
bool room_for_one(std::uint64_t limit, std::uint64_t taken, unsigned threads)
{
    if (connections_within(limit, taken, 1) != 0)
        return true;
    std::fprintf(stderr, "brantwicker-service serve: the descriptor limit %llu leaves no room for a"
                         " connection beside %u threads; raise the limit or lower --threads\n",
                 static_cast<unsigned long long>(limit), threads);
    return false;
}

// Shrinks the connection bound to what fits in `limit` beside the `taken`
// descriptors.
void fit_descriptors(ServerOptions& options, std::uint64_t limit, std::uint64_t taken)
{
    const std::size_t fits = connections_within(limit, taken, options.max_connections);
    if (fits < options.max_connections) {
        std::fprintf(stderr, "brantwicker-service serve: %zu connections at most: the descriptor"
                             " limit is %llu\n", fits, static_cast<unsigned long long>(limit));
        options.max_connections = fits;
    }
}

// Reads the store's totals into the metrics and saves the unknown digests'
// counts, now and then every kHousekeepingPeriod until stop() and once more
// then. A failure is logged and tried again next time.
class Housekeeping {
public:
    Housekeeping(Store& store, LiveStore* live, UnknownDigests* unknown, Metrics& metrics,
                 SampleStore* samples)
        : store_(store), live_(live), unknown_(unknown), metrics_(metrics), samples_(samples),
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
        prune();
    }

    // Keeps the samples within their bounds.
    void prune()
    {
        if (!samples_)
            return;
        PruneResult pruned;
        std::string error;
        if (!samples_->prune(std::time(nullptr), pruned, error))
            report("the samples folder: " + error);
        else
            metrics_.samples_on_disk(pruned.left.samples, pruned.left.bytes);
        if (pruned.dropped || pruned.temps_dropped)
            report("the samples folder: " + std::to_string(pruned.dropped) +
                   " samples past their bounds and " + std::to_string(pruned.temps_dropped) +
                   " files a crashed write left dropped");
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
    SampleStore* samples_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// Waits for SIGHUP, which every thread blocks, and on each reads the keys
// file and compiles the YARA rules again, until stop(). A keys file that no
// longer reads leaves the keys read before in force.
class RuleReloads {
public:
    RuleReloads(YaraRules* rules, Metrics& metrics, sigset_t signals, UploadGate* gate,
                std::string keys_path)
        : rules_(rules), metrics_(metrics), signals_(signals), gate_(gate),
          keys_path_(std::move(keys_path)), thread_([this] { run(); })
    {
    }
    // Told after each compilation, from the reloads' thread.
    void on_reload(std::function<void()> then)
    {
        const std::lock_guard lock(mutex_);
        then_ = std::move(then);
    }
    ~RuleReloads() { stop(); }
    RuleReloads(const RuleReloads&) = delete;
    RuleReloads& operator=(const RuleReloads&) = delete;

    void stop()
    {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        const timespec pause{0, 200'000'000};
        while (!stopping_) {
            if (sigtimedwait(&signals_, nullptr, &pause) != SIGHUP)
                continue;
            if (gate_ && !keys_path_.empty())
                load_keys();
            if (!rules_ && keys_path_.empty()) {
                std::fputs("brantwicker-service: SIGHUP: no YARA rules to compile again\n", stderr);
                continue;
            }
            if (rules_)
                load(*rules_, metrics_);
            const std::lock_guard lock(mutex_);
            if (then_)
                then_();
        }
    }

    void load_keys()
    {
        std::vector<ApiKey> keys;
        std::string error;
        if (!read_api_keys(keys_path_, keys, error)) {
            std::fprintf(stderr, "brantwicker-service: SIGHUP: %s; the keys read before stay\n",
                         error.c_str());
            return;
        }
        std::fprintf(stderr, "brantwicker-service: SIGHUP: %zu keys read from %s\n", keys.size(),
                     keys_path_.c_str());
        gate_->replace_keys(std::move(keys));
    }

public:
    static bool load(YaraRules& rules, Metrics& metrics)
    {
        std::vector<std::string> log;
        const bool loaded = rules.load(log);
        for (const std::string& line : log)
            std::fprintf(stderr, "brantwicker-service: %s\n", line.c_str());
        const std::shared_ptr<const CompiledRules> set = rules.current();
        metrics.yara_rule_files(set ? set->files : 0, rules.errors().size());
        return loaded;
    }

private:
    YaraRules* rules_;
    Metrics& metrics_;
    sigset_t signals_;
    UploadGate* gate_;
    std::string keys_path_;
    std::mutex mutex_;
    std::function<void()> then_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace

int serve_command(int argc, char** argv)
{
    ServeOptions serve;
    ServerOptions& options = serve.server;
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    if (const Parsed parsed = parse_command_line(kServeCommand, argc, argv, serve);
        parsed != Parsed::Run)
        return parsed_status(parsed);
    const std::string& db = serve.db;
    if (serve.samples.empty() && serve.sample_bounds_given) {
        std::fputs("brantwicker-service serve: --samples-max-bytes and --samples-days need"
                   " --samples\n", stderr);
        return 2;
    }
    // Who may upload: with a keys file that does not read, the service does
    // not start, rather than take uploads from anyone.
    std::vector<ApiKey> api_keys;
    if (std::string why; !serve.api_keys.empty() && !read_api_keys(serve.api_keys, api_keys, why)) {
        std::fprintf(stderr, "brantwicker-service serve: --api-keys: %s\n", why.c_str());
        return 2;
    }
    // Blocked before any thread starts, so that every thread inherits it and
    // only the reloads' thread takes it.
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);

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
    // Before the stores open, a guess at what they hold says plainly that a
    // limit has no room, rather than a store failing to open; once they are
    // open, what they hold is counted.
    constexpr std::uint64_t kStoreReserve = 64;  // and the listeners, the standard streams
    constexpr std::uint64_t kEdgeReserve = 16;   // the listeners, the loop's own, the log
    const std::optional<std::uint64_t> limit = descriptor_limit();
    if (limit && !room_for_one(*limit, options.threads + kStoreReserve, options.threads))
        return 1;
    // The scans again: the watcher's connection, the requests', one per job.
    // Without clamd, kept samples are only hunted through, never scanned.
    std::vector<std::unique_ptr<Store>> rescan_stores;
    const bool keeping = !serve.samples.empty() && scanning;
    if (!open_stores(scan_stores, scanning ? scan.options.jobs : 0, StoreMode::Service)
        || !open_stores(stores, options.threads + 1, StoreMode::ReadOnly)
        || !open_stores(rescan_stores, keeping ? scan.rescan.jobs + 2 : 0, StoreMode::Service))
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
    if (limit) {
        // Each scan job holds a connection to clamd besides.
        const std::optional<std::uint64_t> open = descriptors_open();
        const std::uint64_t taken = open ? *open + (scanning ? scan.options.jobs : 0) + kEdgeReserve
                                         : options.threads + kStoreReserve;
        if (!room_for_one(*limit, taken, options.threads))
            return 1;
        fit_descriptors(options, *limit, taken);
    }
    options.body_limit_for = [base = options.body_limit](std::string_view target) {
        return request_body_limit(target, base);
    };

    PublishedBloom published;
    Metrics metrics(route_names());
    options.metrics = &metrics;
    // Before the uploads, which use them until their last job ends.
    std::unique_ptr<SampleStore> samples;
    std::optional<YaraRules> yara;
    // Before the uploads too, whose jobs ask it until the last one ends.
    std::optional<UploadGate> gate;
    std::optional<Scanner> scanner;
    std::optional<UploadScans> uploads;
    std::vector<HealthCheck> checks = {
        {"store", [&stores](unsigned worker, std::string& why) {
             return stores[worker]->probe(why) == StoreStatus::Ok;
         }},
    };
    if (scanning && !scan.yara_rules.empty()) {
        // A folder with nothing that compiles yet still serves: the rules
        // may be fixed and loaded with SIGHUP.
        yara.emplace(scan.yara_rules);
        RuleReloads::load(*yara, metrics);
        scan.options.yara = &*yara;
    } else if (!scan.yara_rules.empty()) {
        std::fputs("brantwicker-service serve: --yara-rules needs --clamd\n", stderr);
        return 2;
    }
    if (!serve.api_keys.empty() || serve.uploads_per_minute > 0) {
        gate.emplace(std::move(api_keys), serve.uploads_per_minute);
        scan.options.gate = &*gate;
    }
    RuleReloads reloads(yara ? &*yara : nullptr, metrics, hangup, gate ? &*gate : nullptr,
                        serve.api_keys);
    // A folder that cannot be made or written is refused at start, not found
    // out at the first upload.
    if (!serve.samples.empty()) {
        std::string error;
        samples = SampleStore::open(serve.samples, serve.sample_bounds, error);
        if (!samples) {
            std::fprintf(stderr, "brantwicker-service serve: %s\n", error.c_str());
            return 1;
        }
        scan.options.samples = samples.get();
    }
    if (scanning) {
        scanner.emplace(*parse_clamd_address(scan.clamd), scan.clamd, scan.clamd_timeout);
        scanner->set_rules(yara ? &*yara : nullptr);
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
    // Retro-hunts: one thread of their own, with a live store and a store
    // of their own. Hunts a stopped service left running are marked so:
    // every one in an SQLite store, which is this service's alone; on
    // PostgreSQL, those silent too long, as another instance may run one.
    std::optional<HuntRunner> hunts;
    std::vector<std::unique_ptr<Store>> hunt_stores;
    if (samples) {
        std::string error;
        std::unique_ptr<LiveStore> hunt_live =
            postgres ? open_postgres_live_store(db, 1, options.read_timeout)
                     : open_sqlite_live_store(db, error);
        if (!hunt_live || !open_stores(hunt_stores, 1, StoreMode::ReadOnly)) {
            std::fprintf(stderr, "brantwicker-service serve: the kept samples: %s\n", error.c_str());
            return 1;
        }
        if (cut_left_hunts(*hunt_live, !postgres, error) != StoreStatus::Ok)
            log_line("brantwicker-service: retro-hunts left running: " + error);
        hunts.emplace(*samples, std::move(hunt_live), std::move(hunt_stores.front()),
                      scan.options.extract, [](const std::string& line) {
                          log_line("brantwicker-service: " + line);
                      });
    }
    // The counts that order the scans again: the files most looked up first.
    constexpr std::size_t kAskCounts = 10000;
    AskCounts asks(kAskCounts);
    std::optional<Rescans> rescans;
    if (samples && scanner) {
        scan.rescan.extract = scan.options.extract;
        scan.rescan.yara = scan.options.yara;
        scan.rescan.yara_timeout = scan.options.yara_timeout;
        rescans.emplace(*scanner, *samples, std::move(rescan_stores), metrics, &asks, scan.rescan);
        reloads.on_reload([&rescans] { rescans->check_now(); });
    }
    const RequestHandler handler = [&](unsigned worker, const WebRequest& request) {
        RouteContext context{BRANTWICKER_VERSION, worker, unknown.get(), checks,
                             options.operator_port ? &metrics : nullptr,
                             scanner ? &*scanner : nullptr, sessions[worker].get(),
                             serve.session_ttl, serve.public_stats,
                             serve.bloom ? &published : nullptr,
                             gate ? &*gate : nullptr};
        context.samples = samples.get();
        context.hunts = hunts ? &*hunts : nullptr;
        context.rescans = rescans ? &*rescans : nullptr;
        context.asks = rescans ? &asks : nullptr;
        WebResponse response = route(request, *stores[worker], context);
        if (response.status == 503 && response.route != "healthz")
            metrics.store_error();
        return response;
    };
    Housekeeping housekeeping(*stores.back(), live.get(), unknown.get(), metrics, samples.get());
    std::optional<BloomPublisher> publisher;
    if (serve.bloom)
        publisher.emplace(*bloom_stores.front(), published);
    std::string error;
    const int status = run_server(options, handler, error, uploads ? &*uploads : nullptr);
    reloads.on_reload({});
    if (rescans)
        rescans->stop();
    housekeeping.stop();
    if (publisher)
        publisher->stop();
    if (status != 0)
        std::fprintf(stderr, "brantwicker-service serve: %s\n", error.c_str());
    return status;
}
