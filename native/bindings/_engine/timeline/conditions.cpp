// Condition records to core conditions. Dispatch is on the exact record class, so a value
// condition or any other object is refused before a mask is computed.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/errors.hpp"

namespace ostrel::bindings::engine {

namespace {

using Kind = cal::TimeCondition::Kind;

// An integer field of a condition, checked against its range before any arithmetic: a record
// made without validation may hold any integer, or something that is none.
std::int64_t bounded(nb::handle x, const char* what, std::int64_t lo, std::int64_t hi) {
  nb::object as_int = nb::steal(PyNumber_Index(x.ptr()));
  if (!as_int.is_valid()) throw nb::python_error();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
  // The integer's text only for the message: every condition is read again on every run.
  if (overflow || v < lo || v > hi)
    cal::check_condition_field(what, nb::cast<std::string>(nb::str(as_int)), false, lo, hi);
  return static_cast<std::int64_t>(v);
}

std::vector<std::int64_t> ints(nb::handle items, const char* what, std::int64_t lo,
                               std::int64_t hi) {
  std::vector<std::int64_t> out;
  for (nb::handle x : items) out.push_back(bounded(x, what, lo, hi));
  return out;
}

std::int64_t minute_of_day(nb::handle time) {
  return bounded(time.attr("hour"), "hour", 0, 23) * 60 +
         bounded(time.attr("minute"), "minute", 0, 59);
}

using Converter = cal::TimeCondition (*)(nb::handle);

struct Entry {
  const char* record;
  Converter convert;
};

constexpr Entry kDispatch[] = {
    {"MonthCondition", month_condition},
    {"DayOfWeekCondition", dow_condition},
    {"TimeOfDayCondition", tod_condition},
    {"ExcludeHolidaysCondition", exclude_holidays_condition},
};  // and/or/not are read with their path, in read()

// The leaf record classes, in the order of kDispatch.
std::array<nb::handle, std::size(kDispatch)> leaf_classes() {
  std::array<nb::handle, std::size(kDispatch)> out;
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = attr(kDispatch[k].record);
  return out;
}

// The compound records on the way from the root to the one being read, so that a tree is read
// only to a bounded depth and a record that contains itself is refused instead of followed;
// with the record classes, looked up once per tree rather than at every node.
struct Path {
  std::vector<PyObject*> records;
  nb::handle and_type = attr("AndCondition"), or_type = attr("OrCondition"),
             not_type = attr("NotCondition");
  std::array<nb::handle, std::size(kDispatch)> leaf_types = leaf_classes();
};

cal::TimeCondition read(nb::handle condition, Path& path);

cal::TimeCondition compound(nb::handle record, nb::handle items, Kind kind, Path& path) {
  cal::check_condition_nesting(
      path.records.size(),
      std::find(path.records.begin(), path.records.end(), record.ptr()) != path.records.end());
  path.records.push_back(record.ptr());
  cal::TimeCondition c;
  c.kind = kind;
  if (kind == Kind::Not) {
    c.children.push_back(read(items, path));
  } else {
    for (nb::handle sub : items) c.children.push_back(read(sub, path));
  }
  path.records.pop_back();
  return c;
}

}  // namespace

cal::TimeCondition month_condition(nb::handle c) {
  cal::TimeCondition out;
  out.kind = Kind::Month;
  out.values = ints(c.attr("months"), "month", 1, 12);
  return out;
}

cal::TimeCondition dow_condition(nb::handle c) {
  cal::TimeCondition out;
  out.kind = Kind::DayOfWeek;
  out.values = ints(c.attr("days"), "day of week", 1, 7);
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

cal::TimeCondition and_condition(nb::handle c) {
  Path path;
  return compound(c, c.attr("conditions"), Kind::And, path);
}
cal::TimeCondition or_condition(nb::handle c) {
  Path path;
  return compound(c, c.attr("conditions"), Kind::Or, path);
}
cal::TimeCondition not_condition(nb::handle c) {
  Path path;
  return compound(c, c.attr("condition"), Kind::Not, path);
}

namespace {

cal::TimeCondition read(nb::handle condition, Path& path) {
  nb::handle type = condition.type();
  if (type.is(path.and_type))
    return compound(condition, condition.attr("conditions"), Kind::And, path);
  if (type.is(path.or_type))
    return compound(condition, condition.attr("conditions"), Kind::Or, path);
  if (type.is(path.not_type))
    return compound(condition, condition.attr("condition"), Kind::Not, path);
  for (std::size_t k = 0; k < std::size(kDispatch); ++k)
    if (type.is(path.leaf_types[k])) return kDispatch[k].convert(condition);
  cal::unknown_condition(bindings::type_name(condition));
}

}  // namespace

cal::TimeCondition time_condition(nb::handle condition) {
  Path path;
  return read(condition, path);
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
