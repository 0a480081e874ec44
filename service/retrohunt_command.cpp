// brantwicker-service retrohunt DB --samples DIR RULES.yar [--since DATE]:
// an analyst's YARA rules over every kept sample and its archives' members.
#include "service/command_line.h"
#include "service/commands.h"
#include "service/hunt/retrohunt.h"
#include "service/shell_text.h"
#include "service/store/store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

namespace {

constexpr int kMatched = 0;
constexpr int kNoMatch = 1;
constexpr int kError = 2;

struct HuntCommandSettings {
    std::string db;
    std::string samples;
    std::string rules;
    std::string since;          // YYYY-MM-DD, empty: every sample
    std::int64_t since_at = 0;  // its first second, UTC
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
};

// A day written YYYY-MM-DD, as the first second of it in UTC.
bool take_day(HuntCommandSettings& o, std::string_view text)
{
    std::tm day{};
    const std::string copy(text);
    const char* end = copy.size() == 10 ? ::strptime(copy.c_str(), "%Y-%m-%d", &day) : nullptr;
    if (!end || *end != '\0')
        return false;
    // strptime takes 2024-02-30; the day it names must come back as written.
    const std::time_t at = ::timegm(&day);
    std::tm back{};
    char written[16];
    if (!::gmtime_r(&at, &back) || std::strftime(written, sizeof written, "%Y-%m-%d", &back) != 10
        || copy != written)
        return false;
    o.since = copy;
    o.since_at = static_cast<std::int64_t>(at);
    return true;
}

constexpr OptionRow<HuntCommandSettings> kHuntOptions[] = {
    {"--samples", "DIR", "the folder of kept samples, as given to serve (required)",
     [](HuntCommandSettings& o, std::string_view v) { return o.samples = v, !v.empty(); }},
    {"--since", "DATE", "only the samples kept or first seen on or after this day, YYYY-MM-DD (UTC)",
     take_day},
    {"--threads", "N", "how many samples are unpacked and scanned at once, 1-64 (default: the cores)",
     [](HuntCommandSettings& o, std::string_view v) { return take_number(o.threads, v, 1, 64); }},
};

const CommandTable<HuntCommandSettings> kHuntCommand{
    "retrohunt", "DB --samples DIR RULES.yar [OPTION]...",
    "Runs the YARA rules in RULES.yar over every sample kept in DIR and over the members of\n"
    "its archives, at any depth, and prints one line per file a rule matched: its MD5, the\n"
    "rule, its first name and when it was first seen, as the store DB knows them, separated\n"
    "by tabs. Exit status: 0 some rule matched, 1 none did, 2 an error (a rule that does not\n"
    "compile, a store or sample that cannot be read).",
    kHuntOptions,
    [](HuntCommandSettings& o, std::string_view v, std::string& why) {
        why = "one store and one rule file only: '" + std::string(v) + "' after '" + o.rules + "'";
        if (o.db.empty())
            return o.db = v, true;
        return o.rules.empty() ? (o.rules = v, true) : false;
    },
    [](const HuntCommandSettings& o, std::string& why) {
        why = o.db.empty() ? "no store given (DB)"
            : o.rules.empty() ? "no rule file given (RULES.yar)" : "no samples folder given (--samples DIR)";
        return !o.db.empty() && !o.rules.empty() && !o.samples.empty();
    },
};

int fail(const std::string& why)
{
    std::fprintf(stderr, "brantwicker-service retrohunt: %s\n", printable(why).c_str());
    return kError;
}

}  // namespace

int retrohunt_command(int argc, char** argv)
{
    HuntCommandSettings settings;
    if (const Parsed parsed = parse_command_line(kHuntCommand, argc, argv, settings);
        parsed != Parsed::Run)
        return parsed_status(parsed);

    std::ifstream in(settings.rules, std::ios::binary);
    if (!in)
        return fail("cannot read " + settings.rules);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    std::string error;
    const std::shared_ptr<const CompiledRules> rules = compile_hunt_rules(text, error);
    if (!rules)
        return fail(settings.rules + " does not compile: " + error);

    const std::unique_ptr<Store> store = open_store(settings.db, StoreMode::ReadOnly, error);
    if (!store)
        return fail(error);
    // The folder is the service's: a hunt never makes one where none is.
    struct stat folder {};
    if (::stat(settings.samples.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        return fail("no samples folder " + settings.samples);
    const std::unique_ptr<SampleStore> samples = SampleStore::open(settings.samples, {}, error);
    std::vector<KeptSample> kept;
    if (!samples || !samples->list(kept, error))
        return fail(error);

    if (!settings.since.empty()) {
        // Kept on or after the day, or first seen then: a folder copied
        // without its times still answers by the store's dates.
        std::vector<KeptSample> recent;
        for (const KeptSample& sample : kept) {
            FileRecord record;
            if (sample.kept_at >= settings.since_at
                || (store->find_sha256(sample.sha256, record, error) == StoreStatus::Ok
                    && first_seen(record).substr(0, 10) >= settings.since))
                recent.push_back(sample);
        }
        kept.swap(recent);
    }

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    std::set<std::pair<std::string, std::string>> printed;  // (md5, rule)
    std::size_t unread = 0;
    HuntSettings hunt;
    hunt.threads = settings.threads;
    hunt.report_every = std::chrono::milliseconds(terminal ? 250 : 1000);
    const HuntProgress end = hunt_samples(
        *samples, kept, *rules, hunt,
        [&](const HuntProgress& progress, std::vector<HuntHit>& hits,
            std::vector<std::string>& problems) {
            if (terminal && (!hits.empty() || !problems.empty()))
                std::fputs("\r\033[K", stderr);
            for (const std::string& problem : problems)
                std::fprintf(stderr, "brantwicker-service retrohunt: %s\n", printable(problem).c_str());
            for (const HuntHit& hit : hits) {
                if (!printed.emplace(to_hex(hit.md5), hit.rule).second)
                    continue;
                std::string why;
                const HuntMatch match = describe_hit(*store, hit, why);
                if (!why.empty())
                    ++unread, std::fprintf(stderr, "brantwicker-service retrohunt: %s\n",
                                           printable(why).c_str());
                std::printf("%s\t%s\t%s\t%s\n", match.md5.c_str(), printable(match.rule).c_str(),
                            match.name.empty() ? "-" : printable(match.name).c_str(),
                            match.first_seen.empty() ? "-" : match.first_seen.c_str());
            }
            std::fflush(stdout);
            if (terminal)
                std::fprintf(stderr, "\r\033[Kretrohunt: %llu/%llu samples, %zu matches",
                             static_cast<unsigned long long>(progress.done),
                             static_cast<unsigned long long>(progress.total), printed.size());
            return true;
        });
    if (terminal)
        std::fputs("\n", stderr);
    if (end.failed > 0 || unread > 0)
        return fail(std::to_string(end.failed) + " of " + std::to_string(end.total)
                    + " samples could not be hunted through whole"
                    + (unread ? ", and the store could not be read" : ""));
    return printed.empty() ? kNoMatch : kMatched;
}
