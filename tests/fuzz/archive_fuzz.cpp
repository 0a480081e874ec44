// Fuzzes the archive reader as the pipeline drives it: each member read goes
// back in one level deeper, all on one small budget. Whatever the bytes, no
// member name may climb out of the archive or be invalid UTF-8, a member
// skipped holds no bytes, and the bytes kept never pass the budget.
//
// Input: one byte choosing the bomb ratio, then the archive.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "service/analysis/archive_reader.h"

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

bool valid_utf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        if (length == 0 || length > text.size() - i)
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

void check_name(std::string_view name)
{
    require(!name.empty() && valid_utf8(name));
    require(name.front() != '/' && name.back() != '/');
    require(name.find('\\') == std::string_view::npos && name.find('\0') == std::string_view::npos);
    require(name.find("//") == std::string_view::npos);
    for (std::string_view rest = name; !rest.empty();) {
        const std::size_t slash = rest.find('/');
        const std::string_view step = rest.substr(0, slash);
        require(step != "." && step != "..");
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    }
}

std::uint64_t walk(std::span<const unsigned char> bytes, const ExtractOptions& options, ExtractBudget& budget,
                   int depth)
{
    const ExtractBudget before = budget;
    const ArchiveRead got = read_archive(bytes, options, budget);
    require(budget.files_left <= before.files_left && budget.bytes_left <= before.bytes_left);
    if (got.outcome == ArchiveOutcome::NotAnArchive)
        require(got.members.empty());
    std::uint64_t kept = 0;
    for (const ArchiveMember& member : got.members) {
        check_name(member.name);
        require(member.skip == MemberSkip::None || member.data.empty());
        require(member_skip_name(member.skip) != "unknown");
        kept += member.data.size();
    }
    require(kept <= before.bytes_left - budget.bytes_left);
    for (const ArchiveMember& member : got.members)
        if (depth < 3 && member.skip == MemberSkip::None)
            kept += walk(member.data, options, budget, depth + 1);
    return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const ExtractOptions options{{"infected"}, data[0] < 128 ? 1000.0 : 4.0};
    ExtractBudget budget{64, std::uint64_t{4} << 20};
    const std::uint64_t kept = walk(std::span(data + 1, size - 1), options, budget, 1);
    require(kept <= std::uint64_t{4} << 20);
    return 0;
}
