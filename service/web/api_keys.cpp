#include "service/web/api_keys.h"
#include "service/store/digest_text.h"

#include <openssl/sha.h>

#include <algorithm>
#include <fstream>

namespace {

// Longer files are not a list of keys someone wrote.
constexpr std::size_t kFileMax = 4 << 20;

bool name_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// The words of a line, split at spaces and tabs.
std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && blank(line[at]))
            ++at;
        const std::size_t start = at;
        while (at < line.size() && !blank(line[at]))
            ++at;
        if (at > start)
            out.push_back(line.substr(start, at - start));
    }
    return out;
}

// Why the words of one line are not a key; empty when they are one.
std::string read_key(const std::vector<std::string_view>& line, ApiKey& key)
{
    if (line.size() != 2)
        return "expected a name and the key's SHA-256 in hexadecimal, with a space between";
    const std::string_view name = line[0];
    const std::string_view hex = line[1];
    if (name.size() > kApiKeyNameMax || !std::all_of(name.begin(), name.end(), name_char))
        return "a key's name is 1 to 64 letters, digits, '.', '_' or '-'";
    if (!parse_hex(hex, key.digest))
        return "the key's SHA-256 is 64 hexadecimal digits";
    key.name = std::string(name);
    return {};
}

}  // namespace

bool parse_api_keys(std::string_view text, std::string_view label, std::vector<ApiKey>& keys,
                    std::string& error)
{
    std::vector<ApiKey> read;
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        line = line.substr(0, line.find('#'));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::vector<std::string_view> parts = words(line);
        if (parts.empty())
            continue;
        ApiKey key;
        std::string why = read_key(parts, key);
        if (why.empty() && std::any_of(read.begin(), read.end(),
                                       [&](const ApiKey& other) { return other.name == key.name; }))
            why = "the name is given to another key before";
        if (why.empty() && std::any_of(read.begin(), read.end(),
                                       [&](const ApiKey& other) { return other.digest == key.digest; }))
            why = "the same key is listed under another name before";
        if (!why.empty()) {
            error = std::string(label) + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        read.push_back(std::move(key));
    }
    if (read.empty()) {
        error = std::string(label) + ": no keys: nobody could upload";
        return false;
    }
    keys = std::move(read);
    return true;
}

bool read_api_keys(const std::string& path, std::vector<ApiKey>& keys, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    std::string text(kFileMax + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad()) {
        error = path + ": cannot be read";
        return false;
    }
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > kFileMax) {
        error = path + ": larger than a list of keys (4 MiB)";
        return false;
    }
    return parse_api_keys(text, path, keys, error);
}

Sha256Bytes api_key_digest(std::string_view key)
{
    Sha256Bytes digest{};
    SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest.data());
    return digest;
}
