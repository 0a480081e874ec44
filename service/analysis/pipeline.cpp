#include "service/analysis/pipeline.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "service/analysis/file_digests.h"

namespace {

// Members analysed at once: clamd's round trips overlap each other and the
// type and digests taken meanwhile.
constexpr std::size_t kMemberThreads = 4;

std::string fault_text(ScanFault fault, const std::string& detail)
{
    std::string_view kind;
    switch (fault) {
    case ScanFault::Unreachable: kind = "unavailable"; break;
    case ScanFault::Busy:        kind = "busy"; break;
    case ScanFault::TimedOut:    kind = "timed out"; break;
    case ScanFault::Garbled:     kind = "failed"; break;
    case ScanFault::TooLarge:    kind = "file too large"; break;
    case ScanFault::None:        break;
    }
    return std::string(kind) + (detail.empty() ? "" : ": " + detail);
}

}  // namespace

UploadAnalysis::UploadAnalysis(std::span<const std::unique_ptr<Analyser>> analysers,
                               const ExtractLimits& limits)
    : analysers_(analysers), limits_(limits)
{
    budget_.files_left = limits.max_files;
    budget_.bytes_left = limits.max_bytes;
}

UploadAnalysis::~UploadAnalysis() = default;

ScanFault UploadAnalysis::start(std::string& detail)
{
    identities_.assign(analysers_.size(), std::nullopt);
    begun_.clear();
    for (std::size_t i = 0; i < analysers_.size(); ++i) {
        Analyser& analyser = *analysers_[i];
        std::string why;
        ScanFault fault = analyser.identity(identities_[i], why);
        std::unique_ptr<Analysis> analysis;
        if (fault == ScanFault::None)
            analysis = analyser.begin(fault, why);
        if (fault != ScanFault::None && analyser.required()) {
            detail = why;
            return fault_ = fault;
        }
        if (fault != ScanFault::None)
            early_faults_.push_back({std::string(analyser.name()), fault_text(fault, why)});
        begun_.push_back(std::move(analysis));
    }
    return ScanFault::None;
}

bool UploadAnalysis::add(std::string_view piece, std::string& detail)
{
    for (std::size_t i = 0; i < begun_.size(); ++i) {
        if (!begun_[i] || begun_[i]->add(piece))
            continue;
        Findings found = begun_[i]->finish({}, FileFacts{});
        if (analysers_[i]->required()) {
            detail = found.detail;
            fault_ = found.fault;
            return false;
        }
        early_faults_.push_back({std::string(analysers_[i]->name()),
                                 fault_text(found.fault, found.detail)});
        begun_[i].reset();
    }
    return true;
}

AnalysisOutcome UploadAnalysis::finish(Store& store, const UploadedFile& file,
                                       std::span<const unsigned char> bytes,
                                       const std::string& password)
{
    AnalysisOutcome out;
    extract_.passwords.clear();
    if (!password.empty())
        extract_.passwords.push_back(password);
    if (password != kCustomaryPassword)
        extract_.passwords.emplace_back(kCustomaryPassword);
    Verdict verdict = Verdict::Unknown;
    std::string label;
    seen_.clear();
    if (!analyse(store, file, bytes, 0, &begun_, out, verdict, label))
        out.records.clear();
    return out;
}

bool UploadAnalysis::look_up(Store& store, FileWork& work, AnalysisOutcome& out)
{
    std::string error;
    const StoreStatus status = store.find_md5(work.file.md5, work.known, error);
    if (status == StoreStatus::Error) {
        out.store_failed = true;
        out.detail = error;
        return false;
    }
    work.held = status == StoreStatus::Ok;
    // An engine that scanned this file before with what it has now is not
    // asked again.
    work.answered.assign(analysers_.size(), false);
    for (std::size_t i = 0; i < analysers_.size(); ++i) {
        const std::optional<ScanRecord>& now = identities_[i];
        work.answered[i] = (now && work.held && std::any_of(
            work.known.scans.begin(), work.known.scans.end(), [&](const ScanRecord& earlier) {
                return analysers_[i]->answered_by(earlier, *now);
            })) || (work.held && analysers_[i]->known_in(work.known));
    }
    return true;
}

void UploadAnalysis::run(FileWork& work, std::vector<std::unique_ptr<Analysis>>* begun) const
{
    // A member's analyses begin here, those not answered, fed the member whole.
    std::vector<std::unique_ptr<Analysis>> mine;
    if (!begun) {
        for (std::size_t i = 0; i < analysers_.size(); ++i) {
            ScanFault fault = ScanFault::None;
            std::string why;
            std::unique_ptr<Analysis> analysis =
                work.answered[i] ? nullptr : analysers_[i]->begin(fault, why);
            // A failure to take the bytes is said by its finish().
            if (analysis)
                (void)analysis->add(std::string_view(
                    reinterpret_cast<const char*>(work.bytes.data()), work.bytes.size()));
            if (fault != ScanFault::None)
                work.faults.push_back({std::string(analysers_[i]->name()), fault_text(fault, why)});
            mine.push_back(std::move(analysis));
        }
        begun = &mine;
    }
    std::vector<std::unique_ptr<Analysis>>& analyses = *begun;
    work.ran.assign(analyses.size(), false);
    work.found.assign(analyses.size(), Findings{});
    for (std::size_t i = 0; i < analyses.size(); ++i) {
        if (work.answered[i])
            analyses[i].reset();
        work.ran[i] = analyses[i] != nullptr;
    }

    // Side by side: each analyser that waits or computes long on a thread of
    // its own, the quick ones on this one meanwhile.
    const FileFacts facts{&work.file, work.depth};
    std::vector<std::jthread> apart;
    for (std::size_t i = 0; i < analyses.size(); ++i)
        if (analyses[i] && analysers_[i]->works_apart())
            apart.emplace_back([&, i] { work.found[i] = analyses[i]->finish(work.bytes, facts); });
    for (std::size_t i = 0; i < analyses.size(); ++i)
        if (analyses[i] && !analysers_[i]->works_apart())
            work.found[i] = analyses[i]->finish(work.bytes, facts);
}

bool UploadAnalysis::analyse(Store& store, const UploadedFile& file,
                             std::span<const unsigned char> bytes, unsigned depth,
                             std::vector<std::unique_ptr<Analysis>>* begun, AnalysisOutcome& out,
                             Verdict& verdict, std::string& label)
{
    FileWork work;
    work.file = file;
    work.bytes = bytes;
    work.depth = depth;
    if (begun)
        work.faults = early_faults_;
    if (!look_up(store, work, out))
        return false;
    run(work, begun);
    return conclude(store, work, out, verdict, label);
}

bool UploadAnalysis::conclude(Store& store, FileWork& work, AnalysisOutcome& out, Verdict& verdict,
                              std::string& label)
{
    const std::span<const unsigned char> bytes = work.bytes;
    const unsigned depth = work.depth;
    const bool held = work.held;
    const FileRecord& known = work.known;
    AnalysisRecord record;
    record.file = work.file;
    record.faults = std::move(work.faults);

    for (std::size_t i = 0; i < work.found.size(); ++i) {
        if (!work.ran[i])
            continue;
        Findings& findings = work.found[i];
        if (findings.fault != ScanFault::None) {
            if (depth == 0 && analysers_[i]->required()) {
                out.fault = findings.fault;
                out.detail = findings.detail;
                return false;
            }
            record.faults.push_back({std::string(analysers_[i]->name()),
                                     fault_text(findings.fault, findings.detail)});
            continue;
        }
        if (findings.scan) {
            ScanRecord& scan = *findings.scan;
            if (identities_[i]) {
                scan.engine = identities_[i]->engine;
                scan.engine_version = identities_[i]->engine_version;
                scan.signature_version = identities_[i]->signature_version;
            }
            record.scans.push_back(std::move(scan));
        }
        if (!findings.mime.empty())
            record.mime = std::move(findings.mime);
        if (!findings.type.empty())
            record.type = std::move(findings.type);
        if (!findings.ssdeep.empty())
            record.ssdeep = std::move(findings.ssdeep);
    }

    // The store replaces the type and digest together: what was not taken
    // again stays as it was.
    if (held && record.type.empty() && record.mime.empty()) {
        record.mime = known.mime;
        record.type = known.type;
    }
    if (held && record.ssdeep.empty())
        record.ssdeep = known.ssdeep;

    // Bad wins: what the store held, then what the engines found now.
    verdict = held ? known.verdict : Verdict::Unknown;
    label = held ? known.label : std::string();
    for (const ScanRecord& scan : record.scans)
        if (scan.found && verdict != Verdict::Bad) {
            verdict = Verdict::Bad;
            label = scan.signature;
        }

    if (!bytes.empty()) {
        // Past the depth, an archive is still listed, its members unread.
        ExtractBudget none{0, 0};
        const bool too_deep = depth >= limits_.depth;
        ArchiveRead read = read_archive(bytes, extract_, too_deep ? none : budget_);
        if (read.outcome != ArchiveOutcome::NotAnArchive) {
            record.archive = true;
            if (read.outcome == ArchiveOutcome::Damaged)
                record.faults.push_back({"archive", "damaged: " + read.detail});
            // Each member read is digested and looked up here, analysed side
            // by side with the others on a few threads, then concluded in the
            // archive's order, its own members after it.
            struct Slot {
                MemberListing           listing;
                std::optional<FileWork> work;  // none: skipped, or analysed before
                std::string             key;
            };
            std::vector<Slot> slots(read.members.size());
            std::set<std::string> here;
            for (std::size_t i = 0; i < read.members.size(); ++i) {
                ArchiveMember& member = read.members[i];
                Slot& slot = slots[i];
                slot.listing.name = member.name;
                if (member.skip != MemberSkip::None) {
                    slot.listing.skipped = too_deep && member.skip == MemberSkip::FileBound
                                               ? std::string("depth bound")
                                               : std::string(member_skip_name(member.skip));
                    if (!member.detail.empty() && !too_deep)
                        slot.listing.skipped += ": " + member.detail;
                    continue;
                }
                UploadedFile inside;
                FileDigests digests;
                digests.add(std::string_view(reinterpret_cast<const char*>(member.data.data()),
                                             member.data.size()));
                if (!digests.end(inside)) {
                    slot.listing.skipped = "not digested";
                    continue;
                }
                inside.name = member.name;
                slot.listing.md5 = inside.md5;
                slot.listing.sha1 = inside.sha1;
                slot.key.assign(inside.md5.begin(), inside.md5.end());
                // The same file twice in one tree is analysed once.
                if (seen_.contains(slot.key) || !here.insert(slot.key).second)
                    continue;
                FileWork& inner = slot.work.emplace();
                inner.file = std::move(inside);
                inner.bytes = member.data;
                inner.depth = depth + 1;
                if (!look_up(store, inner, out))
                    return false;
            }
            std::atomic<std::size_t> next{0};
            const auto analyse_some = [&] {
                for (std::size_t k; (k = next.fetch_add(1)) < slots.size();)
                    if (slots[k].work)
                        run(*slots[k].work, nullptr);
            };
            {
                std::vector<std::jthread> helpers;
                for (std::size_t t = 1; t < std::min<std::size_t>(kMemberThreads, slots.size()); ++t)
                    helpers.emplace_back(analyse_some);
                analyse_some();
            }
            std::string contains;
            for (std::size_t i = 0; i < slots.size(); ++i) {
                Slot& slot = slots[i];
                Verdict member_verdict = Verdict::Unknown;
                std::string member_label;
                if (slot.work) {
                    if (!conclude(store, *slot.work, out, member_verdict, member_label))
                        return false;
                    seen_.emplace(slot.key, std::make_pair(member_verdict, member_label));
                    slot.work.reset();
                } else if (const auto seen = seen_.find(slot.key);
                           slot.listing.skipped.empty() && seen != seen_.end()) {
                    member_verdict = seen->second.first;
                    member_label = seen->second.second;
                }
                std::vector<unsigned char>().swap(read.members[i].data);
                if (member_verdict == Verdict::Bad && contains.empty())
                    contains = "contains " + slot.listing.name + ": " + member_label;
                record.members.push_back(std::move(slot.listing));
            }
            if (!contains.empty()) {
                verdict = Verdict::Bad;
                label = contains;
                const bool kept = held && std::any_of(known.scans.begin(), known.scans.end(),
                                                      [&](const ScanRecord& scan) {
                                                          return scan.engine == kMembersEngine
                                                              && scan.signature == contains;
                                                      });
                if (!kept) {
                    ScanRecord scan;
                    scan.engine = kMembersEngine;
                    scan.found = true;
                    scan.signature = contains;
                    record.scans.push_back(std::move(scan));
                }
            }
        }
    }
    out.records.push_back(std::move(record));
    return true;
}
