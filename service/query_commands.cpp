// brantwicker-service lookup DB HASH...   and   brantwicker-service stats DB [--clamd SOCKET]
#include "service/commands.h"
#include "service/analysis/scanner.h"
#include "service/shell_text.h"
#include "service/store/store.h"

#include <cstdio>
#include <vector>

namespace {

// Exit statuses of lookup.
constexpr int all_held = 0;
constexpr int some_not_held = 1;
constexpr int usage_or_store_error = 2;

std::unique_ptr<Store> open_for_reading(const char* command, const char* path)
{
    std::string error;
    std::unique_ptr<Store> store = open_store(path, StoreMode::ReadOnly, error);
    if (!store)
        std::fprintf(stderr, "brantwicker-service %s: %s\n", command, error.c_str());
    return store;
}

}  // namespace

int lookup_command(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: brantwicker-service lookup DB HASH...\n", stderr);
        return usage_or_store_error;
    }
    // Every hash is checked before the store is opened: a typo is a usage
    // error, not a file the store does not hold.
    std::vector<DigestQuery> queries;
    for (int i = 2; i < argc; ++i) {
        std::optional<DigestQuery> query = parse_digest(argv[i]);
        if (!query) {
            std::fprintf(stderr, "brantwicker-service lookup: '%s' is not an MD5, SHA-1 or SHA-256"
                                 " (32, 40 or 64 hexadecimal digits)\n", argv[i]);
            return usage_or_store_error;
        }
        queries.push_back(std::move(*query));
    }
    std::unique_ptr<Store> store = open_for_reading("lookup", argv[1]);
    if (!store)
        return usage_or_store_error;

    int status = all_held;
    for (const DigestQuery& query : queries) {
        FileRecord record;
        std::string error;
        const std::string hex = to_hex(query.bytes);
        switch (find_digest(*store, query, record, error)) {
        case StoreStatus::Ok: {
            const std::string_view verdict = verdict_name(record.verdict);
            std::printf("%s  %.*s  %s  %s\n", hex.c_str(), static_cast<int>(verdict.size()),
                        verdict.data(), record.label.empty() ? "-" : printable(record.label).c_str(),
                        record.names.empty() ? "-" : printable(record.names.front()).c_str());
            break;
        }
        case StoreStatus::NotFound:
            std::printf("%s  not held\n", hex.c_str());
            status = some_not_held;
            break;
        case StoreStatus::Error:
            std::fflush(stdout);
            std::fprintf(stderr, "brantwicker-service lookup: %s\n", error.c_str());
            return usage_or_store_error;
        }
    }
    return status;
}

int stats_command(int argc, char** argv)
{
    std::optional<ClamdAddress> clamd;
    const char* clamd_text = nullptr;
    const char* rules_folder = nullptr;
    bool good = argc >= 2 && argc % 2 == 0;
    for (int i = 2; good && i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--clamd" && !clamd_text)
            good = (clamd = parse_clamd_address(clamd_text = argv[i + 1])).has_value();
        else if (option == "--yara-rules" && !rules_folder)
            rules_folder = argv[i + 1];
        else
            good = false;
    }
    if (!good) {
        std::fputs("usage: brantwicker-service stats DB [--clamd SOCKET|HOST:PORT]"
                   " [--yara-rules DIR]\n", stderr);
        return 2;
    }
    std::unique_ptr<Store> store = open_for_reading("stats", argv[1]);
    if (!store)
        return 2;
    std::vector<SourceCount> counts;
    std::uint64_t scans = 0;
    std::string error;
    if (store->counts(counts, error) != StoreStatus::Ok
        || store->scan_count(scans, error) != StoreStatus::Ok) {
        std::fprintf(stderr, "brantwicker-service stats: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s, schema %d\n", store->engine_version().c_str(), store->schema_version());
    for (const SourceCount& count : counts) {
        const std::string_view verdict = verdict_name(count.verdict);
        std::printf("%12llu  %-7.*s  %s\n", static_cast<unsigned long long>(count.files),
                    static_cast<int>(verdict.size()), verdict.data(), printable(count.source).c_str());
    }
    std::printf("%12llu  scans\n", static_cast<unsigned long long>(scans));
    if (clamd) {
        Scanner scanner(*clamd, clamd_text, std::chrono::seconds(5));
        const ScannerReport report = scanner.report();
        if (report.reachable)
            std::printf("scanner %s: %s %s, signatures %s\n", clamd_text, report.version.engine.c_str(),
                        report.version.version.c_str(),
                        report.version.signatures.empty() ? "of its own"
                                                          : report.version.signatures.c_str());
        else
            std::printf("scanner %s: unreachable (%s)\n", clamd_text, printable(report.detail).c_str());
    }
    if (rules_folder) {
        // The rules as serve would compile them now: what it leaves out, and why.
        YaraRules rules(rules_folder);
        std::vector<std::string> log;
        rules.load(log);
        for (const std::string& line : log)
            std::printf("%s\n", printable(line).c_str());
    }
    return 0;
}
