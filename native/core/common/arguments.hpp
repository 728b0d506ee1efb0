#pragma once
// The host's standard argument errors (TypeError) and the engine's "<what> must be ..., got ..."
// form, as the one place their texts are composed.
#include <cstddef>
#include <string_view>

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

}  // namespace ostrel::core
