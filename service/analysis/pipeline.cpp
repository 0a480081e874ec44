#include "service/analysis/pipeline.h"

#include <algorithm>
#include <map>
#include <thread>

#include "service/analysis/file_digests.h"

namespace {

std::string fault_text(ScanFault fault, const std::string& detail)
{
    std::string_view kind;
    switch (fault) {
    case ScanFault::Unreachable: kind = "unavailable"; break;
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

bool UploadAnalysis::analyse(Store& store, const UploadedFile& file,
                             std::span<const unsigned char> bytes, unsigned depth,
                             std::vector<std::unique_ptr<Analysis>>* begun, AnalysisOutcome& out,
                             Verdict& verdict, std::string& label)
{
    FileRecord known;
    std::string error;
    const StoreStatus status = store.find_md5(file.md5, known, error);
    if (status == StoreStatus::Error) {
        out.store_failed = true;
        out.detail = error;
        return false;
    }
    const bool held = status == StoreStatus::Ok;
    AnalysisRecord record;
    record.file = file;

    // A member's analyses begin here, fed the member whole.
    std::vector<std::unique_ptr<Analysis>> mine;
    if (!begun) {
        for (const std::unique_ptr<Analyser>& analyser : analysers_) {
            ScanFault fault = ScanFault::None;
            std::string why;
            std::unique_ptr<Analysis> analysis = analyser->begin(fault, why);
            // A failure to take the bytes is said by its finish().
            if (analysis)
                (void)analysis->add(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                                     bytes.size()));
            if (fault != ScanFault::None)
                record.faults.push_back({std::string(analyser->name()), fault_text(fault, why)});
            mine.push_back(std::move(analysis));
        }
        begun = &mine;
    } else {
        record.faults = early_faults_;
    }
    std::vector<std::unique_ptr<Analysis>>& analyses = *begun;

    // An engine that scanned this file before with what it has now is not
    // asked again.
    for (std::size_t i = 0; i < analyses.size(); ++i) {
        const std::optional<ScanRecord>& now = identities_[i];
        if (now && held && std::any_of(known.scans.begin(), known.scans.end(),
                                       [&](const ScanRecord& earlier) {
                                           return analysers_[i]->answered_by(earlier, *now);
                                       }))
            analyses[i].reset();
    }

    // Side by side: each analyser that waits or computes long on a thread of
    // its own, the quick ones on this one meanwhile.
    const FileFacts facts{&file, depth};
    std::vector<Findings> found(analyses.size());
    {
        std::vector<std::jthread> apart;
        for (std::size_t i = 0; i < analyses.size(); ++i)
            if (analyses[i] && analysers_[i]->works_apart())
                apart.emplace_back([&, i] { found[i] = analyses[i]->finish(bytes, facts); });
        for (std::size_t i = 0; i < analyses.size(); ++i)
            if (analyses[i] && !analysers_[i]->works_apart())
                found[i] = analyses[i]->finish(bytes, facts);
    }

    for (std::size_t i = 0; i < analyses.size(); ++i) {
        if (!analyses[i])
            continue;
        Findings& findings = found[i];
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
            std::string contains;
            for (ArchiveMember& member : read.members) {
                MemberListing listing;
                listing.name = member.name;
                if (member.skip != MemberSkip::None) {
                    listing.skipped = too_deep && member.skip == MemberSkip::FileBound
                                          ? std::string("depth bound")
                                          : std::string(member_skip_name(member.skip));
                    if (!member.detail.empty() && !too_deep)
                        listing.skipped += ": " + member.detail;
                    record.members.push_back(std::move(listing));
                    continue;
                }
                UploadedFile inside;
                FileDigests digests;
                digests.add(std::string_view(reinterpret_cast<const char*>(member.data.data()),
                                             member.data.size()));
                if (!digests.end(inside)) {
                    listing.skipped = "not digested";
                    record.members.push_back(std::move(listing));
                    continue;
                }
                inside.name = member.name;
                listing.md5 = inside.md5;
                listing.sha1 = inside.sha1;
                Verdict member_verdict = Verdict::Unknown;
                std::string member_label;
                const std::string key(inside.md5.begin(), inside.md5.end());
                if (const auto seen = seen_.find(key); seen != seen_.end()) {
                    // The same file twice in one tree is analysed once.
                    member_verdict = seen->second.first;
                    member_label = seen->second.second;
                } else {
                    if (!analyse(store, inside, member.data, depth + 1, nullptr, out, member_verdict,
                                 member_label))
                        return false;
                    seen_.emplace(key, std::make_pair(member_verdict, member_label));
                }
                std::vector<unsigned char>().swap(member.data);
                if (member_verdict == Verdict::Bad && contains.empty())
                    contains = "contains " + member.name + ": " + member_label;
                record.members.push_back(std::move(listing));
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
