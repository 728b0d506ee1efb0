#pragma once
// Caller datetimes (mapping keys) read through the datetime C API, and plain datetimes for
// result maps. Part of the convert unit: the wall-clock fields and zone offsets of datetimes
// are read here for every reader (the facade's maps included).
#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace ostrel::bindings::convert {
namespace nb = nanobind;

// The host's repr of a key for messages; "<unprintable>" when its repr fails.
std::string repr_of(nb::handle obj);

// Microseconds since the epoch of a datetime's wall-clock fields (its zone not applied).
int64_t wall_us(PyObject* dt);
// The nanoseconds a pandas Timestamp carries beyond the datetime fields (0 for a datetime).
int64_t extra_nanoseconds(PyObject* dt);

// The UTC offsets of datetimes' zones, asked once per zone and local day. A day whose offset at
// 00:00 (first fold) equals that at 23:59:59.999999 (second fold) has one offset for all its
// datetimes; on a day on which the zone changes offset each datetime is asked. Zones are held
// by borrowed pointer: the datetimes being read keep them alive.
class DayOffsets {
 public:
  // The offset of `dt` (whose tzinfo `tz` is not None, on local day `day`) in microseconds;
  // nullopt when the zone gives it none (the datetime counts as naive).
  std::optional<int64_t> offset_us(PyObject* dt, PyObject* tz, int64_t day);

 private:
  enum class Kind { Uniform, Changes, Naive };
  struct Day {
    Kind kind = Kind::Uniform;
    int64_t offset = 0;
  };
  Day lookup(PyObject* dt, PyObject* tz, int64_t day);

  PyObject* last_tz_ = nullptr;
  int64_t last_day_ = 0;
  bool any_ = false;
  Day last_;
  std::unordered_map<PyObject*, std::unordered_map<int64_t, Day>> zones_;
};

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
