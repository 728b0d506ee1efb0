// The block records, as the core's catalogue declares them (tag, fields, operands, the texts of
// compute and compile): their validation, compute and compile are the same code for every
// block, and every record is built by the same code.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/compile.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/catalogue.hpp"

namespace ostrel::bindings::engine {

using namespace records;

namespace {

using Factory = nb::object (*)();

// The rules of the catalogue's block `I` (a function per block: a validator's method
// definition is static per function).
template <std::size_t I>
nb::object validate_at(nb::handle self) {
  return validate_block(core::blocks::block_catalogue()[I], self);
}

template <std::size_t... I>
std::array<Factory, sizeof...(I)> validators(std::index_sequence<I...>) {
  return {+[] { return validator<validate_at<I>>("_validate"); }...};
}

nb::object build_record(nb::module_& m, const core::blocks::BlockDeclaration& decl,
                        Factory validate) {
  const std::string_view name = decl.record.name;
  // Aggregate's nested enumeration is made before its fields.
  ModelBuilder b =
      declared(m, decl.record, name == "Aggregate" ? make_aggregation_function(m) : nb::object());
  b.field("output", attr("Dataset"));
  if (!decl.operands_list.empty())
    b.attr("input_operands", listed_operands(decl.operands_list.data()));
  else
    b.attr("input_operands", named_operands(decl.operands));
  b.attr("compute", compute::block_compute(decl));
  b.attr("compile", optim::compile::block_compile(decl));
  if (name == "Resample") {
    b.attr("_amount_scale", compute::resample_amount_scale());
    b.attr("_forward_fill", compute::resample_forward_fill());
  }
  b.after_validator("_validate", validate());
  return b.build();
}

}  // namespace

std::vector<nb::object> build_block_records(nb::module_& m) {
  const auto catalogue = core::blocks::block_catalogue();
  std::vector<nb::object> out;
  const auto validate = validators(std::make_index_sequence<core::blocks::kBlockCount>());
  for (std::size_t i = 0; i < catalogue.size(); ++i)
    out.push_back(build_record(m, catalogue[i], validate.at(i)));
  return out;
}

}  // namespace ostrel::bindings::engine
