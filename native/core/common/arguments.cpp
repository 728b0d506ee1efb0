#include "core/common/arguments.hpp"

#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core {

namespace {
[[noreturn]] void type_error(const std::string& message) { fail(ErrorKind::Type, message); }
}  // namespace

void incorrect_type(std::string_view name, std::string_view expected, std::string_view got) {
  type_error(
      concat("Argument '", name, "' has incorrect type (expected ", expected, ", got ", got, ")"));
}

void positional_count(std::string_view function, std::string_view how, size_t expected,
                      size_t given) {
  type_error(concat(function, "() takes ", how, " ", std::to_string(expected),
                    expected == 1 ? " positional argument (" : " positional arguments (",
                    std::to_string(given), " given)"));
}

void unexpected_keyword(std::string_view function, std::string_view key) {
  type_error(concat(function, "() got an unexpected keyword argument '", key, "'"));
}

void multiple_values(std::string_view function, std::string_view name) {
  type_error(concat(function, "() got multiple values for keyword argument '", name, "'"));
}

void needs_keyword_only(std::string_view function, std::string_view name) {
  type_error(concat(function, "() needs keyword-only argument ", name));
}

void must_be(std::string_view what, std::string_view expected, std::string_view got) {
  type_error(concat(what, " must be ", expected, ", got ", got));
}

}  // namespace ostrel::core
