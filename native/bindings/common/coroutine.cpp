#include "bindings/common/coroutine.hpp"

#include <string>

#include "bindings/common/errors.hpp"

namespace ostrel::bindings::coro {

namespace {

struct CoroutineObject {
  PyObject_HEAD std::coroutine_handle<Promise> handle;  // null once finished or closed
  PyObject* qualname;
  bool started;
  bool running;
};

CoroutineObject* as_coroutine(PyObject* self) { return reinterpret_cast<CoroutineObject*>(self); }

void destroy_frame(CoroutineObject* c) {
  if (c->handle) std::exchange(c->handle, {}).destroy();
}

// The body has finished: its value, or what escaped it as the host's error.
PySendResult finish(CoroutineObject* c, PyObject** out) {
  Promise& p = c->handle.promise();
  nb::object result = std::move(p.result);
  std::exception_ptr error = p.error;
  destroy_frame(c);
  if (error) {
    set_error_from_exception(error);
    // As the host's own coroutines do: a StopIteration leaving the body would read as a return.
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
      nb::chain_error(PyExc_RuntimeError, "coroutine raised StopIteration");
    *out = nullptr;
    return PYGEN_ERROR;
  }
  *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
  return PYGEN_RETURN;
}

// Resume the body until it awaits an iterator that yields, or finishes. Each newly awaited
// iterator is started with None, as `await` starts it.
PySendResult run(CoroutineObject* c, PyObject** out) {
  for (;;) {
    c->running = true;
    c->handle.resume();
    c->running = false;
    if (c->handle.done()) return finish(c, out);
    Promise& p = c->handle.promise();
    PyObject* yielded = nullptr;
    const PySendResult r = PyIter_Send(p.inner.ptr(), Py_None, &yielded);
    if (r == PYGEN_NEXT) {
      *out = yielded;
      return r;
    }
    p.inner.reset();
    if (r == PYGEN_RETURN)
      p.received = nb::steal(yielded);
    else
      p.raised.emplace();
  }
}

bool refuse_running(CoroutineObject* c) {
  if (!c->running) return false;
  PyErr_SetString(PyExc_ValueError, "coroutine already executing");
  return true;
}

PySendResult am_send(PyObject* self, PyObject* value, PyObject** out) {
  CoroutineObject* c = as_coroutine(self);
  *out = nullptr;
  if (refuse_running(c)) return PYGEN_ERROR;
  if (!c->handle) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
  }
  if (!c->started) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
      return PYGEN_ERROR;
    }
    c->started = true;
    return run(c, out);
  }
  Promise& p = c->handle.promise();
  if (!p.inner.is_valid()) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine was cleared while suspended");
    return PYGEN_ERROR;
  }
  PyObject* yielded = nullptr;
  const PySendResult r = PyIter_Send(p.inner.ptr(), value, &yielded);
  if (r == PYGEN_NEXT) {
    *out = yielded;
    return r;
  }
  p.inner.reset();
  if (r == PYGEN_RETURN)
    p.received = nb::steal(yielded);
  else
    p.raised.emplace();
  return run(c, out);
}

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

// Set the host's error indicator to the exception that throw(typ[, val[, tb]]) describes (an
// instance is made of a class, as the host's own coroutines make it).
void set_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
  if (tb == Py_None) tb = nullptr;
  if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return;
  }
  nb::object exc;
  if (PyExceptionClass_Check(typ)) {
    if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
      exc = nb::borrow(val);
    else if (!val || val == Py_None)
      exc = nb::steal(PyObject_CallNoArgs(typ));
    else if (PyTuple_Check(val))
      exc = nb::steal(PyObject_Call(typ, val, nullptr));
    else
      exc = nb::steal(PyObject_CallOneArg(typ, val));
    if (!exc.is_valid()) return;  // the class refused its arguments: that error stands
  } else if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return;
    }
    exc = nb::borrow(typ);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return;
  }
  if (tb) PyException_SetTraceback(exc.ptr(), tb);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
}

// The inner iterator's throw: PYGEN_NEXT with what it yields, or its outcome filed in the
// promise for the body.
// The thrown exception goes to the body as what its await raised.
PySendResult raise_in_body(Promise& p, PyObject* typ, PyObject* val, PyObject* tb) {
  set_thrown(typ, val, tb);
  p.raised.emplace();
  return PYGEN_ERROR;
}

PySendResult throw_inner(Promise& p, PyObject* args, PyObject* typ, PyObject* val, PyObject* tb,
                         PyObject** out) {
  nb::object inner = std::move(p.inner);
  if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
    // As the host does: close the awaited iterator, then raise GeneratorExit in the body.
    PyObject* close = PyObject_GetAttrString(inner.ptr(), "close");
    if (close) {
      PyObject* r = PyObject_CallNoArgs(close);
      Py_DECREF(close);
      if (!r) {
        p.raised.emplace();
        return PYGEN_ERROR;
      }
      Py_DECREF(r);
    } else {
      PyErr_Clear();
    }
    return raise_in_body(p, typ, val, tb);
  }
  PyObject* method = PyObject_GetAttrString(inner.ptr(), "throw");
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      p.raised.emplace();
      return PYGEN_ERROR;
    }
    PyErr_Clear();
    return raise_in_body(p, typ, val, tb);
  }
  PyObject* yielded = PyObject_Call(method, args, nullptr);
  Py_DECREF(method);
  if (yielded) {
    p.inner = std::move(inner);
    *out = yielded;
    return PYGEN_NEXT;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    nb::python_error stop;
    PyObject* value = PyObject_GetAttrString(stop.value().ptr(), "value");
    if (!value) {
      p.raised.emplace();
      return PYGEN_ERROR;
    }
    p.received = nb::steal(value);
    return PYGEN_RETURN;
  }
  p.raised.emplace();
  return PYGEN_ERROR;
}

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

Awaited awaited(nb::object awaitable) {
  // The host's own coroutines and ours are their own iterators (and faster to drive so).
  if (PyCoro_CheckExact(awaitable.ptr()) ||
      Py_TYPE(awaitable.ptr()) == reinterpret_cast<PyTypeObject*>(coroutine_type().ptr()))
    return Awaited(std::move(awaitable));
  PyTypeObject* type = Py_TYPE(awaitable.ptr());
  unaryfunc get = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
  if (!get) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 type->tp_name);
    throw nb::python_error();
  }
  nb::object iterator = nb::steal(get(awaitable.ptr()));
  awaitable.reset();
  if (!iterator.is_valid()) throw nb::python_error();
  if (!PyIter_Check(iterator.ptr())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(iterator.ptr())->tp_name);
    throw nb::python_error();
  }
  return Awaited(std::move(iterator));
}

nb::object Awaited::await_resume() {
  if (promise_->raised) {
    nb::python_error error = std::move(*promise_->raised);
    promise_->raised.reset();
    throw error;
  }
  return std::exchange(promise_->received, nb::object());
}

}  // namespace ostrel::bindings::coro
