#include "core/logic/bill.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::logic {

namespace {

template <typename Code>
std::size_t group_of(Code code, std::size_t groups, std::size_t row) {
  if (code < 0 || static_cast<std::size_t>(code) >= groups)
    value_error("row " + std::to_string(row) + " has no component to be billed under");
  return static_cast<std::size_t>(code);
}

// Whether any value may be NaN: x - x is zero but for NaN and infinities, and the differences
// add up in independent lanes that the compiler keeps side by side. (An infinity only sends a
// series down the slower path, which keeps it.)
bool has_nan(std::span<const double> v) {
  constexpr std::size_t kLanes = 8;
  double sum[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= v.size(); i += kLanes)
    for (std::size_t k = 0; k < kLanes; ++k) sum[k] += v[i + k] - v[i + k];
  for (; i < v.size(); ++i) sum[0] += v[i] - v[i];
  double all = 0.0;
  for (double x : sum) all += x;
  return all != 0.0;
}

constexpr std::int64_t kMaxGroups = std::int64_t{1} << 20;
constexpr std::size_t kMaxCells = std::size_t{1} << 28;

}  // namespace

Stacked stack_present(std::span<const std::span<const std::int64_t>> instants,
                      std::span<const std::span<const double>> values) {
  if (instants.size() != values.size())
    value_error("as many series of instants as of values are needed");
  std::size_t total = 0;
  for (std::size_t s = 0; s < values.size(); ++s) {
    if (instants[s].size() != values[s].size())
      value_error("a series' instants and values differ in length");
    total += values[s].size();
  }
  Stacked out;
  out.instants.reserve(total);
  out.values.reserve(total);
  out.sizes.reserve(values.size());
  for (std::size_t s = 0; s < values.size(); ++s) {
    const std::span<const double> v = values[s];
    const std::span<const std::int64_t> t = instants[s];
    const std::size_t before = out.values.size();
    if (!has_nan(v)) {  // the usual case: copied whole
      out.instants.insert(out.instants.end(), t.begin(), t.end());
      out.values.insert(out.values.end(), v.begin(), v.end());
    } else {
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != v[i]) continue;
        out.instants.push_back(t[i]);
        out.values.push_back(v[i]);
      }
    }
    out.sizes.push_back(static_cast<std::int64_t>(out.values.size() - before));
  }
  return out;
}

std::size_t group_count(std::int64_t groups) {
  if (groups < 0 || groups > kMaxGroups)
    value_error("groups must be from 0 to " + std::to_string(kMaxGroups) + ", got " +
                std::to_string(groups));
  return static_cast<std::size_t>(groups);
}

template <typename Code>
PeriodSums sum_by_period(std::span<const std::int64_t> instants,
                         std::span<const std::int64_t> edges, std::span<const Code> codes,
                         std::size_t groups, std::span<const double> amounts) {
  if (codes.size() != instants.size() || amounts.size() != instants.size())
    value_error("a bill's instants, components and amounts differ in length");
  if (groups != 0 && edges.size() > kMaxCells / groups)
    value_error("a bill of " + std::to_string(edges.size()) + " periods and " +
                std::to_string(groups) + " components is too large");
  PeriodSums out;
  out.sums.assign(edges.size() * groups, 0.0);
  out.present.assign(edges.size(), 0);
  out.first_row.assign(groups, -1);
  std::size_t period = 0;
  const std::size_t n = instants.size();
  std::size_t i = 0;
  while (i < n) {
    const std::int64_t t = instants[i];
    // Rows come in time order within each component: the period is usually the last one's.
    if (period >= edges.size() || t < edges[period] ||
        (period + 1 < edges.size() && t >= edges[period + 1])) {
      const auto after = std::upper_bound(edges.begin(), edges.end(), t);
      if (after == edges.begin())
        value_error("row " + std::to_string(i) + " lies before the bill's first period");
      period = static_cast<std::size_t>(after - edges.begin()) - 1;
    }
    const std::size_t g = group_of(codes[i], groups, i);
    if (out.first_row[g] < 0) out.first_row[g] = static_cast<std::int64_t>(i);
    out.present[period] = 1;
    // The rows that follow in the same period and group add up in a register, in row order:
    // the same sums as one cell updated row by row, without waiting on memory for each.
    const std::int64_t from = edges[period];
    const std::int64_t to =
        period + 1 < edges.size() ? edges[period + 1] : std::numeric_limits<std::int64_t>::max();
    const Code code = codes[i];
    double sum = out.sums[period * groups + g];
    std::size_t j = i;
    do {
      sum += amounts[j];
      ++j;
    } while (j < n && codes[j] == code && instants[j] >= from && instants[j] < to);
    out.sums[period * groups + g] = sum;
    i = j;
  }
  return out;
}

template <typename Code>
std::vector<std::int64_t> first_rows(std::span<const Code> codes, std::size_t groups) {
  std::vector<std::int64_t> out(groups, -1);
  std::size_t found = 0;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::size_t g = group_of(codes[i], groups, i);
    if (out[g] < 0) {
      out[g] = static_cast<std::int64_t>(i);
      if (++found == groups) break;  // every group seen: the rest cannot change the answer
    }
  }
  return out;
}

#define OSTREL_BILL_CODES(Code)                                                                 \
  template PeriodSums sum_by_period<Code>(std::span<const std::int64_t>,                        \
                                          std::span<const std::int64_t>, std::span<const Code>, \
                                          std::size_t, std::span<const double>);                \
  template std::vector<std::int64_t> first_rows<Code>(std::span<const Code>, std::size_t);
OSTREL_BILL_CODES(std::int8_t)
OSTREL_BILL_CODES(std::int16_t)
OSTREL_BILL_CODES(std::int32_t)
OSTREL_BILL_CODES(std::int64_t)
#undef OSTREL_BILL_CODES

}  // namespace ostrel::core::logic
