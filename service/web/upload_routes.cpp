#include "service/web/upload_routes.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "service/analysis/file_digests.h"
#include "service/analysis/socket_wait.h"
#include "service/analysis/multipart_reader.h"
#include "service/web/api.h"
#include "service/web/http_bytes.h"
#include "service/web/pages.h"
#include "service/web/report_path.h"
#include "service/web/text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kApiScanPath = "/api/v1/scan";
// What a form may add around its file: boundaries, part headers, other fields.
constexpr std::uint64_t kFormOverhead = 64 * 1024;
// Longer names are cut; the name is shown, never used as a path.
constexpr std::size_t kNameMax = 255;
// After an answer sent before the body was read, what the client still sends
// is read and dropped for this long, so that closing does not reset the
// connection under the answer.
constexpr std::chrono::seconds kDrainTime{2};
constexpr std::string_view kRetryBusy = "5";
constexpr std::string_view kRetryDown = "30";

WebResponse failure(bool api, unsigned status, std::string_view title, std::string_view why)
{
    return api ? api_error(status, why) : message_page(status, title, why);
}

WebResponse fault_reply(bool api, ScanFault fault)
{
    switch (fault) {
    case ScanFault::Unreachable: {
        WebResponse response = failure(api, 503, "Scanning unavailable",
                                       "Scanning is unavailable: the scanner cannot be reached. "
                                       "Try again later.");
        response.retry_after = std::string(kRetryDown);
        return response;
    }
    case ScanFault::Busy: {
        WebResponse response = failure(api, 503, "Scanner busy",
                                       "The scanner is busy; try again in a few seconds.");
        response.retry_after = std::string(kRetryBusy);
        return response;
    }
    case ScanFault::TimedOut:
        return failure(api, 504, "Scanner too slow", "The scanner did not answer in time.");
    case ScanFault::TooLarge:
        return failure(api, 413, "File too large", "The file is larger than the scanner takes.");
    case ScanFault::Garbled:
    case ScanFault::None:
        break;
    }
    return failure(api, 502, "Scanner failed", "The scanner gave an answer that is not a scanner's.");
}

// The client's side of one upload, on a scan job's thread: blocking in
// effect, every wait bounded.
class Client {
public:
    Client(const UploadStart& start, std::chrono::milliseconds timeout, Metrics* metrics,
           std::string_view route)
        : fd_(start.fd), timeout_(timeout), metrics_(metrics), route_(route),
          version_(start.version), peer_(start.peer),
          line_(log_safe(start.method, 16) + " " + log_safe(start.target, 256)
                + (start.version == 11 ? " HTTP/1.1" : " HTTP/1.0")),
          started_(Clock::now())
    {
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    enum class Read { Data, Ended, Stalled, Failed };

    Read read(std::string& piece)
    {
        std::array<char, 64 * 1024> buffer{};
        for (;;) {
            const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (got > 0) {
                piece.assign(buffer.data(), static_cast<std::size_t>(got));
                return Read::Data;
            }
            if (got == 0)
                return Read::Ended;
            if (errno != EAGAIN && errno != EINTR)
                return Read::Failed;
            if (!ready(POLLIN, Clock::now() + timeout_))
                return Read::Stalled;
        }
    }

    bool write(std::string_view bytes)
    {
        const Clock::time_point deadline = Clock::now() + timeout_;
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent > 0)
                bytes.remove_prefix(static_cast<std::size_t>(sent));
            else if ((sent < 0 && errno != EAGAIN && errno != EINTR) || !ready(POLLOUT, deadline))
                return false;
        }
        return true;
    }

    // Sends the answer and logs it; `unread`: the body was not read to its end.
    void answer(const WebResponse& response, bool unread)
    {
        const std::string bytes = serialize_response(response, version_, false, false);
        write(bytes);
        const Clock::duration took = Clock::now() - started_;
        log_access(peer_, line_, response.status, bytes.size(),
                   std::chrono::duration_cast<std::chrono::microseconds>(took));
        if (metrics_)
            metrics_->replied(route_, response.status, took);
        if (!response.log_note.empty())
            log_line("brantwicker-service: " + log_safe(response.log_note, 512));
        if (!unread)
            return;
        ::shutdown(fd_, SHUT_WR);
        const Clock::time_point deadline = Clock::now() + kDrainTime;
        std::array<char, 16 * 1024> sink{};
        while (ready(POLLIN, deadline)) {
            const ssize_t got = ::recv(fd_, sink.data(), sink.size(), 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
    }

    void note(std::string_view what)
    {
        log_line("brantwicker-service: " + log_safe(peer_, 64) + " \"" + line_ + "\": " +
                 log_safe(what, 256));
    }

private:
    bool ready(short events, Clock::time_point deadline) { return wait_ready(fd_, events, deadline); }

    int fd_;
    std::chrono::milliseconds timeout_;
    Metrics* metrics_;
    std::string_view route_;
    unsigned version_;
    std::string peer_;
    std::string line_;
    Clock::time_point started_;
};

std::string_view multipart_problem(MultipartStatus status)
{
    switch (status) {
    case MultipartStatus::NoFilePart:     return "The form has no file field named \"file\".";
    case MultipartStatus::TwoFileParts:   return "The form has more than one file field; send one file.";
    case MultipartStatus::Unterminated:   return "The form ended before its closing boundary.";
    case MultipartStatus::HeaderTooLarge: return "A part of the form has too large a header block.";
    case MultipartStatus::TooManyParts:   return "The form has too many parts.";
    case MultipartStatus::Malformed:      return "The form is not well-formed multipart/form-data.";
    case MultipartStatus::More:
    case MultipartStatus::Done:
    case MultipartStatus::Stopped:
        break;
    }
    return "The form could not be read.";
}

// Whether the upload's own new scans found something, as the scan counts
// have always said.
bool found_bad(const AnalysisOutcome& outcome)
{
    if (outcome.records.empty())
        return false;
    const std::vector<ScanRecord>& scans = outcome.records.back().scans;
    return std::any_of(scans.begin(), scans.end(), [](const ScanRecord& scan) { return scan.found; });
}

}  // namespace

UploadScans::UploadScans(Scanner& scanner, const ScanOptions& options,
                         std::vector<std::unique_ptr<Store>>& stores)
    : options_(options), stores_(stores),
      analysers_(make_analysers({&scanner, options.yara, options.yara_timeout})), pool_(options.jobs)
{
}

bool UploadScans::handles(std::string_view target) const
{
    const std::string_view path = split_target(target).path;
    return path == kScanPagePath || path == kApiScanPath;
}

std::optional<WebResponse> UploadScans::take(UploadStart& start)
{
    const bool api = split_target(start.target).path == kApiScanPath;
    if (start.method != "POST") {
        WebResponse response = failure(api, 405, "Method not allowed",
                                       "This address takes a file by POST.");
        response.allow = "POST";
        return response;
    }
    if (!start.content_length)
        return failure(api, 411, "Length required", "Send the file with a Content-Length.");
    const std::uint64_t limit = options_.max_bytes + (api ? 0 : kFormOverhead);
    if (*start.content_length > limit)
        return failure(api, 413, "File too large",
                       "The file is larger than " + std::to_string(options_.max_bytes) +
                       " bytes, the most this service scans.");
    if (!api && !multipart_boundary(start.content_type))
        return failure(api, 400, "Bad upload", "The form must be sent as multipart/form-data.");
    const bool taken = pool_.try_run([this, start](unsigned slot) mutable {
        scan(*stores_[slot], start);
    });
    if (taken)
        return std::nullopt;
    WebResponse busy = failure(api, 503, "Scanner busy",
                               "Every scanner is busy; try again in a few seconds.");
    busy.retry_after = std::string(kRetryBusy);
    return busy;
}

void UploadScans::scan(Store& store, UploadStart& start)
{
    const TargetParts target = split_target(start.target);
    const bool api = target.path == kApiScanPath;
    Client client(start, options_.read_timeout, options_.metrics, api ? "api_scan" : "scan");
    const auto count = [this](std::string_view result) {
        if (options_.metrics)
            options_.metrics->scanned(result);
    };

    std::string detail;
    UploadAnalysis analysis(analysers_, options_.extract);
    ScanFault fault = analysis.start(detail);
    if (options_.metrics)
        options_.metrics->scanner_available(fault != ScanFault::Unreachable);
    if (fault != ScanFault::None) {
        count("error");
        client.note(detail);
        return client.answer(fault_reply(api, fault), true);
    }
    if (start.expect_continue && !client.write("HTTP/1.1 100 Continue\r\n\r\n"))
        return;

    // The file's bytes, from the body or from its one file part: digested,
    // kept for the analysers that need them whole, and handed on to those
    // that take them as they come.
    FileDigests digests;
    std::vector<unsigned char> whole;
    whole.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(*start.content_length,
                                                                   options_.max_bytes)));
    bool too_large = false;
    const auto take_file = [&](std::string_view bytes) {
        if (digests.size() + bytes.size() > options_.max_bytes) {
            too_large = true;
            return false;
        }
        digests.add(bytes);
        whole.insert(whole.end(), bytes.begin(), bytes.end());
        if (!analysis.add(bytes, detail))
            fault = analysis.fault();
        return fault == ScanFault::None;
    };
    std::optional<MultipartReader> form;
    if (!api)
        form.emplace(*multipart_boundary(start.content_type), take_file, MultipartReader::Limits{});

    std::uint64_t left = *start.content_length;
    std::string piece = std::move(start.early);
    MultipartStatus form_status = MultipartStatus::More;
    for (;;) {
        if (piece.size() > left)
            piece.resize(left);  // what a client sends past its body is not read
        left -= piece.size();
        const bool going = form ? (form_status = form->feed(piece)) == MultipartStatus::More ||
                                      form_status == MultipartStatus::Done
                                : take_file(piece);
        if (too_large)
            return client.answer(failure(api, 413, "File too large",
                                         "The file is larger than " +
                                         std::to_string(options_.max_bytes) +
                                         " bytes, the most this service scans."), left > 0);
        if (fault != ScanFault::None) {
            count("error");
            client.note(detail);
            return client.answer(fault_reply(api, fault), left > 0);
        }
        if (!going)
            return client.answer(failure(api, 400, "Bad upload", multipart_problem(form_status)),
                                 left > 0);
        if (left == 0)
            break;
        switch (client.read(piece)) {
        case Client::Read::Data:
            continue;
        case Client::Read::Stalled:
            return client.answer(failure(api, 408, "Upload too slow",
                                         "The upload stalled and was cut off."), true);
        case Client::Read::Ended:
        case Client::Read::Failed:
            return client.note("the client went away in the middle of its upload");
        }
    }
    if (form && (form_status = form->finish()) != MultipartStatus::Done)
        return client.answer(failure(api, 400, "Bad upload", multipart_problem(form_status)), false);

    UploadedFile file;
    if (!digests.end(file))
        return client.answer(failure(api, 500, "Digest failed", "The file could not be digested."),
                             false);
    file.name = api ? form_field(target.query, "name").value_or("") : form->file_name();
    if (file.name.size() > kNameMax)
        file.name.resize(kNameMax);

    const std::string password =
        api ? form_field(target.query, "password").value_or("") : form->password();
    AnalysisOutcome outcome = analysis.finish(store, file, whole, password);
    // Kept before its record says it was analysed, so that a file the store
    // holds has its sample whenever the sample could be written.
    if (options_.samples && outcome.fault == ScanFault::None && !outcome.store_failed) {
        std::string why;
        if (!options_.samples->keep(file.sha256, whole, why))
            client.note("the sample could not be kept: " + why);
    }
    std::vector<unsigned char>().swap(whole);
    if (outcome.fault != ScanFault::None || outcome.store_failed)
        count("error");
    else if (!outcome.records.empty() && !outcome.records.back().scans.empty())
        count(found_bad(outcome) ? "infected" : "clean");
    if (outcome.fault != ScanFault::None) {
        client.note(outcome.detail);
        return client.answer(fault_reply(api, outcome.fault), false);
    }
    FileRecord record;
    std::string error = outcome.detail;
    StoreStatus found = outcome.store_failed ? StoreStatus::Error : StoreStatus::Ok;
    if (found != StoreStatus::Error)
        found = store.add_analyses(outcome.records, error);
    if (found != StoreStatus::Error)
        found = store.find_md5(file.md5, record, error);
    if (found != StoreStatus::Ok) {
        WebResponse failed = failure(api, 503, "Store unavailable", "The scan could not be kept.");
        failed.log_note = error;
        return client.answer(failed, false);
    }
    if (api)
        return client.answer(api_record(record, &store), false);
    client.answer(see_other_page(report_path(record.md5)), false);
}
