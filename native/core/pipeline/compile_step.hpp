#pragma once
// A step of a run with a variable operand: the block's compile kernel, its operands read as
// the block's `compile` method reads them, over the slots of the run.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/blocks/numeric.hpp"
#include "core/optimisation/compile_common.hpp"
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

// `s` compiled from `start_col`. Sets r's labels_of, resolution and slot to the base its
// columns are placed on. Unsupported where the block's own compile would read its operands
// some other way (operands on different steps, instants off the grid).
optimisation::CompiledBlock compile_step(const timeline::Timeline& t, const Step& s,
                                         const Current& c, const PeriodStarts& starts,
                                         std::int64_t start_col, bool assume_convex, StepResult& r);

}  // namespace ostrel::core::pipeline
