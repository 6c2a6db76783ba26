// _glue_selftest: the fast-path toolkit of src/glue exposed to pytest
// (tests/python/test_glue.py).  Built with the package for the tests only;
// never installed.
#include <pybind11/pybind11.h>

#include <vector>

#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"
#include "glue/installed.hpp"
#include "glue/weak_cache.hpp"

namespace py = pybind11;

namespace {

glue::ModuleRef mod;

// Guards live for the process, as in the modules.
auto* guards = new std::vector<glue::Installed*>();

glue::Installed& guard(size_t index) {
  if (index >= guards->size()) glue::raise(PyExc_IndexError, "no such guard");
  return *(*guards)[index];
}

size_t add(glue::Installed* g) {
  guards->push_back(g);
  return guards->size() - 1;
}

// A cache entry: a number and, optionally, a strong reference released when
// the entry goes (as the modules' entries release what they hold).
struct Entry {
  long number = 0;
  PyObject* held = nullptr;
  ~Entry() { Py_XDECREF(held); }
};
auto* cache = new glue::WeakKeyedCache<Entry>();

bool cache_add(py::handle key, long number, py::handle held) {
  Entry* entry = cache->find_or_add(key.ptr());
  if (entry == nullptr) return false;
  entry->number = number;
  Py_XDECREF(entry->held);
  entry->held = held.is_none() ? nullptr : py::reinterpret_borrow<py::object>(held).release().ptr();
  return true;
}

py::object cache_find(py::handle key) {
  const Entry* entry = cache->find(key.ptr());
  if (entry == nullptr) return py::none();
  return py::int_(entry->number);
}

// Dict guards, made on demand and never destroyed (as in the modules).
auto* dict_guards = new std::vector<glue::compat::DictGuard*>();

glue::compat::DictGuard& dict_guard(size_t index) {
  if (index >= dict_guards->size()) glue::raise(PyExc_IndexError, "no such dict guard");
  return *(*dict_guards)[index];
}

PyObject* exact_dict(py::handle d) { return glue::as_exact_dict(d, "d").ptr(); }

}  // namespace

PYBIND11_MODULE(_glue_selftest, m) {
  mod.bind(m);
  m.attr("installed_global") = py::str("original");
  mod.def("remember_global", [](const char* name) {
    auto* g = new glue::Installed();
    g->remember_global(mod, name);
    return add(g);
  }, py::arg("name"));
  mod.def("remember_class_attribute", [](py::handle cls, const char* name) {
    if (!PyType_Check(cls.ptr())) glue::raise_arg_type("cls", "type", cls);
    auto* g = new glue::Installed();
    g->remember_class_attribute(cls, name);
    return add(g);
  }, py::arg("cls"), py::arg("name"));
  mod.def("global_holds", [](size_t index) { return guard(index).global_holds(mod); }, py::arg("guard"));
  mod.def("type_resolves", [](size_t index, py::handle cls) {
    if (!PyType_Check(cls.ptr())) glue::raise_arg_type("cls", "type", cls);
    return guard(index).type_resolves(reinterpret_cast<PyTypeObject*>(cls.ptr()));
  }, py::arg("guard"), py::arg("cls"));
  mod.def("holds_for", [](size_t index, py::handle obj) { return guard(index).holds_for(obj.ptr()); },
          py::arg("guard"), py::arg("obj"));

  mod.def("cache_add", &cache_add, py::arg("key"), py::arg("number"), py::arg_v("held", py::none()));
  mod.def("cache_find", &cache_find, py::arg("key"));
  mod.def("cache_size", [] { return cache->size(); });

  m.attr("dict_stamps_per_dict") = py::bool_(glue::compat::kDictStampsPerDict);
  mod.def("dict_guard", [] {
    dict_guards->push_back(new glue::compat::DictGuard());
    return dict_guards->size() - 1;
  });
  mod.def("dict_guard_open", [](size_t g) { return dict_guard(g).open(); }, py::arg("guard"));
  mod.def("dict_guard_close", [](size_t g) { dict_guard(g).close(); }, py::arg("guard"));
  mod.def("dict_guard_stamp", [](size_t g, py::handle d, py::handle owner) {
    return dict_guard(g).stamp(exact_dict(d), owner.is_none() ? nullptr : owner.ptr());
  }, py::arg("guard"), py::arg("d"), py::arg_v("owner", py::none()));
  mod.def("dict_guard_holds", [](size_t g, py::handle d, uint64_t stamp) { return dict_guard(g).holds(exact_dict(d), stamp); },
          py::arg("guard"), py::arg("d"), py::arg("stamp"));
  mod.def("dict_guard_set_item", [](size_t g, py::handle d, py::handle key, py::handle value, uint64_t stamp) {
    if (!PyUnicode_CheckExact(key.ptr())) glue::raise_arg_type("key", "str", key);
    if (dict_guard(g).set_item(exact_dict(d), key.ptr(), value.ptr(), &stamp) != 0) throw py::error_already_set();
    return stamp;
  }, py::arg("guard"), py::arg("d"), py::arg("key"), py::arg("value"), py::arg("stamp"));
  mod.def("dict_guard_watched", [](size_t g) { return dict_guard(g).watched(); }, py::arg("guard"));

  mod.def("truthy", [](py::handle obj) { return glue::truthy(obj); }, py::arg("obj"));
  mod.def("as_exact_list", [](py::handle obj) { return glue::as_exact_list(obj, "value"); }, py::arg("obj"));
  mod.def("as_list_or_subclass", [](py::handle obj) { return glue::as_list_or_subclass(obj, "value"); }, py::arg("obj"));
  mod.def("as_exact_dict", [](py::handle obj) { return glue::as_exact_dict(obj, "value"); }, py::arg("obj"));
  mod.def("as_dict_or_subclass", [](py::handle obj) { return glue::as_dict_or_subclass(obj, "value"); }, py::arg("obj"));
  mod.def("as_exact_str", [](py::handle obj) { return glue::as_exact_str(obj, "value"); }, py::arg("obj"));
  mod.def("as_str_or_subclass", [](py::handle obj) { return glue::as_str_or_subclass(obj, "value"); }, py::arg("obj"));
}
