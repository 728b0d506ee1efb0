// Aggregation over runs of consecutive elements (hours in days, days in months...): each run
// reduced as the timeline's periods are, several runs side by side.
#include <cstddef>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/blocks/fold.hpp"
#include "core/blocks/periods.hpp"
#include "core/common/errors.hpp"

namespace ostrel::core::blocks {

namespace {

template <Aggregation F>
double result(const Fold<F>& f) {
  if (f.k == 0) return std::numeric_limits<double>::quiet_NaN();
  if constexpr (F == Aggregation::Mean) return f.a / static_cast<double>(f.k);
  return f.a;
}

#if defined(__SSE2__)
// Fold<F>::add of a compensated sum on eight runs of `len` elements that follow each other
// from `v`, two runs per register: each lane performs exactly the scalar operations (a missing
// value leaves its lane as it was; a NaN compensation becomes 0), so the results are the same
// to the bit.
constexpr int kPairs = 4;  // eight runs: as many as fit the registers
template <Aggregation F>
void compensated_lanes(const double* v, size_t len, double* out) {
  const __m128d zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0);
  __m128d a[kPairs], c[kPairs], k[kPairs];
  for (int h = 0; h < kPairs; ++h) a[h] = c[h] = k[h] = zero;
  auto pick = [](__m128d m, __m128d yes, __m128d no) {
    return _mm_or_pd(_mm_and_pd(m, yes), _mm_andnot_pd(m, no));
  };
  for (size_t i = 0; i < len; ++i) {
    for (int h = 0; h < kPairs; ++h) {
      const __m128d x = _mm_set_pd(v[(2 * h + 1) * len + i], v[2 * h * len + i]);
      const __m128d present = _mm_cmpeq_pd(x, x);
      const __m128d y = _mm_sub_pd(x, c[h]);
      const __m128d s = _mm_add_pd(a[h], y);
      __m128d cn = _mm_sub_pd(_mm_sub_pd(s, a[h]), y);
      cn = _mm_and_pd(cn, _mm_cmpeq_pd(cn, cn));
      a[h] = pick(present, s, a[h]);
      c[h] = pick(present, cn, c[h]);
      k[h] = _mm_add_pd(k[h], _mm_and_pd(present, one));
    }
  }
  for (int h = 0; h < kPairs; ++h) {
    double sums[2], counts[2];
    _mm_storeu_pd(sums, a[h]);
    _mm_storeu_pd(counts, k[h]);
    for (int j = 0; j < 2; ++j) {
      const double n = counts[j];
      double r = sums[j];
      if (n == 0.0)
        r = std::numeric_limits<double>::quiet_NaN();
      else if constexpr (F == Aggregation::Mean)
        r = sums[j] / n;
      out[2 * h + j] = r;
    }
  }
}
#endif

template <Aggregation F>
void fold_runs(std::span<const double> values, std::span<const size_t> bounds,
               std::span<double> out) {
  const size_t runs = bounds.size() - 1;
  constexpr size_t kLanes = 8;
  size_t q = 0;
  // Runs of one length are folded eight at a time, element by element in each: the folds do
  // not wait on each other, so the processor overlaps their additions (a compensated sum is one
  // long chain of dependent operations). Each run still adds its own elements in order.
  for (; q + kLanes <= runs; q += kLanes) {
    const size_t len = bounds[q + 1] - bounds[q];
    bool even = true;
    for (size_t j = 1; j < kLanes; ++j) even &= bounds[q + j + 1] - bounds[q + j] == len;
    if (!even) {
      for (size_t j = 0; j < kLanes; ++j) {
        Fold<F> f;
        for (size_t i = bounds[q + j]; i < bounds[q + j + 1]; ++i) f.add(values[i]);
        out[q + j] = result(f);
      }
      continue;
    }
    const double* v = values.data() + bounds[q];
#if defined(__SSE2__)
    if constexpr (F == Aggregation::Sum || F == Aggregation::Mean) {
      compensated_lanes<F>(v, len, out.data() + q);
      continue;
    }
#endif
    Fold<F> f[kLanes];
    for (size_t i = 0; i < len; ++i)
      for (size_t j = 0; j < kLanes; ++j) f[j].add(v[j * len + i]);
    for (size_t j = 0; j < kLanes; ++j) out[q + j] = result(f[j]);
  }
  for (; q < runs; ++q) {
    Fold<F> f;
    for (size_t i = bounds[q]; i < bounds[q + 1]; ++i) f.add(values[i]);
    out[q] = result(f);
  }
}

}  // namespace

void aggregate_runs(std::span<const double> values, std::span<const std::size_t> bounds,
                    Aggregation f, std::span<double> out) {
  using A = Aggregation;
  if (bounds.empty() || bounds.back() > values.size())
    value_error("aggregate_runs: the runs do not cover the series");
  if (out.size() != bounds.size() - 1) value_error("aggregate_runs: one result per run");
  switch (f) {
    case A::Sum:
      return fold_runs<A::Sum>(values, bounds, out);
    case A::Mean:
      return fold_runs<A::Mean>(values, bounds, out);
    case A::Max:
      return fold_runs<A::Max>(values, bounds, out);
    case A::Min:
      return fold_runs<A::Min>(values, bounds, out);
  }
}

Values aggregate_runs(std::span<const double> values, std::span<const std::size_t> bounds,
                      Aggregation f) {
  Values out(bounds.empty() ? 0 : bounds.size() - 1);
  aggregate_runs(values, bounds, f, out);
  return out;
}

}  // namespace ostrel::core::blocks
