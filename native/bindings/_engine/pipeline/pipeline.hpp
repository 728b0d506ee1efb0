#pragma once
// The pipeline runner's pieces shared between its files.
#include <nanobind/nanobind.h>

#include "bindings/_engine/timeline/timeline.hpp"

namespace ostrel::bindings::engine {

// Runs every function of `component` in the core, filing each result in `all_series` (a dict)
// as the execution context's own steps would. False, with nothing filed, when the component
// needs the host's protocol: a component or function that is not exactly an engine record, an
// operand that is not a plain series already filed, or anything the core's run leaves to the
// blocks' own evaluation (their errors included, which that evaluation raises where they arise).
bool run_natively(nb::handle component, Timeline& t, nb::handle all_series);

}  // namespace ostrel::bindings::engine
