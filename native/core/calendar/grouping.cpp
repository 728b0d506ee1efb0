#include "core/calendar/grouping.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ostrel::core::calendar {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Compensated per-group sums and counts of the non-missing values.
struct Sums {
  std::vector<double> sum, comp;
  std::vector<std::int64_t> count;
};

Sums sums_of(const Grouping& g, std::span<const double> values) {
  Sums s{std::vector<double>(g.size(), 0.0), std::vector<double>(g.size(), 0.0),
         std::vector<std::int64_t>(g.size(), 0)};
  for (std::size_t k = 0; k < g.members(); ++k) {
    const double v = values[g.position(k)];
    if (std::isnan(v)) continue;
    const auto j = static_cast<std::size_t>(g.group[k]);
    const double y = v - s.comp[j];
    const double t = s.sum[j] + y;
    s.comp[j] = (t - s.sum[j]) - y;
    s.sum[j] = t;
    ++s.count[j];
  }
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

Mask select_extremes(const Grouping& g, std::span<const double> values, std::int64_t n,
                     bool highest) {
  const std::size_t m = g.members();
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
  const auto want = static_cast<std::size_t>(std::max<std::int64_t>(n, 0));
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

}  // namespace ostrel::core::calendar
