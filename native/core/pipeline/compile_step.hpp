#pragma once
// A step of a run with a variable operand: the block's compile kernel, its operands read as
// the block's `compile` method reads them, over the slots of the run.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/blocks/numeric.hpp"
#include "core/optimisation/compile_common.hpp"
#include "core/optimisation/compile_operands.hpp"
#include "core/pipeline/plan.hpp"
#include "core/pipeline/run.hpp"
#include "core/timeline/timeline.hpp"

namespace ostrel::core::pipeline {

// The current series of every slot: numbers, or variables (whose steps are at the labels).
struct Current {
  std::vector<blocks::LabelledView> slots;
  std::vector<const optimisation::VariableSeries*> variables;
  std::vector<bool> present;

  blocks::LabelledView at(const Operand& o) const { return slots.at(o.slot); }
  const optimisation::VariableSeries* variables_at(const Operand& o) const {
    return o.kind == Operand::Kind::Slot ? variables.at(o.slot) : nullptr;
  }
  bool any_variables(const Step& s) const {
    for (const Operand& o : s.operands)
      if (variables_at(o)) return true;
    return false;
  }
};

// The instants of the periods of a resolution on the run's timeline.
using PeriodStarts = std::function<std::span<const std::int64_t>(Resolution)>;

// An operand of a compiled step as given (absent, variables, a series, known values), with the
// instants of its steps where they are known (variables, a series) and its length.
struct StepArg {
  optimisation::Given given;
  std::span<const std::int64_t> labels;
  std::size_t size = 0;
};

// The operands on the steps of the first variable operand, whose position (`first`) is the
// block's base. Without a variable operand the kernel reports it, after its own earlier checks.
struct StepOperands {
  std::vector<optimisation::Operand> ops;
  std::vector<std::vector<double>> kept;
  std::size_t first = 0;
  std::size_t n = 0;
};
StepOperands read_operands(std::span<const StepArg> args, const std::vector<std::string>& names);

// `s` compiled from `start_col` over `args` (one per operand of the step, in order). Sets r's
// labels_of and resolution, and r.slot to the position in `args` of the operand whose labels
// are the base its columns are placed on. `flags`, where given, is the condition's flag at each
// of the input's steps (Select, Mask); else the timeline's grid gives it. Unsupported where the
// block's own compile would read its operands some other way (variables on different steps,
// instants off the grid). `t` may be null for the blocks that need no calendar (arithmetic,
// Clip, Lookup, and Select or Mask given their flags).
optimisation::CompiledBlock compile_step(const timeline::Timeline* t, const Step& s,
                                         std::span<const StepArg> args, const PeriodStarts& starts,
                                         std::optional<std::span<const std::uint8_t>> flags,
                                         std::int64_t start_col, bool assume_convex, StepResult& r);

// How a block's own `compile` reads its operands: whether it takes one variable input (refused
// before anything else when it is not variables), whether its operands are read on their steps'
// instants (the blocks that group by period), and the assertion when variable operands are not
// on one index.
struct CompileReading {
  bool one_input = false;
  bool grouped = false;
  const char* mismatch = "VariableSeries must share an index";
};
CompileReading compile_reading(StepKind kind);
// NotImplementedError: a block without operands (Constant) is data only, never compiled.
[[noreturn]] void data_only_block();

// The operands of `s` as the slots of a run hold them.
std::vector<StepArg> step_args(const Current& c, const Step& s);

}  // namespace ostrel::core::pipeline
