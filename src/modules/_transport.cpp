// vez_api._transport: VezTransport, the root of every transport.  It owns the
// connection lifecycle protocol (context manager, close, and the three
// operations a concrete transport supplies) and the per-address callback
// table that the receive thread reads.
#include "glue/glue.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;

void init(py::object self, py::args /*args*/, py::kwargs kwargs) {
  py::object logger = py::none();
  if (kwargs.contains("logger")) logger = kwargs["logger"];
  if (!PyObject_IsTrue(logger.ptr())) {
    if (PyErr_Occurred()) throw py::error_already_set();
    logger = mod.default_logger();
  }
  self.attr("logger") = logger;
  self.attr("_callbacks") = py::dict();
  self.attr("_lock") = mod.get("threading").attr("Lock")();
}

py::object enter(py::object self) {
  if (!PyObject_IsTrue(self.attr("is_connected").ptr())) {
    if (PyErr_Occurred()) throw py::error_already_set();
    glue::call_method(self, "connect");
  }
  return self;
}

void exit_(py::object self, py::handle, py::handle, py::handle) { glue::call_method(self, "disconnect"); }

void del(py::object self) { glue::call_method(self, "disconnect"); }

void close_(py::object self) { glue::call_method(self, "disconnect"); }

void set_callback(py::object self, py::handle address, py::object callback) {
  py::int_ key = glue::as_int(address, "address");
  py::object callbacks = self.attr("_callbacks");
  // Checked before the lock is taken: two racing registrations may both
  // store silently; the last one wins.
  if (callbacks.contains(key)) {
    glue::log(self.attr("logger"), "warning", "address " + glue::str(key) + " already has a callback");
  }
  glue::with_lock(self.attr("_lock"), [&] { callbacks[key] = callback; });
}

void set_callback_deprecated(py::object self, py::handle address, py::object callback) {
  glue::warn_deprecated_name(mod, "setCallback", "set_callback");
  glue::call_method(self, "set_callback", address, callback);
}

void remove_callback(py::object self, py::handle address) {
  py::int_ key = glue::as_int(address, "address");
  py::object callbacks = self.attr("_callbacks");
  glue::with_lock(self.attr("_lock"), [&] {
    if (callbacks.contains(key)) {
      callbacks.attr("__delitem__")(key);
    } else {
      glue::log(self.attr("logger"), "warning", "No callback found for address " + glue::str(key));
    }
  });
}

void remove_callback_deprecated(py::object self, py::handle address) {
  glue::warn_deprecated_name(mod, "removeCallback", "remove_callback");
  glue::call_method(self, "remove_callback", address);
}

bool connect(py::object, py::handle) {
  glue::raise(PyExc_NotImplementedError, "connect() method must be implemented in subclasses");
}

void disconnect(py::object) {
  glue::raise(PyExc_NotImplementedError, "disconnect() method must be implemented in subclasses");
}

bool is_connected(py::object) {
  glue::raise(PyExc_NotImplementedError, "is_connected() property must be implemented in subclasses");
}

}  // namespace

PYBIND11_MODULE(_transport, m) {
  mod.bind(m);
  m.doc() = "Transport base: connection lifecycle and address-based callbacks.";
  mod.import("logging");
  mod.import("threading");
  mod.import("warnings");
  mod.import_from("typing", {"Callable"});

  glue::ClassBuilder(mod, "VezTransport", py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                     "Internal base for connection lifecycle and address-based callbacks.")
      .annotate("logger", mod.get("logging").attr("Logger"))
      .def("__init__", &init, glue::sig{"(self, *args, **kwargs)"})
      .def("__enter__", &enter)
      .def("__exit__", &exit_, py::arg("exc_type"), py::arg("exc_val"), py::arg("exc_tb"))
      .def("__del__", &del)
      .def("close", &close_, glue::doc{"Disconnect the transport."})
      .def("set_callback", &set_callback, py::arg("address"), py::arg("callback"),
           glue::doc{"Route messages from `address` to `callback(address, payload, priority_bit)`."})
      .def("setCallback", &set_callback_deprecated, py::arg("address"), py::arg("callback"),
           glue::doc{"Deprecated: use set_callback."})
      .def("remove_callback", &remove_callback, py::arg("address"),
           glue::doc{"Stop routing messages from `address`."})
      .def("removeCallback", &remove_callback_deprecated, py::arg("address"),
           glue::doc{"Deprecated: use remove_callback."})
      .def("connect", &connect, py::arg("port") = py::none(),
           glue::doc{"Open the link (on `port` when given). Returns True when it is up. Subclasses supply "
                     "it; here it raises NotImplementedError."})
      .def("disconnect", &disconnect,
           glue::doc{"Close the link. Returns None. Subclasses supply it; here it raises "
                     "NotImplementedError."})
      .def_property_readonly("is_connected", &is_connected,
                             "Whether the link is up (bool). Subclasses supply it; here it raises NotImplementedError.")
      .finish();
}
