// The keys that may put work on the service, as the operator lists them in
// the file given to --api-keys: one key per line, `NAME SHA256-OF-KEY-IN-HEX`,
// '#' starting a comment, blank lines passed over. The file holds digests
// only, so that reading it (or a backup of it) gives nobody a key.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "service/store/store.h"

struct ApiKey {
    std::string name;     // 1 to kApiKeyNameMax of A-Z a-z 0-9 . _ -
    Sha256Bytes digest{};  // SHA-256 of the key itself
};

inline constexpr std::size_t kApiKeyNameMax = 64;

// Parses the text of a keys file. On a line that is not a key, a blank or a
// comment, false with `error` naming `label` and the line; the line's text is
// never repeated, as it may hold a key written there by mistake. A file
// without one key is refused too: it would shut every upload out.
bool parse_api_keys(std::string_view text, std::string_view label, std::vector<ApiKey>& keys,
                    std::string& error);

// Reads and parses the keys file at `path`.
bool read_api_keys(const std::string& path, std::vector<ApiKey>& keys, std::string& error);

// The SHA-256 of `key`, as the file lists it.
Sha256Bytes api_key_digest(std::string_view key);
