// One upload's analysis: every analyser begun before its bytes arrive, fed
// from the one pass that reads it, and finished side by side; then each
// member of an archive, taken apart in memory, through the same analysers,
// with its depth and its parent carried along. What is kept comes back as
// records for the store to write together, the upload's last.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/analysis/analyser.h"
#include "service/analysis/archive_reader.h"
#include "service/store/store.h"

struct ExtractLimits {
    unsigned      depth = 4;                             // --extract-depth
    std::size_t   max_files = 1000;                      // --extract-max-files
    std::uint64_t max_bytes = std::uint64_t{512} << 20;  // --extract-max-bytes
};

// The password every archive is tried with after the uploader's own.
inline constexpr std::string_view kCustomaryPassword = "infected";

// The engine that records an archive made bad by one of its members.
inline constexpr std::string_view kMembersEngine = "archive";

struct AnalysisOutcome {
    ScanFault   fault = ScanFault::None;  // a required analyser failed: nothing to keep
    std::string detail;
    std::vector<AnalysisRecord> records;  // the upload's last
    bool        store_failed = false;     // the store could not be read: `detail` says why
};

class UploadAnalysis {
public:
    // `analysers` outlive this.
    UploadAnalysis(std::span<const std::unique_ptr<Analyser>> analysers, const ExtractLimits& limits);
    ~UploadAnalysis();
    UploadAnalysis(const UploadAnalysis&) = delete;
    UploadAnalysis& operator=(const UploadAnalysis&) = delete;

    // Asks each analyser what it scans with, and begins each: a required
    // one's failure comes back, and the upload should be refused.
    ScanFault start(std::string& detail);
    // A piece of the upload as it arrives. False when a required analyser
    // failed on it (`detail` says why, the fault is returned by fault()).
    bool add(std::string_view piece, std::string& detail);
    ScanFault fault() const { return fault_; }

    // The whole upload is in: analyses it and its members. `password`: the
    // uploader's, tried first on encrypted members.
    AnalysisOutcome finish(Store& store, const UploadedFile& file,
                           std::span<const unsigned char> bytes, const std::string& password);

private:
    // What is known of one file while it is analysed.
    struct FileWork {
        UploadedFile                   file;
        std::span<const unsigned char> bytes;
        unsigned                       depth = 0;
        FileRecord                     known;
        bool                           held = false;
        std::vector<bool>              answered;  // by an earlier scan, per analyser
        std::vector<AnalyserFault>     faults;    // analysers that could not begin
        std::vector<bool>              ran;
        std::vector<Findings>          found;
    };
    // Analyses one file, its members after it; `begun`: its analyses, when
    // begun already (the upload's). Appends its records; returns its verdict.
    bool analyse(Store& store, const UploadedFile& file, std::span<const unsigned char> bytes,
                 unsigned depth, std::vector<std::unique_ptr<Analysis>>* begun,
                 AnalysisOutcome& out, Verdict& verdict, std::string& label);
    // The store's record of it, and which engines it answers for. On the
    // job's thread, which owns the store.
    bool look_up(Store& store, FileWork& work, AnalysisOutcome& out);
    // The analysers' work, on any thread.
    void run(FileWork& work, std::vector<std::unique_ptr<Analysis>>* begun) const;
    // Its record and verdict, its members taken apart and analysed.
    bool conclude(Store& store, FileWork& work, AnalysisOutcome& out, Verdict& verdict,
                  std::string& label);

    std::span<const std::unique_ptr<Analyser>> analysers_;
    ExtractLimits limits_;
    std::vector<std::optional<ScanRecord>> identities_;
    std::vector<std::unique_ptr<Analysis>> begun_;
    std::vector<AnalyserFault> early_faults_;  // analysers that could not begin
    ScanFault fault_ = ScanFault::None;
    ExtractOptions extract_;
    ExtractBudget budget_;
    // The files of this upload's tree analysed so far, by MD5: their verdict and label.
    std::map<std::string, std::pair<Verdict, std::string>> seen_;
};
