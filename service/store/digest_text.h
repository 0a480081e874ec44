// Digests as people and lists write them: hexadecimal text of any case in,
// lowercase text out. An MD5, a SHA-1 and a SHA-256 are told apart by length.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class DigestKind { Md5, Sha1, Sha256 };

struct DigestQuery {
    DigestKind                 kind = DigestKind::Md5;
    std::vector<unsigned char> bytes;  // 16, 20 or 32 of them
};

// The value of one hex digit of any case, or -1 for any other character.
int hex_digit_value(char c);

// Fills `out` from exactly 2 * out.size() hex digits of any case. False, with
// `out` unspecified, for any other length or a non-hex character.
bool parse_hex(std::string_view text, std::span<unsigned char> out);

// Lowercase hex text of `bytes`.
std::string to_hex(std::span<const unsigned char> bytes);

// An MD5 (32 digits), SHA-1 (40) or SHA-256 (64); nothing for anything else.
std::optional<DigestQuery> parse_digest(std::string_view text);
