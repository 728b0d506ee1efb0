#pragma once
// The reduction of one period's elements, shared by the aggregations over a timeline's periods
// and over runs of consecutive elements, so that both reduce alike.
#include <cmath>
#include <cstdint>

#include "core/blocks/periods.hpp"

namespace ostrel::core::blocks {

// One period's running reduction. Sums are compensated, as the timeline's grouped sums are.
template <Aggregation F>
struct Fold {
  double a = 0.0, c = 0.0;
  int64_t k = 0;
  void add(double v) {
    if (std::isnan(v)) return;
    if constexpr (F == Aggregation::Sum || F == Aggregation::Mean) {
      const double y = v - c;
      const double s = a + y;
      c = (s - a) - y;
      // An infinite value makes the compensation NaN, which would turn an infinite sum into
      // NaN on the next value: there is nothing left to compensate then.
      if (std::isnan(c)) c = 0.0;
      a = s;
    } else if constexpr (F == Aggregation::Max) {
      if (k == 0 || v > a) a = v;
    } else {
      if (k == 0 || v < a) a = v;
    }
    ++k;
  }
};

}  // namespace ostrel::core::blocks
