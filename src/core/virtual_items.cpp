#include "virtual_items.hpp"

#include <array>

namespace vez::core {

namespace {

struct Rule {
  Item item;
  ItemSource source;
  TwinView view;
  const char* field;
};

constexpr Rule kRules[] = {
    {Item::ENCODER_INT, ItemSource::kColumn, kMeas, "pos"},
    {Item::ENCODER_INT_RAW, ItemSource::kColumn, kMeas, "turn"},
    {Item::ENCODER_EXT, ItemSource::kColumn, kMeas, "pos2"},
    {Item::ENCODER_EXT_RAW, ItemSource::kColumn, kMeas, "turn2"},
    {Item::SPEED_FB, ItemSource::kColumn, kInfo, "spd_fb"},
    {Item::IA, ItemSource::kColumn, kMotor, "m_ia"},
    {Item::IB, ItemSource::kColumn, kMotor, "m_ib"},
    {Item::IC, ItemSource::kColumn, kMotor, "m_ic"},
    {Item::TORQUE_SENS, ItemSource::kColumn, kMeas, "T"},
    {Item::TORQUE_SENS_RAW, ItemSource::kColumn, kMeas, "T"},
    {Item::POSITION_REF, ItemSource::kColumn, kInfo, "pos_ref"},
    {Item::POSITION_FB, ItemSource::kColumn, kInfo, "pos_fb"},
    {Item::POSITION_FB_INTERNAL, ItemSource::kColumn, kMeas, "pos"},
    {Item::SPEED_REF, ItemSource::kColumn, kInfo, "spd_ref"},
    {Item::ID_REF, ItemSource::kColumn, kInfo, "id_ref"},
    {Item::ID_FB, ItemSource::kColumn, kInfo, "id_fb"},
    {Item::IQ_REF, ItemSource::kColumn, kInfo, "iq_ref"},
    {Item::IQ_FB, ItemSource::kColumn, kInfo, "iq_fb"},
    {Item::VD_REF, ItemSource::kColumn, kInfo, "vd_ref"},
    {Item::VQ_REF, ItemSource::kColumn, kInfo, "vq_ref"},
    {Item::TORQUE_REF, ItemSource::kColumn, kInfo, "T_ref"},
    {Item::TORQUE_FB, ItemSource::kColumn, kInfo, "T_fb"},
    {Item::REFERENCE_A_VOLTAGE, ItemSource::kColumn, kMotor, "m_va"},
    {Item::REFERENCE_B_VOLTAGE, ItemSource::kColumn, kMotor, "m_vb"},
    {Item::REFERENCE_C_VOLTAGE, ItemSource::kColumn, kMotor, "m_vc"},
    {Item::BUS_POWER, ItemSource::kColumn, kMotor, "m_pwr_dc"},
    {Item::BUS_CURRENT, ItemSource::kColumn, kMotor, "m_i_dc"},
    {Item::THREE_PHASE_POWER, ItemSource::kColumn, kMotor, "m_pwr_elec"},
    {Item::MECHANICAL_POWER, ItemSource::kColumn, kMotor, "m_pwr_mec"},
    {Item::INVERTER_EFFICIENCY, ItemSource::kColumn, kMotor, "m_eff_elec"},
    {Item::MOTOR_EFFICIENCY, ItemSource::kColumn, kMotor, "m_eff_mec"},
    {Item::ERRORS_ENCODER_INT, ItemSource::kErrorFlag, kDebug, "pos_fb_max"},
    {Item::ERRORS_ENCODER_EXT, ItemSource::kErrorFlag, kDebug, "pos_fb_min"},
    {Item::ERRORS_OVERRUN, ItemSource::kErrorFlag, kDebug, "i_max"},
    {Item::ERROR_BITS, ItemSource::kZeroInt, kInfo, nullptr},
    {Item::CONTROL_LOOP_TIME_MIN, ItemSource::kZeroInt, kInfo, nullptr},
    {Item::CONTROL_LOOP_TIME_MAX, ItemSource::kZeroInt, kInfo, nullptr},
    {Item::CONTROL_LOOP_TIME_AVG, ItemSource::kZeroInt, kInfo, nullptr},
    {Item::VBUS, ItemSource::kVbus, kInfo, nullptr},
    {Item::TEMP_PCB, ItemSource::kPcbTemperature, kInfo, nullptr},
    {Item::TEMP_MOTOR, ItemSource::kColumn, kInfo, "temp_winding"},
    {Item::DEBUG_SIGNAL_BOOL, ItemSource::kDebugBool, kInfo, nullptr},
};

std::array<ItemSignal, 256> make_signals() {
  std::array<ItemSignal, 256> signals{};
  for (ItemSignal& s : signals) s = {ItemSource::kNan, -1};
  for (const Rule& r : kRules) {
    signals[static_cast<uint8_t>(r.item)] = {r.source, r.field != nullptr ? telemetry_column(r.view, r.field) : -1};
  }
  return signals;
}

}  // namespace

ItemSignal item_signal(uint8_t code) {
  static const std::array<ItemSignal, 256> signals = make_signals();
  return signals[code];
}

int bus_power_column() { return item_signal(static_cast<uint8_t>(Item::BUS_POWER)).column; }
int bus_current_column() { return item_signal(static_cast<uint8_t>(Item::BUS_CURRENT)).column; }

}  // namespace vez::core
