#include "modules/virtual/feedback_items.hpp"

#include <array>
#include <string>
#include <unordered_map>

namespace vez::virtual_actuator {

namespace {

std::array<ItemRule, 256> item_rules;
// Deliberately leaked, like the members it points at.
auto* rules_by_member = new std::unordered_map<PyObject*, const ItemRule*>();

}  // namespace

int bus_power_column = -1;
int bus_current_column = -1;

namespace {

}  // namespace

void build_item_rules() {
  for (const core::NamedCode& c : core::kItemNames) {
    ItemRule& rule = item_rules[c.value];
    rule.signal = core::item_signal(static_cast<uint8_t>(c.value));
    if (rule.signal.column >= 0) {
      const core::TelemetryColumn& column = kColumns[rule.signal.column];
      rule.path = interned((std::string(core::kTwinViewNames[column.view]) + "." + column.field).c_str());
    }
    rule.hash = PyObject_Hash(vocab.item_members[c.value]);
    if (rule.hash == -1) throw_python_error();
    (*rules_by_member)[vocab.item_members[c.value]] = &rule;
  }
  bus_power_column = core::bus_power_column();
  bus_current_column = core::bus_current_column();
}

const ItemRule* rule_of(PyObject* item) {
  auto it = rules_by_member->find(item);
  return it != rules_by_member->end() ? it->second : nullptr;
}

py::object get_item_value(py::object self, py::object item) {
  glue::call_method(self, "_require_actuator");
  const ItemRule* rule = rule_of(item.ptr());
  if (rule == nullptr) {
    PyErr_SetObject(PyExc_KeyError, py::str("Unsupported feedback item: " + glue::str(item)).ptr());
    throw_python_error();
  }
  auto read = [&](PyObject* path) { return glue::call_method(self, "_read_path", py::handle(path)); };
  auto flag = [&](py::object value) {
    const int nonzero = PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_NE);
    if (nonzero < 0) throw_python_error();
    return py::reinterpret_borrow<py::object>(nonzero ? one_float : zero_float);
  };
  switch (rule->signal.source) {
    case core::ItemSource::kColumn:
      return read(rule->path);
    case core::ItemSource::kErrorFlag:
      return flag(read(rule->path));
    case core::ItemSource::kZeroInt:
      return py::int_(0);
    case core::ItemSource::kVbus: {
      // core::bus_voltage on whatever numbers _read_path gives.
      py::object power = read(item_rules[static_cast<uint8_t>(core::Item::BUS_POWER)].path);
      py::object current = read(item_rules[static_cast<uint8_t>(core::Item::BUS_CURRENT)].path);
      const int zero = PyObject_RichCompareBool(current.ptr(), py::int_(0).ptr(), Py_EQ);
      if (zero < 0) throw_python_error();
      return steal(PyNumber_TrueDivide(power.ptr(), zero ? one_float : current.ptr()));
    }
    case core::ItemSource::kPcbTemperature:
      return py::reinterpret_borrow<py::object>(pcb_temperature);
    case core::ItemSource::kDebugBool:
      return py::reinterpret_borrow<py::object>(truthy(glue::call_method(self, "has_errors")) ? one_float : zero_float);
    case core::ItemSource::kNan:
      return nan_object();
  }
  return nan_object();
}

void ItemsInUse::clear_last() {
  for (PyObject*& o : last) Py_CLEAR(o);
}

bool ItemsInUse::match(PyObject* items) {
  const Py_ssize_t n = PyList_GET_SIZE(items);
  if (valid && static_cast<size_t>(n) == members.size()) {
    bool same = true;
    for (Py_ssize_t i = 0; i < n && same; ++i) same = PyList_GET_ITEM(items, i) == members[static_cast<size_t>(i)];
    if (same) return true;
  }
  clear_last();
  members.clear();
  rules.clear();
  valid = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(items, i);
    const ItemRule* rule = rule_of(item);
    if (rule == nullptr) return false;
    members.push_back(item);
    rules.push_back(rule);
  }
  last.assign(members.size(), nullptr);
  valid = true;
  return true;
}

}  // namespace vez::virtual_actuator
