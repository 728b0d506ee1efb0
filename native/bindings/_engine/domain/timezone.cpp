// timezone_from_str: an IANA zone from the host's database, or a fixed UTC offset.
#include "core/timeline/timezone.hpp"

#include <nanobind/nanobind.h>

#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/errors.hpp"

namespace ostrel::bindings::engine {

nb::object timezone_from_str(nb::handle timezone) {
  if (!PyUnicode_CheckExact(timezone.ptr())) {
    PyErr_Format(PyExc_TypeError, "timezone must be a str, got %s",
                 Py_TYPE(timezone.ptr())->tp_name);
    throw nb::python_error();
  }
  try {
    return nb::module_::import_("zoneinfo").attr("ZoneInfo")(timezone);
  } catch (nb::python_error&) {
    // Unknown or malformed key: try a fixed offset next.
  }
  const std::string text = text_of(timezone);
  if (auto minutes = core::timeline::parse_utc_offset_minutes(text)) {
    nb::module_ dt = nb::module_::import_("datetime");
    nb::object delta = dt.attr("timedelta")(nb::arg("minutes") = *minutes);
    return dt.attr("timezone")(delta);
  }
  const std::string message = "Invalid timezone '" + text +
                              "'. Must be either a valid IANA timezone name (e.g., "
                              "'Europe/Stockholm') or a UTC offset (e.g., 'UTC+01:00').";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw nb::python_error();
}

void init_timezone(nb::module_& m) {
  m.def("timezone_from_str", &timezone_from_str, nb::arg("timezone"),
        "The time zone of an IANA name (\"Europe/Stockholm\") or a fixed offset (\"UTC+01:00\").");
}

}  // namespace ostrel::bindings::engine
