#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"

namespace ostrel::bindings::engine {

void init_domain(nb::module_& m) {
  init_units(m);
  init_timezone(m);
  init_conditions(m);
  init_datasets(m);
}

}  // namespace ostrel::bindings::engine
