// Argument binding and conversion shared by every function of the module.
//
// Binding follows the usual Python rules and messages: arguments by position
// or by keyword under the parameter names; too many positional arguments,
// unknown or repeated keywords and missing required arguments raise
// TypeError naming the function ("Database.get()", "open()").
#pragma once

#include "python/py.h"  // first: it may change what the standard headers declare

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace brindle::python {

struct Signature {
  const char* function;  // as shown in messages, e.g. "Database.get()"
  std::span<const char* const> parameters;
  std::size_t required;  // the first `required` parameters have no default
};

// Binds a vectorcall-style argument list (positional args, then the values
// of the keywords named in kwnames). out receives one borrowed reference per
// parameter, null where an optional one was not given. Returns false with
// TypeError set on a binding failure.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out);

// The same for a tuple and an optional dict (tp_new).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// The qualified name of obj's type ("int", "MyClass"), as used in messages.
// Returns false with an exception set when it cannot be read.
bool type_qualname(PyObject* obj, std::string& out);

// Raises TypeError "'<qualname>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target);

// The UTF-8 text of a str (subclasses included); the view lives as long as
// obj. Anything else raises the "cannot be converted to 'PyString'"
// TypeError; a lone surrogate raises the interpreter's UnicodeEncodeError.
bool extract_text(PyObject* obj, std::string_view& out);

// extract_text for a parameter: a TypeError is re-raised as
// "argument '<name>': <message>".
bool extract_text_argument(PyObject* obj, const char* name, std::string_view& out);

// If the pending exception is exactly a TypeError, replaces it with
// TypeError("argument '<name>': <message>") keeping its cause.
void prefix_argument_error(const char* name);

}  // namespace brindle::python
