// Scatter reductions and row reductions against straightforward loops written here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/kernels/kernels.hpp"

namespace ck = ostrel::core::kernels;

TEST(Kernels, GroupReductionsMatchAPlainLoop) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int64_t> id(0, 9);
  std::normal_distribution<double> v(0.0, 3.0);
  std::vector<int64_t> ids(500);
  std::vector<double> values(500);
  for (size_t i = 0; i < ids.size(); ++i) {
    ids[i] = id(rng);
    values[i] = v(rng);
  }
  std::vector<double> sum(10, 0.0), mx(10, -INFINITY), mn(10, INFINITY);
  std::vector<int64_t> count(10, 0);
  int64_t top = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    const auto g = static_cast<size_t>(ids[i]);
    sum[g] += values[i];
    mx[g] = std::max(mx[g], values[i]);
    mn[g] = std::min(mn[g], values[i]);
    ++count[g];
    top = std::max(top, ids[i]);
  }
  const auto n = static_cast<size_t>(top + 1);
  sum.resize(n);
  mx.resize(n);
  mn.resize(n);
  count.resize(n);
  EXPECT_EQ(ck::group_count(ids), count);
  const auto s = ck::group_sum(values, ids);
  ASSERT_EQ(s.size(), n);
  for (size_t g = 0; g < n; ++g) EXPECT_NEAR(s[g], sum[g], 1e-9);
  EXPECT_EQ(ck::group_max(values, ids), mx);
  EXPECT_EQ(ck::group_min(values, ids), mn);
}

TEST(Kernels, EmptyIdsGiveEmptyResults) {
  const std::vector<int64_t> ids;
  const std::vector<double> values;
  EXPECT_TRUE(ck::group_count(ids).empty());
  EXPECT_TRUE(ck::group_sum(values, ids).empty());
}

TEST(Kernels, RowReductionsAndNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // 3 x 3, row-major.
  const std::vector<double> m{1, 5, 2, nan, 0, 9, -1, -2, -3};
  EXPECT_EQ(ck::row_argmax<double>(m, 3, 3), (std::vector<int64_t>{1, 0, 0}));
  const auto mx = ck::row_max<double>(m, 3, 3);
  EXPECT_DOUBLE_EQ(mx[0], 5);
  EXPECT_TRUE(std::isnan(mx[1]));
  EXPECT_DOUBLE_EQ(mx[2], -1);
  const std::vector<double> t{1.9, 0.5, -0.5, -1.9};
  EXPECT_EQ(ck::row_sum<double>(t, 2, 2), (std::vector<int64_t>{2, -2}));
  const std::vector<uint8_t> b{0, 0, 1, 0};
  EXPECT_EQ(ck::row_any<uint8_t>(b, 2, 2), (std::vector<uint8_t>{0, 1}));
}

TEST(Kernels, WhereBroadcastsScalars) {
  const std::vector<uint8_t> cond{1, 0, 1};
  const std::vector<double> a{1, 2, 3};
  EXPECT_EQ(ck::where(cond, ck::PerStep::of(a), ck::PerStep::of(-1.0)),
            (std::vector<double>{1, -1, 3}));
  EXPECT_EQ(ck::where_indices(cond), (std::vector<int64_t>{0, 2}));
  EXPECT_EQ(ck::pairwise_max(ck::PerStep::of(a), ck::PerStep::of(2.0), 3),
            (std::vector<double>{2, 2, 3}));
}
