// Who may put work on the service: uploads, scans again and retro-hunts.
// With keys (--api-keys), each such request must carry one of them as
// `Authorization: Bearer KEY` (the upload form sends it as its `key` field);
// with or without keys, each client (its key's name, or its address where no
// keys are set) has a bound on uploads per minute. Look-ups and pages never
// pass through here.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "service/web/api_keys.h"
#include "service/web/message.h"

// How many times each client started work in the last minute, counted in
// whole seconds: a client may start `per_minute` in any 60 seconds. One
// client costs a fixed few hundred bytes, and the table holds at most
// `clients_max`: past it, the client seen least lately is forgotten.
class RateWindow {
public:
    static constexpr unsigned kSeconds = 60;
    static constexpr unsigned kPerMinuteMax = 10000;

    RateWindow(unsigned per_minute, std::size_t clients_max);

    // Takes a slot for `client` at `second` (seconds from any fixed start,
    // never going back). Nothing when taken; when none is free, the whole
    // seconds until one is.
    std::optional<unsigned> take(const std::string& client, std::int64_t second);
    // Returns the slot `client` took last, for work that did not start.
    void give_back(const std::string& client);

    unsigned per_minute() const { return per_minute_; }
    std::size_t clients() const { return clients_.size(); }

private:
    struct Client {
        std::int64_t last = 0;  // the second of its latest slot
        std::uint32_t total = 0;
        std::array<std::uint16_t, kSeconds> counts{};  // by second modulo kSeconds
        std::list<std::string>::iterator place;        // in order_
    };

    unsigned per_minute_;
    std::size_t clients_max_;
    std::unordered_map<std::string, Client> clients_;
    std::list<std::string> order_;  // the most lately seen first
};

class UploadGate {
public:
    // How a refusal is written: JSON for the API, a page for the form.
    enum class Reply { Json, Page };

    // No keys and no bound: everyone is admitted.
    UploadGate() = default;
    // `keys` empty: no key asked for; `per_minute` 0: no bound.
    UploadGate(std::vector<ApiKey> keys, unsigned per_minute);

    // Whether requests for work must carry a key.
    bool needs_key() const { return needs_key_; }
    // Takes a new list of keys (the file read again); with no keys given at
    // the start, none are asked for later either.
    void replace_keys(std::vector<ApiKey> keys);

    // Admits one request for work, or answers it: 401 for a wrong or missing
    // key, 429 with Retry-After past the client's bound. `authorization` is
    // the header as sent, `peer` the client's address. On admission,
    // `client` is the key's name (empty without keys), for the metrics.
    std::optional<WebResponse> admit(std::string_view authorization, std::string_view peer,
                                     std::string& client, Reply reply = Reply::Json);
    // The same with the key itself, as the upload form sends it.
    std::optional<WebResponse> admit_key(std::string_view key, std::string_view peer,
                                         std::string& client, Reply reply = Reply::Json);
    // An admitted request whose work did not start (every scanner busy)
    // gives its slot back; `client` as admit() set it.
    void give_back(std::string_view client, std::string_view peer);

private:
    // The name of the key listed with `key`'s digest; nothing for a key not
    // listed. Every listed digest is compared, each in constant time.
    std::optional<std::string> key_name(std::string_view key) const;
    std::optional<WebResponse> bound(const std::string& client, std::string_view peer, Reply reply);

    bool needs_key_ = false;
    mutable std::mutex mutex_;
    std::shared_ptr<const std::vector<ApiKey>> keys_;
    std::optional<RateWindow> window_;
};

// The key a header `Authorization: Bearer KEY` carries; nothing for another
// scheme or none.
std::optional<std::string_view> bearer_key(std::string_view authorization);
