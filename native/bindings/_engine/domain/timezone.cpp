// timezone_from_str: an IANA zone from the host's database, or a fixed UTC offset.
#include "core/timeline/timezone.hpp"

#include <nanobind/nanobind.h>

#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/domain/conditions.hpp"

namespace ostrel::bindings::engine {

namespace {

// Fixed offsets by their text. The host's database is asked first, and a key it does not hold
// costs tens of microseconds (it searches every zone path), on every component of every run;
// a text already read as an offset is answered here. Kept for the interpreter's life, like the
// host's types, and bounded: any number of spellings reads as an offset.
constexpr Py_ssize_t kMaxFixedOffsets = 256;

PyObject* fixed_offsets() {
  static PyObject* const cache = PyDict_New();
  if (!cache) throw nb::python_error();
  return cache;
}

}  // namespace

nb::object timezone_from_str(nb::handle timezone) {
  if (!PyUnicode_CheckExact(timezone.ptr()))
    core::domain::timezone_type_error(Py_TYPE(timezone.ptr())->tp_name);
  PyObject* offsets = fixed_offsets();
  if (PyObject* known = PyDict_GetItemWithError(offsets, timezone.ptr())) return nb::borrow(known);
  if (PyErr_Occurred()) throw nb::python_error();
  try {
    return host::zoneinfo_type()(timezone);
  } catch (nb::python_error&) {
    // Unknown or malformed key: try a fixed offset next.
  }
  const std::string text = text_of(timezone);
  if (auto minutes = core::timeline::parse_utc_offset_minutes(text)) {
    nb::object zone =
        host::fixed_timezone_type()(host::timedelta_type()(nb::arg("minutes") = *minutes));
    if (PyDict_Size(offsets) >= kMaxFixedOffsets) PyDict_Clear(offsets);
    if (PyDict_SetItem(offsets, timezone.ptr(), zone.ptr()) != 0) throw nb::python_error();
    return zone;
  }
  core::domain::invalid_timezone(text);
}

void init_timezone(nb::module_& m) {
  m.def("timezone_from_str", &timezone_from_str,
        nb::sig("def timezone_from_str(timezone: str) -> datetime.tzinfo"),
        "The time zone of an IANA name (\"Europe/Stockholm\") or a fixed offset (\"UTC+01:00\").");
}

}  // namespace ostrel::bindings::engine
