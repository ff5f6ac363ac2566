#include "python/py.h"  // first: it may change what the standard headers declare

#include "python/arguments.h"

#include <vector>

#include "python/py_ref.h"

namespace brindle::python {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        text += " and ";
      } else {
        text += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

// Binds one keyword argument; false with TypeError set on failure.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, std::span<PyObject*> out) {
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.parameters[i]) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function, sig.parameters[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.function, name);
  return false;
}

bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) <= sig.parameters.size()) return true;
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.function,
               sig.parameters.size(), nargs, nargs == 1 ? "was" : "were");
  return false;
}

bool check_required(const Signature& sig, std::span<PyObject*> out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.parameters[i]);
  }
  if (missing.empty()) return true;
  std::string names = quoted_list(missing);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.function, missing.size(),
               missing.size() == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  if (!check_positional_count(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  Py_ssize_t nargs = PyTuple_Size(args);
  if (!check_positional_count(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!bind_keyword(sig, name, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

bool type_qualname(PyObject* obj, std::string& out) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name) return false;
  Py_ssize_t size;
  const char* text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    out = "?";
    return true;
  }
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  std::string qualname;
  if (!type_qualname(obj, qualname)) return;
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", qualname.c_str(), target);
}

bool extract_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return false;
  }
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

bool extract_text_argument(PyObject* obj, const char* name, std::string_view& out) {
  if (extract_text(obj, out)) return true;
  prefix_argument_error(name);
  return false;
}

void prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {  // a subclass passes through unchanged
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type);
  PyRef old_value = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);
  PyRef message = PyRef::steal(PyObject_Str(old_value.get()));
  if (!message) return;
  PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!text) return;
  PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(old_value.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals cause
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace brindle::python
