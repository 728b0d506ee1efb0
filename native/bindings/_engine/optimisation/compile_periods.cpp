// Aggregate and Resample compile: grouping by the timeline's periods in the core.
#include "core/optimisation/compile_periods.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/compile.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/records.hpp"
#include "core/common/errors.hpp"
#include "core/optimisation/arguments.hpp"
#include "core/optimisation/compile_arithmetic.hpp"

namespace ostrel::bindings::engine::optim::compile {

co::PeriodGroups groups_of(Timeline& t, const VariableSeriesRecord& v, core::domain::Resolution r) {
  InstantsView instants = instants_view(v.index);
  return co::period_groups(*t.core, instants.ns, r);
}

nb::object aggregate_compile() {
  return variable_input_compile(
      "input",
      [](nb::handle self, const CompileArgs& c, const VariableSeriesRecord& input) {
        Timeline& t = compute::timeline_arg(c.timeline);
        const co::PeriodGroups g = groups_of(t, input, resolution_key(self.attr("resolution")));
        const auto f = core::blocks::aggregation_of(text_of(self.attr("aggregation_function")));
        co::CompiledBlock b = unlocked(
            [&] { return co::compile_aggregate(*input.data, g, f, c.start_col, c.assume_convex); });
        return wrap(std::move(b), input.index);
      },
      "compile(timeline, next_available_col, assume_convex, *, input): one column per period; "
      "sums and means as equalities, extrema as one-sided rows (assume_convex) or exactly with "
      "one binary per step.");
}

nb::object resample_compile() {
  return variable_input_compile(
      "input",
      [](nb::handle self, const CompileArgs& c, const VariableSeriesRecord& input) {
        Timeline& t = compute::timeline_arg(c.timeline);
        nb::object source = self.attr("input");
        const bool rate = core::domain::is_rate(to_unit(source.attr("unit")));
        const auto target = resolution_key(self.attr("resolution"));
        const auto from = resolution_key(source.attr("resolution"));
        // The compiler places the variables by position: their labels must be those places.
        co::check_steps_on_periods(instants_view(input.index).ns,
                                   instants_view(t.get_as(source.attr("resolution"))).ns,
                                   "Resample", text_of(source.attr("resolution")));
        co::CompiledBlock b = unlocked([&] {
          return co::compile_resample(*t.core, *input.data, target, from, rate, c.start_col);
        });
        return wrap(std::move(b), t.get_as(self.attr("resolution")));
      },
      "compile(timeline, next_available_col, assume_convex, *, input): the input variables "
      "carried onto the finer periods; amounts scaled by the share of their period.");
}

}  // namespace ostrel::bindings::engine::optim::compile
