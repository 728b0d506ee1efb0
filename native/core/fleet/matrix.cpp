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

struct Shared {
  std::vector<timeline::Mask> masks;
  std::vector<timeline::Grouping> groupings;
  std::vector<std::vector<std::size_t>> runs;  // Aggregate: each period's run of elements
};

class Runner {
 public:
  Runner(const Timeline& t, const Plan& plan) : t_(t), plan_(plan), starts_(t) {}

  // The step's result from the current values of its operands.
  Values run(const Step& s, std::vector<Slot>& slots, const Shared& shared, std::size_t k) {
    const std::vector<timeline::Mask>& masks = shared.masks;
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
        if (!shared.runs[k].empty())
          return blocks::aggregate_runs(values(0), shared.runs[k], s.aggregation);
        return blocks::aggregate(t_, starts_.of(s.source), values(0), s.resolution, s.aggregation,
                                 s.source);
      case StepKind::Resample:
        return blocks::resample(t_, input(), s.resolution, s.source, s.is_rate);
      case StepKind::Select:
        return blocks::select(values(0), masks[k]);
      case StepKind::Extremes: {
        // The input lies on its period starts, each element its own instant: the kept flags
        // go straight back to the elements (as the block's own evaluation does).
        const timeline::Grouping& g = shared.groupings[k];
        const timeline::Mask kept = timeline::select_extremes(g, values(0), s.n, s.highest);
        timeline::Mask keep(values(0).size(), 0);
        for (std::size_t e = 0; e < kept.size(); ++e) keep[g.position(e)] = kept[e];
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

  // What every meter shares: the condition masks of Select and Mask at their inputs' period
  // starts, the grouping of those starts by the periods of a value condition, and the runs
  // of elements that make each period of an Aggregate.
  Shared shared() {
    Shared out;
    out.masks.resize(plan_.steps.size());
    out.groupings.resize(plan_.steps.size());
    out.runs.resize(plan_.steps.size());
    for (std::size_t k = 0; k < plan_.steps.size(); ++k) {
      const Step& s = plan_.steps[k];
      if (s.kind == StepKind::Select || s.kind == StepKind::Mask)
        out.masks[k] = at_starts(t_, s.condition, s.source);
      if (s.kind == StepKind::Aggregate && s.resolution > s.source)
        out.runs[k] = blocks::period_runs(t_, s.resolution, s.source);
      if (s.kind == StepKind::Extremes) {
        const timeline::PeriodIndex& p = t_.periods(s.source);
        out.groupings[k] = timeline::group_elements(
            p.size(), [&](std::size_t e) { return static_cast<std::int64_t>(p.start_row(e)); },
            t_.group_of_rows(s.period), t_.periods(s.period).size());
      }
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

// Runs of consecutive cost periods that start in one month, with that month's position.
struct MonthRun {
  std::size_t begin, end, month;
};

std::vector<MonthRun> month_runs(const Timeline& t, Resolution cost) {
  const timeline::PeriodIndex& periods = t.periods(cost);
  const timeline::PeriodIndex& months = t.periods(Resolution::MONTHLY);
  const auto& group = t.group_of_rows(Resolution::MONTHLY);
  std::vector<MonthRun> out;
  for (std::size_t k = 0; k < periods.size(); ++k) {
    const std::size_t month =
        months.position_of_group(static_cast<std::size_t>(group[periods.start_row(k)]));
    if (out.empty() || out.back().month != month)
      out.push_back({k, k + 1, month});
    else
      out.back().end = k + 1;
  }
  return out;
}

// Meters gathered at once from a matrix whose rows are not contiguous.
constexpr std::size_t kGather = 8;

// The rows [first, first + count) of an input, contiguous: views when they are, else copied
// into `buffer`, reading the matrix in its own order.
std::vector<std::span<const double>> rows_of(const Input& in, std::size_t first, std::size_t count,
                                             std::vector<double>& buffer) {
  const std::size_t width = in.labels.size();
  std::vector<std::span<const double>> out(count);
  if (in.col_stride == 1 || width <= 1) {
    for (std::size_t j = 0; j < count; ++j)
      out[j] = {in.data + static_cast<std::ptrdiff_t>(first + j) * in.row_stride, width};
    return out;
  }
  buffer.resize(count * width);
  const double* base = in.data + static_cast<std::ptrdiff_t>(first) * in.row_stride;
  for (std::size_t k = 0; k < width; ++k) {
    const double* at = base + static_cast<std::ptrdiff_t>(k) * in.col_stride;
    for (std::size_t j = 0; j < count; ++j)
      buffer[j * width + k] = at[static_cast<std::ptrdiff_t>(j) * in.row_stride];
  }
  for (std::size_t j = 0; j < count; ++j) out[j] = {buffer.data() + j * width, width};
  return out;
}

}  // namespace

MonthlyCosts evaluate(const Timeline& t, const Plan& plan, std::span<const Input> inputs,
                      std::size_t meters) {
  std::vector<Slot> slots(plan.slots);
  if (plan.cost >= plan.slots) value_error("the cost dataset is not produced by the pipeline");
  for (const Input& in : inputs) {
    if (in.slot >= plan.slots) value_error("an input has no place in the pipeline");
    slots[in.slot].resolution = in.resolution;
  }
  const std::vector<bool> per_meter = per_meter_steps(plan, inputs, slots);
  Runner runner(t, plan);
  const Shared shared = runner.shared();

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
    if (!per_meter[k]) slots[plan.steps[k].output].set(runner.run(plan.steps[k], slots, shared, k));

  const Slot& cost = slots[plan.cost];
  const std::size_t periods = t.periods(cost.resolution).size();
  const std::vector<MonthRun> runs = month_runs(t, cost.resolution);
  MonthlyCosts out;
  const std::span<const std::int64_t> month_starts = runner.starts().of(Resolution::MONTHLY);
  out.month_starts.assign(month_starts.begin(), month_starts.end());
  out.rows = cost.per_meter ? meters : 1;
  const std::size_t months = month_starts.size();
  out.costs.assign(out.rows * months, 0.0);

  auto bill = [&](std::size_t m) {
    if (cost.view.size() != periods)
      value_error("the cost series does not lie on its resolution's periods");
    double* row = out.costs.data() + m * months;
    const double* v = cost.view.data();
    for (const MonthRun& r : runs) {
      double sum = 0.0;
      for (std::size_t k = r.begin; k < r.end; ++k)
        if (!std::isnan(v[k])) sum += v[k];
      row[r.month] += sum;
    }
  };
  if (!cost.per_meter) {
    bill(0);
    return out;
  }
  std::vector<std::vector<double>> buffers(inputs.size());
  std::vector<std::vector<std::span<const double>>> rows(inputs.size());
  for (std::size_t first = 0; first < meters; first += kGather) {
    const std::size_t count = std::min(kGather, meters - first);
    for (std::size_t i = 0; i < inputs.size(); ++i)
      rows[i] = rows_of(inputs[i], first, count, buffers[i]);
    for (std::size_t j = 0; j < count; ++j) {
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        Slot& s = slots[inputs[i].slot];
        if (placed[i].identical) {
          s.view = rows[i][j];
        } else {
          Values v(placed[i].at.size(), 0.0);
          for (std::size_t k = 0; k < v.size(); ++k)
            if (placed[i].at[k] >= 0) v[k] = rows[i][j][static_cast<std::size_t>(placed[i].at[k])];
          s.set(std::move(v));
        }
      }
      for (std::size_t k = 0; k < plan.steps.size(); ++k)
        if (per_meter[k])
          slots[plan.steps[k].output].set(runner.run(plan.steps[k], slots, shared, k));
      bill(first + j);
    }
  }
  return out;
}

void input_shape_error(std::string_view dataset_id) {
  std::string message = "dataset '";
  message += dataset_id;
  message += "': the matrix must hold one row per meter and one column per label";
  value_error(message);
}

void unknown_block(std::string_view type) {
  std::string message = "no matrix evaluation of block ";
  message += type;
  fail(ErrorKind::NotImplemented, message);
}

}  // namespace ostrel::core::fleet
