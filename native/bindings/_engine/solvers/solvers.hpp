#pragma once
// The solver adapters: HiGHS and Gurobi models receive compiled blocks as whole arrays (one
// call per kind), and caller variables become variable series and back.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "bindings/_engine/optimisation/optimisation.hpp"

namespace ostrel::bindings::engine::solvers {
namespace nb = nanobind;
namespace co = core::optimisation;

// Host names of the solver libraries and scipy, looked up on first use and kept for the life
// of the process (leaked on purpose: no destructor may run after the host has finalised).
// gurobipy is optional: only a Gurobi adapter asks for it.
struct HighsHost {
  PyObject* highs_var;
  PyObject* k_ok;
  double k_inf;
  uint8_t k_integer;
};
struct GurobiHost {
  PyObject* mvar;
  PyObject* integer;
  PyObject* continuous;
  PyObject* equal;
  PyObject* less_equal;
  double infinity;
};
const HighsHost& highs_host();
const GurobiHost& gurobi_host();

// An adapter keeps the caller's model and nothing else.
struct SolverAdapter {};
struct ModelAdapter : SolverAdapter {
  nb::object model;
};
struct HighsAdapter : ModelAdapter {};
struct GurobiAdapter : ModelAdapter {};
// GC slots of the adapter classes: the model may refer back to its adapter.
extern PyType_Slot* const model_adapter_slots;

// The blocks of one add_blocks call, read once: their series in block order (output, then
// auxiliaries) and their rows joined per kind (null when no block has rows of that kind).
struct Blocks {
  std::vector<nb::object> held;
  std::vector<const co::VariableSeries*> series;
  std::shared_ptr<const co::ConstraintSeries> equalities, inequalities;
};
Blocks read_blocks(nb::handle blocks);

// The rows of a constraint record, shared with it.
std::shared_ptr<const co::ConstraintSeries> rows_of(nb::handle constraints);
// The rows as a scipy compressed-sparse-row matrix of `num_cols` columns (the core's CSR:
// columns sorted within a row, duplicates summed).
nb::object csr_matrix(const co::ConstraintSeries& rows, size_t num_cols);
// A float64 / int32 numpy array owning a copy of `values`.
nb::object float_array(const std::vector<double>& values);
nb::object int32_array(std::vector<int32_t>&& values);

// The variables of a {timestamp: variable} mapping in ascending time order, and the
// DatetimeIndex of the sorted timestamps.
struct Variables {
  std::vector<nb::object> variables;
  std::vector<nb::object> keys;  // the caller's keys, in the same order
  nb::object index;
};
Variables sorted_variables(nb::handle mapping);
// The int64 value of a variable's `index` attribute.
int64_t index_of(nb::handle variable);
// VariableSeries(cols, lb, ub, is_integer all false, index) of caller variables whose bounds
// must be finite (below `infinity` in magnitude).
nb::object caller_series(std::vector<int64_t>&& cols, std::vector<double>&& lb,
                         std::vector<double>&& ub, double infinity, nb::object index);
// The caller's own key objects at the series' instants, in order: from the first of
// `mappings` (the caller's {datetime: variable} maps) whose keys in time order hold the
// instants as one run of plain datetimes in UTC with fold 0, which are exactly the keys
// pair_variables would make (a result on the caller's instants then costs no new datetime);
// None when no mapping does.
nb::object caller_keys(nb::handle series, nb::handle mappings);
// {datetime: variable_at(column)} over the series' columns, paired strictly; keyed by `keys`
// (from caller_keys) or, when None, by the series' index as plain datetimes.
nb::dict pair_variables(nb::handle series, nb::handle keys,
                        const std::function<nb::object(int64_t)>& variable_at);

// highs_var(col, model) for one model; made without the constructor's Python frame once that
// is checked (on first use in the process) to give the same objects.
class HighsVars {
 public:
  explicit HighsVars(nb::handle model);
  nb::object operator()(int64_t col);

 private:
  nb::handle model_, type_;
  nb::object proxy_;  // the weak proxy of the model that every variable holds
};

// The class of an adapter over the caller's model: its constructor (`init_sig` names the
// model's type for the stubs) and the `_model` it keeps.
template <typename Adapter>
nb::class_<Adapter, SolverAdapter> adapter_class(nb::module_& m, const char* name, const char* doc,
                                                 const char* init_sig) {
  nb::class_<Adapter, SolverAdapter> c(m, name, nb::type_slots(model_adapter_slots), doc);
  c.def(
      "__init__",
      [](Adapter* self, nb::handle model) {
        new (self) Adapter();
        self->model = nb::borrow(model);
      },
      nb::arg("model"), nb::sig(init_sig));
  c.def_prop_rw(
      "_model", [](Adapter& self) { return self.model; },
      [](Adapter& self, nb::handle model) { self.model = nb::borrow(model); });
  return c;
}

// Defines to_series(variables), to_variables(series) and _to_variables_on_caller_keys(series,
// variables) (the facade's: keyed by the caller's own datetimes where caller_keys finds them)
// over `to_series(self, variables)` and `to_variables(self, series, keys)`.
template <typename Adapter>
void def_series_methods(nb::class_<Adapter, SolverAdapter>& c,
                        nb::object (*to_series)(nb::handle, nb::handle),
                        nb::dict (*to_variables)(nb::handle, nb::handle, nb::handle)) {
  c.def("to_series", to_series, nb::arg("variables"),
        nb::sig("def to_series(self, variables: collections.abc.Mapping[datetime.datetime, "
                "typing.Any]) -> VariableSeries"));
  c.def(
      "to_variables",
      [to_variables](nb::handle self, nb::handle series) {
        return to_variables(self, series, nb::none());
      },
      nb::arg("series"),
      nb::sig("def to_variables(self, series: VariableSeries) -> "
              "dict[datetime.datetime, typing.Any]"));
  c.def(
      "_to_variables_on_caller_keys",
      [to_variables](nb::handle self, nb::handle series, nb::handle variables) {
        return to_variables(self, series, caller_keys(series, variables));
      },
      nb::arg("series"), nb::arg("variables"),
      "to_variables, keyed by the caller's own datetimes where the series lies on the "
      "instants of one of `variables` (the caller's maps) and those are plain UTC datetimes.");
}

// Solver calls that report failure by status rather than by exception.
void require_ok(nb::handle status, const char* call);

nb::object record_repr(nb::handle self, const char* field, nb::handle value);

void init_adapter(nb::module_& m);
void init_highs(nb::module_& m);
void init_gurobi(nb::module_& m);

}  // namespace ostrel::bindings::engine::solvers
