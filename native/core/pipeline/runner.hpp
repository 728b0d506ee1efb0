#pragma once
// Checks of a pipeline run, with the system's messages.
#include <cstddef>
#include <string_view>

namespace ostrel::core::pipeline {

// ValueError "dataset <id>: <n> variables but the timeline has <m> <resolution> periods" unless
// a caller's variables match the timeline's periods of their resolution one to one.
void check_variable_count(std::string_view dataset_id_repr, size_t variables, size_t periods,
                          std::string_view resolution);

}  // namespace ostrel::core::pipeline
