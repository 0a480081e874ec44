// The service's retro-hunts: one at a time, on one thread of its own at the
// lowest CPU priority, so that look-ups keep their speed. Its state,
// progress and matches are kept in the live store, where every instance
// sharing it reads them; a hunt whose service stopped without a word is
// seen as interrupted once it has been silent for kHuntSilence.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/hunt/retrohunt.h"

// How long a running hunt may go without a word before it counts as cut
// short; its runner writes every few seconds.
inline constexpr std::chrono::seconds kHuntSilence{60};
// How long a finished hunt is kept.
inline constexpr std::chrono::hours kHuntKept{24 * 30};

class HuntRunner {
public:
    // `live` and `store` become the runner's own: its thread alone uses them.
    // `log` takes lines for the operator, from the runner's thread.
    HuntRunner(const SampleStore& samples, std::unique_ptr<LiveStore> live,
               std::unique_ptr<Store> store, const ExtractLimits& extract,
               std::function<void(const std::string&)> log);
    // Stops a hunt that runs; it is kept as interrupted.
    ~HuntRunner();
    HuntRunner(const HuntRunner&) = delete;
    HuntRunner& operator=(const HuntRunner&) = delete;

    enum class Start { Started, Busy, Failed };
    // Starts a hunt with `rules`, from a route's thread and its own `live`
    // store. Busy when one runs here or in any instance sharing the store.
    Start start(LiveStore& live, std::shared_ptr<const CompiledRules> rules, std::string& id,
                std::string& error);

private:
    void hunt(std::string id, std::shared_ptr<const CompiledRules> rules);

    const SampleStore&          samples_;
    std::unique_ptr<LiveStore>  live_;
    std::unique_ptr<Store>      store_;
    ExtractLimits               extract_;
    std::function<void(const std::string&)> log_;
    std::mutex                  mutex_;
    std::atomic<bool>           busy_{false};
    std::atomic<bool>           stop_{false};
    std::jthread                thread_;
};

// Marks interrupted the hunts a stopped service left running: every one
// (`all`, a store only this service writes) or those silent too long.
StoreStatus cut_left_hunts(LiveStore& live, bool all, std::string& error);

// `hunt` as a reader should see it at `now` (seconds since 1970): a
// running hunt silent past kHuntSilence is interrupted.
HuntState hunt_as_seen(HuntState hunt, std::int64_t now);
