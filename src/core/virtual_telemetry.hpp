// The virtual actuator's telemetry: which model signal each column of its
// per-tick log holds, and the time stamp of a tick.  Constant tables and pure
// functions, callable from any thread.
//
// The model exposes its signals as five structure views of the simulation
// wrapper (wrapper.inp, .info, .motor, .meas, .debug).  The log has one list
// per column, named as below, plus "time" in front; the order is the order of
// the log's fields and of its CSV columns.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vez::core {

enum TwinView : uint8_t { kInp, kInfo, kMotor, kMeas, kDebug, kTwinViewCount };
inline constexpr const char* kTwinViewNames[kTwinViewCount] = {"inp", "info", "motor", "meas", "debug"};

// Element type of a column's list, as its annotation says.
enum class ColumnElement : uint8_t { kFloat, kInt, kBool };

struct TelemetryColumn {
  const char* name;     // the log field
  TwinView view;        // the wrapper's structure view
  const char* field;    // the field of that view
  ColumnElement element;
  bool optional;        // NaN when the model lacks the field
};

inline constexpr TelemetryColumn kTelemetryColumns[] = {
    {"enable", kInfo, "enable", ColumnElement::kFloat, false},
    {"temp_winding", kInfo, "temp_winding", ColumnElement::kFloat, false},
    {"T_fb", kInfo, "T_fb", ColumnElement::kFloat, false},
    {"T_ref", kInfo, "T_ref", ColumnElement::kFloat, false},
    {"id_fb", kInfo, "id_fb", ColumnElement::kFloat, false},
    {"id_ref", kInfo, "id_ref", ColumnElement::kFloat, false},
    {"iq_fb", kInfo, "iq_fb", ColumnElement::kFloat, false},
    {"iq_ref", kInfo, "iq_ref", ColumnElement::kFloat, false},
    {"pos_fb", kInfo, "pos_fb", ColumnElement::kFloat, false},
    {"pos_ref", kInfo, "pos_ref", ColumnElement::kFloat, false},
    {"spd_fb", kInfo, "spd_fb", ColumnElement::kFloat, false},
    {"spd_ref", kInfo, "spd_ref", ColumnElement::kFloat, false},
    {"vd_ref", kInfo, "vd_ref", ColumnElement::kFloat, false},
    {"vq_ref", kInfo, "vq_ref", ColumnElement::kFloat, false},
    {"m_Te", kMotor, "m_Te", ColumnElement::kFloat, false},
    {"m_Tl", kMotor, "m_Tl", ColumnElement::kFloat, false},
    {"m_acc", kMotor, "m_acc", ColumnElement::kFloat, false},
    {"m_eff_elec", kMotor, "m_eff_elec", ColumnElement::kFloat, false},
    {"m_eff_mec", kMotor, "m_eff_mec", ColumnElement::kFloat, false},
    {"m_i_dc", kMotor, "m_i_dc", ColumnElement::kFloat, false},
    {"m_ia", kMotor, "m_ia", ColumnElement::kFloat, false},
    {"m_ib", kMotor, "m_ib", ColumnElement::kFloat, false},
    {"m_ic", kMotor, "m_ic", ColumnElement::kFloat, false},
    {"m_id", kMotor, "m_id", ColumnElement::kFloat, false},
    {"m_iq", kMotor, "m_iq", ColumnElement::kFloat, false},
    {"m_pos1", kMotor, "m_pos1", ColumnElement::kFloat, false},
    {"m_pos2", kMotor, "m_pos2", ColumnElement::kFloat, false},
    {"m_pwr_dc", kMotor, "m_pwr_dc", ColumnElement::kFloat, false},
    {"m_pwr_elec", kMotor, "m_pwr_elec", ColumnElement::kFloat, false},
    {"m_pwr_mec", kMotor, "m_pwr_mec", ColumnElement::kFloat, false},
    {"m_spd1", kMotor, "m_spd1", ColumnElement::kFloat, false},
    {"m_spd2", kMotor, "m_spd2", ColumnElement::kFloat, false},
    {"m_va", kMotor, "m_va", ColumnElement::kFloat, false},
    {"m_vb", kMotor, "m_vb", ColumnElement::kFloat, false},
    {"m_vc", kMotor, "m_vc", ColumnElement::kFloat, false},
    {"m_vd", kMotor, "m_vd", ColumnElement::kFloat, false},
    {"m_vq", kMotor, "m_vq", ColumnElement::kFloat, false},
    {"meas_turn", kMeas, "turn", ColumnElement::kInt, false},
    {"meas_turn2", kMeas, "turn2", ColumnElement::kInt, false},
    {"meas_T", kMeas, "T", ColumnElement::kFloat, false},
    {"meas_e_pos", kMeas, "e_pos", ColumnElement::kFloat, false},
    {"meas_pos", kMeas, "pos", ColumnElement::kFloat, false},
    {"meas_pos2", kMeas, "pos2", ColumnElement::kFloat, false},
    {"meas_spd", kMeas, "spd", ColumnElement::kFloat, false},
    {"meas_spd2", kMeas, "spd2", ColumnElement::kFloat, false},
    {"inp_ref", kInp, "Reference", ColumnElement::kFloat, false},
    {"inp_load", kInp, "Load", ColumnElement::kFloat, false},
    {"inp_t_adc", kInp, "T_ADC", ColumnElement::kFloat, true},
    {"inp_ref_ff_torque", kInp, "ref_ff_torque", ColumnElement::kFloat, true},
    {"inp_ref_impedance_spd", kInp, "ref_impedance_spd", ColumnElement::kFloat, true},
    {"inp_ref_impedance_acel", kInp, "ref_impedance_acel", ColumnElement::kFloat, true},
    {"inp_control_type", kInp, "ControlType", ColumnElement::kInt, false},
    {"inp_enable", kInp, "Enable", ColumnElement::kBool, false},
    {"inp_reset_pos", kInp, "ResetPos", ColumnElement::kBool, false},
    {"debug_T_fb_max", kDebug, "T_fb_max", ColumnElement::kBool, false},
    {"debug_T_ref_max", kDebug, "T_ref_max", ColumnElement::kBool, false},
    {"debug_i_max", kDebug, "i_max", ColumnElement::kBool, false},
    {"debug_pos_fb_max", kDebug, "pos_fb_max", ColumnElement::kBool, false},
    {"debug_pos_fb_min", kDebug, "pos_fb_min", ColumnElement::kBool, false},
    {"debug_pos_ref_max", kDebug, "pos_ref_max", ColumnElement::kBool, false},
    {"debug_pos_ref_min", kDebug, "pos_ref_min", ColumnElement::kBool, false},
    {"debug_spd_fb_max", kDebug, "spd_fb_max", ColumnElement::kBool, false},
    {"debug_spd_ref_max", kDebug, "spd_ref_max", ColumnElement::kBool, false},
    {"debug_spd_ref_min", kDebug, "spd_ref_min", ColumnElement::kBool, false},
};
inline constexpr size_t kTelemetryColumnCount = sizeof(kTelemetryColumns) / sizeof(kTelemetryColumns[0]);

// The log's fields: "time", then the columns (together the series), then
// the two scalars TIME_STEP and time_start.
inline constexpr size_t kTelemetrySeriesCount = kTelemetryColumnCount + 1;
inline constexpr size_t kTelemetryTimeStepField = kTelemetrySeriesCount;
inline constexpr size_t kTelemetryTimeStartField = kTelemetrySeriesCount + 1;
inline constexpr size_t kTelemetryFieldCount = kTelemetrySeriesCount + 2;

// Index of the column reading `view`.`field`, or -1.
int telemetry_column(TwinView view, const char* field);

// Series index (0 is "time") of the T_fb column, whose length counts the
// ticks a log holds and so stamps the next one.
int telemetry_tick_counting_series();

// The time stamp of tick number `tick` (from 0): the simulated time at the
// start of that tick.
inline double tick_time(double time_step, int64_t tick, double time_start) {
  return time_step * static_cast<double>(tick) + time_start;
}

}  // namespace vez::core
