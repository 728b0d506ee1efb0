#include "core/logic/windows.hpp"

#include <algorithm>
#include <numeric>

#include "core/common/errors.hpp"

namespace ostrel::core::logic {

YearWindow holiday_years(std::int64_t first_local_year, std::int64_t last_local_year) {
  return {first_local_year - 1, last_local_year + 2};
}

namespace {

// The first grid instant at or after t, the grid being origin + k * step.
std::int64_t grid_ceil(std::int64_t t, std::int64_t origin, std::int64_t step) {
  const std::int64_t steps = (t - origin + step - 1) / step;  // t > origin here
  return origin + steps * step;
}

}  // namespace

WindowChoice evaluation_window(Window request, std::optional<std::int64_t> from,
                               std::optional<std::int64_t> to, std::int64_t step) {
  WindowChoice choice;
  choice.window = request;
  if (from && *from > request.start) {
    choice.cut = true;
    choice.window.start = *from < request.end ? grid_ceil(*from, request.start, step) : request.end;
  }
  if (to && *to < request.end) {
    choice.cut = true;
    choice.window.end = *to > request.start ? grid_ceil(*to, request.start, step) : request.start;
  }
  choice.window.end = std::min(choice.window.end, request.end);
  choice.window.start = std::min(choice.window.start, choice.window.end);
  return choice;
}

std::vector<std::size_t> positions_within(std::span<const std::int64_t> instants, Window window) {
  std::vector<std::size_t> out;
  out.reserve(instants.size());
  for (std::size_t i = 0; i < instants.size(); ++i)
    if (instants[i] >= window.start && instants[i] < window.end) out.push_back(i);
  return out;
}

std::vector<std::size_t> order_by(std::span<const std::string> keys) {
  std::vector<std::size_t> order(keys.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  return order;
}

std::vector<std::size_t> distinct_sorted(std::span<const std::string> keys) {
  std::vector<std::size_t> order = order_by(keys);
  std::vector<std::size_t> out;
  for (std::size_t i : order)
    if (out.empty() || keys[out.back()] != keys[i]) out.push_back(i);
  return out;
}

void check_request_instant(std::int64_t ns, const std::string& name,
                           const std::string& value_repr) {
  if (ns >= kFirstRequestNs && ns <= kLastRequestNs) return;
  value_error(name + " " + value_repr +
              " is outside the periods the engine can price (1678-01-01 to 2262-01-01 UTC)");
}

}  // namespace ostrel::core::logic
