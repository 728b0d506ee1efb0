#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "core/calendar/conditions.hpp"

namespace ostrel::bindings::engine {

void init_timeline(nb::module_& m) {
  init_grouped(m);
  init_timeline_class(m);
  init_build(m);
  m.def("min_condition_resolution", [](nb::handle condition) {
    return resolution_member(cal::min_condition_resolution(time_condition(condition)));
  }, nb::arg("condition"),
        "The coarsest resolution at which the time condition is constant within each period.");
}

}  // namespace ostrel::bindings::engine
