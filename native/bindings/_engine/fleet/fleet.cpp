// Many meters under one component: the component's blocks read into the core's plan (the
// timeline's condition masks made here, once), the meters' matrices viewed in place, and the
// core's evaluation run with the GIL released.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/pipeline/plan.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "core/fleet/batch.hpp"
#include "core/fleet/matrix.hpp"

namespace ostrel::bindings::engine {

namespace {

namespace fl = core::fleet;

using Labels = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// Either layout: a meter's row may be contiguous or strided (a wide frame's columns).
using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

// A float64 matrix viewed in place, with its strides.
fl::Source source_of(nb::handle m) {
  Matrix matrix = nb::cast<Matrix>(m, /*convert=*/false);
  return {matrix.data(), matrix.shape(0), matrix.shape(1),
          static_cast<std::ptrdiff_t>(matrix.stride(0)),
          static_cast<std::ptrdiff_t>(matrix.stride(1))};
}

// A component prepared for many batches of meters: its plan and everything its meters share,
// on a timeline it keeps alive.
struct FleetComponent {
  nb::object timeline;
  std::unique_ptr<fl::Prepared> prepared;
};

void init_component(FleetComponent* self, nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{"FleetComponent", {{"component"}, {"inputs"}}, {{"timeline"}}};
  std::vector<nb::object> a = args::parse(sig, args, kwargs);
  nb::object component = a[0], inputs = a[1];
  Timeline& t = nb::cast<Timeline&>(a[2]);
  fl::Plan plan;
  PlanReader reader(&t, plan);
  std::vector<fl::InputLabels> in;
  for (nb::handle item : inputs.attr("items")()) {
    nb::handle dataset = item[0];
    Labels labels = nb::cast<Labels>(item[1], /*convert=*/false);
    fl::InputLabels x;
    x.slot = reader.slot_of(dataset.attr("id"));
    x.resolution = to_resolution(dataset.attr("resolution"));
    x.labels.assign(labels.data(), labels.data() + labels.shape(0));
    in.push_back(std::move(x));
  }
  for (nb::handle f : component.attr("functions"))
    if (!reader.step(f)) fl::unknown_block(text_of(f.attr("type")));
  plan.cost = reader.slot_of(component.attr("cost").attr("id"));
  std::unique_ptr<fl::Prepared> prepared;
  {
    nb::gil_scoped_release released;
    prepared = std::make_unique<fl::Prepared>(*t.core, std::move(plan), std::move(in));
  }
  new (self) FleetComponent{a[2], std::move(prepared)};
}

nb::object run_fleet(nb::handle matrices, nb::handle parts, std::size_t meters) {
  std::vector<fl::Source> sources;
  std::vector<nb::object> keep;
  for (nb::handle m : matrices) {
    sources.push_back(source_of(m));
    keep.push_back(nb::borrow(m));
  }
  std::vector<fl::Part> in;
  for (nb::handle part : parts) {
    fl::Part p;
    p.prepared = nb::cast<FleetComponent&>(part[0]).prepared.get();
    for (nb::handle feed : part[1])
      p.feeds.push_back({nb::cast<int64_t>(feed[0]), nb::cast<int64_t>(feed[1])});
    keep.push_back(nb::borrow(part[0]));
    in.push_back(std::move(p));
  }
  std::vector<fl::MonthlyCosts> out;
  {
    nb::gil_scoped_release released;
    out = fl::evaluate(sources, in, meters);
  }
  nb::list results;
  for (fl::MonthlyCosts& c : out) {
    const std::size_t months = c.month_starts.size();
    results.append(nb::make_tuple(convert::array(std::move(c.month_starts)),
                                  convert::to_numpy(std::move(c.costs), {c.rows, months})));
  }
  return results;
}

nb::object suspect_meters(nb::handle m) {
  const fl::Source source = source_of(m);
  core::timeline::Mask out;
  {
    nb::gil_scoped_release released;
    out = fl::suspects(source);
  }
  return convert::mask_array(std::move(out));
}

nb::object long_grid(std::optional<Labels> ids, Labels times,
                     nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu> kwh,
                     std::size_t length, std::int64_t step) {
  std::optional<fl::LongGrid> got;
  {
    nb::gil_scoped_release released;
    got = fl::long_grid(ids ? std::span(ids->data(), ids->size()) : std::span<const int64_t>{},
                        {times.data(), times.size()}, {kwh.data(), kwh.size()}, length, step);
  }
  if (!got) return nb::none();
  return nb::make_tuple(got->length, convert::mask_array(std::move(got->suspect)));
}

}  // namespace

void init_fleet(nb::module_& m) {
  nb::class_<FleetComponent>(m, "FleetComponent",
                             "A component prepared for billing many meters: its blocks read "
                             "into a plan, with the condition masks, groupings, period runs and "
                             "meter-free results its meters share, made once.")
      .def("__init__", &init_component,
           nb::sig("def __init__(self, component: TariffComponent, inputs: "
                   "collections.abc.Mapping[Dataset, numpy.typing.NDArray[numpy.int64]], /, *, "
                   "timeline: Timeline) -> None"),
           "`inputs` maps each input dataset to its UTC nanosecond labels, in the order "
           "`run_fleet` feeds them.")
      .def_prop_ro(
          "month_starts",
          [](const FleetComponent& c) {
            const std::span<const std::int64_t> m = c.prepared->month_starts();
            return convert::array(std::vector<std::int64_t>(m.begin(), m.end()));
          },
          nb::sig("def month_starts(self) -> numpy.typing.NDArray[numpy.int64]"),
          "UTC instants of the first instant of each local month of the timeline: the months "
          "`run_fleet` bills this component by.");
  m.def("run_fleet", &run_fleet, nb::arg("matrices"), nb::arg("parts"), nb::arg("meters"),
        nb::sig("def run_fleet(matrices: collections.abc.Sequence[numpy.typing.NDArray["
                "numpy.float64]], parts: collections.abc.Sequence[tuple[FleetComponent, "
                "collections.abc.Sequence[tuple[int, int]]]], meters: int) -> "
                "list[tuple[numpy.typing.NDArray[numpy.int64], "
                "numpy.typing.NDArray[numpy.float64]]]"),
        "Each part's cost per meter and local month of its timeline, for `meters` meters at "
        "once, a meter's row through every part while it is in cache. `matrices` are float64 "
        "meters x columns matrices of any strides (viewed in place); each part pairs a "
        "FleetComponent with, per input, (matrix position, column of its first label). Returns "
        "per part (month starts, costs), the costs one row per meter, or a single row when "
        "they depend on no meter.");
  m.def("suspect_meters", &suspect_meters, nb::arg("matrix"),
        nb::sig("def suspect_meters(matrix: numpy.typing.NDArray[numpy.float64]) -> "
                "numpy.typing.NDArray[numpy.bool_]"),
        "Per row of a float64 meters x intervals matrix (any strides, read once in its own "
        "order): whether it holds a missing (NaN), infinite or negative value.");
  m.def("long_grid", &long_grid, nb::arg("ids").none(), nb::arg("times"), nb::arg("kwh"),
        nb::arg("length"), nb::arg("step"),
        nb::sig("def long_grid(ids: numpy.typing.NDArray[numpy.int64] | None, times: "
                "numpy.typing.NDArray[numpy.int64], kwh: numpy.typing.NDArray[numpy.float64], "
                "length: int, step: int) -> tuple[int, numpy.typing.NDArray[numpy.bool_]] | "
                "None"),
        "Long readings that are whole meters one after another (`ids`: runs of one id, of one "
        "length; None: runs of `length`), each on the same grid of `step` from a multiple of "
        "`step`: (run length, per meter whether it holds a missing, infinite or negative "
        "value). None for anything else. Reads each column once.");
}

}  // namespace ostrel::bindings::engine
