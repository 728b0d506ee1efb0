// Constant, Add, Subtract, Divide and Multiply: their unit rules, and Add's listed operands.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/operands.hpp"
#include "core/blocks/validation.hpp"

namespace ostrel::bindings::engine {

namespace cb = core::blocks;
using namespace records;

namespace {

cb::OperandInfo of(nb::handle self, const char* name) { return operand_info(self.attr(name)); }

}  // namespace

nb::object validate_constant(nb::handle self) {
  cb::validate_constant(to_unit(self.attr("value").attr("unit")),
                        to_resolution(self.attr("resolution")), of(self, "output"));
  return nb::borrow(self);
}

nb::object validate_add(nb::handle self) {
  std::vector<cb::OperandInfo> inputs;
  for (nb::handle item : self.attr("inputs")) inputs.push_back(operand_info(item));
  cb::validate_add(inputs, of(self, "output"));
  return nb::borrow(self);
}

nb::object validate_subtract(nb::handle self) {
  cb::validate_subtract(of(self, "left"), of(self, "right"), of(self, "output"));
  return nb::borrow(self);
}

nb::object validate_multiply(nb::handle self) {
  cb::validate_multiply(of(self, "left"), of(self, "right"), of(self, "output"));
  return nb::borrow(self);
}

nb::object validate_divide(nb::handle self) {
  cb::validate_divide(of(self, "numerator"), of(self, "denominator"), of(self, "output"));
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

}  // namespace ostrel::bindings::engine
