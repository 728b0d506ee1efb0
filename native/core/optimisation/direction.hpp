#pragma once
// Whether a component may be compiled in the linear forms: the one-sided rows of a maximum
// (Aggregate MAX, a lower Clip, the n highest values) only bound it from below, so they are
// exact when the cost never falls as that value rises; a minimum's rows need the opposite.
// Decided from how each block's output reaches the component's cost, before anything is
// compiled.
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ostrel::core::optimisation {

// The signs a quantity can take, zero always allowed: none (it is zero), positive only,
// negative only, or both (unknown).
struct Sign {
  bool positive = false;
  bool negative = false;

  static Sign of(double v) { return {v > 0, v < 0}; }
  static Sign unknown() { return {true, true}; }
  Sign operator-() const { return {negative, positive}; }
  Sign operator+(Sign o) const { return {positive || o.positive, negative || o.negative}; }
  Sign operator*(Sign o) const {
    return {(positive && o.positive) || (negative && o.negative),
            (positive && o.negative) || (negative && o.positive)};
  }
};

// The sign of known values (NaN takes no part).
Sign sign_of(std::span<const double> values);

// An operand of a step: a dataset by id, or a number (a level's value).
struct DirectionOperand {
  std::string role;
  std::optional<std::string> dataset_id;
  double value = 0.0;
};

struct DirectionStep {
  std::string type;                        // the block's tag
  std::vector<DirectionOperand> operands;  // present operands only, absent bounds left out
  std::string output_id;
  std::string aggregation;      // aggregate: sum, mean, max or min
  std::string value_condition;  // select: highest or lowest; empty for a time condition
  std::vector<double> levels;   // lookup
};

// A dataset given to the run: decision variables, or known values of the given sign.
struct DirectionInput {
  std::string id;
  bool is_variable = false;
  Sign sign;
};

// True when minimising the sum of the component's cost makes every linear form of its steps
// exact. False where a step needs the exact form, and wherever the direction cannot be
// decided: an unknown block, a dataset the steps do not define, a factor of unknown sign.
bool convex_when_minimised(std::span<const DirectionStep> steps,
                           std::span<const DirectionInput> inputs, const std::string& cost_id);

}  // namespace ostrel::core::optimisation
