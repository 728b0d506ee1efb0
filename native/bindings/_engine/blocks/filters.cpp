// Select, Mask, Clip and Lookup: the blocks that keep, replace, bound or map values.
#include <nanobind/nanobind.h>

#include <functional>
#include <optional>

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

bool is_value_condition(nb::handle condition) {
  return is_instance(condition, "HighestCondition") || is_instance(condition, "LowestCondition");
}

std::optional<cb::OperandInfo> optional_operand(nb::handle value) {
  if (value.is_none()) return std::nullopt;
  return operand_info(value);
}

// The finest resolution a time condition needs, from the conditions' own rule.
std::function<cb::Resolution()> required_resolution(nb::object condition) {
  return [condition = std::move(condition)] {
    return to_resolution(attr("min_condition_resolution")(condition));
  };
}

nb::object validate_select(nb::handle self) {
  nb::object condition = self.attr("condition");
  cb::SelectCondition c;
  c.is_value_condition = is_value_condition(condition);
  if (c.is_value_condition)
    c.value_resolution = to_resolution(condition.attr("resolution"));
  else
    c.required_resolution = required_resolution(condition);
  cb::validate_select(operand_info(self.attr("input")), c, operand_info(self.attr("output")));
  return nb::borrow(self);
}

nb::object validate_mask(nb::handle self) {
  cb::validate_mask(operand_info(self.attr("input")), operand_info(self.attr("replacement")),
                    required_resolution(self.attr("condition")), operand_info(self.attr("output")));
  return nb::borrow(self);
}

nb::object validate_clip(nb::handle self) {
  const auto lo = optional_operand(self.attr("minimum"));
  const auto hi = optional_operand(self.attr("maximum"));
  cb::validate_clip(operand_info(self.attr("input")), lo ? &*lo : nullptr, hi ? &*hi : nullptr,
                    operand_info(self.attr("output")));
  return nb::borrow(self);
}

nb::object validate_lookup(nb::handle self) {
  const std::vector<double> levels = float_items(self.attr("levels"));
  const std::vector<double> boundaries = float_items(self.attr("boundaries"));
  cb::validate_lookup(operand_info(self.attr("tier_selector")), levels, boundaries,
                      to_unit(self.attr("unit")), operand_info(self.attr("output")));
  return nb::borrow(self);
}

void make_select(nb::module_& m) {
  ModelBuilder b(m, "Select");
  b.doc("Keeps the values where a condition holds; the others become missing.");
  block_tag(b, "select");
  b.field("input", m.attr("Dataset"));
  b.field("condition", m.attr("Condition"));
  block_output(b);
  b.attr("input_operands", named_operands({"input"}));
  b.attr("compute", compute::select_compute());
  b.attr("compile", optim::compile::select_compile());
  b.after_validator("_validate", validator<validate_select>("_validate"));
  b.build();
}

void make_mask(nb::module_& m) {
  ModelBuilder b(m, "Mask");
  b.doc("Replaces the present values where a time condition holds.");
  block_tag(b, "mask");
  b.field("input", m.attr("Dataset"));
  b.field("condition", m.attr("TimeCondition"));
  b.field("replacement", m.attr("Operand"));
  block_output(b);
  b.attr("input_operands", named_operands({"input", "replacement"}));
  b.attr("compute", compute::mask_compute());
  b.attr("compile", optim::compile::mask_compile());
  b.after_validator("_validate", validator<validate_mask>("_validate"));
  b.build();
}

void make_clip(nb::module_& m) {
  ModelBuilder b(m, "Clip");
  b.doc("Bounds a series from below and/or above.");
  block_tag(b, "clip");
  b.field("input", m.attr("Dataset"));
  nb::object bound = optional(m.attr("Operand"));
  b.field("minimum", bound, kw({{"default", nb::none()}}));
  b.field("maximum", bound, kw({{"default", nb::none()}}));
  block_output(b);
  b.attr("input_operands", named_operands({"input", "minimum", "maximum"}));
  b.attr("compute", compute::clip_compute());
  b.attr("compile", optim::compile::clip_compile());
  b.after_validator("_validate", validator<validate_clip>("_validate"));
  b.build();
}

void make_lookup(nb::module_& m) {
  ModelBuilder b(m, "Lookup");
  b.doc("Maps a selector series through ascending tier boundaries onto levels.");
  block_tag(b, "lookup");
  b.field("tier_selector", m.attr("Dataset"));
  nb::object floats = list_of(builtin("float"));
  b.field("levels", floats, kw({{"min_length", nb::int_(2)}}));
  b.field("boundaries", floats, kw({{"min_length", nb::int_(1)}}));
  b.field("unit", m.attr("Unit"));
  block_output(b);
  b.attr("input_operands", named_operands({"tier_selector"}));
  b.attr("compute", compute::lookup_compute());
  b.attr("compile", optim::compile::lookup_compile());
  b.after_validator("_validate", validator<validate_lookup>("_validate"));
  b.build();
}

}  // namespace

void init_filter_blocks(nb::module_& m) {
  m.def("is_value_condition", &is_value_condition, nb::arg("condition"),
        "True for the n-highest and n-lowest conditions, which look at values, not at time.");
  make_select(m);
  make_mask(m);
  make_clip(m);
  make_lookup(m);
}

}  // namespace ostrel::bindings::engine
