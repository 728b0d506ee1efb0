#pragma once
// What the blocks' validation needs to know of an operand, and the two shared agreement checks
// over a block's operands (units, and the resolutions of its series).
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/domain/units.hpp"

namespace ostrel::core::blocks {

using domain::Resolution;
using domain::Unit;

// A constant has a unit only; a series (dataset) also has a resolution.
struct OperandInfo {
  Unit unit;
  std::optional<Resolution> resolution;

  static OperandInfo level(Unit u) { return {u, std::nullopt}; }
  static OperandInfo dataset(Unit u, Resolution r) { return {u, r}; }
  bool is_dataset() const { return resolution.has_value(); }
};

// Assertion-kind: at most one distinct unit, else "All units must match, got [...]" listing
// the distinct unit values in order of first appearance.
void assert_units_match(std::span<const Unit> units);
void assert_units_match(std::span<const OperandInfo> items);

// Assertion-kind: at most one distinct resolution, else "All Dataset resolutions must match,
// got [...]". The span form only looks at datasets; constants carry no resolution.
void assert_resolutions_match(std::span<const Resolution> resolutions);
void assert_resolutions_match(std::span<const OperandInfo> items);

// The keyword name of the k-th operand of a block that lists its operands (Add): "input_<k>".
std::string listed_operand_name(std::size_t k);

}  // namespace ostrel::core::blocks
