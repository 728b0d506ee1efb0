// calculate_groups: a variable series partitioned by the periods of a resolution.
#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/errors.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

// For each group number 0..G-1, the position of its first element.
std::vector<int64_t> first_positions(std::span<const int64_t> allocation) {
  int64_t groups = 0;
  for (int64_t g : allocation) groups = std::max(groups, g + 1);
  std::vector<int64_t> first(static_cast<size_t>(groups), -1);
  for (size_t i = 0; i < allocation.size(); ++i) {
    const int64_t g = allocation[i];
    if (g < 0) core::value_error("group numbers must be >= 0");
    if (first[static_cast<size_t>(g)] < 0) first[static_cast<size_t>(g)] = static_cast<int64_t>(i);
  }
  for (int64_t f : first)
    if (f < 0) core::value_error("group numbers must be dense");
  return first;
}

nb::object calculate_groups(nb::handle timeline, nb::handle variables, nb::handle resolution) {
  const VariableSeriesRecord* v = as_variables(variables);
  if (!v)
    throw nb::type_error(
        ("variables must be a VariableSeries, got " + bindings::type_name(variables)).c_str());
  // Group numbers in ascending key order, one per element of the series, as int64.
  nb::object grouped = timeline.attr("group_index")(v->index, resolution);
  nb::object allocation = arrays::to_dtype(grouped.attr("ngroup")(), arrays::DType::Int64);
  nb::object keep;
  std::span<const int64_t> ids = arrays::span_as<int64_t>(allocation, keep);
  if (ids.size() != v->data->size())
    core::value_error("every variable must fall in a period of the timeline");
  nb::object index = v->index[arrays::array(first_positions(ids))];
  return engine::attr("Groups")(variables, allocation, index);
}

}  // namespace

void init_groups(nb::module_& m) {
  m.def("calculate_groups", &calculate_groups, nb::arg("timeline"), nb::arg("variables"),
        nb::arg("resolution"),
        "The variables grouped by the periods of a resolution, periods in ascending key order.");
}

}  // namespace ostrel::bindings::engine::optim
