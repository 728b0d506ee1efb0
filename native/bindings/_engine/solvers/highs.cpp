// HighsAdapter: compiled blocks into a highspy model with one addCols, one integrality change
// and one addRows per kind of row; caller variables read by one getCols.
#include <nanobind/nanobind.h>

#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/solvers/solvers.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"
#include "core/solvers/columns.hpp"

namespace ostrel::bindings::engine::solvers {

namespace {

namespace cs = core::solvers;

nb::object& model_of(nb::handle self) { return nb::cast<HighsAdapter&>(self).model; }

nb::object empty_int32() { return int32_array({}); }

void add_columns(nb::handle model, const Blocks& blocks) {
  cs::NewColumns c = cs::collect_columns(blocks.series);
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
  nb::object csr = csr_matrix(rows, num_cols);
  nb::object upper = float_array(rows->rhs);
  nb::object lower =
      is_equality ? upper : convert::to_numpy(std::vector<double>(m, -highs_host().k_inf));
  nb::handle int32 = arrays::dtype(arrays::DType::Int32);
  nb::object indptr = csr.attr("indptr");
  nb::object starts = indptr[nb::slice(nb::none(), nb::int_(-1), nb::none())].attr("astype")(
      int32, nb::arg("copy") = false);
  nb::object indices = csr.attr("indices").attr("astype")(int32, nb::arg("copy") = false);
  nb::object data = csr.attr("data");
  require_ok(model.attr("addRows")(m, lower, upper, nb::len(indices), starts, indices, data),
             "addRows");
}

void add_constraints(nb::handle model, const Blocks& blocks) {
  if (blocks.equalities) add_rows(model, blocks.equalities, true);
  if (blocks.inequalities) add_rows(model, blocks.inequalities, false);
}

nb::object to_series(nb::handle self, nb::handle variables) {
  nb::handle model = model_of(self);
  Variables v = sorted_variables(variables);
  const size_t n = v.variables.size();
  std::vector<int64_t> cols(n);
  for (size_t i = 0; i < n; ++i) cols[i] = index_of(v.variables[i]);
  const std::vector<int64_t> order = cs::ascending_order(cols);
  // A column the solver cannot even be asked about cannot be read either.
  if (!cs::fit_int32(cols)) core::value_error("failed to read column bounds");
  nb::object result = model.attr("getCols")(
      n, int32_array(cs::to_int32(cs::take(std::span<const int64_t>(cols), order))));
  nb::object status = result[0];
  if (!status.equal(nb::handle(highs_host().k_ok)))
    core::value_error("failed to read column bounds");
  nb::object keep_lb, keep_ub;
  // HiGHS answers an empty query with one placeholder entry: take the first n.
  auto lower = arrays::span_as<double>(result[3], keep_lb).first(n);
  auto upper = arrays::span_as<double>(result[4], keep_ub).first(n);
  return caller_series(std::move(cols), cs::scatter(lower, order), cs::scatter(upper, order),
                       highs_host().k_inf, v.index);
}

nb::dict to_variables(nb::handle self, nb::handle series) {
  nb::handle model = model_of(self);
  nb::handle highs_var = highs_host().highs_var;
  return pair_variables(series, [&](int64_t col) { return highs_var(col, model); });
}

}  // namespace

void init_highs(nb::module_& m) {
  nb::class_<HighsAdapter, SolverAdapter> c(m, "HighsAdapter", nb::type_slots(model_adapter_slots),
                                            "Adds compiled blocks to a highspy.Highs model.");
  c.def(
      "__init__",
      [](HighsAdapter* self, nb::handle model) {
        new (self) HighsAdapter();
        self->model = nb::borrow(model);
      },
      nb::arg("model"));
  c.def_prop_rw(
      "_model", [](nb::handle self) { return model_of(self); },
      [](nb::handle self, nb::handle model) { model_of(self) = nb::borrow(model); });
  c.def(
      "add_blocks",
      [](nb::handle self, nb::handle blocks) {
        Blocks b = read_blocks(blocks);
        add_columns(model_of(self), b);
        add_constraints(model_of(self), b);
      },
      nb::arg("blocks"));
  c.def("to_series", &to_series, nb::arg("variables"));
  c.def("to_variables", &to_variables, nb::arg("series"));
  c.def("get_next_available_col",
        [](nb::handle self) { return nb::int_(model_of(self).attr("getNumCol")()); });
  c.def(
      "_add_variables",
      [](nb::handle self, nb::handle blocks) { add_columns(model_of(self), read_blocks(blocks)); },
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
