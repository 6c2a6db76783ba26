// C API of vez_api.vez_over_usb for the other extension modules of the
// package, published as the capsule `vez_api.vez_over_usb._C_API`.
//
// The physical actuator module never imports the USB transport: it is handed
// a transport and uses this table only when that transport is a VezOverUsb,
// which means the module is loaded already (find_capi looks in sys.modules
// and imports nothing).  It lets a waiting request wake up the moment the
// link goes down, lets the scanner tell whether a transport's methods are
// the package's own, and lets a command reach the port without a
// Python-level call.  Every function needs the GIL.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vez::usb {

inline constexpr const char kCApiModule[] = "vez_api.vez_over_usb";
inline constexpr const char kCApiCapsuleName[] = "vez_api.vez_over_usb._C_API";
inline constexpr unsigned kCApiVersion = 1;

struct CApi {
  unsigned version;  // kCApiVersion
  size_t size;       // sizeof(CApi) of the exporting module

  // 1 when `transport` is a VezOverUsb (a subclass counts), 0 otherwise.
  int (*is_usb_transport)(PyObject* transport);

  // 1 when `transport` is a VezOverUsb whose `_send_VEZ`, `set_callback` and
  // `remove_callback` are the package's own: its class resolves them to the
  // originals and the instance does not shadow them.  0 otherwise.
  int (*plain_methods)(PyObject* transport);

  // Calls wake(context) when the link of `transport` goes down: it is told to
  // stop (disconnect, close) or its receive loop ends (the port was lost).
  // wake runs with the GIL held on the thread that saw the link go down and
  // must not call into Python.  Returns a token for unwatch, or nullptr with
  // MemoryError set.
  void* (*watch)(PyObject* transport, void (*wake)(void* context), void* context);
  void (*unwatch)(void* token);

  // transport._send_VEZ(address, list(payload[:length]), priority=...,
  // can_high_speed=...) without making the list, when that call would run
  // the package's own _send_VEZ and checks.  Returns 1 or 0 for the call's
  // result, -1 with a Python error set, -2 when it does not apply (nothing
  // was done; the caller makes the Python-level call).
  int (*send)(PyObject* transport, PyObject* address, const uint8_t* payload, size_t length, int priority,
              int can_high_speed);
};

// The API when vez_api.vez_over_usb is loaded, else nullptr (no error set).
inline const CApi* find_capi() {
  PyObject* name = PyUnicode_FromString(kCApiModule);
  if (name == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* module = PyImport_GetModule(name);
  Py_DECREF(name);
  if (module == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* capsule = PyObject_GetAttrString(module, "_C_API");
  Py_DECREF(module);
  const CApi* api = nullptr;
  if (capsule != nullptr) {
    api = static_cast<const CApi*>(PyCapsule_GetPointer(capsule, kCApiCapsuleName));
    Py_DECREF(capsule);
  }
  if (api == nullptr || api->version != kCApiVersion || api->size < sizeof(CApi)) api = nullptr;
  PyErr_Clear();
  return api;
}

}  // namespace vez::usb
