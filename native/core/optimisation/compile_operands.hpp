#pragma once
// A compile's operands read onto the steps of its variable operands, the one rule for the
// blocks' `compile` methods and the pipeline run: variables in place, a series paired by label
// as `compute` pairs it, known values broadcast, an absent optional operand as 0.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/optimisation/compile_common.hpp"

namespace ostrel::core::optimisation {

// An operand as given, before it is read onto the steps.
struct Given {
  enum class Kind { Absent, Variables, Series, Values } kind = Kind::Absent;
  const VariableSeries* variables = nullptr;
  std::span<const int64_t> labels;  // Series: its instants
  std::span<const double> series;   // Series: its values
  PerStep values;                   // Values

  static Given absent() { return {}; }
  static Given of(const VariableSeries& v) { return {Kind::Variables, &v, {}, {}, {}}; }
  static Given of(std::span<const int64_t> labels, std::span<const double> series) {
    return {Kind::Series, nullptr, labels, series, {}};
  }
  static Given of(PerStep values) { return {Kind::Values, nullptr, {}, {}, values}; }
};

// The steps of the first variable operand: their count and instants.
struct Steps {
  size_t n = 0;
  std::span<const int64_t> labels;
};

// One operand on `steps`; a series' values on the steps are appended to `kept`, which the
// result refers into. ValueError for a variable operand of another length and for a series
// without a value at some step (named by `name`).
Operand read_operand(const Given& g, const Steps& steps, std::string_view name,
                     std::vector<std::vector<double>>& kept);

}  // namespace ostrel::core::optimisation
