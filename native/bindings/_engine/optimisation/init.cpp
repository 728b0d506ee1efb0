#include "bindings/_engine/engine.hpp"

namespace ostrel::bindings::engine {

void init_optimisation(nb::module_&) {}

}  // namespace ostrel::bindings::engine
