// The engine: domain records, timeline, pipeline evaluation and the optimisation layer.
#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"

namespace nb = nanobind;
using namespace ostrel::bindings;

NB_MODULE(_engine, m) {
  init_common(m);
  host::init();
  engine::set_module(m);
  engine::init_domain(m);
  engine::init_blocks(m);
  engine::init_components(m);
  engine::init_timeline(m);
  engine::init_kernels(m);
  engine::init_pipeline(m);
  engine::init_optimisation(m);
  engine::init_solvers(m);
  engine::init_fleet(m);
  host::cache_engine_classes();
}
