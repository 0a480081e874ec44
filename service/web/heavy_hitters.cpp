#include "service/web/heavy_hitters.h"

#include <algorithm>
#include <utility>

HeavyHitters::HeavyHitters(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1))
{
    heap_.reserve(capacity_);
    where_.reserve(capacity_);
}

void HeavyHitters::add(std::string_view key, std::int64_t now)
{
    ++total_;
    const auto found = where_.find(std::string(key));
    if (found != where_.end()) {
        HeavyHitter& hitter = heap_[found->second];
        ++hitter.count;
        hitter.last = now;
        sift_down(found->second);
        return;
    }
    if (heap_.size() < capacity_) {
        heap_.push_back({std::string(key), 1, 0, now, now});
        where_.emplace(key, heap_.size() - 1);
        sift_up(heap_.size() - 1);
        return;
    }
    // The smallest counter goes to the new key, which may have been seen as
    // often as the key it replaces: that count becomes its error.
    HeavyHitter& smallest = heap_.front();
    where_.erase(smallest.key);
    smallest.error = smallest.count;
    ++smallest.count;
    smallest.key = std::string(key);
    smallest.first = smallest.last = now;
    where_.emplace(key, 0);
    sift_down(0);
}

void HeavyHitters::erase(std::string_view key)
{
    const auto found = where_.find(std::string(key));
    if (found == where_.end())
        return;
    const std::size_t at = found->second;
    where_.erase(found);
    const std::size_t last = heap_.size() - 1;
    if (at != last) {
        heap_[at] = std::move(heap_[last]);
        where_[heap_[at].key] = at;
    }
    heap_.pop_back();
    if (at < heap_.size()) {
        sift_up(at);
        sift_down(at);
    }
}

void HeavyHitters::restore(const HeavyHitter& hitter, std::uint64_t total)
{
    total_ = std::max(total_, total);
    if (heap_.size() >= capacity_ || where_.contains(hitter.key))
        return;
    heap_.push_back(hitter);
    where_.emplace(hitter.key, heap_.size() - 1);
    sift_up(heap_.size() - 1);
}

std::vector<HeavyHitter> HeavyHitters::top(std::size_t n) const
{
    std::vector<HeavyHitter> sorted = heap_;
    const auto larger = [](const HeavyHitter& a, const HeavyHitter& b) {
        return a.count != b.count ? a.count > b.count : a.error < b.error;
    };
    const std::size_t kept = std::min(n, sorted.size());
    std::partial_sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(kept),
                      sorted.end(), larger);
    sorted.resize(kept);
    return sorted;
}

void HeavyHitters::swap_at(std::size_t a, std::size_t b)
{
    std::swap(heap_[a], heap_[b]);
    where_[heap_[a].key] = a;
    where_[heap_[b].key] = b;
}

void HeavyHitters::sift_up(std::size_t at)
{
    while (at > 0) {
        const std::size_t parent = (at - 1) / 2;
        if (heap_[parent].count <= heap_[at].count)
            return;
        swap_at(parent, at);
        at = parent;
    }
}

void HeavyHitters::sift_down(std::size_t at)
{
    for (;;) {
        std::size_t smallest = at;
        for (const std::size_t child : {2 * at + 1, 2 * at + 2})
            if (child < heap_.size() && heap_[child].count < heap_[smallest].count)
                smallest = child;
        if (smallest == at)
            return;
        swap_at(at, smallest);
        at = smallest;
    }
}
