#include "service/import/import_progress.h"

#include <cstdio>

namespace {

std::string mebibytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string plural(std::uint64_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string progress_line(const ImportFigures& figures)
{
    std::string line = mebibytes(figures.bytes);
    if (figures.total_bytes)
        line += " of " + mebibytes(*figures.total_bytes);
    line += ", " + plural(figures.lines, "line", "lines");
    if (figures.seconds > 0) {
        const double rate = static_cast<double>(figures.lines) / figures.seconds;
        line += ", " + std::to_string(static_cast<std::uint64_t>(rate)) + " lines/s";
        if (figures.total_bytes && figures.bytes > 0 && figures.bytes <= *figures.total_bytes) {
            const double left = figures.seconds
                              * static_cast<double>(*figures.total_bytes - figures.bytes)
                              / static_cast<double>(figures.bytes);
            const auto whole = static_cast<std::uint64_t>(left + 0.5);
            char text[48];
            std::snprintf(text, sizeof text, ", %llu:%02llu left",
                          static_cast<unsigned long long>(whole / 60),
                          static_cast<unsigned long long>(whole % 60));
            line += text;
        }
    }
    return line;
}

std::string summary_line(const ImportTotals& totals, const std::string& sources)
{
    std::string line = "imported " + plural(totals.entries, "entry", "entries") + " from "
                     + plural(totals.files - totals.failed_files, "file", "files");
    if (!sources.empty())
        line += " (" + sources + ")";
    line += ": " + std::to_string(totals.new_listings) + " new, "
          + std::to_string(totals.entries - totals.new_listings) + " already listed, "
          + plural(totals.skipped, "line", "lines") + " skipped";
    if (totals.failed_files > 0)
        line += "; " + plural(totals.failed_files, "file", "files") + " not imported";
    return line;
}
