#include "service/store/digest_text.h"

int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_hex(std::string_view text, std::span<unsigned char> out)
{
    if (text.size() != 2 * out.size())
        return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hex_digit_value(text[2 * i]);
        const int low  = hex_digit_value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

std::string to_hex(std::span<const unsigned char> bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(2 * bytes.size(), '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i]     = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

std::optional<DigestQuery> parse_digest(std::string_view text)
{
    DigestQuery query;
    switch (text.size()) {
    case 32: query.kind = DigestKind::Md5;    break;
    case 40: query.kind = DigestKind::Sha1;   break;
    case 64: query.kind = DigestKind::Sha256; break;
    default: return std::nullopt;
    }
    query.bytes.resize(text.size() / 2);
    if (!parse_hex(text, query.bytes))
        return std::nullopt;
    return query;
}
