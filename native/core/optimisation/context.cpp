#include "core/optimisation/context.hpp"

#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::optimisation {

void check_next_column(std::int64_t next_available_col, std::string_view name,
                       std::int64_t largest) {
  if (next_available_col > largest) return;
  std::string message = "next_available_col (" + std::to_string(next_available_col) +
                        ") must be greater than max col in VariableSeries ";
  message += name;
  message += " (" + std::to_string(largest) + ")";
  value_error(message);
}

void output_id_type_error(std::string_view type_name) {
  std::string message = "output_id must be str, got ";
  message += type_name;
  fail(ErrorKind::Type, message);
}

void block_type_error(std::string_view type_name) {
  std::string message = "block must be a FunctionBlock, got ";
  message += type_name;
  fail(ErrorKind::Type, message);
}

}  // namespace ostrel::core::optimisation
