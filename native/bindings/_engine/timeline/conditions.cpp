// Condition records to core conditions. Dispatch is on the exact record class, so a value
// condition or any other object is refused before a mask is computed.
#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/errors.hpp"

namespace ostrel::bindings::engine {

namespace {

using Kind = cal::TimeCondition::Kind;

std::vector<std::int64_t> ints(nb::handle items) {
  std::vector<std::int64_t> out;
  for (nb::handle x : items) out.push_back(nb::cast<std::int64_t>(nb::int_(x)));
  return out;
}

std::int64_t minute_of_day(nb::handle time) {
  return nb::cast<std::int64_t>(time.attr("hour")) * 60 +
         nb::cast<std::int64_t>(time.attr("minute"));
}

cal::TimeCondition compound(nb::handle items, Kind kind) {
  cal::TimeCondition c;
  c.kind = kind;
  for (nb::handle sub : items) c.children.push_back(time_condition(sub));
  return c;
}

using Converter = cal::TimeCondition (*)(nb::handle);

struct Entry {
  const char* record;
  Converter convert;
};

constexpr Entry kDispatch[] = {
    {"MonthCondition", month_condition},   {"DayOfWeekCondition", dow_condition},
    {"TimeOfDayCondition", tod_condition}, {"ExcludeHolidaysCondition", exclude_holidays_condition},
    {"AndCondition", and_condition},       {"OrCondition", or_condition},
    {"NotCondition", not_condition},
};

}  // namespace

cal::TimeCondition month_condition(nb::handle c) {
  cal::TimeCondition out;
  out.kind = Kind::Month;
  out.values = ints(c.attr("months"));
  return out;
}

cal::TimeCondition dow_condition(nb::handle c) {
  cal::TimeCondition out;
  out.kind = Kind::DayOfWeek;
  out.values = ints(c.attr("days"));
  return out;
}

cal::TimeCondition tod_condition(nb::handle c) {
  cal::TimeCondition out;
  out.kind = Kind::TimeOfDay;
  // Seconds and fractions of the bounds do not count: masks resolve to the minute.
  out.from_minute = minute_of_day(c.attr("from_time"));
  out.to_minute = minute_of_day(c.attr("to_time"));
  return out;
}

cal::TimeCondition exclude_holidays_condition(nb::handle c) {
  cal::TimeCondition out;
  out.kind = Kind::ExcludeHolidays;
  for (nb::handle h : c.attr("holidays")) out.holidays.push_back(text_of(h));
  return out;
}

cal::TimeCondition and_condition(nb::handle c) { return compound(c.attr("conditions"), Kind::And); }
cal::TimeCondition or_condition(nb::handle c) { return compound(c.attr("conditions"), Kind::Or); }

cal::TimeCondition not_condition(nb::handle c) {
  cal::TimeCondition out;
  out.kind = Kind::Not;
  out.children.push_back(time_condition(c.attr("condition")));
  return out;
}

cal::TimeCondition time_condition(nb::handle condition) {
  nb::handle type = condition.type();
  nb::module_ m = module();
  for (const Entry& e : kDispatch) {
    nb::object record = nb::getattr(m, e.record, nb::none());
    if (type.is(record)) return e.convert(condition);
  }
  raise_not_implemented("Unknown time condition type: " + bindings::type_name(condition));
}

std::vector<cal::HolidayDate> holiday_dates_of(nb::handle occurrences) {
  std::vector<cal::HolidayDate> out;
  constexpr std::int64_t kOrdinalOfEpoch = 719163;  // date(1970, 1, 1).toordinal()
  for (nb::handle occ : occurrences) {
    const std::int64_t ordinal = nb::cast<std::int64_t>(occ.attr("date").attr("toordinal")());
    out.push_back({ordinal - kOrdinalOfEpoch, text_of(occ.attr("holiday"))});
  }
  return out;
}

}  // namespace ostrel::bindings::engine
