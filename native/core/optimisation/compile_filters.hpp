#pragma once
// Clip, Mask and Lookup compiled: bounded values (one-sided rows, or exact with one binary per
// step), values replaced where a time condition holds, and tiers chosen by binaries.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/optimisation/compile_common.hpp"

namespace ostrel::core::optimisation {

// output = max(input, limit) (is_max) or min(input, limit); `input` is a variable series of n
// steps, `limit` a variable series or known values. A NaN in known limit values is no limit at
// that step (the input's own bound takes its place, which leaves the input unchanged there).
CompiledBlock compile_one_sided(const Operand& input, const Operand& limit, size_t n,
                                int64_t start_col, bool assume_convex, bool is_max);

// The lower clip first, then the upper one on its output (`then`); either may be absent but
// not both. Two plain numbers given the wrong way round are swapped, as compute does.
CompiledBlock compile_clip(const Operand& input, const Operand* minimum, const Operand* maximum,
                           size_t n, int64_t start_col, bool assume_convex);

// output = replacement where `holds`, input elsewhere; a missing (NaN) known input value is
// never replaced, as compute leaves it. The output is on the base index (n steps).
CompiledBlock compile_mask(const Operand& input, const Operand& replacement,
                           std::span<const uint8_t> holds, size_t n, int64_t start_col);

// The level of the tier the selector falls in, a value on a boundary in the tier above:
// equalities where the selector's bounds leave one tier, one binary per feasible (step, tier)
// pair elsewhere, each tier's rows ending a small gap below its upper boundary.
CompiledBlock compile_lookup(const VariableSeries& selector, std::span<const double> levels,
                             std::span<const double> boundaries, int64_t start_col);

}  // namespace ostrel::core::optimisation
