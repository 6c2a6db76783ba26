// The devices behind the emulated adapter: the adapter itself (answering at
// the direct address) and the actuators, each moving by its own plant model.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus.hpp"
#include "device_vocabulary.hpp"

namespace vez::emulator {

inline constexpr uint8_t kCanAdapterModel = 5;

// Packs major.minor.patch into the 16-bit firmware version of a ping answer.
constexpr uint16_t pack_version(unsigned major, unsigned minor, unsigned patch) {
  return static_cast<uint16_t>(((major & 0x1F) << 11) | ((minor & 0x1F) << 6) | (patch & 0x3F));
}

// The USB-CAN adapter: answers pings at the direct address.
class AdapterNode : public Node {
 public:
  explicit AdapterNode(uint16_t firmware) : firmware_(firmware) {}
  bool answers_at(uint16_t address) const override { return address == 0; }
  void receive(Bus& bus, uint16_t address, const std::vector<uint8_t>& payload, double now) override;
  double next_wakeup(double /*now*/) const override;

 private:
  uint16_t firmware_;
  double silent_until_ = 0;  // in its boot loader
};

// What an actuator needs from its physics.
class Plant {
 public:
  virtual ~Plant() = default;
  virtual double time_step() const = 0;
  virtual void step() = 0;
  virtual void set_inputs(bool enable, int control_type, double reference, double load) = 0;
  virtual void set_references(double ff_torque, double impedance_speed, double impedance_acceleration) = 0;
  virtual void reset_position() = 0;  // the present position becomes zero
  // The model's storage of a parameter it holds itself, or nullptr.
  virtual double* parameter(uint8_t code) = 0;
  // Model values that setpoint commands tune but no parameter names.
  enum class Gain { kCurrentKp, kCurrentKi, kImpedanceInertia };
  virtual double* gain(Gain g) = 0;
  // A feedback item's present value; false for items the plant does not know.
  virtual bool item(uint8_t code, double* value) const = 0;
  // Error-field bits of the limits that are being hit now.
  virtual uint32_t limit_errors() const = 0;
  // Error-field bits of the protections that hold the drive off; the drive
  // reports each as it trips, whether or not limits are reported.
  virtual uint32_t fault_errors() const { return 0; }
  // Factory values of the parameters the plant holds.
  virtual void restore_defaults() = 0;
};

struct ActuatorConfig {
  uint16_t address = 0x10;
  uint8_t model_index = 3;  // index into the model-name table
  std::string model_name;
  uint32_t serial_number = 1;
  uint16_t firmware = pack_version(1, 4, 2);
  uint32_t control_version = 3;
  bool direct = false;          // plugged into USB: answers at address 0 instead
  bool report_limits = false;   // report limit hits as error messages
};

// One entry of an actuator's parameter store as a GET_PARAMETERS answer
// carries it: the four value bytes (little-endian) and, for the values that
// SAVE keeps, what was saved last.
struct StoredParameter {
  uint8_t code;
  uint32_t bits;
  bool has_saved;
  uint32_t saved_bits;
};

class ActuatorNode : public Node {
 public:
  ActuatorNode(const ActuatorConfig& config, std::unique_ptr<Plant> plant, double start_time);

  bool answers_at(uint16_t address) const override;
  void receive(Bus& bus, uint16_t address, const std::vector<uint8_t>& payload, double now) override;
  void advance(Bus& bus, double now) override;
  double next_wakeup(double now) const override;

  // Sends an error report (from the control channel).
  void report_errors(Bus& bus, uint32_t bits, double now);
  void set_load(double load) { load_ = load; }

  uint16_t address() const { return address_; }
  uint64_t blinks() const { return blinks_; }
  bool enabled() const { return enabled_; }
  uint8_t mode() const { return mode_; }
  uint64_t steps() const { return steps_; }
  // The source address of what it says: 0 when plugged straight into USB.
  uint16_t reply_address() const { return config_.direct ? 0 : address_; }
  // Every parameter the actuator answers, by ascending code (for tests that
  // look into the store without going through the bus).
  std::vector<StoredParameter> parameter_store() const;

 private:
  void answer(Bus& bus, std::vector<uint8_t> payload, double now);
  void apply_inputs();
  void set_mode(uint8_t mode);
  void write_parameter(uint8_t code, const uint8_t* value);
  bool read_parameter(uint8_t code, std::vector<uint8_t>& out) const;
  void setpoint_command(const std::vector<uint8_t>& p);
  void append_items(const std::vector<uint8_t>& codes, std::vector<uint8_t>& out) const;
  void reboot();
  std::map<uint8_t, float> factory_settings() const;

  ActuatorConfig config_;
  std::unique_ptr<Plant> plant_;
  uint16_t address_;
  bool enabled_ = false;
  uint8_t mode_ = 7;  // position control after power-up
  double setpoint_ = 0;
  double load_ = 0;
  double ff_torque_ = 0, impedance_speed_ = 0, impedance_acceleration_ = 0;
  std::map<uint8_t, float> stored_;  // parameters the plant does not hold
  std::map<uint8_t, float> saved_;   // the configuration kept by SAVE
  std::vector<uint8_t> stream_items_;
  uint32_t divider_ = 0;
  double start_time_;
  uint64_t steps_ = 0;
  uint64_t blinks_ = 0;
  uint32_t reported_limits_ = 0;
  uint32_t reported_faults_ = 0;
  double silent_until_ = 0;
};

}  // namespace vez::emulator
