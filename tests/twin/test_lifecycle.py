"""Call order, the caller's root structure, start-up and isolation of copies."""

import ctypes
import math

import twinlib
from twinlib import CALIBRATION, POSITION, SPEED


def test_call_order_and_root_mirrors(twin):
    lib, ptr = twin.lib, twin._root_ptr
    twin.pid.spd_Kp *= 1.5  # tuning written before start-up survives it
    kp = twin.pid.spd_Kp
    lib.DT_initialize(ptr)
    assert (twin.blockio.time_s, twin.dwork.steps, twin.zc.ResetPos_prev) == (0.0, 0, 0)
    assert twin.error() == b""
    assert twin.pid.spd_Kp == kp
    # Power-up inputs: off, position mode, ambient 25 degC.
    assert (twin.inp.Enable, twin.inp.ResetPos, twin.inp.ControlType, twin.inp.T_ADC) == (False, False, POSITION, 25.0)

    twin.inp.Enable, twin.inp.ControlType, twin.inp.Reference = True, SPEED, 3.0
    twin.run(1000)
    assert twin.dwork.steps == 1000
    assert math.isclose(twin.blockio.time_s, 1000 * 5e-05)
    twin.inp.ResetPos = True
    twin.step()
    assert twin.zc.ResetPos_prev == 1

    lib.DT_terminate(ptr)
    frozen = (twin.meas.pos, twin.motor.m_spd2, twin.dwork.steps)
    twin.run(10)
    assert (twin.meas.pos, twin.motor.m_spd2, twin.dwork.steps) == frozen
    assert b"DT_initialize" in twin.error()

    # A second run on the same root structure starts from power-up (the
    # realistic encoder's first reading within its noise of it).
    lib.DT_initialize(ptr)
    assert twin.error() == b""
    assert twin.dwork.steps == 0
    assert (twin.motor.m_spd2, twin.motor.m_pos1, twin.motor.m_pos2) == (0.0, 0.0, 0.0)
    assert abs(twin.meas.pos) <= twin.position_noise()
    assert twin.pid.spd_Kp == kp


def test_step_before_initialize_runs_from_power_up(twin):
    twin.step()
    assert twin.dwork.steps == 1
    assert twin.info.enable == 0.0 and twin.info.temp_winding == 25.0


def test_wrapper_start_up_leaves_an_aligned_rotor_at_zero(any_twin):
    twin = any_twin
    p, r = twin.params, twin.realism
    twin.lib.DT_initialize(twin._root_ptr)
    twin.inp.Enable, twin.inp.ControlType = True, CALIBRATION
    twin.run_s(1.0)
    # The alignment current pulled the rotor onto electrical angle zero, as far
    # as breakaway friction (realistic: and cogging) lets it, and the output
    # has come to rest.
    e = p.pole_pairs * twin.motor.m_pos1 + p.theta_e0
    e = (e + math.pi) % (2 * math.pi) - math.pi
    hold = p.gear_ratio * 1.5 * p.pole_pairs * p.flux * p.I_cal
    _, static, _ = twin.friction()
    resisted = static if twin.ideal else static + p.gear_ratio * r.cogging
    assert abs(e) <= math.asin(resisted / hold) + 0.01
    assert twin.motor.m_spd2 == 0.0
    assert abs(twin.motor.m_pos1) > 1e-3 * p.gear_ratio  # it did move to get there

    twin.inp.Enable = False
    twin.step()
    twin.inp.ResetPos = True
    twin.step()
    twin.inp.ControlType = POSITION
    if twin.ideal:
        assert (twin.meas.pos, twin.meas.pos2, twin.meas.turn, twin.meas.turn2) == (0.0, 0.0, 0, 0)
    else:  # a new zero, read through the encoders' noise: a count or two either side
        assert abs(twin.meas.pos) <= twin.position_noise()
        assert abs(twin.meas.pos2) <= 5 * r.enc_ext_noise * twin.output_count()
        assert twin.meas.turn in (-1, 0) and twin.meas.turn2 in (-1, 0)
    assert twin.info.enable == 0.0 and twin.motor.m_iq == 0.0

    # Enabled with the untouched reference 0 it holds still; ResetPos stays
    # high (no further edge), so a move is not undone.
    twin.inp.Enable = True
    twin.run_s(0.3)
    assert abs(twin.meas.pos) < 1e-3 + (0 if twin.ideal else r.backlash)
    twin.inp.Reference = 0.5
    twin.run_s(0.5)
    assert abs(twin.meas.pos - 0.5) < 5e-3


def test_private_copies_are_independent(model):
    # One copy loaded RTLD_GLOBAL: its symbols must not capture the other's references.
    a = twinlib.Twin(model, mode=ctypes.RTLD_GLOBAL)
    b = twinlib.Twin(model)
    try:
        assert ctypes.addressof(a.inp) != ctypes.addressof(b.inp)
        a.start(SPEED)
        b.initialize(POSITION)
        a.inp.Reference = 2.0
        a.filter.spd_cutoff = 123.0
        a.pid.pos_Kp = 7.0
        a.realism.seed = 99
        a.inp.Ideal = True
        a.run_s(0.3)
        b.run_s(0.3)
        assert a.meas.pos > 0.1
        assert abs(b.meas.pos) < b.realism.backlash + b.position_noise()  # left where it was powered off
        assert b.motor.m_spd2 == 0.0
        assert b.inp.Reference == 0.0 and b.inp.ControlType == POSITION
        assert b.filter.spd_cutoff == 1000.0 and b.pid.pos_Kp != 7.0
        assert b.realism.seed != 99 and not b.inp.Ideal
        assert b.dwork.steps == round(1.0 / b.dt) + 2 + round(0.3 / b.dt)
    finally:
        a.close()
        b.close()


def test_a_saved_state_restores_the_run_bit_for_bit(twin):
    """DT_save_state/DT_restore_state: whatever happened after the save
    (other gains, filters, noise seed, an error reported, a terminate), the
    run from the restored state is the run from the saved one, exactly."""
    lib = twin.lib
    twin.start()
    twin.inp.Reference = 0.3
    twin.run(2000)  # mid-move: every integrator, filter and the noise generator busy
    size = lib.DT_state_size()
    assert size > 0
    state = ctypes.create_string_buffer(size + 1)
    at = ctypes.addressof(state) + 1  # any alignment will do
    lib.DT_save_state(at)
    kp = twin.pid.spd_Kp

    def signals():
        return (twin.meas.pos, twin.meas.spd, twin.info.iq_fb, twin.info.T_fb, twin.motor.m_pwr_dc,
                twin.debug.T_fb_max, twin.filter.spd_cutoff, twin.pid.spd_Kp)

    first = twin.trace(0.1, signals)[0]

    twin.pid.spd_Kp *= 3
    twin.filter.spd_cutoff = 50.0
    twin.realism.seed += 1
    twin.inp.Reference = -1.0
    twin.lim.lim_pos_max = -5000.0  # refused: reported until initialize
    twin.run(500)
    assert twin.error() != b""
    lib.DT_terminate(twin._root_ptr)

    lib.DT_restore_state(at)
    assert (twin.pid.spd_Kp, twin.inp.Reference, twin.filter.spd_cutoff) == (kp, 0.3, 1000.0)
    again = twin.trace(0.1, signals)[0]
    assert again == first  # floats compared exactly
    assert twin.error() == b""  # the error belonged to what the restore undid
    assert twin.dwork.steps == 2000 + 2 + round(1.0 / twin.dt) + round(0.1 / twin.dt)
