#include "bindings/common/datetimes.hpp"

// clang-format off
#include <Python.h>
#include <datetime.h>
// clang-format on

#include <map>
#include <string>
#include <utility>

#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/common/errors.hpp"
#include "core/timeline/civil.hpp"

namespace ostrel::bindings::convert {

namespace {

namespace tl = core::timeline;
constexpr int64_t kNsPerMicro = 1000;

void import_datetime() {
  if (!PyDateTimeAPI) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
  }
}

int64_t delta_ns(PyObject* delta) {
  return (static_cast<int64_t>(PyDateTime_DELTA_GET_DAYS(delta)) * 86400 +
          PyDateTime_DELTA_GET_SECONDS(delta)) *
             tl::kNsPerSecond +
         static_cast<int64_t>(PyDateTime_DELTA_GET_MICROSECONDS(delta)) * kNsPerMicro;
}

// The zone's offset at `dt` in ns; false when the zone gives none (the datetime is naive).
bool offset_at(PyObject* tz, PyObject* dt, int64_t& out) {
  nb::object off = nb::steal(PyObject_CallMethod(tz, "utcoffset", "O", dt));
  if (!off.is_valid()) throw nb::python_error();
  if (off.is_none()) return false;
  if (!PyDelta_Check(off.ptr())) throw nb::type_error("utcoffset() must return a timedelta");
  out = delta_ns(off.ptr());
  return true;
}

nb::object make_datetime(int y, int mo, int d, int h, int mi, int s, int us, PyObject* tz) {
  nb::object dt = nb::steal(PyDateTimeAPI->DateTime_FromDateAndTime(y, mo, d, h, mi, s, us, tz,
                                                                    PyDateTimeAPI->DateTimeType));
  if (!dt.is_valid()) throw nb::python_error();
  return dt;
}

// Per zone and local day: the one offset of the whole day, or none when it changes that day.
class DayOffsets {
 public:
  // The offset of `dt`, a datetime on local `day` in zone `tz`; false when naive.
  bool offset(PyObject* tz, int64_t day, PyObject* dt, int y, int mo, int d, int64_t& out) {
    if (tz == last_tz_ && day == last_day_) return resolve(last_, tz, dt, out);
    auto [it, fresh] = days_.try_emplace({tz, day});
    if (fresh) it->second = probe(tz, y, mo, d);
    last_tz_ = tz;
    last_day_ = day;
    last_ = it->second;
    return resolve(last_, tz, dt, out);
  }

 private:
  struct Day {
    int state = 0;  // 1: uniform, 2: changes during the day, 3: naive zone
    int64_t offset = 0;
  };

  static Day probe(PyObject* tz, int y, int mo, int d) {
    int64_t a = 0, b = 0;
    nb::object start = make_datetime(y, mo, d, 0, 0, 0, 0, tz);
    if (!offset_at(tz, start.ptr(), a)) return {3, 0};
    nb::object end = make_datetime(y, mo, d, 23, 59, 59, 999999, tz);
    if (!offset_at(tz, end.ptr(), b)) return {3, 0};
    return a == b ? Day{1, a} : Day{2, 0};
  }

  static bool resolve(const Day& day, PyObject* tz, PyObject* dt, int64_t& out) {
    if (day.state == 1) {
      out = day.offset;
      return true;
    }
    if (day.state == 3) return false;
    return offset_at(tz, dt, out);
  }

  std::map<std::pair<PyObject*, int64_t>, Day> days_;
  PyObject* last_tz_ = nullptr;
  int64_t last_day_ = 0;
  Day last_;
};

// A pandas Timestamp carries nanoseconds beyond the datetime fields.
int64_t extra_nanoseconds(PyObject* dt) {
  if (PyDateTime_CheckExact(dt)) return 0;
  nb::object ns = nb::getattr(nb::handle(dt), "nanosecond", nb::none());
  return ns.is_none() ? 0 : nb::cast<int64_t>(ns);
}

}  // namespace

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
    if (!PyDateTime_Check(dt))
      throw nb::type_error(("timestamps must be datetimes, got " + bindings::type_name(h)).c_str());
    const int y = PyDateTime_GET_YEAR(dt), mo = PyDateTime_GET_MONTH(dt),
              d = PyDateTime_GET_DAY(dt);
    const int64_t day = tl::days_from_civil(y, mo, d);
    const int64_t wall = day * tl::kNsPerDay + PyDateTime_DATE_GET_HOUR(dt) * tl::kNsPerHour +
                         PyDateTime_DATE_GET_MINUTE(dt) * tl::kNsPerMinute +
                         PyDateTime_DATE_GET_SECOND(dt) * tl::kNsPerSecond +
                         static_cast<int64_t>(PyDateTime_DATE_GET_MICROSECOND(dt)) * kNsPerMicro +
                         extra_nanoseconds(dt);
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(dt);
    int64_t offset = 0;
    const bool is_aware = tz != Py_None && offsets.offset(tz, day, dt, y, mo, d, offset);
    if (aware < 0) aware = is_aware;
    if (aware != static_cast<int>(is_aware))
      core::fail(core::ErrorKind::Type, "can't compare offset-naive and offset-aware datetimes");
    if (is_aware) {
      if (!common) common = tz;
      mixed_zones = mixed_zones || tz != common;
    }
    out.ns.push_back(wall - offset);
  }
  if (aware == 1)
    out.tz = mixed_zones ? nb::module_::import_("datetime").attr("timezone").attr("utc")
                         : nb::borrow(common);
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
