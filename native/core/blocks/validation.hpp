#pragma once
// The construction-time rules of the eleven function blocks, each in its order of checks.
// Every check is assertion-kind (skipped when the host runs optimised) except Clip's
// missing-bounds check, a ValueError that always runs.
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/blocks/operands.hpp"

namespace ostrel::core::blocks {

void validate_constant(Unit value_unit, Resolution resolution, const OperandInfo& output);
void validate_add(std::span<const OperandInfo> inputs, const OperandInfo& output);
void validate_subtract(const OperandInfo& left, const OperandInfo& right,
                       const OperandInfo& output);
void validate_multiply(const OperandInfo& left, const OperandInfo& right,
                       const OperandInfo& output);
void validate_divide(const OperandInfo& numerator, const OperandInfo& denominator,
                     const OperandInfo& output);

void validate_aggregate(const OperandInfo& input, Resolution resolution, const OperandInfo& output);
void validate_resample(const OperandInfo& input, Resolution resolution, const OperandInfo& output);

// A select condition is either a value condition (n highest/lowest per period of its own
// resolution) or a time condition, whose finest needed resolution is only asked for when the
// earlier checks have passed.
struct SelectCondition {
  bool is_value_condition = false;
  Resolution value_resolution = Resolution::QUARTER_HOURLY;
  std::function<Resolution()> required_resolution;
};

void validate_select(const OperandInfo& input, const SelectCondition& condition,
                     const OperandInfo& output);
void validate_mask(const OperandInfo& input, const OperandInfo& replacement,
                   const std::function<Resolution()>& required_resolution,
                   const OperandInfo& output);
void validate_clip(const OperandInfo& input, const OperandInfo* minimum, const OperandInfo* maximum,
                   const OperandInfo& output);
void validate_lookup(const OperandInfo& tier_selector, std::span<const double> levels,
                     std::span<const double> boundaries, Unit unit, const OperandInfo& output);

// A block record's fields as its rules read them: the operands in the catalogue's order (an
// absent optional one as nothing; Add's inputs in order), the output, and the fields that only
// some blocks have (Constant's unit is its value's).
struct BlockFields {
  std::vector<std::optional<OperandInfo>> operands;
  OperandInfo output;
  Resolution resolution = Resolution::QUARTER_HOURLY;
  Unit unit = Unit::KWH;
  std::vector<double> levels, boundaries;
  SelectCondition condition;  // Select; Mask's required resolution
};

// The rules of the block of catalogue tag `tag`.
void validate_block(std::string_view tag, const BlockFields& f);

}  // namespace ostrel::core::blocks
