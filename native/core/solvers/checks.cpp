#include "core/solvers/checks.hpp"

#include <cmath>
#include <string>

#include "core/common/errors.hpp"
#include "core/common/text.hpp"

namespace ostrel::core::solvers {

namespace {

std::string number(double x) { return repr_float(x); }

}  // namespace

void check_new_columns(const NewColumns& c, int64_t first_free) {
  for (size_t i = 0; i < c.size(); ++i) {
    const int64_t want = first_free + static_cast<int64_t>(i);
    if (c.cols[i] != want)
      value_error(
          "the blocks' columns must continue the model's columns without gaps or "
          "repeats: column " +
          std::to_string(want) + " expected, got " + std::to_string(c.cols[i]));
    if (std::isnan(c.lb[i]) || std::isnan(c.ub[i]) || c.lb[i] > c.ub[i])
      value_error("column " + std::to_string(want) + " has bounds " + number(c.lb[i]) + " and " +
                  number(c.ub[i]) + "; lb must be a number <= ub");
  }
}

void check_rows(const optimisation::ConstraintSeries& rows, size_t num_cols, bool is_equality,
                const Limits& limits) {
  const char* kind = is_equality ? "equality" : "inequality";
  for (size_t k = 0; k < rows.nnz(); ++k) {
    const int64_t col = rows.cols[k];
    // Composed only on failure: this loop runs over every entry of every call.
    auto where = [&] {
      return std::string(kind) + " row " + std::to_string(rows.rows[k]) + ", column " +
             std::to_string(col);
    };
    if (col < 0 || static_cast<uint64_t>(col) >= num_cols)
      value_error(where() + ": the column is not in the model (" + std::to_string(num_cols) +
                  " columns after the blocks' own)");
    const double a = rows.coefs[k];
    if (!(std::fabs(a) < limits.coef_limit))
      value_error(where() + ": coefficient " + number(a) + " is not a number below " +
                  number(limits.coef_limit) + " in magnitude");
  }
  for (size_t r = 0; r < rows.rhs.size(); ++r) {
    const double b = rows.rhs[r];
    const bool never_binds = !is_equality && b >= limits.rhs_limit;
    if (!never_binds && !(std::fabs(b) < limits.rhs_limit))
      value_error(std::string(kind) + " row " + std::to_string(r) + ": right-hand side " +
                  number(b) + " is not a number below " + number(limits.rhs_limit) +
                  " in magnitude");
  }
}

void foreign_variable(std::string_view key_repr) {
  value_error("the variable at " + std::string(key_repr) + " is not a column of this model");
}

void not_variable_series(std::string_view type_name) {
  fail(ErrorKind::Type, concat("expected a VariableSeries, got ", type_name));
}

void abstract_method(std::string_view method) {
  fail(ErrorKind::NotImplemented, concat("SolverAdapter.", method, " is abstract"));
}

void repeated_instant(std::string_view key_repr) {
  value_error("the series holds the instant " + std::string(key_repr) +
              " more than once; each instant maps to one variable");
}

NewColumns checked_additions(std::span<const optimisation::VariableSeries* const> series,
                             const optimisation::ConstraintSeries* equalities,
                             const optimisation::ConstraintSeries* inequalities, int64_t existing,
                             const Limits& limits) {
  NewColumns c = collect_columns(series);
  check_new_columns(c, existing);
  const size_t total = static_cast<size_t>(existing) + c.size();
  if (equalities) check_rows(*equalities, total, true, limits);
  if (inequalities) check_rows(*inequalities, total, false, limits);
  return c;
}

}  // namespace ostrel::core::solvers
