#include "bindings/common/args.hpp"

#include <nanobind/stl/string.h>

#include "bindings/common/errors.hpp"
#include "core/common/arguments.hpp"

namespace ostrel::bindings::args {

namespace {

[[noreturn]] void count_error(const Signature& sig, size_t given) {
  size_t required = 0;
  for (const auto& p : sig.positional) required += p.required ? 1 : 0;
  const size_t total = sig.positional.size();
  std::string how;
  size_t expected = total;
  if (required == total) {
    how = "exactly";
  } else if (given < required) {
    how = "at least";
    expected = required;
  } else {
    how = "at most";
  }
  core::positional_count(sig.function, how, expected, given);
}

}  // namespace

std::vector<nb::object> parse(const Signature& sig, const nb::args& args,
                              const nb::kwargs& kwargs) {
  const size_t npos = sig.positional.size();
  const size_t given = nb::len(nb::handle(args));
  if (given > npos) count_error(sig, given);
  std::vector<nb::object> out(npos + sig.keyword_only.size());
  for (size_t i = 0; i < given; ++i) out[i] = nb::borrow(args[i]);

  size_t matched = 0;
  auto take = [&](const char* name) -> nb::object {
    PyObject* v = PyDict_GetItemString(kwargs.ptr(), name);
    if (!v) return nb::object();
    ++matched;
    return nb::borrow(v);
  };
  for (size_t i = 0; i < npos; ++i) {
    nb::object v = take(sig.positional[i].name);
    if (v.is_valid()) {
      if (i < given) core::multiple_values(sig.function, sig.positional[i].name);
      out[i] = v;
    }
  }
  for (size_t j = 0; j < sig.keyword_only.size(); ++j)
    out[npos + j] = take(sig.keyword_only[j].name);

  if (matched != nb::len(nb::handle(kwargs))) {
    for (auto [key, value] : kwargs) {
      const std::string k = nb::cast<std::string>(nb::str(key));
      bool known = false;
      for (const auto& p : sig.positional) known |= k == p.name;
      for (const auto& p : sig.keyword_only) known |= k == p.name;
      if (!known) core::unexpected_keyword(sig.function, k);
    }
  }
  size_t present = 0;
  for (size_t i = 0; i < npos; ++i) present += out[i].is_valid() ? 1 : 0;
  for (size_t i = 0; i < npos; ++i)
    if (sig.positional[i].required && !out[i].is_valid()) count_error(sig, present);
  for (size_t j = 0; j < sig.keyword_only.size(); ++j)
    if (sig.keyword_only[j].required && !out[npos + j].is_valid())
      core::needs_keyword_only(sig.function, sig.keyword_only[j].name);
  return out;
}

void require_exact(nb::handle value, PyTypeObject* type, const char* name) {
  if (Py_TYPE(value.ptr()) == type) return;
  core::incorrect_type(name, type->tp_name, bindings::type_name(value));
}

void require_instance(nb::handle value, nb::handle type, const char* name) {
  if (nb::isinstance(value, type)) return;
  core::incorrect_type(name, nb::cast<std::string>(type.attr("__name__")),
                       bindings::type_name(value));
}

}  // namespace ostrel::bindings::args
