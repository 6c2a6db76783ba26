#include "parameter_file.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "actuator_protocol.hpp"
#include "float32_text.hpp"
#include "protocol.hpp"

namespace vez::core {

namespace {

bool is_integer_parameter(uint8_t code) { return parameter_value_type(code) == ValueType::kUint32; }

std::string hex_address(int64_t address) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<long long>(address));
  return buffer;
}

bool is_whole(double v) { return std::isfinite(v) && std::floor(v) == v; }

// The name of the member of `names` with value `value`, or nullptr.
template <size_t N>
const char* member_name(const NamedCode (&names)[N], double value) {
  if (!is_whole(value)) return nullptr;
  for (const NamedCode& c : names)
    if (static_cast<double>(c.value) == value) return c.name;
  return nullptr;
}

// A readable remark after a value: the enumeration member, the version, the
// model, the address in hex.
std::string value_remark(uint8_t code, double value) {
  const char* name = nullptr;
  switch (static_cast<Parameter>(code)) {
    case Parameter::MODE: name = member_name(kModeNames, value); break;
    case Parameter::TORQUE_PERFORMANCE: name = member_name(kTorquePerformanceNames, value); break;
    case Parameter::SPEED_PERFORMANCE: name = member_name(kSpeedPerformanceNames, value); break;
    case Parameter::FIRMWARE_VERSION:
      if (is_whole(value) && value >= 0 && value <= 0xFFFF) return firmware_version_text(static_cast<uint16_t>(value));
      break;
    case Parameter::DEVICE_MODEL: {
      constexpr size_t n = sizeof kModelNames / sizeof kModelNames[0];
      if (is_whole(value) && value >= 1 && value < static_cast<double>(n)) return kModelNames[static_cast<size_t>(value)];
      break;
    }
    case Parameter::VEZ_ADDRESS:
      if (is_whole(value) && value >= 0 && value <= kAddressMax) return hex_address(static_cast<int64_t>(value));
      break;
    default:
      break;
  }
  return name != nullptr ? name : "";
}

// A YAML double-quoted scalar.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const char* role_heading(ParameterRole role) {
  switch (role) {
    case ParameterRole::kSetting: return "  # settings: written by a restore";
    case ParameterRole::kRuntime: return "  # present state: written only when asked";
    case ParameterRole::kAddress: return "  # bus address: written only when asked";
    case ParameterRole::kReadOnly: return "  # identity: read-only, never written";
  }
  return "";
}

std::string describe(const FileValue& v) {
  switch (v.kind) {
    case FileValue::Kind::kText: return "the text '" + v.text + "'";
    case FileValue::Kind::kBool: return "the truth value '" + v.text + "'";
    case FileValue::Kind::kNull: return "nothing";
    case FileValue::Kind::kMapping: return "a mapping";
    case FileValue::Kind::kOther: return v.text;
    case FileValue::Kind::kInteger:
    case FileValue::Kind::kFloat: return v.text;
  }
  return v.text;
}

bool is_number(const FileValue& v) { return v.kind == FileValue::Kind::kInteger || v.kind == FileValue::Kind::kFloat; }

class Problems {
 public:
  void at(int line, std::string text) { items_.emplace_back(line, std::move(text)); }
  // Problems without a line (something missing) come after the others.
  std::vector<std::string> sorted() {
    std::stable_sort(items_.begin(), items_.end(), [](const auto& a, const auto& b) {
      const int la = a.first > 0 ? a.first : std::numeric_limits<int>::max();
      const int lb = b.first > 0 ? b.first : std::numeric_limits<int>::max();
      return la < lb;
    });
    std::vector<std::string> out;
    for (auto& [line, text] : items_) out.push_back(line > 0 ? "line " + std::to_string(line) + ": " + text : text);
    return out;
  }
  bool empty() const { return items_.empty(); }

 private:
  std::vector<std::pair<int, std::string>> items_;
};

void check_parameter(const FileEntry& entry, Problems& problems, std::vector<FileParameter>& out) {
  const int code = parameter_code(entry.key);
  if (code < 0) {
    std::string text = "unknown parameter '" + entry.key + "'";
    const std::string guess = closest_parameter_name(entry.key);
    if (!guess.empty()) text += " (did you mean " + guess + "?)";
    problems.at(entry.line, text);
    return;
  }
  const FileValue& v = entry.value;
  if (!is_number(v)) {
    problems.at(entry.line, entry.key + " must be a number, not " + describe(v));
    return;
  }
  const auto c = static_cast<uint8_t>(code);
  if (is_integer_parameter(c)) {
    if (!is_whole(v.number) || v.number < 0 || v.number > 4294967295.0) {
      problems.at(entry.line, entry.key + " must be a whole number from 0 to 4294967295, not " + v.text);
      return;
    }
    out.push_back({c, v.number, entry.line});
    return;
  }
  float narrowed = 0;
  if (!to_float32(v.number, &narrowed)) {
    problems.at(entry.line, entry.key + ": " + v.text + " is too large for a float32");
    return;
  }
  out.push_back({c, static_cast<double>(narrowed), entry.line});
}

std::string write_problem(uint8_t code, double value) {
  const std::string name = parameter_name(code);
  const std::string text = parameter_value_text(code, value);
  if (std::isinf(value)) return name + ": the infinite value " + text + " is not written to an actuator";
  switch (static_cast<Parameter>(code)) {
    case Parameter::MODE:
      if (member_name(kModeNames, value) == nullptr) return "MODE: " + text + " is not a control mode (2 to 8)";
      break;
    case Parameter::TORQUE_PERFORMANCE:
      if (member_name(kTorquePerformanceNames, value) == nullptr)
        return "TORQUE_PERFORMANCE: " + text + " is not a torque preset (1 to 3)";
      break;
    case Parameter::SPEED_PERFORMANCE:
      if (member_name(kSpeedPerformanceNames, value) == nullptr)
        return "SPEED_PERFORMANCE: " + text + " is not a speed preset (1 to 4)";
      break;
    case Parameter::VEZ_ADDRESS:
      if (!is_whole(value) || !is_valid_actuator_address(static_cast<int64_t>(value)))
        return "VEZ_ADDRESS: " + text + " is not an actuator address (16 to 16382)";
      break;
    default:
      break;
  }
  return "";
}

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

ParameterRole parameter_role(uint8_t code) {
  switch (static_cast<Parameter>(code)) {
    case Parameter::MODE:
    case Parameter::SETPOINT: return ParameterRole::kRuntime;
    case Parameter::VEZ_ADDRESS: return ParameterRole::kAddress;
    case Parameter::FIRMWARE_VERSION:
    case Parameter::SERIAL_NUMBER:
    case Parameter::DEVICE_MODEL:
    case Parameter::CONTROL_VERSION: return ParameterRole::kReadOnly;
    default: return ParameterRole::kSetting;
  }
}

const char* parameter_name(uint8_t code) {
  for (const NamedCode& c : kParameterNames)
    if (c.value == code) return c.name;
  return nullptr;
}

int parameter_code(const std::string& name) {
  for (const NamedCode& c : kParameterNames)
    if (name == c.name) return static_cast<int>(c.value);
  return -1;
}

bool same_parameter_value(uint8_t code, double a, double b) {
  if (is_integer_parameter(code)) return a == b;
  return same_float32(static_cast<float>(a), static_cast<float>(b));
}

std::string parameter_value_text(uint8_t code, double value) {
  const bool whole = is_whole(value) && std::fabs(value) < 1e15;
  if (whole && (is_integer_parameter(code) || static_cast<Parameter>(code) == Parameter::MODE)) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
    return buffer;
  }
  return float32_text(static_cast<float>(value));
}

std::string render_parameter_file(const ParameterFileHeader& header, const std::vector<ParameterValue>& values) {
  std::string out;
  out += "# Configuration of a Doroze actuator, saved by vez_api.\n";
  out += "# Floats are float32 values, written so that they read back bit for bit.\n";
  out += "vez_api_config: " + std::to_string(kParameterFileFormat) + "\n";
  out += "model: " + quoted(header.model) + "\n";
  out += "firmware_version: " + quoted(header.firmware_version) + "\n";
  if (header.address) {
    out += "address: " + std::to_string(*header.address) + "  # " + hex_address(*header.address) + "\n";
  } else {
    out += "address: null\n";
  }
  out += "saved_at: " + quoted(header.saved_at) + "\n";
  out += "vez_api_version: " + quoted(header.package_version) + "\n";

  std::string body;
  for (ParameterRole role :
       {ParameterRole::kSetting, ParameterRole::kRuntime, ParameterRole::kAddress, ParameterRole::kReadOnly}) {
    std::string group;
    for (const NamedCode& member : kParameterNames) {
      const auto code = static_cast<uint8_t>(member.value);
      if (parameter_role(code) != role) continue;
      for (const ParameterValue& v : values) {
        if (v.code != code) continue;
        group += std::string("  ") + member.name + ": " + parameter_value_text(code, v.value);
        const std::string remark = value_remark(code, v.value);
        if (!remark.empty()) group += "  # " + remark;
        group += "\n";
        break;
      }
    }
    if (!group.empty()) body += std::string(role_heading(role)) + "\n" + group;
  }
  out += body.empty() ? "parameters: {}\n" : "parameters:\n" + body;
  out += "complete: true\n";
  return out;
}

ParameterFile check_parameter_file(const FileValue& document) {
  ParameterFile file;
  Problems problems;
  if (document.kind != FileValue::Kind::kMapping) {
    file.problems.push_back("not a configuration file: the document is " + describe(document) +
                            ", not a mapping of names to values");
    return file;
  }
  struct Seen {
    std::string key;
    int line;
  };
  std::vector<Seen> seen;
  bool has_format = false, has_model = false, has_firmware = false, has_address = false, has_saved_at = false,
       has_version = false, has_parameters = false, complete = false;
  auto text_field = [&](const FileEntry& e, std::string* target, bool* present) {
    *present = true;
    if (e.value.kind != FileValue::Kind::kText) {
      problems.at(e.line, e.key + " must be text in quotes, not " + describe(e.value));
      return;
    }
    *target = e.value.text;
  };
  for (const FileEntry& e : document.entries) {
    auto twin = std::find_if(seen.begin(), seen.end(), [&](const Seen& s) { return s.key == e.key; });
    if (twin != seen.end()) {
      problems.at(e.line, "'" + e.key + "' appears twice (first on line " + std::to_string(twin->line) + ")");
      continue;
    }
    seen.push_back({e.key, e.line});
    const FileValue& v = e.value;
    if (e.key == "vez_api_config") {
      has_format = true;
      if (v.kind != FileValue::Kind::kInteger) {
        problems.at(e.line, "vez_api_config must be the format number " + std::to_string(kParameterFileFormat) +
                                ", not " + describe(v));
      } else if (v.number > static_cast<double>(kParameterFileFormat)) {
        problems.at(e.line, "the file has format " + v.text + " of a newer vez_api; this one reads format " +
                                std::to_string(kParameterFileFormat));
      } else if (v.number != static_cast<double>(kParameterFileFormat)) {
        problems.at(e.line, "unknown file format " + v.text);
      }
    } else if (e.key == "model") {
      text_field(e, &file.header.model, &has_model);
      if (v.kind == FileValue::Kind::kText && v.text.empty()) problems.at(e.line, "model is empty");
    } else if (e.key == "firmware_version") {
      text_field(e, &file.header.firmware_version, &has_firmware);
    } else if (e.key == "address") {
      has_address = true;
      if (v.kind == FileValue::Kind::kNull) continue;
      if (v.kind != FileValue::Kind::kInteger || v.number < 0 || v.number > kAddressMax) {
        problems.at(e.line, "address must be a bus address from 0 to 16382 or null, not " + describe(v));
      } else {
        file.header.address = static_cast<int64_t>(v.number);
      }
    } else if (e.key == "saved_at") {
      text_field(e, &file.header.saved_at, &has_saved_at);
    } else if (e.key == "vez_api_version") {
      text_field(e, &file.header.package_version, &has_version);
    } else if (e.key == "parameters") {
      has_parameters = true;
      if (v.kind != FileValue::Kind::kMapping) {
        problems.at(e.line, "parameters must be a mapping of parameter names to values, not " + describe(v));
        continue;
      }
      std::vector<Seen> names;
      for (const FileEntry& p : v.entries) {
        auto first = std::find_if(names.begin(), names.end(), [&](const Seen& s) { return s.key == p.key; });
        if (first != names.end()) {
          problems.at(p.line, "parameter " + p.key + " appears twice (first on line " + std::to_string(first->line) + ")");
          continue;
        }
        names.push_back({p.key, p.line});
        check_parameter(p, problems, file.parameters);
      }
    } else if (e.key == "complete") {
      if (v.kind == FileValue::Kind::kBool && v.number == 1.0) {
        complete = true;
      } else {
        problems.at(e.line, "complete must be true, not " + describe(v));
        complete = true;  // present, if wrong: not a truncation
      }
    } else {
      std::string text = "unknown entry '" + e.key + "'";
      if (parameter_code(e.key) >= 0 || !closest_parameter_name(e.key).empty())
        text += " (parameters belong under 'parameters:', indented)";
      problems.at(e.line, text);
    }
  }
  if (!has_format) {
    // Most likely some other YAML file: say that alone.
    file.problems.push_back("not a vez_api configuration file: it has no 'vez_api_config: " +
                            std::to_string(kParameterFileFormat) + "' line");
    return file;
  }
  const std::pair<bool, const char*> required[] = {
      {has_model, "model"},       {has_firmware, "firmware_version"}, {has_address, "address"},
      {has_saved_at, "saved_at"}, {has_version, "vez_api_version"},   {has_parameters, "parameters"},
  };
  for (const auto& [present, key] : required)
    if (!present) problems.at(0, std::string("the '") + key + "' line is missing");
  if (!complete) problems.at(0, "the file ends before its last line 'complete: true': it is truncated");
  file.problems = problems.sorted();
  return file;
}

RestorePlan plan_restore(const std::vector<FileParameter>& file, const std::vector<ParameterValue>& device,
                         const RestoreOptions& options) {
  RestorePlan plan;
  plan.options = options;
  auto held = [&](uint8_t code) -> std::optional<double> {
    std::optional<double> found;
    for (const ParameterValue& v : device)
      if (v.code == code) found = v.value;
    return found;
  };
  for (const FileParameter& p : file) {
    PlannedParameter entry{p.code, p.value, held(p.code), PlannedParameter::Action::kNotHeld};
    if (entry.device_value) {
      if (same_parameter_value(p.code, p.value, *entry.device_value)) {
        entry.action = PlannedParameter::Action::kUnchanged;
      } else {
        bool writable = false;
        switch (parameter_role(p.code)) {
          case ParameterRole::kSetting: writable = true; break;
          case ParameterRole::kRuntime: writable = options.write_runtime; break;
          case ParameterRole::kAddress: writable = options.write_address; break;
          case ParameterRole::kReadOnly: writable = false; break;
        }
        entry.action = writable ? PlannedParameter::Action::kWrite : PlannedParameter::Action::kNotWritten;
        if (writable) {
          std::string problem = write_problem(p.code, p.value);
          if (!problem.empty()) plan.problems.push_back(std::move(problem));
        }
      }
    }
    plan.entries.push_back(entry);
  }
  for (const NamedCode& member : kParameterNames) {
    const auto code = static_cast<uint8_t>(member.value);
    if (!held(code)) continue;
    const bool listed = std::any_of(file.begin(), file.end(), [&](const FileParameter& p) { return p.code == code; });
    if (!listed) plan.not_in_file.push_back(code);
  }
  return plan;
}

std::vector<Mismatch> verify_restore(const RestorePlan& plan, const std::vector<ParameterValue>& read_back) {
  std::vector<Mismatch> mismatches;
  for (const PlannedParameter& p : plan.entries) {
    if (p.action != PlannedParameter::Action::kWrite && p.action != PlannedParameter::Action::kUnchanged) continue;
    const ParameterRole role = parameter_role(p.code);
    if (role == ParameterRole::kAddress || role == ParameterRole::kReadOnly) continue;
    if (role == ParameterRole::kRuntime && !plan.options.write_runtime) continue;
    std::optional<double> got;
    for (const ParameterValue& v : read_back)
      if (v.code == p.code) got = v.value;
    if (!got || !same_parameter_value(p.code, p.file_value, *got)) mismatches.push_back({p.code, p.file_value, got});
  }
  return mismatches;
}

std::string closest_parameter_name(const std::string& name) {
  const std::string wanted = upper(name);
  std::string best;
  size_t best_distance = 3;
  for (const NamedCode& member : kParameterNames) {
    const size_t d = edit_distance(wanted, member.name);
    if (d < best_distance) {
      best_distance = d;
      best = member.name;
    }
  }
  return best == name ? "" : best;
}

}  // namespace vez::core
