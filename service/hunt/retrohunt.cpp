#include "service/hunt/retrohunt.h"
#include "service/analysis/low_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <yara.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <zstd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "service/analysis/archive_reader.h"

namespace {

bool md5_of(std::span<const unsigned char> bytes, Md5Bytes& out)
{
    unsigned int size = 0;
    return EVP_Digest(bytes.data(), bytes.size(), out.data(), &size, EVP_md5(), nullptr) == 1
        && size == out.size();
}

// Room that grows and is never cleared: a hunt reads thousands of samples,
// and fresh zeroed pages for each cost more than decompressing them.
struct Room {
    std::unique_ptr<unsigned char[]> data;
    std::size_t capacity = 0;

    unsigned char* at_least(std::size_t size)
    {
        if (size > capacity) {
            data.reset(new unsigned char[size]);
            capacity = size;
        }
        return data.get();
    }
};

// Reads kept samples as SampleStore::read does (the frame's size, the bytes
// checked against their SHA-256), into room kept from one to the next.
class SampleReader {
public:
    SampleReader() : context_(ZSTD_createDCtx()) {}
    ~SampleReader() { ZSTD_freeDCtx(context_); }
    SampleReader(const SampleReader&) = delete;
    SampleReader& operator=(const SampleReader&) = delete;

    StoreStatus read(const SampleStore& store, const Sha256Bytes& sha256,
                     std::span<const unsigned char>& out, std::string& error)
    {
        const std::string path = store.path_of(sha256);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT)
                return StoreStatus::NotFound;  // dropped since the listing
            error = "cannot read " + path + ": " + std::strerror(errno);
            return StoreStatus::Error;
        }
        struct stat info {};
        std::size_t got = 0;
        bool good = ::fstat(fd, &info) == 0;
        const auto size = static_cast<std::size_t>(good ? info.st_size : 0);
        unsigned char* packed = packed_.at_least(size);
        while (good && got < size) {
            const ssize_t n = ::read(fd, packed + got, size - got);
            if (n < 0 && errno == EINTR)
                continue;
            good = n > 0;
            got += good ? static_cast<std::size_t>(n) : 0;
        }
        ::close(fd);
        if (!good) {
            error = "cannot read " + path;
            return StoreStatus::Error;
        }
        const unsigned long long content = ZSTD_getFrameContentSize(packed, size);
        if (content == ZSTD_CONTENTSIZE_ERROR || content == ZSTD_CONTENTSIZE_UNKNOWN) {
            error = "the sample " + path + " is not one this service wrote";
            return StoreStatus::Error;
        }
        // A frame with its checksum is checked as it is decompressed; one
        // without is digested again.
        // Its header: the magic number, then a descriptor whose bit 2 says
        // the frame ends with a checksum of its content.
        constexpr unsigned char kMagic[] = {0x28, 0xB5, 0x2F, 0xFD};
        const bool checked = size > 4 && std::memcmp(packed, kMagic, 4) == 0 && (packed[4] & 0x04) != 0;
        unsigned char* bytes = bytes_.at_least(static_cast<std::size_t>(content));
        const std::size_t made = ZSTD_decompressDCtx(context_, bytes, static_cast<std::size_t>(content),
                                                     packed, size);
        Sha256Bytes digest{};
        unsigned int length = 0;
        if (ZSTD_isError(made) || made != content
            || (!checked && (EVP_Digest(bytes, made, digest.data(), &length, EVP_sha256(), nullptr) != 1
                             || digest != sha256))) {
            error = "the sample " + path + " is damaged";
            return StoreStatus::Error;
        }
        out = {bytes, made};
        return StoreStatus::Ok;
    }

private:
    ZSTD_DCtx* context_;
    Room       packed_, bytes_;
};

// libarchive looks for an archive inside a Windows program (a
// self-extracting one) by scanning the program for each format's signature,
// which takes longer than the rules' own scan. The hunt's rules carry one
// more rule of their own that matches any of those signatures, found in the
// same pass: a program without any holds nothing the reader would find.
// Anything else goes to the reader as it does in an upload's analysis.
constexpr const char* kSignatureNamespace = "brantwicker-archive-signatures";
constexpr const char* kSignatureRule =
    "rule signatures { strings:"
    " $zip = { 50 4B 03 04 } $end = { 50 4B 05 06 } $sevenzip = { 37 7A BC AF 27 1C }"
    " $rar = { 52 61 72 21 1A 07 } $cab = { 4D 53 43 46 00 00 00 00 } $iso = \"CD001\""
    " condition: any of them }";

bool is_program(std::span<const unsigned char> bytes)
{
    constexpr std::size_t kHeaderAt = 0x3C;
    if (bytes.size() < kHeaderAt + 4 || bytes[0] != 'M' || bytes[1] != 'Z')
        return false;
    const std::size_t pe = bytes[kHeaderAt] | (std::size_t{bytes[kHeaderAt + 1]} << 8)
                         | (std::size_t{bytes[kHeaderAt + 2]} << 16) | (std::size_t{bytes[kHeaderAt + 3]} << 24);
    return pe <= bytes.size() - 4 && std::memcmp(bytes.data() + pe, "PE\0\0", 4) == 0;
}

// What one scan found: the analyst's rules, and whether a signature was seen.
struct Scanned {
    std::vector<std::string> rules;
    bool signature = false;
};

int on_rule(YR_SCAN_CONTEXT*, int message, void* data, void* user)
{
    if (message != CALLBACK_MSG_RULE_MATCHING)
        return CALLBACK_CONTINUE;
    const auto* rule = static_cast<const YR_RULE*>(data);
    auto* out = static_cast<Scanned*>(user);
    if (rule->ns && rule->ns->name && std::strcmp(rule->ns->name, kSignatureNamespace) == 0)
        out->signature = true;
    else
        out->rules.emplace_back(rule->identifier);
    return CALLBACK_CONTINUE;
}

// What the threads share.
struct Shared {
    std::mutex                mutex;
    std::condition_variable   changed;
    std::vector<HuntHit>      hits;
    std::vector<std::string>  problems;
    HuntProgress              progress;
    unsigned                  running = 0;
    std::atomic<std::size_t>  next{0};
    std::atomic<bool>         stop{false};
};

class Hunter {
public:
    Hunter(const SampleStore& store, const CompiledRules& rules, const HuntSettings& settings,
           Shared& shared)
        : store_(store), settings_(settings), shared_(shared)
    {
        options_.passwords.emplace_back(kCustomaryPassword);
        // One scanner for every file of this thread: making one per file
        // costs as much as scanning a small file.
        if (yr_scanner_create(rules.rules, &scanner_) == ERROR_SUCCESS) {
            yr_scanner_set_flags(scanner_, SCAN_FLAGS_FAST_MODE);
            yr_scanner_set_timeout(scanner_, static_cast<int>(settings_.timeout.count()));
            yr_scanner_set_callback(scanner_, on_rule, &found_);
        }
    }
    ~Hunter()
    {
        if (scanner_)
            yr_scanner_destroy(scanner_);
    }
    Hunter(const Hunter&) = delete;
    Hunter& operator=(const Hunter&) = delete;

    void run(std::span<const KeptSample> samples)
    {
        if (settings_.low_priority)
            lower_thread_priority();
        SampleReader reader;
        for (std::size_t i; !shared_.stop && (i = shared_.next.fetch_add(1)) < samples.size();) {
            std::string error;
            hits_.clear();
            problem_.clear();
            std::span<const unsigned char> bytes;
            const StoreStatus read = reader.read(store_, samples[i].sha256, bytes, error);
            if (read == StoreStatus::Error)
                problem_ = error;
            if (read == StoreStatus::Ok) {
                ExtractBudget budget{settings_.extract.max_files, settings_.extract.max_bytes};
                scan(bytes, 0, "", budget, to_hex(samples[i].sha256));
            }
            const std::lock_guard lock(shared_.mutex);
            ++shared_.progress.done;
            if (!problem_.empty()) {
                ++shared_.progress.failed;
                shared_.problems.push_back(std::move(problem_));
            }
            shared_.hits.insert(shared_.hits.end(), std::make_move_iterator(hits_.begin()),
                                std::make_move_iterator(hits_.end()));
        }
        const std::lock_guard lock(shared_.mutex);
        --shared_.running;
        shared_.changed.notify_all();
    }

private:
    // Scans one file, then the members of it when it is an archive and the
    // depth allows; `member`: its path inside its parent, empty for a sample.
    void scan(std::span<const unsigned char> bytes, unsigned depth, const std::string& member,
              ExtractBudget& budget, const std::string& sample)
    {
        found_ = {};
        const int status = scanner_ ? yr_scanner_scan_mem(scanner_, bytes.data(), bytes.size())
                                    : ERROR_INSUFFICIENT_MEMORY;
        const Scanned found = std::move(found_);
        std::vector<std::string> rules = found.rules;
        if (status != ERROR_SUCCESS && problem_.empty())
            problem_ = "the sample " + sample + (member.empty() ? "" : ", member " + member) + ": "
                     + (status == ERROR_SCAN_TIMEOUT ? "the rules took longer than "
                                                           + std::to_string(settings_.timeout.count()) + " s"
                                                     : "libyara error " + std::to_string(status));
        if (!rules.empty()) {
            Md5Bytes md5{};
            if (md5_of(bytes, md5))
                for (std::string& rule : rules)
                    hits_.push_back({md5, std::move(rule), member});
        }
        // A scan cut short leaves the signatures unknown: the reader decides.
        if (depth >= settings_.extract.depth || shared_.stop
            || (status == ERROR_SUCCESS && !found.signature && is_program(bytes)))
            return;
        ArchiveRead read = read_archive(bytes, options_, budget);
        for (ArchiveMember& inside : read.members) {
            if (inside.skip == MemberSkip::None)
                scan(inside.data, depth + 1, inside.name, budget, sample);
            std::vector<unsigned char>().swap(inside.data);
        }
    }

    const SampleStore&    store_;
    const HuntSettings&   settings_;
    YR_SCANNER*           scanner_ = nullptr;
    Scanned               found_;    // what the scanner's callback fills in
    Shared&               shared_;
    ExtractOptions        options_;
    std::vector<HuntHit>  hits_;     // of the sample at hand
    std::string           problem_;  // its first
};

}  // namespace

std::shared_ptr<const CompiledRules> compile_hunt_rules(std::string_view text, std::string& error)
{
    return compile_rule_text(text, error, kSignatureRule, kSignatureNamespace);
}

HuntProgress hunt_samples(const SampleStore& store, std::span<const KeptSample> samples,
                          const CompiledRules& rules, const HuntSettings& settings,
                          const HuntReport& report)
{
    Shared shared;
    shared.progress.total = samples.size();
    const unsigned count = std::max(1u, settings.threads);
    shared.running = count;
    std::vector<std::jthread> threads;
    for (unsigned t = 0; t < count; ++t)
        threads.emplace_back([&] { Hunter(store, rules, settings, shared).run(samples); });

    for (bool last = false; !last;) {
        std::vector<HuntHit> hits;
        std::vector<std::string> problems;
        HuntProgress now;
        {
            std::unique_lock lock(shared.mutex);
            shared.changed.wait_for(lock, settings.report_every, [&] { return shared.running == 0; });
            last = shared.running == 0;
            hits.swap(shared.hits);
            problems.swap(shared.problems);
            now = shared.progress;
        }
        if (!report(now, hits, problems))
            shared.stop = true;
    }
    return shared.progress;
}

std::string first_seen(const FileRecord& record)
{
    std::string first;
    const auto consider = [&first](const std::string& when) {
        if (!when.empty() && (first.empty() || when < first))
            first = when;
    };
    for (const ScanRecord& scan : record.scans)
        consider(scan.scanned);
    for (const SourceListing& source : record.sources)
        consider(source.imported);
    return first;
}

HuntMatch describe_hit(Store& store, const HuntHit& hit, std::string& error)
{
    HuntMatch match{to_hex(hit.md5), hit.rule, hit.member, ""};
    FileRecord record;
    if (store.find_md5(hit.md5, record, error) == StoreStatus::Ok) {
        if (!record.names.empty())
            match.name = record.names.front();
        match.first_seen = first_seen(record);
    }
    return match;
}
