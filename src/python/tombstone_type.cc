// class Tombstone: the Python face of a deleted key. Holds nothing, is always
// false, and cannot be constructed from Python (TOMBSTONE is the instance to
// use).
#include "python/py.h"  // first: it may change what the standard headers declare

#include "python/heap_type.h"
#include "python/classes.h"

namespace brindle::python {

namespace {

PyTypeObject* g_tombstone_type = nullptr;

PyObject* tombstone_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Tombstone");
  return nullptr;
}

PyObject* tombstone_repr(PyObject*) { return PyUnicode_FromString("TOMBSTONE"); }

int tombstone_bool(PyObject*) { return 0; }

void tombstone_dealloc(PyObject* self) {
  free_instance(self);
}

PyType_Slot tombstone_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tombstone_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tombstone_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(tombstone_bool)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tombstone_dealloc)},
    {0, nullptr},
};

PyType_Spec tombstone_spec = {
    "brindle._brindle.Tombstone",
    static_cast<int>(sizeof(PyObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    tombstone_slots,
};

}  // namespace

PyObject* create_tombstone_type() {
  return create_heap_type(tombstone_spec, g_tombstone_type);
}

PyObject* new_tombstone() {
  return alloc_instance(g_tombstone_type);
}

bool is_tombstone(PyObject* obj) { return Py_IS_TYPE(obj, g_tombstone_type); }

}  // namespace brindle::python
