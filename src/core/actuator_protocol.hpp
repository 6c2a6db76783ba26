// The actuator's side of the VEZ protocol: the vocabulary (modes, rates,
// presets, action bytes, parameter and item codes, model names), the command
// payloads the host sends, and the small pieces of arithmetic around them
// (float packing, the feedback rate divider, the packed firmware version, the
// error bit table).  Pure functions and constant tables, callable from any
// thread.
//
// Every list below is written once as an X-macro in declaration order; the
// typed enums used by C++ and the (name, value) tables from which the Python
// enumerations are built both come from it, so the two never disagree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol.hpp"

namespace vez::core {

// ---------------------------------------------------------------------------
// Vocabulary

#define VEZ_MODES(X) \
  X(FVI, 2)          \
  X(OPEN_LOOP, 3)    \
  X(DVI, 4)          \
  X(TORQUE, 5)       \
  X(SPEED, 6)        \
  X(POSITION, 7)     \
  X(IMPEDANCE, 8)

// Dividers of the 20 kHz base feedback rate (periods in steps of 50 us).
#define VEZ_RATES(X)  \
  X(DISABLED, 0)      \
  X(RATE_2KHZ, 10)    \
  X(RATE_1KHZ, 20)    \
  X(RATE_500HZ, 40)   \
  X(RATE_200HZ, 100)  \
  X(RATE_100HZ, 200)  \
  X(RATE_50HZ, 400)   \
  X(RATE_20HZ, 1000)  \
  X(RATE_10HZ, 2000)  \
  X(RATE_5HZ, 4000)   \
  X(RATE_2HZ, 10000)  \
  X(RATE_1HZ, 20000)

#define VEZ_TORQUE_PERFORMANCE(X) \
  X(AGGRESSIVE, 1)                \
  X(BALANCED, 2)                  \
  X(SOFT, 3)

#define VEZ_SPEED_PERFORMANCE(X) \
  X(AGGRESSIVE, 1)               \
  X(BALANCED, 2)                 \
  X(SOFT, 3)                     \
  X(CUSTOM, 4)

// First byte of every command payload.
#define VEZ_ACTIONS(X)                       \
  X(START, 0x01)                             \
  X(STOP, 0x02)                              \
  X(CHANGE_MODE, 0x03)                       \
  X(CHANGE_SETPOINT, 0x04)                   \
  X(CHANGE_SETPOINT_FF, 0x10)                \
  X(CHANGE_SETPOINT_TORQUE, 0x11)            \
  X(CHANGE_SETPOINT_SPEED, 0x12)             \
  X(CHANGE_SETPOINT_POSITION, 0x13)          \
  X(CHANGE_SETPOINT_IMPEDANCE, 0x14)         \
  X(CHANGE_SETPOINT_SPEED_INTERNAL, 0x15)    \
  X(CHANGE_SETPOINT_POSITION_INTERNAL, 0x16) \
  X(SET_FEEDBACK_HIGH_RATE, 0x06)            \
  X(SET_FEEDBACK_HIGH_ITEMS, 0x07)           \
  X(RESET_ENCODER_POSITION, 0x0A)            \
  X(SET_PARAMETERS, 0x0B)                    \
  X(GET_PARAMETERS, 0x0C)                    \
  X(SET_TORQUE_PERFORMANCE, 0x0D)            \
  X(SET_SPEED_PERFORMANCE, 0x0E)             \
  X(GET_ITEMS, 0x0F)                         \
  X(START_SINE_REF, 0x38)                    \
  X(SAVE, 0x39)                              \
  X(PING, 0x40)                              \
  X(BLINK, 0x41)                             \
  X(ENTER_BOOTLOADER, 0xC1)                  \
  X(DEBUG_CLEAR_CONFIG, 0xC2)                \
  X(DEBUG_RESET_INT_ENC, 0xC3)               \
  X(DEBUG_RESET_EXT_ENC, 0xC4)

// Code bytes of received records that are not feedback items.
#define VEZ_OTHER_CODES(X) \
  X(BEACON, 0x80)          \
  X(ERRORS, 0x82)          \
  X(PARAMETERS, 0x83)

// Parameters with how their 4 value bytes are read in an answer.
#define VEZ_PARAMETERS(X)                       \
  X(K_DAMPING, 0x01, kFloat32)                  \
  X(K_STIFFNESS, 0x02, kFloat32)                \
  X(TORQUE_FF, 0x03, kFloat32)                  \
  X(LIM_TORQUE, 0x04, kFloat32)                 \
  X(LIM_POSITION_MAX, 0x05, kFloat32)           \
  X(LIM_POSITION_MIN, 0x06, kFloat32)           \
  X(LIM_SPEED_MAX, 0x07, kFloat32)              \
  X(LIM_SPEED_MIN, 0x08, kFloat32)              \
  X(PROFILE_POSITION_MAX, 0x09, kFloat32)       \
  X(PROFILE_POSITION_MIN, 0x0A, kFloat32)       \
  X(PROFILE_SPEED_MAX, 0x0B, kFloat32)          \
  X(PROFILE_SPEED_MIN, 0x0C, kFloat32)          \
  X(KP_SPEED, 0x0D, kFloat32)                   \
  X(KI_SPEED, 0x0E, kFloat32)                   \
  X(KP_POSITION, 0x0F, kFloat32)                \
  X(MODE, 0x30, kMode)                          \
  X(SETPOINT, 0x31, kFloat32)                   \
  X(TORQUE_PERFORMANCE, 0x40, kFloat32)         \
  X(SPEED_PERFORMANCE, 0x41, kFloat32)          \
  X(PROFILE_SPEED_MAX_RAD_S, 0x42, kFloat32)    \
  X(PROFILE_TORQUE_MAX_NM, 0x43, kFloat32)      \
  X(INVERT_FLAG, 0x44, kFloat32)                \
  X(FF_GAIN, 0x45, kFloat32)                    \
  X(SPEED_CUTOFF, 0x46, kFloat32)               \
  X(CURRENT_CUTOFF, 0x47, kFloat32)             \
  X(FIRMWARE_VERSION, 0x80, kUint32)            \
  X(VEZ_ADDRESS, 0x81, kFloat32)                \
  X(SERIAL_NUMBER, 0x82, kUint32)               \
  X(DEVICE_MODEL, 0x83, kUint32)                \
  X(CONTROL_VERSION, 0x84, kUint32)             \
  X(CAN_HIGH_SPEED, 0x85, kFloat32)

// Feedback items with the type of their 4 value bytes, in declaration order
// (POSITION_FB_INTERNAL sits between POSITION_FB and SPEED_REF).
#define VEZ_ITEMS(X)                      \
  X(ENCODER_INT, 65, kFloat32)            \
  X(ENCODER_INT_RAW, 66, kUint32)         \
  X(ENCODER_EXT, 67, kFloat32)            \
  X(ENCODER_EXT_RAW, 68, kUint32)         \
  X(SPEED_FB, 69, kFloat32)               \
  X(IA, 70, kFloat32)                     \
  X(IB, 71, kFloat32)                     \
  X(IC, 72, kFloat32)                     \
  X(TORQUE_SENS, 73, kFloat32)            \
  X(TORQUE_SENS_RAW, 74, kInt32)          \
  X(POSITION_REF, 75, kFloat32)           \
  X(POSITION_FB, 76, kFloat32)            \
  X(POSITION_FB_INTERNAL, 115, kFloat32)  \
  X(SPEED_REF, 77, kFloat32)              \
  X(ID_REF, 79, kFloat32)                 \
  X(ID_FB, 80, kFloat32)                  \
  X(IQ_REF, 81, kFloat32)                 \
  X(IQ_FB, 82, kFloat32)                  \
  X(VD_REF, 83, kFloat32)                 \
  X(VQ_REF, 84, kFloat32)                 \
  X(TORQUE_REF, 85, kFloat32)             \
  X(TORQUE_FB, 86, kFloat32)              \
  X(REFERENCE_A_VOLTAGE, 87, kFloat32)    \
  X(REFERENCE_B_VOLTAGE, 88, kFloat32)    \
  X(REFERENCE_C_VOLTAGE, 89, kFloat32)    \
  X(BUS_POWER, 90, kFloat32)              \
  X(BUS_CURRENT, 91, kFloat32)            \
  X(THREE_PHASE_POWER, 92, kFloat32)      \
  X(MECHANICAL_POWER, 93, kFloat32)       \
  X(INVERTER_EFFICIENCY, 94, kFloat32)    \
  X(MOTOR_EFFICIENCY, 95, kFloat32)       \
  X(ERRORS_ENCODER_INT, 96, kUint32)      \
  X(ERRORS_ENCODER_EXT, 97, kUint32)      \
  X(ERRORS_OVERRUN, 98, kUint32)          \
  X(ERROR_BITS, 99, kUint32)              \
  X(CONTROL_LOOP_TIME_MIN, 100, kUint32)  \
  X(CONTROL_LOOP_TIME_MAX, 101, kUint32)  \
  X(CONTROL_LOOP_TIME_AVG, 102, kUint32)  \
  X(VBUS, 112, kFloat32)                  \
  X(TEMP_PCB, 113, kFloat32)              \
  X(TEMP_MOTOR, 114, kFloat32)            \
  X(DEBUG_SIGNAL_BOOL, 144, kUint32)      \
  X(DEBUG_SIGNAL01, 145, kFloat32)        \
  X(DEBUG_SIGNAL02, 146, kFloat32)        \
  X(DEBUG_SIGNAL03, 147, kFloat32)        \
  X(DEBUG_SIGNAL04, 148, kFloat32)        \
  X(DEBUG_SIGNAL05, 149, kFloat32)        \
  X(DEBUG_SIGNAL06, 150, kFloat32)        \
  X(DEBUG_SIGNAL07, 151, kFloat32)        \
  X(DEBUG_SIGNAL08, 152, kFloat32)        \
  X(DEBUG_SIGNAL09, 153, kFloat32)        \
  X(DEBUG_SIGNAL10, 154, kFloat32)

#define VEZ_X_ENUMERATOR(name, value) name = value,
#define VEZ_X_TYPED_ENUMERATOR(name, value, type) name = value,
enum class Mode : uint8_t { VEZ_MODES(VEZ_X_ENUMERATOR) };
enum class Action : uint8_t { VEZ_ACTIONS(VEZ_X_ENUMERATOR) };
enum class OtherCode : uint8_t { VEZ_OTHER_CODES(VEZ_X_ENUMERATOR) };
enum class Parameter : uint8_t { VEZ_PARAMETERS(VEZ_X_TYPED_ENUMERATOR) };
enum class Item : uint8_t { VEZ_ITEMS(VEZ_X_TYPED_ENUMERATOR) };
#undef VEZ_X_ENUMERATOR
#undef VEZ_X_TYPED_ENUMERATOR

// How long a sender waits after ENTER_BOOTLOADER before it goes on (the
// device restarts into its boot loader meanwhile).
inline constexpr double kBootloaderPauseSeconds = 0.1;

// One member of an enumeration: its name and value, in declaration order.
struct NamedCode {
  const char* name;
  uint32_t value;
};

#define VEZ_X_NAMED(name, value) NamedCode{#name, value},
#define VEZ_X_TYPED_NAMED(name, value, type) NamedCode{#name, value},
inline constexpr NamedCode kModeNames[] = {VEZ_MODES(VEZ_X_NAMED)};
inline constexpr NamedCode kRateNames[] = {VEZ_RATES(VEZ_X_NAMED)};
inline constexpr NamedCode kTorquePerformanceNames[] = {VEZ_TORQUE_PERFORMANCE(VEZ_X_NAMED)};
inline constexpr NamedCode kSpeedPerformanceNames[] = {VEZ_SPEED_PERFORMANCE(VEZ_X_NAMED)};
inline constexpr NamedCode kActionNames[] = {VEZ_ACTIONS(VEZ_X_NAMED)};
inline constexpr NamedCode kOtherCodeNames[] = {VEZ_OTHER_CODES(VEZ_X_NAMED)};
inline constexpr NamedCode kParameterNames[] = {VEZ_PARAMETERS(VEZ_X_TYPED_NAMED)};
inline constexpr NamedCode kItemNames[] = {VEZ_ITEMS(VEZ_X_TYPED_NAMED)};
#undef VEZ_X_NAMED
#undef VEZ_X_TYPED_NAMED

// Model names by the device-model code of a ping answer; entry 0 means "no
// model reported".
inline constexpr const char* kModelNames[] = {
    "", "NOVA_3", "NOVA_4", "ORBIT_4", "ORBIT_5", "CAN_ADAPTER", "ORBIT_2", "ORBIT_3", "ORBIT_1", "NOVA_1", "NOVA_2",
};

// How 4 little-endian value bytes are read.
enum class ValueType : uint8_t {
  kNone,     // the code names no item / parameter
  kFloat32,  // "<f", widened to double
  kUint32,   // "<I"
  kInt32,    // "<i"
  kMode,     // "<f", then the Mode with that integer value
};

// Type of a feedback item's value, kNone when `code` is no item.
ValueType item_value_type(uint8_t code);
// Type of a parameter's value in a parameter answer, kNone when `code` is no
// parameter.
ValueType parameter_value_type(uint8_t code);
// True when `value` is the value of a Mode member.
bool is_mode_value(int64_t value);

// ---------------------------------------------------------------------------
// Numbers

// The actuator's base feedback rate; stream rates travel as dividers of it.
inline constexpr int64_t kFeedbackBaseRateHz = 20000;

// Single-precision packing as "<f" does it: false when a finite value is too
// large for a float (the packer reports an overflow); infinities and NaNs pack
// as themselves (Python's nan becomes the quiet NaN 00 00 C0 7F).
bool to_float32(double value, float* out);

// A value that may be sent to the actuator as a setpoint, gain or parameter:
// a float32 that is finite after rounding to nearest, or NaN (a field left
// unset).  False for an infinity and for a finite value beyond the float32
// range; either would reach the motor as a demand at the float's limit.
bool to_command_float32(double value, float* out);

enum class RateError : uint8_t { kNone, kNegative, kAboveMaximum };

struct RateDivider {
  RateError error;
  uint32_t divider;  // valid when error is kNone
};

// Divider for a stream rate in hertz: 0 stops the stream; otherwise
// base / rate rounded to the nearest integer, halves to even, at least 1.
RateDivider feedback_rate_divider(int64_t rate_hz);

// Packed firmware version: bits 15..11 major, 10..6 minor, 5..0 patch.
struct FirmwareVersion {
  unsigned major;
  unsigned minor;
  unsigned patch;
};
FirmwareVersion unpack_firmware_version(uint16_t packed);
// "major.minor.patch" in decimal, e.g. 0x0841 -> "1.1.1".
std::string firmware_version_text(uint16_t packed);

// Error bits that carry a description, in ascending bit order.
struct ErrorBit {
  uint8_t bit;
  const char* description;
};
extern const std::array<ErrorBit, 16> kErrorBits;

// Calls fn(bit, description) for every described bit set in `error_field`, in
// ascending bit order; undescribed bits are ignored.  Returns how many.
template <typename Fn>
size_t for_each_error(uint32_t error_field, Fn&& fn) {
  size_t count = 0;
  for (const ErrorBit& e : kErrorBits) {
    if (error_field & (uint32_t{1} << e.bit)) {
      fn(e.bit, e.description);
      ++count;
    }
  }
  return count;
}

// ---------------------------------------------------------------------------
// Command payloads

// One outgoing payload; never longer than the adapter's 59-byte maximum.
class Payload {
 public:
  static constexpr size_t kCapacity = kUsbMaxPayloadSize;

  Payload() = default;
  explicit Payload(Action action) { push(static_cast<uint8_t>(action)); }

  // Appends, or returns false and leaves the payload unchanged when the bytes
  // would not fit (the builders below never get there).
  bool push(uint8_t byte);
  bool push_u32(uint32_t value);   // little-endian
  bool push_f32(float value);      // little-endian IEEE 754

  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return size_; }
  std::vector<uint8_t> to_vector() const { return {bytes_.begin(), bytes_.begin() + size_}; }

 private:
  std::array<uint8_t, kCapacity> bytes_{};
  size_t size_ = 0;
};

// [action]
Payload command(Action action);
// [action, argument]: mode changes and performance presets.
Payload command_with_byte(Action action, uint8_t argument);
// [action, f32...]: setpoints (at most 9 floats).
Payload setpoint_command(Action action, const float* values, size_t count);
// [action, code...]: item and parameter requests; at most the per-request
// limit of codes is taken (10 items, 9 parameters), the rest is left out.
Payload code_list_command(Action action, const uint8_t* codes, size_t count);
// [SET_FEEDBACK_HIGH_RATE, divider as u32].
Payload feedback_rate_command(uint32_t divider);

struct ParameterWrite {
  uint8_t code;
  float value;
};
// [SET_PARAMETERS, (code, f32)...] in batches of at most 9 parameters, in the
// given order; no payload at all for no parameters.
std::vector<Payload> set_parameters_commands(const ParameterWrite* writes, size_t count);

}  // namespace vez::core
