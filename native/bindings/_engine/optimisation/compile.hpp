#pragma once
// The `compile` methods of the blocks: each reads its arguments (timeline, first free column,
// assume_convex, then the operands by keyword), runs the block as one step of the core's
// compile and wraps the result as a FunctionBlock whose series carry the time labels of their
// steps.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/catalogue.hpp"
#include "core/optimisation/compile_arithmetic.hpp"
#include "core/optimisation/compile_common.hpp"
#include "core/pipeline/compile_step.hpp"

namespace ostrel::bindings::engine::optim::compile {
namespace nb = nanobind;

// The `compile` method of a block of the catalogue, with the catalogue's text: a one-step run
// of the core's compile over the arguments.
nb::object block_compile(const core::blocks::BlockDeclaration& decl);

// _compile_one_sided and Slots (for_groups, linear_base_constraints, milp_brackets).
void init_compile(nb::module_& m);

// Operands read for the core's compile: variables in place (every variable operand on the first
// one's steps, whose index the host checked they share), series with instants paired by label
// when there are variables, other series, arrays and numbers as values by position.
struct Args {
  std::vector<core::pipeline::StepArg> args;
  std::vector<nb::object> index;  // each operand's index, or None
  std::vector<nb::object> keep;
  std::vector<convert::SeriesArg> series;
  InstantsView steps;  // the first variable's instants, read where a step needs them
};
// None is refused like any other non-operand, except for the `optional` names, whose absence
// (invalid or None) reads as the number 0. Variable operands must share the first one's index
// (`mismatch` is the assertion text). `labels`: read the variables' instants even without a
// series to pair.
Args read_args(const std::vector<std::pair<nb::object, const char*>>& values, bool labels,
               const char* mismatch = "VariableSeries must share an index",
               std::span<const std::string_view> optional = {});

// A series whose labels are instants; one labelled otherwise can only be taken in order.
bool time_labelled(nb::handle series);

// The FunctionBlock of a core result; series without positions take `base_index` itself.
nb::object wrap(co::CompiledBlock&& block, nb::handle base_index);

// The timeline's mask of a time condition over an index of its instants, from the core where
// the index lies on the grid (else the timeline's own method, which reports what is wrong).
struct MaskView {
  nb::object array;
  std::vector<uint8_t> own;
  std::span<const uint8_t> flags;
};
MaskView condition_mask(nb::handle timeline, nb::handle index, nb::handle condition,
                        nb::handle resolution);

}  // namespace ostrel::bindings::engine::optim::compile
