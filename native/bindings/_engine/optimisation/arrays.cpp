#include "bindings/_engine/optimisation/arrays.hpp"

#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::engine::arrays {

namespace {

// Kept for the life of the process: no destructor may run after the host has finalised.
struct Cache {
  PyObject* numpy = nullptr;
  PyObject* ndarray = nullptr;
  PyObject* series = nullptr;
  PyObject* dtypes[4] = {};
};

Cache& cache() {
  static Cache c;
  if (!c.numpy) {
    nb::module_ np = nb::module_::import_("numpy");
    c.ndarray = np.attr("ndarray").inc_ref().ptr();
    const char* names[4] = {"bool", "int32", "int64", "float64"};
    for (int i = 0; i < 4; ++i) c.dtypes[i] = np.attr("dtype")(names[i]).inc_ref().ptr();
    c.series = nb::module_::import_("pandas").attr("Series").inc_ref().ptr();
    c.numpy = np.inc_ref().ptr();
  }
  return c;
}

std::string shape_text(size_t n) {
  std::string out = "(";  // appended, not concatenated: GCC 12 warns on the temporaries
  out += std::to_string(n);
  out += ",)";
  return out;
}

}  // namespace

nb::module_ numpy() { return nb::borrow<nb::module_>(cache().numpy); }

bool is_ndarray(nb::handle obj) { return PyObject_IsInstance(obj.ptr(), cache().ndarray) == 1; }

bool is_pandas_series(nb::handle obj) {
  return PyObject_IsInstance(obj.ptr(), cache().series) == 1;
}

bool is_number(nb::handle obj) { return PyLong_Check(obj.ptr()) || PyFloat_Check(obj.ptr()); }

nb::handle dtype(DType t) { return cache().dtypes[static_cast<int>(t)]; }

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
  if (ndim.is_none()) core::value_error("array must be 1-D, got " + bindings::type_name(array));
  const long d = nb::cast<long>(ndim);
  if (d != 1) core::value_error("array must be 1-D, got " + std::to_string(d) + "-D");
}

void ensure(nb::handle array, DType t) {
  if (!has_dtype(array, t)) {
    nb::object dt = nb::getattr(array, "dtype", nb::none());
    const std::string got =
        dt.is_none() ? bindings::type_name(array) : nb::cast<std::string>(nb::str(dt));
    core::value_error(std::string("array must be ") + dtype_name(t) + ", got " + got);
  }
  ensure_1d(array);
}

nb::object to_dtype(nb::handle x, DType t) {
  if (is_ndarray(x)) {
    if (Py_TYPE(x.ptr()) == reinterpret_cast<PyTypeObject*>(cache().ndarray) &&
        nb::getattr(x, "dtype").ptr() == dtype(t).ptr())
      return nb::borrow(x);
    return x.attr("astype")(dtype(t), nb::arg("copy") = false);
  }
  if (is_pandas_series(x))
    return x.attr("to_numpy")().attr("astype")(dtype(t), nb::arg("copy") = false);
  return numpy().attr("array")(x, nb::arg("dtype") = dtype(t));
}

template <typename T>
std::span<const T> span_as(nb::handle obj, nb::object& keep) {
  if (auto s = try_span<T>(obj, keep)) return *s;
  constexpr DType t = std::is_same_v<T, double>    ? DType::Float64
                      : std::is_same_v<T, int64_t> ? DType::Int64
                      : std::is_same_v<T, int32_t> ? DType::Int32
                                                   : DType::Bool;
  nb::handle src = is_pandas_series(obj) ? nb::handle() : obj;
  nb::object values = src ? nb::borrow(src) : obj.attr("to_numpy")();
  keep = numpy().attr("ascontiguousarray")(values, nb::arg("dtype") = dtype(t));
  if (auto s = try_span<T>(keep, keep)) return *s;
  ensure_1d(keep);
  core::value_error(std::string("array must be ") + dtype_name(t));
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
  if (is_pandas_series(value)) {
    const size_t len = nb::len(value);
    core::check(len == n,
                "broadcast: expected length " + std::to_string(n) + ", got " + std::to_string(len));
  }
  nb::object held;
  nb::object arr = nb::borrow(value);
  if (is_pandas_series(value)) arr = value.attr("to_numpy")();
  std::span<const double> s;
  if (auto v = try_span<double>(arr, held)) {
    s = *v;
  } else {
    held = numpy().attr("ascontiguousarray")(arr, nb::arg("dtype") = dtype(DType::Float64));
    const long ndim = nb::cast<long>(held.attr("ndim"));
    if (ndim == 0) return PerStep::of(nb::cast<double>(held.attr("item")()));
    if (ndim != 1)
      core::value_error("operands could not be broadcast together with shapes " + shape_text(n) +
                        " " + nb::cast<std::string>(nb::str(nb::object(held.attr("shape")))));
    s = *try_span<double>(held, held);
  }
  if (!held.is_valid()) held = arr;
  keep.push_back(held);
  if (s.size() == n) return PerStep::of(s);
  if (s.size() == 1) return PerStep::of(s[0]);
  core::value_error("operands could not be broadcast together with shapes " + shape_text(n) + " " +
                    shape_text(s.size()));
}

}  // namespace ostrel::bindings::engine::arrays
