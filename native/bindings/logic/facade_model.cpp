// Model building: each active component compiled into the caller's solver model through an
// adapter, one component at a time, so that a component's columns follow those already added
// and its blocks are in the model before the next one is compiled.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "bindings/common/args.hpp"
#include "bindings/common/coroutine.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/logic/facade.hpp"
#include "bindings/logic/inputs.hpp"
#include "bindings/logic/logic.hpp"
#include "bindings/logic/request.hpp"
#include "core/logic/inputs.hpp"

namespace ostrel::bindings::logic {

namespace {

using coro::awaited;

// The adapter's series of each caller mapping of variables, by engine dataset (and the
// mappings themselves in `mappings`). A ValueError of the adapter or of the conversion becomes
// "input dataset <id>: <error>", chained to it.
nb::dict variable_series(nb::handle variables, nb::handle adapter, nb::dict& mappings) {
  nb::dict out;
  for (auto [ds, vars] : nb::borrow<nb::dict>(variables)) {
    try {
      nb::object series = adapter.attr("to_series")(vars);
      nb::object dataset = to_domain_dataset(ds);
      out[dataset] = series;
      mappings[dataset] = vars;
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ValueError)) throw;
      const std::string text =
          core::logic::refused_input_message(nb::cast<std::string>(nb::repr(ds.attr("id"))),
                                             nb::cast<std::string>(nb::str(e.value())));
      nb::raise_from(e, PyExc_ValueError, "%s", text.c_str());
    }
  }
  return out;
}

// The door of model building: measured data where the caller gave it (it takes precedence
// over variables for the same dataset), else the adapter's series of the caller's variables;
// each component compiled after the columns already in the model and added to it before the
// next one is compiled.
class ModelDoor final : public Door {
 public:
  ModelDoor(nb::handle data, nb::handle variables, nb::handle adapter, bool minimising_cost)
      : data_(domain_keys(data)), adapter_(nb::borrow(adapter)), minimising_(minimising_cost) {
    data_.read_all();
    variables_ = variable_series(variables, adapter, mappings_);
  }
  nb::object input(nb::handle, nb::handle d, const EvaluationWindow& window) override {
    if (data_.has(d)) return data_.series(d, window);
    PyObject* vars = PyDict_GetItemWithError(variables_.ptr(), d.ptr());
    if (!vars) {
      if (PyErr_Occurred()) throw nb::python_error();
      bindings::raise_key_error(d);
    }
    return cut_to_window(vars, window);
  }
  // The linear forms only where they are exact for this component's cost when it is
  // minimised; anything else compiles in the exact mixed-integer form.
  void run_arguments(nb::handle component, nb::handle inputs, nb::kwargs& kwargs) override {
    kwargs["next_available_col"] = adapter_.attr("get_next_available_col")();
    const bool convex =
        minimising_ && nb::cast<bool>(domain().attr("convex_when_minimised")(component, inputs));
    kwargs["assume_convex"] = nb::bool_(convex);
  }
  void done(nb::handle component, nb::handle, nb::handle ctx) override {
    adapter_.attr("add_blocks")(ctx.attr("function_blocks"));
    nb::object series = cost_series(component, ctx);
    if (nb::isinstance(series, domain().attr("VariableSeries")))
      costs.append(
          attr("ComponentCost")(to_public_component(component), cost_variables(component, series)));
    else
      costs.append(to_float_cost(series, component));
  }
  nb::list costs;

 private:
  // The adapter's to_variables; the engine's own adapters key a cost on the caller's instants
  // by the caller's own datetimes (those of the component's variable inputs), which spares a
  // new datetime per interval. Another adapter may define to_variables as it likes.
  nb::object cost_variables(nb::handle component, nb::handle series) {
    nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(adapter_.ptr()));
    if (!type.is(domain().attr("HighsAdapter")) && !type.is(domain().attr("GurobiAdapter")))
      return adapter_.attr("to_variables")(series);
    nb::list candidates;
    for (nb::handle d : component.attr("datasets")) {
      if (data_.has(d)) continue;
      PyObject* mapping = PyDict_GetItemWithError(mappings_.ptr(), d.ptr());
      if (mapping)
        candidates.append(nb::handle(mapping));
      else if (PyErr_Occurred())
        throw nb::python_error();
    }
    return adapter_.attr("_to_variables_on_caller_keys")(series, candidates);
  }
  InputSeries data_;
  nb::dict variables_;
  nb::dict mappings_;  // the caller's {datetime: variable} maps, by engine dataset
  nb::object adapter_;
  bool minimising_;
};

// add_to_highs_model / add_to_gurobi_model: a fresh adapter of the named engine class around
// the caller's model, then the shared model building.
coro::Task add_with_adapter(nb::object self, const char* adapter_class, nb::object tariff_id,
                            nb::object start_time, nb::object end_time, nb::object data,
                            nb::object variables, nb::object model, bool minimising_cost,
                            bool use_cache) {
  nb::object adapter = domain().attr(adapter_class)(model);
  nb::object pending = self.attr("_add_tariff_cost_to_model")(
      tariff_id, start_time, end_time, data, variables, adapter,
      nb::arg("minimising_cost") = minimising_cost, nb::arg("use_cache") = use_cache);
  nb::object costs = co_await awaited(std::move(pending));
  co_return costs;
}

template <const char* Name, const char* Adapter, const char* Qualname>
nb::object adapter_method(nb::handle self, nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{
      Name,
      {{"tariff_id"}, {"start_time"}, {"end_time"}, {"data"}, {"variables"}, {"model"}},
      {{"minimising_cost", false}, {"use_cache", false}}};
  auto v = args::parse(sig, args, kwargs);
  args::require_exact(v[3], &PyDict_Type, "data");
  args::require_exact(v[4], &PyDict_Type, "variables");
  return coro::make_coroutine(add_with_adapter(nb::borrow(self), Adapter, v[0], v[1], v[2], v[3],
                                               v[4], v[5], truth(v[6], true), truth(v[7], true)),
                              Qualname);
}

nb::object add_tariff_cost_method(nb::handle self, nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{
      "_add_tariff_cost_to_model",
      {{"tariff_id"}, {"start_time"}, {"end_time"}, {"data"}, {"variables"}, {"adapter"}},
      {{"minimising_cost"}, {"use_cache"}}};
  auto v = args::parse(sig, args, kwargs);
  args::require_exact(v[3], &PyDict_Type, "data");
  args::require_exact(v[4], &PyDict_Type, "variables");
  const bool minimising = truth(v[6], false);
  nb::object data = v[3], variables = v[4], adapter = v[5];
  return coro::make_coroutine(run_request(nb::borrow(self), v[0], v[1], v[2], truth(v[7], false),
                                          [data, variables, adapter, minimising] {
                                            return ModelDoor(data, variables, adapter, minimising);
                                          }),
                              "LogicBindings._add_tariff_cost_to_model");
}

constexpr char kHighs[] = "add_to_highs_model";
constexpr char kHighsAdapter[] = "HighsAdapter";
constexpr char kHighsName[] = "LogicBindings.add_to_highs_model";
constexpr char kGurobi[] = "add_to_gurobi_model";
constexpr char kGurobiAdapter[] = "GurobiAdapter";
constexpr char kGurobiName[] = "LogicBindings.add_to_gurobi_model";

}  // namespace

void init_model_methods(nb::class_<LogicBindings>& cls) {
  cls.def("add_to_highs_model", &adapter_method<kHighs, kHighsAdapter, kHighsName>,
          nb::sig("def add_to_highs_model(self, tariff_id: uuid.UUID | Tariff, start_time: "
                  "datetime.datetime, "
                  "end_time: datetime.datetime, "
                  "data: dict[Dataset, dict[datetime.datetime, float]], "
                  "variables: dict[Dataset, dict[datetime.datetime, highspy.highs.highs_var]], "
                  "model: highspy.Highs, *, minimising_cost: bool = True, "
                  "use_cache: bool = True) -> collections.abc.Coroutine[typing.Any, typing.Any, "
                  "list[ComponentCost[highspy.highs.highs_var] | ComponentCost[float]]]"),
          "Coroutine: the tariff's cost compiled into a highspy.Highs model; a ComponentCost "
          "per active component (solver variables where the cost depends on them).");
  cls.def("add_to_gurobi_model", &adapter_method<kGurobi, kGurobiAdapter, kGurobiName>,
          nb::sig("def add_to_gurobi_model(self, tariff_id: uuid.UUID | Tariff, start_time: "
                  "datetime.datetime, "
                  "end_time: datetime.datetime, "
                  "data: dict[Dataset, dict[datetime.datetime, float]], "
                  "variables: dict[Dataset, dict[datetime.datetime, gurobipy.Var]], "
                  "model: gurobipy.Model, *, minimising_cost: bool = True, "
                  "use_cache: bool = True) -> collections.abc.Coroutine[typing.Any, typing.Any, "
                  "list[ComponentCost[gurobipy.Var] | ComponentCost[float]]]"),
          "Coroutine: the tariff's cost compiled into a Gurobi model; a ComponentCost per "
          "active component (solver variables where the cost depends on them).");
  cls.def("_add_tariff_cost_to_model", &add_tariff_cost_method,
          nb::sig("def _add_tariff_cost_to_model(self, tariff_id: uuid.UUID | Tariff, "
                  "start_time: datetime.datetime, end_time: datetime.datetime, "
                  "data: dict[Dataset, dict[datetime.datetime, float]], "
                  "variables: dict[Dataset, dict[datetime.datetime, Variable]], "
                  "adapter: domain.SolverAdapter, *, minimising_cost: bool, use_cache: bool) -> "
                  "collections.abc.Coroutine[typing.Any, typing.Any, list[ComponentCost[Variable] "
                  "| ComponentCost[float]]]"),
          "Coroutine: the model building of add_to_highs_model through any solver adapter.");
}

}  // namespace ostrel::bindings::logic
