// Numeric evaluation of Select, Mask, Clip and Lookup.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <optional>
#include <string>

#include "bindings/_engine/blocks/blocks.hpp"
#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/host.hpp"
#include "bindings/common/records.hpp"
#include "core/blocks/messages.hpp"
#include "core/blocks/periods.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::engine::compute {

namespace cb = core::blocks;

namespace {

// The timeline's mask of the condition over the input, one flag per element.
struct MaskArg {
  nb::object array;  // a host mask, when the timeline's own method made it
  cal::Mask own;
  std::span<const uint8_t> flags;
};

// The host's mask (the timeline's build_condition_mask, through to_bool), kept alive.
MaskArg host_mask(nb::handle timeline, const SeriesArg& input, nb::handle condition) {
  MaskArg m;
  nb::object raw = timeline.attr("build_condition_mask")(input.series, condition);
  m.array = host::ascontiguousarray()(engine::attr("to_bool")(raw));
  nb::ndarray<const bool, nb::ndim<1>, nb::c_contig, nb::device::cpu> a;
  if (!nb::try_cast(m.array, a, /*convert=*/false)) cb::mask_not_boolean();
  cb::check_mask_length(a.shape(0), input.values.size());
  m.flags = {reinterpret_cast<const uint8_t*>(a.data()), a.shape(0)};
  return m;
}

// The timeline's condition mask, asked of its core directly when the input lies on the grid of
// a timeline of this engine; anything else (an input off the grid, whose failure the timeline
// reports, or a timeline subclass) goes through the timeline's own method. `resolution` is the
// input dataset's, which places a pipeline series on the grid without a lookup.
MaskArg condition_mask(nb::handle timeline, Timeline& t, const SeriesArg& input,
                       nb::handle condition, cal::Resolution resolution) {
  if (!Py_IS_TYPE(timeline.ptr(), reinterpret_cast<PyTypeObject*>(engine::attr("Timeline").ptr())))
    return host_mask(timeline, input, condition);
  MaskArg m;
  const bool highest = is_instance(condition, "HighestCondition");
  if (highest || is_instance(condition, "LowestCondition")) {
    m.own = cb::extremes(*t.core, input.labels, input.values,
                         resolution_key(condition.attr("resolution")),
                         nb::cast<int64_t>(condition.attr("n")), highest, resolution);
  } else {
    std::optional<cal::Mask> flags = cb::condition_flags(
        *t.core, input.labels, resolution, time_condition(condition), t.holiday_list());
    if (!flags) return host_mask(timeline, input, condition);
    m.own = std::move(*flags);
  }
  m.flags = m.own;
  return m;
}

// The mask of a Select or Mask record's condition over its input.
MaskArg record_mask(nb::handle self, const InputCall& c) {
  return condition_mask(c.v[0], c.timeline, c.input, self.attr("condition"),
                        to_resolution(self.attr("input").attr("resolution")));
}

const args::Signature kSelectSig{"compute", {{"timeline"}}, {{"input"}}};
const args::Signature kMaskSig{"compute", {{"timeline"}}, {{"input"}, {"replacement"}}};
const args::Signature kClipSig{
    "compute", {{"timeline"}}, {{"input"}, {"minimum", false}, {"maximum", false}}};
const args::Signature kLookupSig{"compute", {{"timeline"}}, {{"tier_selector"}}};

// A clip bound read from an argument; per-element values are kept in `storage`.
cb::Bound bound_arg(const nb::object& value, const char* name, const SeriesArg& input,
                    cb::Values& storage) {
  if (!value.is_valid() || value.is_none()) return cb::Bound::none();
  if (is_series(value)) {
    storage = at_labels(series_arg(value, name), input.labels);
    return cb::Bound::of(std::span<const double>(storage));
  }
  if (is_numeric_scalar(value)) return cb::Bound::of(number_arg(value, name));
  operand_type_error(value, name, "Series, float or None");
}

}  // namespace

nb::object select_compute() {
  return records::method(
      "compute",
      [](nb::handle self, nb::args a, nb::kwargs kw) {
        const InputCall c = parse_input_compute(kSelectSig, a, kw);
        const MaskArg keep = record_mask(self, c);
        return wrap(cb::select(c.input.values, keep.flags), c.input.index,
                    c.input.series.attr("name"));
      },
      "compute(timeline, *, input): the input where the condition holds, missing elsewhere.");
}

nb::object mask_compute() {
  return records::method(
      "compute",
      [](nb::handle self, nb::args a, nb::kwargs kw) {
        const InputCall c = parse_input_compute(kMaskSig, a, kw);
        const SeriesArg& input = c.input;
        const nb::object& replacement = c.v[2];
        if (!is_series(replacement) && !is_numeric_scalar(replacement))
          operand_type_error(replacement, "replacement", "Series or float");
        const MaskArg holds = record_mask(self, c);
        cb::Values out;
        if (is_series(replacement)) {
          const cb::Values r = at_labels(series_arg(replacement, "replacement"), input.labels);
          out = cb::mask(input.values, holds.flags, r);
        } else {
          out = cb::mask(input.values, holds.flags, number_arg(replacement, "replacement"));
        }
        return wrap(std::move(out), input.index, input.series.attr("name"));
      },
      "compute(timeline, *, input, replacement): present values replaced where the condition "
      "holds; missing values stay missing.");
}

nb::object clip_compute() {
  return records::method(
      "compute",
      [](nb::handle, nb::args a, nb::kwargs kw) {
        const auto [v, t, input] = parse_input_compute(kClipSig, a, kw);
        cb::Values lo_values, hi_values;
        const cb::Bound lo = bound_arg(v[2], "minimum", input, lo_values);
        const cb::Bound hi = bound_arg(v[3], "maximum", input, hi_values);
        return wrap(cb::clip(input.values, lo, hi), input.index, input.series.attr("name"));
      },
      "compute(timeline, *, input, minimum=None, maximum=None): the input bounded.");
}

nb::object lookup_compute() {
  return records::method(
      "compute",
      [](nb::handle self, nb::args a, nb::kwargs kw) {
        auto v = parse_compute(kLookupSig, a, kw);
        const SeriesArg selector = series_arg(v[1], "tier_selector");
        const std::vector<double> boundaries = float_items(self.attr("boundaries"));
        const std::vector<double> levels = float_items(self.attr("levels"));
        return wrap(cb::lookup(selector.values, boundaries, levels), selector.index,
                    selector.series.attr("name"));
      },
      "compute(timeline, *, tier_selector): the level of the tier each selector value falls "
      "in; a value equal to a boundary belongs to the tier above it.");
}

}  // namespace ostrel::bindings::engine::compute
