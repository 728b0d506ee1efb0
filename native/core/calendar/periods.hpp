#pragma once
// Periods of a resolution on an accessor table: the rows sharing the key columns of the
// resolution. Ids are numbered in ascending key order (the order of a sorted group-by);
// period starts are the first row of each period, in row order.
#include <cstdint>
#include <span>
#include <vector>

#include "core/calendar/accessors.hpp"
#include "core/domain/units.hpp"

namespace ostrel::core::calendar {

using core::domain::Resolution;

// The key columns of each resolution, in order, as the host names them.
std::span<const char* const> key_columns(Resolution r);

struct PeriodIndex {
  std::vector<std::int64_t> group_of_row;    // per row: its period id (ascending key order)
  std::vector<std::int64_t> start_rows;      // per period in row order: its first row
  std::vector<std::int64_t> start_of_group;  // per period id: position in start_rows
  std::size_t size() const { return start_rows.size(); }
};

PeriodIndex compute_periods(const Accessors& table, Resolution r);

// Finds the row of an instant. The grid of a built timeline is regular, which makes the
// lookup arithmetic; any other table falls back to a sorted search.
class RowLocator {
 public:
  explicit RowLocator(std::span<const std::int64_t> utc);
  // The first row holding `instant`, or -1.
  std::int64_t find(std::int64_t instant) const;
  // Rows of many instants (-1 where absent).
  std::vector<std::int64_t> find_all(std::span<const std::int64_t> instants) const;

 private:
  std::span<const std::int64_t> utc_;
  bool regular_ = false;
  std::int64_t start_ = 0, step_ = 1;
  std::vector<std::int64_t> sorted_rows_;  // rows ordered by (instant, row) when irregular
};

}  // namespace ostrel::core::calendar
