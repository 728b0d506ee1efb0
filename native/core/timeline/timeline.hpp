#pragma once
// A timeline's columns with everything derived from them: period ids per resolution,
// computed once and kept, and the calendar questions answered over them.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/timeline/accessors.hpp"
#include "core/timeline/conditions.hpp"
#include "core/timeline/grouping.hpp"
#include "core/timeline/periods.hpp"

namespace ostrel::core::timeline {

class Timeline {
 public:
  explicit Timeline(Calendar calendar);
  // A calendar whose instants are known to ascend (a built grid), taken without checking.
  struct Ascending {};
  Timeline(Calendar calendar, Ascending) : calendar_(std::move(calendar)), ascending_(true) {}

  const Calendar& calendar() const { return calendar_; }
  std::size_t size() const { return calendar_.size(); }

  const PeriodIndex& periods(Resolution r) const;
  const RowLocator& locator() const;

  // The mask of a condition over every row: made once per condition and holidays, as every
  // bill of the same period under the same tariff asks the same few again.
  Mask match(const TimeCondition& c, std::span<const HolidayDate> holidays) const;

  // UTC instants of the period starts, in row order.
  std::vector<std::int64_t> period_starts(Resolution r) const;

  // The value of the series at each period start, 0.0 where it has no such instant. A series
  // with a repeated instant cannot be placed and fails.
  // `unit_ns` is the length of the instants' unit in nanoseconds (1 for nanoseconds).
  Column<double> align(std::span<const std::int64_t> instants, std::int64_t unit_ns,
                       std::span<const double> values, Resolution r) const;
  Column<double> align(std::span<const std::int64_t> instants, std::span<const double> values,
                       Resolution r) const {
    return align(instants, 1, values, r);
  }

  // Whether the instants (in units of `unit_ns` nanoseconds) are exactly the period starts of
  // `r`, in row order.
  bool on_period_starts(std::span<const std::int64_t> instants, std::int64_t unit_ns,
                        Resolution r) const;

  // Rows of instants, -1 where the timeline has no such instant.
  Column<std::int64_t> rows_of(std::span<const std::int64_t> instants) const;
  // The rows of `instants`, or nothing when they are every row in order (the usual case: a
  // series aligned to the timeline). An instant off the timeline fails the assertion "index
  // must be a subset of the timeline"; with assertions off its position is left in `missing`
  // (else -1) for the caller's KeyError.
  std::optional<Column<std::int64_t>> rows_unless_grid(std::span<const std::int64_t> instants,
                                                       std::int64_t& missing) const;

  // Period id of every row, made once per resolution when first grouped by.
  const Column<std::int32_t>& group_of_rows(Resolution r) const;

  // The elements at `instants` grouped by period; instants off the timeline do not take part.
  Grouping group(std::span<const std::int64_t> instants, Resolution r) const;

  // The start of each group's period (UTC), in group order.
  std::vector<std::int64_t> group_labels(const Grouping& g, Resolution r) const;

  // Position of the first instant that is not on the timeline, or -1.
  std::int64_t first_missing(std::span<const std::int64_t> instants) const;

  // Values given per period in ascending key order, placed on the periods in row order.
  Column<double> to_period_order(std::span<const double> key_ordered, Resolution r) const;

  // The n highest / lowest values per period; true at every element whose instant was kept.
  Mask extremes(std::span<const std::int64_t> instants, std::span<const double> values,
                Resolution r, std::int64_t n, bool highest) const;

 private:
  Calendar calendar_;
  bool ascending_ = true;  // instants strictly ascend with the rows (always, for a built grid)
  mutable std::array<std::unique_ptr<PeriodIndex>, domain::kResolutionCount> periods_;
  mutable std::array<std::unique_ptr<Column<std::int32_t>>, domain::kResolutionCount> groups_;
  mutable std::unique_ptr<RowLocator> locator_;
  // Each made once, also when runs on one timeline go on at once without the host's lock.
  mutable std::array<std::once_flag, domain::kResolutionCount> periods_made_, groups_made_;
  mutable std::once_flag locator_made_;
  struct Matched {
    TimeCondition condition;
    std::vector<HolidayDate> holidays;
    Mask mask;
  };
  mutable std::vector<Matched> masks_;  // bounded: kMaxMaskBytes in all
  mutable std::mutex masks_lock_;
};

}  // namespace ostrel::core::timeline
