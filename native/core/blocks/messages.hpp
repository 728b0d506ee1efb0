#pragma once
// Failures of block evaluation whose cause the bindings detect while reading host values.
#include <cstddef>
#include <string_view>

namespace ostrel::core::blocks {

// ValueError "unknown aggregation function '<name>'".
[[noreturn]] void unknown_aggregation(std::string_view name);
// TypeError "condition mask must be a 1-D bool array".
[[noreturn]] void mask_not_boolean();
// ValueError unless a condition mask has one flag per value.
void check_mask_length(size_t flags, size_t values);

}  // namespace ostrel::core::blocks
