// The lifetime of a wrapper's private copy of the simulation library.
//
// A wrapper's private copy of the simulation library stays loaded while
// anything that can still reach into it is alive, and is unloaded once
// nothing is, whether the wrapper was terminated or not.  Everything that
// can reach into the copy holds the copy's keeper (a capsule):
//   * the CDLL object of the copy holds it as the attribute `_library_copy`,
//     and every foreign function of the copy holds its CDLL object (ctypes
//     keeps that reference itself);
//   * every structure view into the copy's memory that the wrapper makes is
//     taken from a pointer object that holds it, and a view keeps its
//     pointer object alive.
// So when the keeper is destroyed, nothing that could call into or read the
// copy remains, and the keeper closes the loader handle.  It also drops the
// entries that ctypes' pointer-type and function-type caches hold for the
// types the bindings module defined: those caches live as long as the
// process and would otherwise keep every wrapper's classes forever.
//
// A keeper is destroyed when its last reference goes (when the next wrapper
// is made, or by the garbage collector: see "Reclaiming copies" below),
// never by a weak-reference callback: finalizers of objects that could
// still reach the copy have run by then, and nothing reachable refers to it.
// A wrapper whose views come from code we cannot vouch for (an overridden or
// patched _bind_ctypes or _bind_optional_global) keeps its copy loaded for
// the process lifetime.
#include "modules/twin_backend/library_copy.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace vez::backend {

struct LibraryCopy {
  void* handle = nullptr;         // the loader handle of the copy, closed by the keeper
  bool unload = true;             // false: something we cannot vouch for may point into it
  PyObject* own_types = nullptr;  // set of the types the bindings module defined (strong)
  PyObject* keeper = nullptr;     // the capsule that owns this record (borrowed)
  PyObject* dll_ref = nullptr;    // weak reference to the copy's CDLL object
  PyObject* module_ref = nullptr;  // weak reference to the bindings module
};

namespace {

constexpr const char kLibraryCopyCapsule[] = "vez_api._twin_backend.library_copy";
constexpr const char kLibraryCopyAttribute[] = "_library_copy";

PyObject* original_cdll = nullptr;           // ctypes.CDLL as this module imported it
PyObject* pointer_type_cache = nullptr;      // ctypes._pointer_type_cache, when the interpreter has it
PyObject* function_type_cache = nullptr;     // ctypes._c_functype_cache, when the interpreter has it

// Every copy with a keeper, to look for copies nothing can reach any more.
// Deliberately leaked, like the records' references.
auto* live_copies = new std::vector<LibraryCopy*>();
size_t loaded_copies = 0;  // keepers alive

// Whether `type` is one of `own` or a pointer or array type built on one.
bool built_on(PyObject* type, PyObject* own) {
  py::object current = py::reinterpret_borrow<py::object>(type);
  for (int depth = 0; depth < 32 && PyType_Check(current.ptr()); ++depth) {
    const int found = PySet_Contains(own, current.ptr());
    if (found != 0) {
      if (found < 0) PyErr_Clear();
      return found > 0;
    }
    py::object inner;
    try {
      inner = optional_attr(current, "_type_");
    } catch (py::error_already_set&) {
      return false;
    }
    if (!inner || inner.is(current)) return false;
    current = std::move(inner);
  }
  return false;
}

// Removes from a type cache every entry whose key names one of `own`.
// Function-type keys are (restype, argtypes, flags) tuples.
void forget_cached_types(PyObject* cache, PyObject* own) {
  if (cache == nullptr || !PyDict_Check(cache)) return;
  // A snapshot of the keys: looking at them may run code.
  py::list keys = py::reinterpret_steal<py::list>(PyDict_Keys(cache));
  if (!keys) {
    PyErr_Clear();
    return;
  }
  for (py::handle key : keys) {
    bool mine = built_on(key.ptr(), own);
    if (!mine && PyTuple_Check(key.ptr())) {
      for (py::handle part : py::reinterpret_borrow<py::tuple>(key)) {
        mine = mine || built_on(part.ptr(), own);
        if (!mine && PyTuple_Check(part.ptr())) {
          for (py::handle argument : py::reinterpret_borrow<py::tuple>(part)) mine = mine || built_on(argument.ptr(), own);
        }
      }
    }
    if (mine && PyDict_DelItem(cache, key.ptr()) != 0) PyErr_Clear();
  }
}

void destroy_library_copy(PyObject* capsule) {
  auto* copy = static_cast<LibraryCopy*>(PyCapsule_GetPointer(capsule, kLibraryCopyCapsule));
  if (copy == nullptr) {
    PyErr_Clear();
    return;
  }
  {
    // Runs wherever the last reference goes: keep whatever error is pending.
    py::error_scope keep_error;
    if (copy->own_types != nullptr) {
      forget_cached_types(pointer_type_cache, copy->own_types);
      forget_cached_types(function_type_cache, copy->own_types);
      Py_CLEAR(copy->own_types);
    }
  }
  live_copies->erase(std::remove(live_copies->begin(), live_copies->end(), copy), live_copies->end());
  Py_CLEAR(copy->dll_ref);
  Py_CLEAR(copy->module_ref);
  if (copy->unload && copy->handle != nullptr) dlclose(copy->handle);
  delete copy;
  --loaded_copies;
}

// The ctypes types a bindings module defined itself: the classes and the
// types of the objects in its namespace whose __module__ is the module's
// name, with the types their _fields_ and _type_ name.  Types the module
// merely imported (ctypes.c_double) are shared and not included.
py::object types_defined_by(py::handle module) {
  py::object module_name = module.attr("__name__");
  py::object own = py::reinterpret_steal<py::object>(PySet_New(nullptr));
  if (!own) throw_python_error();
  py::object seen = py::reinterpret_steal<py::object>(PySet_New(nullptr));
  if (!seen) throw_python_error();
  std::vector<py::object> pending;
  for (auto item : py::reinterpret_borrow<py::dict>(module.attr("__dict__"))) {
    pending.push_back(py::reinterpret_borrow<py::object>(item.second));
  }
  while (!pending.empty()) {
    py::object obj = std::move(pending.back());
    pending.pop_back();
    py::object type = PyType_Check(obj.ptr()) ? obj : py::type::of(obj);
    const int known = PySet_Contains(seen.ptr(), type.ptr());
    if (known < 0) throw_python_error();
    if (known == 1) continue;
    if (PySet_Add(seen.ptr(), type.ptr()) != 0) throw_python_error();
    py::object inner = optional_attr(type, "_type_");
    if (inner && PyType_Check(inner.ptr())) pending.push_back(inner);
    py::object declared_in = optional_attr(type, "__module__");
    if (!declared_in || !declared_in.equal(module_name)) continue;
    if (PySet_Add(own.ptr(), type.ptr()) != 0) throw_python_error();
    py::object fields = optional_attr(type, "_fields_");
    if (!fields || !(PyList_Check(fields.ptr()) || PyTuple_Check(fields.ptr()))) continue;
    for (py::handle entry : fields) {
      if (PyTuple_Check(entry.ptr()) && PyTuple_GET_SIZE(entry.ptr()) >= 2 && PyType_Check(PyTuple_GET_ITEM(entry.ptr(), 1))) {
        pending.push_back(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(entry.ptr(), 1)));
      }
    }
  }
  return own;
}

}  // namespace

// Makes `handle` (the CDLL object of a fresh copy) own its loader handle:
// the copy is unloaded when the last object that can reach it is gone.
// Only real CDLL objects qualify; anything else (a test double of the
// loader, say) is left as it is.
void attach_library_copy(py::handle handle, py::handle module) {
  const int is_cdll = original_cdll != nullptr ? PyObject_IsInstance(handle.ptr(), original_cdll) : 0;
  if (is_cdll < 0) throw_python_error();
  if (is_cdll == 0) return;
  py::object raw = optional_attr(handle, "_handle");
  if (!raw || !PyLong_Check(raw.ptr())) return;
  void* loader_handle = PyLong_AsVoidPtr(raw.ptr());
  if (loader_handle == nullptr) {
    PyErr_Clear();
    return;
  }
  py::object own_types = types_defined_by(module);
  auto* copy = new LibraryCopy();
  copy->handle = loader_handle;
  copy->own_types = own_types.release().ptr();
  PyObject* capsule = PyCapsule_New(copy, kLibraryCopyCapsule, &destroy_library_copy);
  if (capsule == nullptr) {
    Py_DECREF(copy->own_types);
    delete copy;
    throw_python_error();
  }
  py::object keeper = py::reinterpret_steal<py::object>(capsule);
  copy->keeper = capsule;
  copy->dll_ref = PyWeakref_NewRef(handle.ptr(), nullptr);
  copy->module_ref = PyWeakref_NewRef(module.ptr(), nullptr);
  if (copy->dll_ref == nullptr || copy->module_ref == nullptr) PyErr_Clear();  // then only the collector frees it
  ++loaded_copies;
  live_copies->push_back(copy);
  handle.attr(kLibraryCopyAttribute) = keeper;
}


namespace {

// ---------------------------------------------------------------------------
// Reclaiming copies nobody can reach.
//
// Every ctypes foreign function refers to itself, and a CDLL object keeps
// the functions it hands out in its own __dict__, each of which refers back
// to it: a copy's functions, and with them its keeper, are freed by the
// garbage collector, not by reference counting.  A wrapper lives a while,
// so they have usually reached the oldest generation, which Python collects
// rarely: left alone, hundreds of unreachable copies (each a few memory
// mappings and some 100 kB) pile up between two full collections.
//
// So before a new copy is made, the copies whose bindings module is gone are
// examined.  When the references to the copy's CDLL object, its __dict__,
// the functions in it, their keep-alive dicts and the keeper are exactly the
// ones these objects hold among themselves, nothing else can reach any of
// them (references are counted, and a call in progress holds one to what it
// calls): the functions and the keeper are taken out of the CDLL object's
// __dict__, which destroys the keeper and unloads the copy, and leaves the
// rest as garbage that touches nothing.  A copy that something else may
// still reach is left alone.
//
// Owners that die only in cycles (a virtual actuator refers to itself
// through its bound error callback) keep their wrapper, and so its module,
// until a full collection.  For them, once enough copies were made since the
// last collection we ran, one full collection runs first, taking at most
// about a quarter of the time (and never when the application disabled the
// collector).

size_t loaded_after_collecting = 0;  // keepers alive right after our last collection
constexpr size_t kCopiesBetweenCollections = 8;
std::chrono::steady_clock::time_point last_collection_end{};
std::chrono::steady_clock::duration last_collection_time{};

// The referent of a weak reference (new reference), or a null object when
// it is dead.
py::object referent(PyObject* weak) {
  if (weak == nullptr) return py::object();
  PyObject* obj = PyObject_CallNoArgs(weak);
  if (obj == nullptr) throw_python_error();
  if (obj == Py_None) {
    Py_DECREF(obj);
    return py::object();
  }
  return py::reinterpret_steal<py::object>(obj);
}

// Unloads `copy` when nothing outside its own objects refers to them.
void release_if_unreachable(LibraryCopy* copy) {
  if (!copy->unload || copy->module_ref == nullptr || referent(copy->module_ref)) return;
  py::object dll = referent(copy->dll_ref);
  if (!dll || Py_REFCNT(copy->keeper) != 1) return;  // a view still holds the keeper
  PyObject* d = glue::compat::instance_dict(dll.ptr());
  if (d == nullptr || Py_REFCNT(d) != 1 || PyDict_GetItemString(d, kLibraryCopyAttribute) != copy->keeper) return;
  py::handle function_type = py::handle(ctypes_module()).attr("_CFuncPtr");
  std::vector<py::object> functions;
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(d, &position, &key, &value)) {
    const int is_function = PyObject_IsInstance(value, function_type.ptr());
    if (is_function < 0) throw_python_error();
    if (is_function == 0) continue;
    // Held by itself, by this dict and by its own keep-alive dict only
    // (ctypes.cast enters the source there); that dict held by the function
    // only (and the reference taken here) and naming this CDLL.
    py::object kept = optional_attr(value, "_objects");
    if (!kept || !PyDict_Check(kept.ptr()) || Py_REFCNT(kept.ptr()) != 2) return;
    Py_ssize_t self_entries = 0;
    Py_ssize_t at = 0;
    PyObject* kept_key;
    PyObject* kept_value;
    while (PyDict_Next(kept.ptr(), &at, &kept_key, &kept_value)) self_entries += kept_value == value ? 1 : 0;
    if (Py_REFCNT(value) != 2 + self_entries) return;
    PyObject* owner = PyDict_GetItemString(kept.ptr(), "0");
    if (owner != dll.ptr()) {
      if (owner != nullptr) return;  // a function of something else, kept here by someone
      continue;
    }
    functions.push_back(py::reinterpret_borrow<py::object>(key));
  }
  // The CDLL object: held by its functions' keep-alive dicts and the
  // reference taken here, nothing else.
  if (Py_REFCNT(dll.ptr()) != static_cast<Py_ssize_t>(functions.size()) + 1) return;
  for (const py::object& name : functions) {
    if (PyDict_DelItem(d, name.ptr()) != 0) throw_python_error();
  }
  if (PyDict_DelItemString(d, kLibraryCopyAttribute) != 0) throw_python_error();  // destroys the keeper
}

void release_unreachable_copies() {
  // Releasing a copy removes it from the list: walk a snapshot of it.
  const std::vector<LibraryCopy*> candidates = *live_copies;
  for (LibraryCopy* copy : candidates) {
    if (std::find(live_copies->begin(), live_copies->end(), copy) != live_copies->end()) release_if_unreachable(copy);
  }
}

}  // namespace

void reclaim_unreachable_copies() {
  release_unreachable_copies();
  if (loaded_copies < loaded_after_collecting + kCopiesBetweenCollections) return;
  const auto start = std::chrono::steady_clock::now();
  if (start - last_collection_end < 3 * last_collection_time) return;
  py::object gc = py::reinterpret_steal<py::object>(PyImport_ImportModule("gc"));
  if (!gc) throw_python_error();
  const int enabled = PyObject_IsTrue(py::object(gc.attr("isenabled")()).ptr());
  if (enabled < 0) throw_python_error();
  if (enabled == 0) return;
  gc.attr("collect")();
  release_unreachable_copies();
  last_collection_end = std::chrono::steady_clock::now();
  last_collection_time = last_collection_end - start;
  loaded_after_collecting = loaded_copies;
}

// The keeper of the copy behind `lib` (a bindings module) and its record,
// or nullptr when the copy has none.
LibraryCopy* library_copy_of(py::handle lib, py::object* keeper_out) {
  py::object dll = optional_attr(lib, "_dll");
  if (!dll) return nullptr;
  PyObject* d = glue::compat::instance_dict(dll.ptr());
  PyObject* keeper = d != nullptr ? PyDict_GetItemString(d, kLibraryCopyAttribute) : nullptr;
  if (keeper == nullptr || !PyCapsule_IsValid(keeper, kLibraryCopyCapsule)) return nullptr;
  *keeper_out = py::reinterpret_borrow<py::object>(keeper);
  return static_cast<LibraryCopy*>(PyCapsule_GetPointer(keeper, kLibraryCopyCapsule));
}

// pointer.contents, made to hold the copy's keeper: the view keeps its
// pointer object alive and the pointer object keeps the copy.  Without a
// keeper, the plain contents.
py::object anchored_contents(py::handle pointer, const py::object& keeper, LibraryCopy* copy) {
  if (copy != nullptr && PyObject_SetAttrString(pointer.ptr(), kLibraryCopyAttribute, keeper.ptr()) != 0) {
    PyErr_Clear();
    copy->unload = false;  // a view that cannot hold the copy: never unload it
  }
  return pointer.attr("contents");
}

void keep_copy_unless_views_are_ours(py::handle self) {
  if (installed.bind_ctypes.holds_for(self.ptr()) && installed.bind_optional_global.holds_for(self.ptr())) return;
  py::object lib = optional_attr(self, "_lib");
  py::object keeper;
  if (LibraryCopy* copy = lib ? library_copy_of(lib, &keeper) : nullptr) copy->unload = false;
}

bool loader_is_original(py::handle loader) { return original_cdll != nullptr && loader.ptr() == original_cdll; }

void remember_library_loader(py::handle ctypes) {
  original_cdll = py::object(ctypes.attr("CDLL")).release().ptr();
  // The caches that hold ctypes types for the process lifetime (not every
  // interpreter has both).
  pointer_type_cache = optional_attr(ctypes, "_pointer_type_cache").release().ptr();
  function_type_cache = optional_attr(ctypes, "_c_functype_cache").release().ptr();
}

}  // namespace vez::backend
