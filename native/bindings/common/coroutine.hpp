#pragma once
// Native coroutines for the host's event loop. A C++20 coroutine returning `Task` co_awaits
// host awaitables with `co_await awaited(obj)`; `make_coroutine` wraps it into a host object
// with the coroutine protocol (__await__, __next__, send, throw, close), so that `await`,
// asyncio.run, gather and wait_for drive it like one of the host's own. While suspended the
// object delegates every send and throw to the awaited iterator, as `await` does: values the
// iterator yields (futures) go out to the event loop, and cancellation goes in to it.
#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace ostrel::bindings::coro {
namespace nb = nanobind;

struct Promise;

class Task {
 public:
  using promise_type = Promise;
  explicit Task(std::coroutine_handle<Promise> h) noexcept : handle_(h) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  Task& operator=(Task&&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }
  std::coroutine_handle<Promise> release() noexcept { return std::exchange(handle_, {}); }

 private:
  std::coroutine_handle<Promise> handle_;
};

struct Promise {
  nb::object result;                       // the value returned with co_return
  std::exception_ptr error;                // what escaped the body
  nb::object inner;                        // the iterator being awaited, while suspended
  nb::object received;                     // what it returned, for await_resume
  std::optional<nb::python_error> raised;  // or what it raised

  Task get_return_object() noexcept {
    return Task(std::coroutine_handle<Promise>::from_promise(*this));
  }
  std::suspend_always initial_suspend() const noexcept { return {}; }
  std::suspend_always final_suspend() const noexcept { return {}; }
  void return_value(nb::object value) noexcept { result = std::move(value); }
  void unhandled_exception() noexcept { error = std::current_exception(); }
};

// The awaiter of one host awaitable. Its iterator is taken when it is made (in the body), so
// that an object that cannot be awaited fails there with the host's TypeError.
class Awaited {
 public:
  explicit Awaited(nb::object iterator) : iterator_(std::move(iterator)) {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<Promise> h) noexcept {
    promise_ = &h.promise();
    promise_->inner = std::move(iterator_);
  }
  nb::object await_resume();

 private:
  nb::object iterator_;
  Promise* promise_ = nullptr;
};

// `co_await awaited(obj)` gives what awaiting obj gives in the host, or raises what it raises.
// The argument is taken over (left empty): a temporary that held it would live in the frame
// through the suspension, a reference the collector cannot see.
Awaited awaited(nb::object awaitable);

// The host coroutine object running `task`; `qualname` names it in its repr.
nb::object make_coroutine(Task&& task, const char* qualname);

// The host type of those objects (one per module that makes them).
nb::handle coroutine_type();

}  // namespace ostrel::bindings::coro
