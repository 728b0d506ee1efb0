// A component run by the core: its block records read into a plan once, the series and
// variables it starts from viewed in place, every step computed or compiled with the GIL
// released, and each result wrapped once: a series on the index the block's own `compute`
// gives it, a compiled step as the FunctionBlock its `compile` gives, registered in the context.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/compile.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
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

// Exactly the engine's VariableSeries (a subclass may compile its own way).
const optim::VariableSeriesRecord* plain_variables(nb::handle value) {
  if (!value.type().is(nb::type<optim::VariableSeriesRecord>())) return nullptr;
  return optim::as_variables(value);
}

// What the run starts from, read from the context: series and variables viewed in place.
struct Inputs {
  std::vector<convert::SeriesArg> series;
  std::vector<convert::InstantsView> steps;  // of each variable input
  std::vector<pl::Filed> filed;
  bool variables = false;
  bool untimed = false;  // a series labelled other than by instants
};

// False when a slot holds what the core does not read (or reads another way).
bool read_inputs(const std::vector<std::size_t>& reads, const std::vector<nb::object>& ids,
                 nb::handle all_series, GivenSeries* given, Inputs& in,
                 std::vector<nb::object>& index) {
  in.series.reserve(reads.size());
  in.steps.reserve(reads.size());
  for (std::size_t slot : reads) {
    if (given) {
      auto found = std::find_if(given->begin(), given->end(),
                                [&](const auto& g) { return g.first.equal(ids[slot]); });
      if (found != given->end()) {
        in.series.push_back(std::move(found->second));
        given->erase(found);
        const convert::SeriesArg& s = in.series.back();
        in.filed.push_back({slot, s.labels, s.values});
        index[slot] = s.index;
        continue;
      }
    }
    PyObject* value = PyDict_GetItemWithError(all_series.ptr(), ids[slot].ptr());
    if (!value) {
      if (PyErr_Occurred()) throw nb::python_error();
      return false;
    }
    try {
      if (plain_series(value)) {
        in.series.push_back(convert::read_series(value));
        const convert::SeriesArg& s = in.series.back();
        in.untimed |= !optim::compile::time_labelled(value);
        in.filed.push_back({slot, s.labels, s.values});
        index[slot] = s.index;
      } else if (const optim::VariableSeriesRecord* v = plain_variables(value)) {
        in.steps.push_back(convert::instants_view(v->index));
        in.filed.push_back({slot, in.steps.back().ns, {}, v->data.get()});
        in.variables = true;
        index[slot] = v->index;
      } else {
        return false;
      }
    } catch (const nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      return false;
    } catch (const std::exception&) {
      return false;
    }
  }
  // A compile pairs a series by position unless its labels are instants.
  return !(in.variables && in.untimed);
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

nb::object run_natively(nb::handle component, Timeline& t, nb::handle all_series, nb::handle ctx,
                        nb::handle cost_id, GivenSeries* given) {
  // Another object may give other functions each time it is asked.
  if (!component.type().is(engine::attr("TariffComponent"))) return nb::object();
  pl::Plan plan;
  PlanReader reader(&t, plan);
  std::vector<nb::object> outputs;
  if (!read_plan(component.attr("functions"), reader, outputs)) return nb::object();

  // Every series a step reads before the plan writes it, already filed.
  Inputs in;
  std::vector<nb::object> index(plan.slots);  // the index of each slot's current series
  if (!read_inputs(pl::read_before_written(plan), reader.ids(), all_series, given, in, index) ||
      (in.variables && !ctx.is_valid()))
    return nb::object();
  pl::Columns columns;
  if (in.variables) {
    columns.next = nb::cast<int64_t>(ctx.attr("next_available_col"));
    columns.assume_convex = nb::cast<bool>(ctx.attr("assume_convex"));
  }

  // Without a context only the cost's slot is kept: the run lets the others go as it goes.
  std::optional<std::size_t> wanted;
  if (!ctx.is_valid() && cost_id.is_valid())
    for (std::size_t slot = 0; slot < reader.ids().size(); ++slot)
      if (reader.ids()[slot].equal(cost_id)) wanted = slot;
  std::vector<pl::StepResult> results;
  try {
    nb::gil_scoped_release released;
    results = pl::run(*t.core, plan, in.filed, in.variables ? &columns : nullptr, wanted);
  } catch (const pl::Unsupported&) {
    return nb::object();
  } catch (const std::exception&) {
    return nb::object();  // the block's own evaluation raises it, after the steps before it
  }

  // Without a context only the cost's last result is made (its labels may be an earlier step's).
  std::size_t last = results.size();
  for (std::size_t k = 0; k < results.size() && !ctx.is_valid(); ++k)
    if (outputs[k].equal(cost_id)) last = k;
  if (!ctx.is_valid() && last == results.size()) return nb::object();
  for (std::size_t k = 0; k < results.size(); ++k) {
    pl::StepResult& r = results[k];
    nb::object at = step_index(t, r, index);
    if (k == last) return convert::series(std::move(r.values), at, outputs[k]);
    if (r.block) {
      nb::object block = optim::compile::wrap(std::move(*r.block), at);
      optim::register_function_block(ctx, outputs[k], block);
      at = optim::as_variables(block.attr("output"))->index;
    } else if (ctx.is_valid()) {
      nb::object series = convert::series(std::move(r.values), at, outputs[k]);
      if (PyDict_SetItem(all_series.ptr(), outputs[k].ptr(), series.ptr()) != 0)
        throw nb::python_error();
    }
    index[plan.steps[k].output] = std::move(at);
  }
  return nb::borrow(all_series);
}

}  // namespace ostrel::bindings::engine
