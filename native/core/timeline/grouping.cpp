#include "core/timeline/grouping.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/common/errors.hpp"

namespace ostrel::core::timeline {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Per-group sums and counts of the non-missing values. Members of one group mostly come in
// runs (a period's rows are consecutive), so each run is summed on its own with four
// independent accumulators, which keeps the error small without a serial compensated loop.
struct Sums {
  std::vector<double> sum;
  std::vector<std::int64_t> count;
};

template <typename ValueAt>
void add_run(std::size_t a, std::size_t b, ValueAt value, double& sum, std::int64_t& count) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  std::int64_t c[4] = {0, 0, 0, 0};
  std::size_t k = a;
  for (; k + 4 <= b; k += 4) {
    for (int l = 0; l < 4; ++l) {
      const double v = value(k + static_cast<std::size_t>(l));
      const bool present = v == v;  // false for NaN
      s[l] += present ? v : 0.0;
      c[l] += present;
    }
  }
  for (; k < b; ++k) {
    const double v = value(k);
    const bool present = v == v;
    s[0] += present ? v : 0.0;
    c[0] += present;
  }
  sum += (s[0] + s[1]) + (s[2] + s[3]);
  count += (c[0] + c[1]) + (c[2] + c[3]);
}

Sums sums_of(const Grouping& g, std::span<const double> values) {
  Sums s{std::vector<double>(g.size(), 0.0), std::vector<std::int64_t>(g.size(), 0)};
  const std::size_t m = g.members();
  auto each_run = [&](auto value) {
    for (std::size_t a = 0; a < m;) {
      std::size_t b = a + 1;
      while (b < m && g.group[b] == g.group[a]) ++b;
      const auto j = static_cast<std::size_t>(g.group[a]);
      add_run(a, b, value, s.sum[j], s.count[j]);
      a = b;
    }
  };
  if (g.positions.empty())
    each_run([&](std::size_t k) { return values[k]; });
  else
    each_run([&](std::size_t k) { return values[static_cast<std::size_t>(g.positions[k])]; });
  return s;
}

template <typename Better>
std::vector<double> extremum(const Grouping& g, std::span<const double> values, Better better) {
  std::vector<double> out(g.size(), kNaN);
  for (std::size_t k = 0; k < g.members(); ++k) {
    const double v = values[g.position(k)];
    if (std::isnan(v)) continue;
    double& o = out[static_cast<std::size_t>(g.group[k])];
    if (std::isnan(o) || better(v, o)) o = v;
  }
  return out;
}
}  // namespace

std::vector<double> group_sum(const Grouping& g, std::span<const double> values,
                              std::int64_t min_count) {
  Sums s = sums_of(g, values);
  for (std::size_t j = 0; j < g.size(); ++j)
    if (s.count[j] < min_count) s.sum[j] = kNaN;
  return s.sum;
}

std::vector<double> group_mean(const Grouping& g, std::span<const double> values) {
  Sums s = sums_of(g, values);
  for (std::size_t j = 0; j < g.size(); ++j)
    s.sum[j] = s.count[j] > 0 ? s.sum[j] / static_cast<double>(s.count[j]) : kNaN;
  return s.sum;
}

std::vector<double> group_max(const Grouping& g, std::span<const double> values) {
  return extremum(g, values, [](double a, double b) { return a > b; });
}

std::vector<double> group_min(const Grouping& g, std::span<const double> values) {
  return extremum(g, values, [](double a, double b) { return a < b; });
}

std::vector<std::int64_t> group_count(const Grouping& g, std::span<const double> values) {
  std::vector<std::int64_t> out(g.size(), 0);
  for (std::size_t k = 0; k < g.members(); ++k)
    if (!std::isnan(values[g.position(k)])) ++out[static_cast<std::size_t>(g.group[k])];
  return out;
}

std::vector<std::int64_t> group_size(const Grouping& g) {
  std::vector<std::int64_t> out(g.size(), 0);
  for (std::int32_t j : g.group) ++out[static_cast<std::size_t>(j)];
  return out;
}

Reduction reduction_of(std::string_view name) {
  constexpr std::pair<std::string_view, Reduction> kNames[] = {
      {"sum", Reduction::Sum}, {"mean", Reduction::Mean},   {"max", Reduction::Max},
      {"min", Reduction::Min}, {"count", Reduction::Count}, {"size", Reduction::Size}};
  for (const auto& [n, r] : kNames)
    if (n == name) return r;
  value_error(concat("unknown reduction '", name, "'"));
}

Reduced reduce(const Grouping& g, std::span<const double> values, Reduction r,
               std::int64_t min_count) {
  Reduced out;
  out.counted = r == Reduction::Count || r == Reduction::Size;
  switch (r) {
    case Reduction::Sum:
      out.values = group_sum(g, values, min_count);
      break;
    case Reduction::Mean:
      out.values = group_mean(g, values);
      break;
    case Reduction::Max:
      out.values = group_max(g, values);
      break;
    case Reduction::Min:
      out.values = group_min(g, values);
      break;
    case Reduction::Count:
      out.counts = group_count(g, values);
      break;
    case Reduction::Size:
      out.counts = group_size(g);
      break;
  }
  return out;
}

namespace {

constexpr std::size_t kSmallSelection = 8;

// The few best of each group in one pass: each group keeps its best so far, best first. The
// order is the one of the general path (by value, then the earlier element), a strict order,
// so both keep the same elements. A later element displaces a kept one only when its value
// is strictly better.
Mask select_few(const Grouping& g, std::span<const double> values, std::size_t want, bool highest) {
  const std::size_t m = g.members();
  Mask keep(m, 0);
  if (want == 0) return keep;
  std::vector<std::size_t> best(g.size() * want);
  std::vector<double> best_value(g.size() * want);
  std::vector<std::size_t> kept(g.size(), 0);
  for (std::size_t k = 0; k < m; ++k) {
    const double v = values[g.position(k)];
    if (std::isnan(v)) continue;
    const auto j = static_cast<std::size_t>(g.group[k]);
    std::size_t* slots = best.data() + j * want;
    double* slot_values = best_value.data() + j * want;
    std::size_t& size = kept[j];
    std::size_t at = size;
    while (at > 0 && (highest ? v > slot_values[at - 1] : v < slot_values[at - 1])) --at;
    if (at >= want) continue;
    const std::size_t end = std::min(size, want - 1);
    for (std::size_t q = end; q > at; --q) {
      slots[q] = slots[q - 1];
      slot_values[q] = slot_values[q - 1];
    }
    slots[at] = k;
    slot_values[at] = v;
    if (size < want) ++size;
  }
  for (std::size_t j = 0; j < g.size(); ++j)
    for (std::size_t q = 0; q < kept[j]; ++q) keep[best[j * want + q]] = 1;
  return keep;
}

}  // namespace

Mask select_extremes(const Grouping& g, std::span<const double> values, std::int64_t n,
                     bool highest) {
  const std::size_t m = g.members();
  const auto want = static_cast<std::size_t>(std::max<std::int64_t>(n, 0));
  if (want <= kSmallSelection) return select_few(g, values, want, highest);
  Mask keep(m, 0);
  // Bucket the non-missing elements by group, keeping input order within each bucket.
  std::vector<std::size_t> offset(g.size() + 1, 0);
  for (std::size_t k = 0; k < m; ++k)
    if (!std::isnan(values[g.position(k)])) ++offset[static_cast<std::size_t>(g.group[k]) + 1];
  for (std::size_t j = 0; j < g.size(); ++j) offset[j + 1] += offset[j];
  std::vector<std::size_t> bucket(offset.back());
  std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
  for (std::size_t k = 0; k < m; ++k)
    if (!std::isnan(values[g.position(k)]))
      bucket[fill[static_cast<std::size_t>(g.group[k])]++] = k;

  auto value = [&](std::size_t k) { return values[g.position(k)]; };
  auto before = [&](std::size_t a, std::size_t b) {
    const double va = value(a), vb = value(b);
    if (va != vb) return highest ? va > vb : va < vb;
    return a < b;  // members are in input order
  };
  for (std::size_t j = 0; j < g.size(); ++j) {
    auto first = bucket.begin() + static_cast<std::ptrdiff_t>(offset[j]);
    auto last = bucket.begin() + static_cast<std::ptrdiff_t>(offset[j + 1]);
    if (static_cast<std::size_t>(last - first) > want) {
      std::nth_element(first, first + static_cast<std::ptrdiff_t>(want), last, before);
      last = first + static_cast<std::ptrdiff_t>(want);
    }
    for (auto it = first; it != last; ++it) keep[*it] = 1;
  }
  return keep;
}

}  // namespace ostrel::core::timeline
