// Makes the Bloom filter of the known SHA-1s that GET /bloom/known-sha1.bloom
// offers, on a thread of its own with a store connection of its own: once at
// start, again after an import changed the lists (looked at every minute),
// and otherwise once a day, so that clients re-download only what changed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "service/store/store.h"
#include "service/web/hashlookup_routes.h"

// `when` as HTTP dates are written: "Sun, 06 Nov 1994 08:49:37 GMT".
std::string http_date(std::time_t when);

// The file clients download, with its validators.
PublishedFile published_file(std::string bytes, std::time_t made);

class BloomPublisher {
public:
    BloomPublisher(Store& store, PublishedBloom& into);
    ~BloomPublisher() { stop(); }
    BloomPublisher(const BloomPublisher&) = delete;
    BloomPublisher& operator=(const BloomPublisher&) = delete;

    void stop();

private:
    void run();
    // Makes the filter when the lists changed or it is a day old.
    void once();

    Store& store_;
    PublishedBloom& into_;
    std::string counted_;  // what the lists' counts were when it was last made
    std::chrono::steady_clock::time_point made_{};
    bool ever_made_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};
