#pragma once
// A component's pipeline evaluated for many meters at once on one timeline. The calendar, the
// period ids and the condition masks are the timeline's, made once for every meter; each block
// runs the core's own kernels over each meter's row of a meters x periods matrix, so a meter
// gets exactly what a run of its own would give it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/blocks/numeric.hpp"
#include "core/blocks/periods.hpp"
#include "core/timeline/timeline.hpp"

namespace ostrel::core::fleet {

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

// The cost per meter and local month of the timeline: `costs` is rows x months, row-major,
// where rows is the meter count, or 1 when the cost depends on no meter input. A month's cost
// is the sum of the present cost values of the periods starting in it (0 when none is).
struct MonthlyCosts {
  std::vector<std::int64_t> month_starts;  // first instant of each month, in row order
  std::vector<double> costs;
  std::size_t rows = 0;
};

// NotImplementedError "no matrix evaluation of block <type>" for a block tag the plan does not
// know.
[[noreturn]] void unknown_block(std::string_view type);

}  // namespace ostrel::core::fleet
