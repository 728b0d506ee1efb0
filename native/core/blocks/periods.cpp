#include "core/blocks/periods.hpp"

#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::blocks {

namespace {

// Quarter-hour steps per period of `r`, in timeline order.
std::vector<double> steps_per_period(const calendar::Timeline& t, Resolution r) {
  const calendar::PeriodIndex& steps = t.periods(Resolution::QUARTER_HOURLY);
  const std::vector<std::int32_t>& group_of_row = t.group_of_rows(r);
  std::vector<double> per_group(t.periods(r).size(), 0.0);
  for (size_t k = 0; k < steps.size(); ++k)
    per_group[static_cast<size_t>(group_of_row[steps.start_row(k)])] += 1.0;
  return t.to_period_order(per_group, r);
}

}  // namespace

std::vector<double> aggregate(const calendar::Timeline& t, std::span<const int64_t> instants,
                              std::span<const double> values, Resolution r, Aggregation f) {
  const calendar::Grouping g = t.group(instants, r);
  std::vector<double> reduced;
  switch (f) {
    case Aggregation::Sum: reduced = calendar::group_sum(g, values, /*min_count=*/1); break;
    case Aggregation::Mean: reduced = calendar::group_mean(g, values); break;
    case Aggregation::Max: reduced = calendar::group_max(g, values); break;
    case Aggregation::Min: reduced = calendar::group_min(g, values); break;
  }
  return t.to_period_order(reduced, r);
}

std::vector<double> amount_scale(const calendar::Timeline& t, Resolution target, Resolution source) {
  const std::vector<double> target_steps = steps_per_period(t, target);
  const std::vector<double> source_steps = steps_per_period(t, source);
  const std::vector<int64_t> source_starts = t.period_starts(source);
  const std::vector<double> filled =
      forward_fill({source_starts, source_steps}, t.period_starts(target));
  std::vector<double> out(target_steps.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = target_steps[i] / filled[i];
  return out;
}

std::vector<double> resample(const calendar::Timeline& t, LabelledView input, Resolution target,
                             Resolution source, bool is_rate) {
  std::vector<double> filled = forward_fill(input, t.period_starts(target));
  if (is_rate) return filled;
  const std::vector<double> scale = amount_scale(t, target, source);
  for (size_t i = 0; i < filled.size(); ++i) filled[i] *= scale[i];
  return filled;
}

std::vector<int64_t> resample_positions(const calendar::Timeline& t, Resolution target,
                                        Resolution source) {
  const std::vector<int64_t> targets = t.period_starts(target);
  std::vector<int64_t> pos = forward_fill_positions(t.period_starts(source), targets);
  // Every resolution's first period starts at the timeline's first instant, so each target
  // period has an input period; anything else is a malformed timeline.
  for (size_t i = 0; i < pos.size(); ++i)
    if (pos[i] < 0)
      value_error("no " + std::string(domain::value_of(source)) + " period starts at or before " +
                  std::to_string(targets[i]));
  return pos;
}

}  // namespace ostrel::core::blocks
