"""The one table of the twin's C interface: every structure, field, exported
function and exported datum.  twingen.py turns it into the C header the model
is compiled against, the layout table the library exports, and the ctypes
bindings module shipped next to each library, so the three cannot disagree.

Field kinds: bool, u8, i32, u64, i64, f64, cstr (char*), cstr_in (const char*,
function arguments only) and "ptr:<Struct>".
Units follow the actuator's output shaft unless a field says otherwise
(rotor: the motor side of the gearbox).
"""

from collections import namedtuple

Field = namedtuple("Field", "name kind doc")
Struct = namedtuple("Struct", "name doc fields")
Function = namedtuple("Function", "name restype argtypes doc")
Datum = namedtuple("Datum", "name kind doc")


def _f64(names_and_docs):
    return [Field(n, "f64", d) for n, d in names_and_docs]


STRUCTS = [
    Struct("B_DT_T", "Block outputs, mirrored into the caller's copy after every step.", [
        Field("time_s", "f64", "simulated time since DT_initialize, s"),
    ]),
    Struct("DW_DT_T", "Work data, mirrored into the caller's copy after every step.", [
        Field("steps", "u64", "steps taken since DT_initialize"),
    ]),
    Struct("PrevZCX_DT_T", "Edge-detector state, mirrored into the caller's copy after every step.", [
        Field("ResetPos_prev", "u8", "level of ResetPos seen by the last step"),
    ]),
    Struct("RT_MODEL_DT_T", "Root structure the caller owns and passes to DT_initialize/DT_step/DT_terminate.", [
        Field("blockIO", "ptr:B_DT_T", "caller's block-output mirror, may be NULL"),
        Field("dwork", "ptr:DW_DT_T", "caller's work-data mirror, may be NULL"),
        Field("prevZCSigState", "ptr:PrevZCX_DT_T", "caller's edge-state mirror, may be NULL"),
        Field("errorStatus", "cstr", "set by the library to a static message when it rejects an input"),
    ]),
    Struct("Inports_type", "Model inputs, written by the caller before each step.", [
        Field("Enable", "bool", "power stage on; false means no torque"),
        Field("ResetPos", "bool", "every change of level zeroes both encoders"),
        Field("ControlType", "i32",
              "1 calibration, 2 FVI, 3 open loop, 4 DVI, 5 torque, 6 speed, 7 position, 8 impedance"),
    ] + _f64([
        ("Reference", "setpoint of the mode: A, V, N*m, rad/s or rad"),
        ("Load", "external load torque on the output, N*m (opposes positive motion)"),
        ("ref_ff_torque", "feed-forward torque added in the torque-producing modes, N*m"),
        ("ref_impedance_spd", "impedance mode speed reference, rad/s"),
        ("ref_impedance_acel", "impedance mode acceleration reference, rad/s^2"),
        ("T_ADC", "ambient temperature at the housing, degC"),
    ]) + [
        Field("Ideal", "bool",
              "true: the ideal plant (no loop delay, rigid drivetrain, no gear losses beyond friction, exact "
              "sensors, stiff bus, no trips); kept through DT_initialize"),
    ]),
    Struct("Meas_type", "Sensor readings after the step.", [
        Field("turn", "i32", "whole rotor revolutions counted by the internal encoder since the last reset"),
        Field("turn2", "i32", "whole output revolutions counted by the external encoder since the last reset"),
    ] + _f64([
        ("T", "output flange torque from the torque sensor, N*m"),
        ("e_pos", "position reference minus position, rad"),
        ("pos", "output position from the internal (rotor) encoder, rad"),
        ("pos2", "output position from the external (output) encoder, rad"),
        ("spd", "output speed from the internal encoder, filtered, rad/s"),
        ("spd2", "output speed from the external encoder, filtered, rad/s"),
        ("i_a", "phase A current as the drive's converter reads it (offset, noise, quantisation), A"),
        ("i_b", "phase B current as the drive's converter reads it, A"),
    ])),
    Struct("Info_type", "Controller signals after the step.", _f64([
        ("enable", "1 while the power stage runs, else 0"),
        ("temp_winding", "winding temperature, degC"),
        ("T_fb", "output torque estimated from the measured currents, N*m"),
        ("T_ref", "output torque reference after limits, N*m"),
        ("id_fb", "measured d-axis current, A"),
        ("id_ref", "d-axis current reference, A"),
        ("iq_fb", "measured q-axis current, A"),
        ("iq_ref", "q-axis current reference, A"),
        ("pos_fb", "position feedback, rad"),
        ("pos_ref", "position reference after the profile, rad"),
        ("spd_fb", "speed feedback, rad/s"),
        ("spd_ref", "speed reference after the profile, rad/s"),
        ("vd_ref", "d-axis voltage applied, V"),
        ("vq_ref", "q-axis voltage applied, V"),
    ])),
    Struct("Lim_type", "Limits (lim_*: enforced on feedback) and motion profile (prof_*: applied to references).",
           _f64([
               ("lim_T", "output torque limit, N*m"),
               ("lim_pos_max", "upper position limit, rad"),
               ("lim_pos_min", "lower position limit, rad"),
               ("lim_spd_max", "upper speed limit, rad/s"),
               ("lim_spd_min", "lower speed limit, rad/s"),
               ("prof_pos_max", "largest position reference accepted, rad"),
               ("prof_pos_min", "smallest position reference accepted, rad"),
               ("prof_spd_max", "largest profile speed, rad/s"),
               ("prof_spd_min", "smallest (most negative) profile speed, rad/s"),
               ("prof_acc", "profile acceleration, rad/s^2"),
           ])),
    Struct("Pid_type", "Loop gains.", _f64([
        ("pos_Kp", "position loop proportional gain, (rad/s)/rad"),
        ("pos_Ki", "position loop integral gain, (rad/s)/(rad*s)"),
        ("pos_Kd", "position loop derivative gain, (rad/s)/(rad/s)"),
        ("spd_Kp", "speed loop proportional gain, N*m/(rad/s)"),
        ("spd_Ki", "speed loop integral gain, N*m/rad"),
        ("id_Kp", "current loop proportional gain (d and q), V/A"),
        ("id_Ki", "current loop integral gain (d and q), V/(A*s)"),
        ("FF_gain", "share of the profile's speed and acceleration fed forward, 0..1"),
    ])),
    Struct("Impedance_type", "Impedance law T = K_stiff*e + K_damp*de + J_imp*acel + T_FF.", _f64([
        ("K_stiff", "stiffness, N*m/rad"),
        ("K_damp", "damping, N*m*s/rad"),
        ("T_FF", "constant torque added, N*m"),
        ("J_imp", "inertia applied to the acceleration reference, kg*m^2"),
    ])),
    Struct("Motor_type", "Plant signals after the step (the simulated truth, unaffected by ResetPos).", _f64([
        ("m_Te", "electromagnetic torque at the rotor, N*m"),
        ("m_Tl", "external load torque at the output, N*m"),
        ("m_acc", "output acceleration, rad/s^2"),
        ("m_eff_elec", "inverter efficiency, 0..1 (0 when no power flows)"),
        ("m_eff_mec", "motor efficiency, 0..1 (0 when no power flows)"),
        ("m_i_dc", "bus current, A"),
        ("m_ia", "phase A current, A"),
        ("m_ib", "phase B current, A"),
        ("m_ic", "phase C current, A"),
        ("m_id", "d-axis current, A"),
        ("m_iq", "q-axis current, A"),
        ("m_pos1", "rotor angle since power-up, rad"),
        ("m_pos2", "output angle since power-up, rad"),
        ("m_pwr_dc", "power drawn from the bus, W"),
        ("m_pwr_elec", "power into the motor terminals, W"),
        ("m_pwr_mec", "mechanical power of the rotor, W"),
        ("m_spd1", "rotor speed, rad/s"),
        ("m_spd2", "output speed, rad/s"),
        ("m_va", "phase A reference voltage, V"),
        ("m_vb", "phase B reference voltage, V"),
        ("m_vc", "phase C reference voltage, V"),
        ("m_vd", "d-axis voltage, V"),
        ("m_vq", "q-axis voltage, V"),
        ("m_vbus", "bus voltage, V"),
        ("m_pwr_cu", "copper loss, W"),
        ("m_pwr_fric", "gearbox friction loss, W"),
        ("m_pwr_inv", "inverter loss, W"),
        ("m_temp_housing", "housing temperature, degC"),
        ("m_twist", "rotor angle over the gear ratio minus output angle, rad (backlash and compliance)"),
        ("m_T_twist", "torque carried by the compliant drivetrain, at the output, N*m"),
        ("m_pwr_src", "power delivered by the bus supply, W (negative: taken back)"),
        ("m_pwr_bus_loss", "loss in the supply's source resistance, W"),
    ])),
    Struct("Debug_type", "Limit flags of the last step.", [
        Field("T_fb_max", "bool", "torque feedback above lim_T by more than 2 %"),
        Field("T_ref_max", "bool", "torque reference clipped to lim_T"),
        Field("i_max", "bool", "current reference clipped, or measured current above the drive's peak"),
        Field("pos_fb_max", "bool", "position above lim_pos_max"),
        Field("pos_fb_min", "bool", "position below lim_pos_min"),
        Field("pos_ref_max", "bool", "position reference clipped to prof_pos_max"),
        Field("pos_ref_min", "bool", "position reference clipped to prof_pos_min"),
        Field("spd_fb_max", "bool", "speed outside lim_spd_min..lim_spd_max"),
        Field("spd_ref_max", "bool", "speed reference clipped to its upper limit"),
        Field("spd_ref_min", "bool", "speed reference clipped to its lower limit"),
        Field("trip", "bool", "a protection holds the power stage off (Enable low clears it once the cause is gone)"),
        Field("over_temp", "bool", "winding above its trip temperature"),
        Field("vbus_range", "bool", "bus voltage outside its normal band"),
        Field("vbus_max", "bool", "bus voltage above its trip level"),
    ]),
    Struct("Filter_type", "Sensor filters; a cutoff <= 0 or at/above 10 kHz passes the signal unfiltered.", _f64([
        ("spd_cutoff", "speed filter cutoff, Hz"),
        ("current_cutoff", "current and torque sensor filter cutoff, Hz"),
    ])),
    Struct("Params_type", "Physical constants of the actuator; writable between steps.", [
        Field("pole_pairs", "i32", "motor pole pairs"),
        Field("enc_int_bits", "i32", "internal (rotor) encoder resolution, bits per revolution"),
        Field("enc_ext_bits", "i32", "external (output) encoder resolution, bits per revolution"),
        Field("reserved", "i32", "zero"),
    ] + _f64([
        ("R_phase", "phase resistance at 25 degC, ohm"),
        ("Ld", "d-axis inductance, H"),
        ("Lq", "q-axis inductance, H"),
        ("flux", "permanent-magnet flux linkage, Wb"),
        ("alpha_cu", "temperature coefficient of the winding resistance, 1/K"),
        ("V_bus", "bus voltage, V"),
        ("I_rated", "continuous phase current (peak of the sine), A"),
        ("I_peak", "drive current limit, A"),
        ("I_cal", "alignment current of the calibration mode, A"),
        ("R_on", "inverter conduction resistance per phase, ohm"),
        ("k_sw", "inverter switching loss per volt of bus and ampere of current, W/(V*A)"),
        ("P_idle", "drive electronics consumption, W"),
        ("gear_ratio", "rotor turns per output turn"),
        ("J_rotor", "rotor inertia, kg*m^2 (rotor side)"),
        ("J_out", "gearbox and flange inertia, kg*m^2"),
        ("J_load", "inertia attached to the flange, kg*m^2"),
        ("T_coulomb", "gearbox Coulomb friction, N*m"),
        ("T_static", "breakaway friction, N*m"),
        ("B_viscous", "gearbox viscous friction, N*m*s/rad"),
        ("C_winding", "winding heat capacity, J/K"),
        ("R_winding_housing", "thermal resistance winding to housing, K/W"),
        ("C_housing", "housing heat capacity, J/K"),
        ("R_housing_ambient", "thermal resistance housing to ambient, K/W"),
        ("T_safe", "winding temperature where current foldback starts, degC"),
        ("T_critical", "winding temperature where the current is folded back to I_rated, degC"),
        ("theta_e0", "electrical angle of the rotor at power-up, rad"),
    ])),
    Struct("Realism_type",
           "What separates the realistic plant from the ideal one (inport Ideal); writable between steps.", [
        Field("seed", "u64", "seed of the sensor-noise generator; a new value restarts it, as DT_initialize does"),
        Field("slots", "i32", "stator slots; with the poles they set the cogging period"),
        Field("bus_sinks", "i32", "1: the bus supply takes regenerated current back; 0: it cannot (a diode)"),
    ] + _f64([
        ("k_twist", "torsional stiffness of the drivetrain at the output, N*m/rad"),
        ("c_twist", "damping of the torsion, N*m*s/rad"),
        ("backlash", "backlash, the whole band at the output, rad"),
        ("eta_fwd", "mesh efficiency while the motor drives the load, 0..1"),
        ("eta_back", "mesh efficiency while the load drives the motor, 0..1"),
        ("friction_scale", "the plant's friction over the nominal values the drive compensates"),
        ("rotor_share", "share of the Coulomb and breakaway friction in the motor's bearings, felt by the rotor "
                        "alone within the backlash, 0..1"),
        ("cogging", "cogging torque amplitude at the rotor, N*m"),
        ("ripple", "torque ripple at six times the electrical frequency, fraction of the torque"),
        ("i_noise", "current-sensor noise per phase, A rms"),
        ("i_offset_a", "current-sensor offset of phase A, A"),
        ("i_offset_b", "current-sensor offset of phase B, A"),
        ("adc_lsb", "current converter step, A per count"),
        ("enc_int_noise", "internal encoder noise, counts rms"),
        ("enc_ext_noise", "external encoder noise, counts rms"),
        ("T_noise", "torque sensor noise, N*m rms"),
        ("R_bus", "source resistance of the bus supply, ohm"),
        ("C_bus", "bus capacitance at the drive, F"),
        ("V_low", "bus voltage below which the drive reports it out of range, V"),
        ("V_high", "bus voltage above which the drive reports it out of range, V"),
        ("V_trip", "overvoltage trip, V"),
        ("I_trip", "overcurrent trip on the measured current amplitude, A"),
        ("spd_trip", "overspeed trip on the measured output speed, rad/s"),
        ("T_trip", "over-temperature trip of the winding, degC"),
    ])),
]

_ROOT = ["ptr:RT_MODEL_DT_T"]

FUNCTIONS = [
    Function("DT_initialize", "void", _ROOT, "Power-up state; tuning, limits and parameters are kept."),
    Function("DT_step", "void", _ROOT, "Advance one time step."),
    Function("DT_terminate", "void", _ROOT, "Stop; DT_step does nothing until the next DT_initialize."),
    Function("get_inports_ptr", "ptr:Inports_type", [], ""),
    Function("get_meas_ptr", "ptr:Meas_type", [], ""),
    Function("get_info_ptr", "ptr:Info_type", [], ""),
    Function("get_lim_ptr", "ptr:Lim_type", [], ""),
    Function("get_pid_ptr", "ptr:Pid_type", [], ""),
    Function("get_impedance_ptr", "ptr:Impedance_type", [], ""),
    Function("get_motor_ptr", "ptr:Motor_type", [], ""),
    Function("get_debug_ptr", "ptr:Debug_type", [], ""),
    Function("get_params_ptr", "ptr:Params_type", [], ""),
    Function("get_realism_ptr", "ptr:Realism_type", [], ""),
    Function("get_sim_time_step_s", "f64", [], "Time step in seconds."),
    Function("twin_sizeof", "i64", ["cstr_in"], "sizeof of a structure by name, -1 when unknown."),
    Function("twin_offsetof", "i64", ["cstr_in", "cstr_in"], "offsetof of a field, -1 when unknown."),
]

# Functions a twin library may lack (the bindings bind them only when the
# library has them): saving and restoring the whole simulation state, so a
# caller can start many runs from one warmed-up state.
OPTIONAL_FUNCTIONS = [
    Function("DT_state_size", "usize", [], "Bytes of the state DT_save_state writes."),
    Function("DT_save_state", "void", ["vptr"],
             "Copy the whole simulation state (model, tuning, limits, parameters, Filter, the error reported) "
             "into DT_state_size() bytes at the pointer (any alignment); opaque, and only for DT_restore_state of the "
             "same loaded library (it holds addresses inside it)."),
    Function("DT_restore_state", "void", ["cvptr"],
             "Put back a state DT_save_state wrote: stepping on from it gives, bit for bit, what stepping on "
             "from the moment it was saved gave.  The caller's root structure follows at the next step (an error "
             "message shown there since the save is withdrawn)."),
]

# Text data are padded to the 1024 bytes a reader may take in one go.
TEXT_SIZE = 1024

DATA = [
    Datum("Filter", "Filter_type", "sensor filters, read at every step"),
    Datum("MOTOR_MODEL", "text", "actuator model name"),
    Datum("SUBMODULE_COMMITS", "text", "version of the twin sources"),
]
