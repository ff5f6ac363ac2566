// class Link(path, local=None): the Python face of a link value. Immutable;
// compares and hashes by identity.
#include "python/py.h"  // first: it may change what the standard headers declare

#include <array>
#include <new>
#include <string>

#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/heap_type.h"
#include "python/classes.h"
#include "types/debug_string.h"

namespace brindle::python {

namespace {

struct LinkObject {
  PyObject_HEAD
  Link link;
  std::size_t nesting;
};

PyTypeObject* g_link_type = nullptr;

LinkObject* as_link(PyObject* obj) { return reinterpret_cast<LinkObject*>(obj); }

PyObject* make_link(PyTypeObject* type, Link&& link) {
  std::size_t nesting = 1;
  for (const MapEntry& entry : link.local) nesting = std::max(nesting, nesting_depth(entry.value) + 1);
  PyObject* obj = alloc_instance(type);
  if (obj == nullptr) return nullptr;
  // The allocator returns zeroed memory; construct the C++ members in it.
  new (&as_link(obj)->link) Link(std::move(link));
  as_link(obj)->nesting = nesting;
  return obj;
}

constexpr std::array<const char*, 2> kLinkParameters = {"path", "local"};
constexpr Signature kLinkSignature = {"Link.__new__()", kLinkParameters, 1};

PyObject* link_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded("Link.__new__()", [&]() -> PyObject* {
    std::array<PyObject*, 2> bound;
    if (!bind_tuple(kLinkSignature, args, kwargs, bound)) return nullptr;
    std::string_view path;
    if (!extract_text_argument(bound[0], "path", path)) return nullptr;
    TextMap local;
    PyObject* local_arg = bound[1];
    if (local_arg != nullptr && local_arg != Py_None) {
      if (!PyDict_Check(local_arg)) {
        raise_cannot_convert(local_arg, "PyDict");
        prefix_argument_error("local");
        return nullptr;
      }
      // Failures inside the dict are raised as they come, without a prefix.
      if (!py_dict_to_map_at(local_arg, 1, local)) return nullptr;
    }
    return make_link(type, Link{std::string(path), std::move(local)});
  });
}

void link_dealloc(PyObject* self) {
  as_link(self)->link.~Link();
  free_instance(self);
}

PyObject* link_repr(PyObject* self) {
  return guarded("Link.__repr__()", [&]() -> PyObject* {
    const Link& link = as_link(self)->link;
    std::string text = "Link(" + quote_text(link.path) + (link.local.empty() ? ")" : ", local={...})");
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* link_get_path(PyObject* self, void*) {
  const std::string& path = as_link(self)->link.path;
  return PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

PyObject* link_get_local(PyObject* self, void*) {
  return guarded("Link.local", [&] { return map_to_py(as_link(self)->link.local); });
}

PyGetSetDef link_getset[] = {
    {"path", link_get_path, nullptr, nullptr, nullptr},
    {"local", link_get_local, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot link_slots[] = {
    {Py_tp_doc, const_cast<char*>("Link(path, local=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(link_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(link_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(link_repr)},
    {Py_tp_getset, link_getset},
    {0, nullptr},
};

PyType_Spec link_spec = {
    "brindle._brindle.Link",
    static_cast<int>(sizeof(LinkObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    link_slots,
};

}  // namespace

PyObject* create_link_type() {
  return create_heap_type(link_spec, g_link_type);
}

PyObject* new_link(Link&& link) { return make_link(g_link_type, std::move(link)); }

bool is_link(PyObject* obj) { return Py_IS_TYPE(obj, g_link_type); }

const Link& link_of(PyObject* obj) { return as_link(obj)->link; }

std::size_t link_nesting_of(PyObject* obj) { return as_link(obj)->nesting; }

}  // namespace brindle::python
