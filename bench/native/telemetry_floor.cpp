// _telemetry_floor: what the virtual actuator's telemetry log and feedback
// snapshot cost by themselves, as a bare C loop, for
// bench/virtual_actuator_bench.py.  Built with the package for the
// benchmarks only; never installed.
#include <pybind11/pybind11.h>

#include <vector>

#include "core/virtual_telemetry.hpp"
#include "glue/cpython_compat.hpp"
#include "glue/glue.hpp"

namespace py = pybind11;
namespace core = vez::core;

namespace {

glue::ModuleRef mod;

// `ticks` ticks of 65 new floats appended to lists, a snapshot dict of
// `items` and its copy, and a payload copy every `payload_every` ticks.
py::tuple telemetry_floor(py::handle ticks_arg, py::handle items_arg, py::handle payload_every_arg) {
  constexpr size_t kSeries = core::kTelemetrySeriesCount;
  bool fits = false;
  const int64_t ticks = glue::int64_of(glue::as_int(ticks_arg, "ticks"), &fits);
  const int64_t payload_every = glue::int64_of(glue::as_int(payload_every_arg, "payload_every"), &fits);
  py::list items = glue::as_list_or_subclass(items_arg, "items");
  std::vector<PyObject*> keys;
  std::vector<Py_hash_t> hashes;
  for (py::handle item : items) {
    keys.push_back(item.ptr());
    hashes.push_back(PyObject_Hash(item.ptr()));
    if (hashes.back() == -1) glue::throw_python_error();
  }
  std::vector<py::list> series(kSeries);
  py::object latest = py::dict(), feedback = py::dict();
  for (int64_t t = 0; t < ticks; ++t) {
    const double x = static_cast<double>(t) * 1e-3;
    for (size_t s = 0; s < kSeries; ++s) {
      PyObject* value = PyFloat_FromDouble(x + static_cast<double>(s));
      if (value == nullptr || PyList_Append(series[s].ptr(), value) != 0) glue::throw_python_error();
      Py_DECREF(value);
    }
    py::object snapshot = glue::steal(glue::compat::new_presized_dict(static_cast<Py_ssize_t>(keys.size())));
    for (size_t k = 0; k < keys.size(); ++k) {
      py::object value = glue::steal(PyFloat_FromDouble(x * static_cast<double>(k + 1)));
      if (glue::compat::dict_set_known_hash(snapshot.ptr(), keys[k], value.ptr(), hashes[k]) != 0) {
        glue::throw_python_error();
      }
    }
    latest = snapshot;
    feedback = glue::steal(PyDict_Copy(snapshot.ptr()));
    if (payload_every > 0 && (t + 1) % payload_every == 0) glue::steal(PyDict_Copy(latest.ptr()));
  }
  py::tuple out(kSeries);
  for (size_t s = 0; s < kSeries; ++s) out[s] = series[s];
  return out;
}

}  // namespace

PYBIND11_MODULE(_telemetry_floor, m) {
  mod.bind(m);
  mod.def("telemetry_floor", &telemetry_floor, py::arg("ticks"), py::arg("items"), py::arg("payload_every"));
}
