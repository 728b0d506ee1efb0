#include "core/optimisation/compile_select.hpp"

#include <algorithm>
#include <string>

#include "core/common/errors.hpp"
#include "core/kernels/kernels.hpp"
#include "core/optimisation/arguments.hpp"
#include "core/optimisation/compile_arithmetic.hpp"

namespace ostrel::core::optimisation {

CompiledBlock compile_select_steps(const VariableSeries& input, std::span<const uint8_t> keep,
                                   int64_t start_col) {
  if (keep.size() != input.size())
    value_error("condition mask has " + std::to_string(keep.size()) + " elements for " +
                std::to_string(input.size()) + " steps");
  std::vector<int64_t> at = positions_where(keep, true);
  const VariableSeries kept = gather(input, at);
  const Term terms[] = {Operand::of(kept).term()};
  // An empty selection still has a (columnless) variable operand.
  require_columns(start_col, kept.size());
  LinearCombination lc = linear_combination(terms, kept.size(), start_col);
  CompiledBlock b;
  b.output.vars = std::move(lc.output);
  b.output.positions = std::move(at);
  b.equalities = std::move(lc.equalities);
  return b;
}

Slots Slots::for_groups(const VariableSeries& input, const PeriodGroups& groups, int64_t n,
                        bool is_highest, int64_t start_col) {
  Slots s;
  s.is_highest = is_highest;
  const size_t periods = groups.count();
  const std::vector<int64_t> counts =
      groups.allocation.empty() ? std::vector<int64_t>() : kernels::group_count(groups.allocation);
  s.n_per_group.resize(periods);
  for (size_t g = 0; g < periods; ++g) s.n_per_group[g] = std::min(n, counts[g]);
  s.slot_to_group = repeat_labels(s.n_per_group);
  std::vector<double> lo, hi;
  if (periods) {
    lo = kernels::group_min(input.lb, groups.allocation);
    hi = kernels::group_max(input.ub, groups.allocation);
  }
  const size_t slots = s.slot_to_group.size();
  std::vector<double> lb(slots), ub(slots);
  s.w_positions.resize(slots);
  for (size_t k = 0; k < slots; ++k) {
    const size_t g = static_cast<size_t>(s.slot_to_group[k]);
    lb[k] = lo[g];
    ub[k] = hi[g];
    s.w_positions[k] = groups.first_position[g];
  }
  s.w = continuous(start_col, std::move(lb), std::move(ub));
  s.threshold_positions.resize(periods);
  int64_t offset = 0;
  for (size_t g = 0; g < periods; ++g) {
    s.threshold_positions[g] = offset;
    offset += s.n_per_group[g];
  }
  s.thresholds = gather(s.w, s.threshold_positions);
  return s;
}

namespace {

Term var(const VariableSeries& v, double coef = 1.0) {
  return Operand::of(v).term(PerStep::of(coef));
}

}  // namespace

SlotRows linear_base_constraints(const Slots& slots, const VariableSeries& input,
                                 const PeriodGroups& groups, const VariableSeries& z) {
  // Every slot with a successor in its period, and that successor.
  std::vector<int64_t> first, second;
  for (size_t k = 0; k + 1 < slots.slot_to_group.size(); ++k)
    if (slots.slot_to_group[k] == slots.slot_to_group[k + 1]) {
      first.push_back(static_cast<int64_t>(k));
      second.push_back(static_cast<int64_t>(k + 1));
    }
  const VariableSeries next = gather(slots.w, second);
  const Term successor[] = {var(next)};
  const VariableSeries slot = gather(slots.w, first);
  const ConstraintSeries order =
      slots.is_highest ? le_rows(slot, successor) : ge_rows(slot, successor);
  // Each step's excess over (highest) or under (lowest) its period's threshold.
  const VariableSeries t = gather(slots.thresholds, groups.allocation);
  const Term above[] = {var(input), var(t, -1.0)};
  const Term below[] = {var(t), var(input, -1.0)};
  const ConstraintSeries excess = ge_rows(z, slots.is_highest ? above : below);
  const std::vector<double> minus_n = [&] {
    std::vector<double> v(slots.n_per_group.size());
    for (size_t g = 0; g < v.size(); ++g) v[g] = -static_cast<double>(slots.n_per_group[g]);
    return v;
  }();
  const std::vector<int64_t> own = own_groups(groups.count());
  const GroupTermRef sum[] = {
      {PerStep::of(1.0), slots.w.cols, slots.slot_to_group},
      {PerStep::of(std::span<const double>(minus_n)), slots.thresholds.cols, own},
      {PerStep::of(slots.is_highest ? -1.0 : 1.0), z.cols, groups.allocation}};
  SlotRows r;
  r.equalities = group_rows(sum, PerStep::of(0.0));
  r.inequalities = *join({&order, &excess});
  return r;
}

SlotRows milp_brackets(const Slots& slots, const VariableSeries& input, const PeriodGroups& groups,
                       const VariableSeries& z, const VariableSeries& delta) {
  std::vector<double> n_as_float(slots.n_per_group.begin(), slots.n_per_group.end());
  const GroupTermRef picks[] = {{PerStep::of(1.0), delta.cols, groups.allocation}};
  SlotRows r;
  r.equalities = group_rows(picks, PerStep::of(std::span<const double>(n_as_float)));
  const VariableSeries t = gather(slots.thresholds, groups.allocation);
  const Term threshold[] = {var(t)};
  const Term above[] = {var(input), var(t, -1.0)};
  const Term below[] = {var(t), var(input, -1.0)};
  const bool hi = slots.is_highest;
  // Selected steps lie on the threshold's far side, the others on its near side.
  const ConstraintSeries selected = hi ? ge_when_rows(input, threshold, delta, true)
                                       : le_when_rows(input, threshold, delta, true);
  const ConstraintSeries others = hi ? le_when_rows(input, threshold, delta, false)
                                     : ge_when_rows(input, threshold, delta, false);
  // The excess is exactly the distance for a selected step and 0 for the others.
  const ConstraintSeries excess = le_when_rows(z, hi ? above : below, delta, true);
  const ConstraintSeries none = le_when_rows(z, {}, delta, false);
  r.inequalities = *join({&selected, &others, &excess, &none});
  return r;
}

CompiledBlock compile_select_extremes(const VariableSeries& input, const PeriodGroups& groups,
                                      int64_t n, bool is_highest, int64_t start_col,
                                      bool assume_convex) {
  if (n <= 0) value_error("n must be greater than 0, got " + std::to_string(n));
  const size_t steps = input.size();
  require_columns(start_col, std::min<size_t>(steps, static_cast<size_t>(n)) + 2 * steps + steps);
  Slots slots = Slots::for_groups(input, groups, n, is_highest, start_col);
  double spread = 0.0;
  if (steps) {
    const auto [lo, hi] = std::pair{*std::min_element(input.lb.begin(), input.lb.end()),
                                    *std::max_element(input.ub.begin(), input.ub.end())};
    spread = hi - lo;
  }
  const int64_t z_start = start_col + static_cast<int64_t>(slots.w.size());
  VariableSeries z =
      continuous(z_start, std::vector<double>(steps, 0.0), std::vector<double>(steps, spread));
  SlotRows base = linear_base_constraints(slots, input, groups, z);
  CompiledBlock b;
  b.output.vars = slots.w;
  b.output.positions = slots.w_positions;
  if (assume_convex) {
    b.equalities = std::move(base.equalities);
    b.inequalities = std::move(base.inequalities);
  } else {
    VariableSeries delta = binary(z_start + static_cast<int64_t>(steps), steps);
    SlotRows brackets = milp_brackets(slots, input, groups, z, delta);
    b.equalities = join({&base.equalities, &brackets.equalities});
    b.inequalities = join({&base.inequalities, &brackets.inequalities});
    b.auxiliaries.push_back({std::move(z), std::nullopt});
    b.auxiliaries.push_back({std::move(delta), std::nullopt});
    require_finite(b, "Select");
    return b;
  }
  b.auxiliaries.push_back({std::move(z), std::nullopt});
  require_finite(b, "Select");
  return b;
}

}  // namespace ostrel::core::optimisation
