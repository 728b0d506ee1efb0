#include "core/optimisation/compile_common.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"

namespace ostrel::core::optimisation {

Term Operand::term(PerStep coef) const {
  Term t;
  t.coef = coef;
  t.is_variable = is_variable;
  if (is_variable)
    t.variable = variable;
  else
    t.constant = value;
  return t;
}

int64_t CompiledBlock::next_available_col() const {
  int64_t next = output.vars.next_col();
  for (const Placed& a : auxiliaries) next = std::max(next, a.vars.next_col());
  return next;
}

std::optional<ConstraintSeries> join(std::initializer_list<const ConstraintSeries*> parts) {
  std::vector<const ConstraintSeries*> present;
  for (const ConstraintSeries* p : parts)
    if (p) present.push_back(p);
  if (present.empty()) return std::nullopt;
  if (present.size() == 1) return *present.front();
  return concatenate(present);
}

namespace {
const ConstraintSeries* ptr(const std::optional<ConstraintSeries>& c) { return c ? &*c : nullptr; }
}  // namespace

CompiledBlock then(CompiledBlock&& first, CompiledBlock&& next) {
  CompiledBlock out;
  out.output = std::move(next.output);
  out.auxiliaries.reserve(1 + first.auxiliaries.size() + next.auxiliaries.size());
  out.auxiliaries.push_back(std::move(first.output));
  for (Placed& a : first.auxiliaries) out.auxiliaries.push_back(std::move(a));
  for (Placed& a : next.auxiliaries) out.auxiliaries.push_back(std::move(a));
  out.equalities = join({ptr(first.equalities), ptr(next.equalities)});
  out.inequalities = join({ptr(first.inequalities), ptr(next.inequalities)});
  return out;
}

namespace {
bool all_finite(std::span<const double> xs) {
  for (double x : xs)
    if (!std::isfinite(x)) return false;
  return true;
}

[[noreturn]] void not_finite(const std::string& block) {
  value_error(block +
              ": an operand is not finite (NaN or infinite); compiled rows need finite "
              "coefficients and right sides");
}

bool finite_per_step(PerStep v, size_t n) {
  if (!v.data) return std::isfinite(v.scalar);
  return all_finite(std::span<const double>(v.data, n));
}
}  // namespace

void require_finite(const CompiledBlock& b, const std::string& block) {
  for (const auto* rows : {ptr(b.equalities), ptr(b.inequalities)}) {
    if (!rows) continue;
    if (!all_finite(rows->coefs) || !all_finite(rows->rhs)) not_finite(block);
  }
}

void require_finite_terms(const Term& t, size_t n, const std::string& block) {
  if (!finite_per_step(t.coef, n)) not_finite(block);
  if (!t.is_variable && !finite_per_step(t.constant, n)) not_finite(block);
}

void require_columns(int64_t start_col, size_t count) {
  if (start_col < 0)
    value_error("next_available_col must be >= 0, got " + std::to_string(start_col));
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 4;
  if (start_col > kMax - static_cast<int64_t>(count))
    value_error("next_available_col is too large: " + std::to_string(start_col));
}

PeriodGroups period_groups(const timeline::Timeline& t, std::span<const int64_t> instants,
                           domain::Resolution r) {
  const timeline::Grouping g = t.group(instants, r);
  if (g.members() != instants.size())
    value_error("every variable must fall in a period of the timeline");
  // Groups come numbered in key order, which on the day the clocks go back puts the second
  // 02:00 hour (smaller UTC offset) before the first. Compiled periods are numbered in the
  // timeline's row order instead, as compute labels them, so that a later block pairing its
  // operands by position meets the right period.
  const timeline::PeriodIndex& p = t.periods(r);
  const size_t k = g.size();
  std::vector<int64_t> order(k);
  for (size_t j = 0; j < k; ++j) order[j] = static_cast<int64_t>(j);
  auto row_rank = [&](int64_t j) {
    return p.position_of_group(static_cast<size_t>(g.period_of_group[static_cast<size_t>(j)]));
  };
  const bool in_row_order = std::is_sorted(
      order.begin(), order.end(), [&](int64_t a, int64_t b) { return row_rank(a) < row_rank(b); });
  PeriodGroups out;
  if (in_row_order) {
    out.allocation.assign(g.group.begin(), g.group.end());
    out.first_position = g.first_position;
    return out;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](int64_t a, int64_t b) { return row_rank(a) < row_rank(b); });
  std::vector<int64_t> renumber(k);
  out.first_position.resize(k);
  for (size_t j = 0; j < k; ++j) {
    renumber[static_cast<size_t>(order[j])] = static_cast<int64_t>(j);
    out.first_position[j] = g.first_position[static_cast<size_t>(order[j])];
  }
  out.allocation.resize(g.members());
  for (size_t i = 0; i < g.members(); ++i)
    out.allocation[i] = renumber[static_cast<size_t>(g.group[i])];
  return out;
}

PeriodGroups period_groups(std::span<const int64_t> allocation, size_t variables) {
  if (allocation.size() != variables)
    value_error("Groups.allocation must have one label per variable");
  PeriodGroups g;
  g.allocation.assign(allocation.begin(), allocation.end());
  g.first_position = first_positions(allocation);
  return g;
}

std::vector<int64_t> repeat_labels(std::span<const int64_t> counts) {
  std::vector<int64_t> out;
  size_t total = 0;
  for (int64_t c : counts) total += static_cast<size_t>(c);
  out.reserve(total);
  for (size_t g = 0; g < counts.size(); ++g)
    out.insert(out.end(), static_cast<size_t>(counts[g]), static_cast<int64_t>(g));
  return out;
}

std::vector<int64_t> positions_where(std::span<const uint8_t> mask, bool value) {
  std::vector<int64_t> out;
  for (size_t i = 0; i < mask.size(); ++i)
    if ((mask[i] != 0) == value) out.push_back(static_cast<int64_t>(i));
  return out;
}

Operand Gathered::operand() const {
  if (is_variable) return Operand::of(vars);
  if (is_number) return Operand::of(PerStep::of(number));
  return Operand::of(PerStep::of(std::span<const double>(values)));
}

Gathered gather_operand(const Operand& x, std::span<const int64_t> positions) {
  Gathered g;
  g.is_variable = x.is_variable;
  if (x.is_variable) {
    const size_t k = positions.size();
    g.vars.cols.resize(k);
    g.vars.lb.resize(k);
    g.vars.ub.resize(k);
    g.vars.is_integer.assign(k, 0);
    for (size_t j = 0; j < k; ++j) {
      const size_t i = static_cast<size_t>(positions[j]);
      g.vars.cols[j] = x.variable.cols[i];
      g.vars.lb[j] = x.variable.lb[i];
      g.vars.ub[j] = x.variable.ub[i];
    }
  } else if (!x.value.data) {
    g.is_number = true;
    g.number = x.value.scalar;
  } else {
    g.values.resize(positions.size());
    for (size_t k = 0; k < positions.size(); ++k)
      g.values[k] = x.value[static_cast<size_t>(positions[k])];
  }
  return g;
}

ConstraintSeries eq_rows(const VariableSeries& y, std::span<const Term> terms, PerStep rhs) {
  return relation(VarRef::of(y), 1.0, rhs, terms);
}
ConstraintSeries le_rows(const VariableSeries& y, std::span<const Term> terms) {
  return relation(VarRef::of(y), 1.0, PerStep::of(0.0), terms);
}
ConstraintSeries ge_rows(const VariableSeries& y, std::span<const Term> terms) {
  return relation(VarRef::of(y), -1.0, PerStep::of(0.0), terms);
}
ConstraintSeries le_when_rows(const VariableSeries& y, std::span<const Term> terms,
                              const VariableSeries& gate, bool when_one) {
  return gated_relation(VarRef::of(y), 1.0, terms, gate.cols, when_one);
}
ConstraintSeries ge_when_rows(const VariableSeries& y, std::span<const Term> terms,
                              const VariableSeries& gate, bool when_one) {
  return gated_relation(VarRef::of(y), -1.0, terms, gate.cols, when_one);
}

ConstraintSeries group_rows(std::span<const GroupTermRef> terms, PerStep rhs) {
  GroupRows g = sum_per_group(terms);
  g.rows.rhs.resize(g.groups);
  for (size_t k = 0; k < g.groups; ++k) g.rows.rhs[k] = rhs[k];
  validate(g.rows);
  return std::move(g.rows);
}

}  // namespace ostrel::core::optimisation
