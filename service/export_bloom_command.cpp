// brantwicker-service export-bloom DB OUT [OPTION]...: the store's known
// digests as a Bloom filter file, for tools that look files up offline.
#include "service/bloom/known_bloom.h"
#include "service/command_line.h"
#include "service/commands.h"
#include "service/store/store.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct ExportSettings {
    std::string  db;
    std::string  out;
    BloomRequest request;
};

constexpr OptionRow<ExportSettings> kExportOptions[] = {
    {"--fp", "P", "the false-positive rate the filter is sized for, above 0 and below 1 (default 0.0001)",
     [](ExportSettings& o, std::string_view v) {
         const std::string text(v);
         char* end = nullptr;
         o.request.p = std::strtod(text.c_str(), &end);
         return !text.empty() && *end == '\0' && o.request.p > 0 && o.request.p < 1;
     }},
    {"--verdict", "good|bad|all", "only the files with this verdict (default all)",
     [](ExportSettings& o, std::string_view v) {
         o.request.filter.verdict = v == "good" ? std::optional(Verdict::Good)
                                  : v == "bad"  ? std::optional(Verdict::Bad) : std::nullopt;
         return v == "good" || v == "bad" || v == "all";
     }},
    {"--source", "NAME", "only the files this source lists (repeat for more; default every source)",
     [](ExportSettings& o, std::string_view v) {
         o.request.filter.sources.emplace_back(v);
         return !v.empty();
     }},
    {"--digest", "sha1|md5", "the digests the filter holds (default sha1)",
     [](ExportSettings& o, std::string_view v) {
         o.request.md5 = v == "md5";
         return v == "sha1" || v == "md5";
     }},
};

const CommandTable<ExportSettings> kExportCommand{
    "export-bloom", "DB OUT [OPTION]...",
    "Writes the digests of the files the store DB holds to OUT as a Bloom filter, as upper-case\n"
    "hex, in the format offline hash-lookup tools read.",
    kExportOptions,
    [](ExportSettings& o, std::string_view v, std::string& why) {
        why = "one store and one output only: '" + std::string(v) + "' after '" + o.out + "'";
        if (o.db.empty())
            return o.db = v, true;
        return o.out.empty() ? (o.out = v, true) : false;
    },
    [](const ExportSettings& o, std::string& why) {
        why = o.db.empty() ? "no store given (DB)" : "no output given (OUT)";
        return !o.db.empty() && !o.out.empty();
    },
};

}  // namespace

int export_bloom_command(int argc, char** argv)
{
    ExportSettings settings;
    if (const Parsed parsed = parse_command_line(kExportCommand, argc, argv, settings);
        parsed != Parsed::Run)
        return parsed_status(parsed);
    std::string error;
    const std::unique_ptr<Store> store = open_store(settings.db, StoreMode::ReadOnly, error);
    if (!store) {
        std::fprintf(stderr, "brantwicker-service export-bloom: %s\n", error.c_str());
        return 1;
    }
    const std::optional<BloomFilter> filter = make_known_bloom(*store, settings.request, error);
    if (!filter || !write_filter(*filter, settings.out, error)) {
        std::fprintf(stderr, "brantwicker-service export-bloom: %s\n", error.c_str());
        return 1;
    }
    const BloomSizing& sizing = filter->sizing();
    std::fprintf(stderr, "brantwicker-service export-bloom: wrote %s (N %llu, n %llu, p %g, k %llu,"
                         " m %llu bits)\n",
                 settings.out.c_str(), static_cast<unsigned long long>(filter->added()),
                 static_cast<unsigned long long>(sizing.n), sizing.p,
                 static_cast<unsigned long long>(sizing.k), static_cast<unsigned long long>(sizing.m));
    return 0;
}
