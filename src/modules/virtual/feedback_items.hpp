// Feedback items on the virtual actuator: what each VEZ_Items member reads
// (the rules of core/virtual_items.hpp, bound to the enumeration members),
// read from raw memory on the fast path or through the model's attributes on
// the ordinary one.
//
// Threads: the GIL must be held.
#pragma once

#include <Python.h>

#include <vector>

#include "core/virtual_items.hpp"
#include "modules/virtual/module_state.hpp"
#include "modules/virtual/wrapper_fields.hpp"

namespace vez::virtual_actuator {

struct ItemRule {
  core::ItemSignal signal{core::ItemSource::kNan, -1};
  PyObject* path = nullptr;  // "view.field" for the Python-level reads of column items
  Py_hash_t hash = 0;        // hash(member), computed once
};

// Binds the rules to the members of VEZ_Items (after vocab is loaded).
void build_item_rules();

// The rule of `item` when it is a VEZ_Items member, else nullptr (no
// Python code runs).
const ItemRule* rule_of(PyObject* item);

// Columns of the VBUS formula (set by build_item_rules).
extern int bus_power_column;
extern int bus_current_column;

inline bool any_debug_flag(const WrapperFields& fields) {
  for (size_t c = 0; c < kColumnCount; ++c) {
    if (kColumns[c].view == kDebug && column_nonzero(fields.columns[c])) return true;
  }
  return false;
}

// The item's value from raw memory (a new reference, or nullptr with an
// error); `previous` is the object of the last snapshot for this item,
// reused when equal.  Runs no Python code.
inline PyObject* item_value_from_fields(const WrapperFields& fields, const ItemRule& rule, PyObject* previous) {
  switch (rule.signal.source) {
    case core::ItemSource::kColumn:
      return float_object(column_double(fields.columns[rule.signal.column]), previous);
    case core::ItemSource::kErrorFlag:
      return Py_NewRef(column_nonzero(fields.columns[rule.signal.column]) ? one_float : zero_float);
    case core::ItemSource::kZeroInt:
      return PyLong_FromLong(0);
    case core::ItemSource::kVbus: {
      const double power = column_double(fields.columns[bus_power_column]);
      const double current = column_double(fields.columns[bus_current_column]);
      return float_object(core::bus_voltage(power, current), previous);
    }
    case core::ItemSource::kPcbTemperature:
      return Py_NewRef(pcb_temperature);
    case core::ItemSource::kDebugBool:
      return Py_NewRef(any_debug_flag(fields) ? one_float : zero_float);
    case core::ItemSource::kNan:
      return Py_NewRef(nan_float);
  }
  return Py_NewRef(nan_float);
}

// DorozeActuatorVirtual._get_item_value(item): the ordinary path, through
// self._read_path and self.has_errors.
py::object get_item_value(py::object self, py::object item);

// The feedback items of the running step() calls, resolved to their rules,
// with the objects of the last snapshot for reuse.
struct ItemsInUse {
  std::vector<PyObject*> members;  // borrowed: enumeration members live as long as their class
  std::vector<const ItemRule*> rules;
  std::vector<PyObject*> last;  // strong
  bool valid = false;

  ~ItemsInUse() { clear_last(); }
  void clear_last();
  // Matches `items` (an exact list), resolving it again when its contents
  // changed; false when some item has no rule (the ordinary path reports it).
  bool match(PyObject* items);
};

}  // namespace vez::virtual_actuator
