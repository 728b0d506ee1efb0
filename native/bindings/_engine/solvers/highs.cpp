// HighsAdapter: compiled blocks into a highspy model with one addCols, one integrality change
// and one addRows per kind of row; caller variables read by one getCols.
#include <nanobind/nanobind.h>

#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/solvers/solvers.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/datetimes.hpp"
#include "bindings/common/errors.hpp"
#include "core/solvers/checks.hpp"
#include "core/solvers/columns.hpp"
#include "core/solvers/csr.hpp"

namespace ostrel::bindings::engine::solvers {

namespace {

namespace cs = core::solvers;

nb::object& model_of(nb::handle self) { return nb::cast<HighsAdapter&>(self).model; }

nb::object empty_int32() { return int32_array({}); }

void add_columns(nb::handle model, cs::NewColumns&& c) {
  const size_t n = c.size();
  if (n == 0) return;
  require_ok(model.attr("addCols")(n, convert::to_numpy(std::vector<double>(n, 0.0)),
                                   float_array(c.lb), float_array(c.ub), 0, empty_int32(),
                                   empty_int32(), convert::to_numpy(std::vector<double>())),
             "addCols");
  const size_t k = c.integer_cols.size();
  if (k == 0) return;
  std::vector<uint8_t> types(k, highs_host().k_integer);
  require_ok(model.attr("changeColsIntegrality")(k, int32_array(std::move(c.integer_cols)),
                                                 convert::to_numpy(std::move(types))),
             "changeColsIntegrality");
}

void add_rows(nb::handle model, const std::shared_ptr<const co::ConstraintSeries>& rows,
              bool is_equality) {
  const size_t m = rows->rhs.size();
  const size_t num_cols = nb::cast<size_t>(model.attr("getNumCol")());
  cs::Csr csr = cs::to_csr(*rows, num_cols);
  const size_t nnz = csr.nnz();
  csr.starts.pop_back();  // the solver takes each row's start, not the end of the last
  nb::object upper = float_array(rows->rhs);
  nb::object lower =
      is_equality ? upper : convert::to_numpy(std::vector<double>(m, -highs_host().k_inf));
  require_ok(model.attr("addRows")(m, lower, upper, nnz, int32_array(std::move(csr.starts)),
                                   int32_array(std::move(csr.indices)),
                                   convert::to_numpy(std::move(csr.values))),
             "addRows");
}

void add_constraints(nb::handle model, const Blocks& blocks) {
  if (blocks.equalities) add_rows(model, blocks.equalities, true);
  if (blocks.inequalities) add_rows(model, blocks.inequalities, false);
}

int64_t count(nb::handle model, const char* getter) {
  return nb::cast<int64_t>(model.attr(getter)());
}

// Removes what a failed add_blocks added after `cols` columns and `rows` rows. Best effort: the
// caller sees the error that made the call fail, not one of the clean-up.
void remove_added(nb::handle model, int64_t cols, int64_t rows) {
  auto remove = [&](const char* getter, const char* deleter, int64_t from) {
    std::vector<int32_t> added = cs::added_positions(from, count(model, getter));
    if (!added.empty()) model.attr(deleter)(added.size(), int32_array(std::move(added)));
  };
  try {
    remove("getNumRow", "deleteRows", rows);
    remove("getNumCol", "deleteCols", cols);
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("HighsAdapter.add_blocks clean-up");
  }
}

// The solver's own limits: coefficients from large_matrix_value on are refused by addRows,
// bounds from infinite_bound on count as infinite.
cs::Limits limits_of(nb::handle model) {
  auto option = [&](const char* name) {
    nb::object v = model.attr("getOptionValue")(name);
    if (nb::isinstance<nb::tuple>(v)) {  // (status, value)
      require_ok(v[0], "getOptionValue");
      v = v[1];
    }
    return nb::cast<double>(v);
  };
  return {option("large_matrix_value"), option("infinite_bound")};
}

// Everything is checked before the model changes; a solver failure after that undoes the
// additions, so a failed call leaves the model as it was.
void add_blocks(nb::handle model, nb::handle blocks) {
  Blocks b = read_blocks(blocks);
  const int64_t cols = count(model, "getNumCol"), rows = count(model, "getNumRow");
  cs::NewColumns c = cs::checked_additions(b.series, b.equalities.get(), b.inequalities.get(), cols,
                                           limits_of(model));
  try {
    add_columns(model, std::move(c));
    add_constraints(model, b);
  } catch (...) {
    remove_added(model, cols, rows);
    throw;
  }
}

// Whether a caller's variable was made for `model`: a highs_var keeps its model behind a weak
// proxy, which is followed here.
bool belongs_to(nb::handle var, nb::handle model) {
  if (!nb::hasattr(var, "highs")) return false;
  nb::object owner = var.attr("highs");
  if (!PyWeakref_CheckProxy(owner.ptr())) return owner.is(model);
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* target = nullptr;
  if (PyWeakref_GetRef(owner.ptr(), &target) < 0) throw nb::python_error();
  nb::object held = nb::steal(target);
  return held.is_valid() && held.is(model);
#else
  return nb::handle(PyWeakref_GetObject(owner.ptr())).is(model);
#endif
}

nb::object to_series(nb::handle self, nb::handle variables) {
  nb::handle model = model_of(self);
  Variables v = sorted_variables(variables);
  const size_t n = v.variables.size();
  std::vector<int64_t> cols(n);
  for (size_t i = 0; i < n; ++i) {
    if (!belongs_to(v.variables[i], model)) cs::foreign_variable(convert::repr_of(v.keys[i]));
    cols[i] = index_of(v.variables[i]);
  }
  const std::vector<int64_t> order = cs::ascending_order(cols);
  // A column the solver cannot even be asked about cannot be read either.
  if (!cs::fit_int32(cols)) cs::bounds_unreadable();
  nb::object result = model.attr("getCols")(
      n, int32_array(cs::to_int32(cs::take(std::span<const int64_t>(cols), order))));
  nb::object status = result[0];
  if (!status.equal(nb::handle(highs_host().k_ok))) cs::bounds_unreadable();
  nb::object keep_lb, keep_ub;
  // HiGHS answers an empty query with one placeholder entry: take the first n.
  auto lower = arrays::span_as<double>(result[3], keep_lb).first(n);
  auto upper = arrays::span_as<double>(result[4], keep_ub).first(n);
  return caller_series(std::move(cols), cs::scatter(lower, order), cs::scatter(upper, order),
                       highs_host().k_inf, v.index);
}

nb::dict to_variables(nb::handle self, nb::handle series, nb::handle keys) {
  nb::handle model = model_of(self);
  HighsVars highs_var(model);
  const size_t count = nb::cast<size_t>(model.attr("getNumCol")());
  return pair_variables(series, keys, [&](int64_t col) {
    cs::require_column(col, count);
    return highs_var(col);
  });
}

}  // namespace

void init_highs(nb::module_& m) {
  auto c = adapter_class<HighsAdapter>(m, "HighsAdapter",
                                       "Adds compiled blocks to a highspy.Highs model.",
                                       "def __init__(self, model: highspy.Highs) -> None");
  c.def(
      "add_blocks", [](nb::handle self, nb::handle blocks) { add_blocks(model_of(self), blocks); },
      nb::arg("blocks"),
      nb::sig("def add_blocks(self, blocks: collections.abc.Sequence[FunctionBlock]) -> None"));
  def_series_methods(c, &to_series, &to_variables);
  c.def(
      "get_next_available_col",
      [](nb::handle self) { return nb::int_(model_of(self).attr("getNumCol")()); },
      nb::sig("def get_next_available_col(self) -> int"));
  c.def(
      "_add_variables",
      [](nb::handle self, nb::handle blocks) {
        add_columns(model_of(self), cs::collect_columns(read_blocks(blocks).series));
      },
      nb::arg("blocks"));
  c.def(
      "_add_constraints",
      [](nb::handle self, nb::handle blocks) {
        add_constraints(model_of(self), read_blocks(blocks));
      },
      nb::arg("blocks"));
  c.def(
      "_add_rows",
      [](nb::handle self, nb::handle constraints, bool is_equality) {
        add_rows(model_of(self), rows_of(constraints), is_equality);
      },
      nb::arg("constraints"), nb::arg("is_equality"));
  c.def("__repr__", [](nb::handle self) { return record_repr(self, "_model", model_of(self)); });
}

}  // namespace ostrel::bindings::engine::solvers
