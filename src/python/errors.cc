#include "python/py.h"  // first: it may change what the standard headers declare

#include "python/errors.h"

#include <string>

namespace brindle::python {

namespace {

PyObject* raise_text(PyObject* type, const std::string& text) {
  // "replace": an operating system's message in a locale that is not UTF-8
  // must still come out as the error it describes.
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

}  // namespace

PyObject* raise_storage_error(const StorageError& error, Operation operation) {
  return raise_text(operation == Operation::Get ? PyExc_KeyError : PyExc_RuntimeError, error.to_string());
}

PyObject* raise_resolve_error(const ResolveError& error) {
  return raise_text(PyExc_RuntimeError, error.to_string());
}

PyObject* raise_internal_fault(std::string_view what) {
  return raise_text(PyExc_SystemError, "internal error in brindle: " + std::string(what));
}

}  // namespace brindle::python
