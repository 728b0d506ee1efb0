#include "core/pipeline/runner.hpp"

#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::pipeline {

void check_variable_count(std::string_view dataset_id_repr, size_t variables, size_t periods,
                          std::string_view resolution) {
  if (variables == periods) return;
  std::string message = "dataset ";
  message += dataset_id_repr;
  message += ": " + std::to_string(variables) + " variables but the timeline has " +
             std::to_string(periods) + " ";
  message += resolution;
  message += " periods";
  value_error(message);
}

void input_type_error(std::string_view dataset_id_repr, std::string_view type_name) {
  std::string message = "dataset ";
  message += dataset_id_repr;
  message += ": expected a pandas Series or a VariableSeries, got ";
  message += type_name;
  fail(ErrorKind::Type, message);
}

void column_range_error(std::string_view text) {
  std::string message = "next_available_col must be between 0 and 2**62, got ";
  message += text;
  value_error(message);
}

}  // namespace ostrel::core::pipeline
