// The one exchange with the scanning service: the request it is sent, the
// rules that turn its reply into an outcome, and the run that does both.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "lookup/wire.h"

// Name and port of the service, fixed at build time.
extern const char kServiceHost[];
inline constexpr unsigned short kServicePort = 80;

inline constexpr std::size_t kRequestBufferSize = 2048;
inline constexpr std::size_t kReceiveBufferSize = kReplyReceiveMax;
inline constexpr std::size_t kAddressBufferSize = 1024;

// Message texts of the exchange.
inline constexpr char kTextResolveFailed[] = "Failed to resolve hostname!";
inline constexpr char kTextConnectFailed[] = "Could not connect to server!";
inline constexpr char kTextNotHeld[]       = "Quellarion don't known this hash!";
inline constexpr char kTextUnexpected[]    = "Unexpected reply from server!";

// Clears `buffer` and formats the lookup request for `digest_text` into it.
// Returns the request's length (bytes before the terminator), or 0 when it
// would not fit in `capacity`.
std::size_t format_lookup_request(char* buffer, std::size_t capacity,
                                  std::string_view host, const char* digest_text);

// The reply text: the `count` bytes one receive delivered, cut at the first
// NUL among them. A negative count (a failed receive) gives an empty text.
std::string_view reply_text(const char* received, long count);

enum class ReplyVerdict {
    OpenReport,   // open `address` in the browser
    NotHeld,      // the service does not know the hash
    Unexpected,   // no marker, or a path that would lead off the service's host
};

struct ReplyOutcome {
    ReplyVerdict verdict;
    std::string  address;  // the report address; set for OpenReport and NotHeld
};

// Turns a reply text into what the user is shown.
ReplyOutcome interpret_reply(std::string_view reply, std::string_view host);

// Runs the whole exchange for one digest text and shows its outcome. Returns
// the exit status, 0 on every path.
int run_lookup(const char* digest_text);
