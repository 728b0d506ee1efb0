#pragma once
// A meter's readings at a glance: one pass tells whether they need the full checks, which
// find and name the offending reading.
#include <cstdint>
#include <span>
#include <vector>

#include "core/timeline/column.hpp"

namespace ostrel::core::logic {

struct ReadingFacts {
  bool finite = true;       // every value is a finite number
  double min = 0, max = 0;  // the values' range, when finite
  std::int64_t step = 0;    // the one distance between consecutive instants, when they ascend
                            // by one fixed step; 0 otherwise (and for fewer than two)
};

// ValueError when the arrays differ in length.
ReadingFacts reading_facts(std::span<const std::int64_t> instants, std::span<const double> values);

// Readings spread evenly over the quarter-hours they cover: reading i, from starts[i] to
// ends[i] (on quarter-hours), gives values[i] / n to each of its n quarter-hours, kept when
// they lie in [lo, hi). Readings that ascend without overlapping give ascending quarter-hours.
struct Spread {  // in recycled storage, as readings are spread anew for every bill
  timeline::Column<std::int64_t> instants;
  timeline::Column<double> values;
};
// ValueError when the arrays differ in length or a reading would cover more quarter-hours than
// the span from the first start to the last end holds.
Spread spread_over_quarters(std::span<const std::int64_t> starts,
                            std::span<const std::int64_t> ends, std::span<const double> values,
                            std::int64_t lo, std::int64_t hi);

// The shares of readings of one length that follow one another without a gap, each of `per`
// quarter-hours: the values spread_over_quarters gives them, without their instants (which
// the caller knows: a grid from the first start). ValueError for more quarter-hours than a
// meter export holds.
timeline::Column<double> spread_evenly(std::span<const double> values, std::uint64_t per);

}  // namespace ostrel::core::logic
