#include "bindings/_engine/engine.hpp"

namespace ostrel::bindings::engine {

void init_timeline(nb::module_&) {}

}  // namespace ostrel::bindings::engine
