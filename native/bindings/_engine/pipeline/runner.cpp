// The pipeline runner: places a run's inputs on the timeline, creates the execution context
// and executes every function of every component in order, filing each result under the id of
// the dataset it outputs.
#include "core/pipeline/runner.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/_engine/pipeline/pipeline.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"

namespace ostrel::bindings::engine {

namespace {

// Any number by integer conversion; anything else is the host's argument type error.
int64_t column_argument(nb::handle value) {
  if (PyObject_IsInstance(value.ptr(), host::numbers_number_type().ptr()) != 1)
    args::require_exact(value, &PyLong_Type, "next_available_col");
  nb::object as_int = nb::steal(PyNumber_Long(value.ptr()));
  if (!as_int.is_valid()) throw nb::python_error();
  int overflow = 0;
  const long long col = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
  if (overflow || col < 0 || col > core::pipeline::kMaxColumn)
    core::pipeline::column_range_error(nb::cast<std::string>(nb::str(as_int)));
  return static_cast<int64_t>(col);
}

// The caller's variables renumbered onto the timeline's periods of their resolution, by
// position; the same columns and bounds.
nb::object place_variables(nb::handle timeline, nb::handle dataset, nb::handle value) {
  nb::object resolution = dataset.attr("resolution");
  nb::object index = timeline.attr("get_as")(resolution);
  const optim::VariableSeriesRecord* v = optim::as_variables(value);
  const size_t periods = nb::len(index);
  if (v->data->size() != periods)
    core::pipeline::check_variable_count(
        nb::cast<std::string>(nb::repr(dataset.attr("id"))), v->data->size(), periods,
        nb::cast<std::string>(nb::str(nb::object(resolution.attr("value")))));
  return optim::with_index(*v, index);
}

// The caller's series aligned by the timeline and named by its dataset id. A plain Timeline
// names the result itself; a subclass (which may align its own way) gets a renamed copy, so
// that the caller's series keeps its own name.
nb::object place_series(nb::handle timeline, nb::handle dataset, nb::handle value, nb::handle id) {
  nb::handle resolution = dataset.attr("resolution");
  if (timeline.type().is(nb::type<Timeline>()))
    return align_dataset(nb::cast<Timeline&>(timeline), value, resolution, id);
  return timeline.attr("align_dataset")(value.attr("rename")(id), resolution);
}

// The engine's own context, timeline and map: what the core can run without the host's
// protocol (a subclass may execute, align or file its own way).
Timeline* native_timeline(nb::handle ctx) {
  if (!ctx.type().is(engine::attr("ExecutionContext"))) return nullptr;
  nb::object timeline = ctx.attr("timeline");
  if (!timeline.type().is(nb::type<Timeline>()) || !PyDict_CheckExact(ctx.attr("all_series").ptr()))
    return nullptr;
  return &nb::cast<Timeline&>(timeline);
}

}  // namespace

nb::object run_components(nb::handle components, nb::handle ctx) {
  nb::handle block_type = engine::attr("FunctionBlock");
  for (nb::handle component : components) {
    // Read per component: a caller's function may have changed the context.
    Timeline* t = native_timeline(ctx);
    if (t && run_natively(component, *t, ctx.attr("all_series"), ctx).is_valid()) continue;
    for (nb::handle function : component.attr("functions")) {
      nb::object result = ctx.attr("execute_function")(function);
      nb::object output_id = function.attr("output").attr("id");
      if (nb::isinstance(result, block_type))
        ctx.attr("register_function_block")(output_id, result);
      else
        ctx.attr("all_series")[output_id] = result;
    }
  }
  nb::list costs;
  nb::object all_series = ctx.attr("all_series");
  for (nb::handle component : components) {
    nb::object id = component.attr("cost").attr("id");
    PyObject* found = PyObject_GetItem(all_series.ptr(), id.ptr());
    if (!found) throw nb::python_error();
    costs.append(nb::steal(found));
  }
  return costs;
}

nb::object run_pipeline(nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{
      "run_pipeline",
      {{"components"}, {"inputs"}},
      {{"timeline"}, {"next_available_col", false}, {"assume_convex", false}}};
  std::vector<nb::object> a = args::parse(sig, args, kwargs);
  nb::object components = a[0], inputs = a[1], timeline = a[2];
  const int64_t next_col = a[3].is_valid() ? column_argument(a[3]) : 0;
  const bool assume_convex = convert::truth(a[4]);

  nb::dict all_series;
  for (nb::handle item : inputs.attr("items")()) {
    nb::handle dataset = item[0], value = item[1];
    nb::object id = dataset.attr("id");
    if (optim::as_variables(value)) {
      all_series[id] = place_variables(timeline, dataset, value);
    } else if (!nb::isinstance(value, host::series_type())) {
      core::pipeline::input_type_error(nb::cast<std::string>(nb::repr(id)),
                                       bindings::type_name(value));
    } else {
      all_series[id] = place_series(timeline, dataset, value, id);
    }
  }
  nb::object ctx =
      engine::attr("ExecutionContext")(timeline, next_col, all_series, nb::none(), assume_convex);
  run_components(components, ctx);
  return ctx;
}

namespace {

// The inputs as run_pipeline would place them, read without making them: each a plain float64
// series already on the period starts of its dataset's resolution, which placing leaves as it
// is (its values, on the timeline's index). False when any input is something else.
bool placed_in_place(nb::handle inputs, Timeline& t, GivenSeries& given) {
  if (!PyDict_CheckExact(inputs.ptr())) return false;
  for (auto [dataset, value] : nb::borrow<nb::dict>(inputs)) {
    if (Py_TYPE(value.ptr()) != reinterpret_cast<PyTypeObject*>(host::series_type().ptr()))
      return false;
    nb::object held = value.attr("_values");
    if (Py_TYPE(held.ptr()) != reinterpret_cast<PyTypeObject*>(host::ndarray_type().ptr()) ||
        !held.attr("dtype").is(host::dtype(convert::DType::Float64)))
      return false;
    nb::object resolution = dataset.attr("resolution");
    const convert::InstantsView at = convert::instants_view(value.attr("index"), /*to_ns=*/false);
    if (!t.core->on_period_starts(at.raw, at.unit_ns, resolution_key(resolution))) return false;
    convert::SeriesArg s;
    s.series = nb::borrow(value);
    s.index = t.get_as(resolution);
    s.label_array = s.index.attr("asi8");
    s.labels = convert::view_1d<int64_t>(s.label_array, s.label_storage);
    s.array = std::move(held);
    s.values = convert::view_1d<double>(s.array, s.scratch);
    given.emplace_back(dataset.attr("id"), std::move(s));
  }
  return true;
}

}  // namespace

// run_pipeline([component], inputs, timeline=timeline)'s cost series, the only one made when
// the core runs the component. Inputs already on their period starts are read where they are:
// the cost is always a new series, so nothing the caller gave is shared with the result.
nb::object run_cost(nb::handle component, nb::handle inputs, nb::handle timeline) {
  nb::object id = component.attr("cost").attr("id");
  if (timeline.type().is(nb::type<Timeline>())) {
    Timeline& t = nb::cast<Timeline&>(timeline);
    GivenSeries given;
    bool in_place = false;
    try {
      in_place = placed_in_place(inputs, t, given);
    } catch (const nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;  // the rest raises it where run_pipeline does
    }
    if (in_place) {
      nb::dict none;
      nb::object cost = run_natively(component, t, none, nb::handle(), id, &given);
      if (cost.is_valid()) return cost;
    }
  }
  nb::kwargs kwargs;
  kwargs["timeline"] = timeline;
  nb::object ctx = run_pipeline(nb::borrow<nb::args>(nb::make_tuple(nb::list(), inputs)), kwargs);
  nb::object cost;
  if (Timeline* t = native_timeline(ctx))
    cost = run_natively(component, *t, ctx.attr("all_series"), nb::handle(), id);
  return cost.is_valid() ? cost : run_components(nb::make_tuple(component), ctx)[0];
}

void init_runner(nb::module_& m) {
  m.def("run_pipeline", &run_pipeline,
        nb::sig("def run_pipeline(components: collections.abc.Sequence[TariffComponent], "
                "inputs: collections.abc.Mapping[Dataset, pandas.Series | VariableSeries], /, *, "
                "timeline: Timeline, next_available_col: int = 0, assume_convex: bool = False) "
                "-> ExecutionContext"),
        "Executes the components' functions in order into a new execution context.");
  m.def("run_components", &run_components, nb::arg("components"), nb::arg("ctx"),
        "Executes every function of every component into ctx; the cost series in order.");
  m.def("_run_cost", &run_cost, nb::arg("component"), nb::arg("inputs"), nb::arg("timeline"),
        "The cost series of run_pipeline([component], inputs, timeline=timeline) alone.");
}

}  // namespace ostrel::bindings::engine
