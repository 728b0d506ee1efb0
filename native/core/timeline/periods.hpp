#pragma once
// Periods of a resolution on an accessor table: the rows sharing the key columns of the
// resolution. Ids are numbered in ascending key order (the order of a sorted group-by);
// period starts are the first row of each period, in row order.
#include <cstdint>
#include <span>
#include <vector>

#include "core/domain/units.hpp"
#include "core/timeline/accessors.hpp"

namespace ostrel::core::timeline {

using core::domain::Resolution;

// The key columns of each resolution, in order, as the host names them.
std::span<const char* const> key_columns(Resolution r);

struct PeriodIndex {
  std::size_t rows = 0;
  std::size_t periods = 0;
  // Runs of rows with equal keys. Empty run_start: every row is its own run.
  Column<std::int32_t> run_start;
  // Period id of each run. Empty: run j is period j (keys ascend with the rows).
  Column<std::int32_t> id_of_run;
  // First row of each period, in row order. Empty: every row starts a period.
  Column<std::int32_t> start_rows;
  // Position in start_rows of each period id. Empty: ids follow row order.
  Column<std::int32_t> start_of_group;

  std::size_t size() const { return periods; }
  std::size_t start_row(std::size_t k) const {
    return start_rows.empty() ? k : static_cast<std::size_t>(start_rows[k]);
  }
  std::size_t position_of_group(std::size_t g) const {
    return start_of_group.empty() ? g : static_cast<std::size_t>(start_of_group[g]);
  }
  bool every_row_starts() const { return start_rows.empty(); }
  // Period id of every row (made on demand: period starts do not need it).
  Column<std::int32_t> group_of_rows() const;
};

// The keys of days and coarser periods only change between the calendar's day runs.
PeriodIndex compute_periods(const Calendar& calendar, Resolution r);

// Finds the row of an instant. The grid of a built timeline is regular, which makes the
// lookup arithmetic; any other table falls back to a sorted search.
class RowLocator {
 public:
  explicit RowLocator(std::span<const std::int64_t> utc);
  // The first row holding `instant`, or -1.
  std::int64_t find(std::int64_t instant) const;
  // Rows of many instants (-1 where absent).
  Column<std::int64_t> find_all(std::span<const std::int64_t> instants) const;

  // Looks up a sequence of instants, stepping on from the previous answer while the sequence
  // follows the grid (the usual case, and no division then).
  class Cursor {
   public:
    explicit Cursor(const RowLocator& loc) : loc_(loc) {}
    std::int64_t operator()(std::int64_t instant) {
      if (row_ >= 0 && loc_.regular_ && row_ + 1 < static_cast<std::int64_t>(loc_.utc_.size()) &&
          static_cast<std::uint64_t>(instant) - static_cast<std::uint64_t>(last_) ==
              static_cast<std::uint64_t>(loc_.step_)) {
        last_ = instant;
        return ++row_;
      }
      last_ = instant;
      row_ = loc_.find(instant);
      return row_;
    }

   private:
    const RowLocator& loc_;
    std::int64_t last_ = 0, row_ = -1;
  };

 private:
  std::span<const std::int64_t> utc_;
  bool regular_ = false;
  std::int64_t start_ = 0, step_ = 1;
  std::vector<std::int64_t> sorted_rows_;  // rows ordered by (instant, row) when irregular
};

}  // namespace ostrel::core::timeline
