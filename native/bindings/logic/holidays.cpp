// The holiday source: which holidays the components' conditions name, their occurrences for
// the years around the request from the API client, cached for an hour under the years and
// the set of holidays (the client's raw answer is cached, so every hit is converted afresh).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "bindings/logic/logic.hpp"
#include "core/logic/windows.hpp"

namespace ostrel::bindings::logic {

namespace {

// The distinct holidays named by the components, in the order of their text values.
nb::list wanted_holidays(nb::handle components) {
  std::vector<nb::object> members;
  std::vector<std::string> values;
  for (nb::handle c : components) {
    for (nb::handle h : c.attr("collect_holidays")()) {
      members.push_back(nb::borrow(h));
      values.push_back(nb::cast<std::string>(h.attr("value")));
    }
  }
  nb::list out;
  for (std::size_t i : core::logic::distinct_sorted(values)) out.append(members[i]);
  return out;
}

std::int64_t local_year(nb::handle when, nb::handle tz) {
  return nb::cast<std::int64_t>(when.attr("astimezone")(tz).attr("year"));
}

// An answer's engine records. The last list converted is kept with its records: the same frozen
// public occurrences again (the cache hands out one answer) give equal frozen records to share.
nb::object converted(nb::handle raw) {
  nb::object cls = domain().attr("HolidayOccurrence");
  auto last = nb::borrow<nb::list>(attr("_HOLIDAYS_CONVERTED"));  // [class, records, answer...]
  bool same = PyList_CheckExact(raw.ptr()), frozen = same;
  same = same && nb::len(last) == nb::len(raw) + 2 && last[0].is(cls);
  for (std::size_t i = 0; same && i < nb::len(raw); ++i) same = raw[i].is(last[i + 2]);
  if (same) return nb::steal(PySequence_List(nb::object(last[1]).ptr()));
  nb::object out = to_domain_holidays(raw), records = nb::steal(PySequence_Tuple(out.ptr()));
  for (std::size_t i = 0; frozen && i < nb::len(raw); ++i)
    frozen = raw[i].type().is(attr("HolidayOccurrence"));
  if (!records.is_valid()) throw nb::python_error();
  last.clear();
  if (frozen) last.append(cls), last.append(records);
  for (std::size_t i = 0; frozen && i < nb::len(raw); ++i) last.append(raw[i]);
  return out;
}

}  // namespace

coro::Task fetch_holidays(nb::object client, nb::object components, nb::object start_time,
                          nb::object end_time, bool use_cache) {
  nb::list wanted = wanted_holidays(components);
  if (nb::len(wanted) == 0) co_return nb::list();
  nb::object first = components[0];
  nb::object tz = domain().attr("timezone_from_str")(first.attr("timezone"));
  const core::logic::YearWindow years =
      core::logic::holiday_years(local_year(start_time, tz), local_year(end_time, tz));
  nb::object holiday = attr("Holiday");
  nb::list holidays;
  for (nb::handle h : wanted) holidays.append(holiday(h.attr("value")));
  nb::object frozen = nb::steal(PyFrozenSet_New(holidays.ptr()));
  if (!frozen.is_valid()) throw nb::python_error();
  nb::object key = nb::make_tuple(years.start_year, years.end_year, frozen);

  nb::object cache = attr("_HOLIDAY_CACHE");
  nb::object raw = use_cache ? cache.attr("get")(key) : nb::none();
  const bool fetched = raw.is_none();
  if (fetched) {
    nb::object fetch = client.attr("list_holidays")(nb::arg("start_year") = years.start_year,
                                                    nb::arg("end_year") = years.end_year,
                                                    nb::arg("holiday") = holidays);
    raw = co_await coro::awaited(std::move(fetch));
  }
  nb::object out = converted(raw);
  // Stored once it converted, also without the cache: a fetch refreshes what later cached
  // calls see, and an answer that does not convert is never served again.
  if (fetched) cache.attr("put")(key, raw);
  co_return out;
}

}  // namespace ostrel::bindings::logic
