#pragma once
// The numeric side of the blocks: reading `compute` arguments (the timeline, series and
// numbers) into the core's terms and wrapping the core's results as host series.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "core/blocks/catalogue.hpp"
#include "core/blocks/numeric.hpp"
#include "core/pipeline/plan.hpp"

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
nb::object wrap(core::blocks::Values&& values, nb::handle index, nb::handle name = nb::none());

// compute(timeline, *, <names>): the arguments in signature order, timeline first (checked
// to be a Timeline); absent optional operands are invalid objects.
std::vector<nb::object> parse_compute(const args::Signature& sig, const nb::args& a,
                                      const nb::kwargs& kw);

// The operand names of a block record, in signature order (Add's from its inputs), and which
// of them may be left out.
struct OperandNames {
  std::vector<std::string> names;
  std::vector<std::string_view> optionals;
  bool optional(std::string_view name) const;
};
OperandNames operand_names(const core::blocks::BlockDeclaration& decl, nb::handle self);

// The `compute` method of a block of the catalogue, with the catalogue's text.
nb::object block_compute(const core::blocks::BlockDeclaration& decl);

// Select and Mask by the mask the timeline's own method gives (a timeline of another kind, or
// an input off its grid): `series` holds the step's series operands, the input first.
nb::object masked_by_host(nb::handle timeline, nb::handle self, const core::pipeline::Step& s,
                          const std::vector<SeriesArg>& series);

// Resample's helpers.
nb::object resample_amount_scale();
nb::object resample_forward_fill();

}  // namespace ostrel::bindings::engine::compute
