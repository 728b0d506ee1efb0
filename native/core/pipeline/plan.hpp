#pragma once
// A component's pipeline as the core runs it: each block a step over numbered slots, one slot
// per dataset id, so that a run resolves operands by position instead of by name.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/blocks/catalogue.hpp"
#include "core/blocks/numeric.hpp"
#include "core/blocks/periods.hpp"
#include "core/timeline/timeline.hpp"

namespace ostrel::core::pipeline {

using blocks::Aggregation;
using blocks::Arith;
using domain::Resolution;

// A block operand: absent (an unset clip bound), a level's number, or an earlier result.
struct Operand {
  enum class Kind { None, Number, Slot } kind = Kind::None;
  double number = 0.0;
  std::size_t slot = 0;
  static Operand none() { return {}; }
  static Operand of(double x) { return {Kind::Number, x, 0}; }
  static Operand at(std::size_t s) { return {Kind::Slot, 0.0, s}; }
};

enum class StepKind {
  Constant,
  Arithmetic,
  Aggregate,
  Resample,
  Select,
  Extremes,
  Mask,
  Clip,
  Lookup
};

// One block. `operands` holds the arithmetic operands in order; for the other blocks the input
// first, then the mask's replacement or the clip's minimum and maximum.
struct Step {
  StepKind kind = StepKind::Constant;
  std::size_t output = 0;
  Resolution resolution = Resolution::QUARTER_HOURLY;  // of the output
  std::vector<Operand> operands;
  double value = 0.0;                              // Constant
  Arith op = Arith::Add;                           // Arithmetic
  const char* block = "Add";                       // Arithmetic, for its message
  Aggregation aggregation = Aggregation::Sum;      // Aggregate
  Resolution source = Resolution::QUARTER_HOURLY;  // input's resolution (Aggregate, Resample...)
  bool is_rate = false;                            // Resample
  Resolution period = Resolution::MONTHLY;         // Extremes
  std::int64_t n = 1;                              // Extremes
  bool highest = true;                             // Extremes
  timeline::Mask condition;                        // Select, Mask: over every timeline row
  std::vector<double> boundaries, levels;          // Lookup
};

struct Plan {
  std::size_t slots = 0;
  std::vector<Step> steps;
  std::size_t cost = 0;
};

// The step of the catalogue's block of tag `tag`, its kind (and an arithmetic block's operation
// and name) set, with the block's declaration: its operands are the declaration's, in order.
// Select is given for any condition: a value condition makes it Extremes. Nothing for a tag the
// catalogue does not hold.
struct BlockStep {
  const blocks::BlockDeclaration* block = nullptr;
  Step step;
  bool own_resolution = false;  // the block places its output by its own `resolution`
};
std::optional<BlockStep> block_step(std::string_view tag);

}  // namespace ostrel::core::pipeline
