// ExpiryCache: a key/value store whose entries stop being served a fixed number of seconds
// after they were stored. The class is generic over K and V through the host's Generic base,
// so it is created as a host class whose methods are native.
#include <nanobind/nanobind.h>

#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "bindings/common/records.hpp"

namespace nb = nanobind;
using namespace ostrel::bindings;

namespace {

void init(nb::handle self, nb::handle ttl_seconds, nb::handle now) {
  const double ttl = PyFloat_AsDouble(ttl_seconds.ptr());
  if (ttl == -1.0 && PyErr_Occurred()) throw nb::python_error();
  nb::setattr(self, "_ttl_seconds", nb::float_(ttl));
  nb::setattr(self, "_now", now);
  nb::setattr(self, "_store", nb::dict());
}

nb::object get(nb::handle self, nb::handle key) {
  nb::object store = self.attr("_store");
  PyObject* entry = PyDict_GetItemWithError(store.ptr(), key.ptr());  // borrowed
  if (!entry) {
    if (PyErr_Occurred()) throw nb::python_error();  // unhashable key
    return nb::none();
  }
  nb::tuple pair = nb::borrow<nb::tuple>(entry);
  nb::object value = pair[0];
  nb::object stored_at = pair[1];
  nb::object age = self.attr("_now")() - stored_at;
  if (age > self.attr("_ttl_seconds")) {
    if (PyDict_DelItem(store.ptr(), key.ptr()) != 0) throw nb::python_error();
    return nb::none();
  }
  return value;
}

void put(nb::handle self, nb::handle key, nb::handle value) {
  nb::object stamp = self.attr("_now")();
  nb::object store = self.attr("_store");
  if (PyDict_SetItem(store.ptr(), key.ptr(), nb::make_tuple(value, stamp).ptr()) != 0)
    throw nb::python_error();
}

void clear(nb::handle self) { nb::cast<nb::dict>(self.attr("_store")).clear(); }

}  // namespace

NB_MODULE(expiry_cache, m) {
  init_common(m);
  nb::handle typing = host::typing();
  nb::object K = typing.attr("TypeVar")("K");
  nb::object V = typing.attr("TypeVar")("V");
  m.attr("K") = K;
  m.attr("V") = V;

  nb::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = "ExpiryCache";
  ns["__doc__"] =
      "In-memory key/value store whose entries expire ttl_seconds after they were stored.\n\n"
      "An entry is served while its age is at most the lifetime and dropped by the first get()\n"
      "that finds it older. There is no size limit and no background work.";
  nb::handle monotonic = host::monotonic();
  ns["__init__"] =
      nb::cpp_function(&init, nb::is_method(), nb::name("__init__"), nb::arg("ttl_seconds").none(),
                       nb::arg("now") = monotonic, "Create an empty cache.");
  ns["get"] = nb::cpp_function(&get, nb::is_method(), nb::name("get"), nb::arg("key").none(),
                               "The value stored under key if present and not expired, else None.");
  ns["put"] = nb::cpp_function(&put, nb::is_method(), nb::name("put"), nb::arg("key").none(),
                               nb::arg("value").none(),
                               "Store value under key, stamped with the clock now.");
  ns["clear"] = records::method("clear", &clear, "Remove every entry.");
  nb::object generic = typing.attr("Generic")[nb::make_tuple(K, V)];
  // Generic[K, V] resolves to its origin through __mro_entries__, which types.new_class applies.
  nb::object body = nb::cpp_function([ns](nb::handle target) { target.attr("update")(ns); });
  nb::object cls = host::new_class()("ExpiryCache", nb::make_tuple(generic), nb::dict(), body);
  m.attr("ExpiryCache") = cls;
  m.attr("__all__") = nb::make_tuple("ExpiryCache");
}
