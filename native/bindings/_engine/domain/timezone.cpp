// timezone_from_str: an IANA zone from the host's database, or a fixed UTC offset.
#include "core/timeline/timezone.hpp"

#include <nanobind/nanobind.h>

#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/domain/conditions.hpp"

namespace ostrel::bindings::engine {

nb::object timezone_from_str(nb::handle timezone) {
  if (!PyUnicode_CheckExact(timezone.ptr()))
    core::domain::timezone_type_error(Py_TYPE(timezone.ptr())->tp_name);
  try {
    return host::zoneinfo_type()(timezone);
  } catch (nb::python_error&) {
    // Unknown or malformed key: try a fixed offset next.
  }
  const std::string text = text_of(timezone);
  if (auto minutes = core::timeline::parse_utc_offset_minutes(text))
    return host::fixed_timezone_type()(host::timedelta_type()(nb::arg("minutes") = *minutes));
  core::domain::invalid_timezone(text);
}

void init_timezone(nb::module_& m) {
  m.def("timezone_from_str", &timezone_from_str,
        nb::sig("def timezone_from_str(timezone: str) -> datetime.tzinfo"),
        "The time zone of an IANA name (\"Europe/Stockholm\") or a fixed offset (\"UTC+01:00\").");
}

}  // namespace ostrel::bindings::engine
