#include "bindings/_engine/engine.hpp"

namespace ostrel::bindings::engine {

void init_runner(nb::module_& m);

void init_pipeline(nb::module_& m) { init_runner(m); }

}  // namespace ostrel::bindings::engine
