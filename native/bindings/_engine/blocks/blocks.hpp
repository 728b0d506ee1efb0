#pragma once
// Shared pieces of the function-block records: the `input_operands()` methods and reading
// operands into the core's terms for validation.
#include <nanobind/nanobind.h>

#include <span>
#include <string_view>
#include <vector>

#include "bindings/common/records.hpp"
#include "core/blocks/catalogue.hpp"
#include "core/blocks/operands.hpp"

namespace ostrel::bindings::engine {
namespace nb = nanobind;

// input_operands(): a dict of the named fields (literals), in the given order (absent ones as
// None).
nb::object named_operands(std::span<const std::string_view> names);

// A Level or Dataset record as the core sees it (Datasets also carry their resolution).
core::blocks::OperandInfo operand_info(nb::handle operand);

// The float items of a list field.
std::vector<double> float_items(nb::handle list);

// The after-validator of a block record: its fields read for the core's rules of its block.
nb::object validate_block(const core::blocks::BlockDeclaration& decl, nb::handle self);

// input_operands() of Add: its inputs as input_0, input_1, ...
nb::object listed_operands(const char* field);
// Aggregate.AggregationFunction.
nb::object make_aggregation_function(nb::module_& m);
// True for the n-highest and n-lowest conditions, which look at values, not at time.
bool is_value_condition(nb::handle condition);

// Builds every block record from the block table, in the order of the Function union, and
// publishes each class on the module; returns the classes in that order.
std::vector<nb::object> build_block_records(nb::module_& m);

}  // namespace ostrel::bindings::engine
