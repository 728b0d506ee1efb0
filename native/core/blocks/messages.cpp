#include "core/blocks/messages.hpp"

#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core::blocks {

void unknown_aggregation(std::string_view name) {
  std::string message = "unknown aggregation function '";
  message += name;
  message += "'";
  value_error(message);
}

void mask_not_boolean() { fail(ErrorKind::Type, "condition mask must be a 1-D bool array"); }

void check_mask_length(size_t flags, size_t values) {
  if (flags == values) return;
  value_error("condition mask has " + std::to_string(flags) + " elements for " +
              std::to_string(values) + " values");
}

}  // namespace ostrel::core::blocks
