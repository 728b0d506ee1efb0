#pragma once
// The `compile` methods of the blocks: each reads its arguments (timeline, first free column,
// assume_convex, then the operands by keyword), calls the core compiler and wraps the result
// as a FunctionBlock whose series carry the time labels of their steps.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/records.hpp"
#include "core/optimisation/compile_arithmetic.hpp"
#include "core/optimisation/compile_common.hpp"

namespace ostrel::bindings::engine::optim::compile {
namespace nb = nanobind;

// Native `compile` methods, one per block.
nb::object constant_compile();
nb::object add_compile();
nb::object subtract_compile();
nb::object multiply_compile();
nb::object divide_compile();
nb::object aggregate_compile();
nb::object resample_compile();
nb::object select_compile();
nb::object mask_compile();
nb::object clip_compile();
nb::object lookup_compile();

// _compile_one_sided and Slots (for_groups, linear_base_constraints, milp_brackets).
void init_compile(nb::module_& m);

// compile(timeline, next_available_col, assume_convex, *, <operands>).
struct CompileArgs {
  nb::object timeline;
  int64_t start_col = 0;
  bool assume_convex = false;
  std::vector<nb::object> operands;  // in signature order; absent optional ones invalid
};
CompileArgs parse_compile(const args::Signature& sig, const nb::args& a, const nb::kwargs& kw);
args::Signature compile_signature(std::vector<args::Param> operands);

// The compile of a block whose one operand (`name`) must be a variable series ("no variable
// operand" otherwise): `f(self, args, input)` gives the FunctionBlock.
template <typename F>
nb::object variable_input_compile(const char* name, F f, const char* doc) {
  return records::method(
      "compile",
      [sig = compile_signature({{name}}), f](nb::handle self, nb::args a, nb::kwargs kw) {
        CompileArgs c = parse_compile(sig, a, kw);
        const nb::object& value = c.operands[0];
        const VariableSeriesRecord* v =
            value.is_valid() && !value.is_none() ? as_variables(value) : nullptr;
        co::require_variable(v != nullptr);
        return f(self, c, *v);
      },
      doc);
}

// Operands read for the core: variables in place, numbers and series broadcast over the
// steps of the first variable operand (whose index is the block's base index).
struct Operands {
  std::vector<co::Operand> ops;
  std::vector<nb::object> keep;
  std::vector<std::vector<double>> kept;  // series operands' values on the steps
  const VariableSeriesRecord* first = nullptr;
  nb::object index;  // the first variable's, or None
  size_t n = 0;
  bool any_variable() const { return first != nullptr; }
};
// Operands read as `compute` reads them: None is refused like any other non-operand, except
// for the `optional` names, whose absence (invalid or None) reads as the number 0. Series are
// paired with the variables' steps by label. Variable operands must share the first one's
// index (`mismatch` is the assertion text).
Operands read_operands(const std::vector<std::pair<nb::object, const char*>>& values,
                       const char* mismatch = "VariableSeries must share an index",
                       std::initializer_list<std::string_view> optional = {});

// A series whose labels are instants; one labelled otherwise can only be taken in order.
bool time_labelled(nb::handle series);

// Runs a core compile with the host's lock released (its arguments read beforehand).
template <typename F>
co::CompiledBlock unlocked(F&& compile) {
  nb::gil_scoped_release released;
  return compile();
}

// The FunctionBlock of a core result; series without positions take `base_index` itself.
nb::object wrap(co::CompiledBlock&& block, nb::handle base_index);

// The periods of a resolution over a variable series' index, from the timeline's core.
co::PeriodGroups groups_of(Timeline& t, const VariableSeriesRecord& v, core::domain::Resolution r);

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
