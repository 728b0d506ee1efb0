// Select, Mask, Clip and Lookup compile: masks and groupings from the timeline's core, rows
// from the core compilers.
#include "core/optimisation/compile_filters.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/compile.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/records.hpp"
#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"
#include "core/optimisation/compile_arithmetic.hpp"
#include "core/optimisation/compile_select.hpp"

namespace ostrel::bindings::engine::optim::compile {

namespace {

bool present(const nb::object& value) { return value.is_valid() && !value.is_none(); }

}  // namespace

nb::object select_compile() {
  return variable_input_compile(
      "input",
      [](nb::handle self, const CompileArgs& c, const VariableSeriesRecord& input) {
        nb::object condition = self.attr("condition");
        const bool highest = is_instance(condition, "HighestCondition");
        co::CompiledBlock b;
        if (highest || is_instance(condition, "LowestCondition")) {
          Timeline& t = compute::timeline_arg(c.timeline);
          const co::PeriodGroups g =
              groups_of(t, input, resolution_key(condition.attr("resolution")));
          const int64_t n = nb::cast<int64_t>(condition.attr("n"));
          b = unlocked([&] {
            return co::compile_select_extremes(*input.data, g, n, highest, c.start_col,
                                               c.assume_convex);
          });
        } else {
          const MaskView keep = condition_mask(c.timeline, input.index, condition,
                                               self.attr("input").attr("resolution"));
          b = unlocked(
              [&] { return co::compile_select_steps(*input.data, keep.flags, c.start_col); });
        }
        return wrap(std::move(b), input.index);
      },
      "compile(timeline, next_available_col, assume_convex, *, input): the steps a calendar "
      "condition keeps, or per period n slot columns whose sum is that of the n highest (lowest) "
      "values.");
}

nb::object mask_compile() {
  static const args::Signature sig = compile_signature({{"input"}, {"replacement"}});
  return records::method(
      "compile",
      [](nb::handle self, nb::args a, nb::kwargs kw) {
        CompileArgs c = parse_compile(sig, a, kw);
        const nb::object &input = c.operands[0], &replacement = c.operands[1];
        nb::object index;
        if (const VariableSeriesRecord* v = as_variables(input))
          index = v->index;
        else if (compute::is_series(input))
          index = input.attr("index");
        if (!index.is_valid()) co::input_without_index();
        const char* mismatch = "Mask replacement must share input's index";
        if (const VariableSeriesRecord* r = as_variables(replacement))
          if (core::assertions_enabled() && !value_equal(r->index, index))
            raise_assertion(mismatch);
        Operands ops = read_operands({{input, "input"}, {replacement, "replacement"}}, mismatch);
        const size_t n = nb::len(index);
        co::check_replacement_length(ops.any_variable(), ops.n, n);
        const MaskView holds = condition_mask(c.timeline, index, self.attr("condition"),
                                              self.attr("input").attr("resolution"));
        co::CompiledBlock b = unlocked(
            [&] { return co::compile_mask(ops.ops[0], ops.ops[1], holds.flags, n, c.start_col); });
        return wrap(std::move(b), index);
      },
      "compile(timeline, next_available_col, assume_convex, *, input, replacement): a column "
      "per step equal to the replacement where the condition holds and to the input elsewhere.");
}

nb::object clip_compile() {
  static const args::Signature sig =
      compile_signature({{"input"}, {"minimum", false}, {"maximum", false}});
  return records::method(
      "compile",
      [](nb::handle, nb::args a, nb::kwargs kw) {
        CompileArgs c = parse_compile(sig, a, kw);
        Operands ops = read_operands(
            {{c.operands[0], "input"}, {c.operands[1], "minimum"}, {c.operands[2], "maximum"}},
            "VariableSeries must share an index", {"minimum", "maximum"});
        const co::Operand* lo = present(c.operands[1]) ? &ops.ops[1] : nullptr;
        const co::Operand* hi = present(c.operands[2]) ? &ops.ops[2] : nullptr;
        co::CompiledBlock b = unlocked([&] {
          return co::compile_clip(ops.ops[0], lo, hi, ops.n, c.start_col, c.assume_convex);
        });
        return wrap(std::move(b), ops.index);
      },
      "compile(timeline, next_available_col, assume_convex, *, input, minimum=None, "
      "maximum=None): the input bounded, as one-sided rows (assume_convex) or exactly with one "
      "binary per step and side.");
}

nb::object lookup_compile() {
  return variable_input_compile(
      "tier_selector",
      [](nb::handle self, const CompileArgs& c, const VariableSeriesRecord& selector) {
        const std::vector<double> levels = float_items(self.attr("levels"));
        const std::vector<double> boundaries = float_items(self.attr("boundaries"));
        co::CompiledBlock b = unlocked(
            [&] { return co::compile_lookup(*selector.data, levels, boundaries, c.start_col); });
        return wrap(std::move(b), selector.index);
      },
      "compile(timeline, next_available_col, assume_convex, *, tier_selector): the level of the "
      "selector's tier; one binary per feasible (step, tier) pair where the selector's bounds "
      "span several tiers.");
}

}  // namespace ostrel::bindings::engine::optim::compile
