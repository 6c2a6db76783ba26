// DorozeActuatorVirtual: choosing the streamed feedback items and rate, the
// feedback snapshot, and reading items on demand.
#include <cmath>
#include <string>

#include "core/feedback_schedule.hpp"
#include "modules/virtual/methods.hpp"

namespace vez::virtual_actuator {

using namespace pybind11::literals;

namespace {

// The snapshot from raw memory into a fresh dict; nullptr (no error) when
// that does not apply.  `items` is the exact list of items, not empty.
PyObject* snapshot_fast(PyObject* wrapper, PyObject* items, ItemsInUse& in_use) {
  py::object keep_items = py::reinterpret_borrow<py::object>(items);
  py::object keep_wrapper = py::reinterpret_borrow<py::object>(wrapper);
  // What may run Python code (a collection while allocating, locating the
  // wrapper's fields) comes first; matching the items runs none, and filling the dict
  // none after the first insert of each member (see dict_put): everything
  // used across it is held.
  py::object snapshot = steal(new_dict(PyList_GET_SIZE(items)));
  const WrapperFields* fields = fields_of(wrapper);
  if (fields == nullptr || !in_use.match(items)) return nullptr;
  for (size_t i = 0; i < in_use.members.size(); ++i) {
    const ItemRule& rule = *in_use.rules[i];
    PyObject* value = item_value_from_fields(*fields, rule, in_use.last[i]);
    if (value == nullptr) throw_python_error();
    Py_XSETREF(in_use.last[i], value);  // in_use keeps one reference, the dict takes another
    py::object hold = py::reinterpret_borrow<py::object>(value);
    if (dict_put(snapshot.ptr(), in_use.members[i], value, rule.hash) != 0) throw_python_error();
  }
  return snapshot.release().ptr();
}

}  // namespace

// _build_feedback_snapshot as installed: raw reads when `self` resolves the
// methods it uses to this module's own and the wrapper's fields can be
// located; the ordinary calls otherwise.
py::object build_snapshot_impl(py::handle self, SelfView& in, ItemsInUse& in_use) {
  if (in.refresh() && in.snapshot_is_own()) {
    PyObject* items = in.attr(kFeedbackItems);
    PyObject* wrapper = in.attr(kActuator);
    if (items != nullptr && PyList_CheckExact(items)) {
      if (PyList_GET_SIZE(items) == 0) return py::dict();
      if (wrapper != nullptr && wrapper != Py_None) {
        if (PyObject* snapshot = snapshot_fast(wrapper, items, in_use)) return py::reinterpret_steal<py::object>(snapshot);
      }
    }
  }
  py::object items = self.attr("_feedback_items");
  py::dict out;
  if (!truthy(items)) return out;
  for (py::handle item : items) out[item] = glue::call_method(self, "_get_item_value", item);
  return out;
}

bool should_emit_feedback(py::object self) {
  if (py::object(self.attr("_feedback_callback")).is_none()) return false;
  if (!truthy(self.attr("_feedback_items"))) return false;
  py::object divider = self.attr("_feedback_rate_divider");
  long long d, count;
  if (exact_small_int(divider.ptr(), &d)) {
    if (d <= 0) return false;
    if (exact_small_int(py::object(self.attr("_simulation_step_count")).ptr(), &count)) {
      return core::feedback_due(true, 1, d, count);
    }
  } else if (PyObject_RichCompareBool(divider.ptr(), py::int_(0).ptr(), Py_GT) != 1) {
    if (PyErr_Occurred()) throw_python_error();
    return false;
  }
  py::object rest = steal(PyNumber_Remainder(py::object(self.attr("_simulation_step_count")).ptr(), divider.ptr()));
  const int zero = PyObject_RichCompareBool(rest.ptr(), py::int_(0).ptr(), Py_EQ);
  if (zero < 0) throw_python_error();
  return zero == 1;
}

namespace {

void set_feedback_items(py::object self, py::handle items) {
  py::list list = glue::as_list_or_subclass(items, "items");
  self.attr("_feedback_items") = steal(PySequence_List(list.ptr()));  // a copy
  self.attr("_latest_feedback") = py::dict();
}

void set_feedback_rate(py::object self, py::handle rate) {
  double target = 0.0;
  if (is_instance(rate, vocab.rates)) {
    py::handle rates(vocab.rates);
    if (rate.is(rates.attr("DISABLED"))) {
      self.attr("_feedback_rate_divider") = 0;
      return;
    }
    py::object hz = steal(PyNumber_TrueDivide(to_float(rates.attr("RATE_1HZ").attr("value")).ptr(),
                                              to_float(rate.attr("value")).ptr()));
    target = py::cast<double>(hz);
  } else if (PyLong_Check(rate.ptr())) {
    const int sign = PyObject_RichCompareBool(rate.ptr(), py::int_(0).ptr(), Py_EQ);
    if (sign < 0) throw_python_error();
    if (sign) {
      self.attr("_feedback_rate_divider") = 0;
      return;
    }
    if (PyObject_RichCompareBool(rate.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
      glue::raise(PyExc_ValueError, "Rate must be non-negative, got " + glue::str(rate));
    }
    target = py::cast<double>(to_float(rate));
  } else {
    glue::raise(PyExc_TypeError,
                "rate must be a Rates enum or int, got " + glue::str(py::type::handle_of(rate).attr("__name__")));
  }
  py::object sim = glue::call_method(self, "get_sim_rate_hz");
  const double sim_hz = py::cast<double>(to_float(sim));
  if (target > sim_hz) {
    py::object text = steal(PyObject_Format(to_float(sim).ptr(), py::str("g").ptr()));
    glue::raise(PyExc_ValueError, "Rate cannot exceed DTwin simulation rate of " + glue::str(text) + " Hz");
  }
  const double divider = core::rate_divider(sim_hz, target);
  if (std::isnan(divider)) glue::raise(PyExc_ValueError, "cannot convert float NaN to integer");
  if (std::isinf(divider)) glue::raise(PyExc_OverflowError, "cannot convert float infinity to integer");
  self.attr("_feedback_rate_divider") = steal(PyLong_FromDouble(divider));
}

py::object get_feedback(py::object self) { return copy_of(self.attr("_latest_feedback")); }

const std::string item_limit_warning(py::handle limit) {
  return "Feedback item requests are limited to " + glue::str(limit) + "; the extra items will be ignored.";
}

py::dict get_items_blocking(py::object self, py::handle items, py::handle /*timeout*/) {
  glue::call_method(self, "_require_actuator");
  py::list requested = glue::as_list_or_subclass(items, "items");
  py::object limit = mod.get("VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST");
  py::object kept = requested;
  if (PyObject_RichCompareBool(py::int_(py::len(requested)).ptr(), limit.ptr(), Py_GT) == 1) {
    glue::warn(mod, PyExc_UserWarning, item_limit_warning(limit));
    const Py_ssize_t keep_count = PyNumber_AsSsize_t(limit.ptr(), PyExc_OverflowError);
    if (keep_count == -1 && PyErr_Occurred()) throw_python_error();
    kept = steal(PySequence_GetSlice(requested.ptr(), 0, keep_count));
  }
  py::dict out;
  for (py::handle item : kept) out[item] = glue::call_method(self, "_get_item_value", item);
  return out;
}

py::object build_feedback_snapshot(py::object self) {
  SelfView in(self.ptr());
  ItemsInUse in_use;
  return build_snapshot_impl(self, in, in_use);
}

void emit_callback(py::object /*self*/, py::object callback, py::object address, py::object payload) {
  if (callback.is_none()) return;
  callback(address, payload);
}

}  // namespace

void add_feedback_methods(glue::ClassBuilder& builder) {
  builder
      .def("set_feedback_items", &set_feedback_items, py::arg("items"),
           glue::doc{"Choose the items (a list of `VEZ_Items`) of each feedback snapshot and forget the "
                     "last one. Returns None."})
      .def("set_feedback_rate", &set_feedback_rate, py::arg("rate"),
           glue::doc{"Feedback rate: a Rates member or a rate in Hz, at most the simulation rate (0 stops "
                     "it); step() calls the feedback callback at that rate of simulated time. Returns None."})
      .def("get_feedback", &get_feedback, glue::doc{"A copy of the last feedback snapshot."})
      .def("get_items_blocking", &get_items_blocking, py::arg("items"), py::arg_v("timeout", py::float_(1.0)),
           glue::doc{"Read `items` (a list of `VEZ_Items`, at most 10) from the model now, without "
                     "stepping. Returns {item: value} in the items' units; `timeout` is ignored."})
      .def("_build_feedback_snapshot", &build_feedback_snapshot)
      .def("_should_emit_feedback", &should_emit_feedback)
      .def("_emit_callback", &emit_callback, py::arg("callback"), py::arg("address"), py::arg("payload"));
}

}  // namespace vez::virtual_actuator
