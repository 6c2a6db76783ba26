// A per-object cache keyed by the object's identity, whose entry goes away
// when the object does.
//
// Fast paths remember per-object facts (where a wrapper's fields live, which
// foreign function its step calls).  An entry is keyed by the object's
// address and owns a weak reference to it whose callback drops the entry, so
// a later object at the same address never meets a stale entry.  The entry's
// value is destroyed then too; its destructor may release Python references.
//
// Objects that cannot be weakly referenced get no entry (the caller takes
// the ordinary path).  The most recently used entry is remembered, so a loop
// over one object skips the hash lookup.
//
// Caches must be created with `new` and never destroyed (their entries hold
// Python references that must not be released after the interpreter is
// gone).  Threads: the GIL must be held.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <unordered_map>

namespace glue {

template <typename Value>
class WeakKeyedCache {
 public:
  // The entry of `obj`, made (empty) when there is none; nullptr when `obj`
  // cannot be weakly referenced (no error set).  Making an entry calls into
  // Python (the weak reference); finding one does not.
  Value* find_or_add(PyObject* obj) {
    if (Value* found = find(obj)) return found;
    const auto key = reinterpret_cast<uintptr_t>(obj);
    pybind11::cpp_function on_collect([this, key](pybind11::object /*weakref*/) { drop(key); });
    PyObject* weakref = PyWeakref_NewRef(obj, on_collect.ptr());
    if (weakref == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    auto* entry = new Entry{weakref, Value()};
    entries_.emplace(obj, entry);
    last_key_ = obj;
    last_ = entry;
    return &entry->value;
  }

  // The entry of `obj`, or nullptr; runs no Python code.
  Value* find(PyObject* obj) {
    if (obj == last_key_ && last_ != nullptr) return &last_->value;
    auto it = entries_.find(obj);
    if (it == entries_.end()) return nullptr;
    last_key_ = obj;
    last_ = it->second;
    return &it->second->value;
  }

  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    PyObject* weakref;  // strong reference to the weak reference
    Value value;
  };

  void drop(uintptr_t key) {
    auto* obj = reinterpret_cast<PyObject*>(key);
    if (last_key_ == obj) {
      last_key_ = nullptr;
      last_ = nullptr;
    }
    auto it = entries_.find(obj);
    if (it == entries_.end()) return;
    Entry* entry = it->second;
    entries_.erase(it);
    Py_CLEAR(entry->weakref);
    delete entry;  // the value's destructor may run Python code: the map is consistent already
  }

  std::unordered_map<PyObject*, Entry*> entries_;
  PyObject* last_key_ = nullptr;
  Entry* last_ = nullptr;
};

}  // namespace glue
