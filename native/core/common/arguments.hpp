#pragma once
// The host's standard argument errors (TypeError) and the engine's "<what> must be ..., got ..."
// form, as the one place their texts are composed.
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace ostrel::core {

// "Argument 'data' has incorrect type (expected dict, got list)".
[[noreturn]] void incorrect_type(std::string_view name, std::string_view expected,
                                 std::string_view got);
// "f() takes exactly 2 positional arguments (3 given)"; `how` is exactly / at least / at most.
[[noreturn]] void positional_count(std::string_view function, std::string_view how, size_t expected,
                                   size_t given);
// "f() got an unexpected keyword argument 'x'".
[[noreturn]] void unexpected_keyword(std::string_view function, std::string_view key);
// "f() got multiple values for keyword argument 'x'".
[[noreturn]] void multiple_values(std::string_view function, std::string_view name);
// "f() needs keyword-only argument x".
[[noreturn]] void needs_keyword_only(std::string_view function, std::string_view name);
// "<what> must be <expected>, got <got>".
[[noreturn]] void must_be(std::string_view what, std::string_view expected, std::string_view got);
// "<what> must be a time-zone aware date-time".
[[noreturn]] void naive_datetime(std::string_view what);

// A function that takes (*args, **kwargs) and reads them by this signature.
struct Param {
  const char* name;
  bool required = true;
};

struct Signature {
  const char* function;           // "calculate_cost"
  std::vector<Param> positional;  // may also be passed by keyword
  std::vector<Param> keyword_only;
};

// Where a parameter's value comes from: the positional argument or the keyword (by its place
// among the keywords given) at `at`, or nowhere.
struct Source {
  enum class From { Absent, Positional, Keyword } from = From::Absent;
  size_t at = 0;
};

// The source of every parameter in declaration order (positional, then keyword-only), given
// the number of positional arguments and the keyword names in the order the caller gave them.
// Raises the host's argument errors in the host's order: too many positional arguments, a value
// given twice, an unexpected keyword, a missing positional, a missing keyword-only argument.
std::vector<Source> bind_arguments(const Signature& sig, size_t given,
                                   std::span<const std::string_view> keywords);

}  // namespace ostrel::core
