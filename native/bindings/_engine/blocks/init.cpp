// The function-block records, the Function union and the operand helpers that the blocks and
// the tariff component's wiring checks share.
#include <nanobind/nanobind.h>

#include <string>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::engine {

namespace cb = core::blocks;
using namespace records;

nb::object named_operands(std::span<const std::string_view> names) {
  std::vector<std::string_view> keys(names.begin(), names.end());
  return method(
      "input_operands",
      [keys](nb::handle self) {
        nb::dict out;
        for (std::string_view k : keys) out[k.data()] = self.attr(k.data());
        return out;
      },
      "The block's operands by keyword name, in order.");
}

cb::OperandInfo operand_info(nb::handle operand) {
  const auto unit = to_unit(operand.attr("unit"));
  if (is_instance(operand, "Dataset"))
    return cb::OperandInfo::dataset(unit, to_resolution(operand.attr("resolution")));
  return cb::OperandInfo::level(unit);
}

std::vector<double> float_items(nb::handle list) {
  std::vector<double> out;
  for (nb::handle item : list) out.push_back(nb::cast<double>(item));
  return out;
}

namespace {

nb::set get_datasets(nb::handle items) {
  nb::object dataset = attr("Dataset");
  nb::set out;
  for (nb::handle item : items)
    if (nb::isinstance(item, dataset)) out.add(item);
  return out;
}

void assert_resolutions_match(nb::handle items) {
  // Like the host's assert statement, an optimised run does not even look at the items.
  if (!core::assertions_enabled()) return;
  std::vector<core::domain::Resolution> resolutions;
  for (nb::handle d : get_datasets(items))
    resolutions.push_back(to_resolution(d.attr("resolution")));
  cb::assert_resolutions_match(std::span<const core::domain::Resolution>(resolutions));
}

void assert_units_match(nb::handle items) {
  if (!core::assertions_enabled()) return;
  std::vector<core::domain::Unit> units;
  for (nb::handle item : items) units.push_back(to_unit(item.attr("unit")));
  cb::assert_units_match(std::span<const core::domain::Unit>(units));
}

nb::set get_input_datasets(nb::handle function) {
  nb::object operands = function.attr("input_operands")();
  return get_datasets(operands.attr("values")());
}

void make_function_union(nb::module_& m, const std::vector<nb::object>& members) {
  m.attr("Function") =
      annotated(union_of(members), field(kw({{"discriminator", nb::str("type")}})));
}

}  // namespace

void init_blocks(nb::module_& m) {
  m.def("get_datasets", &get_datasets, nb::arg("items"),
        "The set of the Dataset instances among items; constants are skipped.");
  m.def("assert_resolutions_match", &assert_resolutions_match, nb::arg("items"),
        "AssertionError unless the datasets among items share one resolution.");
  m.def("assert_units_match", &assert_units_match, nb::arg("items"),
        "AssertionError unless all items share one unit.");
  m.def("get_input_datasets", &get_input_datasets, nb::arg("function"),
        "The set of the Dataset operands of a function block.");
  m.def("is_value_condition", &is_value_condition, nb::arg("condition"),
        "True for the n-highest and n-lowest conditions, which look at values, not at time.");
  make_function_union(m, build_block_records(m));
}

}  // namespace ostrel::bindings::engine
