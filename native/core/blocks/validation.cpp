#include "core/blocks/validation.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/blocks/units_algebra.hpp"
#include "core/common/errors.hpp"
#include "core/common/text.hpp"

namespace ostrel::core::blocks {

namespace {

std::string text(Unit u) { return std::string(domain::value_of(u)); }
std::string text(Resolution r) { return std::string(domain::value_of(r)); }

// Inputs and outputs that must be series; the bindings only pass datasets here.
Resolution resolution_of(const OperandInfo& dataset) { return dataset.resolution.value(); }

int order(Resolution r) { return domain::index_of(r); }

void units_match(std::initializer_list<OperandInfo> items) {
  assert_units_match(std::span<const OperandInfo>(items.begin(), items.size()));
}

void resolutions_match(std::initializer_list<OperandInfo> items) {
  assert_resolutions_match(std::span<const OperandInfo>(items.begin(), items.size()));
}

const char* const kTimes = " \xc3\x97 ";  // the multiplication sign, blank on each side

// The unit of a product or quotient of `pair` (as the message shows it) must be `expected`,
// which is empty when the algebra has no unit for it.
void check_result_unit(const char* block, const std::string& pair, std::optional<Unit> expected,
                       Unit output) {
  check(expected.has_value(), std::string(block) + ": unsupported unit combination " + pair);
  check(output == *expected, std::string(block) + ": " + pair + " should produce " +
                                 text(*expected) + ", got " + text(output));
}

}  // namespace

void validate_constant(Unit value_unit, Resolution resolution, const OperandInfo& output) {
  if (!assertions_enabled()) return;
  const Resolution out_res = resolution_of(output);
  check(out_res == resolution, "Constant output resolution (" + text(out_res) +
                                   ") must match function resolution (" + text(resolution) + ")");
  check(output.unit == value_unit, "Constant output unit (" + text(output.unit) +
                                       ") must match value unit (" + text(value_unit) + ")");
}

void validate_add(std::span<const OperandInfo> inputs, const OperandInfo& output) {
  if (!assertions_enabled()) return;
  std::vector<OperandInfo> items(inputs.begin(), inputs.end());
  items.push_back(output);
  assert_units_match(std::span<const OperandInfo>(items));
  assert_resolutions_match(std::span<const OperandInfo>(items));
}

void validate_subtract(const OperandInfo& left, const OperandInfo& right,
                       const OperandInfo& output) {
  if (!assertions_enabled()) return;
  units_match({left, right, output});
  resolutions_match({left, right, output});
}

void validate_multiply(const OperandInfo& left, const OperandInfo& right,
                       const OperandInfo& output) {
  if (!assertions_enabled()) return;
  resolutions_match({left, right, output});
  const Unit l = left.unit, r = right.unit;
  // A share scales the other factor and keeps its unit.
  const std::optional<Unit> expected = l == Unit::PERCENT   ? r
                                       : r == Unit::PERCENT ? l
                                                            : product_unit(l, r);
  check_result_unit("Multiply", text(l) + kTimes + text(r), expected, output.unit);
}

void validate_divide(const OperandInfo& numerator, const OperandInfo& denominator,
                     const OperandInfo& output) {
  if (!assertions_enabled()) return;
  resolutions_match({numerator, denominator, output});
  const Unit n = numerator.unit, d = denominator.unit;
  const std::optional<Unit> expected = d == Unit::PERCENT ? n : quotient_unit(n, d);
  check_result_unit("Divide", text(n) + " / " + text(d), expected, output.unit);
}

void validate_aggregate(const OperandInfo& input, Resolution resolution,
                        const OperandInfo& output) {
  if (!assertions_enabled()) return;
  const Resolution out_res = resolution_of(output), in_res = resolution_of(input);
  check(out_res == resolution, "Aggregate output resolution (" + text(out_res) +
                                   ") must match function resolution (" + text(resolution) + ")");
  check(order(resolution) > order(in_res), "Aggregate resolution (" + text(resolution) +
                                               ") must be coarser than input resolution (" +
                                               text(in_res) + ")");
  units_match({input, output});
}

void validate_resample(const OperandInfo& input, Resolution resolution, const OperandInfo& output) {
  if (!assertions_enabled()) return;
  const Resolution out_res = resolution_of(output), in_res = resolution_of(input);
  check(out_res == resolution, "Resample output resolution (" + text(out_res) +
                                   ") must match function resolution (" + text(resolution) + ")");
  check(order(resolution) < order(in_res), "Resample target resolution (" + text(resolution) +
                                               ") must be finer than input resolution (" +
                                               text(in_res) + ")");
  units_match({input, output});
}

void validate_select(const OperandInfo& input, const SelectCondition& condition,
                     const OperandInfo& output) {
  if (!assertions_enabled()) return;
  resolutions_match({input, output});
  units_match({input, output});
  const Resolution in_res = resolution_of(input);
  if (condition.is_value_condition) {
    const Resolution period = condition.value_resolution;
    check(order(period) > order(in_res), "Select value condition resolution (" + text(period) +
                                             ") must be coarser than input resolution (" +
                                             text(in_res) + ")");
    return;
  }
  const Resolution required = condition.required_resolution();
  check(order(in_res) <= order(required), "Select condition requires resolution " + text(required) +
                                              " or finer, but input has resolution " +
                                              text(in_res));
}

void validate_mask(const OperandInfo& input, const OperandInfo& replacement,
                   const std::function<Resolution()>& required_resolution,
                   const OperandInfo& output) {
  if (!assertions_enabled()) return;
  resolutions_match({input, replacement, output});
  units_match({input, replacement, output});
  const Resolution in_res = resolution_of(input);
  const Resolution required = required_resolution();
  check(order(in_res) <= order(required), "Mask condition requires resolution " + text(required) +
                                              " or finer, but input has resolution " +
                                              text(in_res));
}

void validate_clip(const OperandInfo& input, const OperandInfo* minimum, const OperandInfo* maximum,
                   const OperandInfo& output) {
  // Not an assertion: a clip without bounds is a malformed tariff, refused in every mode.
  if (!minimum && !maximum) value_error("At least one of minimum or maximum must be provided");
  if (!assertions_enabled()) return;
  std::vector<OperandInfo> items{input, output};
  if (minimum) items.push_back(*minimum);
  if (maximum) items.push_back(*maximum);
  assert_resolutions_match(std::span<const OperandInfo>(items));
  assert_units_match(std::span<const OperandInfo>(items));
}

namespace {

// A tier priced at NaN or infinity bills 0 or infinity: refused, also when the host runs
// optimised and skips the assertions.
void require_finite_tiers(std::span<const double> levels, std::span<const double> boundaries) {
  auto first_bad = [](std::span<const double> xs, const char* name) {
    for (size_t i = 0; i < xs.size(); ++i)
      if (!std::isfinite(xs[i]))
        value_error(std::string(name) + "[" + std::to_string(i) +
                    "] must be a finite number, got " + repr_float(xs[i]));
  };
  first_bad(levels, "levels");
  first_bad(boundaries, "boundaries");
}

}  // namespace

void validate_lookup(const OperandInfo& tier_selector, std::span<const double> levels,
                     std::span<const double> boundaries, Unit unit, const OperandInfo& output) {
  if (!assertions_enabled()) return require_finite_tiers(levels, boundaries);
  check(levels.size() == boundaries.size() + 1,
        "len(levels) must be len(boundaries) + 1, got " + std::to_string(levels.size()) +
            " levels and " + std::to_string(boundaries.size()) + " boundaries");
  // A NaN boundary orders against nothing, so no tier could be told from it.
  bool ascending = true;
  for (size_t i = 0; i < boundaries.size(); ++i) {
    if (std::isnan(boundaries[i]) || (i > 0 && !(boundaries[i - 1] < boundaries[i]))) {
      ascending = false;
      break;
    }
  }
  check(ascending, "Boundaries must be in strictly ascending order");
  resolutions_match({tier_selector, output});
  check(output.unit == unit, "Lookup output unit (" + text(output.unit) +
                                 ") must match lookup unit (" + text(unit) + ")");
  require_finite_tiers(levels, boundaries);
}

void validate_block(std::string_view tag, const BlockFields& f) {
  auto operand = [&f](std::size_t k) -> const OperandInfo& { return f.operands.at(k).value(); };
  auto optional = [&f](std::size_t k) { return f.operands.at(k) ? &*f.operands[k] : nullptr; };
  if (tag == "constant") {
    validate_constant(f.unit, f.resolution, f.output);
  } else if (tag == "add") {
    std::vector<OperandInfo> inputs;
    for (std::size_t k = 0; k < f.operands.size(); ++k) inputs.push_back(operand(k));
    validate_add(inputs, f.output);
  } else if (tag == "subtract") {
    validate_subtract(operand(0), operand(1), f.output);
  } else if (tag == "divide") {
    validate_divide(operand(0), operand(1), f.output);
  } else if (tag == "multiply") {
    validate_multiply(operand(0), operand(1), f.output);
  } else if (tag == "aggregate") {
    validate_aggregate(operand(0), f.resolution, f.output);
  } else if (tag == "resample") {
    validate_resample(operand(0), f.resolution, f.output);
  } else if (tag == "select") {
    validate_select(operand(0), f.condition, f.output);
  } else if (tag == "mask") {
    validate_mask(operand(0), operand(1), f.condition.required_resolution, f.output);
  } else if (tag == "clip") {
    validate_clip(operand(0), optional(1), optional(2), f.output);
  } else if (tag == "lookup") {
    validate_lookup(operand(0), f.levels, f.boundaries, f.unit, f.output);
  }
}

}  // namespace ostrel::core::blocks
