#pragma once
// A bill's table from its rows: each row's amount summed under its period (a month, say) and
// its group (a component), in one pass over the rows.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/timeline/column.hpp"

namespace ostrel::core::logic {

struct PeriodSums {
  std::vector<double> sums;             // periods x groups, a period's groups side by side
  std::vector<std::uint8_t> present;    // per period: whether a row falls in it
  std::vector<std::int64_t> first_row;  // per group: the first row of it, -1 for none
};

// Several series one after another, their missing (NaN) values left out; in recycled storage,
// as a bill's columns are made anew for every bill.
struct Stacked {
  timeline::Column<std::int64_t> instants;
  timeline::Column<double> values;
  std::vector<std::int64_t> sizes;  // how many each series kept
};
// ValueError when a series' instants and values differ in length.
Stacked stack_present(std::span<const std::span<const std::int64_t>> instants,
                      std::span<const std::span<const double>> values);

// A caller's count of groups, checked: from 0 to 2^20.
std::size_t group_count(std::int64_t groups);

// Row i goes to the last of the ascending `edges` at or before instants[i] and to group
// codes[i]; amounts add up in row order. ValueError for a row before the first edge, a code
// outside [0, groups) (a row without a group), arrays of unequal lengths or a table beyond
// 2^28 cells.
template <typename Code>
PeriodSums sum_by_period(std::span<const std::int64_t> instants,
                         std::span<const std::int64_t> edges, std::span<const Code> codes,
                         std::size_t groups, std::span<const double> amounts);

// The first row of each group code in [0, groups), -1 for a group without rows; the same
// errors for a code outside that range.
template <typename Code>
std::vector<std::int64_t> first_rows(std::span<const Code> codes, std::size_t groups);

}  // namespace ostrel::core::logic
