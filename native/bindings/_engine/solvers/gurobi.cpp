// GurobiAdapter: compiled blocks into a gurobipy model as one matrix variable and one matrix
// constraint per kind of row.
#include <nanobind/nanobind.h>

#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/solvers/solvers.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "core/solvers/columns.hpp"

namespace ostrel::bindings::engine::solvers {

namespace {

namespace cs = core::solvers;

nb::object& model_of(nb::handle self) { return nb::cast<GurobiAdapter&>(self).model; }

// The new columns as one matrix variable, or None when there are none.
nb::object add_variables(nb::handle model, const Blocks& blocks) {
  cs::NewColumns c = cs::collect_columns(blocks.series);
  const size_t n = c.size();
  if (n == 0) return nb::none();
  const GurobiHost& grb = gurobi_host();
  nb::object types =
      arrays::numpy().attr("where")(arrays::bool_array(std::move(c.is_integer)),
                                    nb::handle(grb.integer), nb::handle(grb.continuous));
  return model.attr("addMVar")(n, nb::arg("lb") = float_array(c.lb),
                               nb::arg("ub") = float_array(c.ub), nb::arg("vtype") = types);
}

void add_rows(nb::handle model, const std::shared_ptr<const co::ConstraintSeries>& rows,
              nb::handle variables, size_t num_vars, nb::handle sense) {
  model.attr("addMConstr")(csr_matrix(rows, num_vars), variables, sense, float_array(rows->rhs));
}

void add_constraints(nb::handle model, const Blocks& blocks, nb::handle all_variables) {
  if (!blocks.equalities && !blocks.inequalities) return;
  const GurobiHost& grb = gurobi_host();
  nb::object variables = nb::handle(grb.mvar).attr("fromlist")(all_variables);
  const size_t num_vars = nb::len(all_variables);
  if (blocks.equalities)
    add_rows(model, blocks.equalities, variables, num_vars, nb::handle(grb.equal));
  if (blocks.inequalities)
    add_rows(model, blocks.inequalities, variables, num_vars, nb::handle(grb.less_equal));
}

void add_blocks(nb::handle self, nb::handle blocks) {
  nb::handle model = model_of(self);
  Blocks b = read_blocks(blocks);
  model.attr("update")();
  nb::list all_variables(model.attr("getVars")());
  nb::object added = add_variables(model, b);
  if (!added.is_none())
    for (nb::handle v : added.attr("tolist")()) all_variables.append(v);
  add_constraints(model, b, all_variables);
  model.attr("update")();
}

nb::object to_series(nb::handle self, nb::handle variables) {
  nb::handle model = model_of(self);
  const double infinity = gurobi_host().infinity;
  model.attr("update")();
  Variables v = sorted_variables(variables);
  const size_t n = v.variables.size();
  std::vector<int64_t> cols(n);
  std::vector<double> lb(n), ub(n);
  for (size_t i = 0; i < n; ++i) {
    nb::handle var = v.variables[i];
    cols[i] = index_of(var);
    lb[i] = nb::cast<double>(var.attr("LB"));
    ub[i] = nb::cast<double>(var.attr("UB"));
  }
  return caller_series(std::move(cols), std::move(lb), std::move(ub), infinity, v.index);
}

nb::dict to_variables(nb::handle self, nb::handle series) {
  nb::list vars(model_of(self).attr("getVars")());
  const size_t count = nb::len(vars);
  return pair_variables(series, [&](int64_t col) {
    cs::require_column(col, count);
    return nb::object(vars[static_cast<size_t>(col)]);
  });
}

}  // namespace

void init_gurobi(nb::module_& m) {
  nb::class_<GurobiAdapter, SolverAdapter> c(m, "GurobiAdapter",
                                             nb::type_slots(model_adapter_slots),
                                             "Adds compiled blocks to a gurobipy model.");
  c.def(
      "__init__",
      [](GurobiAdapter* self, nb::handle model) {
        new (self) GurobiAdapter();
        self->model = nb::borrow(model);
      },
      nb::arg("model"));
  c.def_prop_rw(
      "_model", [](nb::handle self) { return model_of(self); },
      [](nb::handle self, nb::handle model) { model_of(self) = nb::borrow(model); });
  c.def("add_blocks", &add_blocks, nb::arg("blocks"));
  c.def("to_series", &to_series, nb::arg("variables"));
  c.def("to_variables", &to_variables, nb::arg("series"));
  c.def("get_next_available_col", [](nb::handle self) {
    nb::handle model = model_of(self);
    model.attr("update")();
    return nb::int_(model.attr("NumVars"));
  });
  c.def(
      "_add_variables",
      [](nb::handle self, nb::handle blocks) {
        return add_variables(model_of(self), read_blocks(blocks));
      },
      nb::arg("blocks"));
  c.def(
      "_add_constraints",
      [](nb::handle self, nb::handle blocks, nb::handle all_variables) {
        add_constraints(model_of(self), read_blocks(blocks), all_variables);
      },
      nb::arg("blocks"), nb::arg("all_variables"));
  c.def(
      "_add_rows",
      [](nb::handle self, nb::handle constraints, nb::handle variables, size_t num_vars,
         nb::handle sense) {
        add_rows(model_of(self), rows_of(constraints), variables, num_vars, sense);
      },
      nb::arg("constraints"), nb::arg("variables"), nb::arg("num_vars"), nb::arg("sense"));
  c.def("__repr__", [](nb::handle self) { return record_repr(self, "_model", model_of(self)); });
}

}  // namespace ostrel::bindings::engine::solvers
