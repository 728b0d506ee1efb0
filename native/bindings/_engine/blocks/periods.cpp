// Aggregate and Resample, the blocks that move a series to another resolution: their rules.
#include <nanobind/nanobind.h>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/validation.hpp"

namespace ostrel::bindings::engine {

namespace cb = core::blocks;
using namespace records;

nb::object validate_aggregate(nb::handle self) {
  cb::validate_aggregate(operand_info(self.attr("input")), to_resolution(self.attr("resolution")),
                         operand_info(self.attr("output")));
  return nb::borrow(self);
}

nb::object validate_resample(nb::handle self) {
  cb::validate_resample(operand_info(self.attr("input")), to_resolution(self.attr("resolution")),
                        operand_info(self.attr("output")));
  return nb::borrow(self);
}

nb::object make_aggregation_function(nb::module_& m) {
  EnumBuilder e(m, "AggregationFunction", "Aggregate.AggregationFunction");
  e.doc("The reduction applied to the values of each period.");
  e.member("SUM", "sum").member("MEAN", "mean").member("MAX", "max").member("MIN", "min");
  return e.build();
}

}  // namespace ostrel::bindings::engine
