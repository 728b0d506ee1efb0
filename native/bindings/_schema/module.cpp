// The base of every validated record. Engine records carry native methods in their class
// bodies; the base tells pydantic to leave objects of those function types alone instead of
// taking them for fields or private attributes.
#include <nanobind/nanobind.h>

#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"

namespace nb = nanobind;

NB_MODULE(_schema, m) {
  ostrel::bindings::init_common(m);
  m.def("_probe", []() {}, "Never called; its type is the type of a native function.");

  nb::handle pydantic = ostrel::bindings::host::pydantic();
  nb::object config_dict = pydantic.attr("ConfigDict");
  nb::object probe = m.attr("_probe");
  // A bound method of a native class: the method flavour of the native function type.
  nb::object method_type = ostrel::bindings::native_method_type();
  nb::object ignored = nb::make_tuple(probe.type(), method_type);

  nb::handle typing = ostrel::bindings::host::typing();
  nb::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = "BaseModel";
  ns["__doc__"] = "Base of the engine's validated records.";
  nb::dict annotations;
  annotations["model_config"] = typing.attr("ClassVar")[config_dict];
  ns["__annotations__"] = annotations;
  ns["model_config"] = config_dict(nb::arg("ignored_types") = ignored);
  ns["__pydantic_reset_parent_namespace__"] = false;
  nb::object base = pydantic.attr("BaseModel");
  nb::object meta = nb::borrow(base.type());
  m.attr("BaseModel") = meta("BaseModel", nb::make_tuple(base), ns);

  m.attr("AfterValidator") = pydantic.attr("AfterValidator");
  m.attr("ConfigDict") = config_dict;
  m.attr("Field") = pydantic.attr("Field");
  m.attr("model_validator") = pydantic.attr("model_validator");
  nb::list all;
  for (const char* name : {"AfterValidator", "BaseModel", "ConfigDict", "Field", "model_validator"})
    all.append(name);
  m.attr("__all__") = all;
}
