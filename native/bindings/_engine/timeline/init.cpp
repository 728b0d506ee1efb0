#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"

namespace ostrel::bindings::engine {

void init_timeline(nb::module_& m) {
  init_grouped(m);
  init_timeline_class(m);
  init_build(m);
}

}  // namespace ostrel::bindings::engine
