// ssdeep's fuzzy digest of the whole file, for finding similar files later.
// MD5, SHA-1 and SHA-256 are taken as the bytes arrive (FileDigests): the
// store is asked by them before any analyser runs.
#include "service/analysis/analysers.h"

#include <fuzzy.h>

#include <cstdint>

namespace {

class DigestAnalyser final : public Analyser {
public:
    std::string_view name() const override { return "ssdeep"; }
    // Linear in the file's size.
    std::chrono::milliseconds timeout() const override { return std::chrono::seconds(10); }
    bool known_in(const FileRecord& record) const override { return !record.ssdeep.empty(); }
    // Slower than MD5 by far: beside clamd's scan and the rules, not after them.
    bool works_apart() const override { return true; }

    std::unique_ptr<Analysis> begin(ScanFault&, std::string&) override
    {
        return std::make_unique<WholeFileAnalysis>([](std::span<const unsigned char> bytes,
                                                      const FileFacts&) {
            Findings found;
            char digest[FUZZY_MAX_RESULT] = {};
            if (bytes.size() > UINT32_MAX
                || fuzzy_hash_buf(bytes.data(), static_cast<std::uint32_t>(bytes.size()), digest) != 0) {
                found.fault = ScanFault::Garbled;
                found.detail = "the fuzzy digest failed";
            } else {
                found.ssdeep = digest;
            }
            return found;
        });
    }
};

}  // namespace

std::unique_ptr<Analyser> make_digest_analyser()
{
    return std::make_unique<DigestAnalyser>();
}
