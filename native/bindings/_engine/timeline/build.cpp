// Building a timeline: the window from the components and inputs, the grid, the accessors.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "core/common/errors.hpp"
#include "core/common/text.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::bindings::engine {

namespace {

nb::module_ pandas() { return nb::module_::import_("pandas"); }

nb::object make_timeline(nb::handle tz, std::int64_t start, std::int64_t end, nb::handle holidays) {
  cal::Calendar table = grid_calendar(tz, start, end);
  return nb::cast(Timeline{std::make_shared<const cal::Timeline>(std::move(table)),
                           nb::borrow(holidays), nb::object(), nb::dict(), nullptr});
}

struct Span {
  std::int64_t first, last;
  cal::Resolution resolution;
};

// t plus one calendar step of `r`. Steps of a day or more are added to the local wall-clock
// time in `tz` (a month after local 1 December is local 1 January); shorter steps are exact
// durations, so an interval in the repeated hour at the end of daylight saving keeps its
// real length.
std::int64_t add_step(std::int64_t t, cal::Resolution r, nb::handle tz) {
  using R = cal::Resolution;
  if (r == R::QUARTER_HOURLY) return t + cal::kNsPerQuarterHour;
  if (r == R::HOURLY) return t + cal::kNsPerHour;
  nb::module_ dt = nb::module_::import_("datetime");
  const std::int64_t seconds = cal::floor_div(t, cal::kNsPerSecond);
  const std::int64_t rest = t - seconds * cal::kNsPerSecond;
  nb::object local = dt.attr("datetime").attr("fromtimestamp")(seconds, tz);
  nb::object later = local + resolution_member(r).attr("as_relativedelta")();
  nb::object epoch =
      dt.attr("datetime")(1970, 1, 1, nb::arg("tzinfo") = dt.attr("timezone").attr("utc"));
  nb::object whole =
      (later - epoch).attr("__floordiv__")(dt.attr("timedelta")(nb::arg("seconds") = 1));
  return nb::cast<std::int64_t>(whole) * cal::kNsPerSecond + rest;
}

std::vector<Span> spans_of(nb::handle inputs) {
  std::vector<Span> spans;
  for (nb::handle item : inputs.attr("items")()) {
    nb::handle dataset = item[0], series = item[1];
    nb::object index = pandas().attr("DatetimeIndex")(series.attr("index"));
    if (nb::len(index) == 0) continue;
    if (index.attr("tz").is_none())
      throw nb::type_error(("input " + nb::cast<std::string>(nb::repr(dataset.attr("id"))) +
                            " has a time-zone naive index; inputs must be time-zone aware")
                               .c_str());
    // First and last instant, as the host's min and max give them: missing instants skipped.
    const InstantsView instants = instants_view(index);
    constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();
    std::int64_t lo = std::numeric_limits<std::int64_t>::max(), hi = nat;
    for (const std::int64_t t : instants.ns) {
      if (t == nat) continue;
      lo = std::min(lo, t);
      hi = std::max(hi, t);
    }
    if (hi == nat) continue;
    spans.push_back({lo, hi, to_resolution(dataset.attr("resolution"))});
  }
  return spans;
}

nb::object zone_of(nb::handle components) {
  nb::object zones = nb::module_::import_("builtins").attr("set")();
  for (nb::handle c : components) zones.attr("add")(c.attr("timezone"));
  if (nb::len(zones) > 1) {
    std::vector<std::string> names;
    for (nb::handle z : nb::module_::import_("builtins").attr("sorted")(zones))
      names.push_back(text_of(z));
    core::value_error("components span multiple timezones: " + core::repr_list(names));
  }
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
  const std::vector<Span> spans = spans_of(v[1]);
  const bool explicit_window =
      v[3].is_valid() && !v[3].is_none() && v[4].is_valid() && !v[4].is_none();
  std::int64_t start = 0, end = 0;
  if (!explicit_window) {
    if (spans.empty())
      core::value_error("cannot build a timeline without inputs or an explicit window");
    start = spans.front().first;
    end = add_step(spans.front().last, spans.front().resolution, tz);
    for (const Span& s : spans) {
      start = std::min(start, s.first);
      end = std::max(end, add_step(s.last, s.resolution, tz));
    }
  } else {
    // Widen the requested window so that inputs straddling an edge are covered whole; the
    // tests are against the requested bounds, not the widened ones.
    const std::int64_t requested_start = instant_ns(v[3], "start_time");
    const std::int64_t requested_end = instant_ns(v[4], "end_time");
    start = requested_start;
    end = requested_end;
    for (const Span& s : spans) {
      for (const std::int64_t t : {s.first, s.last}) {
        if (t >= requested_end) continue;
        const std::int64_t t_end = add_step(t, s.resolution, tz);
        if (t_end <= requested_start) continue;
        start = std::min(start, t);
        end = std::max(end, t_end);
      }
    }
  }
  return make_timeline(tz, start, end, v[2]);
}

void init_build(nb::module_& m) {
  m.def("build_timeline", &build_timeline,
        "build_timeline(components, inputs, holidays, *, start_time=None, end_time=None)\n"
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
