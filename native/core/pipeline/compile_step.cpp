#include "core/pipeline/compile_step.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "core/blocks/operands.hpp"
#include "core/blocks/periods.hpp"
#include "core/common/errors.hpp"
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

}  // namespace

StepOperands read_operands(std::span<const StepArg> args, const std::vector<std::string>& names) {
  StepOperands out;
  co::Steps steps;
  const co::VariableSeries* first = nullptr;
  for (std::size_t k = 0; k < args.size(); ++k) {
    if (args[k].given.kind != co::Given::Kind::Variables) continue;
    if (!first) {
      first = args[k].given.variables;
      out.first = k;
      steps = {first->size(), args[k].labels};
    } else if (!std::ranges::equal(args[k].labels, steps.labels)) {
      throw Unsupported{};  // the block's compile asserts they share an index
    }
  }
  out.n = steps.n;
  out.ops.reserve(args.size());
  for (std::size_t k = 0; k < args.size(); ++k)
    out.ops.push_back(co::read_operand(args[k].given, steps, names.at(k), out.kept));
  return out;
}

namespace {

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

co::CompiledBlock arithmetic(const Step& s, const StepOperands& r, std::int64_t start_col) {
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

// The condition's flags at the input's steps: the caller's, else the calendar test of each
// instant's row of the grid.
std::span<const std::uint8_t> condition_flags(const timeline::Timeline* t, const Step& s,
                                              std::span<const std::int64_t> labels,
                                              std::optional<std::span<const std::uint8_t>> given,
                                              std::optional<timeline::Mask>& own) {
  if (given) return *given;
  own = blocks::condition_flags(*t, labels, s.source, s.condition);
  if (!own) throw Unsupported{};  // the timeline's own lookup reports what is off the grid
  return *own;
}

}  // namespace

co::CompiledBlock compile_step(const timeline::Timeline* t, const Step& s,
                               std::span<const StepArg> args, const PeriodStarts& starts,
                               std::optional<std::span<const std::uint8_t>> flags,
                               std::int64_t start_col, bool assume_convex, StepResult& r) {
  r.labels_of = LabelsOf::Slot;
  r.slot = 0;
  const StepArg& in = args.front();
  std::optional<timeline::Mask> own;
  switch (s.kind) {
    case StepKind::Arithmetic: {
      const StepOperands ops = read_operands(args, operand_names(s));
      r.slot = ops.first;
      return arithmetic(s, ops, start_col);
    }
    case StepKind::Clip: {
      const StepOperands ops = read_operands(args, operand_names(s));
      r.slot = ops.first;
      auto limit = [&](std::size_t k) {
        return args[k].given.kind == co::Given::Kind::Absent ? nullptr : &ops.ops.at(k);
      };
      return co::compile_clip(ops.ops.at(0), limit(1), limit(2), ops.n, start_col, assume_convex);
    }
    case StepKind::Mask: {
      // The base is the input's index, numbers or variables; a variable replacement shares it.
      if (in.given.kind == co::Given::Kind::Absent ||
          (in.given.kind == co::Given::Kind::Values && !in.given.values.data))
        co::input_without_index();
      const StepArg& rep = args[1];
      if (rep.given.kind == co::Given::Kind::Variables &&
          !std::ranges::equal(rep.labels, in.labels))
        throw Unsupported{};
      const StepOperands ops = read_operands(args, operand_names(s));
      const bool any = in.given.kind == co::Given::Kind::Variables ||
                       rep.given.kind == co::Given::Kind::Variables;
      co::check_replacement_length(any, ops.n, in.size);
      const auto holds = condition_flags(t, s, in.labels, flags, own);
      return co::compile_mask(ops.ops.at(0), ops.ops.at(1), holds, in.size, start_col);
    }
    default:
      break;
  }
  // The blocks of one variable input; the base is the input's index.
  co::require_variable(in.given.kind == co::Given::Kind::Variables);
  const co::VariableSeries& input = *in.given.variables;
  switch (s.kind) {
    case StepKind::Aggregate:
      return co::compile_aggregate(input, co::period_groups(*t, in.labels, s.resolution),
                                   s.aggregation, start_col, assume_convex);
    case StepKind::Resample:
      // The compiler places the variables by position: their labels must be those places.
      co::check_steps_on_periods(in.labels, starts(s.source), "Resample",
                                 domain::value_of(s.source));
      r.labels_of = LabelsOf::PeriodStarts;
      r.resolution = s.resolution;
      return co::compile_resample(*t, input, s.resolution, s.source, s.is_rate, start_col);
    case StepKind::Select:
      return co::compile_select_steps(input, condition_flags(t, s, in.labels, flags, own),
                                      start_col);
    case StepKind::Extremes:
      if (args.size() > 1) throw Unsupported{};  // a mask by the n highest: not compiled
      return co::compile_select_extremes(input, co::period_groups(*t, in.labels, s.period), s.n,
                                         s.highest, start_col, assume_convex);
    case StepKind::Lookup:
      return co::compile_lookup(input, s.levels, s.boundaries, start_col);
    default:
      throw Unsupported{};
  }
}

std::vector<StepArg> step_args(const Current& c, const Step& s) {
  std::vector<StepArg> out;
  out.reserve(s.operands.size());
  for (const Operand& o : s.operands) {
    StepArg a;
    if (o.kind == Operand::Kind::Number) {
      a.given = co::Given::of(co::PerStep::of(o.number));
    } else if (o.kind == Operand::Kind::Slot) {
      a.labels = c.at(o).labels;
      a.size = a.labels.size();
      const co::VariableSeries* v = c.variables_at(o);
      a.given = v ? co::Given::of(*v) : co::Given::of(a.labels, c.at(o).values);
    }
    out.push_back(a);
  }
  return out;
}

CompileReading compile_reading(StepKind kind) {
  CompileReading r;
  r.one_input = kind != StepKind::Arithmetic && kind != StepKind::Mask && kind != StepKind::Clip;
  r.grouped =
      kind == StepKind::Aggregate || kind == StepKind::Resample || kind == StepKind::Extremes;
  if (kind == StepKind::Mask) r.mismatch = "Mask replacement must share input's index";
  return r;
}

void data_only_block() {
  fail(ErrorKind::NotImplemented, "Constant is data-only; compile() is never dispatched");
}

}  // namespace ostrel::core::pipeline
