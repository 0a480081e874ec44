// The Space-Saving summary against an exact count of the same skewed stream:
// every bound it promises, checked key by key.
#include "service/web/heavy_hitters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Zipf-like draws over `keys` keys with exponent `skew`: a few keys come
// often, most seldom; skew 0 is uniform. Repeatable from `seed`.
std::vector<std::string> stream(unsigned seed, std::size_t length, std::size_t keys, double skew)
{
    std::vector<double> weights(keys);
    for (std::size_t i = 0; i < keys; ++i)
        weights[i] = 1.0 / std::pow(static_cast<double>(i + 1), skew);
    std::mt19937 random(seed);
    std::discrete_distribution<std::size_t> draw(weights.begin(), weights.end());
    std::vector<std::string> out;
    for (std::size_t i = 0; i < length; ++i)
        out.push_back("key" + std::to_string(draw(random)));
    return out;
}

TEST(HeavyHitters, BoundsAgainstExactCounts)
{
    const unsigned seed = std::getenv("SEED") ? static_cast<unsigned>(std::atoi(std::getenv("SEED"))) : 18;
    // capacity, stream length, distinct keys, skew
    const std::tuple<std::size_t, std::size_t, std::size_t, double> cases[] = {
        {50, 100'000, 20'000, 1.1}, {200, 100'000, 50'000, 0.8}, {10, 20'000, 5, 1.0},
        {1, 1000, 3, 2.0}, {100, 50'000, 100'000, 0.0},
    };
    for (const auto& [capacity, length, keys, skew] : cases) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", capacity " + std::to_string(capacity) +
                     ", skew " + std::to_string(skew));
        HeavyHitters summary(capacity);
        std::map<std::string, std::uint64_t> exact;
        std::int64_t now = 0;
        for (const std::string& key : stream(seed, length, keys, skew)) {
            summary.add(key, ++now);
            ++exact[key];
        }
        const std::uint64_t bound = length / capacity;
        const std::vector<HeavyHitter> top = summary.top(capacity);
        ASSERT_EQ(summary.total(), length);
        ASSERT_EQ(top.size(), std::min(capacity, exact.size()));
        std::map<std::string, const HeavyHitter*> held;
        for (std::size_t i = 0; i < top.size(); ++i) {
            const HeavyHitter& hitter = top[i];
            held[hitter.key] = &hitter;
            EXPECT_LE(hitter.error, bound) << hitter.key;
            EXPECT_GE(hitter.count, exact[hitter.key]) << hitter.key;
            EXPECT_LE(hitter.count - hitter.error, exact[hitter.key]) << hitter.key;
            EXPECT_LE(hitter.first, hitter.last);
            if (i > 0) {
                EXPECT_GE(top[i - 1].count, hitter.count);
            }
        }
        for (const auto& [key, count] : exact)
            if (count > bound) {
                EXPECT_TRUE(held.contains(key)) << key << " seen " << count << " times";
            }
    }
}

TEST(HeavyHitters, EraseAndRestore)
{
    HeavyHitters summary(3);
    for (const char* key : {"a", "a", "a", "b", "b", "c"})
        summary.add(key, 7);
    summary.erase("b");
    summary.erase("absent");
    summary.add("d", 9);  // takes the free counter, with no error
    const std::vector<HeavyHitter> top = summary.top(5);
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0].key, "a");
    EXPECT_EQ(top[0].count, 3u);
    EXPECT_EQ(top[2].count + top[1].count, 2u);  // c and d, once each
    summary.add("e", 10);  // full: takes a count of 1, which becomes its error
    HeavyHitters restored(3);
    for (const HeavyHitter& hitter : summary.top(3))
        restored.restore(hitter, summary.total());
    EXPECT_EQ(restored.total(), summary.total());
    const std::vector<HeavyHitter> again = restored.top(3);
    const std::vector<HeavyHitter> before = summary.top(3);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(std::tie(again[i].key, again[i].count, again[i].error, again[i].first),
                  std::tie(before[i].key, before[i].count, before[i].error, before[i].first));
    EXPECT_EQ(std::tie(before[1].key, before[1].count, before[1].error),
              std::make_tuple("e", 2u, 1u));
}

}  // namespace
