#pragma once
// Select compiled: the steps a calendar condition keeps, or the n highest / lowest values of
// each period through slot variables (the linear form of a sum of the n largest values) and,
// for the exact form, one binary per step.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/optimisation/compile_common.hpp"

namespace ostrel::core::optimisation {

// The input at the steps where `keep` is set, as new columns placed at those steps.
CompiledBlock compile_select_steps(const VariableSeries& input, std::span<const uint8_t> keep,
                                   int64_t start_col);

// Per period, min(n, members) slot columns from start_col; the first slot of a period is its
// threshold.
struct Slots {
  std::vector<int64_t> n_per_group;
  std::vector<int64_t> slot_to_group;
  VariableSeries w;
  std::vector<int64_t> w_positions;  // per slot, the input position of its period's first step
  VariableSeries thresholds;
  std::vector<int64_t> threshold_positions;  // per period, the position of its first slot in w
  bool is_highest = true;

  static Slots for_groups(const VariableSeries& input, const PeriodGroups& groups, int64_t n,
                          bool is_highest, int64_t start_col);
};

struct SlotRows {
  ConstraintSeries equalities;
  ConstraintSeries inequalities;
};

// Slot order, excess rows z_i >= x_i - t (highest) or t - x_i (lowest), and per period
// sum(slots) - n t + s sum(z) = 0.
SlotRows linear_base_constraints(const Slots& slots, const VariableSeries& input,
                                 const PeriodGroups& groups, const VariableSeries& z);
// Per period the binaries sum to n; the binaries' gated brackets of the threshold and the
// excess.
SlotRows milp_brackets(const Slots& slots, const VariableSeries& input, const PeriodGroups& groups,
                       const VariableSeries& z, const VariableSeries& delta);

CompiledBlock compile_select_extremes(const VariableSeries& input, const PeriodGroups& groups,
                                      int64_t n, bool is_highest, int64_t start_col,
                                      bool assume_convex);

}  // namespace ostrel::core::optimisation
