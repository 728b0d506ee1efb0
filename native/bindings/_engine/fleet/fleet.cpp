// Many meters under one component: the component's blocks read into the core's plan (the
// timeline's condition masks made here, once), the meters' matrices viewed in place, and the
// core's evaluation run with the GIL released.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/args.hpp"
#include "bindings/common/convert.hpp"
#include "core/domain/units.hpp"
#include "core/fleet/matrix.hpp"

namespace ostrel::bindings::engine {

namespace {

namespace fl = core::fleet;
namespace cb = core::blocks;

using Labels = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// Either layout: a meter's row may be contiguous or strided (a wide frame's columns).
using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

class PlanReader {
 public:
  PlanReader(Timeline& t, fl::Plan& plan) : t_(t), plan_(plan) {}

  std::size_t slot_of(nb::handle dataset_id) {
    const std::string id = text_of(dataset_id);
    auto [it, fresh] = slots_.try_emplace(id, plan_.slots);
    if (fresh) ++plan_.slots;
    return it->second;
  }

  fl::Operand operand(nb::handle o) {
    if (o.is_none()) return fl::Operand::none();
    if (is_instance(o, "Level")) return fl::Operand::of(nb::cast<double>(o.attr("value")));
    return fl::Operand::at(slot_of(o.attr("id")));
  }

  void step(nb::handle f) {
    const std::string type = text_of(f.attr("type"));
    fl::Step s;
    s.resolution = to_resolution(f.attr("output").attr("resolution"));
    auto input = [&](const char* name) {
      nb::object in = f.attr(name);
      s.source = to_resolution(in.attr("resolution"));
      s.operands.push_back(operand(in));
    };
    auto arithmetic = [&](cb::Arith op, const char* block, std::initializer_list<const char*> n) {
      s.kind = fl::StepKind::Arithmetic;
      s.op = op;
      s.block = block;
      for (const char* name : n) s.operands.push_back(operand(f.attr(name)));
    };
    if (type == "constant") {
      s.kind = fl::StepKind::Constant;
      s.value = nb::cast<double>(f.attr("value").attr("value"));
    } else if (type == "add") {
      s.kind = fl::StepKind::Arithmetic;
      s.block = "Add";
      for (nb::handle o : f.attr("inputs")) s.operands.push_back(operand(o));
    } else if (type == "subtract") {
      arithmetic(cb::Arith::Subtract, "Subtract", {"left", "right"});
    } else if (type == "multiply") {
      arithmetic(cb::Arith::Multiply, "Multiply", {"left", "right"});
    } else if (type == "divide") {
      arithmetic(cb::Arith::Divide, "Divide", {"numerator", "denominator"});
    } else if (type == "aggregate") {
      input("input");
      s.kind = fl::StepKind::Aggregate;
      const std::string a = text_of(f.attr("aggregation_function"));
      s.aggregation = a == "sum"    ? cb::Aggregation::Sum
                      : a == "mean" ? cb::Aggregation::Mean
                      : a == "max"  ? cb::Aggregation::Max
                                    : cb::Aggregation::Min;
    } else if (type == "resample") {
      input("input");
      s.kind = fl::StepKind::Resample;
      s.is_rate = core::domain::is_rate(to_unit(f.attr("input").attr("unit")));
    } else if (type == "select" || type == "mask") {
      input("input");
      nb::object c = f.attr("condition");
      const bool highest = is_instance(c, "HighestCondition");
      if (highest || is_instance(c, "LowestCondition")) {
        s.kind = fl::StepKind::Extremes;
        s.highest = highest;
        s.n = nb::cast<int64_t>(c.attr("n"));
        s.period = to_resolution(c.attr("resolution"));
      } else {
        s.kind = type == "select" ? fl::StepKind::Select : fl::StepKind::Mask;
        s.condition = t_.core->match(time_condition(c), t_.holiday_list());
      }
      if (type == "mask") s.operands.push_back(operand(f.attr("replacement")));
    } else if (type == "clip") {
      input("input");
      s.kind = fl::StepKind::Clip;
      s.operands.push_back(operand(f.attr("minimum")));
      s.operands.push_back(operand(f.attr("maximum")));
    } else if (type == "lookup") {
      input("tier_selector");
      s.kind = fl::StepKind::Lookup;
      for (nb::handle b : f.attr("boundaries")) s.boundaries.push_back(nb::cast<double>(b));
      for (nb::handle l : f.attr("levels")) s.levels.push_back(nb::cast<double>(l));
    } else {
      fl::unknown_block(type);
    }
    s.output = slot_of(f.attr("output").attr("id"));
    plan_.steps.push_back(std::move(s));
  }

 private:
  Timeline& t_;
  fl::Plan& plan_;
  std::unordered_map<std::string, std::size_t> slots_;
};

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
  for (nb::handle f : component.attr("functions")) reader.step(f);
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
