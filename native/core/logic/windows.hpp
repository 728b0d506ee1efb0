#pragma once
// What the facade decides without the host: the years of holidays a request needs, the part
// of a request a component is evaluated on, and the orders its results follow.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ostrel::core::logic {

struct YearWindow {
  std::int64_t start_year;
  std::int64_t end_year;
};

// One calendar year before the period's first local year and two after its last.
YearWindow holiday_years(std::int64_t first_local_year, std::int64_t last_local_year);

// A half-open window of UTC nanoseconds.
struct Window {
  std::int64_t start;
  std::int64_t end;
};

// A component's evaluation window: the request [start, end) cut to its validity window
// [from, to), an absent bound being unbounded. A validity bound inside the request is moved up
// to the request's grid (start + k * step), so that an interval belongs to the component valid
// at its start and two windows that meet share no interval and leave none out. A component
// valid over the whole request keeps the request as it is (`cut` false).
struct WindowChoice {
  bool cut = false;
  Window window{};
};
WindowChoice evaluation_window(Window request, std::optional<std::int64_t> from,
                               std::optional<std::int64_t> to, std::int64_t step);

// Positions of the instants inside `window`, in their order.
std::vector<std::size_t> positions_within(std::span<const std::int64_t> instants, Window window);

// The elements at `positions`, in that order.
template <typename T>
std::vector<T> gather(std::span<const T> items, const std::vector<std::size_t>& positions) {
  std::vector<T> out;
  out.reserve(positions.size());
  for (std::size_t i : positions) out.push_back(items[i]);
  return out;
}

// The instants a request may span: whole years whose timelines, in any zone and with the
// holidays of the years around them, stay inside the engine's nanosecond instants.
inline constexpr std::int64_t kFirstRequestNs = -9'214'560'000'000'000'000;  // 1678-01-01 UTC
inline constexpr std::int64_t kLastRequestNs = 9'214'646'400'000'000'000;    // 2262-01-01 UTC
// ValueError naming `name` (its value printed as `value_repr`) unless `ns` lies in that span.
void check_request_instant(std::int64_t ns, const std::string& name, const std::string& value_repr);

// Positions that put `keys` in ascending order; equal keys keep their order.
std::vector<std::size_t> order_by(std::span<const std::string> keys);

// Positions of the first occurrence of each distinct key, in ascending key order.
std::vector<std::size_t> distinct_sorted(std::span<const std::string> keys);

}  // namespace ostrel::core::logic
