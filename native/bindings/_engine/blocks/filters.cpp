// Select, Mask, Clip and Lookup, the blocks that keep, replace, bound or map values: their rules.
#include <nanobind/nanobind.h>

#include <functional>
#include <optional>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/validation.hpp"

namespace ostrel::bindings::engine {

namespace cb = core::blocks;
using namespace records;

bool is_value_condition(nb::handle condition) {
  return is_instance(condition, "HighestCondition") || is_instance(condition, "LowestCondition");
}

namespace {

std::optional<cb::OperandInfo> optional_operand(nb::handle value) {
  if (value.is_none()) return std::nullopt;
  return operand_info(value);
}

// The finest resolution a time condition needs, from the conditions' own rule.
std::function<cb::Resolution()> required_resolution(nb::object condition) {
  return [condition = std::move(condition)] { return min_condition_resolution(condition); };
}

}  // namespace

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

}  // namespace ostrel::bindings::engine
