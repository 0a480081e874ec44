// What an import tells the person running it: a progress line on a terminal,
// one summary line at the end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct ImportFigures {
    std::uint64_t bytes = 0;
    std::optional<std::uint64_t> total_bytes;  // when every list's size is known
    std::uint64_t lines = 0;
    double        seconds = 0;
};

// "12.0 MiB of 48.0 MiB, 250000 lines, 125000 lines/s, 0:06 left"
std::string progress_line(const ImportFigures& figures);

struct ImportTotals {
    std::uint64_t files = 0, entries = 0, new_listings = 0, skipped = 0, failed_files = 0;
};

// "imported 3 entries from 1 file (source S): 2 new, 1 already listed, 4 lines skipped"
std::string summary_line(const ImportTotals& totals, const std::string& sources);
