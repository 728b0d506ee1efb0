#include "core/optimisation/compile_periods.hpp"

#include <string>
#include <vector>

#include "core/common/errors.hpp"
#include "core/kernels/kernels.hpp"
#include "core/optimisation/arguments.hpp"
#include "core/optimisation/compile_arithmetic.hpp"

namespace ostrel::core::optimisation {

namespace {

// Per-period extremum of `values` (max when is_max), an empty result for no members.
std::vector<double> extremum(std::span<const double> values, std::span<const int64_t> ids,
                             bool is_max) {
  if (ids.empty()) return {};
  return is_max ? kernels::group_max(values, ids) : kernels::group_min(values, ids);
}

CompiledBlock linear_form(const VariableSeries& input, const PeriodGroups& g, bool mean,
                          int64_t start_col) {
  const size_t periods = g.count(), n = input.size();
  std::vector<double> lb = kernels::group_sum(input.lb, g.allocation);
  std::vector<double> ub = kernels::group_sum(input.ub, g.allocation);
  lb.resize(periods, 0.0);
  ub.resize(periods, 0.0);
  std::vector<double> weight(n, 1.0);
  if (mean) {
    const std::vector<int64_t> counts = kernels::group_count(g.allocation);
    for (size_t p = 0; p < periods; ++p) {
      lb[p] /= static_cast<double>(counts[p]);
      ub[p] /= static_cast<double>(counts[p]);
    }
    for (size_t i = 0; i < n; ++i)
      weight[i] = 1.0 / static_cast<double>(counts[static_cast<size_t>(g.allocation[i])]);
  }
  for (double& w : weight) w = -w;
  CompiledBlock b;
  b.output.vars = continuous(start_col, std::move(lb), std::move(ub));
  b.output.positions = g.first_position;
  const std::vector<int64_t> own = own_groups(periods);
  const GroupTermRef terms[] = {
      {PerStep::of(1.0), b.output.vars.cols, own},
      {PerStep::of(std::span<const double>(weight)), input.cols, g.allocation}};
  b.equalities = group_rows(terms, PerStep::of(0.0));
  return b;
}

CompiledBlock extremum_form(const VariableSeries& input, const PeriodGroups& g, bool is_max,
                            int64_t start_col, bool assume_convex) {
  const size_t periods = g.count(), n = input.size();
  CompiledBlock b;
  b.output.vars = continuous(start_col, extremum(input.lb, g.allocation, is_max),
                             extremum(input.ub, g.allocation, is_max));
  b.output.positions = g.first_position;
  // The output spread to the members of its period.
  const VariableSeries spread = gather(b.output.vars, g.allocation);
  const Term member[] = {Operand::of(input).term()};
  ConstraintSeries bounding = is_max ? ge_rows(spread, member) : le_rows(spread, member);
  if (assume_convex) {
    b.inequalities = std::move(bounding);
    return b;
  }
  VariableSeries picks = binary(start_col + static_cast<int64_t>(periods), n);
  ConstraintSeries tight = is_max ? le_when_rows(spread, member, picks, true)
                                  : ge_when_rows(spread, member, picks, true);
  const GroupTermRef one[] = {{PerStep::of(1.0), picks.cols, g.allocation}};
  b.equalities = group_rows(one, PerStep::of(1.0));
  b.inequalities = join({&bounding, &tight});
  b.auxiliaries.push_back({std::move(picks), std::nullopt});
  return b;
}

}  // namespace

CompiledBlock compile_aggregate(const VariableSeries& input, const PeriodGroups& groups,
                                blocks::Aggregation f, int64_t start_col, bool assume_convex) {
  using A = blocks::Aggregation;
  require_columns(start_col, groups.count() + input.size());
  CompiledBlock b;
  if (f == A::Sum || f == A::Mean)
    b = linear_form(input, groups, f == A::Mean, start_col);
  else
    b = extremum_form(input, groups, f == A::Max, start_col, assume_convex);
  validate(b.output.vars, b.output.vars.size());
  require_finite(b, "Aggregate");
  return b;
}

CompiledBlock compile_resample(const timeline::Timeline& t, const VariableSeries& input,
                               domain::Resolution target, domain::Resolution source, bool is_rate,
                               int64_t start_col) {
  const std::vector<int64_t> positions = blocks::resample_positions(t, target, source);
  const size_t periods = t.periods(source).size();
  if (input.size() != periods)
    value_error("Resample: the input has " + std::to_string(input.size()) +
                " variables but the timeline has " + std::to_string(periods) +
                " periods of its resolution");
  for (int64_t p : positions)
    if (p < 0) value_error("Resample: a target period starts before the first input period");
  const VariableSeries filled = gather(input, positions);
  blocks::Values scale;
  if (!is_rate) scale = blocks::amount_scale(t, target, source);
  const Term terms[] = {Operand::of(filled).term(
      is_rate ? PerStep::of(1.0) : PerStep::of(std::span<const double>(scale)))};
  return compile_linear(terms, filled.size(), start_col, "Resample");
}

}  // namespace ostrel::core::optimisation
