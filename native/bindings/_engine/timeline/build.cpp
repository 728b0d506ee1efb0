// Building a timeline: the window from the components and inputs, the grid, the accessors.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/datetimes.hpp"
#include "bindings/common/host.hpp"
#include "core/common/errors.hpp"
#include "core/common/text.hpp"
#include "core/timeline/civil.hpp"
#include "core/timeline/timezone.hpp"
#include "core/timeline/window.hpp"

namespace ostrel::bindings::engine {

namespace {

// The core of the timeline built last: a timeline of the same zone and window (each component
// of one evaluation builds its own, and a caller pricing one period again and again asks the
// same) shares its calendar, period ids and condition masks, which nothing can change. A grid
// of up to two years is kept between calls; a longer one only while some timeline holds it.
// The zone is held so that its identity stays valid.
struct LastBuilt {
  PyObject* zone = nullptr;
  std::int64_t start = 0, end = 0;
  std::weak_ptr<const cal::Timeline> core;
  std::shared_ptr<const cal::Timeline> kept;
};

constexpr std::size_t kMaxKeptRows = 2 * 366 * 96;

LastBuilt& last_built() {
  static LastBuilt* last = new LastBuilt();  // never destroyed: the host may be gone by then
  return *last;
}

std::shared_ptr<const cal::Timeline> core_of(nb::handle tz, std::int64_t start, std::int64_t end) {
  LastBuilt& last = last_built();
  std::shared_ptr<const cal::Timeline> core = last.core.lock();
  const bool fixed = tz.type().is(host::fixed_timezone_type());
  if (core && last.start == start && last.end == end &&
      (last.zone == tz.ptr() ||
       (fixed && nb::handle(last.zone).type().is(host::fixed_timezone_type()) &&
        nb::handle(last.zone).equal(tz))))
    return core;
  // The quarter-hour grid ascends by construction.
  core = std::make_shared<const cal::Timeline>(grid_calendar(tz, start, end),
                                               cal::Timeline::Ascending{});
  // Only zones whose answers cannot change are remembered: fixed offsets (by value) and the
  // host database's zones (by identity).
  if (fixed || tz.type().is(host::zoneinfo_type())) {
    Py_XDECREF(last.zone);
    last.zone = nb::borrow(tz).release().ptr();
    last.start = start;
    last.end = end;
    last.core = core;
    last.kept = core->size() <= kMaxKeptRows ? core : nullptr;
  }
  return core;
}

nb::object make_timeline(nb::handle tz, std::int64_t start, std::int64_t end, nb::handle holidays) {
  return nb::cast(
      Timeline{core_of(tz, start, end), nb::borrow(holidays), nb::object(), nb::dict(), nullptr});
}

// t plus one calendar step of a day or longer, added to the local wall-clock time in `tz` by
// the host (a month after local 1 December is local 1 January).
std::int64_t calendar_step(std::int64_t t, cal::Resolution r, nb::handle tz) {
  const std::int64_t seconds = cal::floor_div(t, cal::kNsPerSecond);
  const std::int64_t rest = t - seconds * cal::kNsPerSecond;
  nb::object local = convert::datetime_from_timestamp(seconds, tz);
  nb::object later = local + resolution_member(r).attr("as_relativedelta")();
  const std::optional<std::int64_t> us = convert::aware_us(later.ptr());
  if (!us) cal::naive_and_aware("subtract");
  return cal::floor_div(*us, 1'000'000) * cal::kNsPerSecond + rest;
}

// First and last instant of each input with instants, as the host's min and max give them
// (missing instants skipped), read in the index's own unit.
std::vector<cal::Span> spans_of(nb::handle inputs) {
  std::vector<cal::Span> spans;
  for (nb::handle item : inputs.attr("items")()) {
    nb::handle dataset = item[0], series = item[1];
    nb::object index = series.attr("index");
    if (!PyObject_TypeCheck(index.ptr(),
                            reinterpret_cast<PyTypeObject*>(host::datetime_index_type().ptr())))
      index = nb::borrow(host::datetime_index_type())(index);
    if (nb::len(index) == 0) continue;
    if (index.attr("tz").is_none())
      cal::naive_input(nb::cast<std::string>(nb::repr(dataset.attr("id"))));
    const InstantsView instants = instants_view(index, /*to_ns=*/false);
    // An out-of-bounds instant fails with the host's own error where it has one.
    const auto range =
        cal::input_range_ns(instants.raw, instants.unit_ns, [&] { index.attr("as_unit")("ns"); });
    if (!range) continue;
    const auto [first, last] = *range;
    spans.push_back({first, last, to_resolution(dataset.attr("resolution"))});
  }
  return spans;
}

nb::object zone_of(nb::handle components) {
  std::vector<std::string> names;
  for (nb::handle c : components) names.push_back(text_of(c.attr("timezone")));
  cal::require_one_zone(names);
  nb::object first = nb::steal(PySequence_GetItem(components.ptr(), 0));
  if (!first.is_valid()) throw nb::python_error();
  return timezone_from_str(first.attr("timezone"));
}

}  // namespace

nb::object build(nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{
      "build", {}, {{"tz"}, {"start_time"}, {"end_time"}, {"holidays"}}};
  auto v = args::parse(sig, args, kwargs);
  nb::object tz = v[0];
  if (PyUnicode_Check(tz.ptr())) tz = timezone_from_str(tz);
  const std::int64_t start = instant_ns(v[1], "start_time");
  const std::int64_t end = instant_ns(v[2], "end_time");
  return make_timeline(tz, start, end, v[3]);
}

nb::object build_timeline(nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{"build_timeline",
                                   {{"components"}, {"inputs"}, {"holidays"}},
                                   {{"start_time", false}, {"end_time", false}}};
  auto v = args::parse(sig, args, kwargs);
  nb::object tz = zone_of(v[0]);
  const std::vector<cal::Span> spans = spans_of(v[1]);
  std::optional<std::int64_t> start, end;
  if (v[3].is_valid() && !v[3].is_none() && v[4].is_valid() && !v[4].is_none()) {
    start = instant_ns(v[3], "start_time");
    end = instant_ns(v[4], "end_time");
  }
  const cal::Window w = cal::timeline_window(
      spans, start, end,
      [&](std::int64_t t, cal::Resolution r) { return calendar_step(t, r, tz); });
  return make_timeline(tz, w.start, w.end, v[2]);
}

void init_build(nb::module_& m) {
  m.def("build_timeline", &build_timeline,
        nb::sig("def build_timeline(components: collections.abc.Sequence[TariffComponent], "
                "inputs: collections.abc.Mapping[Dataset, pandas.Series | VariableSeries], "
                "holidays: collections.abc.Sequence[HolidayOccurrence], *, "
                "start_time: datetime.datetime | None = None, "
                "end_time: datetime.datetime | None = None) -> Timeline"),
        "The timeline of the components' zone over the window of the inputs or the given one.");
  nb::dict keys;
  for (const auto& info : core::domain::kResolutions) {
    const auto r = *core::domain::resolution_from_value(info.value);
    nb::list cols;
    for (const char* c : cal::key_columns(r)) cols.append(nb::str(c));
    keys[resolution_member(r)] = cols;
  }
  m.attr("_RESOLUTION_ACCESSORS") = keys;
}

}  // namespace ostrel::bindings::engine
