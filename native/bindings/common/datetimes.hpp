#pragma once
// The host's datetimes and timedeltas read and made through the datetime C API, for every
// binding: the C API is imported here only, and every reading of a datetime's wall clock,
// offset or a timedelta, and every datetime made, goes through this unit. Part of the convert
// unit (caller datetimes as mapping keys, plain datetimes for result maps).
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

// Kinds of host values: a datetime (or subclass, such as a pandas Timestamp); a tzinfo; the
// fixed-offset zone type datetime.timezone (exactly).
bool is_datetime(nb::handle obj);
bool is_tzinfo(nb::handle obj);
bool is_fixed_zone(nb::handle tz);
// The tzinfo of a datetime (borrowed; None when naive).
PyObject* tzinfo_of(PyObject* dt);
// A plain datetime (not a subclass) in datetime.timezone.utc, fold 0.
bool is_plain_utc(PyObject* dt);

// The host's datetime.timezone.utc.
nb::handle utc_zone();

// Microseconds of a timedelta; nullopt when `delta` is not one (None included).
std::optional<int64_t> timedelta_us(PyObject* delta);

// Microseconds since the epoch of a datetime's wall-clock fields (its zone not applied).
int64_t wall_us(PyObject* dt);

// UTC microseconds since the epoch of an aware datetime: its wall clock minus the offset its
// zone gives for its fold; nullopt when the zone gives none (the datetime counts as naive).
std::optional<int64_t> aware_us(PyObject* dt);

// UTC nanoseconds of one time-zone-aware date-time (a datetime or anything the host's
// Timestamp reads); TypeError naming `what` when naive.
int64_t instant_ns(nb::handle when, const char* what);

// The datetime of wall-clock microseconds since the epoch, in `tz` (borrowed; None: naive)
// with `fold`.
nb::object datetime_from_us(int64_t wall_us, PyObject* tz, int fold = 0);
// datetime.fromtimestamp(seconds, tz).
nb::object datetime_from_timestamp(int64_t seconds, nb::handle tz);
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
