#include "service/hunt/hunt_runner.h"

#include <openssl/rand.h>

#include <ctime>
#include <limits>
#include <set>
#include <utility>

namespace {

std::int64_t now_seconds()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace

HuntRunner::HuntRunner(const SampleStore& samples, std::unique_ptr<LiveStore> live,
                       std::unique_ptr<Store> store, const ExtractLimits& extract,
                       std::function<void(const std::string&)> log)
    : samples_(samples), live_(std::move(live)), store_(std::move(store)), extract_(extract),
      log_(std::move(log))
{
}

HuntRunner::~HuntRunner()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

HuntRunner::Start HuntRunner::start(LiveStore& live, std::shared_ptr<const CompiledRules> rules,
                                    std::string& id, std::string& error)
{
    const std::lock_guard lock(mutex_);
    if (busy_)
        return Start::Busy;
    if (thread_.joinable())
        thread_.join();
    std::array<unsigned char, 16> random{};
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
        error = "no random bytes for the hunt's name";
        return Start::Failed;
    }
    id = to_hex(random);
    const std::int64_t now = now_seconds();
    bool started = false;
    if (live.start_hunt(id, now, now - kHuntSilence.count(),
                        now - std::chrono::duration_cast<std::chrono::seconds>(kHuntKept).count(),
                        started, error) != StoreStatus::Ok)
        return Start::Failed;
    if (!started)
        return Start::Busy;
    busy_ = true;
    thread_ = std::jthread([this, id, rules = std::move(rules)] { hunt(id, rules); });
    return Start::Started;
}

void HuntRunner::hunt(std::string id, std::shared_ptr<const CompiledRules> rules)
{
    HuntState state;
    state.state = "running";
    std::vector<HuntMatch> pending;  // found, not yet kept
    std::set<std::pair<std::string, std::string>> told;  // (md5, rule) found so far
    std::string error;
    // Keeps where the hunt stands; what cannot be kept now is tried again
    // at the next report.
    const auto keep = [&] {
        state.updated = now_seconds();
        std::string why;
        const StoreStatus kept = live_->update_hunt(id, state, pending, why);
        if (kept == StoreStatus::Ok)
            pending.clear();
        else if (kept == StoreStatus::Error)
            log_("retro-hunt " + id + ": " + why);
        return kept != StoreStatus::NotFound;  // marked interrupted meanwhile: stop
    };

    std::vector<KeptSample> samples;
    if (!samples_.list(samples, error)) {
        log_("retro-hunt " + id + ": " + error);
        state.state = "failed";
        keep();
        busy_ = false;
        return;
    }
    state.total = samples.size();
    HuntSettings settings;
    settings.threads = 1;
    settings.low_priority = true;
    settings.extract = extract_;
    settings.report_every = std::chrono::seconds(2);
    const HuntProgress end = hunt_samples(
        samples_, samples, *rules, settings,
        [&](const HuntProgress& progress, std::vector<HuntHit>& hits,
            std::vector<std::string>& problems) {
            for (const std::string& problem : problems)
                log_("retro-hunt " + id + ": " + problem);
            for (const HuntHit& hit : hits)
                if (told.emplace(to_hex(hit.md5), hit.rule).second) {
                    std::string why;
                    pending.push_back(describe_hit(*store_, hit, why));
                }
            state.done = progress.done;
            return keep() && !stop_;
        });
    state.done = end.done;
    state.state = stop_ || end.done < end.total ? "interrupted" : "done";
    for (int attempt = 0; attempt < 3 && !pending.empty(); ++attempt)
        keep();
    keep();
    busy_ = false;
}

StoreStatus cut_left_hunts(LiveStore& live, bool all, std::string& error)
{
    return live.cut_hunts(all ? std::numeric_limits<std::int64_t>::max()
                              : now_seconds() - kHuntSilence.count(),
                          error);
}

HuntState hunt_as_seen(HuntState hunt, std::int64_t now)
{
    if (hunt.state == "running" && hunt.updated < now - kHuntSilence.count())
        hunt.state = "interrupted";
    return hunt;
}
