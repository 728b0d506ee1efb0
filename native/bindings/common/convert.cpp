// The array side of the convert unit: host kinds, the engine's fixed dtypes, spans over numpy
// buffers and owning numpy results.
#include "bindings/common/convert.hpp"

#include <Python.h>
#include <nanobind/stl/string.h>

#include <string>

#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::convert {

nb::module_ numpy() { return nb::borrow<nb::module_>(host::numpy()); }

bool is_ndarray(nb::handle obj) {
  return PyObject_IsInstance(obj.ptr(), host::ndarray_type().ptr()) == 1;
}

bool is_series(nb::handle obj) {
  return PyObject_IsInstance(obj.ptr(), host::series_type().ptr()) == 1;
}

bool is_python_number(nb::handle obj) {
  return PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr());
}

bool truth(nb::handle value, bool absent) {
  if (!value.is_valid()) return absent;
  const int t = PyObject_IsTrue(value.ptr());
  if (t < 0) throw nb::python_error();
  return t == 1;
}

bool is_numeric_scalar(nb::handle obj) {
  return is_python_number(obj) ||
         PyObject_IsInstance(obj.ptr(), host::numpy_number_type().ptr()) == 1;
}

nb::object read_only(nb::object array) {
  array.attr("flags").attr("writeable") = false;
  return array;
}
std::vector<double> values_f64(nb::handle series_or_array) {
  nb::object arr = nb::borrow(series_or_array);
  if (nb::hasattr(arr, "to_numpy")) arr = arr.attr("to_numpy")();
  arr = numpy().attr("asarray")(arr, nb::arg("dtype") = "float64");
  std::vector<double> scratch;
  auto view = view_1d<double>(arr, scratch);
  return std::vector<double>(view.begin(), view.end());
}
const char* dtype_name(DType t) {
  static const char* names[4] = {"bool_", "int32", "int64", "float64"};
  return names[static_cast<int>(t)];
}

bool has_dtype(nb::handle array, DType t) {
  nb::object dt = nb::getattr(array, "dtype", nb::none());
  if (dt.is_none()) return false;
  if (dt.ptr() == dtype(t).ptr()) return true;
  return dt.equal(dtype(t));
}

void ensure_1d(nb::handle array) {
  nb::object ndim = nb::getattr(array, "ndim", nb::none());
  if (ndim.is_none()) core::kernels::not_an_array(bindings::type_name(array));
  const long d = nb::cast<long>(ndim);
  if (d != 1) core::kernels::not_one_dimensional(d);
}

void ensure(nb::handle array, DType t) {
  if (!has_dtype(array, t)) {
    nb::object dt = nb::getattr(array, "dtype", nb::none());
    const std::string got =
        dt.is_none() ? bindings::type_name(array) : nb::cast<std::string>(nb::str(dt));
    core::kernels::wrong_dtype(dtype_name(t), got);
  }
  ensure_1d(array);
}

nb::object to_dtype(nb::handle x, DType t) {
  if (is_ndarray(x)) {
    if (Py_TYPE(x.ptr()) == reinterpret_cast<PyTypeObject*>(host::ndarray_type().ptr()) &&
        nb::getattr(x, "dtype").ptr() == dtype(t).ptr())
      return nb::borrow(x);
    return x.attr("astype")(dtype(t), nb::arg("copy") = false);
  }
  if (is_series(x)) return x.attr("to_numpy")().attr("astype")(dtype(t), nb::arg("copy") = false);
  return numpy().attr("array")(x, nb::arg("dtype") = dtype(t));
}

template <typename T>
std::span<const T> span_as(nb::handle obj, nb::object& keep) {
  if (auto s = try_span<T>(obj, keep)) return *s;
  constexpr DType t = std::is_same_v<T, double>    ? DType::Float64
                      : std::is_same_v<T, int64_t> ? DType::Int64
                      : std::is_same_v<T, int32_t> ? DType::Int32
                                                   : DType::Bool;
  nb::handle src = is_series(obj) ? nb::handle() : obj;
  nb::object values = src ? nb::borrow(src) : obj.attr("to_numpy")();
  keep = host::ascontiguousarray()(values, nb::arg("dtype") = dtype(t));
  if (auto s = try_span<T>(keep, keep)) return *s;
  ensure_1d(keep);
  core::kernels::not_convertible(dtype_name(t));
}

template std::span<const double> span_as<double>(nb::handle, nb::object&);
template std::span<const int64_t> span_as<int64_t>(nb::handle, nb::object&);
template std::span<const uint8_t> span_as<uint8_t>(nb::handle, nb::object&);

nb::object canonical(nb::object array, DType t) {
  if (array.attr("dtype").ptr() == dtype(t).ptr()) return array;
  return array.attr("view")(dtype(t));
}

nb::object bool_array(std::vector<uint8_t>&& values) {
  auto* owned = new std::vector<uint8_t>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<uint8_t>*>(p); });
  const size_t shape[1] = {owned->size()};
  return nb::cast(nb::ndarray<nb::numpy, bool, nb::ndim<1>>(reinterpret_cast<bool*>(owned->data()),
                                                            1, shape, owner));
}

template <typename T>
nb::object read_only_view(const T* data, size_t n, nb::handle owner) {
  using Elem = std::conditional_t<std::is_same_v<T, uint8_t>, bool, T>;
  static const T empty{};
  const size_t shape[1] = {n};
  const Elem* p = reinterpret_cast<const Elem*>(data ? data : &empty);
  nb::object a = nb::cast(nb::ndarray<nb::numpy, const Elem, nb::ndim<1>>(p, 1, shape, owner));
  if constexpr (std::is_same_v<T, int64_t>) a = canonical(a, DType::Int64);
  return a;
}

template nb::object read_only_view<double>(const double*, size_t, nb::handle);
template nb::object read_only_view<int64_t>(const int64_t*, size_t, nb::handle);
template nb::object read_only_view<uint8_t>(const uint8_t*, size_t, nb::handle);

core::kernels::PerStep per_step(nb::handle value, size_t n, std::vector<nb::object>& keep) {
  using core::kernels::PerStep;
  if (PyFloat_Check(value.ptr())) return PerStep::of(PyFloat_AS_DOUBLE(value.ptr()));
  if (PyLong_Check(value.ptr())) return PerStep::of(nb::cast<double>(nb::float_(value)));
  const bool series = is_series(value);
  if (series) core::kernels::check_broadcast_length(n, nb::len(value));
  nb::object held;
  nb::object arr = series ? value.attr("to_numpy")() : nb::borrow(value);
  std::span<const double> s;
  if (auto v = try_span<double>(arr, held)) {
    s = *v;
  } else {
    held = host::ascontiguousarray()(arr, nb::arg("dtype") = dtype(DType::Float64));
    const long ndim = nb::cast<long>(held.attr("ndim"));
    if (ndim == 0) return PerStep::of(nb::cast<double>(held.attr("item")()));
    if (ndim != 1)
      core::kernels::broadcast_error(n, nb::cast<std::string>(nb::str(held.attr("shape"))));
    s = *try_span<double>(held, held);
  }
  if (!held.is_valid()) held = arr;
  keep.push_back(held);
  if (s.size() == n) return PerStep::of(s);
  if (s.size() == 1) return PerStep::of(s[0]);
  core::kernels::broadcast_error(n, s.size());
}
ValuesView values_view(nb::handle series) {
  nb::object arr = nb::borrow(series);
  if (nb::hasattr(arr, "to_numpy")) arr = arr.attr("to_numpy")();
  ValuesView v;
  v.owner = numpy().attr("asarray")(arr, nb::arg("dtype") = "float64");
  v.values = view_1d<double>(v.owner, v.scratch);
  return v;
}
nb::object mask_array(core::timeline::Mask&& mask) {
  auto* owned = new core::timeline::Mask(std::move(mask));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<core::timeline::Mask*>(p); });
  const size_t shape[1] = {owned->size()};
  return nb::cast(nb::ndarray<nb::numpy, bool, nb::ndim<1>>(reinterpret_cast<bool*>(owned->data()),
                                                            1, shape, owner));
}

}  // namespace ostrel::bindings::convert
