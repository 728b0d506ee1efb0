#pragma once
// Numeric evaluation of the blocks on label-indexed arrays: labels are int64 UTC nanoseconds,
// values float64 with NaN for missing. Arithmetic pairs values by label, never fills.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ostrel::core::blocks {

struct LabelledView {
  std::span<const int64_t> labels;
  std::span<const double> values;
};

struct Labelled {
  std::vector<int64_t> labels;
  std::vector<double> values;
};

enum class Arith { Add, Subtract, Multiply, Divide };

double apply(Arith op, double a, double b);

// series op series: identical label sequences combine position by position; otherwise the
// result covers the sorted union of the labels, NaN where either side lacks the label.
// Repeated labels that would need aligning are refused (ValueError).
Labelled combine(LabelledView a, LabelledView b, Arith op);

// series op number (number_on_left: number op series), in place.
void combine_scalar(std::span<double> values, double number, Arith op, bool number_on_left);

// Values of `source` at each of `targets` (NaN where the label is absent). Refuses a source
// with repeated labels.
std::vector<double> reindex(LabelledView source, std::span<const int64_t> targets);

// For each target label, the source value at the latest source label at or before it (NaN
// before the first). Source labels must ascend.
std::vector<double> forward_fill(LabelledView source, std::span<const int64_t> targets);

// Tier lookup: levels[number of boundaries <= x]; NaN stays NaN.
std::vector<double> lookup(std::span<const double> x, std::span<const double> boundaries,
                           std::span<const double> levels);

// Raise to `lower`, then lower to `upper`; a NaN bound (or an absent one) is no bound, a NaN
// input stays NaN. Bounds are per element.
std::vector<double> clip(std::span<const double> x, std::optional<std::span<const double>> lower,
                         std::optional<std::span<const double>> upper);

// Select: x where keep, NaN elsewhere.
std::vector<double> select(std::span<const double> x, std::span<const uint8_t> keep);

// Mask: replace x by the replacement where the condition holds and x is present.
std::vector<double> mask(std::span<const double> x, std::span<const uint8_t> condition,
                         std::span<const double> replacement);

}  // namespace ostrel::core::blocks
