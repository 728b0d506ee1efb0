#pragma once
// Caller datetimes (mapping keys) read through the datetime C API, and plain datetimes for
// result maps. Part of the convert unit: every instant reader and writer sits here.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::bindings::convert {
namespace nb = nanobind;

// Nanoseconds of datetime objects: UTC for aware ones, wall clock for naive ones (all must be
// of one kind, as the host requires to compare them). Offsets are resolved once per zone and
// day; only a day whose offset changes asks the zone for each instant.
struct Instants {
  std::vector<int64_t> ns;
  nb::object tz;  // the zone all share; UTC when they differ; None when naive
};
Instants datetime_instants(std::span<const nb::handle> datetimes);

// A DatetimeIndex (nanosecond unit) of instants from datetime_instants, in `tz` (None: naive).
nb::object datetime_index(std::vector<int64_t>&& ns, nb::handle tz);

// The entries of an index as plain datetimes; aware ones in UTC, so that result maps never
// merge the repeated hour of an autumn night.
nb::object plain_datetimes(nb::handle index);

}  // namespace ostrel::bindings::convert
