// Records built from the core's declarations: each annotation looked up by its name, each
// field's Field() arguments from its declared constraints.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "bindings/_engine/domain/domain.hpp"
#include "bindings/common/host.hpp"

namespace ostrel::bindings::engine {

namespace cd = core::domain;
using namespace records;
using Shape = cd::FieldDeclaration::Shape;

namespace {

nb::str text(std::string_view s) { return nb::str(s.data(), s.size()); }

// The host's types first, then a nested class of the record, the engine's own names, builtins.
nb::object named_type(nb::module_& m, std::string_view name, nb::handle own) {
  if (name == "datetime") return nb::borrow(host::datetime_type());
  if (name == "date") return nb::borrow(host::date_type());
  if (name == "time") return nb::borrow(host::time_type());
  if (name == "UUID") return nb::borrow(host::uuid_type());
  const std::string n(name);
  if (own.is_valid() && nb::str(own.attr("__name__")).equal(text(name))) return nb::borrow(own);
  if (nb::hasattr(m, n.c_str())) return m.attr(n.c_str());
  return builtin(n.c_str());
}

nb::object annotation(nb::module_& m, const cd::FieldDeclaration& f, nb::handle own) {
  nb::object t = f.forward ? forward_ref(std::string(f.type).c_str()) : named_type(m, f.type, own);
  switch (f.shape) {
    case Shape::One:
      return t;
    case Shape::List:
      return list_of(t);
    case Shape::Sequence:
      return sequence_of(t);
    case Shape::Optional:
      return optional(t);
  }
  return t;
}

nb::dict field_kwargs(const cd::FieldDeclaration& f) {
  nb::dict d;
  if (f.shape == Shape::Optional) d["default"] = nb::none();
  if (f.greater_than) d["gt"] = nb::int_(*f.greater_than);
  if (f.at_most) d["le"] = nb::int_(*f.at_most);
  if (f.min_length > 0) d["min_length"] = nb::int_(f.min_length);
  if (!f.description.empty()) d["description"] = text(f.description);
  if (!f.examples.empty()) {
    nb::list examples;
    for (std::string_view e : f.examples) examples.append(text(e));
    d["examples"] = examples;
  }
  return d;
}

}  // namespace

ModelBuilder declared(nb::module_& m, const cd::RecordDeclaration& decl, nb::handle own) {
  ModelBuilder b(m, std::string(decl.name).c_str());
  b.doc(std::string(decl.doc).c_str());
  if (decl.frozen) b.config("frozen", nb::bool_(true));
  if (decl.finite) b.config("allow_inf_nan", nb::bool_(false));
  if (own.is_valid()) b.attr(nb::cast<std::string>(own.attr("__name__")).c_str(), own);
  if (!decl.tag.empty()) {
    const std::string tag(decl.tag);
    b.field("type", literal(tag.c_str()), kw({{"default", text(decl.tag)}}));
  }
  for (const cd::FieldDeclaration& f : decl.fields)
    b.field(std::string(f.name).c_str(), annotation(m, f, own), field_kwargs(f));
  return b;
}

}  // namespace ostrel::bindings::engine
