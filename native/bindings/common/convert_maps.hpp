#pragma once
// Caller mappings {datetime: float} to arrays and back, through the host's datetime C API.
// Offsets are asked of a key's zone once per local day (per key only on the days a zone
// changes its offset), so a year of quarter-hours costs a few hundred zone calls, not one
// per key.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bindings/common/datetimes.hpp"

namespace ostrel::bindings::convert {
namespace nb = nanobind;

struct InstantValues {
  std::vector<std::int64_t> ns;  // UTC nanoseconds, in the mapping's order
  std::vector<double> values;    // None reads as NaN
  nb::list keys;                 // the caller's key objects, in the same order
  bool utc_keys = true;          // every key a plain datetime in UTC (fold 0)
};

// The keys and values of a dict of aware datetimes to numbers. `what` names the mapping in
// errors ("input dataset 'consumption'"): TypeError for a non-dict, a key that is not an aware
// datetime or a value that is not a number; ValueError for an instant beyond nanosecond range.
InstantValues read_float_map(nb::handle mapping, const std::string& what);

// UTC nanoseconds of one aware datetime, saturated at the ends of the int64 range (for
// comparisons of window bounds, which may lie far away).
std::int64_t saturated_instant_ns(nb::handle when, const std::string& what);

// Aware datetimes of UTC nanoseconds in `tz` (any tzinfo; wall time and fold as the zone
// gives them), as a list.
nb::object datetimes(std::span<const std::int64_t> ns, nb::handle tz);

// {datetime: float} keyed in `tz`; a later equal key wins.
nb::object float_map(std::span<const std::int64_t> ns, std::span<const double> values,
                     nb::handle tz);

// The same for a float series on an aware DatetimeIndex, keyed in the index's zone.
nb::object float_map_of_series(nb::handle series);

// {key: float} of the series' values on the given key objects (one per value, in order):
// a result on the caller's own instants reuses the caller's keys, whose hashes are cached,
// instead of making a datetime per value.
nb::object float_map_on_keys(nb::handle series, nb::handle keys);

}  // namespace ostrel::bindings::convert
