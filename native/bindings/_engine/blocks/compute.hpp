#pragma once
// The numeric side of the blocks: reading `compute` arguments (the timeline, series and
// numbers) into the core's terms and wrapping the core's results as host series.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <vector>

#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "core/blocks/numeric.hpp"

namespace ostrel::bindings::engine::compute {
namespace nb = nanobind;

using convert::is_numeric_scalar;
using convert::is_series;
using convert::SeriesArg;

// The positional timeline: "Argument 'timeline' has incorrect type (expected Timeline, got
// int)" for anything else.
Timeline& timeline_arg(nb::handle value);

// A series argument; the host's argument-type error naming `name` for anything else (a plain
// number included).
SeriesArg series_arg(nb::handle value, const char* name);
// A number argument (int, float or a numpy number) as a double.
double number_arg(nb::handle value, const char* name);

// "Argument 'left' has incorrect type (expected Series or float, got str)".
[[noreturn]] void operand_type_error(nb::handle value, const char* name, const char* expected);

// A float64 host series on `index` owning `values`.
nb::object wrap(std::vector<double>&& values, nb::handle index, nb::handle name = nb::none());
nb::object wrap(core::blocks::Values&& values, nb::handle index, nb::handle name = nb::none());

// A series argument's values carried to other labels: its own when they coincide, else
// by label with NaN where it has none.
core::blocks::Values at_labels(const SeriesArg& s, std::span<const int64_t> labels);

// compute(timeline, *, <names>): the arguments in signature order, timeline first (checked
// to be a Timeline); absent optional operands are invalid objects.
std::vector<nb::object> parse_compute(const args::Signature& sig, const nb::args& a,
                                      const nb::kwargs& kw);

// compute(timeline, *, input, ...) of a block over one series: the arguments parsed as above,
// the timeline and the `input` series read (its argument error naming `input`).
struct InputCall {
  std::vector<nb::object> v;
  Timeline& timeline;
  SeriesArg input;
};
InputCall parse_input_compute(const args::Signature& sig, const nb::args& a, const nb::kwargs& kw);

// Native `compute` methods (and the Resample helpers), one per block.
nb::object constant_compute();
nb::object add_compute();
nb::object subtract_compute();
nb::object multiply_compute();
nb::object divide_compute();
nb::object aggregate_compute();
nb::object resample_compute();
nb::object resample_amount_scale();
nb::object resample_forward_fill();
nb::object select_compute();
nb::object mask_compute();
nb::object clip_compute();
nb::object lookup_compute();

}  // namespace ostrel::bindings::engine::compute
