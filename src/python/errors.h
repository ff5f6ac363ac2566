// The one table that turns the core's errors into Python exceptions: the
// exception's single argument is the error's display text, unchanged.
//
//   get                                     any StorageError  -> KeyError
//   open, set, delete, set_many, commit,
//   backlinks                               any StorageError  -> RuntimeError
//   resolve                                 any ResolveError  -> RuntimeError
//
// Internal faults (a broken invariant, an unexpected C++ exception) raise
// SystemError naming what broke; memory exhaustion raises MemoryError.
#pragma once

#include "python/py.h"  // first: it may change what the standard headers declare

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "resolver/resolver.h"
#include "storage/storage_error.h"

namespace brindle::python {

enum class Operation { Get, Other };

// Each sets the exception and returns null, for `return raise_...(...);`.
PyObject* raise_storage_error(const StorageError& error, Operation operation);
PyObject* raise_resolve_error(const ResolveError& error);
PyObject* raise_internal_fault(std::string_view what);

// Runs body, turning C++ exceptions that escape it into MemoryError or
// SystemError so they never cross into the interpreter. The core throws
// only standard exceptions. Anything else is let through on purpose: a
// daemon thread that takes the interpreter lock back as the interpreter
// exits is ended by an unwind that is no C++ exception, which must run to
// the thread's end (stopping it aborts the process).
template <class Body>
PyObject* guarded(const char* function, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(std::string(function) + ": " + e.what());
  }
}

}  // namespace brindle::python
