#include "service/analysis/scanner.h"

#include <algorithm>

namespace {

constexpr std::chrono::seconds kReportAge{5};
// A report is asked for on a look-up thread: it may not wait long.
constexpr std::chrono::milliseconds kReportWait{1000};

}  // namespace

ScanFault Scanner::ask_version(EngineVersion& out, std::string& detail)
{
    const ScanFault fault = clamd_version(address_, timeout_, out, detail);
    const std::lock_guard lock(mutex_);
    last_ = {fault == ScanFault::None, out, fault == ScanFault::None ? std::string() : detail};
    asked_ = std::chrono::steady_clock::now();
    return fault;
}

ScannerReport Scanner::report()
{
    {
        const std::lock_guard lock(mutex_);
        if (asked_ != std::chrono::steady_clock::time_point{}
            && std::chrono::steady_clock::now() - asked_ < kReportAge)
            return last_;
    }
    EngineVersion version;
    std::string detail;
    const ScanFault fault = clamd_version(address_, std::min(timeout_, kReportWait), version, detail);
    const std::lock_guard lock(mutex_);
    last_ = {fault == ScanFault::None, version, fault == ScanFault::None ? std::string() : detail};
    asked_ = std::chrono::steady_clock::now();
    return last_;
}
