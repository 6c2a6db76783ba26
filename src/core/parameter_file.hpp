// Configuration files of an actuator: the text a backup is written as, the
// checks a file must pass before anything of it reaches an actuator, and the
// plan of a restore (what to write, what to leave, what to verify).
//
// The file is YAML: a header (format, model, firmware version, address, time
// of saving, package version), a mapping `parameters` of VEZ_Parameters names
// to values, and a last line `complete: true` that a truncated file lacks.
// Floats are written so that they read back to the same float32 (see
// float32_text.hpp).  Reading YAML is the caller's business: it hands the
// parsed document over as plain data (FileValue), so everything here works on
// strings and numbers only.  Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vez::core {

inline constexpr int64_t kParameterFileFormat = 1;

// What a restore does with a parameter.
enum class ParameterRole : uint8_t {
  kSetting,   // configuration: written by a restore
  kRuntime,   // MODE, SETPOINT: the present state, written only when asked
  kAddress,   // VEZ_ADDRESS: written only when asked
  kReadOnly,  // FIRMWARE_VERSION, SERIAL_NUMBER, DEVICE_MODEL, CONTROL_VERSION: never written
};
ParameterRole parameter_role(uint8_t code);

// The VEZ_Parameters member name of a code, or nullptr.
const char* parameter_name(uint8_t code);
// The code of a member name (exact spelling), or -1.
int parameter_code(const std::string& name);

// One parameter value as an actuator reports it: float32 parameters as the
// float (widened), the integer parameters as their integer, MODE as its
// number.
struct ParameterValue {
  uint8_t code;
  double value;
};

// Equal as the actuator stores them: integers by value, everything else as
// float32 (both NaN counts as equal).
bool same_parameter_value(uint8_t code, double a, double b);

// A value as the file writes it: "0.3983037", "7", "2306", ".nan".
std::string parameter_value_text(uint8_t code, double value);

struct ParameterFileHeader {
  std::string model;
  std::string firmware_version;
  std::optional<int64_t> address;  // none: the actuator has no address
  std::string saved_at;
  std::string package_version;
};

// The whole file, parameters grouped by role and in declaration order within
// a group.  Codes that name no parameter are left out.
std::string render_parameter_file(const ParameterFileHeader& header, const std::vector<ParameterValue>& values);

// ---------------------------------------------------------------------------
// A parsed YAML document as plain data.

struct FileEntry;

struct FileValue {
  enum class Kind : uint8_t { kInteger, kFloat, kText, kBool, kNull, kMapping, kOther };
  Kind kind = Kind::kNull;
  double number = 0;  // kInteger, kFloat (an integer too large for a double is an infinity)
  std::string text;   // scalars: the text as written (kText: the string); kOther: what it is ("a list")
  std::vector<FileEntry> entries;  // kMapping, in file order, duplicates kept
};

struct FileEntry {
  std::string key;
  int line = 0;  // 1-based
  FileValue value;
};

struct FileParameter {
  uint8_t code;
  double value;  // rounded to float32 for float parameters
  int line;
};

struct ParameterFile {
  ParameterFileHeader header;
  std::vector<FileParameter> parameters;  // file order
  std::vector<std::string> problems;      // "line N: ...", in line order; empty when the file is usable
};

// Checks a parsed document: header fields and their types, parameter names,
// value types and ranges, duplicates, the closing `complete: true`.
ParameterFile check_parameter_file(const FileValue& document);

// ---------------------------------------------------------------------------
// Restoring

struct RestoreOptions {
  bool write_runtime = false;
  bool write_address = false;
};

struct PlannedParameter {
  enum class Action : uint8_t {
    kWrite,      // differs and will be written
    kUnchanged,  // the actuator holds this value already
    kNotWritten, // differs, but its role keeps it from being written
    kNotHeld,    // the actuator does not hold this parameter
  };
  uint8_t code;
  double file_value;
  std::optional<double> device_value;  // none when not held
  Action action;
};

struct RestorePlan {
  std::vector<PlannedParameter> entries;  // file order
  std::vector<uint8_t> not_in_file;       // held by the actuator, absent from the file
  std::vector<std::string> problems;      // writes the actuator would refuse or misread
  RestoreOptions options;
};

// Compares a file with what the actuator holds now.  Values of parameters
// that will be written are checked (a finite float32, a control mode, a
// preset, an actuator address); a problem means nothing may be written.
RestorePlan plan_restore(const std::vector<FileParameter>& file, const std::vector<ParameterValue>& device,
                         const RestoreOptions& options);

struct Mismatch {
  uint8_t code;
  double expected;
  std::optional<double> got;  // none: the actuator did not report it
};

// Parameters written or found unchanged whose read-back differs from the
// file.  The address is left out: once changed, it is answered elsewhere.
std::vector<Mismatch> verify_restore(const RestorePlan& plan, const std::vector<ParameterValue>& read_back);

// The nearest parameter name within two edits (ignoring case), or "".
std::string closest_parameter_name(const std::string& name);

}  // namespace vez::core
