// The blocks' rules (each record's fields read for the core), Add's listed operands and
// Aggregate's enumeration.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <string_view>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/operands.hpp"
#include "core/blocks/validation.hpp"

namespace ostrel::bindings::engine {

namespace cb = core::blocks;
using namespace records;

bool is_value_condition(nb::handle condition) {
  return is_instance(condition, "HighestCondition") || is_instance(condition, "LowestCondition");
}

namespace {

// A select condition as the rules read it: a value condition's resolution, or a time
// condition's finest needed resolution, asked for only when the earlier checks have passed.
cb::SelectCondition select_condition(nb::object condition) {
  cb::SelectCondition c;
  c.is_value_condition = is_value_condition(condition);
  if (c.is_value_condition)
    c.value_resolution = to_resolution(condition.attr("resolution"));
  else
    c.required_resolution = [condition = std::move(condition)] {
      return min_condition_resolution(condition);
    };
  return c;
}

}  // namespace

nb::object validate_block(const cb::BlockDeclaration& decl, nb::handle self) {
  cb::BlockFields f;
  if (!decl.operands_list.empty())
    for (nb::handle item : self.attr(decl.operands_list.data()))
      f.operands.push_back(operand_info(item));
  // The catalogue's names are literals: their views end where the text does.
  for (std::string_view name : decl.operands) {
    nb::object value = self.attr(name.data());
    f.operands.push_back(value.is_none() ? std::nullopt : std::optional(operand_info(value)));
  }
  f.output = operand_info(self.attr("output"));
  for (const auto& field : decl.record.fields) {
    const std::string_view name = field.name;
    if (name == "resolution")
      f.resolution = to_resolution(self.attr("resolution"));
    else if (name == "value")
      f.unit = to_unit(self.attr("value").attr("unit"));
    else if (name == "unit")
      f.unit = to_unit(self.attr("unit"));
    else if (name == "levels" || name == "boundaries")
      (name == "levels" ? f.levels : f.boundaries) = float_items(self.attr(name.data()));
    else if (name == "condition")
      f.condition = select_condition(self.attr("condition"));
  }
  cb::validate_block(decl.record.tag, f);
  return nb::borrow(self);
}

nb::object listed_operands(const char* field) {
  return method(
      "input_operands",
      [field](nb::handle self) {
        nb::dict out;
        size_t i = 0;
        for (nb::handle item : self.attr(field)) out[cb::listed_operand_name(i++).c_str()] = item;
        return out;
      },
      "The block's operands by keyword name, in order.");
}

nb::object make_aggregation_function(nb::module_& m) {
  EnumBuilder e(m, "AggregationFunction", "Aggregate.AggregationFunction");
  e.doc("The reduction applied to the values of each period.");
  e.member("SUM", "sum").member("MEAN", "mean").member("MAX", "max").member("MIN", "min");
  return e.build();
}

}  // namespace ostrel::bindings::engine
