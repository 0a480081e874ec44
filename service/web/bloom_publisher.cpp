#include "service/web/bloom_publisher.h"

#include <cstdio>

#include "service/bloom/known_bloom.h"

namespace {

constexpr std::chrono::seconds kLookPeriod{60};
constexpr std::chrono::hours kRemakeAfter{24};

// The lists' counts per source and verdict: an import that adds a file
// changes them.
bool counts_text(Store& store, std::string& out, std::string& error)
{
    std::vector<SourceCount> counts;
    if (store.counts(counts, error) != StoreStatus::Ok)
        return false;
    out.clear();
    for (const SourceCount& count : counts)
        out += count.source + '\n' + std::to_string(static_cast<int>(count.verdict)) + ' ' +
               std::to_string(count.files) + '\n';
    return true;
}

}  // namespace

std::string http_date(std::time_t when)
{
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

PublishedFile published_file(std::string bytes, std::time_t made)
{
    PublishedFile file;
    const std::uint64_t hash =
        fnv1_64({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
    char tag[24];
    std::snprintf(tag, sizeof tag, "\"%016llx\"", static_cast<unsigned long long>(hash));
    file.etag = tag;
    file.last_modified = http_date(made);
    file.bytes = std::move(bytes);
    return file;
}

BloomPublisher::BloomPublisher(Store& store, PublishedBloom& into)
    : store_(store), into_(into), thread_([this] { run(); })
{
}

void BloomPublisher::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void BloomPublisher::run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        once();
        lock.lock();
        wake_.wait_for(lock, kLookPeriod, [this] { return stopping_; });
    }
}

void BloomPublisher::once()
{
    std::string counted, error;
    if (!counts_text(store_, counted, error)) {
        std::fprintf(stderr, "brantwicker-service: the Bloom filter: %s\n", error.c_str());
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (ever_made_ && counted == counted_ && now - made_ < kRemakeAfter)
        return;
    const std::optional<BloomFilter> filter = make_known_bloom(store_, BloomRequest{}, error);
    if (!filter) {
        std::fprintf(stderr, "brantwicker-service: the Bloom filter: %s\n", error.c_str());
        return;
    }
    into_.publish(std::make_shared<const PublishedFile>(
        published_file(filter->bytes(), std::time(nullptr))));
    counted_ = std::move(counted);
    made_ = now;
    ever_made_ = true;
}
