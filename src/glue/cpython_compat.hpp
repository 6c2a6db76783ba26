// The one place where the package touches CPython internals or API that
// differs between interpreter versions.
//
// Supported: CPython 3.10, 3.11, 3.12 and 3.13 with the GIL.  Every entry says
// which versions it serves and what it does elsewhere.  Modules reach the
// interpreter's private functions and the inside of objects only through
// here, so a new interpreter version is one file to adapt.
//
// Version switches are written `#if VEZ_PY_AT_LEAST(3, 12)`; a fast path that
// depends on a facility that is not available everywhere tests the constexpr
// flag next to it (`if (kDictStampsPerDict) ...`), so both branches compile on
// every version.
//
// The guarded fast paths built on these entries must stay correct on every
// version: where a facility that proves a cache current is missing or runs
// out (a dict guard without a watcher, a type without a version tag), the
// caller re-checks the cached objects by identity or takes the ordinary
// Python path.  Never a stale read.
//
// Threads: everything here needs the GIL and runs no Python code unless the
// entry says so.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#define VEZ_PY_AT_LEAST(major, minor) (PY_VERSION_HEX >= (((major) << 24) | ((minor) << 16)))

#if !VEZ_PY_AT_LEAST(3, 12)
#include <structmember.h>  // PyMemberDef (part of Python.h from 3.12 on)
#endif

#if !VEZ_PY_AT_LEAST(3, 10)
#error "CPython 3.10 or newer is required"
#endif
#ifdef Py_GIL_DISABLED
#error "the fast paths borrow references under the GIL; free-threaded builds are not supported"
#endif

namespace glue::compat {

// ---------------------------------------------------------------------------
// Interpreter state

// True once the interpreter has begun to finalize (daemon threads may then be
// ended at any moment).  One atomic load: callable without the GIL.
// 3.13+: Py_IsFinalizing; 3.10-3.12: _Py_IsFinalizing.
inline bool is_finalizing() {
#if VEZ_PY_AT_LEAST(3, 13)
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// ---------------------------------------------------------------------------
// Exceptions

// Puts back an exception taken with PyErr_Fetch (the three references are
// stolen; a null `type` does nothing).  If another exception is being raised
// now, the old one becomes its __context__, as when an exception is raised
// inside an `except` block; otherwise the old one is raised again.
// 3.10-3.11: _PyErr_ChainExceptions.  3.12+: the same steps through the
// single-object exception API (_PyErr_ChainExceptions is deprecated there).
void chain_exception(PyObject* type, PyObject* value, PyObject* traceback);

// ---------------------------------------------------------------------------
// Attributes and types

// getattr(obj, name) without raising AttributeError: 1 with a new reference
// in *result, 0 (result null, no error) when the attribute is missing, -1 on
// any other error.  May run Python code (descriptors, __getattr__).
// 3.13+: PyObject_GetOptionalAttr; 3.10-3.12: _PyObject_LookupAttr.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if VEZ_PY_AT_LEAST(3, 13)
  return PyObject_GetOptionalAttr(obj, name, result);
#else
  return _PyObject_LookupAttr(obj, name, result);
#endif
}

// What the type's MRO resolves `name` to (borrowed), or null; never sets an
// error and runs no Python code.  `name` must be a str.  The interpreter's
// own method-cache lookup, _PyType_Lookup, on 3.10-3.13 (exported there;
// borrowed results are safe with the GIL).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// type.__name__ as C text: the part of tp_name after the last dot (what
// _PyType_Name computes).  Public fields only, every version.
inline const char* type_short_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot != nullptr ? dot + 1 : type->tp_name;
}

// The type's own namespace (borrowed; class attributes defined by the type
// itself, not its bases).  3.10-3.11 and heap types everywhere: tp_dict.
// 3.12+ static builtin types keep theirs per interpreter: PyType_GetDict,
// whose reference the interpreter holds for its lifetime.
PyObject* type_dict(PyTypeObject* type);

// Type version tags: a type keeps its tag until it (or a base) is modified,
// and a tag is never handed out again for another state of any type.  So a
// remembered non-zero tag that still matches proves that nothing a lookup on
// the type would find has changed.
//
// type_version: the current tag, assigned if the type has none; 0 when the
// type cannot have one (then nothing can be proven: take the slow path).
// 3.12+: PyUnstable_Type_AssignVersionTag; 3.10-3.11: the assignment a
// method-cache lookup makes.  On 3.10-3.11 a tag is valid only while the
// type has Py_TPFLAGS_VALID_VERSION_TAG (3.10 leaves the stale number in
// place); from 3.12 on an invalidated type's tag is 0.
unsigned int type_version(PyTypeObject* type);

inline bool type_version_holds(PyTypeObject* type, unsigned int tag) {
#if VEZ_PY_AT_LEAST(3, 12)
  return tag != 0 && type->tp_version_tag == tag;
#else
  return tag != 0 && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == tag;
#endif
}

// Offset of the slot a member descriptor (a `__slots__` entry) reads, and
// the slot itself: PyMemberDescrObject / PyMemberDef, unchanged 3.10-3.13.
// `descriptor` must be exactly a member descriptor (Py_IS_TYPE with
// PyMemberDescr_Type).
inline Py_ssize_t member_offset(PyObject* descriptor) {
  return reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member->offset;
}
inline PyObject** slot_at(PyObject* obj, Py_ssize_t offset) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// A heap type's internal doc (tp_doc): where type.__text_signature__ is read
// from ("Name(params)\n--\n\n..."); the __doc__ of a heap type comes from its
// dict instead.  The type owns a PyObject_Malloc'ed copy and frees it with
// PyObject_Free, on 3.10-3.13.  set_heap_type_doc replaces the copy; false
// with MemoryError set.
inline const char* heap_type_doc(PyTypeObject* type) { return type->tp_doc; }
bool set_heap_type_doc(PyTypeObject* type, const char* doc);

// ---------------------------------------------------------------------------
// Instance dicts

// Where `obj` keeps its __dict__, or null when its type gives it none (no
// error set).  A dict kept as inline values (3.11+ managed dicts) is
// materialized first, so the slot then holds a real dict; the slot's address
// is fixed for the object.  _PyObject_GetDictPtr on 3.10-3.13.
inline PyObject** instance_dict_slot(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

// The instance __dict__ (borrowed) or null.
inline PyObject* instance_dict(PyObject* obj) {
  PyObject** slot = instance_dict_slot(obj);
  return slot != nullptr ? *slot : nullptr;
}

// ---------------------------------------------------------------------------
// Dicts

// Dict change guards: a cheap proof that the dicts a cache was read from
// have not changed since.  A cache takes a stamp of each dict it relies on
// (`stamp(dict)`, before reading it); `holds(dict, stamp)` is true only while
// that dict has had no item added, replaced or deleted, has not been cleared
// or filled by a merge, and has not been destroyed.  A stamp of 0 never
// holds.  Used by the twin backend's step snapshot and the virtual
// actuator's view of its instance and of a wrapper's structure views.
//
// 3.10-3.11 (kDictStampsPerDict): a stamp is the dict's version tag
//   (ma_version_tag), which every modification of that dict changes and
//   which is never handed out again; stamps of different dicts are
//   independent, and a guard holds nothing to give back.
// 3.12+: version tags are deprecated (and gone later).  Instead each guard
//   registers one dict watcher (PyDict_AddWatcher) that counts the events of
//   every dict the guard watches, and a stamp is that count: a dict is
//   watched from its first stamp on, and a change to any watched dict turns
//   off every stamp of the guard (meant for loops in which those dicts
//   rarely change; a loop's own stores keep its stamp through set_item).
//   A watched dict that is destroyed counts as a change and
//   is unwatched and forgotten at that moment, so the guard never touches a
//   dead dict and a new dict at its address starts unwatched (its stamp must
//   be taken anew).  An interpreter has 8 dict watchers (3.13 keeps 2 for
//   itself): a module opens at most one guard.  When none can be had, open()
//   fails, every stamp is 0 and callers take the path they take without a
//   cache (re-checks by identity or the ordinary Python path): correct,
//   slower.
// 3.13.0 only (the running interpreter's version counts, not the headers'):
//   attribute stores through an object whose dict still shares the object's
//   inline values reach no watcher (fixed in 3.13.1).  An instance dict is
//   therefore stamped with its `owner`, and when it is first watched while
//   it shares them, it is detached from them by assigning it to its owner
//   again (through the class's __dict__ descriptor: the same dict, the
//   values copied out of the object); a split dict stamped without its
//   owner, or one that cannot be detached, gets stamp 0.
//
// open() at module initialization; it registers close() with atexit, so that
// before the interpreter finalizes the guard unwatches the dicts it still
// watches and gives its watcher back; from then on no stamp holds (and the
// fast paths of code still running take their ordinary paths).
// Guards live for the process (never destroyed).  Threads: the GIL must be
// held; the watcher runs no Python code.
#if VEZ_PY_AT_LEAST(3, 12)
constexpr bool kDictStampsPerDict = false;
#else
constexpr bool kDictStampsPerDict = true;
#endif

class DictGuard {
 public:
  DictGuard() = default;
  DictGuard(const DictGuard&) = delete;
  DictGuard& operator=(const DictGuard&) = delete;

  // True when stamps can hold; false (no error set) when no watcher could
  // be had.  Opening an open guard does nothing.  May run Python code (the
  // first open of a guard imports atexit).
  bool open();
  void close();
  bool is_open() const { return open_; }

  // A stamp of `dict` (a dict, alive) as it is now; 0 when it cannot be
  // guarded.  `owner`: the object whose instance dict it is, if it is one.
  // From 3.12 on this watches `dict`.
  uint64_t stamp(PyObject* dict, PyObject* owner = nullptr) {
#if VEZ_PY_AT_LEAST(3, 12)
    if (!open_ || (dict != last_watched_ && !watch(dict, owner))) return 0;
    return events_;
#else
    (void)owner;
    return open_ ? reinterpret_cast<PyDictObject*>(dict)->ma_version_tag : 0;
#endif
  }

  // `dict` (alive; from 3.12 on it is not even looked at) has not changed
  // since `stamp` was taken of it.
  bool holds(PyObject* dict, uint64_t stamp) const {
#if VEZ_PY_AT_LEAST(3, 12)
    (void)dict;
    return stamp != 0 && stamp == events_;
#else
    return open_ && stamp != 0 && reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == stamp;
#endif
  }

  // dict[key] = value, made by the holder of `*stamp` (a stamp of `dict`)
  // itself: afterwards *stamp holds again if it held before and nothing but
  // this assignment changed what the guard watches; otherwise it becomes 0.
  // `key` must be an exact str (its hash and comparison run no Python code);
  // the replaced value is released after the new stamp is taken, so that
  // whatever its release runs counts as a change.  Assigning the value a key
  // already has changes nothing.  0, or -1 with an exception set (*stamp 0).
  int set_item(PyObject* dict, PyObject* key, PyObject* value, uint64_t* stamp);

  // Dicts watched now (3.12+; 0 on 3.10-3.11): for tests.
  size_t watched() const;

 private:
#if VEZ_PY_AT_LEAST(3, 12)
  bool watch(PyObject* dict, PyObject* owner);
  static int on_event(int slot, PyDict_WatchEvent event, PyObject* dict);
  static PyDict_WatchCallback callback_for(int slot);
  template <int Slot>
  static int callback(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    return on_event(Slot, event, dict);
  }

  int watcher_ = -1;               // the interpreter's watcher id
  int slot_ = -1;                  // which of this library's callbacks is ours
  PyObject* last_watched_ = nullptr;  // the dict watched last (identity only; forgotten when it dies)
  void* watched_ = nullptr;        // the dicts watched (a set, identity only)
#endif
  bool open_ = false;
  bool close_registered_ = false;
  uint64_t events_ = 1;  // 0 is the stamp that never holds
};

// A new empty dict with room for `size` entries (new reference).
// _PyDict_NewPresized on 3.10-3.13.
inline PyObject* new_presized_dict(Py_ssize_t size) { return _PyDict_NewPresized(size); }

// d[key] = value with key's hash already known (`hash` must be hash(key)),
// running no Python code: keys whose __hash__ is Python code (enumeration
// members) are hashed once, by the caller, not on every insert.
// 3.10-3.12: _PyDict_SetItem_KnownHash.  3.13 keeps that function private;
// there the value goes in through a stand-in key whose hash is `hash` and
// which compares equal to `key` only (C slots, so no Python code), relying on
// the documented rule that assigning to a key already present replaces the
// value and keeps the key.  A key not yet present is first put into a
// one-entry dict kept for it (the key's own __hash__ runs there, once per key
// for the process lifetime: meant for long-lived keys such as enumeration
// members) and merged from it, which reuses the stored hash.
// 0, or -1 with an exception set.
#if VEZ_PY_AT_LEAST(3, 13)
int dict_set_known_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash);
#else
inline int dict_set_known_hash(PyObject* dict, PyObject* key, PyObject* value, Py_hash_t hash) {
  return _PyDict_SetItem_KnownHash(dict, key, value, hash);
}
#endif

// ---------------------------------------------------------------------------
// Lists

// Makes room in an exact list for at least one more element without
// changing its contents, growing its storage by `grow` elements when it is
// full.  PyListObject's ob_item/allocated, PyMem_Realloc as the list itself
// uses, on 3.10-3.13 (GIL builds).  False with MemoryError set.
bool list_reserve_one(PyObject* list, Py_ssize_t grow);

// Appends `item` (reference stolen) to a list prepared by list_reserve_one;
// cannot fail and runs no Python code.
inline void list_append_reserved(PyObject* list, PyObject* item) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  PyList_SET_ITEM(list, n, item);
  Py_SET_SIZE(list, n + 1);
}

}  // namespace glue::compat
