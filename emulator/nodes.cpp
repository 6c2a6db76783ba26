#include "nodes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/protocol.hpp"
#include "wire.hpp"

namespace vez::emulator {

namespace {

constexpr double kBootloaderSilence = 2.0;  // seconds an actuator or adapter stays in its boot loader
constexpr uint64_t kMaxCatchUpSteps = 4000;  // a starved emulator skips time rather than stall

// Parameters an actuator keeps outside its control model, with factory values.
const std::map<uint8_t, float>& factory_stored() {
  static const std::map<uint8_t, float> values = {
      {param::kTorquePerformance, 2.0f}, {param::kSpeedPerformance, 2.0f}, {param::kProfileSpeedMaxRadS, NAN},
      {param::kProfileTorqueMaxNm, NAN}, {param::kInvertFlag, 0.0f},      {param::kCanHighSpeed, 0.0f},
  };
  return values;
}

}  // namespace

// ---------------------------------------------------------------------------

void AdapterNode::receive(Bus& bus, uint16_t address, const std::vector<uint8_t>& payload, double now) {
  if (payload.empty() || now < silent_until_) return;
  switch (payload[0]) {
    case action::kPing: {
      std::vector<uint8_t> out{record::kBeacon};
      put_u16(out, kCanAdapterModel);
      put_u16(out, firmware_);
      bus.send(address, false, std::move(out), now, true);
      break;
    }
    case action::kEnterBootloader:
      silent_until_ = now + kBootloaderSilence;
      break;
    default:
      break;  // the adapter has no other commands of its own
  }
}

double AdapterNode::next_wakeup(double /*now*/) const { return std::numeric_limits<double>::infinity(); }

// ---------------------------------------------------------------------------

ActuatorNode::ActuatorNode(const ActuatorConfig& config, std::unique_ptr<Plant> plant, double start_time)
    : config_(config), plant_(std::move(plant)), address_(config.address), start_time_(start_time) {
  stored_ = factory_settings();
  saved_ = stored_;
  apply_inputs();
}

std::map<uint8_t, float> ActuatorNode::factory_settings() const {
  std::map<uint8_t, float> values = factory_stored();
  // The profile presets start at what the model's own limits allow.
  if (const double* speed = plant_->parameter(param::kProfileSpeedMax)) values[param::kProfileSpeedMaxRadS] = *speed;
  if (const double* torque = plant_->parameter(param::kLimTorque)) values[param::kProfileTorqueMaxNm] = *torque;
  return values;
}

bool ActuatorNode::answers_at(uint16_t address) const {
  return config_.direct ? address == 0 : address == address_;
}

void ActuatorNode::answer(Bus& bus, std::vector<uint8_t> payload, double now) {
  bus.send(reply_address(), false, std::move(payload), now, true);
}

void ActuatorNode::apply_inputs() {
  plant_->set_inputs(enabled_, mode_, setpoint_, load_);
  plant_->set_references(ff_torque_, impedance_speed_, impedance_acceleration_);
}

void ActuatorNode::set_mode(uint8_t mode) {
  if (valid_mode(mode)) mode_ = mode;
}

void ActuatorNode::reboot() {
  enabled_ = false;
  divider_ = 0;
  stream_items_.clear();
  stored_ = saved_;
}

void ActuatorNode::advance(Bus& bus, double now) {
  const double dt = plant_->time_step();
  const auto due = static_cast<uint64_t>(std::max(0.0, (now - start_time_) / dt));
  if (due <= steps_) return;
  uint64_t n = due - steps_;
  if (n > kMaxCatchUpSteps) {
    steps_ = due - kMaxCatchUpSteps;
    n = kMaxCatchUpSteps;
  }
  const bool streaming = divider_ > 0 && !stream_items_.empty() && now >= silent_until_;
  for (uint64_t i = 0; i < n; ++i) {
    apply_inputs();
    plant_->step();
    ++steps_;
    if (streaming && steps_ % divider_ == 0) {
      std::vector<uint8_t> out;
      append_items(stream_items_, out);
      bus.send(reply_address(), true, std::move(out), now, false);
    }
  }
  const uint32_t faults = plant_->fault_errors();
  const uint32_t new_faults = faults & ~reported_faults_;
  reported_faults_ = faults;
  uint32_t limits = 0, new_limits = 0;
  if (config_.report_limits) {
    limits = plant_->limit_errors();
    new_limits = limits & ~reported_limits_;
    reported_limits_ = limits;
  }
  if ((new_faults | new_limits) != 0) report_errors(bus, faults | limits, now);
}

double ActuatorNode::next_wakeup(double now) const {
  if (divider_ > 0 && !stream_items_.empty()) {
    // Wake for every feedback message, but not more often than every 0.25 ms.
    return now + std::max(0.00025, divider_ * plant_->time_step());
  }
  return now + 0.005;  // keep the motion current
}

void ActuatorNode::report_errors(Bus& bus, uint32_t bits, double now) {
  std::vector<uint8_t> out{record::kErrors};
  put_u32(out, bits);
  bus.send(reply_address(), true, std::move(out), now, false);
}

void ActuatorNode::append_items(const std::vector<uint8_t>& codes, std::vector<uint8_t>& out) const {
  for (uint8_t code : codes) {
    double value = NAN;
    if (!plant_->item(code, &value)) continue;
    out.push_back(code);
    switch (item_type(code)) {
      case ItemType::kUnsigned:  // saturating, NaN as 0
        put_u32(out, value > 0 ? static_cast<uint32_t>(std::min(std::round(value), 4294967295.0)) : 0u);
        break;
      case ItemType::kSigned:
        put_u32(out, value == value ? static_cast<uint32_t>(static_cast<int32_t>(
                                          std::clamp(std::round(value), -2147483648.0, 2147483647.0)))
                                    : 0u);
        break;
      case ItemType::kFloat:
        put_f32(out, static_cast<float>(value));
        break;
    }
  }
}

bool ActuatorNode::read_parameter(uint8_t code, std::vector<uint8_t>& out) const {
  auto put_float = [&](double v) {
    out.push_back(code);
    put_f32(out, static_cast<float>(v));
  };
  auto put_unsigned = [&](uint32_t v) {
    out.push_back(code);
    put_u32(out, v);
  };
  if (const double* p = plant_->parameter(code)) {
    put_float(*p);
    return true;
  }
  switch (code) {
    case param::kMode: put_float(mode_); return true;
    case param::kSetpoint: put_float(setpoint_); return true;
    case param::kVezAddress: put_float(address_); return true;
    case param::kFirmwareVersion: put_unsigned(config_.firmware); return true;
    case param::kSerialNumber: put_unsigned(config_.serial_number); return true;
    case param::kDeviceModel: put_unsigned(config_.model_index); return true;
    case param::kControlVersion: put_unsigned(config_.control_version); return true;
    default: break;
  }
  auto it = stored_.find(code);
  if (it == stored_.end()) return false;
  put_float(it->second);
  return true;
}

std::vector<StoredParameter> ActuatorNode::parameter_store() const {
  std::vector<StoredParameter> store;
  for (unsigned code = 0; code < 256; ++code) {
    std::vector<uint8_t> entry;
    if (!read_parameter(static_cast<uint8_t>(code), entry)) continue;
    StoredParameter p{static_cast<uint8_t>(code), get_u32(&entry[1]), false, 0};
    auto saved = saved_.find(p.code);
    if (saved != saved_.end()) {
      std::vector<uint8_t> bytes;
      put_f32(bytes, saved->second);
      p.has_saved = true;
      p.saved_bits = get_u32(bytes.data());
    }
    store.push_back(p);
  }
  return store;
}

void ActuatorNode::write_parameter(uint8_t code, const uint8_t* value) {
  const float v = get_f32(value);
  if (double* p = plant_->parameter(code)) {
    if (std::isfinite(v)) *p = v;
    return;
  }
  switch (code) {
    case param::kMode:
      if (v >= 0 && v < 256) set_mode(static_cast<uint8_t>(v));  // NaN fails both tests
      return;
    case param::kSetpoint:
      if (std::isfinite(v)) setpoint_ = v;
      return;
    case param::kVezAddress:
      // Takes effect at once: the next message must use the new address.
      if (v >= core::kActuatorAddressMin && v <= core::kActuatorAddressMax) address_ = static_cast<uint16_t>(v);
      return;
    case param::kFirmwareVersion:
    case param::kSerialNumber:
    case param::kDeviceModel:
    case param::kControlVersion:
      return;  // identity is read-only
    default:
      break;
  }
  if (stored_.count(code) != 0) stored_[code] = v;
}

void ActuatorNode::setpoint_command(const std::vector<uint8_t>& p) {
  // Floats follow the action byte; a NaN (or a missing float) leaves the
  // value as it was.
  const size_t count = (p.size() - 1) / 4;
  if (count == 0) return;
  auto arg = [&](size_t i) { return i < count ? static_cast<double>(get_f32(&p[1 + 4 * i])) : NAN; };
  auto keep = [](double* target, double value) {
    if (target != nullptr && !std::isnan(value)) *target = value;
  };
  auto keep_local = [](double& target, double value) {
    if (!std::isnan(value)) target = value;
  };
  switch (p[0]) {
    case action::kChangeSetpoint:
      break;
    case action::kSetpointFF:
      keep_local(ff_torque_, arg(1));
      break;
    case action::kSetpointTorque:
      set_mode(kModeTorque);
      // One current controller serves both axes in this actuator generation:
      // the q-axis pair (floats 3 and 4) follows the d-axis pair.
      keep(plant_->gain(Plant::Gain::kCurrentKp), arg(1));
      keep(plant_->gain(Plant::Gain::kCurrentKi), arg(2));
      break;
    case action::kSetpointSpeed:
      set_mode(kModeSpeed);
      keep(plant_->parameter(param::kFfGain), arg(1));
      keep(plant_->parameter(param::kKiSpeed), arg(2));
      keep(plant_->parameter(param::kKpSpeed), arg(3));
      keep_local(ff_torque_, arg(4));
      break;
    case action::kSetpointPosition:
      set_mode(kModePosition);
      keep(plant_->parameter(param::kFfGain), arg(1));
      keep(plant_->parameter(param::kKiSpeed), arg(2));
      keep(plant_->parameter(param::kKpSpeed), arg(3));
      keep(plant_->parameter(param::kKpPosition), arg(4));
      keep_local(ff_torque_, arg(5));
      break;
    case action::kSetpointImpedance:
      set_mode(kModeImpedance);
      keep(plant_->parameter(param::kFfGain), arg(1));
      keep(plant_->parameter(param::kStiffness), arg(2));
      keep(plant_->parameter(param::kDamping), arg(3));
      keep(plant_->gain(Plant::Gain::kImpedanceInertia), arg(4));
      keep_local(ff_torque_, arg(5));
      keep_local(impedance_speed_, arg(6));
      keep_local(impedance_acceleration_, arg(7));
      break;
    case action::kSetpointSpeedInternal:  // observer-based tuning: not modelled
      set_mode(kModeSpeed);
      break;
    case action::kSetpointPositionInternal:
      set_mode(kModePosition);
      break;
    default:
      return;
  }
  keep_local(setpoint_, arg(0));
}

void ActuatorNode::receive(Bus& bus, uint16_t /*address*/, const std::vector<uint8_t>& p, double now) {
  if (p.empty() || now < silent_until_) return;
  switch (p[0]) {
    case action::kPing: {
      std::vector<uint8_t> out{record::kBeacon};
      put_u16(out, config_.model_index);
      put_u16(out, config_.firmware);
      answer(bus, std::move(out), now);
      return;
    }
    case action::kStart: enabled_ = true; break;
    case action::kStop: enabled_ = false; break;
    case action::kChangeMode:
      if (p.size() >= 2) set_mode(p[1]);
      break;
    case action::kChangeSetpoint:
    case action::kSetpointFF:
    case action::kSetpointTorque:
    case action::kSetpointSpeed:
    case action::kSetpointPosition:
    case action::kSetpointImpedance:
    case action::kSetpointSpeedInternal:
    case action::kSetpointPositionInternal:
      setpoint_command(p);
      break;
    case action::kSetFeedbackRate:
      if (p.size() >= 5) divider_ = get_u32(&p[1]);
      break;
    case action::kSetFeedbackItems:
      stream_items_.clear();
      for (size_t i = 1; i < p.size() && stream_items_.size() < core::kMaxFeedbackItemsPerRequest; ++i)
        if (is_item(p[i])) stream_items_.push_back(p[i]);
      break;
    case action::kGetItems: {
      std::vector<uint8_t> codes;
      for (size_t i = 1; i < p.size() && codes.size() < core::kMaxFeedbackItemsPerRequest; ++i)
        if (is_item(p[i])) codes.push_back(p[i]);
      std::vector<uint8_t> out;
      append_items(codes, out);
      if (!out.empty()) answer(bus, std::move(out), now);
      return;
    }
    case action::kResetEncoder:
    case action::kResetIntEncoder:
    case action::kResetExtEncoder:
      plant_->reset_position();
      // Homing must not move the shaft: a position target now means "here".
      if (mode_ == kModePosition || mode_ == kModeImpedance) setpoint_ = 0;
      break;
    case action::kSetParameters:
      for (size_t i = 1; i + 5 <= p.size(); i += 5) write_parameter(p[i], &p[i + 1]);
      break;
    case action::kGetParameters: {
      std::vector<uint8_t> out{record::kParameters};
      for (size_t i = 1; i < p.size() && i <= core::kMaxParametersPerRequest; ++i) read_parameter(p[i], out);
      answer(bus, std::move(out), now);
      return;
    }
    case action::kSetTorquePerformance:
      if (p.size() >= 2 && p[1] >= 1 && p[1] <= 3) stored_[param::kTorquePerformance] = p[1];
      break;
    case action::kSetSpeedPerformance:
      if (p.size() >= 2 && p[1] >= 1 && p[1] <= 4) stored_[param::kSpeedPerformance] = p[1];
      break;
    case action::kSave:
      saved_ = stored_;
      break;
    case action::kBlink:
      ++blinks_;
      std::fprintf(stderr, "actuator 0x%03X: blink\n", address_);
      break;
    case action::kEnterBootloader:
      silent_until_ = now + kBootloaderSilence;
      reboot();
      break;
    case action::kClearConfig:
      plant_->restore_defaults();
      stored_ = factory_settings();
      saved_ = stored_;
      mode_ = kModePosition;
      enabled_ = false;
      divider_ = 0;
      stream_items_.clear();
      break;
    default:
      break;  // unknown actions are ignored, as the firmware does
  }
  apply_inputs();
}

}  // namespace vez::emulator
