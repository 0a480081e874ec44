// Fuzzes the reply rules (reply_text, interpret_reply) and replace_all.
//
// Input: a first byte whose low bit picks the target. For the reply rules the
// rest is what one receive delivered. For replace_all the next two bytes give
// the pattern's and the replacement's lengths (modulo 32), then come the
// pattern, the replacement, and the subject.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "lookup/lookup_exchange.h"
#include "lookup/replace_all.h"

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

// replace_all as a scan that tries a match at every position in turn.
std::string reference_replace(std::string_view pattern, std::string_view replacement,
                              std::string_view subject)
{
    std::string out;
    for (std::size_t at = 0; at < subject.size();) {
        if (!pattern.empty() && subject.substr(at, pattern.size()) == pattern) {
            out += replacement;
            at += pattern.size();
        } else {
            out += subject[at++];
        }
    }
    return out;
}

void check_replace(std::string_view input)
{
    // substr clamps the lengths to what the input holds.
    const std::string_view pattern = input.substr(2, static_cast<unsigned char>(input[0]) % 32u);
    const std::string_view rest = input.substr(2 + pattern.size());
    const std::string_view replacement = rest.substr(0, static_cast<unsigned char>(input[1]) % 32u);
    const std::string_view original = rest.substr(replacement.size());

    std::string subject(original);
    const std::string result = replace_all(pattern, replacement, subject);
    require(result == subject && result == reference_replace(pattern, replacement, original));
}

void check_reply(std::string_view host, const char* received, long count)
{
    // A text running past the `count` bytes is AddressSanitizer's to catch.
    const std::string_view text = reply_text(received, count);
    require(text.find('\0') == std::string_view::npos);

    const ReplyOutcome outcome = interpret_reply(text, host);
    const std::string site = "http://" + std::string(host);
    const std::size_t marker_at = text.find(kReplyMarker);
    // Only the byte right behind the first marker decides whether the path
    // stays on the host: another marker there would begin with 'l'.
    const std::size_t path_at = marker_at + std::strlen(kReplyMarker);
    const bool unexpected = marker_at == std::string_view::npos ||
                            (path_at < text.size() && text[path_at] != '/');
    require((outcome.verdict == ReplyVerdict::Unexpected) == unexpected);
    const std::string& address = outcome.address;
    if (unexpected) {
        require(address.empty());
        return;
    }
    require(address.starts_with(site) && address.size() <= site.size() + kReportPathLength);
    require(address.size() == site.size() || address[site.size()] == '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1u) != 0) {
        check_replace(rest);
        return 0;
    }
    // Exactly as many bytes as the receive delivered, on the heap, so that a
    // read past them is caught.
    const std::size_t count = std::min(rest.size(), kReceiveBufferSize);
    const auto received = std::make_unique<char[]>(count);
    std::memcpy(received.get(), rest.data(), count);
    check_reply(kServiceHost, received.get(), static_cast<long>(count));
    check_reply("h", received.get(), static_cast<long>(count));
    return 0;
}
