#include "core/pipeline/compile_step.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "core/blocks/operands.hpp"
#include "core/blocks/periods.hpp"
#include "core/domain/units.hpp"
#include "core/optimisation/arguments.hpp"
#include "core/optimisation/compile_arithmetic.hpp"
#include "core/optimisation/compile_filters.hpp"
#include "core/optimisation/compile_operands.hpp"
#include "core/optimisation/compile_periods.hpp"
#include "core/optimisation/compile_select.hpp"

namespace ostrel::core::pipeline {

namespace {

namespace co = optimisation;
using LabelsOf = StepResult::LabelsOf;

co::Given given(const Current& c, const Operand& o) {
  switch (o.kind) {
    case Operand::Kind::None:
      return co::Given::absent();
    case Operand::Kind::Number:
      return co::Given::of(co::PerStep::of(o.number));
    case Operand::Kind::Slot:
      break;
  }
  if (const co::VariableSeries* v = c.variables_at(o)) return co::Given::of(*v);
  return co::Given::of(c.at(o).labels, c.at(o).values);
}

// The operands on the steps of the first variable operand, whose slot is the block's base.
struct Read {
  std::vector<co::Operand> ops;
  std::vector<std::vector<double>> kept;
  std::size_t first = 0;
  std::size_t n = 0;
};

Read read(const Current& c, const Step& s, const std::vector<std::string>& names) {
  Read out;
  co::Steps steps;
  const co::VariableSeries* first = nullptr;
  for (const Operand& o : s.operands) {
    const co::VariableSeries* v = c.variables_at(o);
    if (!v) continue;
    if (!first) {
      first = v;
      out.first = o.slot;
      steps = {v->size(), c.at(o).labels};
    } else if (!std::ranges::equal(c.at(o).labels, steps.labels)) {
      throw Unsupported{};  // the block's compile asserts they share an index
    }
  }
  if (!first) throw Unsupported{};
  out.n = steps.n;
  out.ops.reserve(s.operands.size());
  for (std::size_t k = 0; k < s.operands.size(); ++k)
    out.ops.push_back(co::read_operand(given(c, s.operands[k]), steps, names.at(k), out.kept));
  return out;
}

std::vector<std::string> operand_names(const Step& s) {
  switch (s.kind) {
    case StepKind::Arithmetic:
      switch (s.op) {
        case blocks::Arith::Add: {
          std::vector<std::string> names;
          for (std::size_t k = 0; k < s.operands.size(); ++k)
            names.push_back(blocks::listed_operand_name(k));
          return names;
        }
        case blocks::Arith::Divide:
          return {"numerator", "denominator"};
        default:
          return {"left", "right"};
      }
    case StepKind::Mask:
      return {"input", "replacement"};
    case StepKind::Clip:
      return {"input", "minimum", "maximum"};
    default:
      return {"input"};
  }
}

co::CompiledBlock arithmetic(const Step& s, const Read& r, std::int64_t start_col) {
  switch (s.op) {
    case blocks::Arith::Add:
      return co::compile_add(r.ops, r.n, start_col);
    case blocks::Arith::Subtract:
      return co::compile_subtract(r.ops.at(0), r.ops.at(1), r.n, start_col);
    case blocks::Arith::Multiply:
      return co::compile_multiply(r.ops.at(0), r.ops.at(1), r.n, start_col);
    case blocks::Arith::Divide:
      break;
  }
  return co::compile_divide(r.ops.at(0), r.ops.at(1), r.n, start_col);
}

timeline::Mask condition_flags(const timeline::Timeline& t, const Step& s,
                               std::span<const std::int64_t> labels) {
  std::optional<timeline::Mask> flags = blocks::condition_flags(t, labels, s.source, s.condition);
  if (!flags) throw Unsupported{};  // the timeline's own lookup reports what is off the grid
  return std::move(*flags);
}

}  // namespace

co::CompiledBlock compile_step(const timeline::Timeline& t, const Step& s, const Current& c,
                               const PeriodStarts& starts, std::int64_t start_col,
                               bool assume_convex, StepResult& r) {
  r.labels_of = LabelsOf::Slot;
  const Operand& in = s.operands.at(0);
  r.slot = in.slot;
  // The blocks of one variable input; the base is the input's index.
  const co::VariableSeries* input = c.variables_at(in);
  std::span<const std::int64_t> labels;
  if (in.kind == Operand::Kind::Slot) labels = c.at(in).labels;
  switch (s.kind) {
    case StepKind::Arithmetic: {
      const Read ops = read(c, s, operand_names(s));
      r.slot = ops.first;
      return arithmetic(s, ops, start_col);
    }
    case StepKind::Clip: {
      const Read ops = read(c, s, operand_names(s));
      r.slot = ops.first;
      auto limit = [&](std::size_t k) {
        return s.operands.at(k).kind == Operand::Kind::None ? nullptr : &ops.ops.at(k);
      };
      return co::compile_clip(ops.ops.at(0), limit(1), limit(2), ops.n, start_col, assume_convex);
    }
    case StepKind::Mask: {
      // The base is the input's index, numbers or variables; a variable replacement shares it.
      if (in.kind != Operand::Kind::Slot) throw Unsupported{};
      if (const co::VariableSeries* rep = c.variables_at(s.operands.at(1));
          rep && !std::ranges::equal(c.at(s.operands[1]).labels, labels))
        throw Unsupported{};
      const Read ops = read(c, s, operand_names(s));
      co::check_replacement_length(true, ops.n, labels.size());
      const timeline::Mask holds = condition_flags(t, s, labels);
      return co::compile_mask(ops.ops.at(0), ops.ops.at(1), holds, labels.size(), start_col);
    }
    default:
      break;
  }
  if (!input) throw Unsupported{};
  switch (s.kind) {
    case StepKind::Aggregate:
      return co::compile_aggregate(*input, co::period_groups(t, labels, s.resolution),
                                   s.aggregation, start_col, assume_convex);
    case StepKind::Resample:
      // The compiler places the variables by position: their labels must be those places.
      co::check_steps_on_periods(labels, starts(s.source), "Resample", domain::value_of(s.source));
      r.labels_of = LabelsOf::PeriodStarts;
      r.resolution = s.resolution;
      return co::compile_resample(t, *input, s.resolution, s.source, s.is_rate, start_col);
    case StepKind::Select:
      return co::compile_select_steps(*input, condition_flags(t, s, labels), start_col);
    case StepKind::Extremes:
      if (s.operands.size() > 1) throw Unsupported{};  // a mask by the n highest: not compiled
      return co::compile_select_extremes(*input, co::period_groups(t, labels, s.period), s.n,
                                         s.highest, start_col, assume_convex);
    case StepKind::Lookup:
      return co::compile_lookup(*input, s.levels, s.boundaries, start_col);
    default:
      throw Unsupported{};
  }
}

}  // namespace ostrel::core::pipeline
