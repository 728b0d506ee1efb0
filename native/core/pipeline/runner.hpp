#pragma once
// Checks of a pipeline run, with the system's messages.
#include <cstddef>
#include <string_view>

namespace ostrel::core::pipeline {

// ValueError "dataset <id>: <n> variables but the timeline has <m> <resolution> periods" unless
// a caller's variables match the timeline's periods of their resolution one to one.
void check_variable_count(std::string_view dataset_id_repr, size_t variables, size_t periods,
                          std::string_view resolution);

// TypeError "dataset <id>: expected a pandas Series or a VariableSeries, got <type>" for an
// input that is neither.
[[noreturn]] void input_type_error(std::string_view dataset_id_repr, std::string_view type_name);

// ValueError "next_available_col must be between 0 and 2**62, got <text>" for a first column
// that no solver model can have (`text` is the caller's integer as written).
[[noreturn]] void column_range_error(std::string_view text);
inline constexpr long long kMaxColumn = 1LL << 62;

}  // namespace ostrel::core::pipeline
