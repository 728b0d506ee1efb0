#include "bindings/_engine/engine.hpp"

namespace ostrel::bindings::engine {
void init_blocks(nb::module_&) {}
}  // namespace ostrel::bindings::engine
