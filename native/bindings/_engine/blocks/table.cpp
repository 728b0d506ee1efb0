// The block records: the core's catalogue declares each one (tag, fields, operands) and a row
// here gives the texts of its compute and compile, in the catalogue's order; its validation,
// compute and compile are the same code for every block. Every record is built by the same
// code, so a new per-block method is a column here.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <string>
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

struct NamedFactory {
  const char* name;
  Factory make;
};

// The native side of a block record, in the order of the core's block catalogue.
struct BlockRow {
  const char* compute_doc;
  const char* compile_doc;  // null: the text every arithmetic block shares
  // Record-level attributes made before the fields (nested enumerations) and helper methods.
  nb::object (*prepare)(nb::module_& m);
  std::vector<NamedFactory> helpers;
};

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

const char* kBinaryDoc =
    "compute(timeline, *, left, right): the element-wise result, paired by label.";

nb::object aggregation_function(nb::module_& m) { return make_aggregation_function(m); }

const std::vector<BlockRow>& block_table() {
  static const std::vector<BlockRow>* table = new std::vector<BlockRow>{
      {"compute(timeline): the level's value at every period start of the resolution.",
       nullptr,
       nullptr,
       {}},
      {"compute(timeline, **operands): the operands summed left to right, paired by label.",
       nullptr,
       nullptr,
       {}},
      {kBinaryDoc, nullptr, nullptr, {}},
      {"compute(timeline, *, numerator, denominator): the element-wise result, paired by label.",
       nullptr,
       nullptr,
       {}},
      {kBinaryDoc, nullptr, nullptr, {}},
      {"compute(timeline, *, input): one reduced value per period, on the period starts.",
       "compile(timeline, next_available_col, assume_convex, *, input): one column per period; "
       "sums and means as equalities, extrema as one-sided rows (assume_convex) or exactly with "
       "one binary per step.",
       aggregation_function,
       {}},
      {"compute(timeline, *, input): the input carried onto the finer periods; amounts are "
       "split in proportion to duration.",
       "compile(timeline, next_available_col, assume_convex, *, input): the input variables "
       "carried onto the finer periods; amounts scaled by the share of their period.",
       nullptr,
       {{"_amount_scale", compute::resample_amount_scale},
        {"_forward_fill", compute::resample_forward_fill}}},
      {"compute(timeline, *, input): the input where the condition holds, missing elsewhere.",
       "compile(timeline, next_available_col, assume_convex, *, input): the steps a calendar "
       "condition keeps, or per period n slot columns whose sum is that of the n highest (lowest) "
       "values.",
       nullptr,
       {}},
      {"compute(timeline, *, input, replacement): present values replaced where the condition "
       "holds; missing values stay missing.",
       "compile(timeline, next_available_col, assume_convex, *, input, replacement): a column "
       "per step equal to the replacement where the condition holds and to the input elsewhere.",
       nullptr,
       {}},
      {"compute(timeline, *, input, minimum=None, maximum=None): the input bounded.",
       "compile(timeline, next_available_col, assume_convex, *, input, minimum=None, "
       "maximum=None): the input bounded, as one-sided rows (assume_convex) or exactly with one "
       "binary per step and side.",
       nullptr,
       {}},
      {"compute(timeline, *, tier_selector): the level of the tier each selector value falls "
       "in; a value equal to a boundary belongs to the tier above it.",
       "compile(timeline, next_available_col, assume_convex, *, tier_selector): the level of the "
       "selector's tier; one binary per feasible (step, tier) pair where the selector's bounds "
       "span several tiers.",
       nullptr,
       {}},
  };
  return *table;
}

nb::object build_record(nb::module_& m, const core::blocks::BlockDeclaration& decl,
                        const BlockRow& row, Factory validate) {
  nb::object own;
  if (row.prepare) own = row.prepare(m);
  ModelBuilder b = declared(m, decl.record, own);
  b.field("output", attr("Dataset"));
  if (!decl.operands_list.empty())
    b.attr("input_operands", listed_operands(decl.operands_list.data()));
  else
    b.attr("input_operands", named_operands(decl.operands));
  b.attr("compute", compute::block_compute(decl, row.compute_doc));
  b.attr("compile", optim::compile::block_compile(decl, row.compile_doc));
  for (const NamedFactory& h : row.helpers) b.attr(h.name, h.make());
  b.after_validator("_validate", validate());
  return b.build();
}

}  // namespace

std::vector<nb::object> build_block_records(nb::module_& m) {
  const auto catalogue = core::blocks::block_catalogue();
  const std::vector<BlockRow>& rows = block_table();
  std::vector<nb::object> out;
  const auto validate = validators(std::make_index_sequence<core::blocks::kBlockCount>());
  for (std::size_t i = 0; i < catalogue.size(); ++i)
    out.push_back(build_record(m, catalogue[i], rows.at(i), validate.at(i)));
  return out;
}

}  // namespace ostrel::bindings::engine
