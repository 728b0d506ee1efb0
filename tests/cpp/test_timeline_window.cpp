// The input span reader: extremes of instants with missing ones skipped, checked against a
// plain scan over random inputs of every length around the four-lane unrolling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/timeline/window.hpp"

namespace tl = ostrel::core::timeline;

namespace {
constexpr std::int64_t kNat = std::numeric_limits<std::int64_t>::min();
}

TEST(TimelineWindow, InstantRangeSkipsMissingInstants) {
  std::mt19937_64 rng(5);
  for (std::size_t n = 0; n < 40; ++n) {
    for (int round = 0; round < 20; ++round) {
      std::vector<std::int64_t> t(n);
      for (auto& x : t) {
        const auto pick = rng() % 10;
        x = pick == 0   ? kNat
            : pick == 1 ? std::numeric_limits<std::int64_t>::max()
                        : static_cast<std::int64_t>(rng() % 2001) - 1000;
      }
      std::vector<std::int64_t> present;
      std::copy_if(t.begin(), t.end(), std::back_inserter(present),
                   [](std::int64_t x) { return x != kNat; });
      const auto got = tl::instant_range(t, kNat);
      if (present.empty()) {
        EXPECT_FALSE(got.has_value()) << "n=" << n;
        continue;
      }
      ASSERT_TRUE(got.has_value());
      const auto [lo, hi] = std::minmax_element(present.begin(), present.end());
      EXPECT_EQ(got->first, *lo);
      EXPECT_EQ(got->second, *hi);
    }
  }
}
