#pragma once
// The reduction of one period's elements, shared by the aggregations over a timeline's periods
// and over runs of consecutive elements, so that both reduce alike.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The running highest (F Max) or lowest value and the count of values of eight lanes over
// v[0..i), lane k taking the elements k, k + 8, k + 16 ...; returns i, the largest multiple of
// eight not above n. A lane starts beyond every value, so that its first value (never NaN,
// which no comparison takes) replaces the start as Fold::add's first value would: the same lane
// results, without a branch per value.
template <Aggregation F>
std::size_t follow_lanes(const double* v, std::size_t n, double (&best)[8], int64_t (&count)[8]) {
  constexpr double start = F == Aggregation::Max ? -HUGE_VAL : HUGE_VAL;
  std::size_t i = 0;
#if defined(__GNUC__)
  // Two lanes to a vector: the same comparisons, two at a time.
  typedef double Pair __attribute__((vector_size(16)));
  typedef int64_t Counts __attribute__((vector_size(16)));
  Pair b[4] = {{start, start}, {start, start}, {start, start}, {start, start}};
  Counts c[4] = {};
  for (; i + 8 <= n; i += 8) {
    for (std::size_t k = 0; k < 4; ++k) {
      Pair x;
      std::memcpy(&x, v + i + 2 * k, sizeof x);
      if constexpr (F == Aggregation::Max)
        b[k] = x > b[k] ? x : b[k];
      else
        b[k] = x < b[k] ? x : b[k];
      c[k] -= x == x;  // a comparison that holds is -1 in each lane
    }
  }
  for (std::size_t k = 0; k < 8; ++k) best[k] = b[k / 2][k % 2], count[k] = c[k / 2][k % 2];
#else
  for (std::size_t k = 0; k < 8; ++k) best[k] = start, count[k] = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t k = 0; k < 8; ++k) {
      const double x = v[i + k];
      const bool better = F == Aggregation::Max ? x > best[k] : x < best[k];
      best[k] = better ? x : best[k];
      count[k] += x == x ? 1 : 0;
    }
  }
#endif
  return i;
}

// Folds v[0..n) into f, in order. A sum keeps its one chain of additions; the highest or lowest
// value is followed in eight lanes at once and the lanes then compared, which finds the same
// value. Only equal values that differ in their bits could tell the orders apart, and of those
// only the two zeros: a result of zero is the first zero met, as in order.
template <Aggregation F>
void fold_run(Fold<F>& f, const double* v, std::size_t n) {
  if constexpr (F == Aggregation::Max || F == Aggregation::Min) {
    constexpr std::size_t kLanes = 8;
    if (n >= 4 * kLanes) {
      double best[kLanes];
      int64_t count[kLanes];
      std::size_t i = follow_lanes<F>(v, n, best, count);
      Fold<F> lane[kLanes];
      for (std::size_t k = 0; k < kLanes; ++k) lane[k].a = best[k], lane[k].k = count[k];
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
