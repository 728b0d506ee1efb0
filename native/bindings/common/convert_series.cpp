// The series and index side of the convert unit: instants read from indexes, UTC indexes and
// float64 Series made over the engine's buffers, and the pipeline's series read for the core.
#include <Python.h>
#include <nanobind/stl/string.h>

#include <string>

#include "bindings/common/convert.hpp"
#include "core/timeline/civil.hpp"
#include "core/timeline/timezone.hpp"

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

std::vector<int64_t> instants_ns(nb::handle index) {
  nb::object idx = nb::borrow(host::datetime_index_type())(index);
  if (idx.attr("tz").is_none()) core::timeline::naive_index();
  nb::object ns = idx.attr("as_unit")("ns").attr("asi8");
  std::vector<int64_t> scratch;
  auto view = view_1d<int64_t>(ns, scratch);
  return std::vector<int64_t>(view.begin(), view.end());
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
// ---- Instants, values and masks of the timeline ----

InstantsView instants_view(nb::handle index, bool to_ns) {
  InstantsView v;
  // An aware nanosecond DatetimeIndex (what the timeline itself hands out) is read as it is.
  if (index.type().is(host::datetime_index_type())) {
    nb::object dtype = index.attr("dtype");
    if (dtype.type().is(host::datetime_tz_dtype_type())) {
      const std::int64_t scale = core::timeline::unit_ns_of(text_of(dtype.attr("unit")));
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
        // Other units are scaled here rather than converted by the host (a copy per call);
        // instants beyond the nanosecond range go to the host's conversion below, which
        // reports them.
        v.scaled.resize(raw.size());
        if (core::timeline::scale_to_ns(raw, scale, v.scaled)) {
          v.ns = v.scaled;
          return v;
        }
        v = InstantsView{};
      }
    }
  }
  nb::object idx = pandas().attr("DatetimeIndex")(index);
  if (idx.attr("tz").is_none()) core::timeline::naive_index();
  v.owner = idx.attr("as_unit")("ns").attr("asi8");
  v.ns = view_1d<std::int64_t>(v.owner, v.scratch);
  v.raw = v.ns;
  return v;
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
