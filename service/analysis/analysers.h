// The analysers there are, one file each. Adding an engine: its file, its
// maker declared here, and its line in make_analysers().
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "service/analysis/analyser.h"
#include "service/analysis/scanner.h"
#include "service/analysis/yara_rules.h"

// clamd, streamed to as the upload arrives; its failure fails the upload.
std::unique_ptr<Analyser> make_clamav_analyser(Scanner& scanner);
// The rules in force when a file's analysis begins; `timeout` bounds one file.
std::unique_ptr<Analyser> make_yara_analyser(YaraRules& rules, std::chrono::seconds timeout);
// libmagic's MIME type and description.
std::unique_ptr<Analyser> make_file_type_analyser();
// ssdeep's fuzzy digest (MD5, SHA-1 and SHA-256 are taken as the upload arrives).
std::unique_ptr<Analyser> make_digest_analyser();

struct AnalyserSettings {
    Scanner*             scanner = nullptr;  // required
    YaraRules*           yara = nullptr;     // none: no YARA
    std::chrono::seconds yara_timeout{60};
};

std::vector<std::unique_ptr<Analyser>> make_analysers(const AnalyserSettings& settings);
