// The six conversions between the package's public records and the engine's. Five validate
// the target from the source's attributes; the component conversion builds the engine
// component field by field with a fresh id; the cost conversion makes the caller's map.
#include <nanobind/nanobind.h>

#include "bindings/common/convert_maps.hpp"
#include "bindings/common/host.hpp"
#include "bindings/logic/inputs.hpp"
#include "bindings/logic/logic.hpp"

namespace ostrel::bindings::logic {

namespace {

PyObject* g_module = nullptr;  // the logic module, alive for the life of the process

nb::object from_attributes(nb::handle model_class, nb::handle source) {
  return model_class.attr("model_validate")(source, nb::arg("from_attributes") = true);
}

}  // namespace

void set_module(nb::module_& m) { g_module = m.ptr(); }

nb::object attr(const char* name) { return nb::handle(g_module).attr(name); }

nb::object domain() { return attr("domain"); }

nb::object to_domain_dataset(nb::handle dataset) {
  return from_attributes(domain().attr("Dataset"), dataset);
}

nb::object to_public_dataset(nb::handle dataset) {
  return from_attributes(attr("Dataset"), dataset);
}

nb::object to_domain_holiday(nb::handle occurrence) {
  return from_attributes(domain().attr("HolidayOccurrence"), occurrence);
}

nb::object to_domain_holidays(nb::handle occurrences) {
  // A list is validated in one call of a list adapter over the engine class of the moment
  // (made once per class); anything else, and any failure, one by one, so that an error
  // names the occurrence as its own conversion does.
  if (PyList_CheckExact(occurrences.ptr())) {
    nb::object cls = domain().attr("HolidayOccurrence");
    nb::object held = attr("_HOLIDAYS_ADAPTER");
    if (held.is_none() || !held[0].is(cls)) {
      nb::object list_of = host::typing().attr("List")[cls];
      held = nb::make_tuple(cls, host::pydantic().attr("TypeAdapter")(list_of));
      nb::handle(g_module).attr("_HOLIDAYS_ADAPTER") = held;
    }
    try {
      return held[1].attr("validate_python")(occurrences, nb::arg("from_attributes") = true);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  nb::list out;
  for (nb::handle o : occurrences) out.append(to_domain_holiday(o));
  return out;
}

nb::object to_public_component(nb::handle component) {
  return from_attributes(attr("TariffComponent"), component);
}

nb::object to_domain_component(nb::handle component) {
  nb::dict kwargs;
  kwargs["id"] = host::uuid_module().attr("uuid4")();
  for (const char* name : {"name", "applicable_from", "applicable_to", "timezone"})
    kwargs[name] = component.attr(name);
  nb::list datasets;
  for (nb::handle d : component.attr("datasets")) datasets.append(to_domain_dataset(d));
  kwargs["datasets"] = datasets;
  nb::object adapter = attr("_FUNCTION_ADAPTER");
  nb::list functions;
  for (nb::handle f : component.attr("functions"))
    functions.append(adapter.attr("validate_python")(f, nb::arg("from_attributes") = true));
  kwargs["functions"] = functions;
  kwargs["cost"] = to_domain_dataset(component.attr("cost"));
  return domain().attr("TariffComponent")(**kwargs);
}

nb::object to_float_cost(nb::handle series, nb::handle component, nb::handle keys) {
  nb::object costs = keys.is_valid() && !keys.is_none() ? convert::float_map_on_keys(series, keys)
                                                        : convert::float_map_of_series(series);
  return attr("ComponentCost")(to_public_component(component), costs);
}

namespace {

// The input series of one dataset as the facade makes it from the caller's mapping.
nb::object to_input_series(nb::handle values, nb::handle dataset) {
  nb::dict one;
  one[dataset] = values;
  return InputSeries(one).series(dataset, EvaluationWindow{});
}

}  // namespace

void init_conversions(nb::module_& m) {
  m.def("_to_domain_dataset", &to_domain_dataset, nb::arg("dataset"),
        "The engine Dataset of a public one.");
  m.def("_to_public_dataset", &to_public_dataset, nb::arg("dataset"),
        "The public Dataset of an engine one.");
  m.def("_to_domain_holiday", &to_domain_holiday, nb::arg("occurrence"),
        "The engine HolidayOccurrence of an occurrence from the API client.");
  m.def("_to_public_component", &to_public_component, nb::arg("component"),
        "The public TariffComponent of an engine one.");
  m.def("_to_domain_component", &to_domain_component, nb::arg("component"),
        "A new engine TariffComponent (fresh random id) of a public one.");
  m.def(
      "_to_float_cost",
      [](nb::handle series, nb::handle component) { return to_float_cost(series, component); },
      nb::arg("series"), nb::arg("component"),
      "ComponentCost of the public component and {interval start: float}.");
  m.def("_to_input_series", &to_input_series, nb::arg("values"), nb::arg("dataset"),
        "The float series (UTC index, named by the dataset's id) of a {datetime: float} map.");
}

}  // namespace ostrel::bindings::logic
