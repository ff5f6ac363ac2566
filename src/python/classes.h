// The module's classes. Each type object is created once, by its create_*
// function during module initialisation, and lives for the process.
#pragma once

#include "python/py.h"  // first: it may change what the standard headers declare

#include <cstddef>

#include "types/value.h"

namespace brindle::python {

// Each returns a new reference to the created type, or null.
PyObject* create_tombstone_type();
PyObject* create_link_type();
PyObject* create_database_type();

// A new Tombstone instance, or null.
PyObject* new_tombstone();
bool is_tombstone(PyObject* obj);

// A new Link holding link, or null.
PyObject* new_link(Link&& link);
bool is_link(PyObject* obj);
// The link held by a Link instance.
const Link& link_of(PyObject* obj);
// nesting_depth of the held link, computed once at creation.
std::size_t link_nesting_of(PyObject* obj);

// The module function open(path).
PyObject* open_database(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brindle::python
