#include "core/logic/readings.hpp"

#include "core/common/errors.hpp"

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

}  // namespace ostrel::core::logic
