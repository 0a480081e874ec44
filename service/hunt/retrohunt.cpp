#include "service/hunt/retrohunt.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <yara.h>

#include <openssl/evp.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "service/analysis/archive_reader.h"

namespace {

bool md5_of(std::span<const unsigned char> bytes, Md5Bytes& out)
{
    unsigned int size = 0;
    return EVP_Digest(bytes.data(), bytes.size(), out.data(), &size, EVP_md5(), nullptr) == 1
        && size == out.size();
}

int on_rule(YR_SCAN_CONTEXT*, int message, void* data, void* user)
{
    if (message == CALLBACK_MSG_RULE_MATCHING)
        static_cast<std::vector<std::string>*>(user)->emplace_back(
            static_cast<const YR_RULE*>(data)->identifier);
    return CALLBACK_CONTINUE;
}

// What the threads share.
struct Shared {
    std::mutex                mutex;
    std::condition_variable   changed;
    std::vector<HuntHit>      hits;
    std::vector<std::string>  problems;
    HuntProgress              progress;
    unsigned                  running = 0;
    std::atomic<std::size_t>  next{0};
    std::atomic<bool>         stop{false};
};

class Hunter {
public:
    Hunter(const SampleStore& store, const CompiledRules& rules, const HuntSettings& settings,
           Shared& shared)
        : store_(store), rules_(rules), settings_(settings), shared_(shared)
    {
        options_.passwords.emplace_back(kCustomaryPassword);
    }

    void run(std::span<const KeptSample> samples)
    {
        if (settings_.low_priority)
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
        std::vector<unsigned char> bytes;
        for (std::size_t i; !shared_.stop && (i = shared_.next.fetch_add(1)) < samples.size();) {
            std::string error;
            hits_.clear();
            problem_.clear();
            const StoreStatus read = store_.read(samples[i].sha256, bytes, error);
            if (read == StoreStatus::Error)
                problem_ = error;
            if (read == StoreStatus::Ok) {
                ExtractBudget budget{settings_.extract.max_files, settings_.extract.max_bytes};
                scan(bytes, 0, "", budget, to_hex(samples[i].sha256));
            }
            std::vector<unsigned char>().swap(bytes);
            const std::lock_guard lock(shared_.mutex);
            ++shared_.progress.done;
            if (!problem_.empty()) {
                ++shared_.progress.failed;
                shared_.problems.push_back(std::move(problem_));
            }
            shared_.hits.insert(shared_.hits.end(), std::make_move_iterator(hits_.begin()),
                                std::make_move_iterator(hits_.end()));
        }
        const std::lock_guard lock(shared_.mutex);
        --shared_.running;
        shared_.changed.notify_all();
    }

private:
    // Scans one file, then the members of it when it is an archive and the
    // depth allows; `member`: its path inside its parent, empty for a sample.
    void scan(std::span<const unsigned char> bytes, unsigned depth, const std::string& member,
              ExtractBudget& budget, const std::string& sample)
    {
        std::vector<std::string> rules;
        const int status = yr_rules_scan_mem(rules_.rules, bytes.data(), bytes.size(),
                                             SCAN_FLAGS_FAST_MODE, on_rule, &rules,
                                             static_cast<int>(settings_.timeout.count()));
        if (status != ERROR_SUCCESS && problem_.empty())
            problem_ = "the sample " + sample + (member.empty() ? "" : ", member " + member) + ": "
                     + (status == ERROR_SCAN_TIMEOUT ? "the rules took longer than "
                                                           + std::to_string(settings_.timeout.count()) + " s"
                                                     : "libyara error " + std::to_string(status));
        if (!rules.empty()) {
            Md5Bytes md5{};
            if (md5_of(bytes, md5))
                for (std::string& rule : rules)
                    hits_.push_back({md5, std::move(rule), member});
        }
        if (depth >= settings_.extract.depth || shared_.stop)
            return;
        ArchiveRead read = read_archive(bytes, options_, budget);
        for (ArchiveMember& inside : read.members) {
            if (inside.skip == MemberSkip::None)
                scan(inside.data, depth + 1, inside.name, budget, sample);
            std::vector<unsigned char>().swap(inside.data);
        }
    }

    const SampleStore&    store_;
    const CompiledRules&  rules_;
    const HuntSettings&   settings_;
    Shared&               shared_;
    ExtractOptions        options_;
    std::vector<HuntHit>  hits_;     // of the sample at hand
    std::string           problem_;  // its first
};

}  // namespace

HuntProgress hunt_samples(const SampleStore& store, std::span<const KeptSample> samples,
                          const CompiledRules& rules, const HuntSettings& settings,
                          const HuntReport& report)
{
    Shared shared;
    shared.progress.total = samples.size();
    const unsigned count = std::max(1u, settings.threads);
    shared.running = count;
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < count; ++t)
        threads.emplace_back([&] { Hunter(store, rules, settings, shared).run(samples); });

    for (bool last = false; !last;) {
        std::vector<HuntHit> hits;
        std::vector<std::string> problems;
        HuntProgress now;
        {
            std::unique_lock lock(shared.mutex);
            shared.changed.wait_for(lock, settings.report_every, [&] { return shared.running == 0; });
            last = shared.running == 0;
            hits.swap(shared.hits);
            problems.swap(shared.problems);
            now = shared.progress;
        }
        if (!report(now, hits, problems))
            shared.stop = true;
    }
    return shared.progress;
}

std::string first_seen(const FileRecord& record)
{
    std::string first;
    const auto consider = [&first](const std::string& when) {
        if (!when.empty() && (first.empty() || when < first))
            first = when;
    };
    for (const ScanRecord& scan : record.scans)
        consider(scan.scanned);
    for (const SourceListing& source : record.sources)
        consider(source.imported);
    return first;
}

HuntMatch describe_hit(Store& store, const HuntHit& hit, std::string& error)
{
    HuntMatch match{to_hex(hit.md5), hit.rule, hit.member, ""};
    FileRecord record;
    if (store.find_md5(hit.md5, record, error) == StoreStatus::Ok) {
        if (!record.names.empty())
            match.name = record.names.front();
        match.first_seen = first_seen(record);
    }
    return match;
}
