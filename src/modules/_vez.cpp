// vez_api._vez: VEZ, the framing base between VezTransport and a concrete
// link.  It adds the adapter's own address, the frame geometry as class
// constants and three static checks that delegate to _protocol through this
// module's namespace (so patching them here takes effect).
#include "core/protocol.hpp"
#include "glue/glue.hpp"

namespace py = pybind11;
namespace core = vez::core;

namespace {

glue::ModuleRef mod;
PyObject* vez_class = nullptr;  // borrowed for the process lifetime

void init(py::object self, py::args args, py::kwargs kwargs) {
  glue::super_attr(vez_class, self, "__init__")(*args, **kwargs);
  self.attr("adapter_address") = 1;
}

py::object check_vez_id_range(py::handle can_id) {
  return mod.get("is_valid_vez_address")(glue::as_int(can_id, "can_id"));
}

py::object check_vez_payload_size(py::handle payload) { return mod.get("is_valid_vez_payload")(payload); }

py::object build_ruz_identifier(py::handle source, py::handle destination) {
  py::object result =
      mod.get("build_ruz_identifier")(glue::as_int(source, "source"), glue::as_int(destination, "destination"));
  if (!PyLong_Check(result.ptr())) {
    glue::raise(PyExc_TypeError, "Expected int, got " + glue::type_name(result));
  }
  return result;
}

}  // namespace

PYBIND11_MODULE(_vez, m) {
  mod.bind(m);
  m.doc() = "Framing base: the adapter address, frame constants and static checks shared by VEZ links.";
  mod.import("logging");
  mod.import_from("vez_api._protocol",
                  {"VEZ_USB_CRC_MAGIC_NUMBER", "VEZ_USB_MAX_PAYLOAD_SIZE", "VEZ_USB_MSG_HEADER_LENGTH",
                   "VEZ_USB_MSG_START_BYTE", "build_ruz_identifier", "is_valid_vez_address", "is_valid_vez_payload"});
  mod.import_from("vez_api._transport", {"VezTransport"});
  mod.set("logger", mod.default_logger());

  py::object cls =
      glue::ClassBuilder(mod, "VEZ", py::make_tuple(mod.get("VezTransport")),
                         "Framing base for VEZ links: adapter address, frame constants and static checks.")
          .annotate("adapter_address", py::handle(reinterpret_cast<PyObject*>(&PyLong_Type)))
          .attr("_MSG_START_BYTE", mod.get("VEZ_USB_MSG_START_BYTE"))
          .attr("_MSG_HEADER_LENGTH", mod.get("VEZ_USB_MSG_HEADER_LENGTH"))
          .attr("_MAX_PAYLOAD_SIZE", mod.get("VEZ_USB_MAX_PAYLOAD_SIZE"))
          .attr("_CRC_MAGIC_NUMBER", mod.get("VEZ_USB_CRC_MAGIC_NUMBER"))
          .def("__init__", &init, glue::sig{"(self, *args, **kwargs)"})
          .def_static("_check_vez_id_range", &check_vez_id_range, py::arg("can_id"))
          .def_static("_check_vez_payload_size", &check_vez_payload_size, py::arg("payload"))
          .def_static("_build_RUZ_identifier", &build_ruz_identifier, py::arg("source"), py::arg("destination"))
          .finish();
  vez_class = cls.ptr();
  Py_INCREF(vez_class);
}
