#include "service/web/upload_gate.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>

#include "service/web/api.h"
#include "service/web/pages.h"

namespace {

// Addresses whose counts are kept at once, where no keys are set.
constexpr std::size_t kClientsMax = 10000;

bool blank(char c) { return c == ' ' || c == '\t'; }

std::int64_t now_second()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

WebResponse refusal(UploadGate::Reply reply, unsigned status, std::string_view title,
                    const std::string& why)
{
    return reply == UploadGate::Reply::Json ? api_error(status, why)
                                            : message_page(status, title, why);
}

}  // namespace

std::optional<std::string_view> bearer_key(std::string_view authorization)
{
    constexpr std::string_view scheme = "bearer";
    if (authorization.size() <= scheme.size() || !blank(authorization[scheme.size()]))
        return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if ((authorization[i] | 0x20) != scheme[i])
            return std::nullopt;
    std::string_view key = authorization.substr(scheme.size());
    while (!key.empty() && blank(key.front()))
        key.remove_prefix(1);
    while (!key.empty() && blank(key.back()))
        key.remove_suffix(1);
    if (key.empty())
        return std::nullopt;
    return key;
}

RateWindow::RateWindow(unsigned per_minute, std::size_t clients_max)
    : per_minute_(std::clamp(per_minute, 1u, kPerMinuteMax)), clients_max_(std::max<std::size_t>(clients_max, 1))
{
}

std::optional<unsigned> RateWindow::take(const std::string& name, std::int64_t second)
{
    auto found = clients_.find(name);
    if (found == clients_.end()) {
        if (clients_.size() >= clients_max_) {
            clients_.erase(order_.back());
            order_.pop_back();
        }
        order_.push_front(name);
        found = clients_.emplace(name, Client{}).first;
        found->second.place = order_.begin();
        found->second.last = second;
    } else {
        order_.splice(order_.begin(), order_, found->second.place);
    }
    Client& client = found->second;
    // The seconds that left the window since its last slot are emptied.
    if (second > client.last) {
        if (second - client.last >= kSeconds) {
            client.counts.fill(0);
            client.total = 0;
        } else {
            for (std::int64_t t = client.last + 1; t <= second; ++t) {
                std::uint16_t& count = client.counts[static_cast<std::size_t>(t % kSeconds)];
                client.total -= count;
                count = 0;
            }
        }
        client.last = second;
    }
    if (client.total < per_minute_) {
        ++client.counts[static_cast<std::size_t>(client.last % kSeconds)];
        ++client.total;
        return std::nullopt;
    }
    // The oldest second in the window leaves it at the next second, and so
    // on: wait until enough have left that a slot is free.
    std::uint32_t left = client.total;
    for (unsigned wait = 1; wait <= kSeconds; ++wait) {
        left -= client.counts[static_cast<std::size_t>((client.last + wait) % kSeconds)];
        if (left < per_minute_)
            return wait;
    }
    return kSeconds;
}

void RateWindow::give_back(const std::string& name)
{
    const auto found = clients_.find(name);
    if (found == clients_.end())
        return;
    Client& client = found->second;
    std::uint16_t& count = client.counts[static_cast<std::size_t>(client.last % kSeconds)];
    if (count > 0) {
        --count;
        --client.total;
    }
}

UploadGate::UploadGate(std::vector<ApiKey> keys, unsigned per_minute)
    : needs_key_(!keys.empty()), keys_(std::make_shared<const std::vector<ApiKey>>(std::move(keys)))
{
    if (per_minute > 0)
        window_.emplace(per_minute, kClientsMax);
}

void UploadGate::replace_keys(std::vector<ApiKey> keys)
{
    if (!needs_key_ || keys.empty())
        return;
    auto fresh = std::make_shared<const std::vector<ApiKey>>(std::move(keys));
    const std::lock_guard lock(mutex_);
    keys_ = std::move(fresh);
}

std::optional<std::string> UploadGate::key_name(std::string_view key) const
{
    std::shared_ptr<const std::vector<ApiKey>> keys;
    {
        const std::lock_guard lock(mutex_);
        keys = keys_;
    }
    const Sha256Bytes digest = api_key_digest(key);
    const ApiKey* match = nullptr;
    for (const ApiKey& listed : *keys)
        if (CRYPTO_memcmp(listed.digest.data(), digest.data(), digest.size()) == 0)
            match = &listed;
    if (!match)
        return std::nullopt;
    return match->name;
}

std::optional<WebResponse> UploadGate::admit(std::string_view authorization, std::string_view peer,
                                             std::string& client, Reply reply)
{
    if (!needs_key_)
        return admit_key({}, peer, client, reply);
    const std::optional<std::string_view> key = bearer_key(authorization);
    if (!key) {
        client.clear();
        WebResponse response = refusal(reply, 401, "Key needed",
                                       "This service takes work only with a key: send it as "
                                       "\"Authorization: Bearer KEY\".");
        response.www_authenticate = "Bearer";
        return response;
    }
    return admit_key(*key, peer, client, reply);
}

std::optional<WebResponse> UploadGate::admit_key(std::string_view key, std::string_view peer,
                                                 std::string& client, Reply reply)
{
    client.clear();
    if (needs_key_) {
        const std::optional<std::string> name = key.empty() ? std::nullopt : key_name(key);
        if (!name) {
            WebResponse response = refusal(reply, 401, key.empty() ? "Key needed" : "Wrong key",
                                           key.empty() ? "This service takes uploads only with a key; give yours."
                                                       : "That key is not one this service knows.");
            response.www_authenticate = "Bearer";
            return response;
        }
        client = *name;
    }
    return bound(client, peer, reply);
}

std::optional<WebResponse> UploadGate::bound(const std::string& client, std::string_view peer,
                                             Reply reply)
{
    std::optional<unsigned> wait;
    unsigned per_minute = 0;
    {
        const std::lock_guard lock(mutex_);
        if (!window_)
            return std::nullopt;
        per_minute = window_->per_minute();
        wait = window_->take(needs_key_ ? client : std::string(peer), now_second());
    }
    if (!wait)
        return std::nullopt;
    WebResponse response = refusal(reply, 429, "Too many uploads",
                                   "Too many uploads: at most " + std::to_string(per_minute) +
                                   (needs_key_ ? " a minute with one key" : " a minute from one address") +
                                   "; try again in " + std::to_string(*wait) + " seconds.");
    response.retry_after = std::to_string(*wait);
    return response;
}

void UploadGate::give_back(std::string_view client, std::string_view peer)
{
    const std::lock_guard lock(mutex_);
    if (window_)
        window_->give_back(std::string(needs_key_ ? client : peer));
}
