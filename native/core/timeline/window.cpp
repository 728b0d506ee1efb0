#include "core/timeline/window.hpp"

#include <algorithm>

#include "core/common/errors.hpp"
#include "core/common/text.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::timeline {

std::int64_t add_step(std::int64_t t, Resolution r, const CalendarStep& calendar_step) {
  if (r != Resolution::QUARTER_HOURLY && r != Resolution::HOURLY) return calendar_step(t, r);
  std::int64_t out = 0;
  if (__builtin_add_overflow(t, r == Resolution::HOURLY ? kNsPerHour : kNsPerQuarterHour, &out))
    value_error("an input ends beyond the nanosecond range of instants");
  return out;
}

Window timeline_window(std::span<const Span> spans, std::optional<std::int64_t> start,
                       std::optional<std::int64_t> end, const CalendarStep& calendar_step) {
  if (!start || !end) {
    if (spans.empty()) value_error("cannot build a timeline without inputs or an explicit window");
    Window w{spans.front().first,
             add_step(spans.front().last, spans.front().resolution, calendar_step)};
    for (const Span& s : spans) {
      w.start = std::min(w.start, s.first);
      w.end = std::max(w.end, add_step(s.last, s.resolution, calendar_step));
    }
    return w;
  }
  Window w{*start, *end};
  for (const Span& s : spans) {
    for (const std::int64_t t : {s.first, s.last}) {
      if (t >= *end) continue;
      const std::int64_t t_end = add_step(t, s.resolution, calendar_step);
      if (t_end <= *start) continue;
      w.start = std::min(w.start, t);
      w.end = std::max(w.end, t_end);
    }
  }
  return w;
}

void require_one_zone(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  if (names.size() > 1) value_error("components span multiple timezones: " + repr_list(names));
}

}  // namespace ostrel::core::timeline
