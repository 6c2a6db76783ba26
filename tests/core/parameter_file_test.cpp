#include "core/parameter_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/actuator_protocol.hpp"

namespace core = vez::core;
using core::FileValue;
using core::Parameter;
using Action = core::PlannedParameter::Action;

namespace {

uint8_t code(Parameter p) { return static_cast<uint8_t>(p); }

const double kNaN = std::numeric_limits<double>::quiet_NaN();

FileValue number(double v, const std::string& text, bool integer = false) {
  FileValue f;
  f.kind = integer ? FileValue::Kind::kInteger : FileValue::Kind::kFloat;
  f.number = v;
  f.text = text;
  return f;
}
FileValue integer(double v) { return number(v, std::to_string(static_cast<long long>(v)), true); }
FileValue text(const std::string& s) {
  FileValue f;
  f.kind = FileValue::Kind::kText;
  f.text = s;
  return f;
}
FileValue truth(bool b) {
  FileValue f;
  f.kind = FileValue::Kind::kBool;
  f.number = b ? 1 : 0;
  f.text = b ? "true" : "false";
  return f;
}
FileValue null() { return FileValue{}; }
FileValue mapping(std::vector<core::FileEntry> entries) {
  FileValue f;
  f.kind = FileValue::Kind::kMapping;
  f.entries = std::move(entries);
  return f;
}

// A document as a YAML reader hands over the file that render_parameter_file
// writes, with `parameters` given and line numbers counted from 1.
FileValue document(std::vector<core::FileEntry> parameters, bool complete = true) {
  std::vector<core::FileEntry> top = {
      {"vez_api_config", 3, integer(1)},   {"model", 4, text("ORBIT_4")},
      {"firmware_version", 5, text("1.4.2")}, {"address", 6, integer(16)},
      {"saved_at", 7, text("2025-01-02T03:04:05+00:00")}, {"vez_api_version", 8, text("0.1.0")},
      {"parameters", 9, mapping(std::move(parameters))},
  };
  if (complete) top.push_back({"complete", 40, truth(true)});
  return mapping(std::move(top));
}

std::vector<std::string> problems_of(const FileValue& doc) { return core::check_parameter_file(doc).problems; }

}  // namespace

TEST(ParameterFile, RolesDecideWhatARestoreWrites) {
  EXPECT_EQ(core::parameter_role(code(Parameter::LIM_TORQUE)), core::ParameterRole::kSetting);
  EXPECT_EQ(core::parameter_role(code(Parameter::CAN_HIGH_SPEED)), core::ParameterRole::kSetting);
  EXPECT_EQ(core::parameter_role(code(Parameter::MODE)), core::ParameterRole::kRuntime);
  EXPECT_EQ(core::parameter_role(code(Parameter::SETPOINT)), core::ParameterRole::kRuntime);
  EXPECT_EQ(core::parameter_role(code(Parameter::VEZ_ADDRESS)), core::ParameterRole::kAddress);
  for (Parameter p : {Parameter::FIRMWARE_VERSION, Parameter::SERIAL_NUMBER, Parameter::DEVICE_MODEL,
                      Parameter::CONTROL_VERSION})
    EXPECT_EQ(core::parameter_role(code(p)), core::ParameterRole::kReadOnly);
}

TEST(ParameterFile, RendersHeaderAndGroupedParameters) {
  core::ParameterFileHeader header{"ORBIT_4", "1.4.2", 16, "2025-01-02T03:04:05+00:00", "0.1.0"};
  const std::vector<core::ParameterValue> values = {
      {code(Parameter::SERIAL_NUMBER), 1001},
      {code(Parameter::K_DAMPING), static_cast<double>(0.39830368757247925f)},
      {code(Parameter::MODE), 7},
      {code(Parameter::FIRMWARE_VERSION), 2306},
      {code(Parameter::VEZ_ADDRESS), 16},
      {code(Parameter::TORQUE_PERFORMANCE), 2},
      {code(Parameter::PROFILE_TORQUE_MAX_NM), kNaN},
      {200, 1.0},  // no parameter: left out
  };
  EXPECT_EQ(core::render_parameter_file(header, values),
            "# Configuration of a Doroze actuator, saved by vez_api.\n"
            "# Floats are float32 values, written so that they read back bit for bit.\n"
            "vez_api_config: 1\n"
            "model: \"ORBIT_4\"\n"
            "firmware_version: \"1.4.2\"\n"
            "address: 16  # 0x10\n"
            "saved_at: \"2025-01-02T03:04:05+00:00\"\n"
            "vez_api_version: \"0.1.0\"\n"
            "parameters:\n"
            "  # settings: written by a restore\n"
            "  K_DAMPING: 0.3983037\n"
            "  TORQUE_PERFORMANCE: 2.0  # BALANCED\n"
            "  PROFILE_TORQUE_MAX_NM: .nan\n"
            "  # present state: written only when asked\n"
            "  MODE: 7  # POSITION\n"
            "  # bus address: written only when asked\n"
            "  VEZ_ADDRESS: 16.0  # 0x10\n"
            "  # identity: read-only, never written\n"
            "  FIRMWARE_VERSION: 2306  # 1.4.2\n"
            "  SERIAL_NUMBER: 1001\n"
            "complete: true\n");
}

TEST(ParameterFile, RendersTextSafelyAndNoParameters) {
  core::ParameterFileHeader header{"A\"B\\C\nD", "", std::nullopt, "t", "v"};
  const std::string out = core::render_parameter_file(header, {});
  EXPECT_NE(out.find("model: \"A\\\"B\\\\C\\x0AD\"\n"), std::string::npos) << out;
  EXPECT_NE(out.find("address: null\n"), std::string::npos);
  EXPECT_NE(out.find("parameters: {}\ncomplete: true\n"), std::string::npos);
}

TEST(ParameterFile, ValuesTextKeepsIntegersAndFloat32Digits) {
  EXPECT_EQ(core::parameter_value_text(code(Parameter::SERIAL_NUMBER), 4294967295.0), "4294967295");
  EXPECT_EQ(core::parameter_value_text(code(Parameter::MODE), 7), "7");
  EXPECT_EQ(core::parameter_value_text(code(Parameter::MODE), 7.5), "7.5");  // an invalid mode as reported
  EXPECT_EQ(core::parameter_value_text(code(Parameter::LIM_TORQUE), 43.167598724365234), "43.1676");
  EXPECT_EQ(core::parameter_value_text(code(Parameter::LIM_TORQUE), 20), "20.0");
}

TEST(ParameterFile, AWellFormedFilePasses) {
  const core::ParameterFile file = core::check_parameter_file(document({
      {"K_DAMPING", 10, number(0.3983037, "0.3983037")},
      {"MODE", 11, integer(7)},
      {"SERIAL_NUMBER", 12, integer(4294967295.0)},
      {"LIM_TORQUE", 13, integer(20)},  // an integer is a fine float
      {"PROFILE_TORQUE_MAX_NM", 14, number(kNaN, ".nan")},
  }));
  ASSERT_TRUE(file.problems.empty()) << file.problems[0];
  EXPECT_EQ(file.header.model, "ORBIT_4");
  EXPECT_EQ(file.header.firmware_version, "1.4.2");
  EXPECT_EQ(file.header.address, 16);
  ASSERT_EQ(file.parameters.size(), 5u);
  EXPECT_EQ(file.parameters[0].code, code(Parameter::K_DAMPING));
  EXPECT_EQ(file.parameters[0].value, static_cast<double>(0.3983037f));  // rounded to float32
  EXPECT_EQ(file.parameters[0].line, 10);
  EXPECT_EQ(file.parameters[2].value, 4294967295.0);
  EXPECT_TRUE(std::isnan(file.parameters[4].value));
}

TEST(ParameterFile, HandEditedParametersAreRefusedWithTheirLines) {
  EXPECT_EQ(problems_of(document({
                {"LIM_TORQ", 12, number(1, "1.0")},
                {"KP_SPEED", 10, text("fast")},
                {"KI_SPEED", 11, truth(true)},
                {"k_damping", 13, number(1, "1.0")},
                {"LIM_SPEED_MAX", 14, number(1e39, "1.0e+39")},
                {"SERIAL_NUMBER", 15, number(1.5, "1.5")},
                {"DEVICE_MODEL", 16, integer(-1)},
                {"KP_POSITION", 17, null()},
                {"TORQUE_FF", 18, mapping({})},
                {"KP_SPEED", 19, number(2, "2.0")},
            })),
            (std::vector<std::string>{
                "line 10: KP_SPEED must be a number, not the text 'fast'",
                "line 11: KI_SPEED must be a number, not the truth value 'true'",
                "line 12: unknown parameter 'LIM_TORQ' (did you mean LIM_TORQUE?)",
                "line 13: unknown parameter 'k_damping' (did you mean K_DAMPING?)",
                "line 14: LIM_SPEED_MAX: 1.0e+39 is too large for a float32",
                "line 15: SERIAL_NUMBER must be a whole number from 0 to 4294967295, not 1.5",
                "line 16: DEVICE_MODEL must be a whole number from 0 to 4294967295, not -1",
                "line 17: KP_POSITION must be a number, not nothing",
                "line 18: TORQUE_FF must be a number, not a mapping",
                "line 19: parameter KP_SPEED appears twice (first on line 10)",
            }));
  EXPECT_EQ(problems_of(document({{"NO_SUCH_THING", 10, number(1, "1.0")}})),
            std::vector<std::string>{"line 10: unknown parameter 'NO_SUCH_THING'"});
}

TEST(ParameterFile, ATruncatedFileIsRecognised) {
  // Cut inside the parameters: the closing line never came.
  EXPECT_EQ(problems_of(document({{"K_DAMPING", 10, number(0.5, "0.5")}}, /*complete=*/false)),
            std::vector<std::string>{"the file ends before its last line 'complete: true': it is truncated"});
  // Cut inside the header.
  FileValue cut = mapping({{"vez_api_config", 3, integer(1)}, {"model", 4, text("ORBIT_4")}});
  EXPECT_EQ(problems_of(cut), (std::vector<std::string>{
                                  "the 'firmware_version' line is missing",
                                  "the 'address' line is missing",
                                  "the 'saved_at' line is missing",
                                  "the 'vez_api_version' line is missing",
                                  "the 'parameters' line is missing",
                                  "the file ends before its last line 'complete: true': it is truncated",
                              }));
}

TEST(ParameterFile, HeaderProblems) {
  FileValue doc = document({});
  doc.entries[0].value = integer(2);
  doc.entries[1].value = text("");
  doc.entries[2].value = number(1.4, "1.4");
  doc.entries[3].value = integer(20000);
  doc.entries.push_back({"K_DAMPING", 41, number(1, "1.0")});
  doc.entries.push_back({"model", 42, text("NOVA_3")});
  doc.entries.push_back({"comment", 43, text("x")});
  EXPECT_EQ(problems_of(doc), (std::vector<std::string>{
                                  "line 3: the file has format 2 of a newer vez_api; this one reads format 1",
                                  "line 4: model is empty",
                                  "line 5: firmware_version must be text in quotes, not 1.4",
                                  "line 6: address must be a bus address from 0 to 16382 or null, not 20000",
                                  "line 41: unknown entry 'K_DAMPING' (parameters belong under 'parameters:', indented)",
                                  "line 42: 'model' appears twice (first on line 4)",
                                  "line 43: unknown entry 'comment'",
                              }));
  FileValue no_address = document({});
  no_address.entries[3].value = null();
  const core::ParameterFile file = core::check_parameter_file(no_address);
  EXPECT_TRUE(file.problems.empty());
  EXPECT_FALSE(file.header.address.has_value());
}

TEST(ParameterFile, SomethingElseEntirely) {
  EXPECT_EQ(problems_of(text("hello")),
            std::vector<std::string>{"not a configuration file: the document is the text 'hello', not a mapping of names to values"});
  EXPECT_EQ(problems_of(null()),
            std::vector<std::string>{"not a configuration file: the document is nothing, not a mapping of names to values"});
  // Another YAML mapping (an actuator library, say): one clear sentence, not a list of missing lines.
  EXPECT_EQ(problems_of(mapping({{"actuators", 1, mapping({})}})),
            std::vector<std::string>{"not a vez_api configuration file: it has no 'vez_api_config: 1' line"});
}

TEST(ParameterFile, PlanComparesAsTheActuatorStores) {
  const std::vector<core::FileParameter> file = {
      {code(Parameter::K_DAMPING), static_cast<double>(0.3983037f), 1},
      {code(Parameter::LIM_TORQUE), 20.0, 2},
      {code(Parameter::SETPOINT), 1.5, 3},
      {code(Parameter::VEZ_ADDRESS), 17.0, 4},
      {code(Parameter::SERIAL_NUMBER), 1002, 5},
      {code(Parameter::FF_GAIN), kNaN, 6},
      {code(Parameter::SPEED_CUTOFF), 1000.0, 7},
  };
  const std::vector<core::ParameterValue> device = {
      {code(Parameter::K_DAMPING), 0.39830368299272834},  // a double of the simulation, the same float32
      {code(Parameter::LIM_TORQUE), 43.1676},
      {code(Parameter::SETPOINT), 0.0},
      {code(Parameter::VEZ_ADDRESS), 16.0},
      {code(Parameter::SERIAL_NUMBER), 1001},
      {code(Parameter::FF_GAIN), kNaN},
      {code(Parameter::KP_SPEED), 1.0},
  };
  core::RestorePlan plan = core::plan_restore(file, device, {});
  ASSERT_EQ(plan.entries.size(), 7u);
  EXPECT_EQ(plan.entries[0].action, Action::kUnchanged);
  EXPECT_EQ(plan.entries[1].action, Action::kWrite);
  EXPECT_EQ(*plan.entries[1].device_value, 43.1676);
  EXPECT_EQ(plan.entries[2].action, Action::kNotWritten);  // present state
  EXPECT_EQ(plan.entries[3].action, Action::kNotWritten);  // address
  EXPECT_EQ(plan.entries[4].action, Action::kNotWritten);  // read-only
  EXPECT_EQ(plan.entries[5].action, Action::kUnchanged);   // NaN and NaN
  EXPECT_EQ(plan.entries[6].action, Action::kNotHeld);
  EXPECT_FALSE(plan.entries[6].device_value.has_value());
  EXPECT_EQ(plan.not_in_file, std::vector<uint8_t>{code(Parameter::KP_SPEED)});
  EXPECT_TRUE(plan.problems.empty());

  plan = core::plan_restore(file, device, {/*write_runtime=*/true, /*write_address=*/true});
  EXPECT_EQ(plan.entries[2].action, Action::kWrite);
  EXPECT_EQ(plan.entries[3].action, Action::kWrite);
  EXPECT_EQ(plan.entries[4].action, Action::kNotWritten);  // read-only stays read-only
}

TEST(ParameterFile, PlanRefusesValuesTheActuatorWouldMisread) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<core::FileParameter> file = {
      {code(Parameter::LIM_TORQUE), inf, 1},           {code(Parameter::MODE), 9, 2},
      {code(Parameter::TORQUE_PERFORMANCE), 0, 3},     {code(Parameter::SPEED_PERFORMANCE), 4, 4},
      {code(Parameter::VEZ_ADDRESS), 15, 5},           {code(Parameter::KP_SPEED), inf, 6},
  };
  const std::vector<core::ParameterValue> device = {
      {code(Parameter::LIM_TORQUE), 1},         {code(Parameter::MODE), 7},
      {code(Parameter::TORQUE_PERFORMANCE), 2}, {code(Parameter::SPEED_PERFORMANCE), 2},
      {code(Parameter::VEZ_ADDRESS), 16},       {code(Parameter::KP_SPEED), inf},  // unchanged: nothing to refuse
  };
  EXPECT_EQ(core::plan_restore(file, device, {true, true}).problems,
            (std::vector<std::string>{
                "LIM_TORQUE: the infinite value .inf is not written to an actuator",
                "MODE: 9 is not a control mode (2 to 8)",
                "TORQUE_PERFORMANCE: 0.0 is not a torque preset (1 to 3)",
                "VEZ_ADDRESS: 15.0 is not an actuator address (16 to 16382)",
            }));
  // Values that are not written are not judged.
  EXPECT_EQ(core::plan_restore(file, device, {}).problems.size(), 2u);  // LIM_TORQUE, TORQUE_PERFORMANCE
}

TEST(ParameterFile, VerifyChecksWhatTheRestoreOwns) {
  const std::vector<core::FileParameter> file = {
      {code(Parameter::LIM_TORQUE), 20.0, 1},  {code(Parameter::KP_SPEED), 2.0, 2},
      {code(Parameter::SETPOINT), 0.0, 3},     {code(Parameter::VEZ_ADDRESS), 17.0, 4},
      {code(Parameter::KI_SPEED), 5.0, 5},
  };
  const std::vector<core::ParameterValue> before = {
      {code(Parameter::LIM_TORQUE), 43.0}, {code(Parameter::KP_SPEED), 2.0},
      {code(Parameter::SETPOINT), 0.0},    {code(Parameter::VEZ_ADDRESS), 16.0},
      {code(Parameter::KI_SPEED), 1.0},
  };
  const core::RestorePlan plan = core::plan_restore(file, before, {false, true});
  const std::vector<core::ParameterValue> after = {
      {code(Parameter::LIM_TORQUE), 20.0},
      {code(Parameter::KP_SPEED), 2.5},  // unchanged before, changed by someone since
      {code(Parameter::SETPOINT), 3.0},  // present state, not ours to check
      {code(Parameter::VEZ_ADDRESS), 16.0},  // answered at the new address, checked elsewhere
  };
  const std::vector<core::Mismatch> mismatches = core::verify_restore(plan, after);
  ASSERT_EQ(mismatches.size(), 2u);
  EXPECT_EQ(mismatches[0].code, code(Parameter::KP_SPEED));
  EXPECT_EQ(*mismatches[0].got, 2.5);
  EXPECT_EQ(mismatches[1].code, code(Parameter::KI_SPEED));
  EXPECT_FALSE(mismatches[1].got.has_value());
  EXPECT_TRUE(core::verify_restore(plan, {{code(Parameter::LIM_TORQUE), 20.0},
                                          {code(Parameter::KP_SPEED), 2.0},
                                          {code(Parameter::KI_SPEED), static_cast<double>(5.0f)}})
                  .empty());
}

TEST(ParameterFile, NamesAndSuggestions) {
  EXPECT_STREQ(core::parameter_name(code(Parameter::CAN_HIGH_SPEED)), "CAN_HIGH_SPEED");
  EXPECT_EQ(core::parameter_name(0x20), nullptr);
  EXPECT_EQ(core::parameter_code("KP_POSITION"), 0x0F);
  EXPECT_EQ(core::parameter_code("kp_position"), -1);
  EXPECT_EQ(core::closest_parameter_name("KP_POSITON"), "KP_POSITION");
  EXPECT_EQ(core::closest_parameter_name("mode"), "MODE");
  EXPECT_EQ(core::closest_parameter_name("MODE"), "");  // already a name
  EXPECT_EQ(core::closest_parameter_name("TEMPERATURE"), "");
}
