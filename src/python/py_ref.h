// Owned references to Python objects.
#pragma once

#include "python/py.h"  // first: it may change what the standard headers declare

#include <atomic>
#include <thread>
#include <utility>

namespace brindle::python {

// Once the interpreter finalises, a daemon thread that asks for the
// interpreter lock is ended by an unwind from inside that request, without
// its thread state; cleanups that unwind runs in a call that had run Python
// code (freeing a reference, leaving a recursion guard) must then leave the
// interpreter alone. Exit functions run on the finalising thread before any
// daemon thread is ended: _brindle registers one that calls
// note_interpreter_exit, after which may_use_interpreter() is false on every
// other thread (one still running normally in that short while keeps what it
// would free; the process is ending). _tools has its own copy, never set.
struct InterpreterExit {
  static inline std::atomic<bool> begun{false};
  static inline std::atomic<std::thread::id> finalising_thread{};
};

inline void note_interpreter_exit() noexcept {
  InterpreterExit::finalising_thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
  InterpreterExit::begun.store(true, std::memory_order_release);
}

inline bool may_use_interpreter() noexcept {
  return !InterpreterExit::begun.load(std::memory_order_acquire) ||
         InterpreterExit::finalising_thread.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

// Holds one strong reference and releases it on destruction. A null PyRef
// means "an exception is set" wherever a function returns one.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    if (object_ != nullptr && may_use_interpreter()) Py_DECREF(object_);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Gives up ownership, e.g. to return the reference to the interpreter.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace brindle::python
