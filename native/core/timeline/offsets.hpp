#pragma once
// A zone's UTC offset as the piecewise-constant function it is: the instants where it changes
// and the offset from each on. The host's zone is asked only where it matters (once per day and
// around each change); every local wall-clock time is then arithmetic.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace ostrel::core::timeline {

struct OffsetChange {
  std::int64_t from;    // UTC nanoseconds; the offset holds from here to the next change
  std::int64_t offset;  // local minus UTC, nanoseconds
};

class Offsets {
 public:
  Offsets() = default;
  // A constant offset (fixed-offset zones and UTC).
  explicit Offsets(std::int64_t offset) : changes_{{kBeginning, offset}} {}
  // Changes in ascending order; the first holds from the beginning of time.
  explicit Offsets(std::vector<OffsetChange> changes);

  static constexpr std::int64_t kBeginning = INT64_MIN;

  std::span<const OffsetChange> changes() const { return changes_; }
  // The offset at a UTC instant.
  std::int64_t at(std::int64_t utc) const;
  bool fixed() const { return changes_.size() == 1; }

 private:
  std::vector<OffsetChange> changes_;
};

// The offset of a zone at a UTC instant given in whole microseconds (the host's resolution),
// in nanoseconds.
using OffsetProbe = std::function<std::int64_t(std::int64_t utc_us)>;

// The changes of the probed zone over the UTC nanoseconds [first, last]. The zone is asked at
// every UTC midnight from the day of `first` to the day after `last`, and where two answers
// differ, by bisection, for the first microsecond of each new offset; a change found inside a
// day is followed by a search of the rest of that day, so any number of changes per day whose
// offsets differ from their neighbours are found. (A change undone within the same day, with
// no midnight between, is invisible to daily sampling; the zone database has none: its changes
// are days apart.)
Offsets find_offsets(std::int64_t first, std::int64_t last, const OffsetProbe& probe);

// The offset that holds through the whole UTC day of an instant, when one does: the zone's
// offset 6 hours before the day starts equals the one at its last microsecond, so the day holds
// no change and no repeated wall time. The zone is asked twice per day, on its first instant.
class UniformDays {
 public:
  // The zone's offset at a UTC instant, both in microseconds; nothing where it gives none.
  using Probe = std::function<std::optional<std::int64_t>(std::int64_t utc_us)>;
  std::optional<std::int64_t> offset_us(std::int64_t utc_us, const Probe& probe);

 private:
  std::int64_t day_ = INT64_MIN;
  std::optional<std::int64_t> offset_;
};

}  // namespace ostrel::core::timeline
