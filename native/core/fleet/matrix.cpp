#include "core/fleet/matrix.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>

#include "core/common/errors.hpp"
#include "core/fleet/batch.hpp"
#include "core/fleet/row.hpp"

namespace ostrel::core::fleet {

namespace {

// Meters gathered at once from a matrix whose rows are not contiguous.
constexpr std::size_t kGather = 8;

// The rows [first, first + count) of a source, contiguous: views when they are, else copied
// into `buffer`, reading the matrix in its own order.
void rows_of(const Source& in, std::size_t first, std::size_t count, std::vector<double>& buffer,
             std::vector<const double*>& out) {
  const std::size_t width = in.columns;
  out.resize(count);
  if (in.col_stride == 1 || width <= 1) {
    for (std::size_t j = 0; j < count; ++j)
      out[j] = in.data + static_cast<std::ptrdiff_t>(first + j) * in.row_stride;
    return;
  }
  buffer.resize(count * width);
  const double* base = in.data + static_cast<std::ptrdiff_t>(first) * in.row_stride;
  for (std::size_t k = 0; k < width; ++k) {
    const double* at = base + static_cast<std::ptrdiff_t>(k) * in.col_stride;
    for (std::size_t j = 0; j < count; ++j)
      buffer[j * width + k] = at[static_cast<std::ptrdiff_t>(j) * in.row_stride];
  }
  for (std::size_t j = 0; j < count; ++j) out[j] = buffer.data() + j * width;
}

// The sum of the present values (NaN is a missing value and adds nothing; x == x is false only
// for NaN), in eight sums side by side: the additions need not wait on each other, and on x86
// they run two at a time.
double sum_present(const double* v, std::size_t n) {
  std::size_t k = 0;
  double sum = 0.0;
#if defined(__SSE2__)
  __m128d a = _mm_setzero_pd(), b = a, c = a, d = a;
  auto present = [](__m128d x) { return _mm_and_pd(x, _mm_cmpeq_pd(x, x)); };
  for (; k + 8 <= n; k += 8) {
    a = _mm_add_pd(a, present(_mm_loadu_pd(v + k)));
    b = _mm_add_pd(b, present(_mm_loadu_pd(v + k + 2)));
    c = _mm_add_pd(c, present(_mm_loadu_pd(v + k + 4)));
    d = _mm_add_pd(d, present(_mm_loadu_pd(v + k + 6)));
  }
  double lanes[2];
  _mm_storeu_pd(lanes, _mm_add_pd(_mm_add_pd(a, b), _mm_add_pd(c, d)));
  sum = lanes[0] + lanes[1];
#endif
  for (; k < n; ++k) sum += v[k] == v[k] ? v[k] : 0.0;
  return sum;
}

// The present cost values of each month added to the meter's row of the bill.
void bill(const Prepared& p, std::span<const double> cost, double* row) {
  if (cost.size() != p.cost_periods())
    value_error("the cost series does not lie on its resolution's periods");
  for (const Prepared::MonthRun& r : p.month_runs())
    row[r.month] += sum_present(cost.data() + r.begin, r.end - r.begin);
}

}  // namespace

std::vector<MonthlyCosts> evaluate(std::span<const Source> sources, std::span<const Part> parts,
                                   std::size_t meters) {
  for (const Source& s : sources)
    if (s.rows != meters) value_error("every matrix of a batch must hold one row per meter");
  std::vector<MonthlyCosts> out(parts.size());
  std::vector<RowRun> runs;
  runs.reserve(parts.size());
  std::vector<std::size_t> per_meter;  // the parts whose cost reads a meter
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const Prepared& p = *parts[i].prepared;
    const std::span<const InputLabels> inputs = p.inputs();
    if (parts[i].feeds.size() != inputs.size()) value_error("one source per input of the plan");
    for (std::size_t f = 0; f < inputs.size(); ++f) {
      const Part::Feed& feed = parts[i].feeds[f];
      if (feed.source < 0 || static_cast<std::size_t>(feed.source) >= sources.size() ||
          feed.first < 0)
        value_error("an input's source or first column is out of range");
      const std::size_t columns = sources[static_cast<std::size_t>(feed.source)].columns;
      if (static_cast<std::size_t>(feed.first) > columns ||
          inputs[f].labels.size() > columns - static_cast<std::size_t>(feed.first))
        value_error("an input's labels lie outside its source's columns");
    }
    const std::span<const std::int64_t> months = p.month_starts();
    out[i].month_starts.assign(months.begin(), months.end());
    runs.emplace_back(p);
    const bool reads = p.slot_per_meter(p.plan().cost);
    out[i].rows = reads ? meters : 1;
    out[i].costs.assign(out[i].rows * months.size(), 0.0);
    if (reads)
      per_meter.push_back(i);
    else
      bill(p, runs[i].run(), out[i].costs.data());
  }
  if (per_meter.empty()) return out;
  std::vector<std::vector<double>> buffers(sources.size());
  std::vector<std::vector<const double*>> rows(sources.size());
  for (std::size_t first = 0; first < meters; first += kGather) {
    const std::size_t count = std::min(kGather, meters - first);
    for (std::size_t s = 0; s < sources.size(); ++s)
      rows_of(sources[s], first, count, buffers[s], rows[s]);
    for (std::size_t j = 0; j < count; ++j) {
      for (std::size_t i : per_meter) {
        const Prepared& p = *parts[i].prepared;
        for (std::size_t f = 0; f < parts[i].feeds.size(); ++f) {
          const Part::Feed& feed = parts[i].feeds[f];
          const double* row = rows[static_cast<std::size_t>(feed.source)][j] + feed.first;
          runs[i].feed(f, {row, p.inputs()[f].labels.size()});
        }
        bill(p, runs[i].run(), out[i].costs.data() + (first + j) * out[i].month_starts.size());
      }
    }
  }
  return out;
}

timeline::Mask suspects(const Source& s) {
  constexpr double kMax = std::numeric_limits<double>::max();
  // false for NaN: every comparison with NaN is false.
  auto fine = [](double x) { return x >= 0.0 && x <= kMax; };
  timeline::Mask out(s.rows, 0);
  if (s.col_stride == 1 || s.rows <= 1 || s.row_stride != 1) {
    for (std::size_t m = 0; m < s.rows; ++m) {
      const double* row = s.data + static_cast<std::ptrdiff_t>(m) * s.row_stride;
      std::size_t k = 0;
#if defined(__SSE2__)
      if (s.col_stride == 1) {
        const __m128d zero = _mm_setzero_pd(), max = _mm_set1_pd(kMax);
        const __m128d all = _mm_cmpeq_pd(zero, zero);
        __m128d ok[4] = {all, all, all, all};
        // Four registers side by side, eight values a step: the loads keep the memory busy.
        for (; k + 8 <= s.columns; k += 8)
          for (int q = 0; q < 4; ++q) {
            const __m128d x = _mm_loadu_pd(row + k + 2 * q);
            ok[q] = _mm_and_pd(ok[q], _mm_and_pd(_mm_cmpge_pd(x, zero), _mm_cmple_pd(x, max)));
          }
        const __m128d both = _mm_and_pd(_mm_and_pd(ok[0], ok[1]), _mm_and_pd(ok[2], ok[3]));
        out[m] = _mm_movemask_pd(both) != 3;
      }
#endif
      for (; k < s.columns && !out[m]; ++k)
        out[m] = !fine(row[static_cast<std::ptrdiff_t>(k) * s.col_stride]);
    }
    return out;
  }
  // The meters lie side by side (a wide frame's rows): each column read across them.
  std::size_t m0 = 0;
#if defined(__SSE2__)
  const __m128d zero = _mm_setzero_pd(), max = _mm_set1_pd(kMax);
  struct Lanes {  // a pair of meters' flags (a vector of the bare type drops its alignment)
    __m128d v;
  };
  std::vector<Lanes> ok(s.rows / 2, Lanes{_mm_cmpeq_pd(zero, zero)});
  for (std::size_t k = 0; k < s.columns; ++k) {
    const double* column = s.data + static_cast<std::ptrdiff_t>(k) * s.col_stride;
    for (std::size_t p = 0; p < ok.size(); ++p) {
      const __m128d x = _mm_loadu_pd(column + 2 * p);
      ok[p].v = _mm_and_pd(ok[p].v, _mm_and_pd(_mm_cmpge_pd(x, zero), _mm_cmple_pd(x, max)));
    }
  }
  for (std::size_t p = 0; p < ok.size(); ++p) {
    const int bits = _mm_movemask_pd(ok[p].v);
    out[2 * p] = (bits & 1) == 0;
    out[2 * p + 1] = (bits & 2) == 0;
  }
  m0 = 2 * ok.size();
#endif
  for (std::size_t k = 0; k < s.columns; ++k) {
    const double* column = s.data + static_cast<std::ptrdiff_t>(k) * s.col_stride;
    for (std::size_t m = m0; m < s.rows; ++m) out[m] |= static_cast<std::uint8_t>(!fine(column[m]));
  }
  return out;
}

std::optional<LongGrid> long_grid(std::span<const std::int64_t> ids,
                                  std::span<const std::int64_t> times, std::span<const double> kwh,
                                  std::size_t length, std::int64_t step) {
  const std::size_t total = times.size();
  if (kwh.size() != total || (!ids.empty() && ids.size() != total))
    value_error("long readings: the meter, instant and energy columns differ in length");
  if (step <= 0) value_error("long readings: the grid's step must be positive");
  if (!ids.empty()) {
    const auto other = std::find_if(ids.begin(), ids.end(),
                                    [first = ids.front()](std::int64_t id) { return id != first; });
    length = static_cast<std::size_t>(other - ids.begin());
  }
  if (length < 2 || total % length != 0) return std::nullopt;
  const std::size_t meters = total / length;
  const std::span<const std::int64_t> grid = times.first(length);
  if (grid[0] % step != 0) return std::nullopt;
  for (std::size_t k = 1; k < length; ++k)
    if (grid[k - 1] > std::numeric_limits<std::int64_t>::max() - step ||
        grid[k] != grid[k - 1] + step)
      return std::nullopt;
  for (std::size_t m = 1; m < meters; ++m) {
    const std::size_t at = m * length;
    if (std::memcmp(grid.data(), times.data() + at, length * sizeof(std::int64_t)) != 0)
      return std::nullopt;
    if (ids.empty()) continue;
    // A run is of one id when it equals itself shifted by one.
    const std::int64_t* run = ids.data() + at;
    if (std::memcmp(run, run + 1, (length - 1) * sizeof(std::int64_t)) != 0) return std::nullopt;
  }
  const Source rows{kwh.data(), meters, length, static_cast<std::ptrdiff_t>(length), 1};
  return LongGrid{meters, length, suspects(rows)};
}

void unknown_block(std::string_view type) {
  fail(ErrorKind::NotImplemented, concat("no matrix evaluation of block ", type));
}

}  // namespace ostrel::core::fleet
