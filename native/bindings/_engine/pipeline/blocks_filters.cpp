// Select, Mask, Clip and Lookup: the blocks that keep, replace, bound or map values.
#include <nanobind/nanobind.h>

#include <optional>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/pipeline/blocks.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/validation.hpp"

namespace ostrel::bindings::engine {

namespace cb = core::blocks;
using namespace records;

namespace {

std::optional<cb::OperandInfo> optional_operand(nb::handle value) {
  if (value.is_none()) return std::nullopt;
  return operand_info(value);
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
  b.after_validator("_validate", validator<validate_lookup>("_validate"));
  b.build();
}

}  // namespace

void init_filter_blocks(nb::module_& m) {
  make_clip(m);
  make_lookup(m);
}

}  // namespace ostrel::bindings::engine
