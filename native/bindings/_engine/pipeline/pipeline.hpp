#pragma once
// The pipeline runner's pieces shared between its files.
#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/convert.hpp"
#include "core/pipeline/run.hpp"

namespace ostrel::bindings::engine {

// Runs every function of `component` in the core from the series in `all_series`, filing each
// result in the execution context `ctx` (the engine's own, with that plain dict and a plain
// timeline) as its own steps would; without a context, only the last result under `cost_id` is
// made, and returned. Nothing, with nothing filed, when the component needs the host's protocol:
// a component or function not exactly an engine record, an operand not a plain series or
// VariableSeries already filed (variables need a context), anything the core leaves to the
// blocks' own evaluation (which raises their errors where they arise), or a cost no step gives.
// `given` holds series already read, by dataset id, which stand before those in `all_series`.
using GivenSeries = std::vector<std::pair<nb::object, convert::SeriesArg>>;
nb::object run_natively(nb::handle component, Timeline& t, nb::handle all_series, nb::handle ctx,
                        nb::handle cost_id = nb::handle(), GivenSeries* given = nullptr);

// The index a step's result has, as the block's own evaluation of host series labels it: the
// timeline's period starts, the index of the series in the slot whose labels it kept (`index`
// holds each slot's), or its own labels in that series' zone.
nb::object step_index(Timeline& t, core::pipeline::StepResult& r,
                      const std::vector<nb::object>& index);

}  // namespace ostrel::bindings::engine
