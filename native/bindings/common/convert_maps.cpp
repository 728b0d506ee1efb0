#include "bindings/common/convert_maps.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>

#include "bindings/common/convert.hpp"
#include "bindings/common/datetimes.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/logic/inputs.hpp"
#include "core/timeline/civil.hpp"
#include "core/timeline/offsets.hpp"

namespace ostrel::bindings::convert {

namespace {

namespace cal = core::timeline;
using cal::kUsPerDay;

// zoneinfo zones take wall-clock fields directly; other tzinfo kinds (pytz among them) are
// asked for every instant.
bool is_zoneinfo(nb::handle tz) {
  return PyObject_TypeCheck(tz.ptr(), reinterpret_cast<PyTypeObject*>(host::zoneinfo_type().ptr()));
}

// Offsets of keys' zones, once per zone and local day; a zone that gives a key no offset makes
// it naive, which a map refuses.
class OffsetCache {
 public:
  explicit OffsetCache(const std::string& what) : what_(what) {}

  // Offset of `key` (with tzinfo `tz`, on local day `day`) in microseconds.
  std::int64_t offset_us(PyObject* key, PyObject* tz, std::int64_t day) {
    const std::optional<std::int64_t> off = days_.offset_us(key, tz, day);
    if (!off) core::logic::naive_key(what_, repr_of(key));
    return *off;
  }

 private:
  const std::string& what_;
  DayOffsets days_;
};

// UTC nanoseconds of an aware datetime key; the extra nanoseconds of a pandas Timestamp too.
std::int64_t key_ns(PyObject* key, OffsetCache& offsets, const std::string& what, bool saturate) {
  if (!is_datetime(key))
    core::logic::key_not_a_datetime(what, repr_of(key), bindings::type_name(key));
  PyObject* tz = tzinfo_of(key);
  if (tz == Py_None) core::logic::naive_key(what, repr_of(key));
  const std::int64_t wall = wall_us(key);
  const std::int64_t day = cal::floor_div(wall, kUsPerDay);
  const std::int64_t utc_us = wall - offsets.offset_us(key, tz, day);
  if (const auto ns = cal::ns_of_us(utc_us, extra_nanoseconds(key))) return *ns;
  if (!saturate) core::logic::instant_out_of_range(what, repr_of(key));
  return utc_us < 0 ? std::numeric_limits<std::int64_t>::min()
                    : std::numeric_limits<std::int64_t>::max();
}

double value_f64(PyObject* value, PyObject* key, const std::string& what) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  if (value == Py_None) return std::numeric_limits<double>::quiet_NaN();
  if (!PyNumber_Check(value))
    core::logic::value_not_a_number(what, repr_of(key), bindings::type_name(value));
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    core::logic::value_not_a_number(what, repr_of(key), bindings::type_name(value));
  }
  return v;
}

}  // namespace

InstantValues read_float_map(nb::handle mapping, const std::string& what) {
  if (!PyDict_Check(mapping.ptr())) core::logic::not_a_mapping(what, bindings::type_name(mapping));
  InstantValues out;
  const Py_ssize_t n = PyDict_Size(mapping.ptr());
  out.ns.reserve(static_cast<std::size_t>(n));
  out.values.reserve(static_cast<std::size_t>(n));
  OffsetCache offsets(what);
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
    out.ns.push_back(key_ns(key, offsets, what, false));
    out.values.push_back(value_f64(value, key, what));
    out.keys.append(nb::handle(key));
    out.utc_keys = out.utc_keys && is_plain_utc(key);
  }
  return out;
}

std::int64_t saturated_instant_ns(nb::handle when, const std::string& what) {
  OffsetCache offsets(what);
  return key_ns(when.ptr(), offsets, what, true);
}

namespace {

// Calls sink(i, datetime) for each instant, in order: the aware datetime of ns[i] in `tz`.
template <typename Sink>
void each_datetime(std::span<const std::int64_t> ns, nb::handle tz, Sink&& sink) {
  const bool fixed = is_fixed_zone(tz);
  const bool by_fields = fixed || is_zoneinfo(tz);
  // The zone's own reading of one UTC instant: the local datetime with its fold.
  auto from_utc = [&](std::int64_t us) {
    nb::object t = datetime_from_us(us, tz.ptr(), 0);
    nb::object local = nb::steal(PyObject_CallMethod(tz.ptr(), "fromutc", "O", t.ptr()));
    if (!local.is_valid()) throw nb::python_error();
    return local;
  };
  std::int64_t fixed_offset = 0;
  if (fixed) {
    nb::object delta = nb::steal(PyObject_CallMethod(tz.ptr(), "utcoffset", "O", Py_None));
    if (!delta.is_valid()) throw nb::python_error();
    fixed_offset = timedelta_us(delta.ptr()).value_or(0);
  }
  // A zoneinfo zone's offset through a whole UTC day makes that day's datetimes from fields.
  cal::UniformDays days;
  const cal::UniformDays::Probe offset_at = [&](std::int64_t us) {
    return timedelta_us(nb::object(from_utc(us).attr("utcoffset")()).ptr());
  };
  for (std::size_t i = 0; i < ns.size(); ++i) {
    if (ns[i] == std::numeric_limits<std::int64_t>::min()) core::logic::missing_instant_key();
    const std::int64_t us = cal::floor_div(ns[i], 1000);
    nb::object item;
    if (fixed) {
      item = datetime_from_us(us + fixed_offset, tz.ptr(), 0);
    } else if (!by_fields) {
      item = from_utc(us);
    } else {
      const std::optional<std::int64_t> offset = days.offset_us(us, offset_at);
      item = offset ? datetime_from_us(us + *offset, tz.ptr(), 0) : from_utc(us);
    }
    sink(i, std::move(item));
  }
}

}  // namespace

nb::object datetimes(std::span<const std::int64_t> ns, nb::handle tz) {
  nb::object out = nb::steal(PyList_New(static_cast<Py_ssize_t>(ns.size())));
  if (!out.is_valid()) throw nb::python_error();
  each_datetime(ns, tz, [&](std::size_t i, nb::object key) {
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), key.release().ptr());
  });
  return out;
}

nb::object float_map(std::span<const std::int64_t> ns, std::span<const double> values,
                     nb::handle tz) {
  if (ns.size() != values.size()) core::logic::unpaired_keys(ns.size(), values.size());
  nb::object out = nb::steal(PyDict_New());
  if (!out.is_valid()) throw nb::python_error();
  each_datetime(ns, tz, [&](std::size_t i, nb::object key) {
    nb::object v = nb::steal(PyFloat_FromDouble(values[i]));
    if (!v.is_valid() || PyDict_SetItem(out.ptr(), key.ptr(), v.ptr()) != 0)
      throw nb::python_error();
  });
  return out;
}

nb::object float_map_of_series(nb::handle series) {
  nb::object index = series.attr("index");
  std::vector<std::int64_t> ns = instants_ns(index);
  std::vector<double> values = values_f64(series);
  nb::object tz = host::datetime_index_type()(index).attr("tz");
  return float_map(ns, values, tz);
}

nb::object float_map_on_keys(nb::handle series, nb::handle keys) {
  const std::vector<double> values = values_f64(series);
  const auto n = static_cast<std::size_t>(nb::len(keys));
  if (n != values.size()) core::logic::unpaired_keys(n, values.size());
  nb::object out = nb::steal(PyDict_New());
  if (!out.is_valid()) throw nb::python_error();
  for (std::size_t i = 0; i < n; ++i) {
    nb::object v = nb::steal(PyFloat_FromDouble(values[i]));
    PyObject* key = PyList_GET_ITEM(keys.ptr(), static_cast<Py_ssize_t>(i));
    if (!v.is_valid() || PyDict_SetItem(out.ptr(), key, v.ptr()) != 0) throw nb::python_error();
  }
  return out;
}

}  // namespace ostrel::bindings::convert
