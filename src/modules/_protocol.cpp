// vez_api._protocol: constants of the VEZ bus protocol and the six address
// helpers.  The arithmetic lives in core/protocol.hpp; this file maps Python's
// arbitrary-precision ints onto it (masks keep the low bits, range checks are
// false for values beyond any range).
#include "core/protocol.hpp"
#include "glue/glue.hpp"

namespace py = pybind11;
namespace core = vez::core;

namespace {

glue::ModuleRef mod;

bool in_range(py::handle value, const char* arg, bool (*check)(int64_t)) {
  py::int_ number = glue::as_int(value, arg);
  bool fits = false;
  const int64_t v = glue::int64_of(number, &fits);
  return fits && check(v);
}

uint64_t low_bits_of(py::handle value, const char* arg) { return glue::low_bits(glue::as_int(value, arg)); }

bool is_valid_vez_address(py::handle address) {
  return in_range(address, "address", [](int64_t v) { return core::is_valid_vez_address(v); });
}

bool is_valid_actuator_address(py::handle address) {
  return in_range(address, "address", [](int64_t v) { return core::is_valid_actuator_address(v); });
}

bool is_valid_vez_payload(py::handle payload) {
  const Py_ssize_t length = PyObject_Length(payload.ptr());
  if (length < 0) throw py::error_already_set();
  return core::is_valid_payload_length(static_cast<size_t>(length));
}

py::int_ build_ruz_identifier(py::handle source, py::handle destination) {
  const uint64_t src = low_bits_of(source, "source");
  const uint64_t dst = low_bits_of(destination, "destination");
  return py::int_(core::build_ruz_identifier(src, dst));
}

py::int_ build_usb_address_flags(py::handle address, py::handle priority, py::handle can_high_speed) {
  const uint64_t addr = low_bits_of(address, "address");
  const bool prio = PyObject_IsTrue(priority.ptr()) == 1;
  if (PyErr_Occurred()) throw py::error_already_set();
  const bool hs = PyObject_IsTrue(can_high_speed.ptr()) == 1;
  if (PyErr_Occurred()) throw py::error_already_set();
  return py::int_(core::build_usb_address_flags(addr, prio, hs));
}

py::tuple parse_usb_address_flags(py::handle address_and_flags) {
  const core::AddressFlags f = core::parse_usb_address_flags(low_bits_of(address_and_flags, "address_and_flags"));
  return py::make_tuple(f.address, f.priority_bit, f.can_high_speed_bit);
}

}  // namespace

PYBIND11_MODULE(_protocol, m) {
  mod.bind(m);
  m.doc() = "Numeric facts of the VEZ bus protocol: addresses, the address/flags word, frame geometry.";

  mod.set("VEZ_DIRECT_ADDRESS", py::int_(core::kDirectAddress));
  mod.set("VEZ_ADDRESS_MIN", py::int_(core::kAddressMin));
  mod.set("VEZ_ADDRESS_MAX", py::int_(core::kAddressMax));
  mod.set("VEZ_ADDRESS_MASK", py::int_(core::kAddressMask));
  mod.set("VEZ_ACTUATOR_ADDRESS_MIN", py::int_(core::kActuatorAddressMin));
  mod.set("VEZ_ACTUATOR_ADDRESS_MAX", mod.get("VEZ_ADDRESS_MAX"));
  mod.set("VEZ_PRIORITY_BIT_SHIFT", py::int_(core::kPriorityBitShift));
  mod.set("VEZ_CAN_HIGH_SPEED_BIT_SHIFT", py::int_(core::kCanHighSpeedBitShift));
  mod.set("VEZ_USB_FRAME_SIZE", py::int_(core::kUsbFrameSize));
  mod.set("VEZ_USB_MSG_START_BYTE", py::int_(core::kUsbStartByte));
  mod.set("VEZ_USB_MSG_HEADER_LENGTH", py::int_(core::kUsbHeaderLength));
  mod.set("VEZ_USB_CRC_MAGIC_NUMBER", py::int_(core::kUsbTrailerByte));
  mod.set("VEZ_USB_MAX_PAYLOAD_SIZE", py::int_(core::kUsbMaxPayloadSize));
  mod.set("VEZ_MAX_PARAMETERS_PER_REQUEST", py::int_(core::kMaxParametersPerRequest));
  mod.set("VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST", py::int_(core::kMaxFeedbackItemsPerRequest));

  mod.def("is_valid_vez_address", &is_valid_vez_address, py::arg("address"),
          glue::doc{"True for a node address in 0..16382."});
  mod.def("is_valid_actuator_address", &is_valid_actuator_address, py::arg("address"),
          glue::doc{"True for an actuator address in 16..16382."});
  mod.def("is_valid_vez_payload", &is_valid_vez_payload, py::arg("payload"),
          glue::doc{"True when the payload holds 1..59 bytes."});
  mod.def("build_ruz_identifier", &build_ruz_identifier, py::arg("source"), py::arg("destination"),
          glue::doc{"28-bit identifier: source in bits 27..14, destination in bits 13..0."});
  mod.def("build_usb_address_flags", &build_usb_address_flags, py::arg("address"),
          py::arg("priority") = true, py::arg("can_high_speed") = false,
          glue::doc{"Address/flags word of an adapter frame (bit 15 set = not prioritised)."});
  mod.def("parse_usb_address_flags", &parse_usb_address_flags, py::arg("address_and_flags"),
          glue::doc{"(address, priority bit, CAN-high-speed bit) of an address/flags word."});
}
