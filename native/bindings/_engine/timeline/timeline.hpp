#pragma once
// The host's view of a timeline: the core columns and period ids, the holiday sequence it was
// given, the accessor DataFrame (made on first access) and the period-start index cache.
#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/datetimes.hpp"
#include "core/timeline/timeline.hpp"

namespace ostrel::bindings::engine {
namespace nb = nanobind;
namespace cal = core::timeline;
using convert::instant_ns;
using convert::instants_view;
using convert::InstantsView;
using convert::mask_array;
using convert::values_view;
using convert::ValuesView;

struct Timeline {
  std::shared_ptr<const cal::Timeline> core;
  nb::object holidays;
  nb::object accessors;  // the DataFrame, or an invalid object until first asked for
  nb::dict period_index_cache;
  std::shared_ptr<std::vector<cal::HolidayDate>> holiday_dates;  // read on first use

  nb::object accessors_frame();
  const std::vector<cal::HolidayDate>& holiday_list();
  nb::object get_as(nb::handle resolution);
};

// Timeline.align_dataset, naming the result `name` (the series' own name for the method).
nb::object align_dataset(Timeline& t, nb::handle series, nb::handle resolution, nb::handle name);

// The resolution named by `value` (a member or its string value); the host's KeyError for any
// other value, as a lookup in _RESOLUTION_ACCESSORS gives.
cal::Resolution resolution_key(nb::handle value);

// The offsets of a host zone over the UTC instants [first, last] (a fixed-offset zone is read
// once; any other tzinfo is asked through fromutc where the core's search needs it).
cal::Offsets zone_offsets(nb::handle tz, std::int64_t first, std::int64_t last);
// The offset of the zone at each instant, asked once per instant (for instants sparser than
// days, where sampling every day would ask more).
std::vector<std::int64_t> zone_offsets_at(nb::handle tz, std::span<const std::int64_t> utc);
// The calendar of the quarter-hour grid [start, end) in a zone.
cal::Calendar grid_calendar(nb::handle tz, std::int64_t start, std::int64_t end);
// Accessor columns of UTC instants in a zone.
cal::Accessors accessors_of(std::span<const std::int64_t> utc, nb::handle tz);
// The accessor DataFrame of core columns, and its inverse.
nb::object accessors_frame(const cal::Accessors& table, nb::handle index = nb::handle());
cal::Accessors accessors_from_frame(nb::handle frame);

// Condition records to core conditions, dispatched on the exact record class.
cal::TimeCondition time_condition(nb::handle condition);
cal::TimeCondition month_condition(nb::handle c);
cal::TimeCondition dow_condition(nb::handle c);
cal::TimeCondition tod_condition(nb::handle c);
cal::TimeCondition exclude_holidays_condition(nb::handle c);
cal::TimeCondition and_condition(nb::handle c);
cal::TimeCondition or_condition(nb::handle c);
cal::TimeCondition not_condition(nb::handle c);
std::vector<cal::HolidayDate> holiday_dates_of(nb::handle occurrences);

void init_grouped(nb::module_& m);
void init_timeline_class(nb::module_& m);
void init_build(nb::module_& m);

// The grouped-values objects handed to reductions.
// KeyError of the instant (UTC nanoseconds) that is not on a timeline.
[[noreturn]] void missing_instant(std::int64_t ns);
nb::object group_index(const Timeline& t, nb::handle index, cal::Resolution r);
nb::object group_values(const Timeline& t, nb::handle series, cal::Resolution r);

}  // namespace ostrel::bindings::engine

namespace ostrel::bindings::engine {
// Timeline.build(*, tz, start_time, end_time, holidays) and build_timeline(...).
nb::object build(nb::args args, nb::kwargs kwargs);
nb::object build_timeline(nb::args args, nb::kwargs kwargs);
}  // namespace ostrel::bindings::engine
