// Aggregate and Resample: the blocks that move a series to another resolution.
#include <nanobind/nanobind.h>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/compile.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/validation.hpp"

namespace ostrel::bindings::engine {

namespace cb = core::blocks;
using namespace records;

namespace {

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

void make_aggregate(nb::module_& m) {
  nb::object aggregation = make_aggregation_function(m);
  ModelBuilder b(m, "Aggregate");
  b.doc("Reduces a series to a coarser resolution, period by period.");
  b.attr("AggregationFunction", aggregation);
  block_tag(b, "aggregate");
  b.field("input", m.attr("Dataset"));
  b.field("resolution", m.attr("Resolution"));
  b.field("aggregation_function", aggregation);
  block_output(b);
  b.attr("input_operands", named_operands({"input"}));
  b.attr("compute", compute::aggregate_compute());
  b.attr("compile", optim::compile::aggregate_compile());
  b.after_validator("_validate", validator<validate_aggregate>("_validate"));
  b.build();
}

void make_resample(nb::module_& m) {
  ModelBuilder b(m, "Resample");
  b.doc("Spreads a series onto a finer resolution: rates repeat, amounts split by duration.");
  block_tag(b, "resample");
  b.field("input", m.attr("Dataset"));
  b.field("resolution", m.attr("Resolution"));
  block_output(b);
  b.attr("input_operands", named_operands({"input"}));
  b.attr("compute", compute::resample_compute());
  b.attr("compile", optim::compile::resample_compile());
  b.attr("_amount_scale", compute::resample_amount_scale());
  b.attr("_forward_fill", compute::resample_forward_fill());
  b.after_validator("_validate", validator<validate_resample>("_validate"));
  b.build();
}

}  // namespace

void init_period_blocks(nb::module_& m) {
  make_aggregate(m);
  make_resample(m);
}

}  // namespace ostrel::bindings::engine
