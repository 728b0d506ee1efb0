#include "bindings/_engine/engine.hpp"

#include "bindings/common/host.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::engine {

void set_module(nb::module_& m) { host::set_engine_module(m); }

nb::module_ module() { return nb::borrow<nb::module_>(host::engine_module()); }

nb::object attr(const char* name) { return nb::borrow(host::engine_class(name)); }

std::string text_of(nb::handle s) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<size_t>(size));
}

core::domain::Unit to_unit(nb::handle value) {
  if (!PyUnicode_Check(value.ptr())) value = value.attr("value");
  return core::domain::parse_unit(text_of(value));
}

core::domain::Resolution to_resolution(nb::handle value) {
  if (!PyUnicode_Check(value.ptr())) value = value.attr("value");
  return core::domain::parse_resolution(text_of(value));
}

nb::object unit_member(core::domain::Unit u) {
  return attr("Unit").attr(std::string(core::domain::kUnits[static_cast<size_t>(u)].name).c_str());
}

nb::object resolution_member(core::domain::Resolution r) {
  return attr("Resolution")
      .attr(std::string(core::domain::kResolutions[static_cast<size_t>(r)].name).c_str());
}

bool is_instance(nb::handle obj, const char* class_name) {
  return nb::isinstance(obj, attr(class_name));
}

}  // namespace ostrel::bindings::engine
