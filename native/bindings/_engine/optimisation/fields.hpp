#pragma once
// Immutable records of host values: read-only fields, construction by the class's own
// __init__, field-wise equality, a hash consistent with it, and the record's text.
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <utility>

#include "bindings/_engine/optimisation/optimisation.hpp"

namespace ostrel::bindings::engine::optim {

template <size_t N>
struct Fields {
  std::array<nb::object, N> values;
};

template <typename Record, size_t N>
nb::class_<Record> bind_record(nb::module_& m, const char* name, const char* doc,
                               const std::array<const char*, N>& names) {
  nb::class_<Record> c(m, name, doc);
  for (size_t i = 0; i < N; ++i)
    c.def_prop_ro(names[i], [i](const Record& r) { return r.values[i]; });
  c.def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
    if (!self.type().is(other.type())) return nb::borrow(Py_NotImplemented);
    const Record &a = nb::cast<const Record&>(self), &b = nb::cast<const Record&>(other);
    for (size_t i = 0; i < N; ++i)
      if (!value_equal(a.values[i], b.values[i])) return nb::bool_(false);
    return nb::bool_(true);
  });
  c.def("__hash__", [](const Record& r) {
    size_t h = N;
    for (size_t i = 0; i < N; ++i) h = h * 1000003u ^ value_hash(r.values[i]);
    return static_cast<Py_ssize_t>(h);
  });
  c.def("__repr__", [names](nb::handle self) {
    const Record& r = nb::cast<const Record&>(self);
    std::array<std::pair<const char*, nb::handle>, N> fields;
    for (size_t i = 0; i < N; ++i) fields[i] = {names[i], r.values[i]};
    return record_repr(self, fields);
  });
  return c;
}

}  // namespace ostrel::bindings::engine::optim
