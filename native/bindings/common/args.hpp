#pragma once
// The host's standard argument errors, for functions that take (*args, **kwargs) and parse
// them here: exact positional counts, keyword-only arguments, exact built-in types.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "core/common/arguments.hpp"

namespace ostrel::bindings::args {
namespace nb = nanobind;

using core::Param;
using core::Signature;

// Values in declaration order (positional, then keyword-only); an absent optional argument
// is an invalid (null) object. Raises TypeError with the host's texts:
//   "f() takes exactly 4 positional arguments (5 given)"
//   "f() needs keyword-only argument use_cache"
//   "f() got an unexpected keyword argument 'x'"
//   "f() got multiple values for keyword argument 'x'"
std::vector<nb::object> parse(const Signature& sig, const nb::args& args, const nb::kwargs& kwargs);

// "Argument 'data' has incorrect type (expected dict, got list)" unless `value` is exactly of
// `type` (a subclass or None is refused too).
void require_exact(nb::handle value, PyTypeObject* type, const char* name);
// The same test, accepting subclasses.
void require_instance(nb::handle value, nb::handle type, const char* name);

}  // namespace ostrel::bindings::args
