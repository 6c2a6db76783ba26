// The one guard of the guarded fast paths: "is this still what the module
// installed?"
//
// A module installs functions, methods and properties; users and tests patch
// module globals, replace class attributes, override methods in subclasses and
// shadow them on instances.  A fast path that calls the C++ behind a name
// directly is correct only while Python code looking the name up would find
// the very object the module installed.  `Installed` remembers that object
// (a strong reference, never released: were it freed after a replacement, a
// new object at its address would pass the identity test) and answers, by
// identity and without running Python code:
//
//   global_holds(mod)   the module global still holds it;
//   type_resolves(t)    type t's MRO resolves the name to it and t uses the
//                       generic attribute access (no __getattribute__ or
//                       __getattr__ of its own);
//   holds_for(obj)      obj.<name> finds it: type_resolves(type(obj)) and
//                       obj's instance __dict__ does not shadow the name.
//
// type_resolves remembers its last answer per guard together with the type's
// version tag, so a loop that asks again for an unchanged type pays two
// comparisons.  When a tag cannot be had the answer is recomputed every time.
//
// Threads: the GIL must be held.  Guards are meant to live in a module's
// globals for the process lifetime (no destructor releases anything).
#pragma once

#include <Python.h>

#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"

namespace glue {

class Installed {
 public:
  // Remembers what the module global `name` holds now (nothing, if unset).
  void remember_global(const ModuleRef& mod, const char* name);
  // Remembers what `cls` resolves `name` (a str) to now, through its MRO.
  void remember_class_attribute(py::handle cls, const char* name);
  void remember_class_attribute(py::handle cls, PyObject* interned_name);

  bool global_holds(const ModuleRef& mod) const;
  bool type_resolves(PyTypeObject* type) const {
    if (type == seen_type_ && compat::type_version_holds(type, seen_tag_)) return seen_answer_;
    return recheck(type);
  }
  bool holds_for(PyObject* obj) const {
    return type_resolves(Py_TYPE(obj)) && not_shadowed_in(compat::instance_dict(obj));
  }
  // The name is not in `instance_dict` (nullptr: the object has none).
  bool not_shadowed_in(PyObject* instance_dict) const {
    return instance_dict == nullptr || PyDict_GetItem(instance_dict, name_) == nullptr;
  }

  PyObject* name() const { return name_; }        // interned
  PyObject* original() const { return original_; }  // borrowed from the guard

 private:
  bool recheck(PyTypeObject* type) const;

  PyObject* name_ = nullptr;
  PyObject* original_ = nullptr;
  // Last answer of type_resolves.
  mutable PyTypeObject* seen_type_ = nullptr;
  mutable unsigned int seen_tag_ = 0;
  mutable bool seen_answer_ = false;
};

// The class-level half of "obj.<name> is decided by obj's instance dict":
// generic attribute access and no class attribute of that name anywhere in
// the MRO (a property or other descriptor there would decide instead).
bool instance_dict_decides(PyTypeObject* type, PyObject* name);

// `method` is a bound method (types.MethodType) of `function`: what
// obj.<name> gives for a plain Python function defined on obj's class.
bool is_bound_method_of(PyObject* method, PyObject* function);

}  // namespace glue
