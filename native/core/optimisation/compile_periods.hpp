#pragma once
// Aggregate and Resample compiled: per-period sums, means and extrema of a variable series,
// and a variable series carried onto finer periods.
#include <cstddef>
#include <cstdint>

#include "core/blocks/periods.hpp"
#include "core/optimisation/compile_common.hpp"

namespace ostrel::core::optimisation {

// The output is placed on the input's index at each period's first element; the binaries of
// the exact extremum form on the input's index.
CompiledBlock compile_aggregate(const VariableSeries& input, const PeriodGroups& groups,
                                blocks::Aggregation f, int64_t start_col, bool assume_convex);

// The output is placed on the target periods (the base index is theirs). `input` holds one
// variable per period of `source`.
CompiledBlock compile_resample(const timeline::Timeline& t, const VariableSeries& input,
                               domain::Resolution target, domain::Resolution source, bool is_rate,
                               int64_t start_col);

}  // namespace ostrel::core::optimisation
