#pragma once
// Builders of linear relations over variable series, in bulk: every row of a relation is one
// time step, so a whole series of rows is one pass over contiguous arrays.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/kernels/kernels.hpp"
#include "core/optimisation/series.hpp"

namespace ostrel::core::optimisation {

using kernels::PerStep;

// A variable series as read by the builders (spans into a record's arrays).
struct VarRef {
  std::span<const int64_t> cols;
  std::span<const double> lb;
  std::span<const double> ub;

  static VarRef of(const VariableSeries& v) { return {v.cols, v.lb, v.ub}; }
};

// coef x factor, per step; the factor is either a variable series or a known value.
struct Term {
  PerStep coef;
  bool is_variable = false;
  VarRef variable;
  PerStep constant;
};

// y sign-relates to sum(coef x factor) + rhs, row i per step i:
//   sign*y_i - sign*sum(coef_i*x_i) <op> sign*rhs_i + sign*sum(coef_i*constant_i)
// Row i holds y's column, then each variable term's, in term order.
ConstraintSeries relation(const VarRef& y, double sign, PerStep rhs, std::span<const Term> terms);

// The relation (rhs 0) enforced only where the binary gate equals `when_one ? 1 : 0`: the gate
// column is appended to every row with a big-M coefficient taken from the variables' bounds.
ConstraintSeries gated_relation(const VarRef& y, double sign, std::span<const Term> terms,
                                std::span<const int64_t> gate_cols, bool when_one);

struct LinearCombination {
  VariableSeries output;
  ConstraintSeries equalities;
};

// A new continuous column per step (from start_col), bounded by interval arithmetic, equal to
// sum(coef x factor). At least one term must be a variable of length n.
LinearCombination linear_combination(std::span<const Term> terms, size_t n, int64_t start_col);

// One addend of a per-group sum: coef x each variable, in the row of its group label.
struct GroupTermRef {
  PerStep coef;  // per variable
  std::span<const int64_t> cols;
  std::span<const int64_t> allocation;
};

struct GroupRows {
  ConstraintSeries rows;  // rhs left empty
  size_t groups = 0;      // distinct labels occurring
};

GroupRows sum_per_group(std::span<const GroupTermRef> terms);

}  // namespace ostrel::core::optimisation
