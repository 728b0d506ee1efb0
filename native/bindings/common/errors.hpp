#pragma once
// Shared set-up of every extension module: translation of core failures into the host's
// exception types, the host's assertion mode, and the native function types.
#include <nanobind/nanobind.h>

#include <exception>
#include <string>

namespace ostrel::core {
class Error;
}

namespace ostrel::bindings {
namespace nb = nanobind;

// Registers the core-error translator and reads the host's optimisation flag. Every module
// calls it first in its init.
void init_common(nb::module_& m);

// True unless the host runs optimised (python -O).
bool assertions_enabled();

// The type of a native function defined as a method (binds self on attribute access).
nb::object native_method_type();

// Raise a host exception of the given builtin type with a message.
[[noreturn]] void raise_assertion(const std::string& message);
[[noreturn]] void raise_key_error(nb::handle key);

// Set the host's error indicator for a core failure / any exception caught at a raw C
// boundary (the translator covers nanobind-bound functions).
void set_core_error(const core::Error& e);
bool set_error_from_exception(const std::exception_ptr& p);

// The host's name of an object's type, as in "got list".
std::string type_name(nb::handle obj);

}  // namespace ostrel::bindings
