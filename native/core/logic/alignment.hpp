#pragma once
// What the facade checks of a caller's series against a component's timeline before the run:
// the pipeline runner aligns values to their dataset's periods and places variables by
// position, so a key off those periods would be dropped and a variable of another day priced
// as this one. Each is refused naming the dataset and the first offending instant.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ostrel::core::logic {

// ValueError unless every key inside [starts.front(), end) is one of `starts` (ascending):
// "<what>: key <instant> is not the start of a <resolution> period of the request".
void check_keys_on_periods(std::span<const std::int64_t> keys, std::span<const std::int64_t> starts,
                           std::int64_t end, std::string_view what, std::string_view resolution);

// ValueError unless the variables' instants (ascending) agree with `starts` position by
// position, naming the first that differs. Unequal counts are left to the runner.
void check_variables_on_periods(std::span<const std::int64_t> instants,
                                std::span<const std::int64_t> starts, std::string_view what,
                                std::string_view resolution);

}  // namespace ostrel::core::logic
