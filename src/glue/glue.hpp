// Glue for building plain Python classes and module functions out of C++.
//
// Every public class of the package is created with type(name, bases, ns), so
// users can subclass it, patch its methods with unittest.mock and find its
// state in the instance __dict__.  Its methods are pybind11 cpp_functions.
//
// Conventions kept here once for all modules:
//   * names a module imports are looked up in the module's dict at call time
//     (ModuleRef::get), so mock.patch("vez_api.<module>.<name>") works;
//   * warnings are issued through the module's `warnings` with stacklevel=1,
//     which points at the caller's line because C++ has no frame of its own;
//   * argument checks raise TypeError in one format:
//       Argument 'address' has incorrect type (expected int, got str)
//   * functions carry a __text_signature__ so inspect.signature, help() and
//     stubtest see real parameter names and defaults.
//
// Threads: everything here needs the GIL.  Nothing in this header may keep a
// py::object alive in a static; modules keep borrowed (deliberately leaked)
// PyObject pointers instead, which are never released at interpreter exit.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

namespace glue {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Errors

// Raises `type` (a builtin exception class) with `message`.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// TypeError "Argument '<arg>' has incorrect type (expected <expected>, got <type>)".
[[noreturn]] void raise_arg_type(const char* arg, const char* expected, py::handle got);

// Name of an object's type, as type(obj).__name__.
std::string type_name(py::handle obj);

// ---------------------------------------------------------------------------
// Argument conversion (all raise the TypeError above on a wrong type)

// Integer protocol: an int, or any number converted with int() (floats are
// truncated).  Strings and other non-numbers are rejected.
py::int_ as_int(py::handle obj, const char* arg);

// An integer argument whose value must not be rounded (a bus address): an int
// other than a bool, or a number equal to a whole number (16.0 is 16).
// Returns false for a bool, a number with a fraction part, an infinity or a
// NaN; non-numbers raise the TypeError above.
bool as_whole_int(py::handle obj, const char* arg, py::int_* out);

// The value of a Python int as int64; `fits` is false when it does not fit.
int64_t int64_of(py::handle int_obj, bool* fits);

// The low 64 bits (two's complement) of a Python int: what a mask sees.
uint64_t low_bits(py::handle int_obj);

// A number converted with float().
double as_float(py::handle obj, const char* arg);

// Container and text arguments.  The *_or_subclass checks accept what
// isinstance(obj, list) (dict, str) accepts; the exact ones accept the
// builtin type itself only.
py::list as_list_or_subclass(py::handle obj, const char* arg);
py::dict as_dict_or_subclass(py::handle obj, const char* arg);
py::str as_str_or_subclass(py::handle obj, const char* arg);
// A str (or subclass) or None; returns None as py::none().
py::object as_optional_str_or_subclass(py::handle obj, const char* arg);
py::list as_exact_list(py::handle obj, const char* arg);
py::dict as_exact_dict(py::handle obj, const char* arg);
py::str as_exact_str(py::handle obj, const char* arg);

// str(obj) as UTF-8.
std::string str(py::handle obj);

// ---------------------------------------------------------------------------
// The module a C++ function lives in, reached at call time.

class ModuleRef {
 public:
  // Records the module (borrowed for the process lifetime: extension
  // modules are never unloaded).
  void bind(py::module_ m);

  py::module_ module() const { return py::reinterpret_borrow<py::module_>(module_); }
  const char* name() const { return name_.c_str(); }

  // Current value of a module global; NameError when it was deleted.
  py::object get(const char* name) const;
  // Borrowed pointer to a module global, or nullptr (no error set).
  PyObject* peek(const char* name) const;
  // The same for a name given as a str (an interned one is found fastest).
  PyObject* peek(PyObject* name) const { return PyDict_GetItem(PyModule_GetDict(module_), name); }
  // A name as Python code in the module resolves it: the module global, else
  // the builtin (so a test may patch either `<module>.print` or `builtins.print`).
  py::object global(const char* name) const;

  void set(const char* name, py::handle value) const;

  // A module-level function with a text signature, stored under `name`.
  template <typename Func, typename... Extra>
  void def(const char* name, Func&& f, const Extra&... extra) const;

  // `import <module>` (the attribute is the top-level package for dotted names,
  // exactly like the statement) and `from <module> import <names>`.
  void import(const char* module) const;
  void import_from(const char* module, std::initializer_list<const char*> names) const;

  // logging.getLogger(<this module's name>) through the module's `logging`.
  py::object default_logger() const;

 private:
  PyObject* module_ = nullptr;
  std::string name_;
};

// ---------------------------------------------------------------------------
// Warnings and logging

// warnings.warn(message, category, stacklevel=1) through the module's own
// `warnings` name: the warning is attributed to the Python line that called
// into C++ (what a Python function would get with stacklevel=2).
void warn(const ModuleRef& mod, PyObject* category, const std::string& message);

// "<old> is deprecated, use <new> instead" as a DeprecationWarning.
void warn_deprecated_name(const ModuleRef& mod, const char* old_name, const char* new_name);

// logger.<level>(message), e.g. log(logger, "warning", "...").  Calls the
// level method so that mocks and handlers see the usual call.
void log(py::handle logger, const char* level, const std::string& message);

// ---------------------------------------------------------------------------
// Locks

// Runs fn() while holding a Python lock object (acquire()/release()).
// Python exceptions and C++ exceptions release the lock and propagate; a
// forced thread unwind at interpreter exit passes through untouched (the GIL
// is not held then, so nothing may call into Python).
template <typename Fn>
decltype(auto) with_lock(py::handle lock, Fn&& fn) {
  lock.attr("acquire")();
  try {
    if constexpr (std::is_void_v<decltype(fn())>) {
      fn();
      lock.attr("release")();
    } else {
      decltype(auto) result = fn();
      lock.attr("release")();
      return result;
    }
  } catch (py::error_already_set&) {
    py::error_scope keep;  // release() must not see or clear the pending error
    lock.attr("release")();
    throw;
  } catch (std::exception&) {
    lock.attr("release")();
    throw;
  }
}

// ---------------------------------------------------------------------------
// Functions with text signatures

// An explicit text signature, e.g. sig{"(self, *args, **kwargs)"}.  Without
// one, the signature is built from the py::arg / py::arg_v extras.
struct sig {
  const char* text;
};
// A docstring for a function or method.
struct doc {
  const char* text;
};

namespace detail {

struct SignatureBuilder {
  std::string params;
  const char* override_text = nullptr;
  const char* doc = nullptr;
  void add(const py::arg& a);
  void add(const py::arg_v& a);
  void add(const sig& s) { override_text = s.text; }
  void add(const glue::doc& d) { doc = d.text; }
  template <typename T>
  void add(const T&) {}
  // "name(<params>)\n--\n\n<doc>": the form CPython reads __text_signature__ from.
  std::string docstring(const char* name, bool method) const;
};

template <typename T>
constexpr bool is_glue_extra = std::is_same_v<T, sig> || std::is_same_v<T, glue::doc>;

// Keeps the pybind11 extras, drops the glue-only ones.
template <typename... Out>
auto pybind_extras(std::tuple<Out...>&& acc) {
  return std::move(acc);
}
template <typename... Out, typename First, typename... Rest>
auto pybind_extras(std::tuple<Out...>&& acc, const First& first, const Rest&... rest) {
  if constexpr (is_glue_extra<std::decay_t<First>>) {
    return pybind_extras(std::move(acc), rest...);
  } else {
    return pybind_extras(std::tuple_cat(std::move(acc), std::tuple<First>(first)), rest...);
  }
}

// A method named __init__ that calls `inner` (a function made by pybind11
// under another name) with the same arguments, with `docstring` (text
// signature included) as its own.  pybind11 treats a function made under the
// name __init__ as a constructor of its own classes, so the function is made
// under another name and this wrapper carries the real one.
py::object init_method(py::handle inner, const std::string& docstring);

// The docstring is handed to pybind11 as the function's only documentation
// with pybind11's own signature line switched off (public options), so the
// function's __doc__ is exactly "name(params)\n--\n\n<doc>" and CPython
// reads __text_signature__ from it.
template <bool IsMethod, typename Func, typename... Extra>
auto make_function(const char* name, py::handle scope, Func&& f, const Extra&... extra) {
  SignatureBuilder sb;
  (sb.add(extra), ...);
  const bool is_init = std::strcmp(name, "__init__") == 0;
  const char* made_name = is_init ? "__init__glue" : name;
  const std::string docstring = sb.docstring(made_name, IsMethod);
  py::options options;
  options.disable_function_signatures();
  options.enable_user_defined_docstrings();
  // The docstring goes last: pybind11 keeps the last documentation given.
  auto make = [&](auto&&... ex) { return py::cpp_function(std::forward<Func>(f), ex..., docstring.c_str()); };
  if constexpr (IsMethod) {
    py::cpp_function fn = std::apply(make, pybind_extras(std::make_tuple(py::name(made_name), py::is_method(scope)), extra...));
    if (!is_init) return py::object(std::move(fn));
    // pybind11 wraps a method in an instancemethod; the function is inside.
    return init_method(PyInstanceMethod_Function(fn.ptr()), sb.docstring(name, true));
  } else {
    return std::apply(make, pybind_extras(std::make_tuple(py::name(made_name)), extra...));
  }
}

}  // namespace detail

// A module-level or static function with a text signature.
template <typename Func, typename... Extra>
py::cpp_function function(const char* name, Func&& f, const Extra&... extra) {
  return detail::make_function<false>(name, py::handle(), std::forward<Func>(f), extra...);
}

template <typename Func, typename... Extra>
void ModuleRef::def(const char* name, Func&& f, const Extra&... extra) const {
  set(name, function(name, std::forward<Func>(f), py::scope(module()), extra...));
}

// ---------------------------------------------------------------------------
// Plain Python classes

// Gives a class the text signature `signature` ("(address, logger=None)"),
// which inspect.signature(cls) and help() show: CPython reads a class's
// __text_signature__ from its internal doc ("Name(...)\n--\n\n"), while a
// plain class's __doc__ comes from its dict and stays as it is.
void set_class_text_signature(py::handle cls, const std::string& signature);

// The same with the parameters of the class's own __init__ (a glue method),
// without self.  A class without one is left as it is.
void sign_class_from_init(py::handle cls);

class ClassBuilder {
 public:
  // Creates type(name, bases, {__module__, __qualname__, __doc__,
  // __annotations__}).  `qualname` defaults to `name`.
  ClassBuilder(const ModuleRef& mod, const char* name, py::tuple bases, const char* doc,
               const char* qualname = nullptr);

  py::object cls() const { return cls_; }

  // An instance method (the first C++ parameter receives self).  Works for
  // __init__ too, whose parameters then become the class's signature.
  template <typename Func, typename... Extra>
  ClassBuilder& def(const char* name, Func&& f, const Extra&... extra) {
    py::object fn = detail::make_function<true>(name, cls_, std::forward<Func>(f), extra...);
    set(name, fn);
    if (std::strcmp(name, "__init__") == 0) sign_class_from_init(cls_);
    return *this;
  }

  template <typename Func, typename... Extra>
  ClassBuilder& def_static(const char* name, Func&& f, const Extra&... extra) {
    set(name, staticmethod(function(name, std::forward<Func>(f), py::scope(cls_), extra...)));
    return *this;
  }

  // A read-only property whose getter receives self.
  template <typename Func>
  ClassBuilder& def_property_readonly(const char* name, Func&& getter, const char* doc = nullptr) {
    py::cpp_function fget(std::forward<Func>(getter), py::name(name));
    set(name, property(fget, doc));
    return *this;
  }

  ClassBuilder& attr(const char* name, py::handle value) {
    set(name, value);
    return *this;
  }

  // Adds name: type to the class __annotations__.
  ClassBuilder& annotate(const char* name, py::handle type);

  // Stores the class in the module under its name and returns it.
  py::object finish();

 private:
  void set(const char* name, py::handle value);
  static py::object staticmethod(py::handle fn);
  static py::object property(py::handle fget, const char* doc);

  const ModuleRef& mod_;
  py::object cls_;
  std::string name_;
};

// super(cls, self).<name> (the next class in type(self).__mro__).
py::object super_attr(py::handle cls, py::handle self, const char* name);

// ---------------------------------------------------------------------------
// Fast methods: METH_FASTCALL C functions for the few calls made once per
// control period, where pybind11's dispatcher would cost more than the work.

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS method to its
// parameters (after self) the way Python binds them: positionally, then by
// keyword.  `out` receives one borrowed pointer per name, nullptr where the
// caller gave nothing.  bind() returns false with a TypeError set on too many,
// unknown or repeated arguments, or a missing one of the first `required`.
// The parameter names are interned once: keyword arguments are matched by
// identity first (call sites use interned names), by text only when that
// fails.  Make one per method, at import or at its first call (never freed).
class FastParameters {
 public:
  FastParameters(const char* method, std::initializer_list<const char*> names, size_t required);
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

 private:
  static constexpr size_t kMaxParameters = 8;
  const char* method_;
  const char* names_[kMaxParameters] = {};
  PyObject* interned_[kMaxParameters] = {};
  size_t count_ = 0;
  size_t required_;
};

// Runs fn() and turns a C++ exception into the pending Python error, as a
// function called from C must; it then returns `failure` (nullptr for a
// function returning a new reference, -1 for an int status).
template <typename Fn, typename R = std::invoke_result_t<Fn>>
R python_call(Fn&& fn, R failure = R{}) noexcept {
  try {
    return fn();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return failure;
}

// Installs `def` (METH_FASTCALL, with a text signature in its doc) on `cls` as
// a method descriptor and returns it (borrowed from the class).
PyObject* def_fast_method(py::handle cls, PyMethodDef* def);

// ---------------------------------------------------------------------------
// Small helpers

// The pending Python error as a C++ exception.
[[noreturn]] inline void throw_python_error() { throw py::error_already_set(); }

// A new reference as a py::object; the pending error when it is null.
inline py::object steal(PyObject* obj) {
  if (obj == nullptr) throw_python_error();
  return py::reinterpret_steal<py::object>(obj);
}

// The object's reference, leaked on purpose: for module-level pointers that
// must outlive every use, including those during interpreter exit.
inline PyObject* keep(py::object obj) { return obj.release().ptr(); }

// An interned str kept for the process lifetime.
PyObject* interned(const char* text);

// bool(obj); errors propagate.
bool truthy(py::handle obj);

// isinstance(obj, cls); errors propagate.
bool is_instance(py::handle obj, PyObject* cls);

// self.<name>(*args): dispatches through the instance so overrides and
// patched methods are honoured.
template <typename... Args>
py::object call_method(py::handle self, const char* name, Args&&... args) {
  return self.attr(name)(std::forward<Args>(args)...);
}

// bytes -> list of ints.
py::list bytes_to_list(const uint8_t* data, size_t n);

}  // namespace glue
