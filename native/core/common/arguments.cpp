#include "core/common/arguments.hpp"

#include <string>

#include "core/common/errors.hpp"

namespace ostrel::core {

namespace {
[[noreturn]] void type_error(const std::string& message) { fail(ErrorKind::Type, message); }
}  // namespace

void incorrect_type(std::string_view name, std::string_view expected, std::string_view got) {
  std::string m = "Argument '";
  m += name;
  m += "' has incorrect type (expected ";
  m += expected;
  m += ", got ";
  m += got;
  m += ")";
  type_error(m);
}

void positional_count(std::string_view function, std::string_view how, size_t expected,
                      size_t given) {
  std::string m(function);
  m += "() takes ";
  m += how;
  // Appended piece by piece: GCC 12 warns on the temporaries of a longer concatenation.
  m += " ";
  m += std::to_string(expected);
  m += expected == 1 ? " positional argument (" : " positional arguments (";
  m += std::to_string(given);
  m += " given)";
  type_error(m);
}

void unexpected_keyword(std::string_view function, std::string_view key) {
  std::string m(function);
  m += "() got an unexpected keyword argument '";
  m += key;
  m += "'";
  type_error(m);
}

void multiple_values(std::string_view function, std::string_view name) {
  std::string m(function);
  m += "() got multiple values for keyword argument '";
  m += name;
  m += "'";
  type_error(m);
}

void needs_keyword_only(std::string_view function, std::string_view name) {
  std::string m(function);
  m += "() needs keyword-only argument ";
  m += name;
  type_error(m);
}

void must_be(std::string_view what, std::string_view expected, std::string_view got) {
  std::string m(what);
  m += " must be ";
  m += expected;
  m += ", got ";
  m += got;
  type_error(m);
}

}  // namespace ostrel::core
