#include "service/web/rescans.h"
#include "service/analysis/low_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "service/analysis/file_digests.h"
#include "service/web/server.h"
#include "service/web/text.h"

namespace {

using Clock = std::chrono::steady_clock;

// A sample queued on request goes before every one the watcher queued.
constexpr std::uint64_t kRequested = std::uint64_t{1} << 62;
// How often an idle worker looks at the queue for what other instances of
// the service queued.
constexpr std::chrono::seconds kIdleLook{2};
// How long a worker waits after the analysers or the store failed.
constexpr std::chrono::seconds kAfterFailure{5};
// The samples queued in one statement.
constexpr std::size_t kQueueBatch = 1000;

std::string key_of(std::span<const unsigned char> digest)
{
    return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

// What an analyser's signatures are called in the store.
std::string seen_text(const ScanRecord& identity)
{
    return identity.engine_version + "/" + identity.signature_version;
}

void say(const std::string& what)
{
    log_line("brantwicker-service: " + what);
}


}  // namespace

void AskCounts::asked(std::span<const unsigned char> digest)
{
    const std::int64_t now = std::time(nullptr);
    const std::lock_guard lock(mutex_);
    summary_.add(key_of(digest), now);
}

std::unordered_map<std::string, std::uint64_t> AskCounts::counts() const
{
    std::vector<HeavyHitter> top;
    {
        const std::lock_guard lock(mutex_);
        top = summary_.top(summary_.capacity());
    }
    std::unordered_map<std::string, std::uint64_t> out;
    for (HeavyHitter& hitter : top)
        out.emplace(std::move(hitter.key), hitter.count);
    return out;
}

Rescans::Rescans(Scanner& scanner, SampleStore& samples, std::vector<std::unique_ptr<Store>> stores,
                 Metrics& metrics, const AskCounts* asks, const RescanSettings& settings)
    : samples_(samples), stores_(std::move(stores)), metrics_(metrics), asks_(asks),
      settings_(settings),
      analysers_(make_analysers({&scanner, settings.yara, settings.yara_timeout}))
{
    threads_.emplace_back([this] { watch(); });
    for (std::size_t i = 2; i < stores_.size(); ++i)
        threads_.emplace_back([this, i] { work(*stores_[i]); });
}

Rescans::~Rescans()
{
    stop();
}

void Rescans::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable())
            thread.join();
}

void Rescans::check_now()
{
    {
        const std::lock_guard lock(mutex_);
        check_asked_ = true;
    }
    wake_.notify_all();
}

StoreStatus Rescans::request(const Sha256Bytes& sha256, std::string& error)
{
    const RescanItem item{sha256, kRequested, static_cast<std::int64_t>(std::time(nullptr))};
    std::uint64_t added = 0;
    {
        const std::lock_guard lock(request_mutex_);
        if (stores_[1]->queue_rescans({&item, 1}, added, error) != StoreStatus::Ok)
            return StoreStatus::Error;
    }
    {
        const std::lock_guard lock(mutex_);
        ++work_signal_;
    }
    wake_.notify_all();
    return StoreStatus::Ok;
}

void Rescans::watch()
{
    Store& store = *stores_[0];
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        check_asked_ = false;
        lock.unlock();
        const bool checked = check(store);
        lock.lock();
        // After a failure the next look comes sooner than the period.
        const auto period = checked ? std::chrono::duration_cast<Clock::duration>(settings_.check_every)
                                    : std::min<Clock::duration>(settings_.check_every, kAfterFailure);
        wake_.wait_for(lock, period, [this] { return stopping_ || check_asked_; });
    }
}

bool Rescans::check(Store& store)
{
    // The analysers whose signatures the queue was not filled for.
    struct Changed {
        std::size_t analyser;
        ScanRecord  now;
    };
    std::vector<Changed> changed;
    for (std::size_t i = 0; i < analysers_.size(); ++i) {
        std::optional<ScanRecord> now;
        std::string detail;
        if (analysers_[i]->identity(now, detail) != ScanFault::None) {
            // Said once while it lasts: the look comes back every few seconds.
            if (!unanswered_)
                say("cannot ask " + std::string(analysers_[i]->name()) + " for its signatures: " +
                    detail);
            unanswered_ = true;
            return false;
        }
        if (!now)
            continue;
        std::optional<std::string> seen;
        std::string error;
        if (store.signatures_seen(now->engine, seen, error) != StoreStatus::Ok) {
            say("cannot read the signatures seen: " + error);
            return false;
        }
        if (seen != seen_text(*now))
            changed.push_back({i, std::move(*now)});
    }
    unanswered_ = false;
    if (changed.empty())
        return true;

    std::vector<KeptSample> kept;
    std::string error;
    if (!samples_.list(kept, error)) {
        say(error);
        return false;
    }
    const std::unordered_map<std::string, std::uint64_t> asked =
        asks_ ? asks_->counts() : std::unordered_map<std::string, std::uint64_t>{};
    const auto asks_for = [&](std::span<const unsigned char> digest) -> std::uint64_t {
        const auto found = asked.find(key_of(digest));
        return found == asked.end() ? 0 : found->second;
    };
    std::vector<RescanItem> stale;
    for (const KeptSample& sample : kept) {
        {
            const std::lock_guard lock(mutex_);
            if (stopping_)
                return true;  // the signatures stay unseen: the next start looks again
        }
        FileRecord record;
        const StoreStatus found = store.find_sha256(sample.sha256, record, error);
        if (found == StoreStatus::Error) {
            say("cannot read the store: " + error);
            return false;
        }
        if (found == StoreStatus::NotFound)
            continue;
        // As the pipeline judges it: a sample that some scan with the new
        // signatures answers for needs none again.
        const bool needed = std::any_of(changed.begin(), changed.end(), [&](const Changed& c) {
            return std::none_of(record.scans.begin(), record.scans.end(), [&](const ScanRecord& scan) {
                return analysers_[c.analyser]->answered_by(scan, c.now);
            });
        });
        if (!needed)
            continue;
        std::uint64_t count = asks_for(record.md5) + asks_for(sample.sha256);
        if (record.sha1)
            count += asks_for(*record.sha1);
        stale.push_back({sample.sha256, count, sample.kept_at});
    }
    std::uint64_t queued = 0;
    for (std::size_t at = 0; at < stale.size(); at += kQueueBatch) {
        const std::span<const RescanItem> batch(stale.data() + at,
                                                std::min(kQueueBatch, stale.size() - at));
        std::uint64_t added = 0;
        if (store.queue_rescans(batch, added, error) != StoreStatus::Ok) {
            say("cannot queue the samples to analyse again: " + error);
            return false;
        }
        queued += added;
    }
    // Only once they are queued: a crash before this fills the queue again
    // at the next start, and nothing is queued twice.
    std::string names;
    for (const Changed& c : changed) {
        if (store.set_signatures_seen(c.now.engine, seen_text(c.now), error) != StoreStatus::Ok) {
            say("cannot keep the signatures seen: " + error);
            return false;
        }
        names += (names.empty() ? "" : ", ") + c.now.engine + " " + seen_text(c.now);
    }
    say("signatures " + names + ": " + std::to_string(stale.size()) + " of " +
        std::to_string(kept.size()) + " kept samples to analyse again, " + std::to_string(queued) +
        " newly queued");
    if (queued > 0) {
        {
            const std::lock_guard lock(mutex_);
            ++work_signal_;
        }
        wake_.notify_all();
    }
    return true;
}

void Rescans::work(Store& store)
{
    lower_thread_priority();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const std::uint64_t signal = work_signal_;
        lock.unlock();
        RescanItem item;
        std::string error;
        const StoreStatus claimed = store.claim_rescan(item, error);
        Clock::duration pause{};
        if (claimed == StoreStatus::Ok) {
            const Clock::time_point began = Clock::now();
            const Outcome outcome = analyse(store, item);
            const bool done = outcome != Outcome::Retry;
            if (store.end_rescan(item.sha256, done, error) != StoreStatus::Ok)
                say("cannot give back a sample analysed again: " + error);
            // Resting as long as it worked keeps each worker busy half the
            // time at most, whatever clamd's pace.
            pause = done ? Clock::now() - began : std::chrono::duration_cast<Clock::duration>(kAfterFailure);
        } else if (claimed == StoreStatus::Error) {
            say("cannot take a sample from the queue: " + error);
            pause = kAfterFailure;
        }
        lock.lock();
        if (claimed == StoreStatus::NotFound)
            wake_.wait_for(lock, kIdleLook, [&] { return stopping_ || work_signal_ != signal; });
        else if (pause > Clock::duration::zero())
            wake_.wait_for(lock, pause, [this] { return stopping_; });
    }
}

Rescans::Outcome Rescans::analyse(Store& store, const RescanItem& item)
{
    const std::string name = to_hex(item.sha256);
    std::vector<unsigned char> bytes;
    std::string error;
    switch (samples_.read(item.sha256, bytes, error)) {
    case StoreStatus::Ok:
        break;
    case StoreStatus::NotFound:
        say(name + ": the sample is no longer kept; not analysed again");
        return Outcome::Dropped;
    case StoreStatus::Error:
        // A sample that does not read back whole is not analysed as if it were.
        say(name + ": " + error);
        metrics_.rescanned(false);
        return Outcome::Dropped;
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    UploadedFile file;
    FileDigests digests;
    digests.add(text);
    if (!digests.end(file)) {
        say(name + ": the sample could not be digested");
        return Outcome::Retry;
    }
    FileRecord before;
    const StoreStatus held = store.find_md5(file.md5, before, error);
    if (held == StoreStatus::Error) {
        say("cannot read the store: " + error);
        return Outcome::Retry;
    }
    const Verdict was = held == StoreStatus::Ok ? before.verdict : Verdict::Unknown;

    UploadAnalysis analysis(analysers_, settings_.extract);
    std::string detail;
    ScanFault fault = analysis.start(detail);
    if (fault == ScanFault::None && !analysis.add(text, detail))
        fault = analysis.fault();
    AnalysisOutcome outcome;
    if (fault == ScanFault::None) {
        outcome = analysis.finish(store, file, bytes, std::string());
        fault = outcome.fault;
        detail = outcome.detail;
    }
    if (fault != ScanFault::None) {
        say(name + ": not analysed again: " + detail);
        // A scanner away or busy is tried again later; a file it refuses
        // (too large, an answer it garbled) would only be refused again.
        const bool passing = fault == ScanFault::Unreachable || fault == ScanFault::Busy ||
                             fault == ScanFault::TimedOut;
        metrics_.rescanned(false);
        return passing ? Outcome::Retry : Outcome::Dropped;
    }
    if (outcome.store_failed || store.add_analyses(outcome.records, error) != StoreStatus::Ok) {
        say(name + ": the scan again could not be kept: " +
            (outcome.store_failed ? outcome.detail : error));
        return Outcome::Retry;
    }
    FileRecord after;
    if (store.find_md5(file.md5, after, error) != StoreStatus::Ok) {
        say("cannot read the store: " + error);
        return Outcome::Done;  // kept already: the next look shows it
    }
    metrics_.rescanned(true);
    if (after.verdict != was) {
        metrics_.verdict_changed(static_cast<int>(was), static_cast<int>(after.verdict));
        say(name + " (MD5 " + to_hex(file.md5) + "): verdict " + std::string(verdict_name(was)) +
            " -> " + std::string(verdict_name(after.verdict)) +
            (after.label.empty() ? std::string() : " (" + log_safe(after.label, 256) + ")") +
            " after a scan again");
    }
    return Outcome::Done;
}
