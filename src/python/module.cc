// Module initialisation: registers Tombstone, Link, Database, open and
// TOMBSTONE, in that order, each also appended to __all__.
//
// The module belongs to the first interpreter that initialises it: a second
// initialisation from that interpreter returns the same module, and one from
// any other interpreter of the process fails with ImportError. The type
// objects live as long as the interpreter.
#include "python/py.h"  // first: it may change what the standard headers declare

#include <cstdint>

#include "python/py_ref.h"
#include "python/classes.h"

namespace brindle::python {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_brindle",
    "",
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef open_def = {
    "open",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_database)),
    METH_FASTCALL | METH_KEYWORDS,
    "open(path)\n--\n\n",
};

// The module object and the interpreter that owns it, set once per life of
// the interpreter: a program that embeds Python and initialises it again
// after finalising it gets a new module (the old one was emptied).
PyObject* g_module = nullptr;
std::int64_t g_owner_interpreter = -1;

void forget_module() {
  g_module = nullptr;  // freed with the interpreter
  g_owner_interpreter = -1;
}

// Adds value (a new reference, consumed; null means an exception is set)
// under name and appends name to __all__.
bool add(PyObject* module, const char* name, PyObject* new_reference) {
  PyRef value = PyRef::steal(new_reference);
  if (!value) return false;
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  PyRef all_list;
  if (all == nullptr) {
    all_list = PyRef::steal(PyList_New(0));
    if (!all_list || PyModule_AddObjectRef(module, "__all__", all_list.get()) != 0) return false;
    all = all_list.get();
  }
  PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all, name_object.get()) != 0) return false;
  return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

PyObject* interpreter_exits(PyObject*, PyObject*) {
  note_interpreter_exit();
  Py_RETURN_NONE;
}

PyMethodDef interpreter_exits_def = {"_interpreter_exits", interpreter_exits, METH_NOARGS, nullptr};

// Registers interpreter_exits as an exit function (see py_ref.h).
bool watch_interpreter_exit() {
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef function = PyRef::steal(PyCFunction_NewEx(&interpreter_exits_def, nullptr, nullptr));
  if (!function) return false;
  PyRef registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
  return static_cast<bool>(registered);
}

bool register_members(PyObject* module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  return add(module, "Tombstone", create_tombstone_type()) && add(module, "Link", create_link_type()) &&
         add(module, "Database", create_database_type()) &&
         add(module, "open", PyCFunction_NewEx(&open_def, nullptr, module_name.get())) &&
         add(module, "TOMBSTONE", new_tombstone());
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id < 0) return nullptr;
  if (g_module != nullptr) {
    if (id == g_owner_interpreter) return Py_NewRef(g_module);
    PyErr_SetString(PyExc_ImportError,
                    "brindle._brindle does not support subinterpreters: it is already loaded in "
                    "another interpreter of this process");
    return nullptr;
  }
  InterpreterExit::begun.store(false);  // an interpreter initialised again
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module || !register_members(module.get()) || !watch_interpreter_exit()) return nullptr;
  // Fails only when the interpreter's few exit slots are all taken; the
  // module then stays kept, as it would be for a process that never
  // initialises Python again.
  (void)Py_AtExit(forget_module);
  g_owner_interpreter = id;
  g_module = Py_NewRef(module.get());  // kept while the interpreter lives
  return module.release();
}

}  // namespace

}  // namespace brindle::python

PyMODINIT_FUNC PyInit__brindle() { return brindle::python::init_module(); }
