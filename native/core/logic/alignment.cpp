#include "core/logic/alignment.hpp"

#include <algorithm>

#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::logic {

using timeline::utc_text;

void check_keys_on_periods(std::span<const std::int64_t> keys, std::span<const std::int64_t> starts,
                           std::int64_t end, std::string_view what, std::string_view resolution) {
  if (starts.empty()) return;
  for (std::int64_t k : keys) {
    if (k < starts.front() || k >= end) continue;  // outside the request: not priced
    if (std::binary_search(starts.begin(), starts.end(), k)) continue;
    value_error(std::string(what) + ": key " + utc_text(k) + " is not the start of a " +
                std::string(resolution) + " period of the request");
  }
}

void check_variables_on_periods(std::span<const std::int64_t> instants,
                                std::span<const std::int64_t> starts, std::string_view what,
                                std::string_view resolution) {
  // Unequal counts with an agreeing prefix are left to the runner, which reports the counts.
  const size_t n = std::min(instants.size(), starts.size());
  for (size_t i = 0; i < n; ++i) {
    if (instants[i] == starts[i]) continue;
    value_error(std::string(what) + ": the variables are not at the request's " +
                std::string(resolution) + " periods: a variable at " + utc_text(instants[i]) +
                " where the request has the period starting " + utc_text(starts[i]));
  }
}

}  // namespace ostrel::core::logic
