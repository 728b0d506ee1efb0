// Select and Mask by the host timeline's own condition mask.
#include <nanobind/nanobind.h>

#include <optional>
#include <vector>

#include "bindings/_engine/blocks/compute.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/host.hpp"
#include "core/blocks/messages.hpp"
#include "core/blocks/periods.hpp"
#include "core/pipeline/run.hpp"

namespace ostrel::bindings::engine::compute {

namespace cb = core::blocks;

namespace {

// The timeline's mask of the condition over the input, one flag per element.
struct MaskArg {
  nb::object array;  // kept alive for the flags
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

}  // namespace

nb::object masked_by_host(nb::handle timeline, nb::handle self, const core::pipeline::Step& s,
                          const std::vector<SeriesArg>& series) {
  const SeriesArg& input = series.front();
  const MaskArg holds = host_mask(timeline, input, self.attr("condition"));
  cb::Values out =
      core::pipeline::filtered(s, input.view(), holds.flags,
                               series.size() > 1 ? std::optional(series[1].view()) : std::nullopt);
  return wrap(std::move(out), input.index, input.series.attr("name"));
}

}  // namespace ostrel::bindings::engine::compute
