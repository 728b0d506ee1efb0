#include "core/timeline/window.hpp"

#include <algorithm>
#include <limits>

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

std::optional<std::pair<std::int64_t, std::int64_t>> instant_range(
    std::span<const std::int64_t> instants, std::int64_t missing) {
  // Four running extremes each: a single pair would make every element wait for the compare
  // of the one before it.
  constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t bottom = std::numeric_limits<std::int64_t>::min();
  std::int64_t lo[4] = {top, top, top, top}, hi[4] = {bottom, bottom, bottom, bottom};
  bool any[4] = {false, false, false, false};
  const std::int64_t* t = instants.data();
  const std::size_t n = instants.size();
  // The usual index steps evenly upwards: its ends are its extremes. Checked by differences
  // taken unsigned (one subtraction per element, and no branch), and by the last instant being
  // the first plus the steps without overflow, so that the instants ascend all the way.
  if (n > 1) {
    using U = std::uint64_t;
    const U step = static_cast<U>(t[1]) - static_cast<U>(t[0]);
    U differ = 0;
    for (std::size_t j = 1; j < n; ++j)
      differ |= (static_cast<U>(t[j]) - static_cast<U>(t[j - 1])) ^ step;
    std::int64_t span = 0, last = 0;
    if (differ == 0 && static_cast<std::int64_t>(step) > 0 &&
        !__builtin_mul_overflow(static_cast<std::int64_t>(step), static_cast<std::int64_t>(n - 1),
                                &span) &&
        !__builtin_add_overflow(t[0], span, &last) && (missing < t[0] || missing > last))
      return std::pair{t[0], last};
  }
  std::size_t i = 0;
  auto take = [&](std::size_t k, std::int64_t x) {
    const bool present = x != missing;
    lo[k] = std::min(lo[k], present ? x : top);
    hi[k] = std::max(hi[k], present ? x : bottom);
    any[k] |= present;
  };
  for (; i + 4 <= n; i += 4)
    for (std::size_t k = 0; k < 4; ++k) take(k, t[i + k]);
  for (; i < n; ++i) take(0, t[i]);
  if (!(any[0] || any[1] || any[2] || any[3])) return std::nullopt;
  return std::pair{std::min({lo[0], lo[1], lo[2], lo[3]}), std::max({hi[0], hi[1], hi[2], hi[3]})};
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

std::optional<std::pair<std::int64_t, std::int64_t>> input_range_ns(
    std::span<const std::int64_t> raw, std::int64_t unit_ns,
    const std::function<void()>& host_check) {
  const auto range = instant_range(raw, std::numeric_limits<std::int64_t>::min());  // NaT
  if (!range) return std::nullopt;
  std::int64_t first = 0, last = 0;
  if (__builtin_mul_overflow(range->first, unit_ns, &first) ||
      __builtin_mul_overflow(range->second, unit_ns, &last)) {
    host_check();
    value_error("input instants beyond the nanosecond range");
  }
  return std::make_pair(first, last);
}

void naive_input(std::string_view id_repr) {
  fail(ErrorKind::Type,
       concat("input ", id_repr, " has a time-zone naive index; inputs must be time-zone aware"));
}

void require_one_zone(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  if (names.size() > 1) value_error("components span multiple timezones: " + repr_list(names));
}

}  // namespace ostrel::core::timeline
