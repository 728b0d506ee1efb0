#include "bindings/common/errors.hpp"

#include <nanobind/stl/string.h>

#include <new>
#include <utility>

#include "bindings/common/host.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings {

void set_core_error(const core::Error& e) {
  // By ErrorKind, in its order.
  PyObject* const types[] = {
      PyExc_ValueError,          PyExc_TypeError,  PyExc_AssertionError,   PyExc_KeyError,
      PyExc_NotImplementedError, PyExc_IndexError, PyExc_ZeroDivisionError};
  PyObject* type = types[static_cast<int>(e.kind())];
  if (e.kind() == core::ErrorKind::Key) {
    nb::str key(e.what());
    PyErr_SetObject(type, nb::make_tuple(key).ptr());
  } else {
    PyErr_SetString(type, e.what());
  }
}

namespace {

PyObject* builtin_type(nb::exception_type t) {
  using T = nb::exception_type;
  const std::pair<T, PyObject*> types[] = {
      {T::stop_iteration, PyExc_StopIteration}, {T::index_error, PyExc_IndexError},
      {T::key_error, PyExc_KeyError},           {T::value_error, PyExc_ValueError},
      {T::type_error, PyExc_TypeError},         {T::buffer_error, PyExc_BufferError},
      {T::import_error, PyExc_ImportError},     {T::attribute_error, PyExc_AttributeError}};
  for (const auto& [kind, type] : types)
    if (kind == t) return type;
  return PyExc_RuntimeError;
}

// The one mapping of native failures to host exceptions, for nanobind-bound functions (through
// the translator) and raw C entry points alike. Each failure keeps its type; no text of the
// C++ library reaches a caller.
void set_error(const std::exception_ptr& p) {
  try {
    std::rethrow_exception(p);
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const core::Error& e) {
    set_core_error(e);
  } catch (const nb::builtin_exception& e) {
    PyErr_SetString(builtin_type(e.type()), e.what());
  } catch (const nb::cast_error&) {
    PyErr_SetString(PyExc_TypeError, "a value of an unsupported type was passed to the engine");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in the engine");
  }
}

}  // namespace

bool set_error_from_exception(const std::exception_ptr& p) {
  set_error(p);
  return true;
}

namespace {

void translate(const std::exception_ptr& p, void*) {
  try {
    std::rethrow_exception(p);
  } catch (const nb::builtin_exception&) {
    throw;  // nanobind's own translation keeps the type (and handles next_overload)
  } catch (...) {
    set_error(p);
  }
}

}  // namespace

bool assertions_enabled() { return core::assertions_enabled(); }

void init_common(nb::module_&) {
  static bool done = false;
  nb::register_exception_translator(translate);
  if (!done) {
    nb::handle flags = host::sys_flags();
    core::set_assertions_enabled(nb::cast<long>(flags.attr("optimize")) == 0);
    done = true;
  }
}

nb::object native_method_type() {
  // Kept for the life of the process: no destructor may run after the host has finalised.
  static PyObject* tp = nullptr;
  if (!tp) {
    nb::object f = nb::cpp_function([](nb::handle) {}, nb::is_method(), nb::name("_probe_method"));
    tp = f.type().inc_ref().ptr();
  }
  return nb::borrow(tp);
}

void raise_assertion(const std::string& message) {
  PyErr_SetString(PyExc_AssertionError, message.c_str());
  throw nb::python_error();
}

void raise_key_error(nb::handle key) {
  PyErr_SetObject(PyExc_KeyError, nb::make_tuple(key).ptr());
  throw nb::python_error();
}

std::string type_name(nb::handle obj) {
  return nb::cast<std::string>(
      nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

}  // namespace ostrel::bindings
