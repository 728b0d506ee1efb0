// Many meters under one component: the component's blocks read into the core's plan (the
// timeline's condition masks made here, once), the meters' matrices viewed in place, and the
// core's evaluation run with the GIL released.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <utility>
#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/pipeline/plan.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "core/fleet/matrix.hpp"

namespace ostrel::bindings::engine {

namespace {

namespace fl = core::fleet;

using Labels = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// Either layout: a meter's row may be contiguous or strided (a wide frame's columns).
using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

template <typename T>
nb::object owned_2d(std::vector<T>&& values, std::size_t rows, std::size_t cols) {
  auto* owned = new std::vector<T>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  const size_t shape[2] = {rows, cols};
  return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<2>>(owned->data(), 2, shape, owner));
}

nb::object run_fleet(nb::args args, nb::kwargs kwargs) {
  static const args::Signature sig{"run_fleet", {{"component"}, {"inputs"}}, {{"timeline"}}};
  std::vector<nb::object> a = args::parse(sig, args, kwargs);
  nb::object component = a[0], inputs = a[1];
  Timeline& t = nb::cast<Timeline&>(a[2]);
  fl::Plan plan;
  PlanReader reader(t, plan);
  std::vector<fl::Input> in;
  std::vector<nb::object> keep;
  std::size_t meters = 0;
  bool first = true;
  for (nb::handle item : inputs.attr("items")()) {
    nb::handle dataset = item[0];
    nb::object pair = nb::borrow(item[1]);
    keep.push_back(pair);
    Labels labels = nb::cast<Labels>(pair[0], /*convert=*/false);
    Matrix matrix = nb::cast<Matrix>(pair[1], /*convert=*/false);
    if (matrix.shape(1) != labels.shape(0) || (!first && matrix.shape(0) != meters))
      fl::input_shape_error(text_of(dataset.attr("id")));
    meters = matrix.shape(0);
    first = false;
    fl::Input x;
    x.slot = reader.slot_of(dataset.attr("id"));
    x.resolution = to_resolution(dataset.attr("resolution"));
    x.labels = {labels.data(), labels.shape(0)};
    x.data = matrix.data();
    x.row_stride = static_cast<std::ptrdiff_t>(matrix.stride(0));
    x.col_stride = static_cast<std::ptrdiff_t>(matrix.stride(1));
    in.push_back(x);
  }
  for (nb::handle f : component.attr("functions"))
    if (!reader.step(f)) fl::unknown_block(text_of(f.attr("type")));
  plan.cost = reader.slot_of(component.attr("cost").attr("id"));
  fl::MonthlyCosts out;
  {
    nb::gil_scoped_release released;
    out = fl::evaluate(*t.core, plan, in, meters);
  }
  const std::size_t months = out.month_starts.size();
  return nb::make_tuple(convert::array(std::move(out.month_starts)),
                        owned_2d(std::move(out.costs), out.rows, months));
}

}  // namespace

void init_fleet(nb::module_& m) {
  m.def("run_fleet", &run_fleet,
        nb::sig("def run_fleet(component: TariffComponent, inputs: collections.abc.Mapping["
                "Dataset, tuple[numpy.typing.NDArray[numpy.int64], "
                "numpy.typing.NDArray[numpy.float64]]], /, *, timeline: Timeline) -> "
                "tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.float64]]"),
        "The component's cost per meter and local month of the timeline, for many meters at "
        "once: `inputs` maps each input dataset to (labels, matrix), UTC nanosecond labels "
        "and a float64 meters x labels matrix of any strides (viewed in place). Returns (month "
        "starts, costs), the costs one row "
        "per meter, or a single row when they depend on no meter.");
}

}  // namespace ostrel::bindings::engine
