// The scanner as the service sees it: where clamd is, how long it may take,
// and what it said of itself last, for the information page and the stats.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "service/analysis/clamd_client.h"
#include "service/analysis/yara_rules.h"

struct ScannerReport {
    bool          reachable = false;
    EngineVersion version;  // when reachable
    std::string   detail;   // why not, when not
};

class Scanner {
public:
    Scanner(ClamdAddress address, std::string address_text, std::chrono::milliseconds timeout)
        : address_(std::move(address)), address_text_(std::move(address_text)), timeout_(timeout)
    {
    }

    const ClamdAddress& address() const { return address_; }
    const std::string& address_text() const { return address_text_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

    // Asks clamd for its version now; what it says is kept for report().
    ScanFault ask_version(EngineVersion& out, std::string& detail);

    // What clamd said of itself, asked again when the last answer is older
    // than a few seconds, so that a page that shows it cannot keep clamd busy.
    ScannerReport report();

    // The YARA rules uploads are matched with, shown beside clamd; null
    // without --yara-rules.
    void set_rules(YaraRules* rules) { rules_ = rules; }
    YaraRules* rules() const { return rules_; }

private:
    ClamdAddress address_;
    std::string address_text_;
    std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    ScannerReport last_;
    std::chrono::steady_clock::time_point asked_{};
    YaraRules* rules_ = nullptr;
};
