#include "core/logic/alignment.hpp"

#include <algorithm>

#include "core/common/errors.hpp"
#include "core/common/spans.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::core::logic {

using timeline::utc_text;

void check_keys_on_periods(std::span<const std::int64_t> keys, std::span<const std::int64_t> starts,
                           std::int64_t end, std::string_view what, std::string_view resolution) {
  if (starts.empty()) return;
  // Most often the keys are exactly the periods (a series on the grid it is priced on): one
  // comparison of whole arrays.
  if (same_elements(keys, starts)) return;
  // Keys come in time order almost always: walk both in step, and search only for a key that
  // goes back.
  std::size_t j = 0;
  for (std::int64_t k : keys) {
    if (k < starts.front() || k >= end) continue;  // outside the request: not priced
    if (j == starts.size() || starts[j] > k || (j > 0 && starts[j - 1] >= k))
      j = static_cast<std::size_t>(std::lower_bound(starts.begin(), starts.end(), k) -
                                   starts.begin());
    while (j < starts.size() && starts[j] < k) ++j;
    if (j < starts.size() && starts[j] == k) continue;
    value_error(std::string(what) + ": key " + utc_text(k) + " is not the start of a " +
                std::string(resolution) + " period of the request");
  }
}

void check_variables_on_periods(std::span<const std::int64_t> instants,
                                std::span<const std::int64_t> starts, std::string_view what,
                                std::string_view resolution) {
  timeline::check_variables_at(instants, starts,
                               std::string(what) + ": the variables are not at the request's " +
                                   std::string(resolution) + " periods",
                               "request");
}

}  // namespace ostrel::core::logic
