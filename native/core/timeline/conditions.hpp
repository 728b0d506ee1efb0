#pragma once
// Calendar conditions evaluated over the rows of an accessor table, in local time.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/timeline/accessors.hpp"
#include "core/timeline/grouping.hpp"

namespace ostrel::core::timeline {

struct TimeCondition {
  enum class Kind { Month, DayOfWeek, TimeOfDay, ExcludeHolidays, And, Or, Not };
  Kind kind = Kind::Month;
  std::vector<std::int64_t> values;  // months or ISO weekdays
  std::int64_t from_minute = 0;      // time of day, minutes after local midnight
  std::int64_t to_minute = 0;
  std::vector<std::string> holidays;    // holiday identifiers to exclude
  std::vector<TimeCondition> children;  // and/or: all; not: one
};

struct HolidayDate {
  std::int64_t date;  // local date, days since 1970-01-01
  std::string holiday;
};

// The mask of `c` over every row of `calendar`, or over the rows `rows` of it, in that order.
Mask match(const Calendar& calendar, const TimeCondition& c, std::span<const HolidayDate> holidays);
Mask match_rows(const Calendar& calendar, std::span<const std::int64_t> rows,
                const TimeCondition& c, std::span<const HolidayDate> holidays);

}  // namespace ostrel::core::timeline
