// Equality, hashing and text form shared by the optimisation records.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "core/common/text.hpp"
#include "core/kernels/kernels.hpp"
#include "core/optimisation/arguments.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

bool is_pandas(nb::handle x) {
  return PyObject_IsInstance(x.ptr(), host::pandas_containers().ptr()) == 1;
}

size_t mix(size_t seed, size_t v) {
  return seed ^ (v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace

bool value_equal(nb::handle a, nb::handle b) {
  if (a.ptr() == b.ptr()) return true;
  if (arrays::is_ndarray(a) || arrays::is_ndarray(b)) {
    if (!arrays::is_ndarray(a) || !arrays::is_ndarray(b)) return false;
    return nb::cast<bool>(arrays::numpy().attr("array_equal")(a, b));
  }
  if (is_pandas(a) || is_pandas(b)) {
    if (!a.type().is(b.type())) return false;
    return nb::cast<bool>(a.attr("equals")(b));
  }
  if (PyDict_Check(a.ptr()) && PyDict_Check(b.ptr())) {
    if (PyDict_Size(a.ptr()) != PyDict_Size(b.ptr())) return false;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(a.ptr(), &pos, &key, &value)) {
      PyObject* other = PyDict_GetItemWithError(b.ptr(), key);
      if (!other) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
      }
      if (!value_equal(value, other)) return false;
    }
    return true;
  }
  const bool seqs = (PyList_Check(a.ptr()) && PyList_Check(b.ptr())) ||
                    (PyTuple_Check(a.ptr()) && PyTuple_Check(b.ptr()));
  if (seqs) {
    const size_t n = nb::len(a);
    if (n != nb::len(b)) return false;
    for (size_t i = 0; i < n; ++i)
      if (!value_equal(a[i], b[i])) return false;
    return true;
  }
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

size_t value_hash(nb::handle x) {
  // Arrays and pandas objects hash by length only: equal values always hash alike.
  if (arrays::is_ndarray(x) || is_pandas(x)) return mix(0x41, nb::len(x));
  if (PyTuple_Check(x.ptr()) || PyList_Check(x.ptr())) {
    size_t h = mix(0x54, nb::len(x));
    for (nb::handle item : x) h = mix(h, value_hash(item));
    return h;
  }
  const Py_hash_t h = PyObject_Hash(x.ptr());
  if (h == -1) throw nb::python_error();
  return static_cast<size_t>(h);
}

nb::object record_repr(nb::handle self,
                       std::span<const std::pair<const char*, nb::handle>> fields) {
  const int entered = Py_ReprEnter(self.ptr());
  if (entered < 0) throw nb::python_error();
  if (entered > 0) return nb::str("...");
  std::string text;
  try {
    std::vector<std::pair<std::string_view, std::string>> reprs;
    for (const auto& [name, value] : fields)
      reprs.emplace_back(name, nb::cast<std::string>(nb::repr(value)));
    text = core::record_text(nb::cast<std::string>(self.type().attr("__qualname__")), reprs);
  } catch (...) {
    Py_ReprLeave(self.ptr());
    throw;
  }
  Py_ReprLeave(self.ptr());
  return nb::str(text.c_str(), text.size());
}

nb::object classmethod(nb::object fn) {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyClassMethod_Type))(fn);
}

std::vector<int64_t> positions(nb::handle indices, size_t n) {
  nb::object arr = arrays::numpy().attr("asarray")(indices);
  const std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
  nb::object keep;
  if (kind == "b") {
    co::check_mask_length(n, nb::len(arr));
    auto mask = arrays::span_as<uint8_t>(arr, keep);
    return core::kernels::where_indices(mask);
  }
  if (kind != "i" && kind != "u" && nb::len(arr) > 0) core::kernels::non_integer_index();
  return co::normalise_positions(arrays::span_as<int64_t>(arr, keep), n);
}

}  // namespace ostrel::bindings::engine::optim
