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
  std::uint64_t odd[kLanes] = {};  // nonzero once a lane met an infinity or NaN
  for (std::size_t k = 0; k < kLanes; ++k) lo[k] = hi[k] = values[0];
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t k = 0; k < kLanes; ++k) {
      const double v = values[i + k];
      odd[k] |= !(v - v == 0.0);  // infinities and NaN alone give no zero
      lo[k] = v < lo[k] ? v : lo[k];
      hi[k] = v > hi[k] ? v : hi[k];
    }
  }
  for (; i < n; ++i) {
    const double v = values[i];
    odd[0] |= !(v - v == 0.0);
    lo[0] = v < lo[0] ? v : lo[0];
    hi[0] = v > hi[0] ? v : hi[0];
  }
  out.min = lo[0];
  out.max = hi[0];
  for (std::size_t k = 1; k < kLanes; ++k) {
    out.min = lo[k] < out.min ? lo[k] : out.min;
    out.max = hi[k] > out.max ? hi[k] : out.max;
    odd[0] |= odd[k];
  }
  out.finite = odd[0] == 0;
  if (n >= 2) {
    // Unsigned, so that no difference overflows; between ascending instants it is exact.
    const auto at = [&](std::size_t j) { return static_cast<std::uint64_t>(instants[j]); };
    const std::uint64_t first_step = at(1) - at(0);
    std::uint64_t off = 0;  // nonzero once a pair does not ascend by `first_step`
    for (std::size_t j = 1; j < n; ++j)
      off |= static_cast<std::uint64_t>(instants[j] <= instants[j - 1]) |
             ((at(j) - at(j - 1)) ^ first_step);
    const auto step = static_cast<std::int64_t>(first_step);  // negative beyond int64: refused
    out.step = off == 0 && step > 0 ? step : 0;
  }
  return out;
}

namespace {
constexpr std::size_t kMaxQuarters = std::size_t{1} << 26;  // beyond any meter export
}  // namespace

Spread spread_over_quarters(std::span<const std::int64_t> starts,
                            std::span<const std::int64_t> ends, std::span<const double> values,
                            std::int64_t lo, std::int64_t hi) {
  if (starts.size() != ends.size() || starts.size() != values.size())
    value_error("a meter's starts, ends and values differ in length");
  constexpr std::int64_t q = timeline::kNsPerQuarterHour;
  Spread out;
  if (starts.empty()) return out;
  // Non-overlapping readings cover at most the quarter-hours from the first start to the last
  // end: reserved once (and a bound on what a caller's arrays may ask for).
  const std::int64_t first = starts.front(), last = ends.back();
  if (last > first) {
    const auto most = static_cast<std::uint64_t>(last) / q - static_cast<std::uint64_t>(first) / q;
    out.instants.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(most + 1, kMaxQuarters)));
    out.values.reserve(out.instants.capacity());
  }
  for (std::size_t i = 0; i < starts.size(); ++i) {
    if (ends[i] <= starts[i]) continue;
    // The reading's quarter-hours, its share the value over their count (and never a negative
    // zero, as a sum of shares has none).
    const std::int64_t start = starts[i];
    const auto length = static_cast<std::uint64_t>(ends[i]) - static_cast<std::uint64_t>(start);
    const auto n = length / q;
    const double share = values[i] / static_cast<double>(n) + 0.0;
    // The quarter-hours start + k q inside [lo, hi): k from `from` up to `to` (differences taken
    // unsigned, where they are exact), written in one go rather than checked one by one.
    const auto gap = [&](std::int64_t t) {
      return static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(start);
    };
    const std::uint64_t from = lo > start ? std::min<std::uint64_t>(n, (gap(lo) + q - 1) / q) : 0;
    const std::uint64_t to = hi > start ? std::min<std::uint64_t>(n, (gap(hi) + q - 1) / q) : 0;
    if (to <= from) continue;
    const std::size_t at = out.instants.size();
    if (to - from > kMaxQuarters - at)
      value_error("readings cover more quarter-hours than a meter export can");
    out.instants.resize(at + (to - from));
    out.values.resize(at + (to - from));
    std::int64_t* instants = out.instants.data() + at;
    double* shares = out.values.data() + at;
    for (std::uint64_t k = from; k < to; ++k) {
      *instants++ = start + static_cast<std::int64_t>(k) * q;
      *shares++ = share;
    }
  }
  return out;
}

}  // namespace ostrel::core::logic
