#include "bindings/common/convert.hpp"

#include <Python.h>
#include <datetime.h>
#include <nanobind/stl/string.h>

#include <limits>
#include <string>

#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::bindings::convert {

namespace {

nb::object pandas() { return nb::borrow(host::pandas()); }

std::string text_of(nb::handle s) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<size_t>(size));
}

}  // namespace

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

bool is_numeric_scalar(nb::handle obj) {
  return is_python_number(obj) ||
         PyObject_IsInstance(obj.ptr(), host::numpy_number_type().ptr()) == 1;
}

nb::object read_only(nb::object array) {
  array.attr("flags").attr("writeable") = false;
  return array;
}

std::vector<int64_t> instants_ns(nb::handle index) {
  nb::object idx = nb::borrow(host::datetime_index_type())(index);
  if (idx.attr("tz").is_none()) throw nb::type_error("index must be time-zone aware");
  nb::object ns = idx.attr("as_unit")("ns").attr("asi8");
  std::vector<int64_t> scratch;
  auto view = view_1d<int64_t>(ns, scratch);
  return std::vector<int64_t>(view.begin(), view.end());
}

std::vector<double> values_f64(nb::handle series_or_array) {
  nb::object arr = nb::borrow(series_or_array);
  if (nb::hasattr(arr, "to_numpy")) arr = arr.attr("to_numpy")();
  arr = numpy().attr("asarray")(arr, nb::arg("dtype") = "float64");
  std::vector<double> scratch;
  auto view = view_1d<double>(arr, scratch);
  return std::vector<double>(view.begin(), view.end());
}

namespace {
template <typename Vector>
nb::object utc_index_of(Vector&& ns) {
  nb::object arr = to_numpy(std::move(ns));
  const auto* data = static_cast<const int64_t*>(nb::cast<nb::ndarray<>>(arr).data());
  return utc_index_view(data, nb::len(arr), arr);
}
}  // namespace

nb::object utc_index(std::vector<int64_t>&& ns) { return utc_index_of(std::move(ns)); }
nb::object utc_index(core::blocks::Labels&& ns) { return utc_index_of(std::move(ns)); }

namespace {

nb::object public_series(nb::handle array, nb::handle index, nb::handle name) {
  return host::series_type()(array, nb::arg("index") = index, nb::arg("name") = name,
                             nb::arg("copy") = false);
}

// The Series' name set as its own setter does once the name is known to be hashable (every
// name given here is a str or None), without the frame's attribute dispatch.
void set_name(nb::handle series, nb::handle name) {
  static PyObject* attr = PyUnicode_InternFromString("_name");
  if (PyObject_GenericSetAttr(series.ptr(), attr, name.ptr()) != 0) throw nb::python_error();
}

nb::object fast_series(nb::handle array, nb::handle index, nb::handle name) {
  nb::object manager = nb::borrow(host::manager_from_array())(array, index);
  nb::object s =
      nb::borrow(host::series_from_manager())(manager, nb::arg("axes") = manager.attr("axes"));
  set_name(s, name);
  return s;
}

// pandas' constructor infers and validates at every call (about 10 us, more than a pass over a
// year of quarter-hours); a float64 array of our own on an index needs none of it. The internal
// path is used when this pandas has it and, checked once, it builds what the constructor
// builds: the same type, index object, buffer, name, flags and block.
bool fast_series_usable() {
  static const bool usable = [] {
    if (!host::manager_from_array().is_valid() || !host::series_from_manager().is_valid())
      return false;
    try {
      nb::object values = to_numpy(std::vector<double>{1.0, 2.0, 3.0});
      nb::object index =
          utc_index(std::vector<std::int64_t>{0, 900'000'000'000, 1'800'000'000'000});
      nb::str name("probe");
      nb::object fast = fast_series(values, index, name);
      nb::object slow = public_series(values, index, name);
      nb::object same_memory = numpy().attr("shares_memory")(fast.attr("to_numpy")(), values);
      return fast.type().is(slow.type()) && fast.attr("index").is(index) &&
             slow.attr("index").is(index) && fast.attr("name").equal(name) &&
             fast.attr("dtype").equal(slow.attr("dtype")) && nb::cast<bool>(same_memory) &&
             nb::cast<bool>(fast.attr("equals")(slow)) &&
             fast.attr("flags")
                 .attr("allows_duplicate_labels")
                 .equal(slow.attr("flags").attr("allows_duplicate_labels")) &&
             fast.attr("attrs").equal(slow.attr("attrs")) &&
             nb::str(fast.attr("_mgr").attr("blocks")[0].type())
                 .equal(nb::str(slow.attr("_mgr").attr("blocks")[0].type()));
    } catch (nb::python_error&) {
      return false;
    }
  }();
  return usable;
}

nb::object series_of(nb::object array, nb::handle index, nb::handle name) {
  if (fast_series_usable() &&
      Py_TYPE(index.ptr()) == reinterpret_cast<PyTypeObject*>(host::datetime_index_type().ptr()) &&
      (name.is_none() || PyUnicode_CheckExact(name.ptr())))
    return fast_series(array, index, name);
  return public_series(array, index, name);
}

}  // namespace

nb::object series(std::vector<double>&& values, nb::handle index, nb::handle name) {
  return series_of(to_numpy(std::move(values)), index, name);
}

nb::object series(core::blocks::Values&& values, nb::handle index, nb::handle name) {
  return series_of(to_numpy(std::move(values)), index, name);
}

void rename_series(nb::handle series, nb::handle name) {
  if (fast_series_usable() &&
      Py_TYPE(series.ptr()) == reinterpret_cast<PyTypeObject*>(host::series_type().ptr()) &&
      (name.is_none() || PyUnicode_CheckExact(name.ptr()))) {
    set_name(series, name);
    return;
  }
  series.attr("name") = name;
}

SeriesArg read_series(nb::handle value) {
  SeriesArg s;
  s.series = nb::borrow(value);
  s.index = value.attr("index");
  // The labels of a time-zone-aware nanosecond index are its own int64 buffer; any other index
  // goes through the general conversion. The engine's own indexes (UTC, nanoseconds) are known
  // by their dtype object without asking the index for its zone and unit.
  const bool datetime_index =
      Py_TYPE(s.index.ptr()) == reinterpret_cast<PyTypeObject*>(host::datetime_index_type().ptr());
  if (datetime_index &&
      (s.index.attr("dtype").is(host::utc_ns_dtype()) ||
       (!s.index.attr("tz").is_none() && text_of(s.index.attr("unit")) == "ns"))) {
    s.label_array = s.index.attr("asi8");
    s.labels = view_1d<int64_t>(s.label_array, s.label_storage);
  } else {
    s.label_storage = instants_ns(s.index);
    s.labels = s.label_storage;
  }
  // A plain float64 Series holds its values as one numpy array: viewed as it is. Anything else
  // (other dtypes, extension arrays, subclasses) is converted by the series itself.
  if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(host::series_type().ptr())) {
    nb::object held = value.attr("_values");
    if (Py_TYPE(held.ptr()) == reinterpret_cast<PyTypeObject*>(host::ndarray_type().ptr()) &&
        held.attr("dtype").is(host::dtype(DType::Float64)))
      s.array = std::move(held);
  }
  if (!s.array.is_valid())
    s.array = value.attr("to_numpy")(nb::arg("dtype") = host::float64_type());
  s.values = view_1d<double>(s.array, s.scratch);
  return s;
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

// ---- Instants, values and masks of the timeline ----

InstantsView instants_view(nb::handle index, bool to_ns) {
  InstantsView v;
  // An aware nanosecond DatetimeIndex (what the timeline itself hands out) is read as it is.
  if (index.type().is(host::datetime_index_type())) {
    nb::object dtype = index.attr("dtype");
    if (dtype.type().is(host::datetime_tz_dtype_type())) {
      const std::string unit = text_of(dtype.attr("unit"));
      const std::int64_t scale = unit == "ns"   ? 1
                                 : unit == "us" ? 1000
                                 : unit == "ms" ? 1000000
                                 : unit == "s"  ? 1000000000
                                                : 0;
      if (scale) {
        v.owner = index.attr("asi8");
        const auto raw = view_1d<std::int64_t>(v.owner, v.scratch);
        v.raw = raw;
        v.unit_ns = scale;
        if (scale == 1) {
          v.ns = raw;
          return v;
        }
        if (!to_ns) return v;
        // Other units are scaled here rather than converted by the host (a copy per call).
        constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();
        v.scaled.resize(raw.size());
        bool overflow = false;
        for (std::size_t i = 0; i < raw.size(); ++i) {
          if (raw[i] == nat) {
            v.scaled[i] = nat;
          } else {
            overflow |= __builtin_mul_overflow(raw[i], scale, &v.scaled[i]);
          }
        }
        // Instants beyond the nanosecond range: the host's conversion below reports them.
        if (!overflow) {
          v.ns = v.scaled;
          return v;
        }
        v = InstantsView{};
      }
    }
  }
  nb::object idx = pandas().attr("DatetimeIndex")(index);
  if (idx.attr("tz").is_none()) throw nb::type_error("index must be time-zone aware");
  v.owner = idx.attr("as_unit")("ns").attr("asi8");
  v.ns = view_1d<std::int64_t>(v.owner, v.scratch);
  v.raw = v.ns;
  return v;
}

ValuesView values_view(nb::handle series) {
  nb::object arr = nb::borrow(series);
  if (nb::hasattr(arr, "to_numpy")) arr = arr.attr("to_numpy")();
  ValuesView v;
  v.owner = numpy().attr("asarray")(arr, nb::arg("dtype") = "float64");
  v.values = view_1d<double>(v.owner, v.scratch);
  return v;
}

std::int64_t instant_ns(nb::handle when, const char* what) {
  namespace tl = core::timeline;
  static PyDateTime_CAPI* api = [] {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    return PyDateTimeAPI;
  }();
  // A plain aware date-time well inside the nanosecond range: its fields minus its offset
  // (which the zone gives for the date-time's fold), without a host Timestamp.
  if (Py_IS_TYPE(when.ptr(), api->DateTimeType) && PyDateTime_GET_YEAR(when.ptr()) > 1678 &&
      PyDateTime_GET_YEAR(when.ptr()) < 2261) {
    nb::object offset = when.attr("utcoffset")();
    if (offset.is_none())
      throw nb::type_error((std::string(what) + " must be a time-zone aware date-time").c_str());
    PyObject* w = when.ptr();
    PyObject* d = offset.ptr();
    if (!PyDelta_Check(d)) throw nb::type_error("utcoffset() must return a timedelta");
    const std::int64_t days =
        tl::days_from_civil(PyDateTime_GET_YEAR(w), PyDateTime_GET_MONTH(w), PyDateTime_GET_DAY(w));
    const std::int64_t wall_us =
        (days * 86400 + std::int64_t{PyDateTime_DATE_GET_HOUR(w)} * 3600 +
         PyDateTime_DATE_GET_MINUTE(w) * 60 + PyDateTime_DATE_GET_SECOND(w)) *
            1'000'000 +
        PyDateTime_DATE_GET_MICROSECOND(w);
    const std::int64_t offset_us =
        (std::int64_t{PyDateTime_DELTA_GET_DAYS(d)} * 86400 + PyDateTime_DELTA_GET_SECONDS(d)) *
            1'000'000 +
        PyDateTime_DELTA_GET_MICROSECONDS(d);
    return (wall_us - offset_us) * 1000;
  }
  nb::object ts = pandas().attr("Timestamp")(when);
  if (ts.attr("tz").is_none())
    throw nb::type_error((std::string(what) + " must be a time-zone aware date-time").c_str());
  return nb::cast<std::int64_t>(ts.attr("as_unit")("ns").attr("value"));
}

nb::object mask_array(core::timeline::Mask&& mask) {
  auto* owned = new core::timeline::Mask(std::move(mask));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<core::timeline::Mask*>(p); });
  const size_t shape[1] = {owned->size()};
  return nb::cast(nb::ndarray<nb::numpy, bool, nb::ndim<1>>(reinterpret_cast<bool*>(owned->data()),
                                                            1, shape, owner));
}

namespace {

// The host's public constructor, given the dtype and no copy.
nb::object public_utc_index(nb::handle m8) {
  return host::datetime_index_type()(m8, nb::arg("dtype") = host::utc_ns_dtype(),
                                     nb::arg("copy") = false);
}

// pandas' internal wrappers, when they exist and give what the public constructor gives
// (checked once): the public one validates every instant and costs ten times more.
bool fast_index_usable() {
  static const bool usable = [] {
    if (!host::datetime_array_simple_new().is_valid() ||
        !host::datetime_index_simple_new().is_valid())
      return false;
    try {
      nb::object probe = array(std::vector<std::int64_t>{0, 900'000'000'000, 1'800'000'000'000})
                             .attr("view")("datetime64[ns]");
      nb::object fast = host::datetime_index_simple_new()(
          host::datetime_array_simple_new()(probe, nb::arg("dtype") = host::utc_ns_dtype()));
      nb::object slow = public_utc_index(probe);
      return fast.type().is(slow.type()) && fast.attr("dtype").equal(slow.attr("dtype")) &&
             nb::cast<bool>(fast.attr("equals")(slow)) && fast.attr("freq").is_none();
    } catch (nb::python_error&) {
      return false;
    }
  }();
  return usable;
}

}  // namespace

nb::object utc_index_view(const std::int64_t* data, size_t n, nb::handle owner) {
  const size_t shape[1] = {n};
  nb::object arr =
      nb::cast(nb::ndarray<nb::numpy, const std::int64_t, nb::ndim<1>>(data, 1, shape, owner));
  nb::object m8 = arr.attr("view")("datetime64[ns]");
  if (!fast_index_usable()) return public_utc_index(m8);
  return host::datetime_index_simple_new()(
      host::datetime_array_simple_new()(m8, nb::arg("dtype") = host::utc_ns_dtype()));
}

}  // namespace ostrel::bindings::convert
