#include "bindings/_engine/domain/domain.hpp"

namespace ostrel::bindings::engine {
void init_conditions(nb::module_&) {}
}  // namespace ostrel::bindings::engine
