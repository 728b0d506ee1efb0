// Driving a native coroutine's body: resuming it, starting and delegating to each iterator it
// awaits (send and throw pass through, as `await` passes them), and what its awaits give back.
#include "bindings/common/coroutine_object.hpp"
#include "bindings/common/errors.hpp"

namespace ostrel::bindings::coro {

namespace detail {

void destroy_frame(CoroutineObject* c) {
  if (c->handle) std::exchange(c->handle, {}).destroy();
}

namespace {

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

// Send `value` to the awaited iterator: PYGEN_NEXT with what it yields in `out`, or its
// outcome (returned value or raised error) filed in the promise for the body.
PySendResult delegate(Promise& p, PyObject* value, PyObject** out) {
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
  return r;
}

}  // namespace

// Each newly awaited iterator is started with None, as `await` starts it.
PySendResult run(CoroutineObject* c, PyObject** out) {
  for (;;) {
    c->running = true;
    c->handle.resume();
    c->running = false;
    if (c->handle.done()) return finish(c, out);
    if (delegate(c->handle.promise(), Py_None, out) == PYGEN_NEXT) return PYGEN_NEXT;
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
  if (delegate(p, value, out) == PYGEN_NEXT) return PYGEN_NEXT;
  return run(c, out);
}

// An instance is made of a class, as the host's own coroutines make it.
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

namespace {

// The thrown exception goes to the body as what its await raised.
PySendResult raise_in_body(Promise& p, PyObject* typ, PyObject* val, PyObject* tb) {
  set_thrown(typ, val, tb);
  p.raised.emplace();
  return PYGEN_ERROR;
}

}  // namespace

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

}  // namespace detail

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
