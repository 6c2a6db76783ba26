#include "glue.hpp"

#include "cpython_compat.hpp"

#include <cmath>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace glue {

using namespace pybind11::literals;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

[[noreturn]] void raise_arg_type(const char* arg, const char* expected, py::handle got) {
  raise(PyExc_TypeError, std::string("Argument '") + arg + "' has incorrect type (expected " + expected +
                             ", got " + type_name(got) + ")");
}

// Only a TypeError of the conversion itself becomes the argument error; an
// OverflowError (int(inf)) or ValueError (int(nan)) says more as it is.
static void rethrow_as_arg_type(const char* arg, const char* expected, py::handle got) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    raise_arg_type(arg, expected, got);
  }
  throw py::error_already_set();
}

py::int_ as_int(py::handle obj, const char* arg) {
  if (PyLong_Check(obj.ptr())) return py::reinterpret_borrow<py::int_>(obj);
  if (!PyNumber_Check(obj.ptr())) raise_arg_type(arg, "int", obj);
  PyObject* converted = PyNumber_Long(obj.ptr());
  if (converted == nullptr) rethrow_as_arg_type(arg, "int", obj);
  return py::reinterpret_steal<py::int_>(converted);
}

bool as_whole_int(py::handle obj, const char* arg, py::int_* out) {
  if (PyBool_Check(obj.ptr())) return false;
  if (PyLong_Check(obj.ptr())) {
    *out = py::reinterpret_borrow<py::int_>(obj);
    return true;
  }
  if (!PyNumber_Check(obj.ptr())) raise_arg_type(arg, "int", obj);
  PyObject* converted = PyNumber_Long(obj.ptr());
  if (converted == nullptr) {
    // int(inf) overflows and int(nan) is a ValueError: neither is a whole number.
    if (PyErr_ExceptionMatches(PyExc_OverflowError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return false;
    }
    rethrow_as_arg_type(arg, "int", obj);
  }
  py::int_ whole = py::reinterpret_steal<py::int_>(converted);
  const int equal = PyObject_RichCompareBool(whole.ptr(), obj.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  if (equal == 0) return false;
  *out = whole;
  return true;
}

int64_t int64_of(py::handle int_obj, bool* fits) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(int_obj.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  *fits = overflow == 0;
  return static_cast<int64_t>(value);
}

uint64_t low_bits(py::handle int_obj) {
  unsigned long long value = PyLong_AsUnsignedLongLongMask(int_obj.ptr());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

double as_float(py::handle obj, const char* arg) {
  if (PyFloat_CheckExact(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
  if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr()))
    raise_arg_type(arg, "float", obj);
  double value = PyFloat_AsDouble(obj.ptr());
  if (value == -1.0 && PyErr_Occurred()) rethrow_as_arg_type(arg, "float", obj);
  return value;
}

py::list as_list_or_subclass(py::handle obj, const char* arg) {
  if (!PyList_Check(obj.ptr())) raise_arg_type(arg, "list", obj);
  return py::reinterpret_borrow<py::list>(obj);
}

py::dict as_dict_or_subclass(py::handle obj, const char* arg) {
  if (!PyDict_Check(obj.ptr())) raise_arg_type(arg, "dict", obj);
  return py::reinterpret_borrow<py::dict>(obj);
}

py::str as_str_or_subclass(py::handle obj, const char* arg) {
  if (!PyUnicode_Check(obj.ptr())) raise_arg_type(arg, "str", obj);
  return py::reinterpret_borrow<py::str>(obj);
}

py::object as_optional_str_or_subclass(py::handle obj, const char* arg) {
  if (obj.is_none()) return py::none();
  return as_str_or_subclass(obj, arg);
}

py::list as_exact_list(py::handle obj, const char* arg) {
  if (!PyList_CheckExact(obj.ptr())) raise_arg_type(arg, "list", obj);
  return py::reinterpret_borrow<py::list>(obj);
}

py::dict as_exact_dict(py::handle obj, const char* arg) {
  if (!PyDict_CheckExact(obj.ptr())) raise_arg_type(arg, "dict", obj);
  return py::reinterpret_borrow<py::dict>(obj);
}

py::str as_exact_str(py::handle obj, const char* arg) {
  if (!PyUnicode_CheckExact(obj.ptr())) raise_arg_type(arg, "str", obj);
  return py::reinterpret_borrow<py::str>(obj);
}

std::string str(py::handle obj) { return py::str(obj).cast<std::string>(); }

// ---------------------------------------------------------------------------

void ModuleRef::bind(py::module_ m) {
  module_ = m.ptr();
  Py_INCREF(module_);  // kept for the process lifetime
  name_ = py::str(m.attr("__name__")).cast<std::string>();
}

PyObject* ModuleRef::peek(const char* name) const {
  return PyDict_GetItemString(PyModule_GetDict(module_), name);  // borrowed, no error set
}

py::object ModuleRef::get(const char* name) const {
  PyObject* value = peek(name);
  if (value == nullptr) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
  return py::reinterpret_borrow<py::object>(value);
}

py::object ModuleRef::global(const char* name) const {
  if (PyObject* value = peek(name)) return py::reinterpret_borrow<py::object>(value);
  return py::module_::import("builtins").attr(name);
}

void ModuleRef::set(const char* name, py::handle value) const {
  if (PyModule_AddObjectRef(module_, name, value.ptr()) != 0) throw py::error_already_set();
}

void ModuleRef::import(const char* module) const {
  py::module_ imported = py::module_::import(module);
  std::string top(module);
  const size_t dot = top.find('.');
  if (dot == std::string::npos) {
    set(module, imported);
  } else {
    top.resize(dot);
    set(top.c_str(), py::module_::import(top.c_str()));
  }
}

void ModuleRef::import_from(const char* module, std::initializer_list<const char*> names) const {
  py::module_ imported = py::module_::import(module);
  for (const char* name : names) set(name, imported.attr(name));
}

py::object ModuleRef::default_logger() const { return get("logging").attr("getLogger")(name_); }

// ---------------------------------------------------------------------------

void warn(const ModuleRef& mod, PyObject* category, const std::string& message) {
  mod.get("warnings").attr("warn")(message, py::handle(category), "stacklevel"_a = 1);
}

void warn_deprecated_name(const ModuleRef& mod, const char* old_name, const char* new_name) {
  warn(mod, PyExc_DeprecationWarning, std::string(old_name) + " is deprecated, use " + new_name + " instead");
}

void log(py::handle logger, const char* level, const std::string& message) { logger.attr(level)(message); }

// ---------------------------------------------------------------------------

namespace detail {

void SignatureBuilder::add(const py::arg& a) {
  params += ", ";
  params += a.name;
}

void SignatureBuilder::add(const py::arg_v& a) {
  params += ", ";
  params += a.name;
  params += "=";
  if (PyFloat_Check(a.value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(a.value.ptr()))) {
    params += "math.nan";  // resolved by inspect in the function's module
  } else {
    params += py::repr(a.value).cast<std::string>();
  }
}

std::string SignatureBuilder::docstring(const char* name, bool method) const {
  std::string out(name);
  if (override_text != nullptr) {
    out += override_text;
  } else {
    std::string inner = method ? "self" + params : (params.empty() ? "" : params.substr(2));
    out += "(" + inner + ")";
  }
  out += "\n--\n\n";
  if (doc != nullptr) out += doc;
  return out;
}

static PyObject* call_inner(PyObject* inner, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return PyObject_Vectorcall(inner, args, static_cast<size_t>(nargs), kwnames);
}

py::object init_method(py::handle inner, const std::string& docstring) {
  // A function object keeps a pointer to its PyMethodDef: each one lives as
  // long as the process, like the class whose __init__ it is (classes are
  // made once, when their module is imported).
  auto* def = new PyMethodDef{"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_inner)),
                              METH_FASTCALL | METH_KEYWORDS, strdup(docstring.c_str())};
  PyObject* fn = PyCFunction_NewEx(def, inner.ptr(), nullptr);
  if (fn == nullptr) throw py::error_already_set();
  PyObject* method = PyInstanceMethod_New(fn);
  Py_DECREF(fn);
  if (method == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(method);
}

}  // namespace detail

// ---------------------------------------------------------------------------

ClassBuilder::ClassBuilder(const ModuleRef& mod, const char* name, py::tuple bases, const char* doc,
                           const char* qualname)
    : mod_(mod), name_(name) {
  py::dict ns;
  ns["__module__"] = mod.name();
  ns["__qualname__"] = qualname != nullptr ? qualname : name;
  ns["__doc__"] = doc != nullptr ? py::object(py::str(doc)) : py::object(py::none());
  ns["__annotations__"] = py::dict();
  cls_ = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
}

void ClassBuilder::set(const char* name, py::handle value) { cls_.attr(name) = value; }

ClassBuilder& ClassBuilder::annotate(const char* name, py::handle type) {
  cls_.attr("__annotations__")[name] = type;
  return *this;
}

py::object ClassBuilder::staticmethod(py::handle fn) {
  PyObject* sm = PyStaticMethod_New(fn.ptr());
  if (sm == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(sm);
}

py::object ClassBuilder::property(py::handle fget, const char* doc) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(
      fget, py::none(), py::none(), doc != nullptr ? py::object(py::str(doc)) : py::object(py::none()));
}

py::object ClassBuilder::finish() {
  mod_.set(name_.c_str(), cls_);
  return cls_;
}

FastParameters::FastParameters(const char* method, std::initializer_list<const char*> names, size_t required)
    : method_(method), required_(required) {
  if (names.size() > kMaxParameters) raise(PyExc_ValueError, std::string("too many parameters for ") + method);
  for (const char* name : names) {
    names_[count_] = name;
    interned_[count_] = interned(name);
    ++count_;
  }
}

bool FastParameters::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
  for (size_t i = 0; i < count_; ++i) out[i] = nullptr;
  if (static_cast<size_t>(nargs) > count_) {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given", method_,
                 required_ + 1, count_ + 1, nargs + 1);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t index = 0;
    while (index < count_ && key != interned_[index]) ++index;
    if (index == count_) {
      index = 0;
      while (index < count_ && PyUnicode_CompareWithASCIIString(key, names_[index]) != 0) ++index;
    }
    if (index == count_) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method_, key);
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", method_, key);
      return false;
    }
    out[index] = args[nargs + k];
  }
  for (size_t index = 0; index < required_; ++index) {
    if (out[index] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", method_, names_[index]);
      return false;
    }
  }
  return true;
}

PyObject* def_fast_method(py::handle cls, PyMethodDef* def) {
  PyObject* descriptor = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def);
  if (descriptor == nullptr) throw py::error_already_set();
  const int failed = PyObject_SetAttrString(cls.ptr(), def->ml_name, descriptor);
  Py_DECREF(descriptor);
  if (failed != 0) throw py::error_already_set();
  return descriptor;  // the class holds it
}

void set_class_text_signature(py::handle cls, const std::string& signature) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) throw std::invalid_argument("a class made at run time expected");
  const std::string name = compat::type_short_name(type);
  std::string internal = name + signature + "\n--\n\n";
  if (const char* old = compat::heap_type_doc(type)) {  // keep the text, drop an earlier signature
    std::string doc = old;
    const size_t end_of_signature = doc.find("\n--\n\n");
    if (doc.rfind(name + "(", 0) == 0 && end_of_signature != std::string::npos) doc.erase(0, end_of_signature + 5);
    internal += doc;
  }
  if (!compat::set_heap_type_doc(type, internal.c_str())) throw py::error_already_set();
}

void sign_class_from_init(py::handle cls) {
  py::object own = cls.attr("__dict__");
  if (!own.contains("__init__")) return;
  py::object init = own["__init__"];
  if (!PyInstanceMethod_Check(init.ptr())) return;
  py::object text_signature = py::getattr(PyInstanceMethod_Function(init.ptr()), "__text_signature__", py::none());
  if (text_signature.is_none()) return;
  // "(self, a, b=1)" -> "(a, b=1)": the class is called without self.
  std::string text = text_signature.cast<std::string>();
  if (text.rfind("(self, ", 0) == 0) {
    text.erase(1, 6);
  } else if (text.rfind("(self)", 0) == 0) {
    text.erase(1, 4);
  } else {
    return;
  }
  set_class_text_signature(cls, text);
}

py::object super_attr(py::handle cls, py::handle self, const char* name) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PySuper_Type))(cls, self).attr(name);
}

PyObject* interned(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);  // kept for the process lifetime
  if (s == nullptr) throw_python_error();
  return s;
}

bool truthy(py::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw_python_error();
  return result == 1;
}

bool is_instance(py::handle obj, PyObject* cls) {
  const int result = PyObject_IsInstance(obj.ptr(), cls);
  if (result < 0) throw_python_error();
  return result == 1;
}

py::list bytes_to_list(const uint8_t* data, size_t n) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) throw py::error_already_set();
  for (size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), PyLong_FromLong(data[i]));  // small ints: cached
  }
  return py::reinterpret_steal<py::list>(list);
}

}  // namespace glue
