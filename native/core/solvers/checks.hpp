#pragma once
// What add_blocks checks before it touches a model, so that a refused call leaves the model as
// it was: the new columns continue the model's columns, every number is one the solver takes,
// every row names columns the model will have.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/optimisation/series.hpp"
#include "core/solvers/columns.hpp"

namespace ostrel::core::solvers {

// The concatenated new columns must be exactly first_free, first_free + 1, ...: a gap, an
// overlap, a column the model already has or a series listed twice all break the
// correspondence between a series' columns and the model's, so each column would receive
// another's bounds. Bounds must be numbers with lb <= ub.
void check_new_columns(const NewColumns& c, int64_t first_free);

// The numbers a solver takes: coefficients below `coef_limit` in magnitude, right-hand sides
// below `rhs_limit` (the solver's infinity; an inequality's may be +infinity: it never binds).
struct Limits {
  double coef_limit;
  double rhs_limit;
};

// Every coefficient and right-hand side within `limits`, every column inside a model of
// `num_cols` columns.
void check_rows(const optimisation::ConstraintSeries& rows, size_t num_cols, bool is_equality,
                const Limits& limits);

// The new columns of a call's blocks, once they and the rows of both kinds (either may be
// null) are checked as above against a model that has `existing` columns.
NewColumns checked_additions(std::span<const optimisation::VariableSeries* const> series,
                             const optimisation::ConstraintSeries* equalities,
                             const optimisation::ConstraintSeries* inequalities, int64_t existing,
                             const Limits& limits);

// ValueError: the caller's variable at `key_repr` is not a column of the adapter's model.
[[noreturn]] void foreign_variable(std::string_view key_repr);
// ValueError: a series whose index holds one instant twice cannot become a map of instants.
[[noreturn]] void repeated_instant(std::string_view key_repr);
// TypeError "expected a VariableSeries, got <type>" for a block's output or auxiliary.
[[noreturn]] void not_variable_series(std::string_view type_name);
// NotImplementedError "SolverAdapter.<method> is abstract": every adapter overrides it.
[[noreturn]] void abstract_method(std::string_view method);

}  // namespace ostrel::core::solvers
