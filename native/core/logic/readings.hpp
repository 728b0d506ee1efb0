#pragma once
// A meter's readings at a glance: one pass tells whether they need the full checks, which
// find and name the offending reading.
#include <cstdint>
#include <span>

namespace ostrel::core::logic {

struct ReadingFacts {
  bool finite = true;       // every value is a finite number
  double min = 0, max = 0;  // the values' range, when finite
  std::int64_t step = 0;    // the one distance between consecutive instants, when they ascend
                            // by one fixed step; 0 otherwise (and for fewer than two)
};

// ValueError when the arrays differ in length.
ReadingFacts reading_facts(std::span<const std::int64_t> instants, std::span<const double> values);

}  // namespace ostrel::core::logic
