// The common steps of the module's heap types.
#pragma once

#include "python/py.h"

namespace brindle::python {

// Creates a type from type_spec; *keep holds one reference for the life of the
// process. Returns a new reference, or null.
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
