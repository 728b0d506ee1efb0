// A component run by the core: its block records read into a plan once, the series it starts
// from viewed in place, every step run with the GIL released, and each result wrapped once on
// the index the block's own `compute` gives it.
#include <nanobind/nanobind.h>

#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/pipeline/pipeline.hpp"
#include "bindings/_engine/pipeline/plan.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/host.hpp"
#include "core/pipeline/run.hpp"

namespace ostrel::bindings::engine {

namespace {

namespace pl = core::pipeline;

bool plain_series(PyObject* value) {
  return Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(host::series_type().ptr());
}

// The plan of the component's functions, or nothing when a function is not exactly one of the
// engine's records or the records say what the plan cannot (their own evaluation then reports
// it where it arises).
bool read_plan(nb::handle functions, PlanReader& reader, std::vector<nb::object>& outputs) {
  try {
    for (nb::handle f : functions) {
      if (!is_block_record(f) || !reader.step(f)) return false;
      outputs.push_back(f.attr("output").attr("id"));
    }
  } catch (const nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt is the caller's, not the records'
    return false;
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace

nb::object step_index(Timeline& t, pl::StepResult& r, const std::vector<nb::object>& index) {
  switch (r.labels_of) {
    case pl::StepResult::LabelsOf::PeriodStarts:
      return t.get_as(resolution_member(r.resolution));
    case pl::StepResult::LabelsOf::Slot:
      return index[r.slot];
    case pl::StepResult::LabelsOf::Own:
      break;
  }
  return convert::utc_index(std::move(r.labels)).attr("tz_convert")(index[r.slot].attr("tz"));
}

bool run_natively(nb::handle component, Timeline& t, nb::handle all_series) {
  // Another object may give other functions each time it is asked.
  if (!component.type().is(engine::attr("TariffComponent"))) return false;
  pl::Plan plan;
  PlanReader reader(t, plan);
  std::vector<nb::object> outputs;
  if (!read_plan(component.attr("functions"), reader, outputs)) return false;

  // Every series a step reads before the plan writes it: a plain series already filed.
  const std::vector<std::size_t> reads = pl::read_before_written(plan);
  std::vector<convert::SeriesArg> held;
  held.reserve(reads.size());
  std::vector<pl::Filed> filed;
  std::vector<nb::object> index(plan.slots);  // the index of each slot's current series
  for (std::size_t slot : reads) {
    PyObject* value = PyDict_GetItemWithError(all_series.ptr(), reader.ids()[slot].ptr());
    if (!value) {
      if (PyErr_Occurred()) throw nb::python_error();
      return false;
    }
    if (!plain_series(value)) return false;
    try {
      held.push_back(convert::read_series(value));
    } catch (const nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      return false;
    }
    filed.push_back({slot, held.back().labels, held.back().values});
    index[slot] = held.back().index;
  }

  std::vector<pl::StepResult> results;
  try {
    nb::gil_scoped_release released;
    results = pl::run(*t.core, plan, filed);
  } catch (const pl::Unsupported&) {
    return false;
  } catch (const std::exception&) {
    return false;  // the block's own evaluation raises it, after the steps before it
  }

  for (std::size_t k = 0; k < results.size(); ++k) {
    pl::StepResult& r = results[k];
    nb::object at = step_index(t, r, index);
    nb::object series = convert::series(std::move(r.values), at, outputs[k]);
    if (PyDict_SetItem(all_series.ptr(), outputs[k].ptr(), series.ptr()) != 0)
      throw nb::python_error();
    index[plan.steps[k].output] = std::move(at);
  }
  return true;
}

}  // namespace ostrel::bindings::engine
