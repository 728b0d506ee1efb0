// The Timeline class: period indexes, alignment, grouping and condition masks.
#include "bindings/_engine/timeline/timeline.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "bindings/_engine/engine.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::engine {

nb::object Timeline::accessors_frame() {
  if (!accessors.is_valid())
    accessors = engine::accessors_frame(cal::accessors_of(core->calendar()));
  return accessors;
}

const std::vector<cal::HolidayDate>& Timeline::holiday_list() {
  if (!holiday_dates)
    holiday_dates = std::make_shared<std::vector<cal::HolidayDate>>(holiday_dates_of(holidays));
  return *holiday_dates;
}

nb::object Timeline::get_as(nb::handle resolution) {
  const cal::Resolution r = resolution_key(resolution);
  nb::object key = resolution_member(r);
  if (PyObject* hit = PyDict_GetItemWithError(period_index_cache.ptr(), key.ptr()))
    return nb::borrow(hit);
  if (PyErr_Occurred()) throw nb::python_error();
  nb::object index;
  if (core->periods(r).every_row_starts()) {
    // Every row starts a period: the index views the timeline's own instants, no copy.
    auto* owner = new std::shared_ptr<const cal::Timeline>(core);
    nb::capsule keep(owner, [](void* p) noexcept {
      delete static_cast<std::shared_ptr<const cal::Timeline>*>(p);
    });
    index = convert::utc_index_view(core->calendar().utc.data(), core->size(), keep);
  } else {
    index = convert::utc_index(core->period_starts(r));
  }
  period_index_cache[key] = index;
  return index;
}

nb::object align_dataset(Timeline& t, nb::handle series, nb::handle resolution, nb::handle name) {
  const cal::Resolution r = resolution_key(resolution);
  nb::object index = t.get_as(resolution);
  // Left in its own unit: the core compares it with the period starts without a scaled copy.
  const InstantsView instants = instants_view(series.attr("index"), /*to_ns=*/false);
  const ValuesView values = values_view(series);
  return convert::series(t.core->align(instants.raw, instants.unit_ns, values.values, r), index,
                         name);
}

void missing_instant(std::int64_t ns) {
  raise_key_error(host::timestamp_type()(ns, nb::arg("tz") = "UTC"));
}

namespace {

// Reduces per period with the caller's function, then places each value on the start of its
// own period: the reduction comes in ascending key order, the result in timeline order.
nb::object group_by(Timeline& t, nb::handle series, nb::handle resolution, nb::handle agg_func) {
  const cal::Resolution r = resolution_key(resolution);
  nb::object reduced = agg_func(group_values(t, series, r));
  const ValuesView values = values_view(reduced);
  nb::object index = t.get_as(resolution);
  return convert::series(t.core->to_period_order(values.values, r), index,
                         nb::getattr(reduced, "name", nb::none()));
}

nb::object get_condition_mask(Timeline& t, nb::handle index, nb::handle condition) {
  const InstantsView instants = instants_view(index);
  std::int64_t missing = -1;
  const auto rows = t.core->rows_unless_grid(instants.ns, missing);
  if (missing >= 0) missing_instant(instants.ns[static_cast<std::size_t>(missing)]);
  const cal::TimeCondition c = time_condition(condition);
  if (!rows) return mask_array(t.core->match(c, t.holiday_list()));
  return mask_array(cal::match_rows(t.core->calendar(), *rows, c, t.holiday_list()));
}

nb::object build_condition_mask(Timeline& t, nb::handle series, nb::handle condition) {
  const bool highest = is_instance(condition, "HighestCondition");
  if (!highest && !is_instance(condition, "LowestCondition"))
    return get_condition_mask(t, series.attr("index"), condition);
  const cal::Resolution r = resolution_key(condition.attr("resolution"));
  const auto n = nb::cast<std::int64_t>(condition.attr("n"));
  const InstantsView instants = instants_view(series.attr("index"));
  const ValuesView values = values_view(series);
  cal::check_series_lengths(values.values.size(), instants.ns.size());
  return mask_array(t.core->extremes(instants.ns, values.values, r, n, highest));
}

template <cal::TimeCondition (*Convert)(nb::handle)>
nb::object match_with(Timeline& t, nb::handle c) {
  return mask_array(t.core->match(Convert(c), t.holiday_list()));
}

}  // namespace

void init_timeline_class(nb::module_& m) {
  nb::class_<Timeline>(m, "Timeline",
                       "The quarter-hourly UTC grid of one evaluation with its local calendar.")
      .def(
          "__init__",
          [](Timeline* self, nb::handle frame, nb::handle holidays) {
            auto table = cal::calendar_of(accessors_from_frame(frame));
            new (self) Timeline{std::make_shared<const cal::Timeline>(std::move(table)),
                                nb::borrow(holidays), nb::borrow(frame), nb::dict(), nullptr};
          },
          nb::arg("_accessors").none(), nb::arg("holidays").none())
      .def_static("build", &build,
                  nb::sig("def build(*, tz: datetime.tzinfo, start_time: datetime.datetime, "
                          "end_time: datetime.datetime, "
                          "holidays: collections.abc.Sequence[HolidayOccurrence]) -> Timeline"),
                  "build(*, tz, start_time, end_time, holidays): the grid from start_time "
                  "(inclusive) to end_time (exclusive) with its accessors in tz.")
      .def_static(
          "calculate_accessors",
          [](nb::handle timeseries, nb::handle local_tz) {
            // The table is indexed by the same instants in UTC nanoseconds, like a built grid.
            nb::object index = host::datetime_index_type()(timeseries)
                                   .attr("tz_convert")("UTC")
                                   .attr("as_unit")("ns");
            const std::vector<std::int64_t> ns = convert::instants_ns(index);
            cal::require_no_missing(ns, "timeseries");
            return accessors_frame(accessors_of(ns, local_tz), index);
          },
          nb::arg("timeseries").none(), nb::arg("local_tz").none(),
          "The accessor table of a UTC-aware instant index in the zone local_tz.")
      .def_prop_ro("holidays", [](const Timeline& t) { return t.holidays; })
      .def_prop_ro("_period_index_cache", [](const Timeline& t) { return t.period_index_cache; })
      .def_prop_ro("_accessors", &Timeline::accessors_frame)
      .def("get_as", &Timeline::get_as, nb::arg("resolution").none(),
           "The first grid instant of every period of the resolution, in timeline order.")
      .def(
          "align_dataset",
          [](Timeline& t, nb::handle series, nb::handle resolution) {
            return align_dataset(t, series, resolution, nb::getattr(series, "name", nb::none()));
          },
          nb::arg("series").none(), nb::arg("resolution").none(),
          "The series' values at the period starts, 0.0 where it has none.")
      .def(
          "group_index",
          [](const Timeline& t, nb::handle index, nb::handle resolution) {
            return group_index(t, index, resolution_key(resolution));
          },
          nb::arg("index").none(), nb::arg("resolution").none())
      .def(
          "group_values",
          [](const Timeline& t, nb::handle series, nb::handle resolution) {
            return group_values(t, series, resolution_key(resolution));
          },
          nb::arg("series").none(), nb::arg("resolution").none())
      .def("group_by", &group_by, nb::arg("series").none(), nb::arg("resolution").none(),
           nb::arg("agg_func").none(),
           "One value per period: agg_func of the grouped values, labelled by period start.")
      .def("build_condition_mask", &build_condition_mask, nb::arg("series").none(),
           nb::arg("condition").none())
      .def("get_condition_mask", &get_condition_mask, nb::arg("index").none(),
           nb::arg("condition").none())
      .def("match_time_condition", &match_with<time_condition>, nb::arg("condition").none())
      .def("_match_month", &match_with<month_condition>, nb::arg("c").none())
      .def("_match_dow", &match_with<dow_condition>, nb::arg("c").none())
      .def("_match_tod", &match_with<tod_condition>, nb::arg("c").none())
      .def("_match_exclude_holidays", &match_with<exclude_holidays_condition>, nb::arg("c").none())
      .def("_match_and", &match_with<and_condition>, nb::arg("c").none())
      .def("_match_or", &match_with<or_condition>, nb::arg("c").none())
      .def("_match_not", &match_with<not_condition>, nb::arg("c").none());
}

}  // namespace ostrel::bindings::engine
