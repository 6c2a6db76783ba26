// The header of a configuration file written for an actuator: its model,
// firmware and address as the actuator reports them, the time of writing and
// the version of this package.  Shared by the configuration save and the
// tuning's gains file, so the two files cannot describe an actuator
// differently.
#pragma once

#include <string>

#include "core/parameter_file.hpp"
#include "glue/glue.hpp"

namespace vez::modules {

inline std::string package_version() {
  pybind11::object metadata = pybind11::module_::import("importlib.metadata");
  try {
    return glue::str(metadata.attr("version")("vez_api"));
  } catch (pybind11::error_already_set& e) {
    if (!e.matches(metadata.attr("PackageNotFoundError"))) throw;
    return "unknown";
  }
}

inline core::ParameterFileHeader parameter_file_header(pybind11::handle actuator) {
  using namespace pybind11::literals;
  core::ParameterFileHeader header;
  header.model = glue::str(actuator.attr("model"));
  header.firmware_version = glue::str(actuator.attr("version"));
  pybind11::object address = actuator.attr("address");
  if (!address.is_none()) {
    bool fits = false;
    header.address = glue::int64_of(glue::as_int(address, "address"), &fits);
    if (!fits) header.address.reset();
  }
  pybind11::object datetime = pybind11::module_::import("datetime");
  pybind11::object now = datetime.attr("datetime").attr("now")(datetime.attr("timezone").attr("utc"));
  header.saved_at = glue::str(now.attr("isoformat")("timespec"_a = "seconds"));
  header.package_version = package_version();
  return header;
}

}  // namespace vez::modules
