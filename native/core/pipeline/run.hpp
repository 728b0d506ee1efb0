#pragma once
// One component's pipeline run for one set of series: every step through the blocks' own
// kernels, in order, each result labelled as the block's evaluation of a host series labels it.
// A step with a variable operand is compiled as the block's `compile` compiles it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/blocks/numeric.hpp"
#include "core/optimisation/compile_common.hpp"
#include "core/pipeline/plan.hpp"
#include "core/timeline/timeline.hpp"

namespace ostrel::core::pipeline {

// A series the run starts from (an input, or a result of an earlier run), in its slot: numbers,
// or solver variables (`values` then empty) whose steps are at `labels`.
struct Filed {
  std::size_t slot = 0;
  std::span<const std::int64_t> labels;  // UTC nanoseconds
  std::span<const double> values;
  const optimisation::VariableSeries* variables = nullptr;
};

// A step's result and where its labels come from: the period starts of `resolution` (a
// constant, aggregate or resample), the labels of the series in slot `slot` when the step ran
// (the block keeps its input's labels), or labels of its own (arithmetic over series whose
// labels differ: their union, in the zone of the series in `slot`).
struct StepResult {
  enum class LabelsOf { PeriodStarts, Slot, Own } labels_of = LabelsOf::PeriodStarts;
  Resolution resolution = Resolution::QUARTER_HOURLY;
  std::size_t slot = 0;
  blocks::Labels labels;  // Own
  blocks::Values values;
  // A compiled step: its columns placed on the base the fields above name (the period starts
  // of a resample's target, else the index of the operand in `slot`), and the labels of its
  // output when they are some of the base's.
  std::optional<optimisation::CompiledBlock> block;
  std::vector<std::int64_t> output_labels;
};

// The solver columns of a run with variable inputs: the first free one, advanced past every
// compiled step's columns, and the formulation chosen for maxima and minima.
struct Columns {
  std::int64_t next = 0;
  bool assume_convex = false;
};

// What a run cannot do the way the host's evaluation of a block does: a series off the grid
// whose condition the timeline would look up its own way.
struct Unsupported {};

// Runs every step of `plan` in order from the `filed` series (every slot a step reads before
// any step writes it must be filed). Errors of the kernels pass through as the blocks raise
// them; the results are whole or not at all. Variables need `columns`, which compiled steps
// advance. With `wanted`, only the last result written to that slot is kept whole: the values
// of every other step are let go once no later step reads them, so that the run's storage
// is used again while it is still in cache.
std::vector<StepResult> run(const timeline::Timeline& t, const Plan& plan,
                            std::span<const Filed> filed, Columns* columns = nullptr,
                            std::optional<std::size_t> wanted = std::nullopt);

// What Select or Mask keeps of `input` where `flags` hold: a step of one operand selects; a Mask
// puts its replacement there, a number or the series `replacement` read at the input's labels.
blocks::Values filtered(const Step& s, blocks::LabelledView input,
                        std::span<const std::uint8_t> flags,
                        std::optional<blocks::LabelledView> replacement);

// The slots that steps read before any step of the plan writes them, in order of first use.
std::vector<std::size_t> read_before_written(const Plan& plan);

}  // namespace ostrel::core::pipeline
