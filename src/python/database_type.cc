// class Database and the module function open(path).
//
// A Database object holds one shared handle to a cell: the core database and
// the mutex that guards it. Every method binds and converts its arguments,
// takes the mutex, makes its core call(s), releases the mutex and then
// converts the result or raises by the error table.
//
// Python code runs while a method holds the mutex only in one place: the
// name lookup of a type whose value set_many refuses, which a metaclass can
// make run anything (collections, whose finalisers could run anything too,
// are held off meanwhile). If that code calls back into the same Database on
// the same thread, the call raises RuntimeError instead of deadlocking; a
// call from another thread (possible only when such code released the
// interpreter lock) waits for the mutex with the interpreter lock released,
// so such code must not wait for that thread.
#include "python/py.h"  // first: it may change what the standard headers declare

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/database.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/heap_type.h"
#include "python/classes.h"
#include "resolver/resolver.h"
#include "types/debug_string.h"
#include "types/short_bytes.h"

namespace brindle::python {

namespace {

struct DatabaseCell {
  explicit DatabaseCell(Database database) : db(std::move(database)) {}
  std::mutex mutex;
  std::atomic<std::thread::id> owner{};  // the thread holding mutex, if any
  Database db;
  KeyCache keys;  // used with the interpreter lock held, not the mutex
  EncodedWrite scratch;  // likewise; see ScratchLease
};

struct DatabaseObject {
  PyObject_HEAD
  std::shared_ptr<DatabaseCell> cell;
};

PyTypeObject* g_database_type = nullptr;

DatabaseCell& cell_of(PyObject* self) { return *reinterpret_cast<DatabaseObject*>(self)->cell; }

// Holds a cell's mutex for one method call.
class CellLock {
 public:
  // Takes the mutex, or returns nullopt with RuntimeError set when this
  // thread already holds it.
  static std::optional<CellLock> acquire(DatabaseCell& cell) {
    const std::thread::id me = std::this_thread::get_id();
    if (!cell.mutex.try_lock()) {
      if (cell.owner.load() == me) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Database is already in use by a call on this thread; it cannot be "
                        "used again until that call returns");
        return std::nullopt;
      }
      PyThreadState* saved = PyEval_SaveThread();
      // Held through a unique_lock until the interpreter lock is back: a
      // daemon thread the interpreter ends at exit unwinds out of
      // RestoreThread, and must not leave the mutex locked behind it.
      std::unique_lock held(cell.mutex);
      PyEval_RestoreThread(saved);
      held.release();
    }
    cell.owner.store(me);
    return CellLock(cell);
  }

  CellLock(CellLock&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
  CellLock& operator=(CellLock&&) = delete;
  ~CellLock() { release(); }

  void release() {
    if (cell_ == nullptr) return;
    cell_->owner.store(std::thread::id{});
    cell_->mutex.unlock();
    cell_ = nullptr;
  }

  Database& db() { return cell_->db; }

 private:
  explicit CellLock(DatabaseCell& cell) : cell_(&cell) {}
  DatabaseCell* cell_;
};

PyObject* none() { Py_RETURN_NONE; }

// Lends a cell's conversion buffers to one call, so that its writes reuse
// them. Code run by a conversion that writes to the same database finds them
// lent and gets fresh ones.
class ScratchLease {
 public:
  explicit ScratchLease(DatabaseCell& cell) : cell_(cell), write_(std::move(cell.scratch)) {}
  ~ScratchLease() {
    // A huge value's buffer is not kept.
    if (write_.bytes.capacity() <= kKeepLimit) cell_.scratch = std::move(write_);
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  EncodedWrite& get() noexcept { return write_; }

 private:
  static constexpr std::size_t kKeepLimit = 256 * 1024;
  DatabaseCell& cell_;
  EncodedWrite write_;
};

StorageResult<void> set_encoded(Database& db, std::string_view collection, std::string_view key,
                                const EncodedWrite& value) {
  return db.set(collection, key, Collection::EncodedValue{value.bytes, value.status, value.may_hold_links},
                value.links);
}

// Keeps the collector from running for as long as it lives. set_many holds
// the database while it converts; an element that fails there makes an
// exception, which inside an except block allocates enough to run a
// collection, and a finaliser run then that waited for a thread waiting for
// the database would hang both.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_ && may_use_interpreter()) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

// --- argument signatures ---------------------------------------------------

constexpr std::array<const char*, 2> kCollectionKey = {"collection", "key"};
constexpr std::array<const char*, 3> kCollectionKeyValue = {"collection", "key", "value"};
constexpr std::array<const char*, 3> kCollectionKeyPath = {"collection", "key", "path"};
constexpr std::array<const char*, 1> kOps = {"ops"};
constexpr std::array<const char*, 1> kPath = {"path"};

constexpr Signature kGet = {"Database.get()", kCollectionKey, 2};
constexpr Signature kSet = {"Database.set()", kCollectionKeyValue, 3};
constexpr Signature kSetMany = {"Database.set_many()", kOps, 1};
constexpr Signature kDelete = {"Database.delete()", kCollectionKey, 2};
constexpr Signature kResolve = {"Database.resolve()", kCollectionKeyPath, 3};
constexpr Signature kBacklinks = {"Database.backlinks()", kCollectionKey, 2};
constexpr Signature kOpen = {"open()", kPath, 1};

// Binds (collection, key, ...) and converts the two texts.
template <std::size_t N>
bool bind_record(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::array<PyObject*, N>& bound, std::string_view& collection, std::string_view& key) {
  return bind_fast(sig, args, nargs, kwnames, bound) &&
         extract_text_argument(bound[0], "collection", collection) &&
         extract_text_argument(bound[1], "key", key);
}

// --- methods ---------------------------------------------------------------

PyObject* db_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded("Database.get()", [&]() -> PyObject* {
    std::array<PyObject*, 2> bound;
    std::string_view collection, key;
    if (!bind_record(kGet, args, nargs, kwnames, bound, collection, key)) return nullptr;
    auto lock = CellLock::acquire(cell_of(self));
    if (!lock) return nullptr;
    Collection::ReadBuffer buffer;
    auto encoded = lock->db().get_encoded(collection, key, buffer);
    // Decoded outside the lock: building Python objects can run Python code.
    lock->release();
    if (!encoded) return raise_storage_error(encoded.error(), Operation::Get);
    auto value = decode_to_py(*encoded, cell_of(self).keys);
    if (!value) return raise_storage_error(value.error(), Operation::Get);
    return value->release();
  });
}

// Makes one write, write(database), under the lock.
template <class Write>
PyObject* write_one(PyObject* self, Write&& write) {
  auto lock = CellLock::acquire(cell_of(self));
  if (!lock) return nullptr;
  auto written = write(lock->db());
  lock->release();
  if (!written) return raise_storage_error(written.error(), Operation::Other);
  return none();
}

PyObject* db_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded("Database.set()", [&]() -> PyObject* {
    std::array<PyObject*, 3> bound;
    std::string_view collection, key;
    if (!bind_record(kSet, args, nargs, kwnames, bound, collection, key)) return nullptr;
    ScratchLease scratch(cell_of(self));
    EncodedWrite& value = scratch.get();
    if (!py_to_encoded(bound[2], value)) return nullptr;
    return write_one(self, [&](Database& db) { return set_encoded(db, collection, key, value); });
  });
}

PyObject* db_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded("Database.delete()", [&]() -> PyObject* {
    std::array<PyObject*, 2> bound;
    std::string_view collection, key;
    if (!bind_record(kDelete, args, nargs, kwnames, bound, collection, key)) return nullptr;
    return write_one(self, [&](Database& db) { return db.set(collection, key, Value(Tombstone{})); });
  });
}

// One element of set_many: converts and writes it. Returns false with an
// exception set, or with *storage_error filled for a failed write (raised
// once the lock is released).
bool write_element(Database& db, PyObject* element, EncodedWrite& value,
                   std::optional<StorageError>& storage_error) {
  if (!PyTuple_Check(element)) {
    PyErr_SetString(PyExc_TypeError, "set_many: expected list of (col, key, value) tuples");
    return false;
  }
  std::string_view collection, key;
  PyObject* item = PyTuple_GetItem(element, 0);
  if (item == nullptr || !extract_text(item, collection)) return false;
  item = PyTuple_GetItem(element, 1);
  if (item == nullptr || !extract_text(item, key)) return false;
  item = PyTuple_GetItem(element, 2);
  if (item == nullptr) return false;
  if (!py_to_encoded(item, value)) return false;
  if (auto written = set_encoded(db, collection, key, value); !written) {
    storage_error = std::move(written.error());
    return false;
  }
  return true;
}

// Asks for the index place of the element after the one being written, so
// that on a large index its cache miss overlaps this element's work. Only a
// hint: an element that is not a (str, str, ...) tuple is left for the write
// to refuse, and no error is left behind.
void prefetch_element(Database& db, PyObject* ops, Py_ssize_t i) {
  if (i >= PyList_Size(ops)) return;
  PyObject* element = PyList_GetItem(ops, i);
  if (element == nullptr || !PyTuple_Check(element) || PyTuple_Size(element) < 2) return;
  PyObject* collection_text = PyTuple_GetItem(element, 0);
  PyObject* key_text = PyTuple_GetItem(element, 1);
  if (!PyUnicode_Check(collection_text) || !PyUnicode_Check(key_text)) return;
  Py_ssize_t collection_size, key_size;
  const char* collection = PyUnicode_AsUTF8AndSize(collection_text, &collection_size);
  const char* key = collection == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(key_text, &key_size);
  if (key == nullptr) {
    PyErr_Clear();  // a lone surrogate, say: the write reports it
    return;
  }
  db.prefetch(std::string_view(collection, static_cast<std::size_t>(collection_size)),
              std::string_view(key, static_cast<std::size_t>(key_size)));
}

PyObject* db_set_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded("Database.set_many()", [&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    if (!bind_fast(kSetMany, args, nargs, kwnames, bound)) return nullptr;
    PyObject* ops = bound[0];
    if (!PyList_Check(ops)) {
      raise_cannot_convert(ops, "PyList");
      prefix_argument_error("ops");
      return nullptr;
    }
    auto lock = CellLock::acquire(cell_of(self));
    if (!lock) return nullptr;
    // After the lock, so that a wait for it does not hold off collections;
    // ended before the lock is let go on success, and no Python code runs
    // in between.
    CollectorPause no_collection;
    std::optional<StorageError> storage_error;
    ScratchLease scratch(cell_of(self));
    const Py_ssize_t initial_length = PyList_Size(ops);
    // Decided once per call: on small indexes the look-ahead costs more than
    // the cache misses it would hide.
    const bool look_ahead = lock->db().any_index_outgrows_caches();
    for (Py_ssize_t i = 0; i < std::min(initial_length, PyList_Size(ops)); ++i) {
      // Hold the element: conversions may run code that changes the list.
      PyRef element = PyRef::borrow(PyList_GetItem(ops, i));
      if (element && look_ahead) prefetch_element(lock->db(), ops, i + 1);
      if (!element || !write_element(lock->db(), element.get(), scratch.get(), storage_error)) {
        lock->release();
        if (storage_error) return raise_storage_error(*storage_error, Operation::Other);
        return nullptr;
      }
    }
    return none();
  });
}

bool extract_path(PyObject* path, std::pmr::vector<std::string>& out) {
  if (PyUnicode_Check(path)) {
    PyErr_SetString(PyExc_TypeError, "argument 'path': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(path)) {
    raise_cannot_convert(path, "Sequence");
    prefix_argument_error("path");
    return false;
  }
  // Only a hint, and a sequence's length can lie: reserving what it claims
  // turned a claimed 2**62 into a SystemError.
  Py_ssize_t hint = PySequence_Size(path);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 64)));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(path));
  if (!iterator) {
    prefix_argument_error("path");
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    std::string_view segment;
    if (!extract_text(item.get(), segment)) {
      prefix_argument_error("path");
      return false;
    }
    out.emplace_back(segment);
  }
  if (PyErr_Occurred()) {
    prefix_argument_error("path");
    return false;
  }
  return true;
}

PyObject* db_resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded("Database.resolve()", [&]() -> PyObject* {
    std::array<PyObject*, 3> bound;
    std::string_view collection, key;
    if (!bind_record(kResolve, args, nargs, kwnames, bound, collection, key)) return nullptr;
    // Paths are short: their segments live on the stack unless they are many.
    std::array<std::byte, 1024> path_memory;
    std::pmr::monotonic_buffer_resource path_arena(path_memory.data(), path_memory.size());
    std::pmr::vector<std::string> path(&path_arena);
    if (!extract_path(bound[2], path)) return nullptr;
    auto lock = CellLock::acquire(cell_of(self));
    if (!lock) return nullptr;
    Resolver resolver(lock->db());
    auto found = resolver.get_field(collection, key, path);
    // Converted after the lock is let go, as get and backlinks do: building
    // a large result runs the collector, and a finaliser that waits for a
    // thread waiting for this database would otherwise hang both.
    lock->release();
    if (!found) return raise_resolve_error(found.error());
    return value_to_py(std::move(*found));
  });
}

// Builds the dicts of backlink entries. The entries of one target mostly
// share their source collection and path, so each dict is a copy of a
// template holding those two (remade when they change) with only the key
// set: copying a small dict costs less than filling a new one.
class EntryDicts {
 public:
  bool ok() const { return source_collection_ && source_key_ && source_path_; }

  // The views must stay valid until the next call: the snapshot's collection
  // names are compared by address, as each name is held once.
  PyObject* make(std::string_view collection, std::string_view source_key, std::string_view path) {
    if (!template_ || collection.data() != collection_.data() || !equal_bytes(path, path_)) {
      if (!remake_template(collection, path)) return nullptr;
    }
    PyRef key = text(source_key);
    if (!key) return nullptr;
    PyRef dict = PyRef::steal(PyDict_Copy(template_.get()));
    if (!dict || PyDict_SetItem(dict.get(), source_key_.get(), key.get()) != 0) return nullptr;
    return dict.release();
  }

 private:
  static PyRef text(std::string_view s) {
    return PyRef::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
  }

  // The template's keys are set in the order every entry dict shows them.
  bool remake_template(std::string_view source_collection, std::string_view source_path) {
    template_ = PyRef();
    PyRef dict = PyRef::steal(PyDict_New());
    PyRef collection = text(source_collection);
    PyRef path = text(source_path);
    if (!dict || !collection || !path) return false;
    if (PyDict_SetItem(dict.get(), source_collection_.get(), collection.get()) != 0 ||
        PyDict_SetItem(dict.get(), source_key_.get(), Py_None) != 0 ||
        PyDict_SetItem(dict.get(), source_path_.get(), path.get()) != 0) {
      return false;
    }
    template_ = std::move(dict);
    collection_ = source_collection;
    path_ = source_path;
    return true;
  }

  PyRef source_collection_ = PyRef::steal(PyUnicode_InternFromString("source_collection"));
  PyRef source_key_ = PyRef::steal(PyUnicode_InternFromString("source_key"));
  PyRef source_path_ = PyRef::steal(PyUnicode_InternFromString("source_path"));
  PyRef template_;
  std::string_view collection_;  // into the snapshot being converted
  std::string_view path_;
};

PyObject* db_backlinks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded("Database.backlinks()", [&]() -> PyObject* {
    std::array<PyObject*, 2> bound;
    std::string_view collection, key;
    if (!bind_record(kBacklinks, args, nargs, kwnames, bound, collection, key)) return nullptr;
    auto lock = CellLock::acquire(cell_of(self));
    if (!lock) return nullptr;
    auto index = lock->db().backlink_index(collection);
    if (!index) {
      lock->release();
      return raise_storage_error(index.error(), Operation::Other);
    }
    // Copied out and read after the lock is let go: making the dicts runs
    // the collector, whose finalisers may use this database.
    const BacklinkIndex::Snapshot entries = (*index)->snapshot(key);
    lock->release();
    EntryDicts dicts;
    if (!dicts.ok()) return nullptr;
    PyRef list = new_unfilled_list(entries.size());
    if (!list) return nullptr;
    Py_ssize_t made = 0;
    bool failed = false;
    entries.for_each([&](std::string_view source_collection, std::string_view source_key,
                         std::string_view source_path) {
      if (failed) return;
      PyObject* dict = dicts.make(source_collection, source_key, source_path);
      if (dict == nullptr) {
        failed = true;
        return;
      }
      PyList_SetItem(list.get(), made++, dict);  // steals dict
    });
    if (failed) return nullptr;
    if (made != PyList_Size(list.get())) return raise_internal_fault("Database.backlinks(): entries miscounted");
    return filled(std::move(list));
  });
}

PyObject* db_begin(PyObject* self, PyObject*) {
  return guarded("Database.begin()", [&]() -> PyObject* {
    auto lock = CellLock::acquire(cell_of(self));
    if (!lock) return nullptr;
    lock->db().begin();
    return none();
  });
}

PyObject* db_commit(PyObject* self, PyObject*) {
  return guarded("Database.commit()", [&]() -> PyObject* {
    auto lock = CellLock::acquire(cell_of(self));
    if (!lock) return nullptr;
    auto committed = lock->db().commit();
    lock->release();
    if (!committed) return raise_storage_error(committed.error(), Operation::Other);
    return none();
  });
}

PyObject* db_repr(PyObject* self) {
  // The root never changes after open, so no lock is needed: repr works
  // even while a call is in progress.
  return guarded("Database.__repr__()", [&]() -> PyObject* {
    std::string text = "Database(" + quote_text(cell_of(self).db.root()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* db_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Database");
  return nullptr;
}

void db_dealloc(PyObject* self) {
  // Dropping the last handle closes the database, writing out its buffers.
  reinterpret_cast<DatabaseObject*>(self)->cell.~shared_ptr();
  free_instance(self);
}

template <class F>
PyCFunction fast(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef db_methods[] = {
    {"get", fast(db_get), METH_FASTCALL | METH_KEYWORDS, "get($self, collection, key)\n--\n\n"},
    {"set", fast(db_set), METH_FASTCALL | METH_KEYWORDS, "set($self, collection, key, value)\n--\n\n"},
    {"set_many", fast(db_set_many), METH_FASTCALL | METH_KEYWORDS, "set_many($self, ops)\n--\n\n"},
    {"delete", fast(db_delete), METH_FASTCALL | METH_KEYWORDS, "delete($self, collection, key)\n--\n\n"},
    {"resolve", fast(db_resolve), METH_FASTCALL | METH_KEYWORDS, "resolve($self, collection, key, path)\n--\n\n"},
    {"begin", fast(db_begin), METH_NOARGS, "begin($self)\n--\n\n"},
    {"commit", fast(db_commit), METH_NOARGS, "commit($self)\n--\n\n"},
    {"backlinks", fast(db_backlinks), METH_FASTCALL | METH_KEYWORDS, "backlinks($self, collection, key)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot db_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(db_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(db_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(db_repr)},
    {Py_tp_methods, db_methods},
    {0, nullptr},
};

PyType_Spec db_spec = {
    "brindle._brindle.Database",
    static_cast<int>(sizeof(DatabaseObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    db_slots,
};

}  // namespace

PyObject* create_database_type() {
  return create_heap_type(db_spec, g_database_type);
}

PyObject* open_database(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded("open()", [&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    std::string_view path;
    if (!bind_fast(kOpen, args, nargs, kwnames, bound) || !extract_text_argument(bound[0], "path", path)) {
      return nullptr;
    }
    auto opened = Database::open(std::string(path));
    if (!opened) return raise_storage_error(opened.error(), Operation::Other);
    auto cell = std::make_shared<DatabaseCell>(std::move(*opened));
    PyObject* obj = alloc_instance(g_database_type);
    if (obj == nullptr) return nullptr;
    new (&reinterpret_cast<DatabaseObject*>(obj)->cell) std::shared_ptr<DatabaseCell>(std::move(cell));
    return obj;
  });
}

}  // namespace brindle::python
