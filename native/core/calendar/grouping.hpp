#pragma once
// Elements of a series grouped by the periods of a timeline, and the per-period reductions
// and value selections over them.
#include <cstdint>
#include <span>
#include <vector>

#include "core/calendar/periods.hpp"

namespace ostrel::core::calendar {

using Mask = std::vector<std::uint8_t>;  // one 0/1 byte per element, viewable as numpy bool

struct Grouping {
  std::vector<std::int64_t> positions;       // input positions that take part, in input order
  std::vector<std::int64_t> group;           // per taking part: group number, ascending key
  std::vector<std::int64_t> period_of_group; // per group: its period id on the timeline
  std::vector<std::int64_t> first_position;  // per group: input position of its first element
  std::size_t size() const { return period_of_group.size(); }
};

// Groups the elements whose row is known (rows[i] >= 0); the others do not take part.
Grouping group_rows(const PeriodIndex& periods, std::span<const std::int64_t> rows);

// Reductions per group over values[positions[k]], skipping NaN like the host's grouped
// reductions: a sum with fewer than min_count values is NaN (0.0 for an empty sum otherwise).
std::vector<double> group_sum(const Grouping& g, std::span<const double> values, std::int64_t min_count);
std::vector<double> group_mean(const Grouping& g, std::span<const double> values);
std::vector<double> group_max(const Grouping& g, std::span<const double> values);
std::vector<double> group_min(const Grouping& g, std::span<const double> values);
std::vector<std::int64_t> group_count(const Grouping& g, std::span<const double> values);
std::vector<std::int64_t> group_size(const Grouping& g);

// Per group, the n largest (highest) or smallest values; ties go to the earlier position and
// NaN is never kept. Returns one flag per taking-part element.
Mask select_extremes(const Grouping& g, std::span<const double> values, std::int64_t n, bool highest);

}  // namespace ostrel::core::calendar
