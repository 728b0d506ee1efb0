#include "bindings/common/datetimes.hpp"

// clang-format off
#include <Python.h>
#include <datetime.h>
#include <nanobind/stl/string.h>
// clang-format on

#include <limits>
#include <string>
#include <utility>

#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/common/arguments.hpp"
#include "core/common/errors.hpp"
#include "core/logic/inputs.hpp"
#include "core/timeline/civil.hpp"
#include "core/timeline/timezone.hpp"

namespace ostrel::bindings::convert {

namespace {

namespace tl = core::timeline;
constexpr int64_t kNsPerMicro = 1000;
using tl::kUsPerDay;

void import_datetime() {
  if (!PyDateTimeAPI) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
  }
}

// dt.utcoffset() in microseconds; nullopt for None. The host checks the zone's answer.
std::optional<int64_t> utcoffset_us(PyObject* dt) {
  nb::object off = nb::steal(PyObject_CallMethod(dt, "utcoffset", nullptr));
  if (!off.is_valid()) throw nb::python_error();
  if (off.is_none()) return std::nullopt;
  const std::optional<int64_t> us = timedelta_us(off.ptr());
  if (!us) tl::offset_not_timedelta();
  return us;
}

[[noreturn]] void naive(const char* what) { core::naive_datetime(what); }

}  // namespace

bool is_datetime(nb::handle obj) {
  import_datetime();
  return PyDateTime_Check(obj.ptr());
}

bool is_tzinfo(nb::handle obj) {
  import_datetime();
  return PyTZInfo_Check(obj.ptr());
}

bool is_fixed_zone(nb::handle tz) {
  import_datetime();
  return Py_TYPE(tz.ptr()) == Py_TYPE(PyDateTime_TimeZone_UTC);
}

PyObject* tzinfo_of(PyObject* dt) {
  import_datetime();
  return PyDateTime_DATE_GET_TZINFO(dt);
}

bool is_plain_utc(PyObject* dt) {
  import_datetime();
  return PyDateTime_CheckExact(dt) && PyDateTime_DATE_GET_TZINFO(dt) == PyDateTime_TimeZone_UTC &&
         PyDateTime_DATE_GET_FOLD(dt) == 0;
}

nb::handle utc_zone() {
  import_datetime();
  return PyDateTime_TimeZone_UTC;
}

std::optional<int64_t> timedelta_us(PyObject* delta) {
  import_datetime();
  if (delta == Py_None || !PyDelta_Check(delta)) return std::nullopt;
  return (int64_t{PyDateTime_DELTA_GET_DAYS(delta)} * 86'400 +
          PyDateTime_DELTA_GET_SECONDS(delta)) *
             1'000'000 +
         PyDateTime_DELTA_GET_MICROSECONDS(delta);
}

nb::object datetime_from_us(int64_t wall_us, PyObject* tz, int fold) {
  import_datetime();
  const int64_t day = tl::floor_div(wall_us, kUsPerDay);
  const int64_t in_day = wall_us - day * kUsPerDay;
  const int64_t secs = in_day / 1'000'000;
  const tl::CivilDate d = tl::civil_from_days(day);
  nb::object dt = nb::steal(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
      static_cast<int>(d.year), static_cast<int>(d.month), static_cast<int>(d.day),
      static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60),
      static_cast<int>(in_day % 1'000'000), tz, fold, PyDateTimeAPI->DateTimeType));
  if (!dt.is_valid()) throw nb::python_error();
  return dt;
}

nb::object datetime_from_timestamp(int64_t seconds, nb::handle tz) {
  import_datetime();
  nb::object args = nb::make_tuple(seconds, tz);
  nb::object dt = nb::steal(PyDateTimeAPI->DateTime_FromTimestamp(
      reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), args.ptr(), nullptr));
  if (!dt.is_valid()) throw nb::python_error();
  return dt;
}

std::optional<int64_t> aware_us(PyObject* dt) {
  const std::optional<int64_t> offset = utcoffset_us(dt);
  if (!offset) return std::nullopt;
  return wall_us(dt) - *offset;
}

int64_t instant_ns(nb::handle when, const char* what) {
  import_datetime();
  PyObject* w = when.ptr();
  // A plain aware date-time well inside the nanosecond range: its fields minus its offset
  // (which the zone gives for the date-time's fold), without a host Timestamp.
  if (PyDateTime_CheckExact(w) && PyDateTime_GET_YEAR(w) > 1678 && PyDateTime_GET_YEAR(w) < 2261) {
    const std::optional<int64_t> us = aware_us(w);
    if (!us) naive(what);
    return *us * kNsPerMicro;
  }
  nb::object ts = host::timestamp_type()(when);
  if (ts.attr("tz").is_none()) naive(what);
  return nb::cast<int64_t>(ts.attr("as_unit")("ns").attr("value"));
}

std::string repr_of(nb::handle obj) {
  nb::object r = nb::steal(PyObject_Repr(obj.ptr()));
  if (!r.is_valid()) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return nb::cast<std::string>(r);
}

int64_t wall_us(PyObject* dt) {
  import_datetime();
  const int64_t days = tl::days_from_civil(PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt),
                                           PyDateTime_GET_DAY(dt));
  return (days * 86'400 + PyDateTime_DATE_GET_HOUR(dt) * 3'600 +
          PyDateTime_DATE_GET_MINUTE(dt) * 60 + PyDateTime_DATE_GET_SECOND(dt)) *
             1'000'000 +
         PyDateTime_DATE_GET_MICROSECOND(dt);
}

int64_t extra_nanoseconds(PyObject* dt) {
  import_datetime();
  if (PyDateTime_CheckExact(dt)) return 0;
  nb::object ns = nb::getattr(nb::handle(dt), "nanosecond", nb::none());
  return ns.is_none() ? 0 : nb::cast<int64_t>(ns);
}

std::optional<int64_t> DayOffsets::offset_us(PyObject* dt, PyObject* tz, int64_t day) {
  if (!any_ || tz != last_tz_ || day != last_day_) {
    last_ = lookup(dt, tz, day);
    last_tz_ = tz;
    last_day_ = day;
    any_ = true;
  }
  switch (last_.kind) {
    case Kind::Uniform:
      return last_.offset;
    case Kind::Naive:
      return std::nullopt;
    case Kind::Changes:
      break;
  }
  return utcoffset_us(dt);
}

DayOffsets::Day DayOffsets::lookup(PyObject* dt, PyObject* tz, int64_t day) {
  import_datetime();
  if (is_fixed_zone(tz)) {
    const std::optional<int64_t> off = utcoffset_us(dt);
    return off ? Day{Kind::Uniform, *off} : Day{Kind::Naive, 0};
  }
  auto& days = zones_[tz];
  if (auto found = days.find(day); found != days.end()) return found->second;
  const std::optional<int64_t> first = utcoffset_us(datetime_from_us(day * kUsPerDay, tz, 0).ptr());
  const std::optional<int64_t> last =
      utcoffset_us(datetime_from_us((day + 1) * kUsPerDay - 1, tz, 1).ptr());
  Day out;
  if (!first || !last)
    out = {Kind::Naive, 0};
  else
    out = {*first == *last ? Kind::Uniform : Kind::Changes, *first};
  days.emplace(day, out);
  return out;
}

Instants datetime_instants(std::span<const nb::handle> datetimes) {
  import_datetime();
  Instants out;
  out.ns.reserve(datetimes.size());
  DayOffsets offsets;
  int aware = -1;  // unknown until the first
  PyObject* common = nullptr;
  bool mixed_zones = false;
  for (nb::handle h : datetimes) {
    PyObject* dt = h.ptr();
    if (!PyDateTime_Check(dt)) core::must_be("timestamps", "datetimes", bindings::type_name(h));
    const int64_t wall_micro = wall_us(dt);
    const int64_t day = tl::floor_div(wall_micro, tl::kNsPerDay / kNsPerMicro);
    int64_t wall = 0;
    // Beyond the nanosecond range the arithmetic would wrap into another, valid-looking instant.
    if (__builtin_mul_overflow(wall_micro, kNsPerMicro, &wall) ||
        __builtin_add_overflow(wall, extra_nanoseconds(dt), &wall))
      core::logic::instant_outside_range(repr_of(h));
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(dt);
    std::optional<int64_t> offset_micro;
    if (tz != Py_None) offset_micro = offsets.offset_us(dt, tz, day);
    const bool is_aware = offset_micro.has_value();
    const int64_t offset = is_aware ? *offset_micro * kNsPerMicro : 0;
    if (aware < 0) aware = is_aware;
    if (aware != static_cast<int>(is_aware)) tl::naive_and_aware("compare");
    if (is_aware) {
      if (!common) common = tz;
      mixed_zones = mixed_zones || tz != common;
    }
    int64_t ns = 0;
    if (__builtin_sub_overflow(wall, offset, &ns) || ns == std::numeric_limits<int64_t>::min())
      core::logic::instant_outside_range(repr_of(h));  // the lowest value is pandas' NaT
    out.ns.push_back(ns);
  }
  if (aware == 1)
    out.tz = mixed_zones ? nb::borrow(utc_zone()) : nb::borrow(common);
  else
    out.tz = nb::none();
  return out;
}

nb::object datetime_index(std::vector<int64_t>&& ns, nb::handle tz) {
  nb::object arr = to_numpy(std::move(ns)).attr("view")("datetime64[ns]");
  nb::object index = nb::borrow(host::datetime_index_type())(arr);
  if (tz.is_none()) return index;
  return index.attr("tz_localize")("UTC").attr("tz_convert")(tz);
}

nb::object plain_datetimes(nb::handle index) {
  nb::object idx = nb::borrow(index);
  if (nb::hasattr(idx, "tz") && !idx.attr("tz").is_none()) idx = idx.attr("tz_convert")("UTC");
  if (nb::hasattr(idx, "to_pydatetime")) return idx.attr("to_pydatetime")();
  return nb::list(idx);
}

}  // namespace ostrel::bindings::convert
