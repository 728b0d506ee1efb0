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

// A meter input: meters x labels values, where the value of meter m at label k is
// data[m * row_stride + k * col_stride] (a caller's matrix of either layout, viewed in place).
// Labels ascend (UTC nanoseconds).
struct Input {
  std::size_t slot = 0;
  Resolution resolution = Resolution::QUARTER_HOURLY;
  std::span<const std::int64_t> labels;
  const double* data = nullptr;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 1;
};

// The cost per meter and local month of the timeline: `costs` is rows x months, row-major,
// where rows is the meter count, or 1 when the cost depends on no meter input. A month's cost
// is the sum of the present cost values of the periods starting in it (0 when none is).
struct MonthlyCosts {
  std::vector<std::int64_t> month_starts;  // first instant of each month, in row order
  std::vector<double> costs;
  std::size_t rows = 0;
};

// Evaluates the plan for `meters` meters, one meter's row at a time through every block (a
// row's intermediate results stay in cache); steps that read no meter input run once. Rows
// that are not contiguous are gathered a few meters at a time, each cache line read once.
MonthlyCosts evaluate(const timeline::Timeline& t, const Plan& plan, std::span<const Input> inputs,
                      std::size_t meters);

// ValueError "dataset '<id>': the matrix must hold one row per meter and one column per label".
[[noreturn]] void input_shape_error(std::string_view dataset_id);

// NotImplementedError "no matrix evaluation of block <type>" for a block tag the plan does not
// know.
[[noreturn]] void unknown_block(std::string_view type);

}  // namespace ostrel::core::fleet
