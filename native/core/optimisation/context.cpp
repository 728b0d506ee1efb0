#include "core/optimisation/context.hpp"

#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::optimisation {

void check_next_column(std::int64_t next_available_col, std::string_view name,
                       std::int64_t largest) {
  if (next_available_col > largest) return;
  value_error(concat("next_available_col (" + std::to_string(next_available_col) +
                         ") must be greater than max col in VariableSeries ",
                     name, " (" + std::to_string(largest) + ")"));
}

void output_id_type_error(std::string_view type_name) {
  fail(ErrorKind::Type, concat("output_id must be str, got ", type_name));
}

void block_type_error(std::string_view type_name) {
  fail(ErrorKind::Type, concat("block must be a FunctionBlock, got ", type_name));
}

}  // namespace ostrel::core::optimisation
