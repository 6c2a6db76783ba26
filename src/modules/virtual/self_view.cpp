#include "modules/virtual/self_view.hpp"

#include <algorithm>
#include <iterator>

namespace vez::virtual_actuator {

namespace {

constexpr const char* kMethodNames[kMethodCount] = {
    "_should_emit_feedback", "_emit_callback", "_build_feedback_snapshot", "_get_item_value",
    "_read_path",            "_require_actuator", "has_errors",             "get_debug_flags",
    "_ensure_initialized"};
constexpr const char* kAttributeNames[kAttributeCount] = {
    "actuator",         "telemetry_log",          "_setpoint", "_load_value", "_feedback_items",
    "_feedback_callback", "_feedback_rate_divider", "_simulation_step_count", "_address", "_latest_feedback",
    "_feedback", "_connected"};

glue::Installed installed_methods[kMethodCount];
PyObject* attribute_names[kAttributeCount] = {};

// The last type examined by check_type, reused while its version tag holds
// (a class keeps its tag until it is modified).
struct LastTypeCheck {
  PyTypeObject* type = nullptr;
  unsigned tag = 0;
  bool type_ok = false;
  bool own[kMethodCount] = {};
};
LastTypeCheck last_type_check;

}  // namespace

void remember_installed_methods(py::handle cls) {
  for (int a = 0; a < kAttributeCount; ++a) attribute_names[a] = interned(kAttributeNames[a]);
  for (int m = 0; m < kMethodCount; ++m) installed_methods[m].remember_class_attribute(cls, kMethodNames[m]);
}

void SelfView::check_type(PyTypeObject* t) {
  type = t;
  dict_slot = nullptr;
  LastTypeCheck& last = last_type_check;
  if (t == last.type && glue::compat::type_version_holds(t, last.tag)) {
    type_tag = last.tag;
    type_ok = last.type_ok;
    std::copy(std::begin(last.own), std::end(last.own), std::begin(own_by_type));
    return;
  }
  type_tag = glue::compat::type_version(t);
  type_ok = type_tag != 0 && t->tp_getattro == PyObject_GenericGetAttr && t->tp_setattro == PyObject_GenericSetAttr;
  for (PyObject* name : attribute_names) {
    if (!glue::instance_dict_decides(t, name)) type_ok = false;
  }
  for (int m = 0; m < kMethodCount; ++m) own_by_type[m] = installed_methods[m].type_resolves(t);
  last.type = t;
  last.tag = type_tag;
  last.type_ok = type_ok;
  std::copy(std::begin(own_by_type), std::end(own_by_type), std::begin(last.own));
}

bool SelfView::reload() {
  PyTypeObject* t = Py_TYPE(self);
  valid = false;
  if (t != type || !glue::compat::type_version_holds(t, type_tag)) check_type(t);
  dict_slot = glue::compat::instance_dict_slot(self);  // materializes an inline-values dict
  PyObject* d = dict_slot != nullptr ? *dict_slot : nullptr;
  dict = d;
  if (d == nullptr || !type_ok) return false;
  stamp = dict_guard.stamp(d, self);
  for (int a = 0; a < kAttributeCount; ++a) attrs[a] = PyDict_GetItem(d, attribute_names[a]);
  for (int m = 0; m < kMethodCount; ++m) own[m] = own_by_type[m] && installed_methods[m].not_shadowed_in(d);
  valid = true;
  return true;
}

void SelfView::store(Attribute a, PyObject* value) {
  if (refresh()) {
    // Keeps the stamp when nothing else changed (the replaced value is
    // released after the stamp is renewed: its destruction may run code).
    const int r = dict_guard.set_item(dict, attribute_names[a], value, &stamp);
    if (r != 0) {
      valid = false;
      throw_python_error();
    }
    attrs[a] = value;
    return;
  }
  if (PyObject_SetAttr(self, attribute_names[a], value) != 0) throw_python_error();
}

}  // namespace vez::virtual_actuator
