#include "python/py.h"  // first: it may change what the standard headers declare

#include "python/convert.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "codec/decoder.h"
#include "python/arguments.h"
#include "python/py_ref.h"
#include "python/classes.h"

namespace brindle::python {

namespace {

// Py_EnterRecursiveCall / Py_LeaveRecursiveCall as a scope.
class RecursionGuard {
 public:
  RecursionGuard() : entered_(Py_EnterRecursiveCall(" while converting a value") == 0) {}
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_;
};

bool refuse_too_deep() {
  PyErr_Format(PyExc_ValueError, "value is nested too deeply (more than %zu levels of lists, dicts and links)",
               kMaxNesting);
  return false;
}

bool convert(PyObject* obj, std::size_t level, Value& out);

bool convert_list(PyObject* list, std::size_t level, Value& out) {
  Array array;
  array.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(PyList_Size(list), 0)));
  // Re-read the length each step: finalisers run by conversions may shrink
  // the list.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item) return false;
    Value element;
    if (!convert(item.get(), level + 1, element)) return false;
    array.push_back(std::move(element));
  }
  out = Value(std::move(array));
  return true;
}

bool raise_unsupported(PyObject* obj) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "cannot convert %S to a Brindle value", name.get());
  return false;
}

bool convert(PyObject* obj, std::size_t level, Value& out) {
  if (obj == Py_None) {
    out = Value();
    return true;
  }
  if (is_tombstone(obj)) {
    out = Value(Tombstone{});
    return true;
  }
  if (is_link(obj)) {
    if (level + link_nesting_of(obj) > kMaxNesting) return refuse_too_deep();
    out = Value(link_of(obj));
    return true;
  }
  if (Py_IS_TYPE(obj, &PyBool_Type)) {
    out = Value(obj == Py_True);
    return true;
  }
  if (PyLong_Check(obj)) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = Value(static_cast<std::int64_t>(v));
    return true;
  }
  if (PyFloat_Check(obj)) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = Value(v);
    return true;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    out = Value(std::string(text, static_cast<std::size_t>(size)));
    return true;
  }
  if (PyBytes_Check(obj)) {
    char* bytes;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(obj, &bytes, &size) != 0) return false;
    out = Value(Blob{std::string(bytes, static_cast<std::size_t>(size))});
    return true;
  }
  const bool list = PyList_Check(obj);
  if (!list && !PyDict_Check(obj)) return raise_unsupported(obj);
  if (level >= kMaxNesting) return refuse_too_deep();
  RecursionGuard guard;
  if (!guard.entered()) return false;
  if (list) return convert_list(obj, level, out);
  TextMap map;
  if (!py_dict_to_map_at(obj, level + 1, map)) return false;
  out = Value(std::move(map));
  return true;
}

}  // namespace

bool py_to_value(PyObject* obj, Value& out) { return convert(obj, 0, out); }

bool py_dict_to_map_at(PyObject* dict, std::size_t level, TextMap& out) {
  TextMap map;
  map.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(PyDict_Size(dict), 0)));
  Py_ssize_t pos = 0;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  while (PyDict_Next(dict, &pos, &borrowed_key, &borrowed_value)) {
    // Hold both: a finaliser run by a conversion may change the dict.
    PyRef key = PyRef::borrow(borrowed_key);
    PyRef item = PyRef::borrow(borrowed_value);
    std::string_view key_text;
    if (!extract_text(key.get(), key_text)) return false;
    Value value;
    if (!convert(item.get(), level, value)) return false;
    map.insert_or_assign(std::string(key_text), std::move(value));
  }
  out = std::move(map);
  return true;
}

namespace {

bool set_item(PyObject* dict, const std::string& key, Value&& value) {
  PyRef key_object = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  if (!key_object) return false;
  PyRef item = PyRef::steal(value_to_py(std::move(value)));
  if (!item) return false;
  return PyDict_SetItem(dict, key_object.get(), item.get()) == 0;
}

struct ToPython {
  PyObject* operator()(Null&) { Py_RETURN_NONE; }
  PyObject* operator()(Tombstone&) { return new_tombstone(); }
  PyObject* operator()(bool b) { return PyBool_FromLong(b); }
  PyObject* operator()(std::int64_t i) { return PyLong_FromLongLong(i); }
  PyObject* operator()(double d) { return PyFloat_FromDouble(d); }
  PyObject* operator()(std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }
  PyObject* operator()(Blob& blob) {
    return PyBytes_FromStringAndSize(blob.bytes.data(), static_cast<Py_ssize_t>(blob.bytes.size()));
  }
  PyObject* operator()(Date& d) { return PyLong_FromUnsignedLongLong(d.value); }
  PyObject* operator()(Time& t) { return PyLong_FromUnsignedLongLong(t.value); }
  PyObject* operator()(DateTime& d) { return PyLong_FromUnsignedLongLong(d.value); }
  PyObject* operator()(Array& array) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(array.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < array.size(); ++i) {
      PyObject* item = value_to_py(std::move(array[i]));
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  }
  PyObject* operator()(TextMap& map) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (MapEntry& entry : map) {
      if (!set_item(dict.get(), entry.key, std::move(entry.value))) return nullptr;
    }
    return dict.release();
  }
  PyObject* operator()(Link& link) { return new_link(std::move(link)); }
};

}  // namespace

PyObject* value_to_py(Value&& value) {
  Value owned = std::move(value);
  return std::visit(ToPython{}, owned.data());
}

namespace {

// Builds Python objects for the decoder, as ToPython converts values.
struct PySink {
  using Item = PyRef;
  using List = PyRef;
  using Map = PyRef;

  static bool ok(const PyRef& object) noexcept { return static_cast<bool>(object); }

  static PyRef null() { return PyRef::borrow(Py_None); }
  static PyRef tombstone() { return PyRef::steal(new_tombstone()); }
  static PyRef boolean(bool b) { return PyRef::steal(PyBool_FromLong(b)); }
  static PyRef integer(std::int64_t i) { return PyRef::steal(PyLong_FromLongLong(i)); }
  static PyRef real(double d) { return PyRef::steal(PyFloat_FromDouble(d)); }
  static PyRef date(std::uint32_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }
  static PyRef time(std::uint32_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }
  static PyRef date_time(std::uint64_t v) { return PyRef::steal(PyLong_FromUnsignedLongLong(v)); }
  static PyRef text(std::string_view t) {
    return PyRef::steal(PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())));
  }
  static PyRef blob(std::string_view b) {
    return PyRef::steal(PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size())));
  }
  static PyRef link(std::string_view path, TextMap&& local) {
    return PyRef::steal(new_link(Link{std::string(path), std::move(local)}));
  }

  // The list is made with its final length when the encoding can hold that
  // many elements; an encoding that claims more fails before it ends.
  static PyRef list(std::size_t reserve) { return PyRef::steal(PyList_New(static_cast<Py_ssize_t>(reserve))); }
  static bool append(PyRef& list, std::size_t index, PyRef&& item) {
    if (static_cast<Py_ssize_t>(index) < PyList_Size(list.get())) {
      return PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), item.release()) == 0;  // steals item
    }
    return PyList_Append(list.get(), item.get()) == 0;
  }
  static PyRef finish(PyRef&& container) { return std::move(container); }

  static PyRef map(std::size_t) { return PyRef::steal(PyDict_New()); }
  bool insert(PyRef& dict, std::string_view key, PyRef&& item) {
    PyRef key_object = keys.get(key);
    return key_object && PyDict_SetItem(dict.get(), key_object.get(), item.get()) == 0;
  }

  static PyRef failed() { return PyRef(); }

  KeyCache& keys;
};

}  // namespace

PyRef KeyCache::get(std::string_view key) {
  if (key.size() > kMaxKeySize) return PySink::text(key);
  // Length and the two end bytes tell field names apart well enough.
  std::size_t h = key.size() * 31;
  if (!key.empty()) h += static_cast<unsigned char>(key.front()) * 7 + static_cast<unsigned char>(key.back());
  Slot& slot = slots_[h % kSlots];
  if (slot.object && slot.bytes == key) return PyRef::borrow(slot.object.get());
  PyRef object = PySink::text(key);
  if (!object) return object;
  // Making a str runs no Python code, so the slot is still ours to fill.
  slot.bytes.assign(key);
  slot.object = PyRef::borrow(object.get());
  return object;
}

std::expected<PyRef, CodecError> decode_to_py(std::string_view encoded, KeyCache& keys) {
  PySink sink{keys};
  std::size_t pos = 0;
  return decode_into(sink, encoded, pos);
}

PyObject* map_to_py(const TextMap& map) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const MapEntry& entry : map) {
    if (!set_item(dict.get(), entry.key, Value(entry.value))) return nullptr;
  }
  return dict.release();
}

std::size_t nesting_depth(const Value& value) {
  std::size_t deepest = 0;
  if (const Array* array = value.get_if<Array>()) {
    for (const Value& element : *array) deepest = std::max(deepest, nesting_depth(element));
  } else if (const TextMap* map = value.get_if<TextMap>()) {
    for (const MapEntry& entry : *map) deepest = std::max(deepest, nesting_depth(entry.value));
  } else if (const Link* link = value.get_if<Link>()) {
    for (const MapEntry& entry : link->local) deepest = std::max(deepest, nesting_depth(entry.value));
  } else {
    return 0;
  }
  return deepest + 1;
}

}  // namespace brindle::python

