// The common steps of the module's heap types.
#pragma once

#include "python/py.h"

namespace brindle::python {

// Creates a type from type_spec; *keep holds one reference for the life of the
// process. Returns a new reference, or null.
//
// The specs name their types with the module ("brindle._brindle.Link"): a
// bare name leaves the type without __module__ (reading it raises) and makes
// the interpreter warn at import that it is deprecated, so an import under
// warnings-as-errors fails.
inline PyObject* create_heap_type(PyType_Spec& type_spec, PyTypeObject*& keep) {
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return nullptr;
  keep = reinterpret_cast<PyTypeObject*>(type);
  Py_INCREF(type);
  return type;
}

// A new, zero-filled instance of type, or null.
inline PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

// Frees an instance's memory (its C++ members already destroyed) and drops
// the reference every instance of a heap type holds on the type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace brindle::python
