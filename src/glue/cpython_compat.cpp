#include "cpython_compat.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace glue::compat {

void chain_exception(PyObject* type, PyObject* value, PyObject* traceback) {
#if VEZ_PY_AT_LEAST(3, 12)
  if (type == nullptr) return;
  if (!PyErr_Occurred()) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyObject* current = PyErr_GetRaisedException();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
    Py_DECREF(traceback);
  }
  Py_DECREF(type);
  if (value != nullptr && value != current) {
    PyException_SetContext(current, value);  // steals value
  } else {
    Py_XDECREF(value);
  }
  PyErr_SetRaisedException(current);
#else
  _PyErr_ChainExceptions(type, value, traceback);
#endif
}

PyObject* type_dict(PyTypeObject* type) {
#if VEZ_PY_AT_LEAST(3, 12)
  if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return type->tp_dict;
  PyObject* dict = PyType_GetDict(type);  // the interpreter keeps it alive
  Py_XDECREF(dict);
  return dict;
#else
  return type->tp_dict;
#endif
}

unsigned int type_version(PyTypeObject* type) {
#if VEZ_PY_AT_LEAST(3, 12)
  if (type->tp_version_tag == 0) (void)PyUnstable_Type_AssignVersionTag(type);
  return type->tp_version_tag;
#else
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
    // A method-cache lookup of an interned name assigns the tag.
    static PyObject* probe = PyUnicode_InternFromString("__class__");  // kept for the process lifetime
    if (probe == nullptr) {
      PyErr_Clear();
      return 0;
    }
    (void)_PyType_Lookup(type, probe);
  }
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

#if VEZ_PY_AT_LEAST(3, 13)
namespace {

// The stand-in key: hashes to `hash`, equals `key` and nothing else.
struct StandIn {
  PyObject_HEAD
  PyObject* key;  // borrowed for the duration of one insert
  Py_hash_t hash;
};

Py_hash_t stand_in_hash(PyObject* self) { return reinterpret_cast<StandIn*>(self)->hash; }

PyObject* stand_in_compare(PyObject* self, PyObject* other, int op) {
  const bool same = reinterpret_cast<StandIn*>(self)->key == other || self == other;
  if (op == Py_EQ) return Py_NewRef(same ? Py_True : Py_False);
  if (op == Py_NE) return Py_NewRef(same ? Py_False : Py_True);
  Py_RETURN_NOTIMPLEMENTED;
}

PyType_Slot stand_in_slots[] = {
    {Py_tp_hash, reinterpret_cast<void*>(&stand_in_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&stand_in_compare)},
    {0, nullptr},
};
PyType_Spec stand_in_spec = {"vez_api._dict_stand_in_key", sizeof(StandIn), 0, Py_TPFLAGS_DEFAULT, stand_in_slots};

// One stand-in for the process: the GIL is held and no Python code runs while
// it is in use.  Deliberately leaked, like the per-key carriers.
StandIn* stand_in() {
  static StandIn* object = nullptr;
  if (object == nullptr) {
    PyObject* type = PyType_FromSpec(&stand_in_spec);
    if (type == nullptr) return nullptr;
    object = PyObject_New(StandIn, reinterpret_cast<PyTypeObject*>(type));
    if (object == nullptr) return nullptr;
    object->key = nullptr;
    object->hash = 0;
  }
  return object;
}

// d[key] = value for a key already in d, found through the stand-in.
// 1 done, 0 key absent, -1 error.
int replace_present(PyObject* dict, StandIn* s, PyObject* key, PyObject* value, Py_hash_t hash) {
  s->key = key;
  s->hash = hash;
  PyObject* self = reinterpret_cast<PyObject*>(s);
  int present = PyDict_Contains(dict, self);
  if (present == 1 && PyDict_SetItem(dict, self, value) != 0) present = -1;
  s->key = nullptr;
  return present;
}

}  // namespace

int dict_set_known_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash) {
  StandIn* s = stand_in();
  if (s == nullptr) return -1;
  const int replaced = replace_present(dict, s, key, value, hash);
  if (replaced != 0) return replaced == 1 ? 0 : -1;
  // One-entry dicts {key: None}, one per key, kept for the process lifetime
  // (each holds its key, so the key's address stays unique).
  static auto* carriers = new std::unordered_map<PyObject*, PyObject*>();
  PyObject*& carrier = (*carriers)[key];
  if (carrier == nullptr) {
    PyObject* made = PyDict_New();
    if (made == nullptr || PyDict_SetItem(made, key, Py_None) != 0) {
      Py_XDECREF(made);
      carriers->erase(key);
      return -1;
    }
    carrier = made;
  }
  int r = replace_present(carrier, s, key, value, hash);
  if (r == 1) r = PyDict_Merge(dict, carrier, 1) == 0 ? 1 : -1;
  if (replace_present(carrier, s, key, Py_None, hash) != 1) r = -1;
  return r == 1 ? 0 : -1;
}
#endif

// ---------------------------------------------------------------------------
// DictGuard

namespace {

constexpr const char kGuardCapsule[] = "vez_api.DictGuard";

PyObject* close_guard(PyObject* capsule, PyObject*) {
  auto* guard = static_cast<DictGuard*>(PyCapsule_GetPointer(capsule, kGuardCapsule));
  if (guard == nullptr) return nullptr;
  guard->close();
  Py_RETURN_NONE;
}

PyMethodDef close_guard_def = {"close_dict_guard", close_guard, METH_NOARGS,
                               "Gives a dict guard's watcher back before the interpreter finalizes."};

// atexit.register(<close of guard>); failures are cleared (the watcher then
// stays with the interpreter until it ends, which does no harm).
void close_at_exit(DictGuard* guard) {
  PyObject* capsule = PyCapsule_New(guard, kGuardCapsule, nullptr);
  PyObject* close = capsule != nullptr ? PyCFunction_New(&close_guard_def, capsule) : nullptr;
  PyObject* atexit = close != nullptr ? PyImport_ImportModule("atexit") : nullptr;
  PyObject* done = atexit != nullptr ? PyObject_CallMethod(atexit, "register", "O", close) : nullptr;
  if (done == nullptr) PyErr_Clear();
  Py_XDECREF(done);
  Py_XDECREF(atexit);
  Py_XDECREF(close);
  Py_XDECREF(capsule);
}

}  // namespace

#if VEZ_PY_AT_LEAST(3, 12)
namespace {

using WatchedSet = std::unordered_set<PyObject*>;

// The guards of this library by callback slot: a watcher callback is told
// the event and the dict, not the watcher, so each open guard gets a
// callback of its own.  As many slots as an interpreter has watchers.
constexpr int kGuardSlots = 8;
DictGuard* guard_in_slot[kGuardSlots] = {};

}  // namespace

PyDict_WatchCallback DictGuard::callback_for(int slot) {
  static constexpr PyDict_WatchCallback table[kGuardSlots] = {&callback<0>, &callback<1>, &callback<2>, &callback<3>,
                                                              &callback<4>, &callback<5>, &callback<6>, &callback<7>};
  return table[slot];
}

bool DictGuard::open() {
  if (open_) return true;
  int slot = 0;
  while (slot < kGuardSlots && guard_in_slot[slot] != nullptr) ++slot;
  if (slot == kGuardSlots) return false;
  const int id = PyDict_AddWatcher(callback_for(slot));
  if (id < 0) {
    PyErr_Clear();  // all taken: the callers go without stamps
    return false;
  }
  if (watched_ == nullptr) watched_ = new WatchedSet();
  guard_in_slot[slot] = this;
  slot_ = slot;
  watcher_ = id;
  open_ = true;
  if (!close_registered_) {
    close_registered_ = true;
    close_at_exit(this);
  }
  return true;
}

void DictGuard::close() {
  if (!open_) return;
  auto& watched = *static_cast<WatchedSet*>(watched_);
  for (PyObject* dict : watched) {
    if (PyDict_Unwatch(watcher_, dict) != 0) PyErr_Clear();  // alive: a dead one left the set as it died
  }
  watched.clear();
  last_watched_ = nullptr;
  if (PyDict_ClearWatcher(watcher_) != 0) PyErr_Clear();
  guard_in_slot[slot_] = nullptr;
  watcher_ = -1;
  slot_ = -1;
  open_ = false;
  events_ += 1;  // stamps taken before never hold
}

#if VEZ_PY_AT_LEAST(3, 13) && !VEZ_PY_AT_LEAST(3, 14)
// 3.13.0 leaves the watchers of a dict that shares its object's inline values
// out of stores made through the object (fixed in 3.13.1).  The inline
// values sit right after the object's basic size (_PyObject_InlineValues).
static bool stores_bypass_watchers(PyObject* dict, PyObject* owner) {
  const PyDictValues* values = reinterpret_cast<PyDictObject*>(dict)->ma_values;
  if (Py_Version >= 0x030D0100 || values == nullptr) return false;  // fixed, or a combined table
  if (owner == nullptr) return true;  // whose values they are cannot be told
  PyTypeObject* type = Py_TYPE(owner);
  return PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) &&
         values == reinterpret_cast<const PyDictValues*>(reinterpret_cast<char*>(owner) + type->tp_basicsize);
}

// Detaches the instance dict `dict` of `owner` from the owner's inline
// values: owner.__dict__ = dict through the class's own __dict__ descriptor
// (C code), which keeps the dict and copies the values out of the object;
// from then on the owner's stores go through the dict.
static bool detach_from_inline_values(PyObject* dict, PyObject* owner) {
  static PyObject* name = PyUnicode_InternFromString("__dict__");  // kept for the process lifetime
  if (owner == nullptr || name == nullptr || instance_dict(owner) != dict) return false;
  PyObject* descriptor = type_lookup(Py_TYPE(owner), name);
  if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyGetSetDescr_Type)) return false;
  Py_INCREF(descriptor);
  const int r = Py_TYPE(descriptor)->tp_descr_set(descriptor, owner, dict);
  Py_DECREF(descriptor);
  if (r != 0) {
    PyErr_Clear();
    return false;
  }
  return instance_dict(owner) == dict && !stores_bypass_watchers(dict, owner);
}
#endif

bool DictGuard::watch(PyObject* dict, PyObject* owner) {
  auto& watched = *static_cast<WatchedSet*>(watched_);
  if (watched.count(dict) == 0) {
#if VEZ_PY_AT_LEAST(3, 13) && !VEZ_PY_AT_LEAST(3, 14)
    if (stores_bypass_watchers(dict, owner) && !detach_from_inline_values(dict, owner)) return false;
#else
    (void)owner;
#endif
    if (PyDict_Watch(watcher_, dict) != 0) {
      PyErr_Clear();
      return false;
    }
    watched.insert(dict);
  }
  last_watched_ = dict;
  return true;
}

int DictGuard::on_event(int slot, PyDict_WatchEvent event, PyObject* dict) {
  DictGuard* guard = guard_in_slot[slot];
  if (guard == nullptr) return 0;
  guard->events_ += 1;
  if (event == PyDict_EVENT_DEALLOCATED) {
    // Forgotten before the memory goes: a new dict at this address is not
    // watched and must be stamped (and so watched) anew.
    static_cast<WatchedSet*>(guard->watched_)->erase(dict);
    if (guard->last_watched_ == dict) guard->last_watched_ = nullptr;
    if (PyDict_Unwatch(guard->watcher_, dict) != 0) PyErr_Clear();
  }
  return 0;
}

size_t DictGuard::watched() const { return watched_ != nullptr ? static_cast<WatchedSet*>(watched_)->size() : 0; }

#else

bool DictGuard::open() {
  open_ = true;
  if (!close_registered_) {
    close_registered_ = true;
    close_at_exit(this);
  }
  return true;
}

void DictGuard::close() { open_ = false; }

size_t DictGuard::watched() const { return 0; }

#endif

int DictGuard::set_item(PyObject* dict, PyObject* key, PyObject* value, uint64_t* stamp) {
  PyObject* old = PyDict_GetItemWithError(dict, key);
  if (old == nullptr && PyErr_Occurred()) {
    *stamp = 0;
    return -1;
  }
  if (old == value) return 0;  // nothing changes
  Py_XINCREF(old);  // released once the new stamp is taken: its release may run code
  const uint64_t before = events_;
  const bool held = holds(dict, *stamp);
  const int r = PyDict_SetItem(dict, key, value);
#if VEZ_PY_AT_LEAST(3, 12)
  // The assignment is one event (added or modified); any other means
  // something else changed meanwhile.
  *stamp = r == 0 && held && events_ == before + 1 ? events_ : 0;
#else
  (void)before;
  *stamp = r == 0 && held ? this->stamp(dict) : 0;
#endif
  Py_XDECREF(old);
  return r;
}

bool list_reserve_one(PyObject* list, Py_ssize_t grow) {
  auto* l = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t n = Py_SIZE(l);
  if (l->allocated > n) return true;
  grow = std::max<Py_ssize_t>(grow, 1);
  if (n > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*)) - grow) {
    PyErr_NoMemory();
    return false;
  }
  auto** items = static_cast<PyObject**>(PyMem_Realloc(l->ob_item, static_cast<size_t>(n + grow) * sizeof(PyObject*)));
  if (items == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  l->ob_item = items;
  l->allocated = n + grow;
  return true;
}

bool set_heap_type_doc(PyTypeObject* type, const char* doc) {
  const size_t size = std::strlen(doc) + 1;
  char* copy = static_cast<char*>(PyObject_Malloc(size));
  if (copy == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(copy, doc, size);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
  return true;
}

}  // namespace glue::compat
