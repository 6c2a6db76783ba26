// ActuatorWrapper's text symbols: the model name and source revisions the
// simulation library exports as C strings.
#include <cstring>
#include <string>

#include "core/symbol_text.hpp"
#include "modules/twin_backend/methods.hpp"

namespace vez::backend {

using namespace pybind11::literals;

namespace {

constexpr size_t kTextSymbolMaxBytes = 1024;

py::str unknown() { return py::str("unknown"); }

bool is_text_character(Py_UCS4 ch) { return ch == '\t' || ch == '\n' || ch == '\r' || Py_UNICODE_ISPRINTABLE(ch); }

py::str decode_c_string_bytes(py::handle raw_value) {
  PyObject* converted = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), raw_value.ptr());
  if (converted == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return unknown();
    }
    throw_python_error();
  }
  py::bytes data = py::reinterpret_steal<py::bytes>(converted);
  const char* bytes = PyBytes_AS_STRING(data.ptr());
  const auto* nul = static_cast<const char*>(std::memchr(bytes, '\0', static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()))));
  const Py_ssize_t length = nul != nullptr ? nul - bytes : PyBytes_GET_SIZE(data.ptr());
  if (length == 0) return unknown();
  PyObject* text = PyUnicode_DecodeUTF8(bytes, length, "strict");
  if (text == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_python_error();
    PyErr_Clear();
    return unknown();
  }
  py::str result = py::reinterpret_steal<py::str>(text);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!is_text_character(PyUnicode_READ_CHAR(text, i))) return unknown();
  }
  return result;
}

py::object decode_optional_c_string(py::object self, py::handle symbol_name) {
  py::str name = glue::as_str_or_subclass(symbol_name, "symbol_name");
  py::object lib = self.attr("_lib");
  py::object value = py::getattr(lib, name, py::none());
  if (PyUnicode_Check(value.ptr())) return value;
  py::object ctypes = mod.get("ctypes");
  auto is_instance = [&](py::handle type) {
    const int r = PyObject_IsInstance(value.ptr(), type.ptr());
    if (r < 0) throw_python_error();
    return r == 1;
  };
  if (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) || is_instance(ctypes.attr("Array"))) {
    return glue::call_method(self, "_decode_c_string_bytes", value);
  }
  if (is_instance(ctypes.attr("c_char_p"))) {
    py::object raw = value.attr("value");
    return glue::call_method(self, "_decode_c_string_bytes", raw.is_none() ? py::bytes("") : raw);
  }
  if (!py::hasattr(lib, "_dll")) return unknown();
  py::object view;
  try {
    PyObject* made = PyNumber_Multiply(py::object(ctypes.attr("c_char")).ptr(), py::int_(kTextSymbolMaxBytes).ptr());
    if (made == nullptr) throw_python_error();
    py::object array_type = py::reinterpret_steal<py::object>(made);
    view = array_type.attr("in_dll")(lib.attr("_dll"), name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
    return unknown();
  }
  // Read up to the first NUL and never past the symbol's own end: a short
  // symbol is not followed by 1024 readable bytes of its own.
  void* address = PyLong_AsVoidPtr(ctypes.attr("addressof")(view).ptr());
  if (address == nullptr && PyErr_Occurred()) throw_python_error();
  const std::string text = core::read_symbol_text(address, kTextSymbolMaxBytes);
  return glue::call_method(self, "_decode_c_string_bytes", py::bytes(text));
}

py::object get_motor_model(py::object self) { return glue::call_method(self, "_decode_optional_c_string", "MOTOR_MODEL"); }

py::object get_submodule_commits(py::object self) {
  return glue::call_method(self, "_decode_optional_c_string", "SUBMODULE_COMMITS");
}

py::object get_dtwin_version(py::object self) { return glue::call_method(self, "get_submodule_commits"); }

}  // namespace

void add_symbol_methods(glue::ClassBuilder& builder) {
  builder
      .def("get_motor_model", &get_motor_model,
           glue::doc{"The model name the simulation library reports (text)."})
      .def("get_submodule_commits", &get_submodule_commits,
           glue::doc{"The source revisions the simulation library reports (text)."})
      .def("get_dtwin_version", &get_dtwin_version,
           glue::doc{"The digital twin's version: the same text as get_submodule_commits()."})
      .def_static("_decode_c_string_bytes", &decode_c_string_bytes, py::arg("raw_value"))
      .def("_decode_optional_c_string", &decode_optional_c_string, py::arg("symbol_name"));
}

}  // namespace vez::backend
