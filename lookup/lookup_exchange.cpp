#include "lookup/lookup_exchange.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lookup/driver.h"
#include "lookup/platform/platform.h"
#include "lookup/replace_all.h"

const char kServiceHost[] = BRANTWICKER_SERVICE_HOST;

namespace {

constexpr std::string_view kHost = BRANTWICKER_SERVICE_HOST;
constexpr unsigned kPauseMilliseconds = 100;

// The lookup request's length less the host name, with a 32-character digest
// text: fixed text 114, digest 32.
constexpr std::size_t kRequestLengthWithoutHost = 146;

constexpr bool is_plain_host_name(std::string_view name)
{
    if (name.empty())
        return false;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!plain)
            return false;
    }
    return true;
}

// The name goes verbatim into a header line and between "http://" and the
// report path; anything but a plain name could end the header or move the
// browser to another host.
static_assert(is_plain_host_name(kHost),
              "BRANTWICKER_SERVICE_HOST must be a plain host name (letters, digits, '-', '.')");
static_assert(kRequestLengthWithoutHost + kHost.size() + 1 <= kRequestBufferSize,
              "BRANTWICKER_SERVICE_HOST is too long for the request buffer");
static_assert(std::string_view("http://").size() + kHost.size() + kReportPathLength + 1 <=
                  kAddressBufferSize,
              "BRANTWICKER_SERVICE_HOST is too long for the report address buffer");

}  // namespace

std::size_t format_lookup_request(char* buffer, std::size_t capacity,
                                  std::string_view host, const char* digest_text)
{
    if (buffer == nullptr || capacity == 0)
        return 0;
    std::memset(buffer, 0, capacity);
    if (digest_text == nullptr || host.size() > capacity)
        return 0;

    const int written = std::snprintf(
        buffer, capacity,
        "POST %s HTTP/1.0\r\n"
        "Host: %.*s\r\n"
        "User-Agent: el.Agent [by el.Quo]\r\n"
        "Content-Length: 48\r\n"
        "\r\n"
        "hash=%s&x=166&y=22",
        kConsultPath, static_cast<int>(host.size()), host.data(), digest_text);
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        std::memset(buffer, 0, capacity);  // no half request for anyone to send
        return 0;
    }
    return static_cast<std::size_t>(written);
}

std::string_view reply_text(const char* received, long count)
{
    if (received == nullptr || count <= 0)
        return {};
    const auto length = static_cast<std::size_t>(count);
    const void* nul = std::memchr(received, '\0', length);
    if (nul == nullptr)
        return {received, length};
    return {received, static_cast<std::size_t>(static_cast<const char*>(nul) - received)};
}

ReplyOutcome interpret_reply(std::string_view reply, std::string_view host)
{
    const std::size_t marker_at = reply.find(kReplyMarker);
    if (marker_at == std::string_view::npos)
        return {ReplyVerdict::Unexpected, {}};

    std::string tail(reply.substr(marker_at));
    tail = replace_all(kReplyMarker, " ", tail);
    // The tail starts with the blank that took the marker's place.
    const std::string path = tail.substr(1, kReportPathLength);

    // A path not starting at the root would join the host name, as in
    // "http://host@elsewhere/" or "http://host.elsewhere/", and lead the
    // browser off the service.
    if (!path.empty() && path.front() != '/')
        return {ReplyVerdict::Unexpected, {}};

    if (host.size() >= kAddressBufferSize)
        return {ReplyVerdict::Unexpected, {}};
    char address[kAddressBufferSize];
    const int written = std::snprintf(address, sizeof address, "http://%.*s%.*s",
                                      static_cast<int>(host.size()), host.data(),
                                      static_cast<int>(path.size()), path.data());
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof address)
        return {ReplyVerdict::Unexpected, {}};

    ReplyOutcome outcome{ReplyVerdict::OpenReport,
                         std::string(address, static_cast<std::size_t>(written))};
    const std::string search_page = "http://" + std::string(host) + std::string(kSearchPagePath);
    if (outcome.address.starts_with(search_page))
        outcome.verdict = ReplyVerdict::NotHeld;
    return outcome;
}

int run_lookup(const char* digest_text)
{
    // A socket layer that did not start shows up as a failed connection.
    (void)net_start();
    const NetSocket socket = net_socket();

    std::uint8_t address[4] = {};
    if (!net_resolve(kServiceHost, address)) {
        show_message_box(kTextResolveFailed, kMessageBoxTitle, kIconError);
        return 0;
    }
    if (!net_connect(socket, address, kServicePort)) {
        show_message_box(kTextConnectFailed, kMessageBoxTitle, kIconError);
        net_shutdown_send(socket);
        net_close(socket);
        return 0;
    }

    net_pause(kPauseMilliseconds);

    char request[kRequestBufferSize];
    const std::size_t request_length =
        format_lookup_request(request, sizeof request, kServiceHost, digest_text);
    // Only a digest text longer than md5_hex ever makes gets here with nothing.
    if (request_length == 0)
        return 0;
    net_send(socket, request, request_length);

    char received[kReceiveBufferSize];
    const long got = net_receive(socket, received, sizeof received);
    const ReplyOutcome outcome = interpret_reply(
        reply_text(received, std::min(got, static_cast<long>(sizeof received))), kServiceHost);

    switch (outcome.verdict) {
    case ReplyVerdict::OpenReport:
        shell_open(outcome.address.c_str());
        break;
    case ReplyVerdict::NotHeld:
        show_message_box(kTextNotHeld, kMessageBoxTitle, kIconInformation);
        break;
    case ReplyVerdict::Unexpected:
        show_message_box(kTextUnexpected, kMessageBoxTitle, kIconError);
        break;
    }
    return 0;
}
