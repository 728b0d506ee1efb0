#pragma once
// Whether a component may be compiled in the linear forms: the one-sided rows of a maximum
// (Aggregate MAX, a lower Clip, the n highest values) only bound it from below, so they are
// exact when the cost never falls as that value rises; a minimum's rows need the opposite.
// Decided from how each block's output reaches the component's cost, before anything is
// compiled.
#include <cstddef>
#include <span>

#include "core/pipeline/plan.hpp"

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

// A step of the component: the plan's step of a catalogue block or, for a block the catalogue
// does not know (`known` false), only its operands and its output.
struct DirectionStep {
  pipeline::Step step;
  bool known = true;
};

// A dataset given to the run, by its slot: decision variables, or known values of the given
// sign.
struct DirectionInput {
  std::size_t slot = 0;
  bool is_variable = false;
  Sign sign;
};

// True when minimising the sum of the component's cost (slot `cost` of `slots`) makes every
// linear form of its steps exact. False where a step needs the exact form, and wherever the
// direction cannot be decided: an unknown block, a dataset the steps do not define, a factor
// of unknown sign.
bool convex_when_minimised(std::span<const DirectionStep> steps,
                           std::span<const DirectionInput> inputs, std::size_t slots,
                           std::size_t cost);

}  // namespace ostrel::core::optimisation
