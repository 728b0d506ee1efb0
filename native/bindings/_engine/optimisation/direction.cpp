// convex_when_minimised: a component's steps read into the core's plan, and the kinds of its
// inputs, for the core's decision whether its linear forms are exact under minimisation.
#include "core/optimisation/direction.hpp"

#include <nanobind/nanobind.h>

#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/_engine/pipeline/plan.hpp"
#include "bindings/common/convert.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

bool convex_when_minimised(nb::handle component, nb::handle inputs) {
  core::pipeline::Plan plan;
  PlanReader reader(nullptr, plan);
  std::vector<co::DirectionStep> steps;
  for (nb::handle fn : component.attr("functions")) {
    if (reader.step(fn)) {
      steps.push_back({std::move(plan.steps.back()), true});
      continue;
    }
    // A block of its own: only what it reads and writes.
    co::DirectionStep s{{}, false};
    for (nb::handle value : nb::cast<nb::dict>(fn.attr("input_operands")()).values())
      if (!value.is_none())
        s.step.operands.push_back(
            is_instance(value, "Dataset")
                ? reader.operand(value)
                : core::pipeline::Operand::of(
                      nb::cast<double>(is_instance(value, "Level") ? value.attr("value") : value)));
    s.step.output = reader.slot_of(fn.attr("output").attr("id"));
    steps.push_back(std::move(s));
  }
  std::vector<co::DirectionInput> given;
  for (auto [dataset, value] : nb::cast<nb::dict>(inputs)) {
    co::DirectionInput in{reader.slot_of(dataset.attr("id")), as_variables(value) != nullptr, {}};
    // Anything but a series or variables is refused by the run; nothing is told from it here.
    if (!in.is_variable)
      in.sign = convert::is_series(value) ? co::sign_of(convert::values_view(value).values)
                                          : co::Sign::unknown();
    given.push_back(in);
  }
  const std::size_t cost = reader.slot_of(component.attr("cost").attr("id"));
  return co::convex_when_minimised(steps, given, plan.slots, cost);
}

}  // namespace

void init_direction(nb::module_& m) {
  m.def("convex_when_minimised", &convex_when_minimised, nb::arg("component"), nb::arg("inputs"),
        "Whether minimising the component's cost makes the linear (assume_convex) form of every "
        "step exact, judged from the sign with which each step's output reaches the cost; "
        "inputs maps datasets to their series or VariableSeries. False wherever the direction "
        "cannot be decided.");
}

}  // namespace ostrel::bindings::engine::optim
