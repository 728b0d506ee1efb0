// TariffComponent: one priced part of a tariff, with its validity window, time zone and the
// validated wiring of its pipeline; and the Timezone field type.
#include "core/domain/components.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/_engine/domain/domain.hpp"
#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/host.hpp"
#include "bindings/common/records.hpp"
#include "core/domain/conditions.hpp"

namespace ostrel::bindings::engine {

using namespace records;

namespace {

nb::object validate_pipeline(nb::handle self) {
  std::vector<std::string> ids;
  for (nb::handle d : self.attr("datasets")) ids.push_back(text_of(d.attr("id")));
  std::vector<core::domain::PipelineStep> steps;
  nb::object inputs_of = attr("get_input_datasets");
  for (nb::handle fn : self.attr("functions")) {
    core::domain::PipelineStep step{
        text_of(fn.attr("type")), {}, text_of(fn.attr("output").attr("id"))};
    for (nb::handle d : inputs_of(fn)) step.input_ids.push_back(text_of(d.attr("id")));
    steps.push_back(std::move(step));
  }
  core::domain::validate_pipeline(ids, steps, text_of(self.attr("cost").attr("id")));
  return nb::borrow(self);
}

// The holidays the time conditions of the component's Select and Mask steps name, ascending.
nb::list collect_holidays(nb::handle self) {
  std::vector<core::timeline::TimeCondition> conditions;
  nb::object select = attr("Select"), mask = attr("Mask");
  for (nb::handle fn : self.attr("functions")) {
    if (!nb::isinstance(fn, select) && !nb::isinstance(fn, mask)) continue;
    nb::object condition = fn.attr("condition");
    if (is_time_condition(condition)) conditions.push_back(time_condition(condition));
  }
  return holiday_members(core::domain::collect_holidays(conditions));
}

// [applicable_from, applicable_to) overlaps [start_time, end_time); a missing bound is open.
bool is_active_in_period(nb::handle self, nb::handle start_time, nb::handle end_time) {
  nb::object to = self.attr("applicable_to");
  if (!to.is_none() && to <= nb::borrow(start_time)) return false;
  nb::object from = self.attr("applicable_from");
  if (!from.is_none() && from >= nb::borrow(end_time)) return false;
  return true;
}

nb::object validate_timezone(nb::handle value) {
  timezone_from_str(value);  // refuses anything but an exact str
  return nb::borrow(value);
}

}  // namespace

void init_components(nb::module_& m) {
  m.def("_validate_timezone", &validate_timezone, nb::arg("value"),
        "Keep a time-zone string that timezone_from_str can parse.");
  nb::object after = host::pydantic().attr("AfterValidator");
  m.attr("Timezone") = annotated(builtin("str"), after(m.attr("_validate_timezone")));

  ModelBuilder b = declared(m, core::domain::kTariffComponentRecord);
  b.after_validator("_validate_pipeline", validator<validate_pipeline>("_validate_pipeline"));
  b.attr("collect_holidays",
         method("collect_holidays", &collect_holidays,
                "The distinct holidays named by the select and mask conditions, sorted."));
  b.attr("is_active_in_period",
         nb::cpp_function(&is_active_in_period, nb::is_method(), nb::name("is_active_in_period"),
                          nb::arg("start_time"), nb::arg("end_time"),
                          "Whether the validity window overlaps [start_time, end_time)."));
  b.build();
}

}  // namespace ostrel::bindings::engine
