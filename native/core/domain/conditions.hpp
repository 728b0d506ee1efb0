#pragma once
// Rules over the tree of time conditions: the resolution a condition needs, and the holidays it
// names. The tree is the one the timeline evaluates masks from.
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/domain/units.hpp"
#include "core/timeline/conditions.hpp"

namespace ostrel::core::domain {

// The coarsest resolution at which the condition is still constant within each period: time
// of day needs hours, weekdays and holidays need days, months need months; a compound needs
// the finest of its parts.
Resolution min_condition_resolution(const timeline::TimeCondition& c);

// The holiday identifiers the condition names, through and/or/not, added to `out`.
void collect_holidays(const timeline::TimeCondition& c, std::set<std::string>& out);
// The holiday identifiers named by any of the conditions, ascending, each once.
std::vector<std::string> collect_holidays(std::span<const timeline::TimeCondition> conditions);

// TypeError "<function>() takes a time condition, got <type>".
[[noreturn]] void not_a_time_condition(std::string_view function, std::string_view type_name);

// ValueError unless a time-of-day condition's bounds differ.
void check_time_of_day_bounds(bool bounds_differ);

// TypeError "timezone must be a str, got <type>".
[[noreturn]] void timezone_type_error(std::string_view type_name);
// ValueError naming `text` and the two accepted forms.
[[noreturn]] void invalid_timezone(std::string_view text);

}  // namespace ostrel::core::domain
