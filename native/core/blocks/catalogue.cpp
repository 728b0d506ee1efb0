#include "core/blocks/catalogue.hpp"

#include <array>
#include <utility>

namespace ostrel::core::blocks {

using Shape = domain::FieldDeclaration::Shape;

namespace {

// A required field of `type`.
domain::FieldDeclaration required(std::string_view name, std::string_view type = "Operand") {
  return {.name = name, .type = type};
}

domain::FieldDeclaration resolution() { return {.name = "resolution", .type = "Resolution"}; }

// The compile text of the blocks without one of their own.
constexpr std::string_view kSharedCompile =
    "compile(timeline, next_available_col, assume_convex, **operands): the block's solver "
    "columns and rows, columns numbered from next_available_col.";

constexpr std::string_view kBinaryCompute =
    "compute(timeline, *, left, right): the element-wise result, paired by label.";

// An arithmetic block of two operands, both listed by input_operands().
BlockDeclaration binary(std::string_view name, std::string_view tag, std::string_view doc,
                        domain::FieldDeclaration left, domain::FieldDeclaration right,
                        std::string_view compute_doc = kBinaryCompute) {
  const std::string_view l = left.name, r = right.name;
  return {{.name = name, .tag = tag, .doc = doc, .fields = {std::move(left), std::move(right)}},
          {l, r},
          {},
          compute_doc,
          kSharedCompile};
}

}  // namespace

std::span<const BlockDeclaration> block_catalogue() {
  static const std::array<BlockDeclaration, kBlockCount> blocks{{
      {{.name = "Constant",
        .tag = "constant",
        .doc = "A constant level repeated over every period of a resolution.",
        .fields = {required("value", "Level"), resolution()}},
       {},
       {},
       "compute(timeline): the level's value at every period start of the resolution.",
       kSharedCompile},
      {{.name = "Add",
        .tag = "add",
        .doc = "The element-wise sum of two or more operands.",
        .fields = {{.name = "inputs", .type = "Operand", .shape = Shape::List, .min_length = 2}}},
       {},
       "inputs",
       "compute(timeline, **operands): the operands summed left to right, paired by label.",
       kSharedCompile},
      binary("Subtract", "subtract", "The element-wise difference left - right.", required("left"),
             required("right")),
      binary("Divide", "divide", "The element-wise quotient of a series by an operand.",
             required("numerator", "Dataset"), required("denominator"),
             "compute(timeline, *, numerator, denominator): the element-wise result, paired by "
             "label."),
      binary("Multiply", "multiply", "The element-wise product left * right.", required("left"),
             required("right")),
      {{.name = "Aggregate",
        .tag = "aggregate",
        .doc = "Reduces a series to a coarser resolution, period by period.",
        .fields = {required("input", "Dataset"), resolution(),
                   required("aggregation_function", "AggregationFunction")}},
       {"input"},
       {},
       "compute(timeline, *, input): one reduced value per period, on the period starts.",
       "compile(timeline, next_available_col, assume_convex, *, input): one column per period; "
       "sums and means as equalities, extrema as one-sided rows (assume_convex) or exactly with "
       "one binary per step."},
      {{.name = "Resample",
        .tag = "resample",
        .doc = "Spreads a series onto a finer resolution: rates repeat, amounts split by duration.",
        .fields = {required("input", "Dataset"), resolution()}},
       {"input"},
       {},
       "compute(timeline, *, input): the input carried onto the finer periods; amounts are "
       "split in proportion to duration.",
       "compile(timeline, next_available_col, assume_convex, *, input): the input variables "
       "carried onto the finer periods; amounts scaled by the share of their period."},
      {{.name = "Select",
        .tag = "select",
        .doc = "Keeps the values where a condition holds; the others become missing.",
        .fields = {required("input", "Dataset"), required("condition", "Condition")}},
       {"input"},
       {},
       "compute(timeline, *, input): the input where the condition holds, missing elsewhere.",
       "compile(timeline, next_available_col, assume_convex, *, input): the steps a calendar "
       "condition keeps, or per period n slot columns whose sum is that of the n highest (lowest) "
       "values."},
      {{.name = "Mask",
        .tag = "mask",
        .doc = "Replaces the present values where a time condition holds.",
        .fields = {required("input", "Dataset"), required("condition", "TimeCondition"),
                   required("replacement")}},
       {"input", "replacement"},
       {},
       "compute(timeline, *, input, replacement): present values replaced where the condition "
       "holds; missing values stay missing.",
       "compile(timeline, next_available_col, assume_convex, *, input, replacement): a column "
       "per step equal to the replacement where the condition holds and to the input elsewhere."},
      {{.name = "Clip",
        .tag = "clip",
        .doc = "Bounds a series from below and/or above.",
        .fields = {required("input", "Dataset"),
                   {.name = "minimum", .type = "Operand", .shape = Shape::Optional},
                   {.name = "maximum", .type = "Operand", .shape = Shape::Optional}}},
       {"input", "minimum", "maximum"},
       {},
       "compute(timeline, *, input, minimum=None, maximum=None): the input bounded.",
       "compile(timeline, next_available_col, assume_convex, *, input, minimum=None, "
       "maximum=None): the input bounded, as one-sided rows (assume_convex) or exactly with one "
       "binary per step and side."},
      {{.name = "Lookup",
        .tag = "lookup",
        .doc = "Maps a selector series through ascending tier boundaries onto levels.",
        .fields = {required("tier_selector", "Dataset"),
                   {.name = "levels", .type = "float", .shape = Shape::List, .min_length = 2},
                   {.name = "boundaries", .type = "float", .shape = Shape::List, .min_length = 1},
                   required("unit", "Unit")}},
       {"tier_selector"},
       {},
       "compute(timeline, *, tier_selector): the level of the tier each selector value falls "
       "in; a value equal to a boundary belongs to the tier above it.",
       "compile(timeline, next_available_col, assume_convex, *, tier_selector): the level of the "
       "selector's tier; one binary per feasible (step, tier) pair where the selector's bounds "
       "span several tiers."},
  }};
  return blocks;
}

const char* operand_takes(const BlockDeclaration& b, std::string_view name, bool arithmetic) {
  if (arithmetic) return "Series or float";
  for (const domain::FieldDeclaration& field : b.record.fields) {
    if (field.name != name) continue;
    if (field.type == "Dataset") return "Series";
    if (field.shape == domain::FieldDeclaration::Shape::Optional) return "Series, float or None";
  }
  return "Series or float";
}

std::vector<std::string_view> optional_fields(const BlockDeclaration& b) {
  std::vector<std::string_view> out;
  for (const domain::FieldDeclaration& field : b.record.fields)
    if (field.shape == domain::FieldDeclaration::Shape::Optional) out.push_back(field.name);
  return out;
}

}  // namespace ostrel::core::blocks
