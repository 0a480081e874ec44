// brantwicker-service serve DB [--listen ADDR:PORT] [--threads N]
//                              [--read-timeout SECONDS] [--max-connections N]
//                              [--clamd SOCKET|HOST:PORT] [--scan-jobs N]
//                              [--scan-max-bytes N] [--scan-timeout SECONDS]
//
// Each worker thread has its own read-only connection to the store: a
// connection is never used by two threads at once, and each request reads
// afresh, so an import shows as soon as it commits. With clamd, each scan job
// has a connection of its own too, the one that writes the service's records.
#include "service/commands.h"
#include "service/store/store.h"
#include "service/web/routes.h"
#include "service/web/server.h"
#include "service/web/upload_routes.h"

#include <sys/resource.h>

#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: brantwicker-service serve DB [--listen ADDR:PORT] [--threads N]"
    " [--read-timeout SECONDS] [--max-connections N]\n"
    "       [--clamd SOCKET|HOST:PORT] [--scan-jobs N] [--scan-max-bytes N] [--scan-timeout SECONDS]\n";

struct ScanSettings {
    std::string clamd;  // empty: no scanning
    ScanOptions options;
    std::chrono::milliseconds clamd_timeout{60000};
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
bool parse_listen(std::string_view text, ServerOptions& options)
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
    options.address = std::string(host);
    options.port = static_cast<unsigned short>(*port);
    return true;
}

bool parse_options(int argc, char** argv, std::string& db, ServerOptions& options,
                   ScanSettings& scan)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
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
        if (arg == "--listen") {
            good = parse_listen(value, options);
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

}  // namespace

int serve_command(int argc, char** argv)
{
    std::string db;
    ServerOptions options;
    ScanSettings scan;
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    if (!parse_options(argc, argv, db, options, scan)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    // The scan jobs' connections first: the first one makes the service's
    // own file, which the look-up threads then read beside the lists.
    std::vector<std::unique_ptr<Store>> scan_stores, stores;
    const auto open_stores = [&db](std::vector<std::unique_ptr<Store>>& into, unsigned count,
                                   StoreMode mode) {
        for (unsigned i = 0; i < count; ++i) {
            std::string error;
            into.push_back(open_sqlite_store(db, mode, error));
            if (!into.back()) {
                std::fprintf(stderr, "brantwicker-service serve: %s: %s\n", db.c_str(), error.c_str());
                return false;
            }
        }
        return true;
    };
    const bool scanning = !scan.clamd.empty();
    if (!open_stores(scan_stores, scanning ? scan.options.jobs : 0, StoreMode::Service)
        || !open_stores(stores, options.threads, StoreMode::ReadOnly))
        return 1;
    fit_descriptors(options);

    std::optional<Scanner> scanner;
    std::optional<UploadScans> uploads;
    if (scanning) {
        scanner.emplace(*parse_clamd_address(scan.clamd), scan.clamd, scan.clamd_timeout);
        scan.options.read_timeout = options.read_timeout;
        uploads.emplace(*scanner, scan.options, scan_stores);
    }
    Scanner* const scanner_used = scanner ? &*scanner : nullptr;
    const RequestHandler handler = [&stores, scanner_used](unsigned worker,
                                                           const WebRequest& request) {
        return route(request, *stores[worker], BRANTWICKER_VERSION, scanner_used);
    };
    std::string error;
    const int status = run_server(options, handler, error, uploads ? &*uploads : nullptr);
    if (status != 0)
        std::fprintf(stderr, "brantwicker-service serve: %s\n", error.c_str());
    return status;
}
