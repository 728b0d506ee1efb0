#include "bindings/logic/inputs.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/datetimes.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "bindings/logic/logic.hpp"
#include "core/logic/alignment.hpp"
#include "core/logic/inputs.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::bindings::logic {

std::string input_name(nb::handle dataset) {
  return core::logic::input_dataset_name(nb::cast<std::string>(nb::repr(dataset.attr("id"))));
}

EvaluationWindow evaluation_window(nb::handle component, nb::handle start_time,
                                   nb::handle end_time) {
  EvaluationWindow w{nb::borrow(start_time), nb::borrow(end_time)};
  nb::object from = component.attr("applicable_from"), to = component.attr("applicable_to");
  if (from.is_none() && to.is_none()) return w;
  auto ns = [](nb::handle t, const char* what) { return convert::saturated_instant_ns(t, what); };
  const core::logic::Window request{ns(start_time, "start_time"), ns(end_time, "end_time")};
  std::optional<std::int64_t> from_ns, to_ns;
  if (!from.is_none()) from_ns = ns(from, "applicable_from");
  if (!to.is_none()) to_ns = ns(to, "applicable_to");
  const core::logic::WindowChoice choice =
      core::logic::evaluation_window(request, from_ns, to_ns, core::timeline::kNsPerQuarterHour);
  if (!choice.cut) return w;
  const std::int64_t bounds[2] = {choice.window.start, choice.window.end};
  nb::object utc_bounds = convert::datetimes(bounds, convert::utc_zone());
  w.start_time = utc_bounds[0];
  w.end_time = utc_bounds[1];
  w.cut = true;
  w.ns = choice.window;
  return w;
}

void check_request(nb::handle start_time, nb::handle end_time) {
  nb::handle datetime = host::datetime_type();
  auto check = [&](nb::handle t, const char* name) {
    if (!nb::isinstance(t, datetime) || t.attr("utcoffset")().is_none()) return;
    core::logic::check_request_instant(convert::saturated_instant_ns(t, name), name,
                                       convert::repr_of(t));
  };
  check(start_time, "start_time");
  check(end_time, "end_time");
}

void check_on_timeline(nb::handle inputs, nb::handle timeline) {
  if (nb::len(inputs) == 0) return;  // nothing to check, and no grid to make for it
  nb::object engine = domain();
  nb::object quarter = engine.attr("Resolution").attr("QUARTER_HOURLY");
  // The timeline's indexes and the caller's own are read in place (nanoseconds already), not
  // converted afresh per dataset.
  const convert::InstantsView grid = convert::instants_view(timeline.attr("get_as")(quarter));
  if (grid.ns.empty()) return;
  const std::int64_t end = grid.ns.back() + core::timeline::kNsPerQuarterHour;
  nb::handle variable_type = engine.attr("VariableSeries");
  for (auto [dataset, value] : nb::borrow<nb::dict>(inputs)) {
    nb::object resolution = dataset.attr("resolution");
    const convert::InstantsView starts =
        convert::instants_view(timeline.attr("get_as")(resolution));
    const convert::InstantsView keys = convert::instants_view(value.attr("index"));
    const std::string what = input_name(dataset);
    const std::string res = nb::cast<std::string>(resolution.attr("value"));
    if (nb::isinstance(value, variable_type))
      core::logic::check_variables_on_periods(keys.ns, starts.ns, what, res);
    else
      core::logic::check_keys_on_periods(keys.ns, starts.ns, end, what, res);
  }
}

bool InputSeries::has(nb::handle dataset) const {
  const int found = PyDict_Contains(by_dataset_.ptr(), dataset.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

const convert::InstantValues& InputSeries::read(PyObject* mapping, nb::handle dataset) {
  auto found = read_.find(mapping);
  if (found == read_.end())
    found = read_.emplace(mapping, convert::read_float_map(mapping, input_name(dataset))).first;
  return found->second;
}

void InputSeries::read_all() {
  for (auto [dataset, mapping] : by_dataset_) read(mapping.ptr(), dataset);
}

nb::object InputSeries::series(nb::handle dataset, const EvaluationWindow& window) {
  PyObject* mapping = PyDict_GetItemWithError(by_dataset_.ptr(), dataset.ptr());
  if (!mapping) {
    if (PyErr_Occurred()) throw nb::python_error();
    raise_key_error(dataset);
  }
  const convert::InstantValues& all = read(mapping, dataset);
  std::vector<std::int64_t> ns;
  std::vector<double> values;
  if (window.cut) {
    const std::vector<std::size_t> keep = core::logic::positions_within(all.ns, window.ns);
    ns = core::logic::gather(std::span<const std::int64_t>(all.ns), keep);
    values = core::logic::gather(std::span<const double>(all.values), keep);
  } else {
    ns = all.ns;
    values = all.values;
  }
  return convert::series(std::move(values), convert::utc_index(std::move(ns)), dataset.attr("id"));
}

nb::object InputSeries::keys_at(nb::handle dataset, const EvaluationWindow& window,
                                std::span<const std::int64_t> ns) {
  PyObject* mapping = PyDict_GetItemWithError(by_dataset_.ptr(), dataset.ptr());
  if (!mapping) {
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::none();
  }
  const convert::InstantValues& all = read(mapping, dataset);
  if (!all.utc_keys) return nb::none();
  if (!window.cut) {
    if (!std::ranges::equal(all.ns, ns)) return nb::none();
    return all.keys;
  }
  const std::vector<std::size_t> keep = core::logic::positions_within(all.ns, window.ns);
  if (keep.size() != ns.size()) return nb::none();
  nb::list keys;
  for (std::size_t i = 0; i < keep.size(); ++i) {
    if (all.ns[keep[i]] != ns[i]) return nb::none();
    keys.append(all.keys[keep[i]]);
  }
  return keys;
}

}  // namespace ostrel::bindings::logic

namespace ostrel::bindings::logic {

nb::object cut_to_window(nb::handle series, const EvaluationWindow& window) {
  if (!window.cut) return nb::borrow(series);
  const convert::InstantsView ns = convert::instants_view(series.attr("index"));
  const std::vector<std::size_t> keep = core::logic::positions_within(ns.ns, window.ns);
  std::vector<std::int64_t> positions(keep.begin(), keep.end());
  nb::object at = convert::array(std::move(positions));
  if (nb::isinstance(series, host::series_type())) return series.attr("iloc")[at];
  return series.attr("gather")(at);
}

nb::dict domain_keys(nb::handle data) {
  nb::dict out;
  for (auto [ds, values] : nb::borrow<nb::dict>(data)) out[to_domain_dataset(ds)] = values;
  return out;
}

}  // namespace ostrel::bindings::logic
