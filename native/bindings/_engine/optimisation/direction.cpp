// convex_when_minimised: reads a component's steps and the kinds of its inputs for the core's
// decision whether its linear forms are exact under minimisation.
#include "core/optimisation/direction.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/convert.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

co::DirectionOperand direction_operand(const std::string& role, nb::handle value) {
  co::DirectionOperand o{role, std::nullopt, 0.0};
  if (is_instance(value, "Dataset"))
    o.dataset_id = text_of(value.attr("id"));
  else
    o.value = nb::cast<double>(is_instance(value, "Level") ? value.attr("value") : value);
  return o;
}

co::DirectionStep direction_step(nb::handle fn) {
  co::DirectionStep s;
  s.type = text_of(fn.attr("type"));
  s.output_id = text_of(fn.attr("output").attr("id"));
  if (s.type == "constant") s.operands.push_back(direction_operand("value", fn.attr("value")));
  for (auto [name, value] : nb::cast<nb::dict>(fn.attr("input_operands")()))
    if (!value.is_none()) s.operands.push_back(direction_operand(text_of(name), value));
  if (s.type == "aggregate") s.aggregation = text_of(fn.attr("aggregation_function"));
  if (s.type == "select" && is_value_condition(fn.attr("condition")))
    s.value_condition = text_of(fn.attr("condition").attr("type"));
  if (s.type == "lookup")
    for (nb::handle l : fn.attr("levels")) s.levels.push_back(nb::cast<double>(l));
  return s;
}

bool convex_when_minimised(nb::handle component, nb::handle inputs) {
  std::vector<co::DirectionStep> steps;
  for (nb::handle fn : component.attr("functions")) steps.push_back(direction_step(fn));
  std::vector<co::DirectionInput> given;
  for (auto [dataset, value] : nb::cast<nb::dict>(inputs)) {
    co::DirectionInput in{text_of(dataset.attr("id")), as_variables(value) != nullptr, {}};
    // Anything but a series or variables is refused by the run; nothing is told from it here.
    if (!in.is_variable)
      in.sign = convert::is_series(value) ? co::sign_of(convert::values_view(value).values)
                                          : co::Sign::unknown();
    given.push_back(std::move(in));
  }
  const std::string cost = text_of(component.attr("cost").attr("id"));
  return co::convex_when_minimised(steps, given, cost);
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
