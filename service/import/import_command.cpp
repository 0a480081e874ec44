// brantwicker-service import DB [--format F] [--source NAME] [--verdict good|bad] FILE...
//
// Each list is one transaction: a list that cannot be read to its end, or a
// store that cannot take it, leaves the store as it was. Lines that cannot be
// read are skipped and reported; they never stop the import.
#include "service/command_line.h"
#include "service/commands.h"
#include "service/import/archive_input.h"
#include "service/import/entry_feed.h"
#include "service/import/import_progress.h"
#include "service/import/line_reader.h"
#include "service/import/list_formats.h"
#include "service/import/rds_reader.h"
#include "service/import/unpacked_copy.h"
#include "service/store/store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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

// The formats, as --format and the help name them.
std::string format_names()
{
    std::string names;
    for (int f = 0; f <= static_cast<int>(ListFormat::VirusShare); ++f)
        names += (names.empty() ? "" : "|") + std::string(format_name(static_cast<ListFormat>(f)));
    return names;
}

// One row per option: the parsing and the help (and so the man page) both
// come from here.
constexpr OptionRow<Options> kImportOptions[] = {
    {"--format", "FORMAT", "the lists' format (default: told from each file's name and first lines)",
     [](Options& o, std::string_view v) { o.format = format_from_name(v); return o.format.has_value(); }},
    {"--source", "NAME", "the source the listed files are recorded under (default: from the list)",
     [](Options& o, std::string_view v) { o.source = std::string(v); return !v.empty(); }},
    {"--verdict", "good|bad", "the verdict on the listed files (default: the format's)",
     [](Options& o, std::string_view v) {
         o.verdict = v == "good" ? Verdict::Good : Verdict::Bad;
         return v == "good" || v == "bad";
     }},
};

const std::string kImportSummary =
    "Imports each FILE (\"-\": standard input; a zip, gzip, xz or bzip2 file is read\n"
    "inside) into the store DB, each list all or nothing.\n"
    "FORMAT is one of " + format_names() + ".";

const CommandTable<Options> kImportCommand{
    "import", "DB [OPTION]... FILE...", kImportSummary, kImportOptions,
    [](Options& o, std::string_view v, std::string&) {
        (o.db.empty() ? o.db : o.files.emplace_back()) = v;
        return true;
    },
    [](const Options& o, std::string& why) {
        why = o.db.empty() ? "no store given (DB) and no list (FILE)" : "no list given (FILE)";
        return !o.files.empty();
    },
};

class Progress {
public:
    Progress(std::optional<std::uint64_t> total) : shown_(isatty(STDERR_FILENO) == 1)
    {
        figures_.total_bytes = total;
    }

    // `bytes` of the file being read (an archive's own bytes, not what they
    // expand to), `lines` of the list being read.
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

    void list_done() { done_lines_ = figures_.lines; }
    void file_done(std::uint64_t bytes) { figures_.bytes = done_bytes_ += bytes; }

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
    bool          passed_over = false;  // a file in a zip that is no list
    std::uint64_t entries = 0, new_listings = 0, skipped = 0;
    std::string   source;
};

FileResult not_imported(Progress& progress, const std::string& name, const std::string& why)
{
    progress.clear();
    std::fprintf(stderr, "%s: %s\n", name.c_str(), why.c_str());
    return {};
}

// What one list is stored as, and how a place in it is told.
struct ListPlan {
    std::string name;    // in messages
    std::string source;
    Verdict     verdict = Verdict::Unknown;
    std::string label;
    const char* place = "";  // "" for a line number, "row " for a database's
};

// Reads `feed` to its end into one import of the store: all of it, or
// nothing when the list cannot be read to its end or the store cannot take it.
FileResult store_list(Store& store, const ListPlan& plan, EntryFeed& feed, Progress& progress)
{
    FileResult result;
    result.source = plan.source;
    std::string error;
    std::unique_ptr<StoreImport> import = store.begin_import(plan.source, error);
    if (!import)
        return not_imported(progress, plan.name, error);

    std::vector<ImportEntry> batch;
    batch.reserve(batch_size);
    const auto flush = [&] {
        const bool ok = batch.empty() || import->add_batch(batch, error) == StoreStatus::Ok;
        result.entries += ok ? batch.size() : 0;
        batch.clear();
        return ok;
    };

    bool failed = false;
    for (;;) {
        ImportEntry& entry = batch.emplace_back();
        entry.verdict = plan.verdict;
        entry.label = plan.label;
        const Step step = feed.next(entry);
        if (step.state != Step::Going || step.outcome != LineOutcome::Entry)
            batch.pop_back();
        if (step.state == Step::End)
            break;
        if (step.state == Step::Failed)
            return not_imported(progress, plan.name, feed.error() + "; nothing imported from it");
        if (step.outcome == LineOutcome::Refused && ++result.skipped <= reported_lines) {
            progress.clear();
            std::fprintf(stderr, "%s:%s%llu: skipped: %.*s\n", plan.name.c_str(), plan.place,
                         static_cast<unsigned long long>(feed.place()),
                         static_cast<int>(step.reason.size()), step.reason.data());
        }
        if (batch.size() == batch_size) {
            if (!flush()) {
                failed = true;
                break;
            }
            progress.update(feed.bytes(), feed.place());
        }
    }
    progress.update(feed.bytes(), feed.place());
    progress.writing();
    if (failed || !flush() || import->commit(error) != StoreStatus::Ok)
        return not_imported(progress, plan.name, error + "; nothing imported from it");
    if (result.skipped > reported_lines) {
        progress.clear();
        std::fprintf(stderr, "%s: %llu more %s skipped\n", plan.name.c_str(),
                     static_cast<unsigned long long>(result.skipped - reported_lines),
                     *plan.place ? "rows" : "lines");
    }
    progress.update(feed.bytes(), feed.place(), true);
    result.imported = true;
    result.new_listings = import->new_listings();
    return result;
}

// A text list named `list_name` ("" for standard input), told as `name`.
// Feeds zip a read-me or a checksum beside their lists: in a zip
// (`in_zip`), a file that is no list is passed over.
FileResult import_text(Store& store, const Options& options, const std::string& name,
                       const std::string& list_name, ByteSource& source, Progress& progress,
                       bool in_zip = false)
{
    TextFeed feed(source);
    const std::optional<ListFormat> format = options.format ? options.format
                                                            : guess_format(list_name, feed.head());
    if (!format && in_zip) {
        progress.clear();
        std::fprintf(stderr, "%s: passed over: not a kind of list this import reads\n", name.c_str());
        FileResult passed;
        passed.passed_over = true;
        return passed;
    }
    if (!format)
        return not_imported(progress, name, "cannot tell which kind of list this is; name it with --format");
    if (*format == ListFormat::Rds)
        return not_imported(progress, name, "not an SQLite database, so not an RDS one");
    feed.set_format(*format);
    const ListDefaults defaults = list_defaults(*format, list_name, feed.head());
    const ListPlan plan{name, options.source.value_or(defaults.source),
                        options.verdict.value_or(defaults.verdict), defaults.label};
    return store_list(store, plan, feed, progress);
}

// An RDS database in `path`, named `list_name` ("" for standard input) and
// told as `name`.
FileResult import_rds(Store& store, const Options& options, const std::string& name,
                      const std::string& list_name, const std::string& path, std::uint64_t unpacked,
                      Progress& progress, const std::function<void()>& opened = {})
{
    if (options.format && *options.format != ListFormat::Rds)
        return not_imported(progress, name, "an SQLite database; only --format rds reads one");
    std::string error;
    const std::unique_ptr<RdsReader> reader = RdsReader::open(path, error);
    if (opened)
        opened();
    if (!reader)
        return not_imported(progress, name, error);
    RdsFeed feed(*reader, unpacked);
    const ListPlan plan{name,
                        options.source.value_or(!reader->release().empty() ? reader->release()
                                                : list_defaults(ListFormat::Rds, list_name).source),
                        options.verdict.value_or(Verdict::Unknown), {}, "row "};
    return store_list(store, plan, feed, progress);
}

// Where a database read from an archive or a pipe is unpacked to: TMPDIR, or
// beside the store.
std::string unpack_directory(const std::string& db)
{
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir && *tmpdir)
        return tmpdir;
    const auto slash = db.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : db.substr(0, slash);
}

// An RDS database that comes as a stream: copied to a temporary file first.
FileResult import_packed_rds(Store& store, const Options& options, const std::string& name,
                             const std::string& list_name, ByteSource& source,
                             std::optional<std::uint64_t> size, Progress& progress)
{
    UnpackedCopy copy;
    std::string error;
    if (!copy.make(unpack_directory(options.db), source, size,
                   [&](std::uint64_t bytes) { progress.update(bytes, 0); }, error))
        return not_imported(progress, name, error);
    return import_rds(store, options, name, list_name, copy.path(), source.consumed(), progress,
                      [&] { copy.remove_name(); });
}

// Every list `source` holds, named `path` ("-" for standard input): a text
// list, an RDS database, or an archive of them.
void import_input(Store& store, const Options& options, const std::string& path, ByteSource& raw,
                  bool regular_file, Progress& progress, std::vector<FileResult>& results)
{
    const std::string list_name = path == "-" ? "" : path;
    PeekedSource source(raw, 16);
    if (is_sqlite(source.first())) {
        results.push_back(regular_file
            ? import_rds(store, options, path, list_name, path, 0, progress)
            : import_packed_rds(store, options, path, list_name, source, std::nullopt, progress));
        return;
    }
    if (!is_archive(list_name, source.first())) {
        results.push_back(import_text(store, options, path, list_name, source, progress));
        return;
    }
    ArchiveInput archive(source, list_name);
    std::string name;
    std::size_t lists = 0;
    for (;;) {
        const ArchiveInput::Next next = archive.next_list(name);
        if (next == ArchiveInput::Next::End && lists == 0)
            results.push_back(not_imported(progress, path, "the archive holds no list"));
        if (next != ArchiveInput::Next::List) {
            if (next == ArchiveInput::Next::Error)
                results.push_back(not_imported(progress, path,
                                               "damaged archive: " + archive.error() + "; nothing imported from it"));
            return;
        }
        const bool in_zip = !archive.compressed_stream();
        const std::string shown = in_zip ? path + ":" + name : path;
        PeekedSource list(archive.list(), 16);
        results.push_back(is_sqlite(list.first())
            ? import_packed_rds(store, options, shown, name, list, archive.list_size(), progress)
            : import_text(store, options, shown, name, list, progress, in_zip));
        if (results.back().passed_over)
            results.pop_back();
        else
            ++lists;
        progress.list_done();
        if (archive.failed())
            return;  // damaged: what follows cannot be trusted, and was told
    }
}

void import_path(Store& store, const Options& options, const std::string& path, Progress& progress,
                 std::vector<FileResult>& results)
{
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        results.push_back(not_imported(progress, path, std::strerror(errno)));
        return;
    }
    struct Closer {
        std::FILE* file;
        ~Closer()
        {
            if (file != stdin)
                std::fclose(file);
        }
    } closer{file};
    struct stat info {};
    const bool regular = path != "-" && ::fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
    FileSource source(file);
    import_input(store, options, path, source, regular, progress, results);
    progress.list_done();
    // A database is read where its rows are, not from start to end.
    progress.file_done(regular ? static_cast<std::uint64_t>(info.st_size) : source.consumed());
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
    if (const Parsed parsed = parse_command_line(kImportCommand, argc, argv, options);
        parsed != Parsed::Run)
        return parsed_status(parsed);
    std::string error;
    std::unique_ptr<Store> store = open_store(options.db, StoreMode::ReadWrite, error);
    if (!store) {
        std::fprintf(stderr, "brantwicker-service import: %s\n", error.c_str());
        return 2;
    }

    Progress progress(total_size(options.files));
    std::vector<FileResult> results;
    for (const std::string& path : options.files)
        import_path(*store, options, path, progress, results);
    ImportTotals totals;
    std::set<std::string> sources;
    for (const FileResult& result : results) {
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
