// GurobiAdapter: compiled blocks into a gurobipy model as one matrix variable and one matrix
// constraint per kind of row.
#include <nanobind/nanobind.h>

#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/solvers/solvers.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/datetimes.hpp"
#include "bindings/common/errors.hpp"
#include "core/solvers/checks.hpp"
#include "core/solvers/columns.hpp"

namespace ostrel::bindings::engine::solvers {

namespace {

namespace cs = core::solvers;

nb::object& model_of(nb::handle self) { return nb::cast<GurobiAdapter&>(self).model; }

// The new columns as one matrix variable, or None when there are none.
nb::object add_variables(nb::handle model, cs::NewColumns&& c) {
  const size_t n = c.size();
  if (n == 0) return nb::none();
  const GurobiHost& grb = gurobi_host();
  nb::object types =
      arrays::numpy().attr("where")(arrays::bool_array(std::move(c.is_integer)),
                                    nb::handle(grb.integer), nb::handle(grb.continuous));
  return model.attr("addMVar")(n, nb::arg("lb") = float_array(c.lb),
                               nb::arg("ub") = float_array(c.ub), nb::arg("vtype") = types);
}

nb::object add_rows(nb::handle model, const std::shared_ptr<const co::ConstraintSeries>& rows,
                    nb::handle variables, size_t num_vars, nb::handle sense) {
  return model.attr("addMConstr")(csr_matrix(*rows, num_vars), variables, sense,
                                  float_array(rows->rhs));
}

// The matrix constraints added, each kept in `added` as soon as it exists.
void add_constraints(nb::handle model, const Blocks& blocks, nb::handle all_variables,
                     nb::list& added) {
  if (!blocks.equalities && !blocks.inequalities) return;
  const GurobiHost& grb = gurobi_host();
  nb::object variables = nb::handle(grb.mvar).attr("fromlist")(all_variables);
  const size_t num_vars = nb::len(all_variables);
  if (blocks.equalities)
    added.append(add_rows(model, blocks.equalities, variables, num_vars, nb::handle(grb.equal)));
  if (blocks.inequalities)
    added.append(
        add_rows(model, blocks.inequalities, variables, num_vars, nb::handle(grb.less_equal)));
}

// Removes what a failed add_blocks added. Best effort: the caller sees the error that made the
// call fail, not one of the clean-up.
void remove_added(nb::handle model, const nb::list& added) {
  try {
    for (nb::handle a : added) model.attr("remove")(a);
    model.attr("update")();
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("GurobiAdapter.add_blocks clean-up");
  }
}

// Everything is checked before the model changes; a solver failure after that undoes the
// additions, so a failed call leaves the model as it was.
void add_blocks(nb::handle self, nb::handle blocks) {
  nb::handle model = model_of(self);
  Blocks b = read_blocks(blocks);
  model.attr("update")();
  nb::list all_variables(model.attr("getVars")());
  const double infinity = gurobi_host().infinity;
  cs::NewColumns c =
      cs::checked_additions(b.series, b.equalities.get(), b.inequalities.get(),
                            static_cast<int64_t>(nb::len(all_variables)), {infinity, infinity});
  nb::list added;
  try {
    nb::object vars = add_variables(model, std::move(c));
    if (!vars.is_none()) {
      added.append(vars);
      for (nb::handle v : vars.attr("tolist")()) all_variables.append(v);
    }
    add_constraints(model, b, all_variables, added);
    model.attr("update")();
  } catch (...) {
    remove_added(model, added);
    throw;
  }
}

nb::object to_series(nb::handle self, nb::handle variables) {
  nb::handle model = model_of(self);
  const double infinity = gurobi_host().infinity;
  model.attr("update")();
  Variables v = sorted_variables(variables);
  const size_t n = v.variables.size();
  std::vector<int64_t> cols(n);
  std::vector<double> lb(n), ub(n);
  nb::list own(n ? model.attr("getVars")() : nb::list());
  const size_t count = nb::len(own);
  for (size_t i = 0; i < n; ++i) {
    nb::handle var = v.variables[i];
    cols[i] = index_of(var);
    // A variable of another model may share an index with one of this model's.
    if (cols[i] < 0 || static_cast<uint64_t>(cols[i]) >= count ||
        !nb::cast<bool>(own[static_cast<size_t>(cols[i])].attr("sameAs")(var)))
      cs::foreign_variable(convert::repr_of(v.keys[i]));
    lb[i] = nb::cast<double>(var.attr("LB"));
    ub[i] = nb::cast<double>(var.attr("UB"));
  }
  return caller_series(std::move(cols), std::move(lb), std::move(ub), infinity, v.index);
}

nb::dict to_variables(nb::handle self, nb::handle series, nb::handle keys) {
  nb::list vars(model_of(self).attr("getVars")());
  const size_t count = nb::len(vars);
  return pair_variables(series, keys, [&](int64_t col) {
    cs::require_column(col, count);
    return nb::object(vars[static_cast<size_t>(col)]);
  });
}

}  // namespace

void init_gurobi(nb::module_& m) {
  auto c =
      adapter_class<GurobiAdapter>(m, "GurobiAdapter", "Adds compiled blocks to a gurobipy model.",
                                   "def __init__(self, model: gurobipy.Model) -> None");
  c.def("add_blocks", &add_blocks, nb::arg("blocks"),
        nb::sig("def add_blocks(self, blocks: collections.abc.Sequence[FunctionBlock]) -> None"));
  def_series_methods(c, &to_series, &to_variables);
  c.def(
      "get_next_available_col",
      [](nb::handle self) {
        nb::handle model = model_of(self);
        model.attr("update")();
        return nb::int_(model.attr("NumVars"));
      },
      nb::sig("def get_next_available_col(self) -> int"));
  c.def(
      "_add_variables",
      [](nb::handle self, nb::handle blocks) {
        return add_variables(model_of(self), cs::collect_columns(read_blocks(blocks).series));
      },
      nb::arg("blocks"));
  c.def(
      "_add_constraints",
      [](nb::handle self, nb::handle blocks, nb::handle all_variables) {
        nb::list added;
        add_constraints(model_of(self), read_blocks(blocks), all_variables, added);
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
