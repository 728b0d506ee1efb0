#pragma once
// The reduction of one period's elements, shared by the aggregations over a timeline's periods
// and over runs of consecutive elements, so that both reduce alike.
#include <cmath>
#include <cstddef>
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

// Folds v[0..n) into f, in order. A sum keeps its one chain of additions; the highest or lowest
// value is followed in eight lanes at once and the lanes then compared, which finds the same
// value. Only equal values that differ in their bits could tell the orders apart, and of those
// only the two zeros: a result of zero is the first zero met, as in order.
template <Aggregation F>
void fold_run(Fold<F>& f, const double* v, std::size_t n) {
  if constexpr (F == Aggregation::Max || F == Aggregation::Min) {
    constexpr std::size_t kLanes = 8;
    if (n >= 4 * kLanes) {
      // Each lane starts beyond every value, so that its first value (never NaN, which no
      // comparison takes) replaces the start as Fold::add's first value would: the same lane
      // results, without a branch per value, which lets the compiler run the lanes side by
      // side. Counts are whole numbers in doubles, exact far beyond any run.
      constexpr double start = F == Aggregation::Max ? -HUGE_VAL : HUGE_VAL;
      double best[kLanes], count[kLanes] = {};
      for (double& b : best) b = start;
      std::size_t i = 0;
      for (; i + kLanes <= n; i += kLanes) {
        for (std::size_t k = 0; k < kLanes; ++k) {
          const double x = v[i + k];
          const bool better = F == Aggregation::Max ? x > best[k] : x < best[k];
          best[k] = better ? x : best[k];
          count[k] += x == x ? 1.0 : 0.0;
        }
      }
      Fold<F> lane[kLanes];
      for (std::size_t k = 0; k < kLanes; ++k)
        lane[k].a = best[k], lane[k].k = static_cast<int64_t>(count[k]);
      for (; i < n; ++i) lane[0].add(v[i]);
      Fold<F> all = f;
      for (const Fold<F>& l : lane) {
        if (l.k == 0) continue;
        const bool better = F == Aggregation::Max ? l.a > all.a : l.a < all.a;
        if (all.k == 0 || better) all.a = l.a;
        all.k += l.k;
      }
      if (all.k == 0 || all.a != 0.0) {
        f = all;
        return;
      }
      // A result of zero: one value after the other keeps the first zero it meets (the other
      // zero never compares better), which is the run's first zero unless `f` already held
      // one. Masked periods are runs of zeros, so this is the common case, not a rare one.
      if (f.k > 0 && f.a == 0.0) {
        all.a = f.a;
        f = all;
        return;
      }
      for (std::size_t z = 0; z < n; ++z) {
        if (v[z] == 0.0) {
          all.a = v[z];
          f = all;
          return;
        }
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) f.add(v[i]);
}

}  // namespace ostrel::core::blocks
