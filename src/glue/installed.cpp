#include "glue/installed.hpp"

#include "glue/cpython_compat.hpp"

namespace glue {

void Installed::remember_global(const ModuleRef& mod, const char* name) {
  name_ = interned(name);
  original_ = mod.peek(name);
  Py_XINCREF(original_);
}

void Installed::remember_class_attribute(py::handle cls, const char* name) {
  remember_class_attribute(cls, interned(name));
}

void Installed::remember_class_attribute(py::handle cls, PyObject* interned_name) {
  name_ = interned_name;
  original_ = compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name_);
  Py_XINCREF(original_);
  seen_type_ = nullptr;
}

bool Installed::global_holds(const ModuleRef& mod) const {
  return original_ != nullptr && PyDict_GetItem(PyModule_GetDict(mod.module().ptr()), name_) == original_;
}

bool Installed::recheck(PyTypeObject* type) const {
  const bool answer = original_ != nullptr && type->tp_getattro == PyObject_GenericGetAttr &&
                      compat::type_lookup(type, name_) == original_;
  seen_type_ = type;
  seen_tag_ = compat::type_version(type);
  seen_answer_ = answer;
  return answer;
}

bool instance_dict_decides(PyTypeObject* type, PyObject* name) {
  return type->tp_getattro == PyObject_GenericGetAttr && compat::type_lookup(type, name) == nullptr;
}

bool is_bound_method_of(PyObject* method, PyObject* function) {
  return method != nullptr && PyMethod_Check(method) && PyMethod_GET_FUNCTION(method) == function;
}

}  // namespace glue
