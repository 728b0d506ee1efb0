#include "core/timeline/offsets.hpp"

#include <algorithm>
#include <cstdint>

#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::timeline {

Offsets::Offsets(std::vector<OffsetChange> changes) : changes_(std::move(changes)) {
  if (changes_.empty() || changes_.front().from != kBeginning)
    value_error("offsets must start at the beginning of time");
  for (std::size_t k = 1; k < changes_.size(); ++k)
    if (changes_[k].from <= changes_[k - 1].from) value_error("offset changes must ascend");
}

std::int64_t Offsets::at(std::int64_t utc) const {
  auto it = std::upper_bound(changes_.begin(), changes_.end(), utc,
                             [](std::int64_t t, const OffsetChange& c) { return t < c.from; });
  return (it - 1)->offset;
}

Offsets find_offsets(std::int64_t first, std::int64_t last, const OffsetProbe& probe) {
  const std::int64_t begin = floor_div(floor_div(first, 1000), kUsPerDay) * kUsPerDay;
  const std::int64_t end = (floor_div(floor_div(last, 1000), kUsPerDay) + 1) * kUsPerDay;
  std::vector<OffsetChange> changes;
  std::int64_t at = begin, offset = probe(begin);
  changes.push_back({Offsets::kBeginning, offset});
  for (std::int64_t day = begin + kUsPerDay; day <= end; day += kUsPerDay) {
    const std::int64_t later = probe(day);
    // Every change in (at, day]: the first microsecond whose offset differs from `offset`,
    // then on from there while the offset still differs from the day's end.
    while (later != offset) {
      std::int64_t lo = at, hi = day, hi_offset = later;
      while (hi - lo > 1) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        const std::int64_t m = probe(mid);
        if (m == offset) {
          lo = mid;
        } else {
          hi = mid;
          hi_offset = m;
        }
      }
      // A change past the nanosecond range concerns no instant.
      if (hi > INT64_MAX / 1000) return Offsets(std::move(changes));
      changes.push_back({hi * 1000, hi_offset});
      at = hi;
      offset = hi_offset;
    }
    at = day;
  }
  return Offsets(std::move(changes));
}

std::optional<std::int64_t> UniformDays::offset_us(std::int64_t utc_us, const Probe& probe) {
  const std::int64_t day = floor_div(utc_us, kUsPerDay);
  if (day != day_) {
    day_ = day;
    const std::optional<std::int64_t> before = probe(day * kUsPerDay - 6 * 3600 * kUsPerSecond);
    const std::optional<std::int64_t> end = probe((day + 1) * kUsPerDay - 1);
    offset_ = end && before.value_or(0) == *end ? end : std::nullopt;
  }
  return offset_;
}

}  // namespace ostrel::core::timeline
