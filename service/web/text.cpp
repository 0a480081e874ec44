#include "service/web/text.h"

#include <ctime>

#include "service/store/digest_text.h"

namespace {

std::string form_decode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hex_digit_value(text[i + 1]) >= 0 &&
                   hex_digit_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit_value(text[i + 1]) << 4 | hex_digit_value(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string html_escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':  out += "&amp;";  break;
        case '<':  out += "&lt;";   break;
        case '>':  out += "&gt;";   break;
        case '"':  out += "&quot;"; break;
        case '\'': out += "&#39;";  break;
        default:   out += c;        break;
        }
    }
    return out;
}

std::string log_safe(std::string_view text, std::size_t limit)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    const std::size_t kept = text.size() < limit ? text.size() : limit;
    for (std::size_t i = 0; i < kept; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte >= 0x7f || byte == '\\' || byte == '"') {
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0x0f];
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (kept < text.size())
        out += "...";
    return out;
}

std::optional<std::string> form_field(std::string_view form, std::string_view name)
{
    while (!form.empty()) {
        const std::size_t end = form.find('&');
        const std::string_view pair = form.substr(0, end);
        const std::size_t equals = pair.find('=');
        const std::string_view key = pair.substr(0, equals);
        if (form_decode(key) == name)
            return form_decode(equals == std::string_view::npos ? std::string_view{}
                                                                 : pair.substr(equals + 1));
        if (end == std::string_view::npos)
            break;
        form.remove_prefix(end + 1);
    }
    return std::nullopt;
}

TargetParts split_target(std::string_view target)
{
    const std::size_t mark = target.find('?');
    if (mark == std::string_view::npos)
        return {target, {}};
    return {target.substr(0, mark), target.substr(mark + 1)};
}

std::string utc_text(std::int64_t seconds)
{
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    return {text, std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts)};
}
