#include "core/pipeline/run.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "core/blocks/periods.hpp"
#include "core/pipeline/compile_step.hpp"

namespace ostrel::core::pipeline {

namespace {

using blocks::LabelledView;
using blocks::Values;
using LabelsOf = StepResult::LabelsOf;

class Run {
 public:
  explicit Run(const timeline::Timeline& t) : t_(t) {}

  StepResult step(const Step& s, const Current& c) {
    StepResult r;
    auto input = [&] { return c.at(s.operands.at(0)); };
    // The input's labels and zone stay the result's.
    auto keeps_input = [&](Values&& v) {
      r.labels_of = LabelsOf::Slot;
      r.slot = s.operands.at(0).slot;
      r.values = std::move(v);
    };
    auto on_starts = [&](Resolution res, Values&& v) {
      r.labels_of = LabelsOf::PeriodStarts;
      r.resolution = res;
      r.values = std::move(v);
    };
    // A series operand read at the input's labels (NaN where it has none).
    auto at_input = [&](const Operand& o) { return blocks::reindex(c.at(o), input().labels); };
    switch (s.kind) {
      case StepKind::Constant:
        on_starts(s.resolution, Values(starts(s.resolution).size(), s.value));
        break;
      case StepKind::Arithmetic:
        arithmetic(s, c, r);
        break;
      case StepKind::Aggregate: {
        const LabelledView in = input();
        on_starts(s.resolution, blocks::aggregate(t_, in.labels, in.values, s.resolution,
                                                  s.aggregation, s.source));
        break;
      }
      case StepKind::Resample:
        on_starts(s.resolution, blocks::resample(t_, input(), s.resolution, s.source, s.is_rate));
        break;
      case StepKind::Select:
      case StepKind::Mask:
      case StepKind::Extremes: {
        const timeline::Mask flags = condition_flags(s, input());
        const bool by_series = s.operands.size() > 1 && s.operands[1].kind == Operand::Kind::Slot;
        keeps_input(filtered(s, input(), flags,
                             by_series ? std::optional(c.at(s.operands[1])) : std::nullopt));
        break;
      }
      case StepKind::Clip: {
        std::array<Values, 2> storage;
        auto bound = [&](std::size_t i) {
          const Operand& o = s.operands.at(i);
          if (o.kind == Operand::Kind::None) return blocks::Bound::none();
          if (o.kind == Operand::Kind::Number) return blocks::Bound::of(o.number);
          storage[i - 1] = at_input(o);
          return blocks::Bound::of(std::span<const double>(storage[i - 1]));
        };
        const blocks::Bound lo = bound(1), hi = bound(2);
        keeps_input(blocks::clip(input().values, lo, hi));
        break;
      }
      case StepKind::Lookup:
        keeps_input(blocks::lookup(input().values, s.boundaries, s.levels));
        break;
    }
    return r;
  }

  std::span<const std::int64_t> starts(Resolution r) {
    // Where every row starts a period, the starts are the grid's own instants: no copy.
    if (t_.periods(r).every_row_starts()) return t_.calendar().utc;
    auto& s = starts_[static_cast<std::size_t>(domain::index_of(r))];
    if (!s) s = t_.period_starts(r);
    return *s;
  }

 private:
  // ((a op b) op c) ...: the labels of the operand whose labels the result has, else the union
  // in the zone of the first series.
  void arithmetic(const Step& s, const Current& c, StepResult& r) {
    std::vector<blocks::ArithOperand> ops;
    ops.reserve(s.operands.size());
    std::optional<std::size_t> first_series;
    for (const Operand& o : s.operands) {
      if (o.kind == Operand::Kind::Number) {
        ops.push_back(blocks::ArithOperand::of(o.number));
      } else {
        if (!first_series) first_series = o.slot;
        ops.push_back(blocks::ArithOperand::of(c.at(o)));
      }
    }
    blocks::Combined out = blocks::fold(ops, s.op, s.block);
    r.values = std::move(out.values);
    if (out.labels_of >= 0) {
      r.labels_of = LabelsOf::Slot;
      r.slot = s.operands.at(static_cast<std::size_t>(out.labels_of)).slot;
    } else {
      r.labels_of = LabelsOf::Own;
      r.slot = first_series.value();
      r.labels = std::move(out.labels);
    }
  }

  // The condition's flag at each of the input's instants: the n highest or lowest per period,
  // or the calendar test of each instant's row of the grid.
  timeline::Mask condition_flags(const Step& s, LabelledView in) {
    if (s.kind == StepKind::Extremes)
      return blocks::extremes(t_, in.labels, in.values, s.period, s.n, s.highest, s.source);
    std::optional<timeline::Mask> flags =
        blocks::condition_flags(t_, in.labels, s.source, s.condition);
    if (!flags) throw Unsupported{};
    return std::move(*flags);
  }

  const timeline::Timeline& t_;
  std::array<std::optional<std::vector<std::int64_t>>, domain::kResolutionCount> starts_;
};

}  // namespace

namespace {

// For each step, the last step that reads what it wrote (itself when none does); the wanted
// slot's last writer is never let go.
std::vector<std::size_t> last_reads(const Plan& plan, std::optional<std::size_t> wanted) {
  const std::size_t n = plan.steps.size(), none = n;
  std::vector<std::size_t> last(n), writer(plan.slots, none);
  for (std::size_t k = 0; k < n; ++k) {
    for (const Operand& o : plan.steps[k].operands)
      if (o.kind == Operand::Kind::Slot && writer.at(o.slot) != none) last[writer[o.slot]] = k;
    last[k] = k;
    writer.at(plan.steps[k].output) = k;
  }
  if (wanted && writer.at(*wanted) != none) last[writer[*wanted]] = none;
  return last;
}

}  // namespace

std::vector<StepResult> run(const timeline::Timeline& t, const Plan& plan,
                            std::span<const Filed> filed, Columns* columns,
                            std::optional<std::size_t> wanted) {
  // Without a wanted slot every result is kept (the caller files them all).
  const std::vector<std::size_t> last =
      wanted ? last_reads(plan, wanted) : std::vector<std::size_t>();
  Current c{std::vector<LabelledView>(plan.slots),
            std::vector<const optimisation::VariableSeries*>(plan.slots, nullptr),
            std::vector<bool>(plan.slots, false)};
  for (const Filed& f : filed) {
    if (f.variables && !columns) throw Unsupported{};
    c.slots.at(f.slot) = {f.labels, f.values};
    c.variables.at(f.slot) = f.variables;
    c.present.at(f.slot) = true;
  }
  Run runner(t);
  const PeriodStarts starts = [&runner](Resolution r) { return runner.starts(r); };
  std::vector<StepResult> out;
  out.reserve(plan.steps.size());
  for (const Step& s : plan.steps) {
    for (const Operand& o : s.operands)
      if (o.kind == Operand::Kind::Slot && !c.present.at(o.slot)) throw Unsupported{};
    const bool compiled = c.any_variables(s);
    if (compiled) {
      out.emplace_back();
      StepResult& r = out.back();
      r.block = compile_step(&t, s, step_args(c, s), starts, std::nullopt, columns->next,
                             columns->assume_convex, r);
      // The base: the series in the slot of the operand the step placed its columns on.
      if (r.labels_of == LabelsOf::Slot) r.slot = s.operands.at(r.slot).slot;
    } else {
      out.push_back(runner.step(s, c));
    }
    StepResult& r = out.back();
    std::span<const std::int64_t> labels;
    switch (r.labels_of) {
      case LabelsOf::PeriodStarts:
        labels = runner.starts(r.resolution);
        break;
      case LabelsOf::Slot:
        labels = c.slots.at(r.slot).labels;
        break;
      case LabelsOf::Own:
        labels = r.labels;
        break;
    }
    c.present.at(s.output) = true;
    if (!compiled) {
      c.slots.at(s.output) = {labels, r.values};
      c.variables.at(s.output) = nullptr;
      // The values no later step reads go back to the storage the next steps take.
      const std::size_t k = out.size() - 1;
      for (std::size_t j = 0; j <= k && !last.empty(); ++j)
        if (last[j] == k && !out[j].block) blocks::Values().swap(out[j].values);
      continue;
    }
    // The output's steps: the base's labels, or those at the positions it was placed on.
    optimisation::Placed& output = r.block->output;
    if (output.positions) {
      r.output_labels.reserve(output.positions->size());
      for (std::int64_t p : *output.positions)
        r.output_labels.push_back(labels[static_cast<std::size_t>(p)]);
      labels = r.output_labels;
    }
    c.slots.at(s.output) = {labels, {}};
    c.variables.at(s.output) = &output.vars;
    columns->next = std::max(columns->next, r.block->next_available_col());
  }
  return out;
}

blocks::Values filtered(const Step& s, blocks::LabelledView input,
                        std::span<const std::uint8_t> flags,
                        std::optional<blocks::LabelledView> replacement) {
  if (s.operands.size() < 2) return blocks::select(input.values, flags);
  if (s.operands[1].kind == Operand::Kind::Number)
    return blocks::mask(input.values, flags, s.operands[1].number);
  return blocks::mask(input.values, flags, blocks::reindex(replacement.value(), input.labels));
}

std::vector<std::size_t> read_before_written(const Plan& plan) {
  std::vector<bool> written(plan.slots, false), listed(plan.slots, false);
  std::vector<std::size_t> out;
  for (const Step& s : plan.steps) {
    for (const Operand& o : s.operands) {
      if (o.kind != Operand::Kind::Slot || written.at(o.slot) || listed.at(o.slot)) continue;
      listed[o.slot] = true;
      out.push_back(o.slot);
    }
    written.at(s.output) = true;
  }
  return out;
}

}  // namespace ostrel::core::pipeline
