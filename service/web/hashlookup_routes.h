// The routes that hash-lookup clients already speak, on the public port
// beside /api/v1: look-ups by MD5, SHA-1 and SHA-256, bulk look-ups, the
// service's information, the most-asked unknown digests, sessions, archive
// parents and children, and the known SHA-1s as a Bloom filter. Every answer
// but the filter is JSON, whatever its status; digests come out in upper case.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "service/store/store.h"
#include "service/web/message.h"

struct RouteContext;

// The Bloom filter the service serves, as made last: its bytes, and the
// validators clients re-download by.
struct PublishedFile {
    std::string bytes;
    std::string etag;           // quoted, as sent
    std::string last_modified;  // an HTTP date
};

// The filter on offer, swapped whole by whoever makes it; null until the
// first one is made.
class PublishedBloom {
public:
    std::shared_ptr<const PublishedFile> current() const
    {
        const std::lock_guard lock(mutex_);
        return file_;
    }
    void publish(std::shared_ptr<const PublishedFile> file)
    {
        const std::lock_guard lock(mutex_);
        file_ = std::move(file);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const PublishedFile> file_;
};

// `path` as these routes read it (runs of '/' as one, no '/' at the end),
// when it is one of theirs; nothing otherwise.
std::optional<std::string> hashlookup_path(std::string_view path);

// Answers `request`, whose path hashlookup_path() gave as `path`; `method`
// has HEAD read as GET. The response carries its route's name, each one of
// route_names().
WebResponse hashlookup_route(std::string_view method, std::string_view path,
                             const WebRequest& request, Store& store, const RouteContext& context);

// The trust a record is given: 50, 5 more per parent, 20 less when known to
// be malicious, at most 100.
int hashlookup_trust(std::uint64_t parents, bool malicious);
