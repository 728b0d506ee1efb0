#pragma once
// The window of a timeline: from the inputs' first and last instants, or a requested window
// widened so that inputs straddling an edge are covered whole.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/domain/units.hpp"

namespace ostrel::core::timeline {

using domain::Resolution;

// One input's first and last instant (UTC nanoseconds) and its dataset's resolution.
struct Span {
  std::int64_t first;
  std::int64_t last;
  Resolution resolution;
};

// The least and greatest of `instants`, skipping `missing` (the host's NaT); nullopt when no
// instant is present.
std::optional<std::pair<std::int64_t, std::int64_t>> instant_range(
    std::span<const std::int64_t> instants, std::int64_t missing);

// The first and last of an input's instants, given in units of `unit_ns`, in nanoseconds (the
// host's NaT skipped); nullopt when none is present. For an instant beyond the nanosecond range
// `host_check` runs first (the host's own error), then ValueError "input instants beyond the
// nanosecond range".
std::optional<std::pair<std::int64_t, std::int64_t>> input_range_ns(
    std::span<const std::int64_t> raw, std::int64_t unit_ns,
    const std::function<void()>& host_check);

// TypeError "input <id> has a time-zone naive index; inputs must be time-zone aware".
[[noreturn]] void naive_input(std::string_view id_repr);

// t plus one calendar step of a resolution of a day or longer, added in the zone's local
// wall-clock time (the host's calendar arithmetic).
using CalendarStep = std::function<std::int64_t(std::int64_t t, Resolution r)>;

// t plus one step of `r`: quarter-hours and hours are exact durations, so an interval in the
// repeated hour at the end of daylight saving keeps its real length; longer steps are
// `calendar_step`'s.
std::int64_t add_step(std::int64_t t, Resolution r, const CalendarStep& calendar_step);

struct Window {
  std::int64_t start;
  std::int64_t end;
};

// Without both bounds: from the earliest first instant to the latest last instant plus its
// step ("cannot build a timeline without inputs or an explicit window" without spans). With
// both: [start, end) widened by every first or last instant t with t < end and t + step > start
// (both tests against the requested bounds).
Window timeline_window(std::span<const Span> spans, std::optional<std::int64_t> start,
                       std::optional<std::int64_t> end, const CalendarStep& calendar_step);

// Refuses components of more than one zone: "components span multiple timezones: " and the
// names sorted ascending, as given (two spellings of one zone differ).
void require_one_zone(std::vector<std::string> names);

}  // namespace ostrel::core::timeline
