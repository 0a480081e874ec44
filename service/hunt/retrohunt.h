// Retro-hunts: one analyst's YARA rules run over every kept sample and the
// members of its archives, at any depth, taken apart in memory with the
// bounds and passwords the upload analysis uses. Samples are decompressed
// and scanned on threads of the hunt's own; what they find is handed to the
// calling thread, which alone touches the store.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "service/analysis/pipeline.h"
#include "service/analysis/yara_rules.h"
#include "service/samples/sample_store.h"
#include "service/store/store.h"

struct HuntSettings {
    unsigned      threads = 2;
    bool          low_priority = false;  // the threads run in the idle scheduling class
    ExtractLimits extract;
    std::chrono::seconds timeout{60};    // per file scanned
    std::chrono::milliseconds report_every{1000};
};

// One rule that matched one file: a kept sample, or a member found in one.
struct HuntHit {
    Md5Bytes    md5{};
    std::string rule;
    std::string member;  // its path in the archive it was found in; empty for a sample
};

// Where a hunt stands, as its threads left it at a report.
struct HuntProgress {
    std::uint64_t done = 0, total = 0;
    std::uint64_t failed = 0;  // samples that could not be read or scanned whole
};

// Hands over what the threads found since the last call: `hits`, and lines
// for the operator on samples that could not be read. Returns false to stop
// the hunt, its threads ending after the files they are on.
using HuntReport = std::function<bool(const HuntProgress&, std::vector<HuntHit>& hits,
                                      std::vector<std::string>& problems)>;

// Compiles an analyst's rules for a hunt. Null with `error` holding the
// compiler's first complaint.
std::shared_ptr<const CompiledRules> compile_hunt_rules(std::string_view text, std::string& error);

// Hunts over `samples` with `rules` (from compile_hunt_rules), calling `report` on this thread every
// `report_every` and once at the end. Returns the progress at the end.
HuntProgress hunt_samples(const SampleStore& store, std::span<const KeptSample> samples,
                          const CompiledRules& rules, const HuntSettings& settings,
                          const HuntReport& report);

// What a hit says to the analyst: the file's first name and first sighting
// from its record in `store`, the member's path where it has none.
HuntMatch describe_hit(Store& store, const HuntHit& hit, std::string& error);

// The earliest of the record's scans and listings: when the service first
// met the file. Empty when it names none.
std::string first_seen(const FileRecord& record);
