// Constant, Add, Subtract, Divide and Multiply: their fields, operands and unit rules.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

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

cb::OperandInfo of(nb::handle self, const char* name) { return operand_info(self.attr(name)); }

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

void make_constant(nb::module_& m) {
  ModelBuilder b(m, "Constant");
  b.doc("A constant level repeated over every period of a resolution.");
  block_tag(b, "constant");
  b.field("value", m.attr("Level"));
  b.field("resolution", m.attr("Resolution"));
  block_output(b);
  b.attr("input_operands", named_operands({}));
  b.attr("compute", compute::constant_compute());
  b.attr("compile", optim::compile::constant_compile());
  b.after_validator("_validate", validator<validate_constant>("_validate"));
  b.build();
}

void make_add(nb::module_& m) {
  ModelBuilder b(m, "Add");
  b.doc("The element-wise sum of two or more operands.");
  block_tag(b, "add");
  b.field("inputs", list_of(m.attr("Operand")), kw({{"min_length", nb::int_(2)}}));
  block_output(b);
  b.attr("input_operands", method(
                               "input_operands",
                               [](nb::handle self) {
                                 nb::dict out;
                                 size_t i = 0;
                                 for (nb::handle item : self.attr("inputs"))
                                   out[("input_" + std::to_string(i++)).c_str()] = item;
                                 return out;
                               },
                               "The block's operands by keyword name, in order."));
  b.attr("compute", compute::add_compute());
  b.attr("compile", optim::compile::add_compile());
  b.after_validator("_validate", validator<validate_add>("_validate"));
  b.build();
}

template <ValidatorFn F>
void make_binary(nb::module_& m, const char* name, const char* tag, const char* doc,
                 const char* left, nb::handle left_type, const char* right, nb::object compute,
                 nb::object compile) {
  ModelBuilder b(m, name);
  b.doc(doc);
  block_tag(b, tag);
  b.field(left, left_type);
  b.field(right, m.attr("Operand"));
  block_output(b);
  b.attr("input_operands", named_operands({left, right}));
  b.attr("compute", compute);
  b.attr("compile", compile);
  b.after_validator("_validate", validator<F>("_validate"));
  b.build();
}

}  // namespace

void init_arithmetic_blocks(nb::module_& m) {
  nb::object operand = m.attr("Operand");
  make_constant(m);
  make_add(m);
  make_binary<validate_subtract>(
      m, "Subtract", "subtract", "The element-wise difference left - right.", "left", operand,
      "right", compute::subtract_compute(), optim::compile::subtract_compile());
  make_binary<validate_divide>(m, "Divide", "divide",
                               "The element-wise quotient of a series by an operand.", "numerator",
                               m.attr("Dataset"), "denominator", compute::divide_compute(),
                               optim::compile::divide_compile());
  make_binary<validate_multiply>(m, "Multiply", "multiply",
                                 "The element-wise product left * right.", "left", operand, "right",
                                 compute::multiply_compute(), optim::compile::multiply_compile());
}

}  // namespace ostrel::bindings::engine
