// What both adapters share: reading compiled blocks, the sparse matrix of their rows, the
// caller's variables in time order, and the abstract SolverAdapter.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/solvers/solvers.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/datetimes.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/common/arguments.hpp"
#include "core/solvers/checks.hpp"
#include "core/solvers/columns.hpp"
#include "core/solvers/csr.hpp"

namespace ostrel::bindings::engine::solvers {

namespace {

// The keys of a dict (borrowed from it) and, when asked, its values, with the keys' instants
// and their positions in time order.
struct TimeOrder {
  std::vector<nb::handle> keys;
  convert::Instants instants;
  std::vector<int64_t> order;

  std::vector<int64_t> sorted() const {
    return core::solvers::take(std::span<const int64_t>(instants.ns), order);
  }
};

TimeOrder time_order(nb::handle dict, std::vector<nb::object>* values = nullptr) {
  TimeOrder t;
  t.keys.reserve(static_cast<size_t>(PyDict_Size(dict.ptr())));
  // Borrowed pairs straight from the dict: no tuple per entry for the collector to track.
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict.ptr(), &pos, &key, &value)) {
    t.keys.push_back(key);
    if (values) values->push_back(nb::borrow(value));
  }
  t.instants = convert::datetime_instants(t.keys);
  t.order = core::solvers::ascending_order(t.instants.ns);
  return t;
}

const co::VariableSeries& series_of(nb::handle v) {
  const optim::VariableSeriesRecord* r = optim::as_variables(v);
  if (!r) core::solvers::not_variable_series(bindings::type_name(v));
  return *r->data;
}

std::shared_ptr<const co::ConstraintSeries> join(
    const std::vector<std::shared_ptr<const co::ConstraintSeries>>& parts) {
  if (parts.empty()) return nullptr;
  if (parts.size() == 1) return parts[0];
  std::vector<const co::ConstraintSeries*> ptrs;
  for (const auto& p : parts) ptrs.push_back(p.get());
  return std::make_shared<const co::ConstraintSeries>(co::concatenate(ptrs));
}

[[noreturn]] void abstract(const char* name) { core::solvers::abstract_method(name); }

}  // namespace

PyType_Slot* const model_adapter_slots =
    host::HeldObjectSlots<ModelAdapter, &ModelAdapter::model>::slots;

Blocks read_blocks(nb::handle blocks) {
  nb::handle block_type = engine::attr("FunctionBlock");
  Blocks out;
  std::vector<std::shared_ptr<const co::ConstraintSeries>> eqs, ineqs;
  for (nb::handle b : blocks) {
    if (!nb::isinstance(b, block_type))
      core::must_be("blocks", "FunctionBlock", bindings::type_name(b));
    out.held.push_back(nb::borrow(b));
    nb::object output = b.attr("output");
    out.series.push_back(&series_of(output));
    out.held.push_back(output);
    nb::object aux = b.attr("auxiliaries");
    out.held.push_back(aux);
    for (nb::handle a : aux) out.series.push_back(&series_of(a));
    nb::object e = b.attr("equalities"), i = b.attr("inequalities");
    if (!e.is_none()) eqs.push_back(rows_of(e));
    if (!i.is_none()) ineqs.push_back(rows_of(i));
  }
  out.equalities = join(eqs);
  out.inequalities = join(ineqs);
  return out;
}

std::shared_ptr<const co::ConstraintSeries> rows_of(nb::handle constraints) {
  const optim::ConstraintRecord* r = optim::as_constraints(constraints);
  if (!r) core::must_be("constraints", "a ConstraintSeries", bindings::type_name(constraints));
  return r->data;
}

nb::object csr_matrix(const co::ConstraintSeries& rows, size_t num_cols) {
  core::solvers::Csr csr = core::solvers::to_csr(rows, num_cols);
  nb::object shape = nb::make_tuple(rows.rhs.size(), num_cols);
  nb::object arrays =
      nb::make_tuple(convert::to_numpy(std::move(csr.values)), int32_array(std::move(csr.indices)),
                     int32_array(std::move(csr.starts)));
  return host::csr_array_type()(arrays, nb::arg("shape") = shape);
}

nb::object float_array(const std::vector<double>& values) {
  return convert::to_numpy(std::vector<double>(values));
}

nb::object int32_array(std::vector<int32_t>&& values) {
  return arrays::canonical(convert::to_numpy(std::move(values)), arrays::DType::Int32);
}

Variables sorted_variables(nb::handle mapping) {
  nb::object held = nb::borrow(mapping);
  if (!PyDict_Check(mapping.ptr()))
    held = nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type))(mapping.attr("items")());
  std::vector<nb::object> values;
  const TimeOrder t = time_order(held, &values);
  Variables out;
  out.variables.reserve(values.size());
  out.keys.reserve(values.size());
  for (int64_t i : t.order) {
    out.variables.push_back(values[static_cast<size_t>(i)]);
    out.keys.push_back(nb::borrow(t.keys[static_cast<size_t>(i)]));
  }
  out.index = convert::datetime_index(t.sorted(), t.instants.tz);
  return out;
}

int64_t index_of(nb::handle variable) {
  nb::object i = nb::steal(PyNumber_Index(variable.attr("index").ptr()));
  if (!i.is_valid()) throw nb::python_error();
  return nb::cast<int64_t>(i);
}

nb::object caller_series(std::vector<int64_t>&& cols, std::vector<double>&& lb,
                         std::vector<double>&& ub, double infinity, nb::object index) {
  core::solvers::require_finite_bounds(lb, ub, infinity);
  const size_t n = cols.size();
  co::VariableSeries v{std::move(cols), std::move(lb), std::move(ub), std::vector<uint8_t>(n, 0)};
  return optim::make_variables(std::move(v), std::move(index));
}

nb::object caller_keys(nb::handle series, nb::handle mappings) {
  const std::vector<int64_t> ns = convert::instants_ns(series.attr("index"));
  for (nb::handle mapping : mappings) {
    if (!PyDict_Check(mapping.ptr())) continue;
    const TimeOrder t = time_order(mapping);
    const std::optional<size_t> at = core::solvers::run_within(t.sorted(), ns);
    if (!at) continue;
    nb::list out;
    for (size_t i = 0; i < ns.size(); ++i) {
      nb::handle key = t.keys[static_cast<size_t>(t.order[*at + i])];
      if (!convert::is_plain_utc(key.ptr())) break;
      out.append(key);
    }
    if (nb::len(out) == ns.size()) return out;
  }
  return nb::none();
}

nb::dict pair_variables(nb::handle series, nb::handle keys,
                        const std::function<nb::object(int64_t)>& variable_at) {
  nb::object keep;
  auto cols = arrays::span_as<int64_t>(series.attr("cols"), keep);
  nb::object stamps =
      keys.is_none() ? convert::plain_datetimes(series.attr("index")) : nb::borrow(keys);
  core::solvers::require_pairing(nb::len(stamps), cols.size());
  nb::dict out;
  size_t i = 0;
  for (nb::handle stamp : stamps) {
    // Two entries at one instant would merge into one key, losing a variable.
    const int seen = PyDict_Contains(out.ptr(), stamp.ptr());
    if (seen < 0) throw nb::python_error();
    if (seen) core::solvers::repeated_instant(convert::repr_of(stamp));
    out[stamp] = variable_at(cols[i++]);
  }
  return out;
}

void require_ok(nb::handle status, const char* call) {
  if (status.equal(nb::handle(highs_host().k_ok))) return;
  core::solvers::solver_call_failed(call, nb::cast<std::string>(nb::str(status)));
}

nb::object record_repr(nb::handle self, const char* field, nb::handle value) {
  return optim::record_repr(self, {{field, value}});
}

void init_adapter(nb::module_& m) {
  nb::class_<SolverAdapter> c(m, "SolverAdapter",
                              "The interface of a solver model that receives compiled blocks.");
  c.def(nb::init<>());
  c.def(
      "add_blocks", [](nb::handle, nb::handle) { abstract("add_blocks"); },
      nb::arg("blocks").none(),
      nb::sig("def add_blocks(self, blocks: collections.abc.Sequence[FunctionBlock]) -> None"));
  c.def(
      "to_series", [](nb::handle, nb::handle) { abstract("to_series"); },
      nb::arg("variables").none(),
      nb::sig("def to_series(self, variables: collections.abc.Mapping[datetime.datetime, "
              "typing.Any]) -> VariableSeries"));
  c.def(
      "to_variables", [](nb::handle, nb::handle) { abstract("to_variables"); },
      nb::arg("series").none(),
      nb::sig("def to_variables(self, series: VariableSeries) -> "
              "dict[datetime.datetime, typing.Any]"));
  c.def(
      "get_next_available_col", [](nb::handle) { abstract("get_next_available_col"); },
      nb::sig("def get_next_available_col(self) -> int"));
}

}  // namespace ostrel::bindings::engine::solvers

namespace ostrel::bindings::engine {

void init_solvers(nb::module_& m) {
  solvers::init_adapter(m);
  solvers::init_highs(m);
  solvers::init_gurobi(m);
}

}  // namespace ostrel::bindings::engine
