// The block table: one row per function-block record (tag, fields, operands, validation,
// compute, compile), in the order of the Function union. Every record is built from its row by
// the same code, so a new block or a new per-block method is a row or a column here.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/compile.hpp"
#include "bindings/common/records.hpp"

namespace ostrel::bindings::engine {

using namespace records;

namespace {

using Factory = nb::object (*)();

// A field's annotation: a name of the record's own attributes (made by `prepare`), of the
// engine module, or a builtin; as is, as a list, or optional with default None.
struct FieldRow {
  enum class Shape { One, List, Optional };
  const char* name;
  const char* type;
  Shape shape = Shape::One;
  int min_length = 0;  // lists only; 0 for none
};
using S = FieldRow::Shape;

struct NamedFactory {
  const char* name;
  Factory make;
};

struct BlockRow {
  const char* name;
  const char* tag;
  const char* doc;
  std::vector<FieldRow> fields;  // between `type` and `output`
  // input_operands(): the named fields in order, or, when `operands_list` is set, the items of
  // that list field as input_0, input_1, ...
  std::vector<const char*> operands;
  const char* operands_list;
  Factory validate;
  Factory compute;
  Factory compile;
  // Record-level attributes made before the fields (nested enumerations) and helper methods.
  nb::object (*prepare)(nb::module_& m);
  std::vector<NamedFactory> helpers;
};

// The `_validate` descriptor of a validator (its method definition is static per function).
template <ValidatorFn F>
nb::object V() {
  return validator<F>("_validate");
}

nb::object aggregation_function(nb::module_& m) { return make_aggregation_function(m); }

const std::vector<BlockRow>& block_table() {
  static const std::vector<BlockRow>* table = new std::vector<BlockRow>{
      {"Constant",
       "constant",
       "A constant level repeated over every period of a resolution.",
       {{"value", "Level"}, {"resolution", "Resolution"}},
       {},
       nullptr,
       V<validate_constant>,
       compute::constant_compute,
       optim::compile::constant_compile,
       nullptr,
       {}},
      {"Add",
       "add",
       "The element-wise sum of two or more operands.",
       {{"inputs", "Operand", S::List, 2}},
       {},
       "inputs",
       V<validate_add>,
       compute::add_compute,
       optim::compile::add_compile,
       nullptr,
       {}},
      {"Subtract",
       "subtract",
       "The element-wise difference left - right.",
       {{"left", "Operand"}, {"right", "Operand"}},
       {"left", "right"},
       nullptr,
       V<validate_subtract>,
       compute::subtract_compute,
       optim::compile::subtract_compile,
       nullptr,
       {}},
      {"Divide",
       "divide",
       "The element-wise quotient of a series by an operand.",
       {{"numerator", "Dataset"}, {"denominator", "Operand"}},
       {"numerator", "denominator"},
       nullptr,
       V<validate_divide>,
       compute::divide_compute,
       optim::compile::divide_compile,
       nullptr,
       {}},
      {"Multiply",
       "multiply",
       "The element-wise product left * right.",
       {{"left", "Operand"}, {"right", "Operand"}},
       {"left", "right"},
       nullptr,
       V<validate_multiply>,
       compute::multiply_compute,
       optim::compile::multiply_compile,
       nullptr,
       {}},
      {"Aggregate",
       "aggregate",
       "Reduces a series to a coarser resolution, period by period.",
       {{"input", "Dataset"},
        {"resolution", "Resolution"},
        {"aggregation_function", "AggregationFunction"}},
       {"input"},
       nullptr,
       V<validate_aggregate>,
       compute::aggregate_compute,
       optim::compile::aggregate_compile,
       aggregation_function,
       {}},
      {"Resample",
       "resample",
       "Spreads a series onto a finer resolution: rates repeat, amounts split by duration.",
       {{"input", "Dataset"}, {"resolution", "Resolution"}},
       {"input"},
       nullptr,
       V<validate_resample>,
       compute::resample_compute,
       optim::compile::resample_compile,
       nullptr,
       {{"_amount_scale", compute::resample_amount_scale},
        {"_forward_fill", compute::resample_forward_fill}}},
      {"Select",
       "select",
       "Keeps the values where a condition holds; the others become missing.",
       {{"input", "Dataset"}, {"condition", "Condition"}},
       {"input"},
       nullptr,
       V<validate_select>,
       compute::select_compute,
       optim::compile::select_compile,
       nullptr,
       {}},
      {"Mask",
       "mask",
       "Replaces the present values where a time condition holds.",
       {{"input", "Dataset"}, {"condition", "TimeCondition"}, {"replacement", "Operand"}},
       {"input", "replacement"},
       nullptr,
       V<validate_mask>,
       compute::mask_compute,
       optim::compile::mask_compile,
       nullptr,
       {}},
      {"Clip",
       "clip",
       "Bounds a series from below and/or above.",
       {{"input", "Dataset"},
        {"minimum", "Operand", S::Optional},
        {"maximum", "Operand", S::Optional}},
       {"input", "minimum", "maximum"},
       nullptr,
       V<validate_clip>,
       compute::clip_compute,
       optim::compile::clip_compile,
       nullptr,
       {}},
      {"Lookup",
       "lookup",
       "Maps a selector series through ascending tier boundaries onto levels.",
       {{"tier_selector", "Dataset"},
        {"levels", "float", S::List, 2},
        {"boundaries", "float", S::List, 1},
        {"unit", "Unit"}},
       {"tier_selector"},
       nullptr,
       V<validate_lookup>,
       compute::lookup_compute,
       optim::compile::lookup_compile,
       nullptr,
       {}},
  };
  return *table;
}

nb::object annotation(nb::module_& m, const FieldRow& f, nb::handle own) {
  nb::object t;
  if (own.is_valid() && nb::str(own.attr("__name__")).equal(nb::str(f.type)))
    t = nb::borrow(own);
  else if (nb::hasattr(m, f.type))
    t = m.attr(f.type);
  else
    t = builtin(f.type);
  switch (f.shape) {
    case S::One:
      return t;
    case S::List:
      return list_of(t);
    case S::Optional:
      return optional(t);
  }
  return t;
}

nb::dict field_kwargs(const FieldRow& f) {
  if (f.shape == S::Optional) return kw({{"default", nb::none()}});
  if (f.min_length > 0) return kw({{"min_length", nb::int_(f.min_length)}});
  return {};
}

nb::object build_record(nb::module_& m, const BlockRow& row) {
  nb::object own;
  if (row.prepare) own = row.prepare(m);
  ModelBuilder b(m, row.name);
  b.doc(row.doc);
  if (own.is_valid()) b.attr(nb::cast<std::string>(own.attr("__name__")).c_str(), own);
  block_tag(b, row.tag);
  for (const FieldRow& f : row.fields) b.field(f.name, annotation(m, f, own), field_kwargs(f));
  block_output(b);
  if (row.operands_list)
    b.attr("input_operands", listed_operands(row.operands_list));
  else
    b.attr("input_operands", named_operands(row.operands));
  b.attr("compute", row.compute());
  if (row.compile) b.attr("compile", row.compile());
  for (const NamedFactory& h : row.helpers) b.attr(h.name, h.make());
  b.after_validator("_validate", row.validate());
  return b.build();
}

}  // namespace

std::vector<nb::object> build_block_records(nb::module_& m) {
  std::vector<nb::object> out;
  for (const BlockRow& row : block_table()) out.push_back(build_record(m, row));
  return out;
}

}  // namespace ostrel::bindings::engine
