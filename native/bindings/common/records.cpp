#include "bindings/common/records.hpp"

#include <string_view>

#include "bindings/common/host.hpp"

namespace ostrel::bindings::records {

namespace {
nb::object typing() { return nb::borrow(host::typing()); }
}  // namespace

PyObject* validator_descriptor(PyMethodDef* def, const char* name, const char* doc) {
  if (!def->ml_name) {
    // The definition outlives the module: descriptors point at it for the process lifetime.
    def->ml_name = (new std::string(name))->c_str();
    def->ml_doc = (new std::string(std::string(name) + "($self, /)\n--\n\n" + doc))->c_str();
  }
  PyObject* descr = PyDescr_NewMethod(&PyBaseObject_Type, def);
  if (!descr) throw nb::python_error();
  return descr;
}

nb::dict kw(std::initializer_list<std::pair<const char*, nb::object>> items) {
  nb::dict d;
  for (const auto& [k, v] : items) d[k] = v;
  return d;
}

nb::object builtin(const char* name) { return host::builtins().attr(name); }

nb::object list_of(nb::handle item) { return builtin("list")[item]; }

nb::object sequence_of(nb::handle item) { return typing().attr("Sequence")[item]; }

nb::object optional(nb::handle t) { return typing().attr("Optional")[t]; }

nb::object literal(const char* value) { return typing().attr("Literal")[nb::str(value)]; }

nb::object annotated(nb::handle t, nb::handle metadata) {
  return typing().attr("Annotated")[nb::make_tuple(t, metadata)];
}

nb::object union_of(const std::vector<nb::object>& members) {
  nb::list items;
  for (const auto& m : members) items.append(m);
  return typing().attr("Union")[nb::tuple(items)];
}

nb::object forward_ref(const char* name) { return typing().attr("ForwardRef")(name); }

nb::object field(const nb::dict& kwargs) {
  nb::object f = host::pydantic().attr("Field");
  return f(**kwargs);
}

nb::object examples(std::initializer_list<const char*> items) {
  nb::list out;
  for (const char* s : items) out.append(nb::str(s));
  return out;
}

EnumBuilder::EnumBuilder(nb::handle module, const char* name, const char* qualname)
    : module_name_(module.attr("__name__")), name_(name), qualname_(qualname ? qualname : name) {}

EnumBuilder& EnumBuilder::member(const char* name, const char* value) {
  members_.emplace_back(name, value);
  return *this;
}

EnumBuilder& EnumBuilder::attr(const char* name, nb::handle value) {
  attrs_.emplace_back(name, nb::borrow(value));
  return *this;
}

EnumBuilder& EnumBuilder::doc(const char* text) {
  doc_ = text;
  return *this;
}

nb::object EnumBuilder::build() {
  nb::handle en = host::enum_module();
  nb::object base = en.attr("StrEnum");
  nb::object meta = nb::borrow(base.type());
  nb::tuple bases = nb::make_tuple(base);
  nb::object classdict = meta.attr("__prepare__")(name_.c_str(), bases);
  classdict["__module__"] = module_name_;
  classdict["__qualname__"] = nb::str(qualname_.c_str());
  if (!doc_.empty()) classdict["__doc__"] = nb::str(doc_.c_str());
  for (const auto& [k, v] : members_) classdict[k.c_str()] = nb::str(v.c_str());
  for (const auto& [k, v] : attrs_) classdict[k.c_str()] = v;
  return meta(name_.c_str(), bases, classdict);
}

ModelBuilder::ModelBuilder(nb::handle module, const char* name)
    : module_(nb::borrow(module)), name_(name) {
  base_ = nb::borrow(host::schema_base_model());
}

ModelBuilder& ModelBuilder::base(nb::handle base_class) {
  base_ = nb::borrow(base_class);
  return *this;
}

ModelBuilder& ModelBuilder::doc(const char* text) {
  ns_["__doc__"] = nb::str(text);
  return *this;
}

ModelBuilder& ModelBuilder::field(const char* name, nb::handle annotation, nb::dict field_kwargs) {
  annotations_[name] = annotation;
  if (nb::len(field_kwargs) > 0) ns_[name] = records::field(field_kwargs);
  return *this;
}

ModelBuilder& ModelBuilder::attr(const char* name, nb::handle value) {
  ns_[name] = value;
  return *this;
}

ModelBuilder& ModelBuilder::after_validator(const char* name, nb::handle fn) {
  nb::object mv = host::pydantic().attr("model_validator");
  ns_[name] = mv(nb::arg("mode") = "after")(fn);
  return *this;
}

ModelBuilder& ModelBuilder::config(const char* key, nb::handle value) {
  config_[key] = value;
  return *this;
}

nb::object ModelBuilder::build() {
  ns_["__module__"] = module_.attr("__name__");
  ns_["__qualname__"] = nb::str(name_.c_str());
  ns_["__annotations__"] = annotations_;
  ns_["__pydantic_reset_parent_namespace__"] = false;
  if (nb::len(config_) > 0) {
    nb::object cd = host::pydantic().attr("ConfigDict");
    ns_["model_config"] = cd(**config_);
  }
  nb::object meta = nb::borrow(base_.type());
  nb::object cls = meta(name_.c_str(), nb::make_tuple(base_), ns_);
  module_.attr(name_.c_str()) = cls;
  return cls;
}

void rebuild(nb::handle model, const nb::dict& names) {
  model.attr("model_rebuild")(nb::arg("force") = true, nb::arg("_types_namespace") = names);
}

}  // namespace ostrel::bindings::records
