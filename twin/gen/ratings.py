"""Ratings of a twin actuator, derived from its library: what the actuator
library file states about each model.  Used by tests/twin to hold the file to
the physics, and by hand to refresh the file after a model changes:

    python3 twin/gen/ratings.py BUILD/twin/data/assets/actuators/digital_twin_libs_bindings

Definitions (output shaft, 25 degC ambient):
  stall torque      N * Kt * I_peak, the default torque limit
  peak torque       stall torque less Coulomb friction, deliverable in motion
  maximum speed     the default speed limit, 90 % of the no-load speed
  rated speed       half the no-load speed
  rated torque      N * Kt * I_rated less friction at rated speed
  rated efficiency  output power over bus power at the rated point, measured
                    in simulation (the realistic plant, as the library starts)
                    with a cold winding
  rated temperature steady winding temperature at the rated point

It also prints the realism values of each library (the section
simulation.dtwin_realism of the file).
"""

import ctypes
import importlib.machinery
import math
import pathlib
import sys
import types

RPM = 60.0 / (2.0 * math.pi)
SPEED = 6


def _derived(p):
    kt = 1.5 * p.pole_pairs * p.flux
    w_nl = p.V_bus / math.sqrt(3.0) / (p.pole_pairs * p.flux) / p.gear_ratio
    J = p.J_rotor * p.gear_ratio ** 2 + p.J_out + p.J_load
    return kt, w_nl, J


def steady_temperatures(p, current, speed, ambient=25.0):
    """(winding, housing) in degC at a steady current (A) and output speed (rad/s)."""
    fric = p.T_coulomb * abs(speed) + p.B_viscous * speed * speed
    t_w = ambient
    for _ in range(200):  # the resistance rises with temperature; a fixed point converges fast
        p_cu = 1.5 * p.R_phase * (1 + p.alpha_cu * (t_w - 25.0)) * current * current
        t_h = ambient + (p_cu + fric) * p.R_housing_ambient
        t_w = t_h + p_cu * p.R_winding_housing
    return t_w, t_h


def static_ratings(p):
    kt, w_nl, _ = _derived(p)
    w_rated = 0.5 * w_nl
    stall = p.gear_ratio * kt * p.I_peak
    rated_torque = p.gear_ratio * kt * p.I_rated - p.T_coulomb - p.B_viscous * w_rated
    t_w, _ = steady_temperatures(p, p.I_rated, w_rated)
    return {
        "rated_voltage_V": p.V_bus,
        "rated_current_A": p.I_rated,
        "rated_torque_Nm": rated_torque,
        "rated_speed_rpm": w_rated * RPM,
        "peak_torque_Nm": stall - p.T_coulomb,
        "current_at_peak_torque_A": p.I_peak,
        "maximum_speed_rpm": 0.9 * w_nl * RPM,
        "stall_torque_Nm": stall,
        "stall_current_A": p.I_peak,
        "rated_winding_temperature_C": t_w,
    }


def rated_efficiency(lib, seconds=1.5):
    """Percent, from a run at rated speed and torque."""
    p = lib.get_params_ptr().contents
    r = static_ratings(p)
    root = lib.RT_MODEL_DT_T()
    lib.DT_initialize(ctypes.byref(root))
    inp = lib.get_inports_ptr().contents
    motor = lib.get_motor_ptr().contents
    inp.ControlType, inp.Enable = SPEED, True
    inp.Reference = r["rated_speed_rpm"] / RPM
    inp.Load = r["rated_torque_Nm"]
    dt = lib.get_sim_time_step_s()
    n = round(seconds / dt)
    e_dc = e_out = 0.0
    for k in range(n):
        before = motor.m_pos2
        lib.DT_step(ctypes.byref(root))
        if k >= n // 2:  # after the start-up transient
            e_dc += motor.m_pwr_dc * dt
            e_out += inp.Load * (motor.m_pos2 - before)
    return 100.0 * e_out / e_dc


def default_parameters(lib):
    """The tuning the library starts with, as the actuator library file lists it."""
    out = {}
    for getter in ("get_pid_ptr", "get_impedance_ptr", "get_lim_ptr"):
        s = getattr(lib, getter)().contents
        for name, _ in s._fields_:
            out[name] = getattr(s, name)
    f = lib.Filter_type.in_dll(lib._dll, "Filter")
    out["spd_cutoff"] = f.spd_cutoff
    out["current_cutoff"] = f.current_cutoff
    return out


def realism(lib):
    """The library's Realism_type as the actuator library file lists it."""
    r = lib.get_realism_ptr().contents
    return {name: getattr(r, name) for name, _ in r._fields_}


def load(bindings_path):
    loader = importlib.machinery.SourceFileLoader("dtwin", str(bindings_path))
    module = types.ModuleType(loader.name)
    module.__file__ = str(bindings_path)
    loader.exec_module(module)
    return module


def main(root):
    for b in sorted(pathlib.Path(root).glob("bindings_*.py")):
        lib = load(b)
        p = lib.get_params_ptr().contents
        print("%s:" % lib.MODEL_NAME)
        for k, v in static_ratings(p).items():
            print("  %s: %.6g" % (k, v))
        print("  rated_efficiency_percent: %.3g" % rated_efficiency(lib))
        _, _, J = _derived(p)
        print("  output_inertia_total_kgm2: %.6g" % J)
        print("  default_parameters:")
        for k, v in default_parameters(lib).items():
            print("    %s: %.6g" % (k, v))
        print("  dtwin_realism:")
        for k, v in realism(lib).items():
            print("    %s: %s" % (k, ("0x%X" % v) if k == "seed" else "%.6g" % v))


if __name__ == "__main__":
    main(sys.argv[1])
