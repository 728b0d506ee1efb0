#pragma once
// A component's pipeline evaluated for many meters at once on one timeline. The calendar, the
// period ids and the condition masks are the timeline's, made once for every meter; each block
// runs the core's own kernels over each meter's row of a meters x periods matrix, so a meter
// gets exactly what a run of its own would give it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/blocks/numeric.hpp"
#include "core/blocks/periods.hpp"
#include "core/pipeline/plan.hpp"
#include "core/timeline/timeline.hpp"

namespace ostrel::core::fleet {

using blocks::Aggregation;
using blocks::Arith;
using domain::Resolution;
// The plan of a component is the pipeline run's own.
using pipeline::Operand;
using pipeline::Plan;
using pipeline::Step;
using pipeline::StepKind;

// The cost per meter and local month of the timeline: `costs` is rows x months, row-major,
// where rows is the meter count, or 1 when the cost depends on no meter input. A month's cost
// is the sum of the present cost values of the periods starting in it (0 when none is).
struct MonthlyCosts {
  std::vector<std::int64_t> month_starts;  // first instant of each month, in row order
  std::vector<double> costs;
  std::size_t rows = 0;
};

// NotImplementedError "no matrix evaluation of block <type>" for a block tag the plan does not
// know.
[[noreturn]] void unknown_block(std::string_view type);

}  // namespace ostrel::core::fleet
