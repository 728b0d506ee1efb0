#include "core/domain/conditions.hpp"

#include <algorithm>

#include "core/common/errors.hpp"

namespace ostrel::core::domain {

using Kind = timeline::TimeCondition::Kind;

Resolution min_condition_resolution(const timeline::TimeCondition& c) {
  switch (c.kind) {
    case Kind::TimeOfDay:
      return Resolution::HOURLY;
    case Kind::DayOfWeek:
    case Kind::ExcludeHolidays:
      return Resolution::DAILY;
    case Kind::Month:
      return Resolution::MONTHLY;
    case Kind::Not:
      return min_condition_resolution(c.children.at(0));
    case Kind::And:
    case Kind::Or: {
      auto finest = Resolution::YEARLY;
      for (const auto& sub : c.children) finest = std::min(finest, min_condition_resolution(sub));
      return finest;
    }
  }
  return Resolution::YEARLY;
}

void collect_holidays(const timeline::TimeCondition& c, std::set<std::string>& out) {
  out.insert(c.holidays.begin(), c.holidays.end());
  for (const auto& sub : c.children) collect_holidays(sub, out);
}

std::vector<std::string> collect_holidays(std::span<const timeline::TimeCondition> conditions) {
  std::set<std::string> found;
  for (const auto& c : conditions) collect_holidays(c, found);
  return {found.begin(), found.end()};
}

void not_a_time_condition(std::string_view function, std::string_view type_name) {
  fail(ErrorKind::Type, concat(function, "() takes a time condition, got ", type_name));
}

void check_time_of_day_bounds(bool bounds_differ) {
  if (!bounds_differ)
    value_error("from_time and to_time must differ (use no condition for all-day)");
}

void timezone_type_error(std::string_view type_name) {
  fail(ErrorKind::Type, concat("timezone must be a str, got ", type_name));
}

void invalid_timezone(std::string_view text) {
  value_error(concat(
      "Invalid timezone '", text,
      "'. Must be either a valid IANA timezone name (e.g., 'Europe/Stockholm') or a UTC offset "
      "(e.g., 'UTC+01:00')."));
}

}  // namespace ostrel::core::domain
