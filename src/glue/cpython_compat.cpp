#include "cpython_compat.hpp"

#include <algorithm>
#include <unordered_map>

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
