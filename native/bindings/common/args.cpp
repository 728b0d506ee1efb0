#include "bindings/common/args.hpp"

#include <nanobind/stl/string.h>

#include <string_view>

#include "bindings/common/errors.hpp"

namespace ostrel::bindings::args {

std::vector<nb::object> parse(const Signature& sig, const nb::args& args,
                              const nb::kwargs& kwargs) {
  // The keyword names in the caller's order, viewed in the keys' own text.
  std::vector<nb::handle> values;
  std::vector<std::string_view> names;
  std::vector<nb::object> escaped;  // keys the UTF-8 codec refuses (lone surrogates)
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (!text) {
      // Such a key matches no parameter: the error names it escaped.
      PyErr_Clear();
      escaped.push_back(nb::steal(PyUnicode_AsEncodedString(key, "utf-8", "backslashreplace")));
      if (!escaped.back().is_valid()) throw nb::python_error();
      text = PyBytes_AS_STRING(escaped.back().ptr());
      size = PyBytes_GET_SIZE(escaped.back().ptr());
    }
    names.emplace_back(text, static_cast<size_t>(size));
    values.push_back(value);
  }
  const std::vector<core::Source> sources =
      core::bind_arguments(sig, nb::len(nb::handle(args)), names);
  std::vector<nb::object> out(sources.size());
  for (size_t i = 0; i < sources.size(); ++i) {
    switch (sources[i].from) {
      case core::Source::From::Positional:
        out[i] = nb::borrow(args[sources[i].at]);
        break;
      case core::Source::From::Keyword:
        out[i] = nb::borrow(values[sources[i].at]);
        break;
      case core::Source::From::Absent:
        break;
    }
  }
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
