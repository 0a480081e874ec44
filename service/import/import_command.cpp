// brantwicker-service import DB [--format F] [--source NAME] [--verdict good|bad] FILE...
//
// Each list is one transaction: a list that cannot be read to its end, or a
// store that cannot take it, leaves the store as it was. Lines that cannot be
// read are skipped and reported; they never stop the import.
#include "service/commands.h"
#include "service/import/import_progress.h"
#include "service/import/line_reader.h"
#include "service/import/list_formats.h"
#include "service/store/store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

namespace {

// Entries handed to the store at a time; memory stays flat whatever the list.
constexpr std::size_t batch_size = 10'000;
constexpr std::uint64_t reported_lines = 10;

using Clock = std::chrono::steady_clock;

struct Options {
    std::string                db;
    std::optional<ListFormat>  format;
    std::optional<std::string> source;
    std::optional<Verdict>     verdict;
    std::vector<std::string>   files;
};

bool parse_options(int argc, char** argv, Options& options)
{
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string_view name = arg;
        std::optional<std::string_view> value;
        if (!only_files && arg.starts_with("--") && arg.size() > 2) {
            if (const auto equals = arg.find('='); equals != std::string_view::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
            } else if (arg != "--" && i + 1 < argc) {
                value = argv[i + 1];
            }
        }
        const auto take = [&](std::string_view option) {
            if (name != option)
                return false;
            if (!value) {
                std::fprintf(stderr, "brantwicker-service import: %s needs a value\n", argv[i]);
                return false;
            }
            if (name == arg)
                ++i;
            return true;
        };
        if (only_files || !arg.starts_with("--") || arg == "-") {
            if (options.db.empty())
                options.db = arg;
            else
                options.files.emplace_back(arg);
        } else if (arg == "--") {
            only_files = true;
        } else if (take("--format")) {
            options.format = format_from_name(*value);
            if (!options.format) {
                std::fprintf(stderr, "brantwicker-service import: unknown format '%.*s'"
                                     " (md5sum, debian, nsrl, hdb)\n",
                             static_cast<int>(value->size()), value->data());
                return false;
            }
        } else if (take("--source")) {
            if (value->empty()) {
                std::fputs("brantwicker-service import: the source name is empty\n", stderr);
                return false;
            }
            options.source = std::string(*value);
        } else if (take("--verdict")) {
            if (*value == "good")
                options.verdict = Verdict::Good;
            else if (*value == "bad")
                options.verdict = Verdict::Bad;
            else {
                std::fputs("brantwicker-service import: --verdict is good or bad\n", stderr);
                return false;
            }
        } else {
            if (name == "--format" || name == "--source" || name == "--verdict")
                return false;  // the value was missing; already said
            std::fprintf(stderr, "brantwicker-service import: unknown option %s\n", argv[i]);
            return false;
        }
    }
    if (options.db.empty() || options.files.empty()) {
        std::fputs("usage: brantwicker-service import DB [--format md5sum|debian|nsrl|hdb]"
                   " [--source NAME] [--verdict good|bad] FILE...\n", stderr);
        return false;
    }
    return true;
}

std::string base_name(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The source a list is recorded under when the import does not name one: the
// list's file name, or one source for all of a machine's package manifests.
std::string default_source(const std::string& path, ListFormat format)
{
    if (format == ListFormat::Debian)
        return "debian-packages";
    if (path == "-")
        return "standard input";
    return base_name(path);
}

class Progress {
public:
    Progress(std::optional<std::uint64_t> total) : shown_(isatty(STDERR_FILENO) == 1)
    {
        figures_.total_bytes = total;
    }

    void update(std::uint64_t bytes, std::uint64_t lines, bool force = false)
    {
        figures_.bytes = done_bytes_ + bytes;
        figures_.lines = done_lines_ + lines;
        if (!shown_)
            return;
        const auto now = Clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(250))
            return;
        last_ = now;
        figures_.seconds = std::chrono::duration<double>(now - start_).count();
        std::fprintf(stderr, "\r\033[K%s", progress_line(figures_).c_str());
        std::fflush(stderr);
        dirty_ = true;
    }

    // The list is read; the store now takes it in, which takes about as
    // long again and shows no progress of its own.
    void writing()
    {
        if (!shown_)
            return;
        ImportFigures read = figures_;
        read.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        read.total_bytes.reset();  // a time left would be wrong from here on
        std::fprintf(stderr, "\r\033[K%s read; writing into the store...", progress_line(read).c_str());
        std::fflush(stderr);
        dirty_ = true;
    }

    void file_done()
    {
        done_bytes_ = figures_.bytes;
        done_lines_ = figures_.lines;
    }

    // Before any other message, so that it does not land after the meter.
    void clear()
    {
        if (dirty_)
            std::fputs("\r\033[K", stderr);
        dirty_ = false;
    }

private:
    bool          shown_;
    bool          dirty_ = false;
    ImportFigures figures_;
    std::uint64_t done_bytes_ = 0, done_lines_ = 0;
    Clock::time_point start_ = Clock::now(), last_{};
};

struct FileResult {
    bool          imported = false;
    std::uint64_t entries = 0, new_listings = 0, skipped = 0;
    std::string   source;
};

FileResult import_file(Store& store, const Options& options, const std::string& path,
                       Progress& progress)
{
    FileResult result;
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        progress.clear();
        std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(errno));
        return result;
    }
    struct Closer {
        std::FILE* file;
        ~Closer()
        {
            if (file != stdin)
                std::fclose(file);
        }
    } closer{file};

    LineReader reader(file);
    std::string_view line;
    LineReader::Next next = reader.next(line);
    // Blank lines tell nothing of the format.
    while (next == LineReader::Next::Line && line.find_first_not_of(" \t\r") == std::string_view::npos)
        next = reader.next(line);

    std::optional<ListFormat> format = options.format;
    if (!format)
        format = guess_format(path == "-" ? "" : path, next == LineReader::Next::Line ? line : "");
    if (!format) {
        progress.clear();
        std::fprintf(stderr, "%s: cannot tell which kind of list this is; name it with --format\n",
                     path.c_str());
        return result;
    }
    const ListDefaults defaults = list_defaults(*format, path == "-" ? "" : path);
    const Verdict verdict = options.verdict.value_or(defaults.verdict);
    result.source = options.source.value_or(default_source(path, *format));

    std::string error;
    std::unique_ptr<StoreImport> import = store.begin_import(result.source, error);
    if (!import) {
        progress.clear();
        std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
        return result;
    }

    std::vector<ImportEntry> batch;
    batch.reserve(batch_size);
    const auto flush = [&] {
        const bool ok = batch.empty() || import->add_batch(batch, error) == StoreStatus::Ok;
        result.entries += ok ? batch.size() : 0;
        batch.clear();
        return ok;
    };
    const auto skip = [&](std::string_view reason) {
        if (++result.skipped <= reported_lines) {
            progress.clear();
            std::fprintf(stderr, "%s:%llu: skipped: %.*s\n", path.c_str(),
                         static_cast<unsigned long long>(reader.line_number()),
                         static_cast<int>(reason.size()), reason.data());
        }
    };

    bool failed = false;
    for (;; next = reader.next(line)) {
        if (next == LineReader::Next::End)
            break;
        if (next == LineReader::Next::Error) {
            progress.clear();
            std::fprintf(stderr, "%s: read error after line %llu: %s; nothing imported from it\n",
                         path.c_str(), static_cast<unsigned long long>(reader.line_number()),
                         std::strerror(errno));
            return FileResult{false, 0, 0, 0, result.source};
        }
        if (next == LineReader::Next::TooLong) {
            skip("line too long");
            continue;
        }
        ImportEntry& entry = batch.emplace_back();
        entry.verdict = verdict;
        entry.label = defaults.label;
        const ParsedLine parsed = parse_list_line(*format, line, entry);
        if (parsed.outcome != LineOutcome::Entry)
            batch.pop_back();
        if (parsed.outcome == LineOutcome::Refused)
            skip(parsed.reason);
        if (batch.size() == batch_size) {
            if (!flush()) {
                failed = true;
                break;
            }
            progress.update(reader.bytes_read(), reader.line_number());
        }
    }
    progress.update(reader.bytes_read(), reader.line_number());
    progress.writing();
    if (failed || !flush() || import->commit(error) != StoreStatus::Ok) {
        progress.clear();
        std::fprintf(stderr, "%s: %s; nothing imported from it\n", path.c_str(), error.c_str());
        return FileResult{false, 0, 0, 0, result.source};
    }
    if (result.skipped > reported_lines) {
        progress.clear();
        std::fprintf(stderr, "%s: %llu more lines skipped\n", path.c_str(),
                     static_cast<unsigned long long>(result.skipped - reported_lines));
    }
    progress.update(reader.bytes_read(), reader.line_number(), true);
    progress.file_done();
    result.imported = true;
    result.new_listings = import->new_listings();
    return result;
}

// The lists' total size, when every one of them is a regular file.
std::optional<std::uint64_t> total_size(const std::vector<std::string>& files)
{
    std::uint64_t total = 0;
    for (const std::string& path : files) {
        struct stat info {};
        if (path == "-" || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            return std::nullopt;
        total += static_cast<std::uint64_t>(info.st_size);
    }
    return total;
}

}  // namespace

int import_command(int argc, char** argv)
{
    Options options;
    if (!parse_options(argc, argv, options))
        return 2;
    std::string error;
    std::unique_ptr<Store> store = open_store(options.db, StoreMode::ReadWrite, error);
    if (!store) {
        std::fprintf(stderr, "brantwicker-service import: %s\n", error.c_str());
        return 2;
    }

    Progress progress(total_size(options.files));
    ImportTotals totals;
    std::set<std::string> sources;
    for (const std::string& path : options.files) {
        const FileResult result = import_file(*store, options, path, progress);
        ++totals.files;
        if (!result.imported) {
            ++totals.failed_files;
            continue;
        }
        totals.entries += result.entries;
        totals.new_listings += result.new_listings;
        totals.skipped += result.skipped;
        sources.insert(result.source);
    }
    std::string named;
    if (sources.size() == 1)
        named = "source " + *sources.begin();
    else if (sources.size() > 1)
        named = std::to_string(sources.size()) + " sources";
    progress.clear();
    std::printf("%s\n", summary_line(totals, named).c_str());
    return totals.failed_files == 0 ? 0 : 1;
}
