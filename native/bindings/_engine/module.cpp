// The engine: domain records, timeline, pipeline evaluation and the optimisation layer.
#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/common/host.hpp"

namespace nb = nanobind;
using namespace ostrel::bindings;

// The subsystems in the order their records need one another (see engine.hpp).
constexpr void (*kSubsystems[])(nb::module_&) = {
    engine::init_domain,       engine::init_blocks,  engine::init_components,
    engine::init_timeline,     engine::init_kernels, engine::init_pipeline,
    engine::init_optimisation, engine::init_solvers, engine::init_fleet};

NB_MODULE(_engine, m) {
  host::init_module(m);
  engine::set_module(m);
  for (auto init : kSubsystems) init(m);
  host::cache_engine_classes();
}
