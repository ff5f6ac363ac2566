// The module brindle._tools: the operating tools (inspection, check, repair,
// compaction, dump and load, sync) over a database directory, for the
// package's brindle.tools and command line. Paths arrive as str or bytes
// and are encoded with the file-system encoding; every tool failure raises
// ToolError (a RuntimeError) with the tool's message. A progress callable,
// when given, receives byte counts as work proceeds; an exception it raises
// stops the work and propagates, as does one a signal handler raises (Ctrl-C).
//
// The work runs with the interpreter lock held, like every call into the
// store.
#include "python/py.h"  // first: it may change what the standard headers declare

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/py_ref.h"
#include "tools/examine.h"
#include "tools/rewrite.h"
#include "tools/session_end.h"

namespace brindle::python {

namespace {

using tools::Progress;
using tools::ToolResult;

// Raises ToolError (looked up on the module) unless an exception is set.
PyObject* raise_tool_error(PyObject* module, const std::string& message) {
  if (PyErr_Occurred()) return nullptr;
  PyRef type = PyRef::steal(PyObject_GetAttrString(module, "ToolError"));
  if (!type) return nullptr;
  // Messages carry paths, which need not be UTF-8: their bytes come through
  // as the file-system encoding would give them, not as a decoding error.
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
  if (!text) return nullptr;
  PyErr_SetObject(type.get(), text.get());
  return nullptr;
}

// As the Database's guard: standard exceptions become Python ones, and an
// unwind that is none (a daemon thread ended at exit from inside a callback
// into Python: progress, load's read, dump's write) is let through, since
// stopping it aborts the process.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "brindle._tools: %s", e.what());
    return nullptr;
  }
}

PyObject* text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

bool fs_path(PyObject* object, std::string& out) {
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(object, &bytes)) return false;
  PyRef owned = PyRef::steal(bytes);
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool utf8(PyObject* object, std::string& out) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// None, or a list of str.
bool names(PyObject* object, std::optional<std::vector<std::string>>& out) {
  if (object == Py_None) return true;
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  out.emplace();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!utf8(item.get(), out->emplace_back())) return false;
  }
  return !PyErr_Occurred();
}

// None, or a dict of file name -> length known to frame whole.
bool whole_prefixes(PyObject* object, tools::WholePrefixes& out) {
  if (object == Py_None) return true;
  if (!PyDict_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "known whole lengths must be a dict");
    return false;
  }
  PyObject *name, *length;
  Py_ssize_t at = 0;
  while (PyDict_Next(object, &at, &name, &length)) {
    std::string text;
    if (!utf8(name, text)) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(length);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out[text] = value;
  }
  return true;
}

// Each report also runs the handlers of signals caught meanwhile: the work
// holds the interpreter, which otherwise runs them (Ctrl-C's KeyboardInterrupt
// included) only once the tool has returned, after a rewrite went in and
// whatever a check found was thrown away. A handler that raises stops the work
// as the callable's exception does, with or without a callable.
Progress progress_of(PyObject* callable) {
  if (callable == Py_None) return Progress([](std::uint64_t) { return PyErr_CheckSignals() == 0; });
  return Progress([callable](std::uint64_t bytes) {
    if (PyErr_CheckSignals() != 0) return false;
    PyRef result = PyRef::steal(PyObject_CallFunction(callable, "K", static_cast<unsigned long long>(bytes)));
    return static_cast<bool>(result);
  });
}

PyObject* str_list(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& item : items) {
    PyRef s = PyRef::steal(text(item));
    if (!s || PyList_Append(list.get(), s.get()) != 0) return nullptr;
  }
  return list.release();
}

// A dict built from alternating names and new references (null: failed).
PyObject* dict_of(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  PyRef dict = PyRef::steal(PyDict_New());
  bool ok = static_cast<bool>(dict);
  for (auto [name, value] : items) {
    PyRef owned = PyRef::steal(value);
    if (ok && (!owned || PyDict_SetItemString(dict.get(), name, owned.get()) != 0)) ok = false;
  }
  return ok ? dict.release() : nullptr;
}

PyObject* u64(std::uint64_t n) { return PyLong_FromUnsignedLongLong(n); }

template <class T, class Convert>
PyObject* result_or_raise(PyObject* module, ToolResult<T>&& result, Convert convert) {
  if (!result) return raise_tool_error(module, result.error());
  if (PyErr_Occurred()) return nullptr;
  return convert(*result);
}

PyObject* py_collections(PyObject* module, PyObject* args) {
  PyObject* path;
  std::string root;
  if (!PyArg_ParseTuple(args, "O:collections", &path) || !fs_path(path, root)) return nullptr;
  return guarded([&] { return result_or_raise(module, tools::collection_names(root), str_list); });
}

PyObject* py_keys(PyObject* module, PyObject* args) {
  PyObject *path, *collection;
  std::string root, name;
  if (!PyArg_ParseTuple(args, "OU:keys", &path, &collection) || !fs_path(path, root) || !utf8(collection, name)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    auto done = tools::for_each_key(root, name, [&](std::string_view key) {
      PyRef s = PyRef::steal(text(key));
      return s && PyList_Append(list.get(), s.get()) == 0;
    });
    if (!done) return raise_tool_error(module, done.error());
    if (PyErr_Occurred()) return nullptr;
    return list.release();
  });
}

PyObject* py_count(PyObject* module, PyObject* args) {
  PyObject *path, *collection;
  std::string root, name;
  if (!PyArg_ParseTuple(args, "OU:count", &path, &collection) || !fs_path(path, root) || !utf8(collection, name)) {
    return nullptr;
  }
  return guarded([&] { return result_or_raise(module, tools::count_keys(root, name), u64); });
}

PyObject* py_data_bytes(PyObject* module, PyObject* args) {
  PyObject* path;
  std::string root;
  if (!PyArg_ParseTuple(args, "O:data_bytes", &path) || !fs_path(path, root)) return nullptr;
  return guarded([&] { return result_or_raise(module, tools::data_bytes(root), u64); });
}

PyObject* py_stats(PyObject* module, PyObject* args) {
  PyObject *path, *callback = Py_None;
  std::string root;
  if (!PyArg_ParseTuple(args, "O|O:stats", &path, &callback) || !fs_path(path, root)) return nullptr;
  return guarded([&] {
    Progress progress = progress_of(callback);
    return result_or_raise(module, tools::stats(root, progress), [](const tools::Stats& stats) -> PyObject* {
      PyRef collections = PyRef::steal(PyList_New(0));
      PyRef backlinks = PyRef::steal(PyList_New(0));
      if (!collections || !backlinks) return nullptr;
      for (const auto& c : stats.collections) {
        PyRef item = PyRef::steal(dict_of({{"name", text(c.name)},
                                           {"live_keys", u64(c.live_keys)},
                                           {"records", u64(c.records)},
                                           {"file_size", u64(c.file_size)},
                                           {"dead_bytes", u64(c.dead_bytes)}}));
        if (!item || PyList_Append(collections.get(), item.get()) != 0) return nullptr;
      }
      for (const auto& b : stats.backlinks) {
        PyRef item = PyRef::steal(dict_of({{"name", text(b.name)},
                                           {"entries", u64(b.entries)},
                                           {"records", u64(b.records)},
                                           {"file_size", u64(b.file_size)},
                                           {"dead_bytes", u64(b.dead_bytes)}}));
        if (!item || PyList_Append(backlinks.get(), item.get()) != 0) return nullptr;
      }
      return dict_of({{"collections", collections.release()}, {"backlinks", backlinks.release()}});
    });
  });
}

PyObject* py_check(PyObject* module, PyObject* args) {
  PyObject *path, *callback = Py_None;
  std::string root;
  if (!PyArg_ParseTuple(args, "O|O:check", &path, &callback) || !fs_path(path, root)) return nullptr;
  return guarded([&] {
    Progress progress = progress_of(callback);
    return result_or_raise(module, tools::check(root, progress), [](const tools::CheckReport& r) -> PyObject* {
      PyRef problems = PyRef::steal(PyList_New(0));
      if (!problems) return nullptr;
      for (const auto& p : r.problems) {
        PyRef item = PyRef::steal(dict_of({{"file", text(p.file)},
                                           {"kind", text(p.kind)},
                                           {"offset", u64(p.offset)},
                                           {"detail", text(p.detail)}}));
        if (!item || PyList_Append(problems.get(), item.get()) != 0) return nullptr;
      }
      return dict_of({{"problems", problems.release()},
                      {"undecodable", u64(r.undecodable)},
                      {"missing_backlinks", u64(r.missing)},
                      {"stale_backlinks", u64(r.stale)},
                      {"missing_examples", str_list(r.missing_examples)},
                      {"stale_examples", str_list(r.stale_examples)},
                      {"side_files", str_list(r.side_files)},
                      {"records", u64(r.records)},
                      {"backlink_records", u64(r.backlink_records)}});
    });
  });
}

PyObject* py_get(PyObject* module, PyObject* args) {
  PyObject *path, *collection, *key;
  std::string root, name, key_text;
  if (!PyArg_ParseTuple(args, "OUU:get", &path, &collection, &key) || !fs_path(path, root) ||
      !utf8(collection, name) || !utf8(key, key_text)) {
    return nullptr;
  }
  return guarded([&] {
    return result_or_raise(module, tools::get_json(root, name, key_text),
                           [](const std::optional<std::string>& json) -> PyObject* {
                             if (!json) Py_RETURN_NONE;
                             return text(*json);
                           });
  });
}

PyObject* py_backlinks(PyObject* module, PyObject* args) {
  PyObject *path, *collection, *key;
  std::string root, name, key_text;
  if (!PyArg_ParseTuple(args, "OUU:backlinks", &path, &collection, &key) || !fs_path(path, root) ||
      !utf8(collection, name) || !utf8(key, key_text)) {
    return nullptr;
  }
  return guarded([&] {
    return result_or_raise(module, tools::backlinks_of(root, name, key_text),
                           [](const std::vector<BacklinkEntry>& entries) -> PyObject* {
                             PyRef list = PyRef::steal(PyList_New(0));
                             if (!list) return nullptr;
                             for (const BacklinkEntry& e : entries) {
                               PyRef item = PyRef::steal(dict_of({{"source_collection", text(e.source_collection)},
                                                                  {"source_key", text(e.source_key)},
                                                                  {"source_path", text(e.source_path)}}));
                               if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
                             }
                             return list.release();
                           });
  });
}

PyObject* py_resolve(PyObject* module, PyObject* args) {
  PyObject *path, *collection, *key, *fields;
  std::string root, name, key_text;
  std::optional<std::vector<std::string>> segments;
  if (!PyArg_ParseTuple(args, "OUUO:resolve", &path, &collection, &key, &fields) || !fs_path(path, root) ||
      !utf8(collection, name) || !utf8(key, key_text) || !names(fields, segments)) {
    return nullptr;
  }
  if (!segments) segments.emplace();
  return guarded([&] {
    return result_or_raise(module, tools::resolve_json(root, name, key_text, *segments),
                           [](const std::string& json) { return text(json); });
  });
}

PyObject* py_dump(PyObject* module, PyObject* args) {
  PyObject *path, *which, *write, *callback = Py_None;
  std::string root;
  std::optional<std::vector<std::string>> collections;
  if (!PyArg_ParseTuple(args, "OOO|O:dump", &path, &which, &write, &callback) || !fs_path(path, root) ||
      !names(which, collections)) {
    return nullptr;
  }
  return guarded([&] {
    Progress progress = progress_of(callback);
    // A write that answers with a count may have taken part of the chunk:
    // the rest is offered again, and one that takes nothing is an error, not
    // a dump cut short without a word. Any other answer (None from a plain
    // callable) means the whole chunk.
    auto sink = [write](std::string_view chunk) {
      while (!chunk.empty()) {
        PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(chunk.data(), static_cast<Py_ssize_t>(chunk.size())));
        if (!bytes) return false;
        PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(write, bytes.get(), nullptr));
        if (!result) return false;
        // True is an int too, but no count.
        if (!PyLong_Check(result.get()) || PyBool_Check(result.get())) return true;
        const long long taken = PyLong_AsLongLong(result.get());
        if (taken < 0 && PyErr_Occurred()) return false;
        if (taken <= 0) {
          PyErr_SetString(PyExc_OSError, "dump: the output stream took no bytes");
          return false;
        }
        if (static_cast<unsigned long long>(taken) > chunk.size()) {
          PyErr_SetString(PyExc_OSError, "dump: the output stream took more bytes than it was given");
          return false;
        }
        chunk.remove_prefix(static_cast<std::size_t>(taken));
      }
      return true;
    };
    return result_or_raise(module, tools::dump(root, collections, sink, progress), u64);
  });
}

PyObject* py_load(PyObject* module, PyObject* args) {
  PyObject *path, *read, *callback = Py_None;
  std::string root;
  if (!PyArg_ParseTuple(args, "OO|O:load", &path, &read, &callback) || !fs_path(path, root)) return nullptr;
  return guarded([&] {
    Progress progress = progress_of(callback);
    auto source = [read](std::string& chunk) -> ToolResult<bool> {
      PyRef data = PyRef::steal(PyObject_CallFunction(read, "n", static_cast<Py_ssize_t>(1 << 20)));
      if (!data) return tools::tool_failure("reading the dump failed");
      char* bytes;
      Py_ssize_t size;
      if (PyBytes_AsStringAndSize(data.get(), &bytes, &size) != 0) return tools::tool_failure("read() must return bytes");
      chunk.assign(bytes, static_cast<std::size_t>(size));
      return size > 0;
    };
    return result_or_raise(module, tools::load(root, source, progress), u64);
  });
}

PyObject* py_compact(PyObject* module, PyObject* args) {
  PyObject *path, *which = Py_None, *callback = Py_None;
  std::string root;
  std::optional<std::vector<std::string>> collections;
  if (!PyArg_ParseTuple(args, "O|OO:compact", &path, &which, &callback) || !fs_path(path, root) ||
      !names(which, collections)) {
    return nullptr;
  }
  return guarded([&] {
    Progress progress = progress_of(callback);
    return result_or_raise(module, tools::compact(root, collections, progress), u64);
  });
}

PyObject* py_move_torn_tails(PyObject* module, PyObject* args) {
  PyObject *path, *known_arg = Py_None, *floors_arg = Py_None;
  std::string root;
  tools::WholePrefixes known, floors;
  if (!PyArg_ParseTuple(args, "O|OO:move_torn_tails", &path, &known_arg, &floors_arg) || !fs_path(path, root) ||
      !whole_prefixes(known_arg, known) || !whole_prefixes(floors_arg, floors)) {
    return nullptr;
  }
  return guarded([&] {
    return result_or_raise(module, tools::move_torn_tails(root, known, floors),
                           [](const std::vector<tools::TornTail>& tails) -> PyObject* {
                             PyRef list = PyRef::steal(PyList_New(0));
                             if (!list) return nullptr;
                             for (const auto& t : tails) {
                               PyRef item = PyRef::steal(dict_of({{"file", text(t.file)},
                                                                  {"side_file", text(t.side_file)},
                                                                  {"offset", u64(t.offset)},
                                                                  {"bytes", u64(t.bytes)}}));
                               if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
                             }
                             return list.release();
                           });
  });
}

PyObject* py_rebuild_backlinks(PyObject* module, PyObject* args) {
  PyObject *path, *callback = Py_None;
  std::string root;
  if (!PyArg_ParseTuple(args, "O|O:rebuild_backlinks", &path, &callback) || !fs_path(path, root)) return nullptr;
  return guarded([&] {
    Progress progress = progress_of(callback);
    return result_or_raise(module, tools::rebuild_backlinks(root, progress), [](const tools::Rebuilt& r) {
      return dict_of({{"files", u64(r.files)},
                      {"entries", u64(r.entries)},
                      {"skipped_records", u64(r.skipped_records)}});
    });
  });
}

PyObject* py_whole_files(PyObject* module, PyObject* args) {
  PyObject *path, *known_arg;
  std::string root;
  tools::WholePrefixes known;
  if (!PyArg_ParseTuple(args, "OO:whole_files", &path, &known_arg) || !fs_path(path, root) ||
      !whole_prefixes(known_arg, known)) {
    return nullptr;
  }
  return guarded([&] { return result_or_raise(module, tools::whole_files(root, known), str_list); });
}

PyObject* py_remove_leftovers(PyObject* module, PyObject* args) {
  PyObject* path;
  std::string root;
  if (!PyArg_ParseTuple(args, "O:remove_leftovers", &path) || !fs_path(path, root)) return nullptr;
  return guarded([&] { return result_or_raise(module, tools::remove_leftovers(root), str_list); });
}

PyObject* py_sync(PyObject* module, PyObject* args) {
  PyObject* path;
  std::string root;
  if (!PyArg_ParseTuple(args, "O:sync", &path) || !fs_path(path, root)) return nullptr;
  return guarded([&]() -> PyObject* {
    if (auto synced = tools::sync_database(root); !synced) return raise_tool_error(module, synced.error());
    Py_RETURN_NONE;
  });
}

// Sessions the package's exit handler left to end after the interpreter's
// cleanup. Py_AtExit takes a function without context, so this list is the
// module's one piece of process-wide state.
std::vector<tools::PendingSessionEnd>& sessions_to_end() {
  static std::vector<tools::PendingSessionEnd> sessions;
  return sessions;
}

void end_sessions_after_cleanup() {
  for (const tools::PendingSessionEnd& session : sessions_to_end()) tools::end_session(session);
}

// A child made by fork lets go of its copies of the users locks: the
// parent's end of the session takes the shared lock exclusively, and a copy
// kept alive in the child would hold it so, every other opener waiting for
// as long as the child lives. The child's copies of the sessions are not its
// own to end (see end_session), so only the descriptors go.
void close_copies_in_child() {
  for (tools::PendingSessionEnd& session : sessions_to_end()) {
    if (session.users_fd >= 0) ::close(session.users_fd);
    session.users_fd = -1;
  }
}

PyObject* py_end_session_after_cleanup(PyObject*, PyObject* args) {
  PyObject *root_arg, *lock_arg, *marker_arg, *token_arg;
  int users_fd;
  tools::PendingSessionEnd session;
  if (!PyArg_ParseTuple(args, "OOOUi:end_session_after_cleanup", &root_arg, &lock_arg, &marker_arg, &token_arg,
                        &users_fd) ||
      !fs_path(root_arg, session.root) || !fs_path(lock_arg, session.lock_path) ||
      !fs_path(marker_arg, session.marker_path) || !utf8(token_arg, session.token)) {
    return nullptr;
  }
  session.owner = ::getpid();
  return guarded([&]() -> PyObject* {
    auto& sessions = sessions_to_end();
    sessions.reserve(sessions.size() + 1);
    // False when the interpreter's table of exit functions is full: the
    // caller then ends the session itself. Registered once, whatever fails
    // after it: a second registration would end each session twice (the
    // fork handler may come twice; it does the same again).
    static bool registered = false;
    if (!registered) {
      if (::pthread_atfork(nullptr, nullptr, close_copies_in_child) != 0 ||
          Py_AtExit(end_sessions_after_cleanup) != 0) {
        Py_RETURN_FALSE;
      }
      registered = true;
    }
    // A copy of the descriptor, which holds the same lock: the caller
    // closes its own whatever happens, so no signal between this return and
    // the caller's next step can leave a descriptor with two owners.
    session.users_fd = ::fcntl(users_fd, F_DUPFD_CLOEXEC, 0);
    if (session.users_fd < 0) Py_RETURN_FALSE;
    sessions.push_back(std::move(session));
    Py_RETURN_TRUE;
  });
}

#define TOOL(name, doc) {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_##name)), METH_VARARGS, doc}

PyMethodDef methods[] = {
    TOOL(collections, "collections(path) -> list[str]"),
    TOOL(keys, "keys(path, collection) -> list[str]"),
    TOOL(count, "count(path, collection) -> int"),
    TOOL(data_bytes, "data_bytes(path) -> int"),
    TOOL(stats, "stats(path, progress=None) -> dict"),
    TOOL(check, "check(path, progress=None) -> dict"),
    TOOL(get, "get(path, collection, key) -> str | None"),
    TOOL(backlinks, "backlinks(path, collection, key) -> list[dict]"),
    TOOL(resolve, "resolve(path, collection, key, fields) -> str"),
    TOOL(dump, "dump(path, collections, write, progress=None) -> int"),
    TOOL(load, "load(path, read, progress=None) -> int"),
    TOOL(compact, "compact(path, collections=None, progress=None) -> int"),
    TOOL(move_torn_tails, "move_torn_tails(path, known_whole=None, floors=None) -> list[dict]"),
    TOOL(whole_files, "whole_files(path, known_whole) -> list[str]"),
    TOOL(rebuild_backlinks, "rebuild_backlinks(path, progress=None) -> dict"),
    TOOL(remove_leftovers, "remove_leftovers(path) -> list[str]"),
    TOOL(sync, "sync(path) -> None"),
    TOOL(end_session_after_cleanup, "end_session_after_cleanup(root, lock, marker, token, users_fd) -> bool"),
    {nullptr, nullptr, 0, nullptr},
};
#undef TOOL

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tools", "The operating tools of brindle (internal).", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef error = PyRef::steal(PyErr_NewException("brindle._tools.ToolError", PyExc_RuntimeError, nullptr));
  if (!error || PyModule_AddObjectRef(module.get(), "ToolError", error.get()) != 0) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace brindle::python

PyMODINIT_FUNC PyInit__tools() { return brindle::python::init_module(); }
