#include "core/optimisation/compile_filters.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"
#include "core/optimisation/compile_arithmetic.hpp"

namespace ostrel::core::optimisation {

namespace {

// A one-sided clip with its row sets kept apart, so that a two-sided clip joins all of its
// rows in one copy.
struct OneSided {
  CompiledBlock block;  // without inequalities
  std::vector<ConstraintSeries> rows;
};

OneSided one_sided(const Operand& input, const Operand& limit, size_t n, int64_t start_col,
                   bool assume_convex, bool is_max) {
  require_variable(input.is_variable);
  require_columns(start_col, 2 * n);
  // Known limits with NaN steps: the input's own bound there, so the clip leaves it as it is.
  std::vector<double> filled;
  Operand l = limit;
  if (!limit.is_variable && limit.value.data) {
    filled.resize(n);
    for (size_t i = 0; i < n; ++i) {
      const double v = limit.value[i];
      filled[i] = std::isnan(v) ? (is_max ? input.lb(i) : input.ub(i)) : v;
    }
    l = Operand::of(PerStep::of(std::span<const double>(filled)));
  } else if (!limit.is_variable && std::isnan(limit.value.scalar)) {
    l = Operand::of(
        PerStep::of(std::span<const double>(is_max ? input.variable.lb : input.variable.ub)));
  }
  const Term x[] = {input.term()};
  const Term lim[] = {l.term()};
  require_finite_terms(lim[0], n, "Clip");
  std::vector<double> lb(n), ub(n);
  for (size_t i = 0; i < n; ++i) {
    lb[i] = is_max ? std::max(input.lb(i), l.lb(i)) : std::min(input.lb(i), l.lb(i));
    ub[i] = is_max ? std::max(input.ub(i), l.ub(i)) : std::min(input.ub(i), l.ub(i));
  }
  OneSided r;
  CompiledBlock& b = r.block;
  b.output.vars = continuous(start_col, std::move(lb), std::move(ub));
  validate(b.output.vars, n);
  const VariableSeries& out = b.output.vars;
  r.rows.reserve(4);
  r.rows.push_back(is_max ? ge_rows(out, x) : le_rows(out, x));
  r.rows.push_back(is_max ? ge_rows(out, lim) : le_rows(out, lim));
  if (!assume_convex) {
    VariableSeries pick = binary(start_col + static_cast<int64_t>(n), n);
    // The binary says which side the output equals: 0 the input, 1 the limit.
    r.rows.push_back(is_max ? le_when_rows(out, x, pick, false)
                            : ge_when_rows(out, x, pick, false));
    r.rows.push_back(is_max ? le_when_rows(out, lim, pick, true)
                            : ge_when_rows(out, lim, pick, true));
    b.auxiliaries.push_back({std::move(pick), std::nullopt});
  }
  return r;
}

// The row sets joined into the block's inequalities, checked finite.
CompiledBlock finish(CompiledBlock&& b, const std::vector<const ConstraintSeries*>& rows) {
  b.inequalities = concatenate(rows);
  require_finite(b, "Clip");
  return std::move(b);
}

std::vector<const ConstraintSeries*> pointers(const std::vector<ConstraintSeries>& rows) {
  std::vector<const ConstraintSeries*> out;
  for (const ConstraintSeries& r : rows) out.push_back(&r);
  return out;
}

}  // namespace

CompiledBlock compile_one_sided(const Operand& input, const Operand& limit, size_t n,
                                int64_t start_col, bool assume_convex, bool is_max) {
  OneSided r = one_sided(input, limit, n, start_col, assume_convex, is_max);
  return finish(std::move(r.block), pointers(r.rows));
}

CompiledBlock compile_clip(const Operand& input, const Operand* minimum, const Operand* maximum,
                           size_t n, int64_t start_col, bool assume_convex) {
  check(minimum || maximum, "");
  if (!minimum && !maximum) value_error("At least one of minimum or maximum must be provided");
  require_variable(input.is_variable);
  Operand lo = minimum ? *minimum : Operand{}, hi = maximum ? *maximum : Operand{};
  if (minimum && maximum && !lo.is_variable && !hi.is_variable && !lo.value.data &&
      !hi.value.data && lo.value.scalar > hi.value.scalar)
    std::swap(lo, hi);
  if (!maximum) return compile_one_sided(input, lo, n, start_col, assume_convex, true);
  if (!minimum) return compile_one_sided(input, hi, n, start_col, assume_convex, false);
  // As first.then(second), with every row set joined once.
  OneSided first = one_sided(input, lo, n, start_col, assume_convex, true);
  const Operand raised = Operand::of(first.block.output.vars);
  OneSided second =
      one_sided(raised, hi, n, first.block.next_available_col(), assume_convex, false);
  std::vector<const ConstraintSeries*> rows = pointers(first.rows);
  for (const ConstraintSeries& r : second.rows) rows.push_back(&r);
  return finish(then(std::move(first.block), std::move(second.block)), rows);
}

CompiledBlock compile_mask(const Operand& input, const Operand& replacement,
                           std::span<const uint8_t> holds, size_t n, int64_t start_col) {
  require_variable(input.is_variable || replacement.is_variable);
  require_columns(start_col, n);
  std::vector<uint8_t> replace(holds.begin(), holds.end());
  if (!input.is_variable)
    for (size_t i = 0; i < n; ++i) replace[i] = replace[i] && !std::isnan(input.value[i]);
  const std::vector<int64_t> at = positions_where(replace, true);
  const std::vector<int64_t> rest = positions_where(replace, false);
  const Gathered repl = gather_operand(replacement, at), kept = gather_operand(input, rest);
  const Term from_replacement[] = {repl.operand().term()};
  const Term from_input[] = {kept.operand().term()};
  require_finite_terms(from_replacement[0], at.size(), "Mask");
  require_finite_terms(from_input[0], rest.size(), "Mask");
  std::vector<double> lb(n), ub(n);
  for (size_t i = 0; i < n; ++i) {
    const Operand& src = replace[i] ? replacement : input;
    lb[i] = src.lb(i);
    ub[i] = src.ub(i);
  }
  CompiledBlock b;
  b.output.vars = continuous(start_col, std::move(lb), std::move(ub));
  validate(b.output.vars, n);
  const ConstraintSeries replaced = eq_rows(gather(b.output.vars, at), from_replacement);
  const ConstraintSeries unchanged = eq_rows(gather(b.output.vars, rest), from_input);
  b.equalities = join({&replaced, &unchanged});
  require_finite(b, "Mask");
  return b;
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Tier k holds lower(k) <= x < upper(k): a value on a boundary belongs to the tier above, as
// compute has it. A solver only knows closed sets and accepts rows violated by its feasibility
// tolerance (about 1e-7) and binaries a little off integer, so a tier's rows stop short of its
// upper boundary by a gap scaled to that boundary, far wider than those tolerances and far
// narrower than any metered quantity: the selector cannot sit on a boundary in the tier below.
constexpr double kTierGap = 1e-5;

struct Tiers {
  std::span<const double> boundaries;
  double lower(size_t k) const { return k == 0 ? -kInf : boundaries[k - 1]; }
  double upper(size_t k) const { return k == boundaries.size() ? kInf : boundaries[k]; }
  size_t count() const { return boundaries.size() + 1; }
  // Some value of [lb, ub] falls in tier k.
  bool feasible(size_t k, double lb, double ub) const { return lower(k) <= ub && upper(k) > lb; }
  // The largest selector value the rows of tier k admit within [lb, ub]: short of the upper
  // boundary by the gap, but never below the tier's lowest admitted value, which lies in
  // the tier (a tier narrower than the gap keeps its lower boundary).
  double top(size_t k, double lb, double ub) const {
    const double b = upper(k);
    const double edge = std::isinf(b) ? b : b - kTierGap * std::max(1.0, std::fabs(b));
    return std::max(std::max(lower(k), lb), std::min(edge, ub));
  }
};

}  // namespace

CompiledBlock compile_lookup(const VariableSeries& selector, std::span<const double> levels,
                             std::span<const double> boundaries, int64_t start_col) {
  const Tiers tiers{boundaries};
  const size_t n = selector.size(), k_count = tiers.count();
  if (levels.size() != k_count)
    value_error("len(levels) must be len(boundaries) + 1, got " + std::to_string(levels.size()) +
                " levels and " + std::to_string(boundaries.size()) + " boundaries");
  // The feasible tiers of every step, in step order and tier order within a step.
  std::vector<int64_t> pair_step, pair_tier, first_tier(n, -1);
  std::vector<size_t> feasible(n, 0);
  std::vector<double> lb(n, kInf), ub(n, -kInf);
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < k_count; ++k) {
      if (!tiers.feasible(k, selector.lb[i], selector.ub[i])) continue;
      if (feasible[i]++ == 0) first_tier[i] = static_cast<int64_t>(k);
      lb[i] = std::min(lb[i], levels[k]);
      ub[i] = std::max(ub[i], levels[k]);
      pair_step.push_back(static_cast<int64_t>(i));
      pair_tier.push_back(static_cast<int64_t>(k));
    }
    check(feasible[i] > 0, "Lookup: ≥1 feasible tier per step");
    if (feasible[i] == 0) value_error("Lookup: ≥1 feasible tier per step");
  }
  require_columns(start_col, n + pair_step.size());
  CompiledBlock b;
  b.output.vars = continuous(start_col, std::move(lb), std::move(ub));
  validate(b.output.vars, n);
  const VariableSeries& out = b.output.vars;
  std::vector<int64_t> single, multi;
  std::vector<double> single_level;
  for (size_t i = 0; i < n; ++i) {
    (feasible[i] == 1 ? single : multi).push_back(static_cast<int64_t>(i));
    if (feasible[i] == 1) single_level.push_back(levels[static_cast<size_t>(first_tier[i])]);
  }
  const ConstraintSeries fixed =
      eq_rows(gather(out, single), {}, PerStep::of(std::span<const double>(single_level)));
  if (multi.empty()) {
    b.equalities = fixed;
    require_finite(b, "Lookup");
    return b;
  }
  // Pairs of the steps with several tiers only, grouped by step (0..M-1 in step order).
  std::vector<int64_t> group, positions;
  std::vector<double> level, lo_edge, hi_edge;
  for (size_t p = 0, m = 0; p < pair_step.size(); ++p) {
    const size_t i = static_cast<size_t>(pair_step[p]), k = static_cast<size_t>(pair_tier[p]);
    if (feasible[i] == 1) continue;
    while (static_cast<size_t>(multi[m]) != i) ++m;
    group.push_back(static_cast<int64_t>(m));
    positions.push_back(static_cast<int64_t>(i));
    level.push_back(-levels[k]);
    // Edges clipped to the selector's own bounds keep every right side finite.
    lo_edge.push_back(std::max(tiers.lower(k), selector.lb[i]));
    hi_edge.push_back(tiers.top(k, selector.lb[i], selector.ub[i]));
  }
  VariableSeries picks = binary(start_col + static_cast<int64_t>(n), group.size());
  const GroupTermRef one[] = {{PerStep::of(1.0), picks.cols, group}};
  const ConstraintSeries one_per_step = group_rows(one, PerStep::of(1.0));
  const VariableSeries out_multi = gather(out, multi);
  const std::vector<int64_t> own = own_groups(multi.size());
  const GroupTermRef weighted[] = {
      {PerStep::of(1.0), out_multi.cols, own},
      {PerStep::of(std::span<const double>(level)), picks.cols, group}};
  const ConstraintSeries levels_rows = group_rows(weighted, PerStep::of(0.0));
  const VariableSeries sel = gather(selector, positions);
  const Term lo[] = {Operand::of(PerStep::of(std::span<const double>(lo_edge))).term()};
  const Term hi[] = {Operand::of(PerStep::of(std::span<const double>(hi_edge))).term()};
  const ConstraintSeries above = ge_when_rows(sel, lo, picks, true);
  const ConstraintSeries below = le_when_rows(sel, hi, picks, true);
  b.equalities = join({&fixed, &one_per_step, &levels_rows});
  b.inequalities = join({&above, &below});
  b.auxiliaries.push_back({std::move(picks), std::move(positions)});
  require_finite(b, "Lookup");
  return b;
}

}  // namespace ostrel::core::optimisation
