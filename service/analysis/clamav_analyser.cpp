// ClamAV, through clamd: the stream is opened before the upload is read and
// fed as it arrives, so that clamd has it all when the last piece comes.
#include "service/analysis/analysers.h"

namespace {

class ClamavAnalysis final : public Analysis {
public:
    ScanFault open(Scanner& scanner, std::string& detail)
    {
        fault_ = stream_.open(scanner.address(), scanner.timeout(), detail);
        return fault_;
    }

    bool add(std::string_view piece) override
    {
        if (fault_ == ScanFault::None)
            fault_ = stream_.send(piece, detail_);
        return fault_ == ScanFault::None;
    }

    Findings finish(std::span<const unsigned char>, const FileFacts&) override
    {
        Findings found;
        ScanVerdict verdict;
        if (fault_ == ScanFault::None)
            fault_ = stream_.finish(verdict, detail_);
        if (fault_ != ScanFault::None) {
            found.fault = fault_;
            found.detail = detail_;
            return found;
        }
        ScanRecord scan;
        scan.found = verdict.found;
        scan.signature = verdict.signature;
        found.scan = std::move(scan);
        return found;
    }

private:
    ClamdStream stream_;
    ScanFault fault_ = ScanFault::None;
    std::string detail_;
};

class ClamavAnalyser final : public Analyser {
public:
    explicit ClamavAnalyser(Scanner& scanner) : scanner_(scanner) {}

    std::string_view name() const override { return "ClamAV"; }
    std::chrono::milliseconds timeout() const override { return scanner_.timeout(); }
    bool works_apart() const override { return true; }
    bool required() const override { return true; }

    ScanFault identity(std::optional<ScanRecord>& out, std::string& detail) override
    {
        EngineVersion engine;
        const ScanFault fault = scanner_.ask_version(engine, detail);
        out.reset();
        if (fault == ScanFault::None) {
            ScanRecord now;
            now.engine = engine.engine;
            now.engine_version = engine.version;
            now.signature_version = engine.signatures;
            out = std::move(now);
        }
        return fault;
    }

    // The engine's fields of the scan are the pipeline's, from identity().
    // A file scanned before answers for itself when nothing could differ
    // now: the same signatures, or, where clamd names none (a database of
    // one's own), the same engine.
    bool answered_by(const ScanRecord& scan, const ScanRecord& now) const override
    {
        if (scan.engine != now.engine)
            return false;
        return now.signature_version.empty()
                   ? scan.signature_version.empty() && scan.engine_version == now.engine_version
                   : scan.signature_version == now.signature_version;
    }

    std::unique_ptr<Analysis> begin(ScanFault& fault, std::string& detail) override
    {
        auto analysis = std::make_unique<ClamavAnalysis>();
        fault = analysis->open(scanner_, detail);
        return fault == ScanFault::None ? std::move(analysis) : nullptr;
    }

private:
    Scanner& scanner_;
};

}  // namespace

std::unique_ptr<Analyser> make_clamav_analyser(Scanner& scanner)
{
    return std::make_unique<ClamavAnalyser>(scanner);
}
