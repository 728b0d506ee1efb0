// The host's zone asked for its offsets: a fixed-offset zone once, any other zone through its
// own fromutc at the instants the core's search picks (once per day and around each change).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>

#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/datetimes.hpp"
#include "bindings/common/host.hpp"
#include "core/common/arguments.hpp"
#include "core/timeline/civil.hpp"
#include "core/timeline/timezone.hpp"

namespace ostrel::bindings::engine {

namespace {

std::int64_t timedelta_ns(nb::handle delta) {
  const std::optional<std::int64_t> us = convert::timedelta_us(delta.ptr());
  if (!us) core::timeline::offset_not_timedelta();
  return *us * 1000;
}

// The offset at a UTC microsecond: the zone's fromutc of that instant, minus the instant.
std::int64_t probe(nb::handle tz, nb::handle fromutc, std::int64_t utc_us) {
  namespace c = core::timeline;
  const c::CivilDate d = c::civil_from_days(c::floor_div(utc_us, c::kNsPerDay / 1000));
  if (d.year < 1 || d.year > 9999) c::outside_host_dates();
  nb::object local = fromutc(convert::datetime_from_us(utc_us, tz.ptr()));
  if (!convert::is_datetime(local)) c::fromutc_not_datetime();
  return (convert::wall_us(local.ptr()) - utc_us) * 1000;
}

bool is_fixed(nb::handle tz) {
  return PyObject_TypeCheck(tz.ptr(),
                            reinterpret_cast<PyTypeObject*>(host::fixed_timezone_type().ptr()));
}

void require_tzinfo(nb::handle tz) {
  if (!convert::is_tzinfo(tz))
    core::must_be("tz", "a time zone (tzinfo)", nb::cast<std::string>(nb::str(tz.type())));
}

// The microsecond of the host's datetime that holds a nanosecond instant.
std::int64_t us_of(std::int64_t ns) { return core::timeline::floor_div(ns, 1000); }

}  // namespace

std::vector<std::int64_t> zone_offsets_at(nb::handle tz, std::span<const std::int64_t> utc) {
  if (is_fixed(tz))
    return std::vector<std::int64_t>(utc.size(), timedelta_ns(tz.attr("utcoffset")(nb::none())));
  require_tzinfo(tz);
  nb::object fromutc = tz.attr("fromutc");
  std::vector<std::int64_t> out(utc.size());
  for (std::size_t i = 0; i < utc.size(); ++i) out[i] = probe(tz, fromutc, us_of(utc[i]));
  return out;
}

cal::Offsets zone_offsets(nb::handle tz, std::int64_t first, std::int64_t last) {
  if (is_fixed(tz)) return cal::Offsets(timedelta_ns(tz.attr("utcoffset")(nb::none())));
  require_tzinfo(tz);
  nb::object fromutc = tz.attr("fromutc");
  return cal::find_offsets(first, last,
                           [&](std::int64_t utc_us) { return probe(tz, fromutc, utc_us); });
}

}  // namespace ostrel::bindings::engine
