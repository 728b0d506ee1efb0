#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/compile.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"

namespace ostrel::bindings::engine {

void init_optimisation(nb::module_& m) {
  optim::init_series(m);
  optim::init_terms(m);
  optim::init_relations(m);
  optim::init_function_block(m);
  optim::init_context(m);
  optim::init_groups(m);
  optim::init_direction(m);
  optim::compile::init_compile(m);
}

}  // namespace ostrel::bindings::engine
