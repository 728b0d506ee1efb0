// calculate_groups: a variable series partitioned by the periods of a resolution.
#include <nanobind/nanobind.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/optimisation/arrays.hpp"
#include "bindings/_engine/optimisation/optimisation.hpp"
#include "bindings/common/errors.hpp"
#include "core/optimisation/arguments.hpp"

namespace ostrel::bindings::engine::optim {

namespace {

nb::object calculate_groups(nb::handle timeline, nb::handle variables, nb::handle resolution) {
  const VariableSeriesRecord* v = as_variables(variables);
  if (!v) co::not_variable_series("variables", bindings::type_name(variables));
  // Group numbers in ascending key order, one per element of the series, as int64.
  nb::object grouped = timeline.attr("group_index")(v->index, resolution);
  nb::object allocation = arrays::to_dtype(grouped.attr("ngroup")(), arrays::DType::Int64);
  nb::object keep;
  std::span<const int64_t> ids = arrays::span_as<int64_t>(allocation, keep);
  co::check_every_variable_grouped(ids.size(), v->data->size());
  nb::object index = v->index[arrays::array(co::first_positions(ids))];
  return engine::attr("Groups")(variables, allocation, index);
}

}  // namespace

void init_groups(nb::module_& m) {
  m.def("calculate_groups", &calculate_groups, nb::arg("timeline"), nb::arg("variables"),
        nb::arg("resolution"),
        "The variables grouped by the periods of a resolution, periods in ascending key order.");
}

}  // namespace ostrel::bindings::engine::optim
