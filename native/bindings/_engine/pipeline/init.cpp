#include "bindings/_engine/engine.hpp"

namespace ostrel::bindings::engine {

void init_pipeline(nb::module_&) {}

}  // namespace ostrel::bindings::engine
