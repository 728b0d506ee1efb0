#pragma once
// Failures of the core. Each carries the system's exact message and the kind of host
// exception it becomes; the bindings translate them in one place.
#include <stdexcept>
#include <string>
#include <string_view>

namespace ostrel::core {

enum class ErrorKind { Value, Type, Assertion, Key, NotImplemented, Index, ZeroDivision };

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

// The pieces of a message joined (texts only: numbers are rendered by the caller, the way the
// message shows them).
template <typename... Pieces>
std::string concat(const Pieces&... pieces) {
  std::string out;
  (out.append(std::string_view(pieces)), ...);
  return out;
}

[[noreturn]] inline void fail(ErrorKind kind, const std::string& message) {
  throw Error(kind, message);
}
[[noreturn]] inline void value_error(const std::string& message) {
  fail(ErrorKind::Value, message);
}
[[noreturn]] inline void assertion_error(const std::string& message) {
  fail(ErrorKind::Assertion, message);
}

// Assertion-kind checks are skipped when the host runs optimised. Each extension module
// sets this once at import from the host's flags.
bool assertions_enabled() noexcept;
void set_assertions_enabled(bool enabled) noexcept;

// Raises an assertion-kind failure when assertions are on and `ok` is false.
inline void check(bool ok, const std::string& message) {
  if (!ok && assertions_enabled()) assertion_error(message);
}

}  // namespace ostrel::core
