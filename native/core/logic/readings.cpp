#include "core/logic/readings.hpp"

#include <algorithm>

#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::logic {

ReadingFacts reading_facts(std::span<const std::int64_t> instants, std::span<const double> values) {
  if (instants.size() != values.size())
    value_error("a meter's instants and values differ in length");
  ReadingFacts out;
  const std::size_t n = values.size();
  if (n == 0) return out;
  // Independent lanes and no early exits: the loops keep several values in flight (and can be
  // vectorised) rather than waiting on one running minimum.
  constexpr std::size_t kLanes = 4;
  double lo[kLanes], hi[kLanes];
  double odd[kLanes] = {};  // x - x is zero but for infinities and NaN, which stay in the sum
  for (std::size_t k = 0; k < kLanes; ++k) lo[k] = hi[k] = values[0];
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t k = 0; k < kLanes; ++k) {
      const double v = values[i + k];
      odd[k] += v - v;
      lo[k] = v < lo[k] ? v : lo[k];
      hi[k] = v > hi[k] ? v : hi[k];
    }
  }
  for (; i < n; ++i) {
    const double v = values[i];
    odd[0] += v - v;
    lo[0] = v < lo[0] ? v : lo[0];
    hi[0] = v > hi[0] ? v : hi[0];
  }
  out.min = lo[0];
  out.max = hi[0];
  for (std::size_t k = 1; k < kLanes; ++k) {
    out.min = lo[k] < out.min ? lo[k] : out.min;
    out.max = hi[k] > out.max ? hi[k] : out.max;
    odd[0] += odd[k];
  }
  out.finite = odd[0] == 0.0;
  if (n >= 2) {
    // Unsigned, so that no difference overflows; between ascending instants it is exact.
    const auto at = [&](std::size_t j) { return static_cast<std::uint64_t>(instants[j]); };
    const std::uint64_t first_step = at(1) - at(0);
    std::uint64_t off = 0;  // nonzero once a pair does not differ by `first_step`
    for (std::size_t j = 1; j < n; ++j) off |= (at(j) - at(j - 1)) ^ first_step;
    // Equal differences ascend unless some wrapped around, which the whole span then tells:
    // without a wrap it is exactly (n - 1) steps.
    const auto step = static_cast<std::int64_t>(first_step);  // negative beyond int64: refused
    std::uint64_t steps = 0;
    const bool ascends =
        step > 0 && instants[n - 1] > instants[0] &&
        !__builtin_mul_overflow(first_step, static_cast<std::uint64_t>(n - 1), &steps) &&
        at(n - 1) - at(0) == steps;
    out.step = off == 0 && ascends ? step : 0;
  }
  return out;
}

namespace {

constexpr std::size_t kMaxQuarters = std::size_t{1} << 26;  // beyond any meter export

// A reading's value over its n quarter-hours (and never a negative zero, as a sum of shares
// has none).
double share_of(double value, std::uint64_t n) { return value / static_cast<double>(n) + 0.0; }

}  // namespace

Spread spread_over_quarters(std::span<const std::int64_t> starts,
                            std::span<const std::int64_t> ends, std::span<const double> values,
                            std::int64_t lo, std::int64_t hi) {
  if (starts.size() != ends.size() || starts.size() != values.size())
    value_error("a meter's starts, ends and values differ in length");
  constexpr std::int64_t q = timeline::kNsPerQuarterHour;
  // Reading i's quarter-hours start_i + k q inside [lo, hi): k from `from` up to `to`
  // (differences taken unsigned, where they are exact), and how many it has in all.
  struct Part {
    std::uint64_t from, to, n;
  };
  // Readings of one length follow one another: the last length's count is reused rather than
  // divided anew.
  std::uint64_t last_length = 0, last_n = 0;
  const auto part = [&](std::size_t i) -> Part {
    const std::int64_t start = starts[i];
    if (ends[i] <= start) return {0, 0, 0};
    const auto gap = [&](std::int64_t t) {
      return static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(start);
    };
    if (gap(ends[i]) != last_length) last_length = gap(ends[i]), last_n = last_length / q;
    const std::uint64_t n = last_n;
    if (start >= lo && ends[i] <= hi) return {0, n, n};  // the usual reading: all of it
    const std::uint64_t from = lo > start ? std::min<std::uint64_t>(n, (gap(lo) + q - 1) / q) : 0;
    const std::uint64_t to = hi > start ? std::min<std::uint64_t>(n, (gap(hi) + q - 1) / q) : 0;
    return {from, std::max(from, to), n};
  };
  // Counted first, so that the result is allocated once and written in one go.
  std::size_t total = 0;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const Part p = part(i);
    if (p.to - p.from > kMaxQuarters - total)
      value_error("readings cover more quarter-hours than a meter export can");
    total += static_cast<std::size_t>(p.to - p.from);
  }
  Spread out;
  out.instants.resize(total);
  out.values.resize(total);
  std::int64_t* instants = out.instants.data();
  double* shares = out.values.data();
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const Part p = part(i);
    if (p.to == p.from) continue;
    const double share = share_of(values[i], p.n);
    const std::int64_t start = starts[i];
    for (std::uint64_t k = p.from; k < p.to; ++k) {
      *instants++ = start + static_cast<std::int64_t>(k) * q;
      *shares++ = share;
    }
  }
  return out;
}

timeline::Column<double> spread_evenly(std::span<const double> values, std::uint64_t per) {
  if (per != 0 && values.size() > kMaxQuarters / per)
    value_error("readings cover more quarter-hours than a meter export can");
  timeline::Column<double> out(values.size() * per);
  double* shares = out.data();
  for (const double v : values) {
    const double share = share_of(v, per);
    for (std::uint64_t k = 0; k < per; ++k) *shares++ = share;
  }
  return out;
}

}  // namespace ostrel::core::logic
