// The actuator enumerations of _doroze_actuator_base as the actuator modules
// use them from C++: the classes and their members by value, fetched once at
// import.  Enumeration members are immutable singletons, so the references are
// kept for the process lifetime (never released, never a static py::object).
#pragma once

#include <array>
#include <cstdint>

#include "core/actuator_protocol.hpp"
#include "glue/glue.hpp"

namespace vez::modules {

struct ActuatorVocabulary {
  PyObject* mode = nullptr;
  PyObject* rates = nullptr;
  PyObject* torque_performance = nullptr;
  PyObject* speed_performance = nullptr;
  PyObject* parameters = nullptr;
  PyObject* items = nullptr;
  std::array<PyObject*, 256> mode_members{};
  std::array<PyObject*, 256> parameter_members{};
  std::array<PyObject*, 256> item_members{};

  // Reads the enumerations nested in `base` (DorozeActuatorBase); raises
  // ImportError when they do not match the core's tables.
  void load(pybind11::handle base) {
    mode = keep(base.attr("Mode"));
    rates = keep(base.attr("Rates"));
    torque_performance = keep(base.attr("TorquePerformance"));
    speed_performance = keep(base.attr("SpeedPerformance"));
    parameters = keep(base.attr("VEZ_Parameters"));
    items = keep(base.attr("VEZ_Items"));
    load_members(mode, core::kModeNames, &mode_members);
    load_members(parameters, core::kParameterNames, &parameter_members);
    load_members(items, core::kItemNames, &item_members);
  }

  PyObject* parameter(core::Parameter p) const { return parameter_members[static_cast<uint8_t>(p)]; }
  PyObject* mode_member(core::Mode m) const { return mode_members[static_cast<uint8_t>(m)]; }

 private:
  static PyObject* keep(pybind11::object obj) { return obj.release().ptr(); }

  template <size_t N>
  static void load_members(PyObject* enum_cls, const core::NamedCode (&codes)[N], std::array<PyObject*, 256>* table) {
    pybind11::handle cls(enum_cls);
    if (pybind11::len(cls) != N) glue::raise(PyExc_ImportError, "actuator vocabulary out of step with the core tables");
    for (const core::NamedCode& c : codes) (*table)[c.value] = keep(cls(c.value));
  }
};

}  // namespace vez::modules
