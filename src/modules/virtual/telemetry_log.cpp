#include "modules/virtual/telemetry_log.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <vector>

namespace vez::virtual_actuator {

using namespace pybind11::literals;

LogSlots plain_log;
LogSlots bounded_log;

namespace {

// Series, TIME_STEP, time_start, _max_ticks, ticks.
PyObject* log_field_names[kAllLogFields] = {};
// The series whose length counts a plain log's ticks.
size_t tick_counting_series = 0;

void intern_log_field_names() {
  tick_counting_series = static_cast<size_t>(core::telemetry_tick_counting_series());
  for (size_t i = 0; i < kSeriesCount; ++i) log_field_names[i] = names.series[i];
  log_field_names[kTimeStepField] = names.time_step;
  log_field_names[kTimeStartField] = names.time_start;
  log_field_names[kMaxTicksField] = names.max_ticks;
  log_field_names[kTicksField] = names.ticks;
}

}  // namespace

void LogSlots::remember(PyObject* cls, size_t field_count) {
  type_ = reinterpret_cast<PyTypeObject*>(cls);
  count_ = field_count;
  append_.remember_class_attribute(cls, names.append);
  for (size_t i = 0; i < count_; ++i) {
    fields_[i].remember_class_attribute(cls, log_field_names[i]);
    PyObject* d = fields_[i].original();
    if (d == nullptr || !Py_IS_TYPE(d, &PyMemberDescr_Type)) {
      glue::raise(PyExc_ImportError, "telemetry log fields are not slots");
    }
    offsets_[i] = glue::compat::member_offset(d);
  }
  tag_ = glue::compat::type_version(type_);
  ok_ = tag_ != 0;
}

bool LogSlots::hold_for(PyObject* log) {
  if (Py_TYPE(log) != type_) return false;
  if (glue::compat::type_version_holds(type_, tag_)) return ok_;
  ok_ = append_.type_resolves(type_);
  for (size_t i = 0; i < count_ && ok_; ++i) ok_ = fields_[i].type_resolves(type_);
  tag_ = glue::compat::type_version(type_);
  if (tag_ == 0) ok_ = false;
  return ok_;
}

void LogSlots::set_slot(PyObject* log, size_t i, PyObject* value) const {
  PyObject** p = glue::compat::slot_at(log, offsets_[i]);
  PyObject* old = *p;
  *p = value;  // takes the reference
  Py_XDECREF(old);
}

namespace {

// Makes room for one more element in a list, growing it by about
// `ticks_ahead` elements (the ticks still to come in this call) or by an
// eighth, as the list itself would, whichever is more.  One reallocation per
// stretch of ticks instead of many keeps long logs from being copied over
// and over.  False with MemoryError set.
bool list_room_for_one(PyObject* list, Py_ssize_t ticks_ahead) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  return glue::compat::list_reserve_one(list, std::max<Py_ssize_t>({ticks_ahead, (n >> 3) + 6, 1}));
}

}  // namespace

bool append_plain_with(PyObject* log, const WrapperFields* fields, Py_ssize_t ticks_ahead) {
  PyObject* series[kSeriesCount];
  for (size_t i = 0; i < kSeriesCount; ++i) {
    series[i] = plain_log.slot(log, i);
    if (series[i] == nullptr || !PyList_CheckExact(series[i])) return false;
  }
  double time_step, time_start;
  if (!exact_float(plain_log.slot(log, kTimeStepField), &time_step) ||
      !exact_float(plain_log.slot(log, kTimeStartField), &time_start)) {
    return false;
  }
  // From here on no Python code runs: the fields and the lists stay valid.
  // Room first and values next, so that running out of memory appends
  // nothing rather than part of a tick.
  for (PyObject* list : series) {
    if (!list_room_for_one(list, ticks_ahead)) throw_python_error();
  }
  const Py_ssize_t ticks = PyList_GET_SIZE(series[tick_counting_series]);
  PyObject* values[kSeriesCount];
  values[0] = PyFloat_FromDouble(core::tick_time(time_step, ticks, time_start));
  bool failed = values[0] == nullptr;
  for (size_t c = 0; c < kColumnCount; ++c) {
    PyObject* list = series[c + 1];
    const Py_ssize_t n = PyList_GET_SIZE(list);
    values[c + 1] = column_object(fields->columns[c], n > 0 ? PyList_GET_ITEM(list, n - 1) : nullptr);
    failed = failed || values[c + 1] == nullptr;
  }
  if (failed) {
    for (PyObject* v : values) Py_XDECREF(v);
    throw_python_error();
  }
  for (size_t i = 0; i < kSeriesCount; ++i) glue::compat::list_append_reserved(series[i], values[i]);
  return true;
}

bool append_bounded_with(PyObject* log, const WrapperFields* fields) {
  long long max_ticks, ticks;
  double time_step, time_start;
  if (!exact_small_int(bounded_log.slot(log, kMaxTicksField), &max_ticks) ||
      !exact_small_int(bounded_log.slot(log, kTicksField), &ticks) || ticks == LLONG_MAX ||
      !exact_float(bounded_log.slot(log, kTimeStepField), &time_step) ||
      !exact_float(bounded_log.slot(log, kTimeStartField), &time_start)) {
    return false;
  }
  if (max_ticks > 0) {
    if (fields == nullptr) return false;
    PyObject* series[kSeriesCount];
    for (size_t i = 0; i < kSeriesCount; ++i) {
      series[i] = bounded_log.slot(log, i);
      if (series[i] == nullptr || Py_TYPE(series[i]) != reinterpret_cast<PyTypeObject*>(deque_type)) return false;
    }
    PyObject* values[kSeriesCount];
    values[0] = PyFloat_FromDouble(core::tick_time(time_step, ticks, time_start));
    for (size_t c = 0; c < kColumnCount; ++c) values[c + 1] = column_object(fields->columns[c], nullptr);
    bool failed = false;
    for (size_t i = 0; i < kSeriesCount; ++i) {
      if (!failed) {
        PyObject* args[] = {series[i], values[i]};
        PyObject* r = values[i] != nullptr ? PyObject_Vectorcall(deque_append, args, 2, nullptr) : nullptr;
        if (r == nullptr) failed = true;
        Py_XDECREF(r);
      }
      Py_XDECREF(values[i]);
    }
    if (failed) throw_python_error();
  }
  PyObject* next = PyLong_FromLongLong(ticks + 1);
  if (next == nullptr) throw_python_error();
  bounded_log.set_slot(log, kTicksField, next);
  return true;
}

bool bounded_keeps_ticks(PyObject* log) {
  long long max_ticks;
  return !exact_small_int(bounded_log.slot(log, kMaxTicksField), &max_ticks) || max_ticks != 0;
}

py::object time_stamp_object(py::handle log, py::handle ticks) {
  py::object scaled = steal(PyNumber_Multiply(py::object(log.attr(names.time_step)).ptr(), ticks.ptr()));
  return steal(PyNumber_Add(scaled.ptr(), py::object(log.attr(names.time_start)).ptr()));
}

namespace {

bool append_plain_fast(PyObject* log, PyObject* wrapper) {
  if (!plain_log.hold_for(log)) return false;
  const WrapperFields* fields = fields_of(wrapper);
  return fields != nullptr && append_plain_with(log, fields, 0);
}

bool append_bounded_fast(PyObject* log, PyObject* wrapper) {
  if (!bounded_log.hold_for(log)) return false;
  const WrapperFields* fields = bounded_keeps_ticks(log) ? fields_of(wrapper) : nullptr;
  return append_bounded_with(log, fields);
}

// The 64 column values of `wrapper`, read the ordinary way (attribute
// access; optional fields NaN when lacking).  All are read before anything
// is appended, so a failing read leaves the log as it was.
std::vector<py::object> read_columns(py::handle wrapper) {
  std::array<py::object, kViewCount> views;
  std::vector<py::object> values(kColumnCount);
  for (size_t c = 0; c < kColumnCount; ++c) {
    const core::TelemetryColumn& column = kColumns[c];
    py::object& view = views[column.view];
    if (!view) view = steal(PyObject_GetAttr(wrapper.ptr(), names.views[column.view]));
    if (column.optional) {
      PyObject* found = nullptr;
      const int r = glue::compat::get_optional_attr(view.ptr(), names.fields[c], &found);
      if (r < 0) throw_python_error();
      values[c] = r == 1 ? py::reinterpret_steal<py::object>(found) : nan_object();
    } else {
      values[c] = steal(PyObject_GetAttr(view.ptr(), names.fields[c]));
    }
  }
  return values;
}

void append_series(py::handle log, const py::object& stamp, const std::vector<py::object>& values) {
  log.attr(names.series[0]).attr("append")(stamp);
  for (size_t c = 0; c < kColumnCount; ++c) log.attr(names.series[c + 1]).attr("append")(values[c]);
}

}  // namespace

void plain_append(py::object log, py::object act) {
  if (append_plain_fast(log.ptr(), act.ptr())) return;
  const std::vector<py::object> values = read_columns(act);
  py::object ticks = steal(PyLong_FromSsize_t(py::len(log.attr(names.series[tick_counting_series]))));
  append_series(log, time_stamp_object(log, ticks), values);
}

void bounded_append(py::object log, py::object act) {
  if (append_bounded_fast(log.ptr(), act.ptr())) return;
  py::object ticks = log.attr(names.ticks);
  if (truthy(log.attr("max_ticks"))) {
    const std::vector<py::object> values = read_columns(act);
    append_series(log, time_stamp_object(log, ticks), values);
  }
  log.attr(names.ticks) = steal(PyNumber_Add(ticks.ptr(), py::int_(1).ptr()));
}

namespace {

py::object default_time_step() { return mod.get("get_default_dtwin_time_step_s")(); }

void bounded_init(py::object log, py::handle max_ticks, py::object time_step, py::object time_start) {
  if (!PyLong_Check(max_ticks.ptr())) glue::raise_arg_type("max_ticks", "int", max_ticks);
  if (PyObject_RichCompareBool(max_ticks.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
    glue::raise(PyExc_ValueError, "max_ticks must be >= 0, got " + glue::str(max_ticks));
  }
  py::object deque = mod.get("deque");
  for (PyObject* name : names.series) {
    py::object series = deque("maxlen"_a = max_ticks);
    if (PyObject_SetAttr(log.ptr(), name, series.ptr()) != 0) throw_python_error();
  }
  log.attr(names.time_step) = time_step.is_none() ? default_time_step() : time_step;
  log.attr(names.time_start) = time_start;
  log.attr("_max_ticks") = py::int_(py::reinterpret_borrow<py::int_>(max_ticks));
  log.attr(names.ticks) = py::int_(0);
}

py::object bounded_max_ticks(py::object log) { return log.attr("_max_ticks"); }

// VirtualActuatorLog.to_csv(path): one row per tick under a header of the
// series names.  `path` is a file name or path, or an open text file.
void to_csv(py::object log, py::object path) {
  std::vector<py::object> columns;
  py::list header;
  Py_ssize_t rows = -1;
  for (PyObject* name : names.series) {
    py::object series = log.attr(name);
    const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(series));
    if (rows >= 0 && n != rows) {
      glue::raise(PyExc_ValueError, "telemetry series have different lengths: " + glue::str(name) + " has " +
                                        std::to_string(n) + " ticks, time has " + std::to_string(rows));
    }
    rows = n;
    header.append(name);
    columns.push_back(series);
  }
  py::tuple column_tuple(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) column_tuple[i] = columns[i];
  py::object zip = py::module_::import("builtins").attr("zip");
  auto write = [&](py::object file) {
    py::object writer = mod.get("csv").attr("writer")(file);
    writer.attr("writerow")(header);
    writer.attr("writerows")(steal(PyObject_Call(zip.ptr(), column_tuple.ptr(), nullptr)));
  };
  if (py::hasattr(path, "write")) {
    write(path);
    return;
  }
  py::object open = py::module_::import("builtins").attr("open");
  py::object file = open(path, "w", "newline"_a = "", "encoding"_a = "utf-8");
  try {
    write(file);
  } catch (py::error_already_set&) {
    py::error_scope keep_error;
    PyObject* r = PyObject_CallMethod(file.ptr(), "close", nullptr);
    Py_XDECREF(r);
    PyErr_Clear();
    throw;
  }
  file.attr("close")();
}

const char* element_type_name(core::ColumnElement e) {
  switch (e) {
    case core::ColumnElement::kInt:
      return "int";
    case core::ColumnElement::kBool:
      return "bool";
    case core::ColumnElement::kFloat:
      break;
  }
  return "float";
}

}  // namespace

void make_log_classes() {
  intern_log_field_names();
  py::object builtins = py::module_::import("builtins");
  py::object list_type = builtins.attr("list");
  py::object field = mod.get("field");
  auto list_of = [&](const char* element) { return list_type[builtins.attr(element)]; };

  glue::ClassBuilder builder(
      mod, "VirtualActuatorLog", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
      "Per-tick telemetry of a virtual actuator: one element per simulator tick in every list.\n\n"
      "`time` holds the simulated time at the start of each tick (time_start + k * TIME_STEP);\n"
      "the other lists hold the model's signals as read after the tick.");
  builder.annotate("time", list_of("float"));
  builder.attr("time", field("default_factory"_a = list_type));
  for (const core::TelemetryColumn& c : core::kTelemetryColumns) {
    builder.annotate(c.name, list_of(element_type_name(c.element)));
    builder.attr(c.name, field("default_factory"_a = list_type));
  }
  builder.annotate("TIME_STEP", builtins.attr("float"));
  builder.attr("TIME_STEP", field("default_factory"_a = glue::function("_default_time_step", &default_time_step)));
  builder.annotate("time_start", builtins.attr("float"));
  builder.attr("time_start", py::float_(0.0));
  builder.def("_append", &plain_append, py::arg("act"),
              glue::doc{"Append one tick: the time stamp, then the wrapper's values, one to every list."});
  builder.def("to_csv", &to_csv, py::arg("path"),
              glue::doc{"Write the log as CSV: a header row of field names, then one row per tick.\n\n"
                        "`path` is a file path or an open text file."});
  py::object plain = mod.get("dataclass")("slots"_a = true)(builder.cls());
  mod.set("VirtualActuatorLog", plain);
  log_class = keep(plain);

  glue::ClassBuilder bounded(
      mod, "BoundedVirtualActuatorLog", py::make_tuple(plain),
      "A VirtualActuatorLog that keeps only the last `max_ticks` ticks (none when 0).\n\n"
      "Its series are collections.deque objects with that maximum length; `ticks` counts every\n"
      "tick recorded, kept or not, and the time stamps go on from it.");
  bounded.attr("__slots__", py::make_tuple("_max_ticks", "ticks"));
  bounded.def("__init__", &bounded_init, py::arg("max_ticks"), py::arg_v("TIME_STEP", py::none()),
              py::arg_v("time_start", py::float_(0.0)));
  bounded.def_property_readonly("max_ticks", &bounded_max_ticks, "How many ticks the log keeps.");
  bounded.def("_append", &bounded_append, py::arg("act"),
              glue::doc{"Record one tick; its values are kept when max_ticks allows."});
  // The __slots__ above only take effect when the class is created with
  // them, so the class is made again from the builder's namespace.
  py::object ns = py::dict(bounded.cls().attr("__dict__"));
  ns.attr("pop")("__dict__", py::none());
  ns.attr("pop")("__weakref__", py::none());
  py::object bounded_cls = py::handle(reinterpret_cast<PyObject*>(&PyType_Type))(
      "BoundedVirtualActuatorLog", py::make_tuple(plain), ns);
  glue::sign_class_from_init(bounded_cls);
  mod.set("BoundedVirtualActuatorLog", bounded_cls);
  bounded_log_class = keep(bounded_cls);

  plain_log.remember(log_class, kLogFieldCount);
  bounded_log.remember(bounded_log_class, kAllLogFields);
}

}  // namespace vez::virtual_actuator
