// Resample's amount scale and forward fill.
#include <nanobind/nanobind.h>

#include <string>

#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/messages.hpp"
#include "core/blocks/periods.hpp"

namespace ostrel::bindings::engine::compute {

namespace cb = core::blocks;

namespace {

// The target and input resolutions of an Aggregate or Resample record.
std::pair<cal::Resolution, cal::Resolution> target_and_input_resolutions(nb::handle self) {
  return {to_resolution(self.attr("resolution")),
          to_resolution(self.attr("input").attr("resolution"))};
}

}  // namespace

nb::object resample_amount_scale() {
  return nb::cpp_function(
      [](nb::handle self, nb::handle timeline) {
        Timeline& t = timeline_arg(timeline);
        const auto [target, source] = target_and_input_resolutions(self);
        return wrap(cb::amount_scale(*t.core, target, source), t.get_as(self.attr("resolution")));
      },
      nb::is_method(), nb::name("_amount_scale"), nb::arg("timeline"),
      "Per target period, the share of its input period that it covers (quarter-hour counts).");
}

nb::object resample_forward_fill() {
  return nb::cpp_function(
      [](nb::handle self, nb::handle timeline, nb::handle input) {
        Timeline& t = timeline_arg(timeline);
        if (!optim::as_variables(input)) operand_type_error(input, "input", "VariableSeries");
        const auto [target, source] = target_and_input_resolutions(self);
        nb::object positions = convert::to_numpy(cb::resample_positions(*t.core, target, source));
        return input.attr("gather")(positions, t.get_as(self.attr("resolution")));
      },
      nb::is_method(), nb::name("_forward_fill"), nb::arg("timeline"), nb::arg("input"),
      "The input variables repeated onto the target periods, each from the period it starts in.");
}

}  // namespace ostrel::bindings::engine::compute
