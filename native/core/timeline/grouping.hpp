#pragma once
// Elements of a series grouped by the periods of a timeline, and the per-period reductions
// and value selections over them.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/timeline/periods.hpp"

namespace ostrel::core::timeline {

using Mask = Column<std::uint8_t>;  // one 0/1 byte per element, viewable as numpy bool

struct Grouping {
  std::vector<std::int64_t> positions;        // input positions taking part, in input order;
                                              // empty when every element takes part
  Column<std::int32_t> group;                 // per element taking part: its group number,
                                              // groups numbered in ascending key order
  std::vector<std::int32_t> period_of_group;  // per group: its period id on the timeline
  std::vector<std::int64_t> first_position;   // per group: input position of its first element
  std::size_t size() const { return period_of_group.size(); }
  std::size_t members() const { return group.size(); }
  std::size_t position(std::size_t k) const {
    return positions.empty() ? k : static_cast<std::size_t>(positions[k]);
  }
};

// Groups elements by the period of their row; `row_of(i)` gives element i's row or -1, and
// elements without a row do not take part. group_of_row holds the period id of every row
// of the timeline, of n_periods periods.
template <typename RowOf>
Grouping group_elements(std::size_t n, RowOf row_of, std::span<const std::int32_t> group_of_row,
                        std::size_t n_periods) {
  Grouping g;
  g.group.resize(n);
  std::vector<std::int32_t> compact(n_periods, -1);
  std::size_t missing = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t row = row_of(i);
    if (row < 0) {
      g.group[i] = -1;
      ++missing;
      continue;
    }
    const std::int32_t p = group_of_row[static_cast<std::size_t>(row)];
    g.group[i] = p;
    compact[static_cast<std::size_t>(p)] = 0;
  }
  // Number the observed periods in ascending key order (period ids already are).
  for (std::size_t p = 0; p < n_periods; ++p) {
    if (compact[p] < 0) continue;
    compact[p] = static_cast<std::int32_t>(g.period_of_group.size());
    g.period_of_group.push_back(static_cast<std::int32_t>(p));
  }
  g.first_position.assign(g.period_of_group.size(), -1);
  if (missing) g.positions.reserve(n - missing);
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (g.group[i] < 0) continue;
    const std::int32_t j = compact[static_cast<std::size_t>(g.group[i])];
    g.group[k++] = j;
    if (missing) g.positions.push_back(static_cast<std::int64_t>(i));
    auto& first = g.first_position[static_cast<std::size_t>(j)];
    if (first < 0) first = static_cast<std::int64_t>(i);
  }
  g.group.resize(k);
  return g;
}

// Reductions per group over values[positions[k]], skipping NaN like the host's grouped
// reductions: a sum with fewer than min_count values is NaN (0.0 for an empty sum otherwise).
std::vector<double> group_sum(const Grouping& g, std::span<const double> values,
                              std::int64_t min_count);
std::vector<double> group_mean(const Grouping& g, std::span<const double> values);
std::vector<double> group_max(const Grouping& g, std::span<const double> values);
std::vector<double> group_min(const Grouping& g, std::span<const double> values);
std::vector<std::int64_t> group_count(const Grouping& g, std::span<const double> values);
std::vector<std::int64_t> group_size(const Grouping& g);

// A reduction named as the host's grouped series names it; ValueError "unknown reduction
// '<name>'" for any other name.
enum class Reduction { Sum, Mean, Max, Min, Count, Size };
Reduction reduction_of(std::string_view name);

// One reduction of grouped values: floats, or counts for Count and Size.
struct Reduced {
  std::vector<double> values;
  std::vector<std::int64_t> counts;
  bool counted = false;
};
Reduced reduce(const Grouping& g, std::span<const double> values, Reduction r,
               std::int64_t min_count = 0);

// Per group, the n largest (highest) or smallest values; ties go to the earlier position and
// NaN is never kept. Returns one flag per taking-part element.
Mask select_extremes(const Grouping& g, std::span<const double> values, std::int64_t n,
                     bool highest);

}  // namespace ostrel::core::timeline
