// The host object of a native coroutine: its type, the coroutine protocol (__await__,
// __next__, send, throw, close), its attributes and the collector's slots.
#include "bindings/common/coroutine.hpp"

#include <string>

#include "bindings/common/coroutine_object.hpp"
#include "bindings/common/errors.hpp"

namespace ostrel::bindings::coro {

namespace {

using detail::am_send;
using detail::as_coroutine;
using detail::CoroutineObject;
using detail::destroy_frame;
using detail::refuse_running;
using detail::run;
using detail::set_thrown;
using detail::throw_inner;

// The host's reading of a send result: a yielded value, or StopIteration carrying the return.
PyObject* as_call_result(PySendResult r, PyObject* out) {
  if (r == PYGEN_NEXT) return out;
  if (r == PYGEN_RETURN) {
    if (out == Py_None) {
      PyErr_SetNone(PyExc_StopIteration);
    } else {
      // An instance, so that a tuple or an exception as the value is not unpacked.
      PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, out);
      if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
      }
    }
    Py_DECREF(out);
  }
  return nullptr;
}

PyObject* send(PyObject* self, PyObject* value) {
  PyObject* out = nullptr;
  const PySendResult r = am_send(self, value, &out);
  return as_call_result(r, out);
}

PyObject* iternext(PyObject* self) { return send(self, Py_None); }

PyObject* throw_(PyObject* self, PyObject* args) {
  CoroutineObject* c = as_coroutine(self);
  PyObject *typ = nullptr, *val = nullptr, *tb = nullptr;
  if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
  if (refuse_running(c)) return nullptr;
  if (!c->handle || !c->started || !c->handle.promise().inner.is_valid()) {
    // Not started or already finished: the exception comes straight back and the coroutine
    // is closed, as the host's do.
    destroy_frame(c);
    set_thrown(typ, val, tb);
    return nullptr;
  }
  PyObject* out = nullptr;
  PySendResult r = throw_inner(c->handle.promise(), args, typ, val, tb, &out);
  if (r == PYGEN_NEXT) return out;
  r = run(c, &out);
  return as_call_result(r, out);
}

PyObject* close(PyObject* self, PyObject*) {
  CoroutineObject* c = as_coroutine(self);
  if (refuse_running(c)) return nullptr;
  nb::object inner;
  if (c->handle) inner = std::move(c->handle.promise().inner);
  // The body holds no cleanup of its own beyond destructors; destroying the frame runs them.
  destroy_frame(c);
  if (inner.is_valid()) {
    PyObject* method = PyObject_GetAttrString(inner.ptr(), "close");
    if (!method) {
      PyErr_Clear();
    } else {
      PyObject* r = PyObject_CallNoArgs(method);
      Py_DECREF(method);
      if (!r) return nullptr;
      Py_DECREF(r);
    }
  }
  Py_RETURN_NONE;
}

PyObject* await_(PyObject* self) { return Py_NewRef(self); }

int traverse(PyObject* self, visitproc visit, void* arg) {
  CoroutineObject* c = as_coroutine(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->qualname);
  if (c->handle) {
    Promise& p = c->handle.promise();
    // The awaited iterator closes the cycle through the event loop's task and futures.
    Py_VISIT(p.inner.ptr());
    Py_VISIT(p.received.ptr());
    Py_VISIT(p.result.ptr());
  }
  return 0;
}

int clear(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  if (c->handle) {
    Promise& p = c->handle.promise();
    p.inner.reset();
    p.received.reset();
    p.result.reset();
  }
  return 0;
}

void dealloc(PyObject* self) {
  CoroutineObject* c = as_coroutine(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  destroy_frame(c);
  Py_CLEAR(c->qualname);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
  return PyUnicode_FromFormat("<native coroutine object %U at %p>", as_coroutine(self)->qualname,
                              self);
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coroutine(self)->qualname); }

PyObject* get_name(PyObject* self, void*) {
  nb::str q = nb::borrow<nb::str>(as_coroutine(self)->qualname);
  nb::object parts = q.attr("rsplit")(".", 1);
  return nb::object(parts[nb::len(parts) - 1]).release().ptr();
}

PyObject* get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_coroutine(self)->running);
}

PyObject* get_await(PyObject* self, void*) {
  CoroutineObject* c = as_coroutine(self);
  if (c->handle && c->handle.promise().inner.is_valid())
    return Py_NewRef(c->handle.promise().inner.ptr());
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"send", send, METH_O, "send(value) -> the next value yielded, or StopIteration."},
    {"throw", throw_, METH_VARARGS,
     "throw(value)\nthrow(type[,value[,traceback]])\n--\n\n"
     "Raise an exception in the coroutine (passed on to what it awaits)."},
    {"close", close, METH_NOARGS, "close() -> None. Stop the coroutine and what it awaits."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef getset[] = {{"__name__", get_name, nullptr, nullptr, nullptr},
                        {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
                        {"cr_running", get_running, nullptr, nullptr, nullptr},
                        {"cr_await", get_await, nullptr, nullptr, nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                       {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(clear)},
                       {Py_tp_repr, reinterpret_cast<void*>(repr)},
                       {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
                       {Py_tp_methods, methods},
                       {Py_tp_getset, getset},
                       {Py_am_await, reinterpret_cast<void*>(await_)},
                       {Py_am_send, reinterpret_cast<void*>(am_send)},
                       {0, nullptr}};

PyType_Spec type_desc{"ostrelpy.bindings.native_coroutine", sizeof(CoroutineObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                      slots};

}  // namespace

nb::handle coroutine_type() {
  // Made once per module and kept for the life of the process.
  static PyObject* type = nullptr;
  if (!type) {
    type = PyType_FromSpec(&type_desc);
    if (!type) throw nb::python_error();
  }
  return type;
}

nb::object make_coroutine(Task&& task, const char* qualname) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(coroutine_type().ptr());
  nb::object name = nb::str(qualname);
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) throw nb::python_error();
  CoroutineObject* c = as_coroutine(self);
  new (&c->handle) std::coroutine_handle<Promise>(task.release());
  c->qualname = name.release().ptr();
  c->started = false;
  c->running = false;
  return nb::steal(self);
}

}  // namespace ostrel::bindings::coro
