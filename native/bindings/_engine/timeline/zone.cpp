// The host's zone asked for its offsets: a fixed-offset zone once, any other zone through its
// own fromutc at the instants the core's search picks (once per day and around each change).
#include <Python.h>
#include <datetime.h>
#include <nanobind/nanobind.h>

#include "bindings/_engine/timeline/timeline.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::bindings::engine {

namespace {

PyDateTime_CAPI* datetime_api() {
  static PyDateTime_CAPI* api = [] {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    return PyDateTimeAPI;
  }();
  return api;
}

std::int64_t timedelta_ns(nb::handle delta) {
  if (!PyDelta_Check(delta.ptr())) throw nb::type_error("utcoffset() must return a timedelta");
  const std::int64_t days = PyDateTime_DELTA_GET_DAYS(delta.ptr());
  const std::int64_t seconds = PyDateTime_DELTA_GET_SECONDS(delta.ptr());
  const std::int64_t us = PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr());
  return ((days * 86400 + seconds) * 1'000'000 + us) * 1000;
}

// The offset at a UTC microsecond: the zone's fromutc of that instant, minus the instant.
std::int64_t probe(PyDateTime_CAPI* api, nb::handle tz, nb::handle fromutc, std::int64_t utc_us) {
  namespace c = core::timeline;
  constexpr std::int64_t kUsPerDay = c::kNsPerDay / 1000;
  const std::int64_t days = c::floor_div(utc_us, kUsPerDay);
  std::int64_t rest = utc_us - days * kUsPerDay;
  const c::CivilDate d = c::civil_from_days(days);
  if (d.year < 1 || d.year > 9999) throw nb::value_error("instant outside the host's date range");
  const auto us = static_cast<int>(rest % 1'000'000);
  rest /= 1'000'000;
  nb::object utc = nb::steal(api->DateTime_FromDateAndTime(
      static_cast<int>(d.year), static_cast<int>(d.month), static_cast<int>(d.day),
      static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60),
      us, tz.ptr(), api->DateTimeType));
  if (!utc.is_valid()) throw nb::python_error();
  nb::object local = fromutc(utc);
  if (!PyDateTime_Check(local.ptr())) throw nb::type_error("fromutc() must return a datetime");
  PyObject* l = local.ptr();
  const std::int64_t local_days =
      c::days_from_civil(PyDateTime_GET_YEAR(l), PyDateTime_GET_MONTH(l), PyDateTime_GET_DAY(l));
  const std::int64_t local_us =
      local_days * kUsPerDay +
      (std::int64_t{PyDateTime_DATE_GET_HOUR(l)} * 3600 + PyDateTime_DATE_GET_MINUTE(l) * 60 +
       PyDateTime_DATE_GET_SECOND(l)) *
          1'000'000 +
      PyDateTime_DATE_GET_MICROSECOND(l);
  return (local_us - utc_us) * 1000;
}

}  // namespace

namespace {

bool is_fixed(nb::handle tz) {
  return PyObject_TypeCheck(tz.ptr(), reinterpret_cast<PyTypeObject*>(
                                          nb::module_::import_("datetime").attr("timezone").ptr()));
}

void require_tzinfo(nb::handle tz) {
  if (!PyTZInfo_Check(tz.ptr()))
    throw nb::type_error(
        ("tz must be a time zone (tzinfo), got " + nb::cast<std::string>(nb::str(tz.type())))
            .c_str());
}

// The microsecond of the host's datetime that holds a nanosecond instant.
std::int64_t us_of(std::int64_t ns) { return core::timeline::floor_div(ns, 1000); }

}  // namespace

std::vector<std::int64_t> zone_offsets_at(nb::handle tz, std::span<const std::int64_t> utc) {
  PyDateTime_CAPI* api = datetime_api();
  if (is_fixed(tz))
    return std::vector<std::int64_t>(utc.size(), timedelta_ns(tz.attr("utcoffset")(nb::none())));
  require_tzinfo(tz);
  nb::object fromutc = tz.attr("fromutc");
  std::vector<std::int64_t> out(utc.size());
  for (std::size_t i = 0; i < utc.size(); ++i) out[i] = probe(api, tz, fromutc, us_of(utc[i]));
  return out;
}

cal::Offsets zone_offsets(nb::handle tz, std::int64_t first, std::int64_t last) {
  PyDateTime_CAPI* api = datetime_api();
  if (is_fixed(tz)) return cal::Offsets(timedelta_ns(tz.attr("utcoffset")(nb::none())));
  require_tzinfo(tz);
  nb::object fromutc = tz.attr("fromutc");
  return cal::find_offsets(first, last,
                           [&](std::int64_t utc_us) { return probe(api, tz, fromutc, utc_us); });
}

}  // namespace ostrel::bindings::engine
