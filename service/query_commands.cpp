// brantwicker-service lookup DB HASH...   and   brantwicker-service stats DB [--clamd SOCKET]
#include "service/command_line.h"
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

struct LookupSettings {
    std::string db;
    std::vector<std::string> hashes;
};

const CommandTable<LookupSettings> kLookupCommand{
    "lookup", "DB HASH...",
    "Prints, for each HASH (an MD5, SHA-1 or SHA-256 in hexadecimal), what the store DB\n"
    "holds on it: its verdict, label and first name, or \"not held\".\n"
    "Exit status: 0 all held, 1 some not held, 2 a usage or store error.",
    {},
    [](LookupSettings& o, std::string_view v, std::string&) {
        (o.db.empty() ? o.db : o.hashes.emplace_back()) = v;
        return true;
    },
    [](const LookupSettings& o, std::string& why) {
        why = o.db.empty() ? "no store given (DB) and no digest (HASH)" : "no digest given (HASH)";
        return !o.hashes.empty();
    },
};

struct StatsSettings {
    std::string db;
    std::optional<ClamdAddress> clamd;
    std::string clamd_text;
    std::string rules_folder;
};

constexpr OptionRow<StatsSettings> kStatsOptions[] = {
    {"--clamd", "SOCKET|HOST:PORT", "also say whether this clamd answers, and its signatures",
     [](StatsSettings& o, std::string_view v) {
         o.clamd_text = v;
         o.clamd = parse_clamd_address(v);
         return o.clamd.has_value();
     }},
    {"--yara-rules", "DIR", "also compile the YARA rules in DIR as serve would, and say what it leaves out",
     [](StatsSettings& o, std::string_view v) {
         o.rules_folder = v;
         return !v.empty();
     }},
};

const CommandTable<StatsSettings> kStatsCommand{
    "stats", "DB [OPTION]...",
    "Prints the store DB's engine and schema, its files by verdict and source, and its scans.",
    kStatsOptions,
    [](StatsSettings& o, std::string_view v, std::string& why) {
        why = "one store only: '" + std::string(v) + "' after '" + o.db + "'";
        return o.db.empty() ? (o.db = v, true) : false;
    },
    [](const StatsSettings& o, std::string& why) {
        why = "no store given (DB)";
        return !o.db.empty();
    },
};

}  // namespace

int lookup_command(int argc, char** argv)
{
    LookupSettings settings;
    if (const Parsed parsed = parse_command_line(kLookupCommand, argc, argv, settings);
        parsed != Parsed::Run)
        return parsed == Parsed::Wrong ? usage_or_store_error : all_held;
    // Every hash is checked before the store is opened: a typo is a usage
    // error, not a file the store does not hold.
    std::vector<DigestQuery> queries;
    for (const std::string& hash : settings.hashes) {
        std::optional<DigestQuery> query = parse_digest(hash);
        if (!query) {
            std::fprintf(stderr, "brantwicker-service lookup: '%s' is not an MD5, SHA-1 or SHA-256"
                                 " (32, 40 or 64 hexadecimal digits)\n", hash.c_str());
            return usage_or_store_error;
        }
        queries.push_back(std::move(*query));
    }
    std::unique_ptr<Store> store = open_for_reading("lookup", settings.db.c_str());
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
    StatsSettings settings;
    if (const Parsed parsed = parse_command_line(kStatsCommand, argc, argv, settings);
        parsed != Parsed::Run)
        return parsed_status(parsed);
    const std::optional<ClamdAddress>& clamd = settings.clamd;
    const char* clamd_text = settings.clamd_text.c_str();
    std::unique_ptr<Store> store = open_for_reading("stats", settings.db.c_str());
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
    if (!settings.rules_folder.empty()) {
        // The rules as serve would compile them now: what it leaves out, and why.
        YaraRules rules(settings.rules_folder);
        std::vector<std::string> log;
        rules.load(log);
        for (const std::string& line : log)
            std::printf("%s\n", printable(line).c_str());
    }
    return 0;
}
