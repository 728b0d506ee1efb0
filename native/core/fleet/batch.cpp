#include "core/fleet/batch.hpp"

#include <algorithm>

#include "core/common/errors.hpp"
#include "core/fleet/row.hpp"

namespace ostrel::core::fleet {

namespace {

// The condition's flags at the period starts of `r` (a calendar test reads only its row).
timeline::Mask at_starts(const timeline::Timeline& t, const timeline::Mask& condition,
                         Resolution r) {
  const timeline::PeriodIndex& p = t.periods(r);
  if (condition.size() != t.size()) value_error("condition mask does not cover the timeline");
  timeline::Mask out(p.size());
  for (std::size_t k = 0; k < p.size(); ++k) out[k] = condition[p.start_row(k)];
  return out;
}

// For each period start, the position of the same instant among `labels`, -1 where absent.
std::vector<std::int64_t> positions(std::span<const std::int64_t> labels,
                                    std::span<const std::int64_t> starts) {
  std::vector<std::int64_t> out;
  out.resize(starts.size());
  for (std::size_t k = 0; k < starts.size(); ++k) {
    auto it = std::lower_bound(labels.begin(), labels.end(), starts[k]);
    out[k] = it != labels.end() && *it == starts[k] ? it - labels.begin() : -1;
  }
  return out;
}

}  // namespace

Prepared::Prepared(const timeline::Timeline& t, Plan plan, std::vector<InputLabels> inputs)
    : t_(&t), plan_(std::move(plan)), inputs_(std::move(inputs)) {
  if (plan_.cost >= plan_.slots) value_error("the cost dataset is not produced by the pipeline");
  // Everything the timeline computes on first use is made here, so that batches may share it
  // from several threads.
  for (int r = 0; r < domain::kResolutionCount; ++r) {
    const auto res = static_cast<Resolution>(r);
    t.group_of_rows(res);
    starts_[static_cast<std::size_t>(r)] = t.period_starts(res);
  }
  t.locator();

  slot_per_meter_.assign(plan_.slots, false);
  slot_resolution_.assign(plan_.slots, Resolution::QUARTER_HOURLY);
  for (const InputLabels& in : inputs_) {
    if (in.slot >= plan_.slots) value_error("an input has no place in the pipeline");
    slot_per_meter_[in.slot] = true;
    slot_resolution_[in.slot] = in.resolution;
    const std::span<const std::int64_t> at = starts(in.resolution);
    identical_.push_back(std::equal(in.labels.begin(), in.labels.end(), at.begin(), at.end()));
    placement_.push_back(identical_.back() ? std::vector<std::int64_t>{}
                                           : positions(in.labels, at));
  }
  const std::size_t n = plan_.steps.size();
  per_meter_.assign(n, false);
  masks_.resize(n);
  groupings_.resize(n);
  runs_.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const Step& s = plan_.steps[k];
    for (const Operand& o : s.operands)
      if (o.kind == Operand::Kind::Slot && slot_per_meter_.at(o.slot)) per_meter_[k] = true;
    slot_per_meter_.at(s.output) = per_meter_[k];
    slot_resolution_.at(s.output) = s.resolution;
    if (s.kind == StepKind::Select || s.kind == StepKind::Mask)
      masks_[k] = at_starts(t, s.condition, s.source);
    if (s.kind == StepKind::Aggregate && s.resolution > s.source)
      runs_[k] = blocks::period_runs(t, s.resolution, s.source);
    if (s.kind == StepKind::Extremes) {
      const timeline::PeriodIndex& p = t.periods(s.source);
      groupings_[k] = timeline::group_elements(
          p.size(), [&](std::size_t e) { return static_cast<std::int64_t>(p.start_row(e)); },
          t.group_of_rows(s.period), t.periods(s.period).size());
    }
  }

  // Steps that read no meter: once, here.
  std::vector<Slot> slots(plan_.slots);
  for (std::size_t k = 0; k < plan_.slots; ++k) slots[k].resolution = slot_resolution_[k];
  for (std::size_t k = 0; k < n; ++k)
    if (!per_meter_[k]) slots[plan_.steps[k].output].set(compute(*this, k, slots));
  constants_.resize(plan_.slots);
  for (std::size_t k = 0; k < plan_.slots; ++k)
    if (!slot_per_meter_[k]) constants_[k] = std::move(slots[k].own);

  // The months of the cost's periods.
  const Resolution cost = slot_resolution_[plan_.cost];
  const timeline::PeriodIndex& periods = t.periods(cost);
  const timeline::PeriodIndex& months = t.periods(Resolution::MONTHLY);
  const auto& group = t.group_of_rows(Resolution::MONTHLY);
  cost_periods_ = periods.size();
  for (std::size_t k = 0; k < periods.size(); ++k) {
    const std::size_t month =
        months.position_of_group(static_cast<std::size_t>(group[periods.start_row(k)]));
    if (month_runs_.empty() || month_runs_.back().month != month)
      month_runs_.push_back({k, k + 1, month});
    else
      month_runs_.back().end = k + 1;
  }
}

std::span<const std::int64_t> Prepared::starts(Resolution r) const {
  return starts_[static_cast<std::size_t>(domain::index_of(r))];
}

}  // namespace ostrel::core::fleet
