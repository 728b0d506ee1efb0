#pragma once
// What every block compiler shares: its operands as the core reads them, the compiled block
// (columns placed on positions of a base time index, rows in coordinate form), chaining, the
// finiteness guard and the per-period grouping of a variable series.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/domain/units.hpp"
#include "core/optimisation/relations.hpp"
#include "core/optimisation/series.hpp"
#include "core/timeline/timeline.hpp"

namespace ostrel::core::optimisation {

// One operand of a compile: a variable series, or known values (one number, or one value per
// step of the variable operands).
struct Operand {
  bool is_variable = false;
  VarRef variable;
  PerStep value;

  static Operand of(const VariableSeries& v) { return {true, VarRef::of(v), {}}; }
  static Operand of(PerStep v) { return {false, {}, v}; }
  // As the factor of a term with the given coefficient.
  Term term(PerStep coef = PerStep::of(1.0)) const;
  // The bounds kernel: a variable's own bounds, a known value for both.
  double lb(size_t i) const { return is_variable ? variable.lb[i] : value[i]; }
  double ub(size_t i) const { return is_variable ? variable.ub[i] : value[i]; }
};

// A variable series of a compiled block, placed on the time index the bindings hand over
// (the input's, or the target periods' for Resample): its labels are the base index at
// `positions`, or the base index itself when `positions` is absent.
struct Placed {
  VariableSeries vars;
  std::optional<std::vector<int64_t>> positions;
};

struct CompiledBlock {
  Placed output;
  std::vector<Placed> auxiliaries;
  std::optional<ConstraintSeries> equalities;
  std::optional<ConstraintSeries> inequalities;

  // One more than the largest column of the output and the auxiliaries; 0 when none.
  int64_t next_available_col() const;
};

// `first` then `next` (which consumes first's output): next's output; first's output and
// auxiliaries, then next's, as auxiliaries; rows joined, first's before next's.
CompiledBlock then(CompiledBlock&& first, CompiledBlock&& next);

// Joins optional row blocks in order; none when all are absent.
std::optional<ConstraintSeries> join(std::initializer_list<const ConstraintSeries*> parts);

// A compile never hands a solver a non-finite number: ValueError naming the block otherwise.
void require_finite(const CompiledBlock& b, const std::string& block);

// The same guard on a term's known coefficients and values (over n steps).
void require_finite_terms(const Term& t, size_t n, const std::string& block);

// A start column and the number of columns a compile allocates must stay in range.
void require_columns(int64_t start_col, size_t count);

// Elements of a variable series grouped by the periods of a resolution: the period number of
// each element (ascending key order, 0..G-1) and the position of each period's first element.
struct PeriodGroups {
  std::vector<int64_t> allocation;
  std::vector<int64_t> first_position;
  size_t count() const { return first_position.size(); }
};
PeriodGroups period_groups(const timeline::Timeline& t, std::span<const int64_t> instants,
                           domain::Resolution r);
// The groups a caller gives as one label per variable (`variables` of them): labels must be
// the dense numbers 0..G-1.
PeriodGroups period_groups(std::span<const int64_t> allocation, size_t variables);

// Values of `groups` labels: each label g repeated counts[g] times, labels ascending.
std::vector<int64_t> repeat_labels(std::span<const int64_t> counts);

// The positions 0..n-1 where `mask` is (or is not) set.
std::vector<int64_t> positions_where(std::span<const uint8_t> mask, bool value);

// An operand taken at positions: variables gathered (columns shared), known values copied,
// a number left as it is. `operand()` refers into this record, so keep it in place.
struct Gathered {
  bool is_variable = false;
  VariableSeries vars;
  std::vector<double> values;
  bool is_number = false;
  double number = 0.0;
  Operand operand() const;
};
Gathered gather_operand(const Operand& x, std::span<const int64_t> positions);

// Shorthands over the relation builder, rhs 0: y = / <= / >= sum of the terms.
ConstraintSeries eq_rows(const VariableSeries& y, std::span<const Term> terms,
                         PerStep rhs = PerStep::of(0.0));
ConstraintSeries le_rows(const VariableSeries& y, std::span<const Term> terms);
ConstraintSeries ge_rows(const VariableSeries& y, std::span<const Term> terms);
ConstraintSeries le_when_rows(const VariableSeries& y, std::span<const Term> terms,
                              const VariableSeries& gate, bool when_one);
ConstraintSeries ge_when_rows(const VariableSeries& y, std::span<const Term> terms,
                              const VariableSeries& gate, bool when_one);
// One equality row per group over the group terms, each row's right side from `rhs`.
ConstraintSeries group_rows(std::span<const GroupTermRef> terms, PerStep rhs);

}  // namespace ostrel::core::optimisation
