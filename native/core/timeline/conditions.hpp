#pragma once
// Calendar conditions evaluated over the rows of an accessor table, in local time.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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
  bool operator==(const TimeCondition&) const = default;
};

// Condition trees are walked recursively; a tree deeper than this is refused where it is read,
// far above any real tariff and far below what the stack holds.
inline constexpr std::size_t kMaxConditionDepth = 256;

// Called before reading a compound condition's children at `depth` (the root is depth 0):
// "conditions nested deeper than 256 levels" beyond the limit, "condition contains itself" when
// `repeated` (the node is already on the path from the root).
void check_condition_nesting(std::size_t depth, bool repeated);

// NotImplementedError "Unknown time condition type: <type>" for an object that is none of the
// time condition records.
[[noreturn]] void unknown_condition(std::string_view type_name);

// ValueError "<what> <value> is out of range <lo>..<hi>" for a condition field that validation
// would have refused (records made without validation reach the engine too); `value` is the
// caller's integer as written, which may not fit 64 bits.
void check_condition_field(const char* what, std::string_view value, bool in_range, std::int64_t lo,
                           std::int64_t hi);

struct HolidayDate {
  std::int64_t date;  // local date, days since 1970-01-01
  std::string holiday;
  bool operator==(const HolidayDate&) const = default;
};

// The mask of `c` over every row of `calendar`, or over the rows `rows` of it, in that order.
Mask match(const Calendar& calendar, const TimeCondition& c, std::span<const HolidayDate> holidays);
Mask match_rows(const Calendar& calendar, std::span<const std::int64_t> rows,
                const TimeCondition& c, std::span<const HolidayDate> holidays);

}  // namespace ostrel::core::timeline
