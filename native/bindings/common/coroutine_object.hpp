#pragma once
// The host object of a native coroutine, shared by its protocol (coroutine.cpp) and the
// machinery that drives its body and delegates to what it awaits (coroutine_drive.cpp).
#include "bindings/common/coroutine.hpp"

namespace ostrel::bindings::coro::detail {

struct CoroutineObject {
  PyObject_HEAD std::coroutine_handle<Promise> handle;  // null once finished or closed
  PyObject* qualname;
  bool started;
  bool running;
};

inline CoroutineObject* as_coroutine(PyObject* self) {
  return reinterpret_cast<CoroutineObject*>(self);
}

void destroy_frame(CoroutineObject* c);

// Resume the body until it awaits an iterator that yields, or finishes.
PySendResult run(CoroutineObject* c, PyObject** out);

// "coroutine already executing" (and true) while the body runs.
bool refuse_running(CoroutineObject* c);

// The am_send slot: start or resume, delegating `value` to the awaited iterator.
PySendResult am_send(PyObject* self, PyObject* value, PyObject** out);

// Set the host's error indicator to the exception that throw(typ[, val[, tb]]) describes.
void set_thrown(PyObject* typ, PyObject* val, PyObject* tb);

// The awaited iterator's throw: PYGEN_NEXT with what it yields, or its outcome filed in the
// promise for the body.
PySendResult throw_inner(Promise& p, PyObject* args, PyObject* typ, PyObject* val, PyObject* tb,
                         PyObject** out);

}  // namespace ostrel::bindings::coro::detail
