// Text from outside, made safe for where it goes: HTML, a log line, and the
// fields of a form or query string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// `text` with & < > " ' replaced by character references, safe in element
// content and in quoted attribute values.
std::string html_escape(std::string_view text);

// `text` with every byte outside printable ASCII, and the backslash and the
// double quote, written as \xHH, cut to `limit` bytes of input (then "..."),
// so that a request cannot forge or break an access-log line.
std::string log_safe(std::string_view text, std::size_t limit);

// The value of the first field `name` in an application/x-www-form-urlencoded
// text ("a=1&b=2", also a URL's query), with '+' and %HH decoded; a malformed
// escape is kept as it stands. Nothing when the field is absent.
std::optional<std::string> form_field(std::string_view form, std::string_view name);

// A request target split at the first '?'.
struct TargetParts {
    std::string_view path;
    std::string_view query;  // without the '?'
};
TargetParts split_target(std::string_view target);

// `seconds` since 1970 as ISO 8601 UTC text, "2026-12-07T08:40:53Z".
std::string utc_text(std::int64_t seconds);
