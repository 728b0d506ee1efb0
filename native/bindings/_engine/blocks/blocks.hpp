#pragma once
// Shared pieces of the function-block records: the `type` tag and `output` fields, the
// `input_operands()` method, and reading operands into the core's terms for validation.
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

#include "bindings/common/records.hpp"
#include "core/blocks/operands.hpp"

namespace ostrel::bindings::engine {
namespace nb = nanobind;

// The `type` literal (defaulting to the tag) and the required `output: Dataset`.
void block_tag(records::ModelBuilder& b, const char* tag);
void block_output(records::ModelBuilder& b);

// input_operands(): a dict of the named fields, in the given order (absent ones as None).
nb::object named_operands(std::initializer_list<const char*> names);

// A Level or Dataset record as the core sees it (Datasets also carry their resolution).
core::blocks::OperandInfo operand_info(nb::handle operand);

// The float items of a list field.
std::vector<double> float_items(nb::handle list);

// The records, in the order of the Function union; each publishes its class on the module.
void init_arithmetic_blocks(nb::module_& m);  // Constant, Add, Subtract, Divide, Multiply
void init_period_blocks(nb::module_& m);      // Aggregate, Resample
void init_filter_blocks(nb::module_& m);      // Select, Mask, Clip, Lookup

}  // namespace ostrel::bindings::engine
