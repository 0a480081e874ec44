// brantwicker-service serve DB [--replica URI]... [--listen ADDR:PORT] [--threads N]
//                              [--read-timeout SECONDS] [--max-connections N]
//
// Each worker thread has its own read-only connection to the store: a
// connection is never used by two threads at once, and each request reads
// afresh, so an import shows as soon as it commits. On PostgreSQL a worker
// reads from the replicas, in turn from its own first one, and from the
// primary when none answers; a server that does not answer within the read
// time-out makes the request a 503, never a wait past it.
#include "service/commands.h"
#include "service/store/store.h"
#include "service/web/routes.h"
#include "service/web/server.h"

#include <sys/resource.h>

#include <algorithm>
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
    "usage: brantwicker-service serve DB [--replica URI]... [--listen ADDR:PORT] [--threads N]"
    " [--read-timeout SECONDS] [--max-connections N]\n";

std::optional<unsigned long> number(std::string_view text, unsigned long low, unsigned long high)
{
    unsigned long value = 0;
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

bool parse_options(int argc, char** argv, std::string& db, std::vector<std::string>& replicas,
                   ServerOptions& options)
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
        if (arg == "--replica") {
            good = is_postgres_location(value);
            replicas.emplace_back(value);
        } else if (arg == "--listen") {
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
    if (!replicas.empty() && !is_postgres_location(db)) {
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

}  // namespace

int serve_command(int argc, char** argv)
{
    std::string db;
    std::vector<std::string> replicas;
    ServerOptions options;
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    if (!parse_options(argc, argv, db, replicas, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    std::vector<std::unique_ptr<Store>> stores;
    for (unsigned i = 0; i < options.threads; ++i) {
        std::string error;
        if (is_postgres_location(db)) {
            // Workers start on different replicas, so that the reads spread.
            std::vector<std::string> mine(replicas);
            if (!mine.empty())
                std::rotate(mine.begin(), mine.begin() + static_cast<std::ptrdiff_t>(i % mine.size()), mine.end());
            stores.push_back(open_postgres_store(db, mine, StoreMode::ReadOnly, options.read_timeout,
                                                 error));
        } else {
            stores.push_back(open_sqlite_store(db, StoreMode::ReadOnly, error));
        }
        if (!stores.back()) {
            std::fprintf(stderr, "brantwicker-service serve: %s\n", error.c_str());
            return 1;
        }
    }
    fit_descriptors(options);

    const RequestHandler handler = [&stores](unsigned worker, const WebRequest& request) {
        return route(request, *stores[worker], BRANTWICKER_VERSION);
    };
    std::string error;
    const int status = run_server(options, handler, error);
    if (status != 0)
        std::fprintf(stderr, "brantwicker-service serve: %s\n", error.c_str());
    return status;
}
