#include "core/fleet/matrix.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::fleet {

namespace {

using blocks::Values;
using timeline::Timeline;

// Period starts of each resolution the plan meets, asked of the timeline once.
class Starts {
 public:
  explicit Starts(const Timeline& t) : t_(t) {}
  std::span<const std::int64_t> of(Resolution r) {
    auto& s = cache_[static_cast<std::size_t>(domain::index_of(r))];
    if (!s) s = t_.period_starts(r);
    return *s;
  }

 private:
  const Timeline& t_;
  std::array<std::optional<std::vector<std::int64_t>>, domain::kResolutionCount> cache_;
};

// A result of the pipeline for the current meter: its own values, or a view of values shared
// by every meter (a step that reads no meter input) or of the caller's input row.
struct Slot {
  Resolution resolution = Resolution::QUARTER_HOURLY;
  bool per_meter = false;
  Values own;
  std::span<const double> view;
  void set(Values&& v) {
    own = std::move(v);
    view = own;
  }
};

// The steps that read a meter input, directly or through an earlier step.
std::vector<bool> per_meter_steps(const Plan& plan, std::span<const Input> inputs,
                                  std::vector<Slot>& slots) {
  for (const Input& in : inputs) slots.at(in.slot).per_meter = true;
  std::vector<bool> out(plan.steps.size(), false);
  for (std::size_t k = 0; k < plan.steps.size(); ++k) {
    const Step& s = plan.steps[k];
    for (const Operand& o : s.operands)
      if (o.kind == Operand::Kind::Slot && slots.at(o.slot).per_meter) out[k] = true;
    slots.at(s.output).per_meter = out[k];
    slots.at(s.output).resolution = s.resolution;
  }
  return out;
}

// The condition's flags at the period starts of `r` (a calendar test reads only its row).
timeline::Mask at_starts(const Timeline& t, const timeline::Mask& condition, Resolution r) {
  const timeline::PeriodIndex& p = t.periods(r);
  if (condition.size() != t.size()) value_error("condition mask does not cover the timeline");
  timeline::Mask out(p.size());
  for (std::size_t k = 0; k < p.size(); ++k) out[k] = condition[p.start_row(k)];
  return out;
}

class Runner {
 public:
  Runner(const Timeline& t, const Plan& plan) : t_(t), plan_(plan), starts_(t) {}

  // The step's result from the current values of its operands.
  Values run(const Step& s, std::vector<Slot>& slots, const std::vector<timeline::Mask>& masks,
             std::size_t k) {
    auto values = [&](std::size_t i) { return slots.at(s.operands.at(i).slot).view; };
    auto input = [&] { return blocks::LabelledView{starts_.of(s.source), values(0)}; };
    switch (s.kind) {
      case StepKind::Constant:
        return Values(starts_.of(s.resolution).size(), s.value);
      case StepKind::Arithmetic: {
        std::vector<blocks::ArithOperand> ops;
        ops.reserve(s.operands.size());
        for (const Operand& o : s.operands) {
          if (o.kind == Operand::Kind::Number) {
            ops.push_back(blocks::ArithOperand::of(o.number));
          } else {
            const Slot& in = slots.at(o.slot);
            ops.push_back(
                blocks::ArithOperand::of(blocks::LabelledView{starts_.of(in.resolution), in.view}));
          }
        }
        blocks::Combined c = blocks::fold(ops, s.op, s.block);
        if (c.labels_of < 0) value_error("operands of one block must share their resolution");
        return std::move(c.values);
      }
      case StepKind::Aggregate:
        return blocks::aggregate(t_, starts_.of(s.source), values(0), s.resolution, s.aggregation,
                                 s.source);
      case StepKind::Resample:
        return blocks::resample(t_, input(), s.resolution, s.source, s.is_rate);
      case StepKind::Select:
        return blocks::select(values(0), masks[k]);
      case StepKind::Extremes: {
        const timeline::Mask keep = blocks::extremes(t_, starts_.of(s.source), values(0), s.period,
                                                     s.n, s.highest, s.source);
        return blocks::select(values(0), keep);
      }
      case StepKind::Mask: {
        const Operand& r = s.operands.at(1);
        if (r.kind == Operand::Kind::Number) return blocks::mask(values(0), masks[k], r.number);
        return blocks::mask(values(0), masks[k], values(1));
      }
      case StepKind::Clip: {
        auto bound = [&](std::size_t i) {
          const Operand& o = s.operands.at(i);
          if (o.kind == Operand::Kind::None) return blocks::Bound::none();
          if (o.kind == Operand::Kind::Number) return blocks::Bound::of(o.number);
          return blocks::Bound::of(values(i));
        };
        return blocks::clip(values(0), bound(1), bound(2));
      }
      case StepKind::Lookup:
        return blocks::lookup(values(0), s.boundaries, s.levels);
    }
    return {};
  }

  // The condition masks of Select and Mask, at their inputs' period starts.
  std::vector<timeline::Mask> masks() {
    std::vector<timeline::Mask> out(plan_.steps.size());
    for (std::size_t k = 0; k < plan_.steps.size(); ++k) {
      const Step& s = plan_.steps[k];
      if (s.kind == StepKind::Select || s.kind == StepKind::Mask)
        out[k] = at_starts(t_, s.condition, s.source);
    }
    return out;
  }

  Starts& starts() { return starts_; }

 private:
  const Timeline& t_;
  const Plan& plan_;
  Starts starts_;
};

// For each period start, the position of the same instant among `labels`, -1 where absent.
std::vector<std::int64_t> positions(std::span<const std::int64_t> labels,
                                    std::span<const std::int64_t> starts, bool& identical) {
  identical = std::equal(labels.begin(), labels.end(), starts.begin(), starts.end());
  std::vector<std::int64_t> out;
  if (identical) return out;
  out.resize(starts.size());
  for (std::size_t k = 0; k < starts.size(); ++k) {
    auto it = std::lower_bound(labels.begin(), labels.end(), starts[k]);
    out[k] = it != labels.end() && *it == starts[k] ? it - labels.begin() : -1;
  }
  return out;
}

}  // namespace

MonthlyCosts evaluate(const Timeline& t, const Plan& plan, std::span<const Input> inputs,
                      std::size_t meters) {
  std::vector<Slot> slots(plan.slots);
  if (plan.cost >= plan.slots) value_error("the cost dataset is not produced by the pipeline");
  for (const Input& in : inputs) {
    if (in.slot >= plan.slots) value_error("an input has no place in the pipeline");
    if (in.matrix.size() != meters * in.labels.size())
      value_error("an input matrix does not hold one row of values per meter");
    slots[in.slot].resolution = in.resolution;
  }
  const std::vector<bool> per_meter = per_meter_steps(plan, inputs, slots);
  Runner runner(t, plan);
  const std::vector<timeline::Mask> masks = runner.masks();

  // Inputs placed on their resolution's period starts as the timeline aligns a series: the
  // value at exactly each start, 0.0 where the input has none.
  struct Placed {
    std::vector<std::int64_t> at;
    bool identical = false;
  };
  std::vector<Placed> placed(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i)
    placed[i].at =
        positions(inputs[i].labels, runner.starts().of(inputs[i].resolution), placed[i].identical);

  // Steps that read no meter: once.
  for (std::size_t k = 0; k < plan.steps.size(); ++k)
    if (!per_meter[k]) slots[plan.steps[k].output].set(runner.run(plan.steps[k], slots, masks, k));

  const Slot& cost = slots[plan.cost];
  const timeline::PeriodIndex& periods = t.periods(cost.resolution);
  const timeline::PeriodIndex& months = t.periods(Resolution::MONTHLY);
  const auto& month_group = t.group_of_rows(Resolution::MONTHLY);
  std::vector<std::size_t> month_of(periods.size());
  for (std::size_t k = 0; k < periods.size(); ++k)
    month_of[k] =
        months.position_of_group(static_cast<std::size_t>(month_group[periods.start_row(k)]));

  MonthlyCosts out;
  const std::span<const std::int64_t> month_starts = runner.starts().of(Resolution::MONTHLY);
  out.month_starts.assign(month_starts.begin(), month_starts.end());
  out.rows = cost.per_meter ? meters : 1;
  out.costs.assign(out.rows * months.size(), 0.0);
  for (std::size_t m = 0; m < out.rows; ++m) {
    if (cost.per_meter) {
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::size_t width = inputs[i].labels.size();
        const std::span<const double> row = inputs[i].matrix.subspan(m * width, width);
        Slot& s = slots[inputs[i].slot];
        if (placed[i].identical) {
          s.view = row;
        } else {
          Values v(placed[i].at.size(), 0.0);
          for (std::size_t k = 0; k < v.size(); ++k)
            if (placed[i].at[k] >= 0) v[k] = row[static_cast<std::size_t>(placed[i].at[k])];
          s.set(std::move(v));
        }
      }
      for (std::size_t k = 0; k < plan.steps.size(); ++k)
        if (per_meter[k])
          slots[plan.steps[k].output].set(runner.run(plan.steps[k], slots, masks, k));
    }
    if (cost.view.size() != periods.size())
      value_error("the cost series does not lie on its resolution's periods");
    double* row = out.costs.data() + m * months.size();
    for (std::size_t k = 0; k < periods.size(); ++k)
      if (!std::isnan(cost.view[k])) row[month_of[k]] += cost.view[k];
  }
  return out;
}

}  // namespace ostrel::core::fleet
