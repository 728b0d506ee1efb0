#pragma once
// Numeric evaluation of the blocks on label-indexed arrays: labels are int64 UTC nanoseconds,
// values float64 with NaN for missing. Arithmetic pairs values by label, never fills.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/timeline/column.hpp"

namespace ostrel::core::blocks {

// Results and their labels live in recycled storage: a block's result of a year of quarter-hours
// is a few hundred kilobytes, whose fresh pages would cost more than computing it.
using Values = timeline::Column<double>;
using Labels = timeline::Column<int64_t>;

struct LabelledView {
  std::span<const int64_t> labels;
  std::span<const double> values;
};

struct Labelled {
  Labels labels;
  Values values;
};

enum class Arith { Add, Subtract, Multiply, Divide };

double apply(Arith op, double a, double b);

// series op series: identical label sequences combine position by position; otherwise the
// result covers the sorted union of the labels, NaN where either side lacks the label.
// Repeated labels that would need aligning are refused (ValueError).
Labelled combine(LabelledView a, LabelledView b, Arith op);

// series op number (number_on_left: number op series), in place.
void combine_scalar(std::span<double> values, double number, Arith op, bool number_on_left);

// One operand of an arithmetic block: a series, or a plain number (a level's value).
struct ArithOperand {
  bool is_series = false;
  double number = 0.0;
  LabelledView series{};
  static ArithOperand of(double x) { return {false, x, {}}; }
  static ArithOperand of(LabelledView s) { return {true, 0.0, s}; }
};

// The result of an arithmetic block: its values, and its labels, which are the labels of
// operand `labels_of` unless the operands' labels differed (then `labels` holds the union).
struct Combined {
  Values values;
  Labels labels;
  int64_t labels_of = -1;
};

// The operands combined left to right: ((a op b) op c) ... A run of numbers at the start is
// folded as numbers. When no operand is a series the result would be a plain number, which a
// block never produces: ValueError "<block> requires at least one Dataset operand" (also for
// no operands at all).
Combined fold(std::span<const ArithOperand> operands, Arith op, std::string_view block);

// Values of `source` at each of `targets` (NaN where the label is absent). Refuses a source
// with repeated labels.
Values reindex(LabelledView source, std::span<const int64_t> targets);

// For each target label, the source value at the latest source label at or before it (NaN
// before the first). Source labels must ascend.
Values forward_fill(LabelledView source, std::span<const int64_t> targets);

// Tier lookup: levels[number of boundaries <= x]; NaN stays NaN. A tier past the last level
// (only possible when the record's length check was skipped) is an IndexError.
Values lookup(std::span<const double> x, std::span<const double> boundaries,
              std::span<const double> levels);

// A clip bound: absent, one number for every element, or one value per element.
struct Bound {
  enum class Kind { None, Number, PerElement } kind = Kind::None;
  double number = 0.0;
  std::span<const double> values{};
  static Bound none() { return {}; }
  static Bound of(double x) { return {Kind::Number, x, {}}; }
  static Bound of(std::span<const double> v) { return {Kind::PerElement, 0.0, v}; }
};

// Raise to `lower`, then lower to `upper`; a NaN bound (or an absent one) is no bound, a NaN
// input stays NaN. Two number bounds given the wrong way round are swapped first; per-element
// bounds are applied as given, so where lower exceeds upper the result is upper.
Values clip(std::span<const double> x, Bound lower, Bound upper);

// Select: x where keep, NaN elsewhere.
Values select(std::span<const double> x, std::span<const uint8_t> keep);

// Mask: replace x by the replacement where the condition holds and x is present.
Values mask(std::span<const double> x, std::span<const uint8_t> condition,
            std::span<const double> replacement);
Values mask(std::span<const double> x, std::span<const uint8_t> condition, double replacement);

// For each target label, the position of the latest source label at or before it, -1 where
// there is none. Source labels must ascend.
std::vector<int64_t> forward_fill_positions(std::span<const int64_t> source,
                                            std::span<const int64_t> targets);

}  // namespace ostrel::core::blocks
