// One analyser: given a file's bytes and what is known of it, it returns its
// findings. Each declares its own time-out and whether its work is worth a
// thread of its own; the pipeline knows nothing of an engine's insides, and
// adding an engine is one file and one line in make_analysers().
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "service/analysis/archive_reader.h"
#include "service/analysis/clamd_client.h"
#include "service/store/store.h"

// What is known of a file when its analysers run.
struct FileFacts {
    const UploadedFile* file = nullptr;  // its digests, size and name (a member's: its path)
    unsigned depth = 0;                  // 0 for an upload, n for a member n archives down
};

// What one analyser found of one file.
struct Findings {
    std::optional<ScanRecord> scan;  // a verdict engine's scan, to be kept
    std::string mime, type, ssdeep;  // what the file is
    bool archive = false;            // `read` holds its members
    ArchiveRead read;
    ScanFault fault = ScanFault::None;  // it could not finish: `detail` says why
    std::string detail;
};

// One analyser's work on one file, begun before the file's bytes arrive, so
// that an engine that takes a stream (clamd) works while the upload comes.
class Analysis {
public:
    virtual ~Analysis() = default;
    // A piece of the file as it arrives; false once it failed (finish() says why).
    virtual bool add(std::string_view) { return true; }
    // The whole file, once its bytes are all in.
    virtual Findings finish(std::span<const unsigned char> bytes, const FileFacts& facts) = 0;
};

class Analyser {
public:
    virtual ~Analyser() = default;
    virtual std::string_view name() const = 0;
    // The longest one file may take it; the analyser holds itself to it.
    virtual std::chrono::milliseconds timeout() const = 0;
    // Whether finish() waits or computes long enough to run beside the others.
    virtual bool works_apart() const { return false; }
    // Whether its failure on an upload fails the upload (the others' are shown).
    virtual bool required() const { return false; }
    // The engine and signatures it would scan with now, for the scans it keeps
    // and to tell whether an earlier scan answers for it; nothing when it
    // keeps no scan. A failure to say is a fault, with `detail`.
    virtual ScanFault identity(std::optional<ScanRecord>& out, std::string& detail)
    {
        out.reset();
        (void)detail;
        return ScanFault::None;
    }
    // Whether `earlier`, a scan kept before, answers for a scan with `now`.
    virtual bool answered_by(const ScanRecord& earlier, const ScanRecord& now) const
    {
        return earlier.engine == now.engine && earlier.engine_version == now.engine_version
            && earlier.signature_version == now.signature_version;
    }
    // Whether what the store holds of the file already says all it would
    // find, for an analyser that keeps no scan (the type, a digest).
    virtual bool known_in(const FileRecord&) const { return false; }
    // Null on failure, with the fault and `detail`.
    virtual std::unique_ptr<Analysis> begin(ScanFault& fault, std::string& detail) = 0;
};

// An analysis that needs the whole file only.
class WholeFileAnalysis : public Analysis {
public:
    template <class Work>
    explicit WholeFileAnalysis(Work work) : work_(std::move(work)) {}
    Findings finish(std::span<const unsigned char> bytes, const FileFacts& facts) override
    {
        return work_(bytes, facts);
    }

private:
    std::function<Findings(std::span<const unsigned char>, const FileFacts&)> work_;
};
