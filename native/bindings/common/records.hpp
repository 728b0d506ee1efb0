#pragma once
// Declarative construction of the engine's validated records. Each record is a pydantic model
// created at import from a table of fields (annotation, constraints, description, examples),
// native methods and native after-validators, on the base class of the `_schema` module.
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/errors.hpp"
#include "core/common/signatures.hpp"

namespace ostrel::bindings::records {
namespace nb = nanobind;

// Keyword arguments for pydantic's Field(), e.g. kw({{"description", nb::str("...")}}).
nb::dict kw(std::initializer_list<std::pair<const char*, nb::object>> items);

// Annotations built from the host's typing vocabulary.
nb::object list_of(nb::handle item);
nb::object sequence_of(nb::handle item);
nb::object optional(nb::handle t);
nb::object literal(const char* value);
nb::object annotated(nb::handle t, nb::handle metadata);
nb::object union_of(const std::vector<nb::object>& members);
nb::object forward_ref(const char* name);
nb::object field(const nb::dict& kwargs);
nb::object builtin(const char* name);  // int, float, str, ...
nb::object examples(std::initializer_list<const char*> items);

// A native method: binds self when looked up on an instance.
template <typename F>
nb::object method(const char* name, F&& f, const char* doc = nullptr) {
  if (!doc) return nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name));
  const std::string sig = core::signature_from_doc(name, doc);
  if (sig.empty())
    return nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), doc);
  return nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), nb::sig(sig.c_str()),
                          doc);
}

// A native after-validator: a method descriptor whose signature is exactly (self, /), as
// pydantic inspects it, and which binds like a method so `record._validate()` works too.
using ValidatorFn = nb::object (*)(nb::handle self);
PyObject* validator_descriptor(PyMethodDef* def, const char* name, const char* doc);

template <ValidatorFn F>
PyObject* validator_trampoline(PyObject* self, PyObject*) {
  try {
    return F(nb::handle(self)).release().ptr();
  } catch (...) {
    set_error_from_exception(std::current_exception());
    return nullptr;
  }
}

template <ValidatorFn F>
nb::object validator(const char* name, const char* doc = "") {
  static PyMethodDef def{nullptr, validator_trampoline<F>, METH_NOARGS, nullptr};
  return nb::steal(validator_descriptor(&def, name, doc));
}

// A string enumeration (members are str and equal their values), created through the Enum
// metaclass so that members, aliases and lookups behave as the host's own.
class EnumBuilder {
 public:
  EnumBuilder(nb::handle module, const char* name, const char* qualname = nullptr);
  EnumBuilder& member(const char* name, const char* value);
  EnumBuilder& attr(const char* name, nb::handle value);
  EnumBuilder& doc(const char* text);
  nb::object build();

 private:
  nb::object module_name_;
  std::string name_;
  std::string qualname_;
  std::vector<std::pair<std::string, std::string>> members_;
  std::vector<std::pair<std::string, nb::object>> attrs_;
  std::string doc_;
};

class ModelBuilder {
 public:
  ModelBuilder(nb::handle module, const char* name);
  ModelBuilder& base(nb::handle base_class);
  ModelBuilder& doc(const char* text);
  // A field: its annotation and the keyword arguments of its Field() (none: a plain field).
  ModelBuilder& field(const char* name, nb::handle annotation, nb::dict field_kwargs = {});
  ModelBuilder& attr(const char* name, nb::handle value);
  // Runs after field validation; `fn` takes the record and returns it.
  ModelBuilder& after_validator(const char* name, nb::handle fn);
  ModelBuilder& config(const char* key, nb::handle value);
  nb::object build();

 private:
  nb::object module_;
  std::string name_;
  nb::object base_;
  nb::dict annotations_;
  nb::dict ns_;
  nb::dict config_;
};

// Resolve forward references once every class they name exists.
void rebuild(nb::handle model, const nb::dict& names);

}  // namespace ostrel::bindings::records
