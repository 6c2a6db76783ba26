"""The realistic plant against reduced analytic models of what it adds: the
current loop's stability with its delay, the torsion mode, the backlash,
the mesh efficiency, the trips, the sensor noise, and the speed loop's
behaviour in voltage saturation."""

import math
import statistics

import numpy as np
import pytest

import twinlib
from twinlib import POSITION, SPEED, TORQUE


def current_loop_limit(L, R, kp, ki, dt, alpha, delayed):
    """Gain factor on (Kp, Ki) at which one axis of the current loop loses
    stability: the winding L di/dt = v - R i stepped by the midpoint rule,
    the measurement through the first-order filter alpha, the PI acting on
    the filtered current and its voltage applied in the same step or, with
    `delayed`, in the next one."""
    r = R * dt / (2 * L)
    a, b = (1 - r) / (1 + r), (dt / L) / (1 + r)

    def radius(g):
        k0, k1 = g * (kp + ki * dt), g * ki * dt  # v = k0*(ref - y) + integral
        if delayed:  # state: current, filtered current, integral, queued voltage
            A = [[a, 0, 0, b], [alpha * a, 1 - alpha, 0, alpha * b], [0, -k1, 1, 0], [0, -k0, 1, 0]]
        else:  # state: current, filtered current, integral
            A = [[a, -b * k0, b], [alpha * a, 1 - alpha - alpha * b * k0, alpha * b], [0, -k1, 1]]
        return max(abs(np.linalg.eigvals(np.array(A))))

    lo, hi = 0.1, 100.0
    for _ in range(60):
        mid = math.sqrt(lo * hi)
        lo, hi = (mid, hi) if radius(mid) < 1 else (lo, mid)
    return lo


def current_loop_diverges(model, ideal, gain):
    """Torque step with the current gains scaled: does the loop run away
    (or trip on its current)?  The output is held by an equal load."""
    t = twinlib.Twin(model)
    try:
        t.inp.Ideal = ideal
        t.start(TORQUE)
        t.inp.Reference = t.inp.Load = 0.1 * t.lim.lim_T
        t.run_s(0.05)
        t.pid.id_Kp *= gain
        t.pid.id_Ki *= gain
        t.inp.Reference = t.inp.Load = 0.15 * t.lim.lim_T
        err, trip = t.trace(0.06, lambda: math.hypot(t.info.iq_fb - t.info.iq_ref, t.info.id_fb - t.info.id_ref),
                            lambda: t.debug.trip)
        tail = err[-len(err) // 6:]
        return any(trip) or math.sqrt(sum(e * e for e in tail) / len(tail)) > 0.03 * t.params.I_peak
    finally:
        t.close()


@pytest.mark.parametrize("ideal", [False, True], ids=["realistic", "ideal"])
def test_current_loop_stability_limit_is_the_discrete_time_one(model, ideal):
    """The delayed loop loses stability at about 3x its design gain, the
    ideal one at about 9x; the twin within 15 % of either prediction."""
    t = twinlib.Twin(model)
    p, kp, ki, dt = t.params, t.pid.id_Kp, t.pid.id_Ki, t.dt
    alpha = 1 - math.exp(-2 * math.pi * t.filter.current_cutoff * dt)
    t.close()
    limit = min(current_loop_limit(L, p.R_phase, kp, ki, dt, alpha, not ideal) for L in (p.Ld, p.Lq))
    assert (2.5 < limit < 3.5) if not ideal else (7.5 < limit < 10.5)
    assert not current_loop_diverges(model, ideal, 0.85 * limit)
    assert current_loop_diverges(model, ideal, 1.15 * limit)


def peak_frequency(x, dt, f_guess):
    w = max(2, round(0.25 / f_guess / dt))
    peaks = [i for i in range(w, len(x) - w) if x[i] == max(x[i - w:i + w + 1])]
    assert len(peaks) >= 4
    return (len(peaks) - 1) / ((peaks[-1] - peaks[0]) * dt)


@pytest.mark.parametrize("load_inertia", [10.0, 30.0])
def test_torsion_rings_at_the_frequency_the_compliance_predicts(model, load_inertia):
    """A load step on the sliding output, the motor's torque held by the
    current loop: the drivetrain rings as J1 x'' = -(k x + c x') and
    J2 y'' = m (k x + c x') predict, x the twist, J1 the rotor at the output,
    J2 the output with a load of some times its inertia attached, and
    m = 2 - 1/eta the share of the torque the sliding mesh passes on."""
    t = twinlib.Twin(model)
    try:
        p, r = t.params, t.realism
        p.J_load = load_inertia * p.J_out
        t.start(TORQUE)
        stall = t.lim.lim_T
        t.inp.Reference, t.inp.Load = 0.3 * stall, 0.25 * stall
        t.run_s(0.015)  # the teeth met with a knock; let it ring down
        t.inp.Load = 0.2 * stall
        twist, = t.trace(0.025, lambda: t.motor.m_twist)
        assert min(twist) > 0.5 * r.backlash  # the teeth stayed in contact
        a = 1 / (p.J_rotor * p.gear_ratio ** 2) + (2 - 1 / r.eta_fwd) / (p.J_out + p.J_load)
        zeta = r.c_twist * math.sqrt(a / r.k_twist) / 2
        predicted = math.sqrt(r.k_twist * a * (1 - zeta ** 2)) / (2 * math.pi)
        assert peak_frequency(twist, t.dt, predicted) == pytest.approx(predicted, rel=0.05)
    finally:
        t.close()


def test_slow_reversal_shows_the_backlash(twin):
    """Turning slowly one way, then the other: the rotor encoder leads the
    output encoder by the backlash plus the twist that friction causes."""
    p, r = twin.params, twin.realism
    twin.start(SPEED)
    v = 0.02 * twin.lim.prof_spd_max
    plateaus = []
    for direction in (1, -1, 1, -1):
        twin.inp.Reference = direction * v
        lead, = twin.trace(0.4, lambda: twin.meas.pos - twin.meas.pos2)
        plateaus.append(statistics.mean(lead[len(lead) // 2:]))
    band = [abs(a - b) for a, b in zip(plateaus, plateaus[1:])]
    coulomb, _, _ = twin.friction()
    predicted = r.backlash + 2 * coulomb / r.eta_fwd / r.k_twist
    assert band == pytest.approx([predicted] * 3, rel=0.05)


@pytest.mark.parametrize("load_share", [0.05, 0.2, 0.4])
def test_gear_efficiency_follows_its_curve(twin, load_share):
    """At constant speed the drivetrain passes the rotor's work to the load
    by eta_fwd less the friction, and back by eta_back less the friction:
    forward T_L / ((T_L + Tc)/eta_fwd + B w), back ((T_L - Tc) eta_back - B w) / T_L."""
    p, r = twin.params, twin.realism
    coulomb, _, viscous = twin.friction()
    w = 0.3 * twin.lim.prof_spd_max
    measured = {}
    for back in (False, True):
        twin.start(SPEED)
        load = load_share * twin.lim.lim_T * (-1 if back else 1)
        twin.inp.Reference, twin.inp.Load = w, load
        twin.run_s(0.3)
        m = twin.motor
        rotor = output = 0.0
        for _ in range(round(0.2 / twin.dt)):
            before1, before2 = m.m_pos1, m.m_pos2
            twin.step()
            rotor += m.m_Te * (m.m_pos1 - before1)
            output += load * (m.m_pos2 - before2)
        measured[back] = rotor / output if back else output / rotor
        assert not twin.debug.trip
    t_l = load_share * twin.lim.lim_T
    assert measured[False] == pytest.approx(t_l / ((t_l + coulomb) / r.eta_fwd + viscous * w), abs=0.005)
    assert measured[True] == pytest.approx(((t_l - coulomb) * r.eta_back - viscous * w) / t_l, abs=0.005)


def first(flags):
    return flags.index(True) if True in flags else None


def test_overcurrent_trips_at_its_threshold(twin):
    twin.start(TORQUE)
    twin.realism.I_trip = 0.5 * twin.params.I_peak
    twin.inp.Load = 0.2 * twin.lim.lim_T
    twin.run_s(0.02)
    twin.inp.Reference = 0.8 * twin.lim.lim_T  # asks for 0.8 I_peak

    def measured():  # the current amplitude the drive's converter reads
        a, b = twin.meas.i_a, twin.meas.i_b
        return math.hypot(a, (a + 2 * b) / math.sqrt(3))

    amp, trip, i_max, enable = twin.trace(0.02, measured, lambda: twin.debug.trip, lambda: twin.debug.i_max,
                                          lambda: twin.info.enable)
    k = first(trip)
    assert k is not None and amp[k] > twin.realism.I_trip >= max(amp[:k])
    assert all(i_max[k:]) and all(trip[k:])
    assert enable[k] == 1.0 and not any(enable[k + 1:])  # off from the next step on
    assert abs(twin.motor.m_iq) < 1e-3


def test_overvoltage_trips_at_its_threshold(twin):
    """A supply that cannot take current back: braking charges the bus."""
    twin.realism.bus_sinks = 0
    twin.start(SPEED)
    twin.inp.Reference = twin.lim.prof_spd_max
    twin.run_s(0.3)
    twin.inp.Reference = -twin.lim.prof_spd_max
    v, trip, vbus_max, vbus_range = twin.trace(0.3, lambda: twin.motor.m_vbus, lambda: twin.debug.trip,
                                               lambda: twin.debug.vbus_max, lambda: twin.debug.vbus_range)
    k = first(trip)
    r = twin.realism
    assert k is not None and v[k] > r.V_trip >= max(v[:k])
    assert all(vbus_max[k:k + 10])
    warned = first(vbus_range)  # out of its normal band before it trips
    assert warned is not None and warned < k and v[warned] > r.V_high >= max(v[:warned])


def test_overspeed_trips_at_its_threshold(twin):
    """The load of the audit (1.5 x stall) overhauls the position hold."""
    twin.start(POSITION)
    twin.inp.Load = 1.5 * twin.lim.lim_T
    spd, trip, flag = twin.trace(0.5, lambda: twin.meas.spd, lambda: twin.debug.trip, lambda: twin.debug.spd_fb_max)
    k = first(trip)
    r = twin.realism
    assert k is not None and abs(spd[k]) > r.spd_trip >= max(map(abs, spd[:k]))
    assert all(flag[k:])
    assert twin.info.enable == 0.0 and twin.motor.m_Te == 0.0


def test_over_temperature_trips_at_its_threshold(twin):
    twin.params.C_winding = 0.5  # a winding that heats within milliseconds
    twin.realism.T_trip = 40.0
    twin.start(TORQUE)
    twin.inp.Reference = twin.inp.Load = 0.5 * twin.lim.lim_T
    temp, trip, flag = twin.trace(0.5, lambda: twin.info.temp_winding, lambda: twin.debug.trip,
                                  lambda: twin.debug.over_temp)
    k = first(trip)
    assert k is not None and temp[k] > 40.0 >= max(temp[:k])
    assert all(flag[k:]) and twin.info.enable == 0.0


def noise_run(model, seed, seconds=0.5):
    """Sensed currents, torque and encoder errors in counts of a disabled
    twin at rest (the realistic plant's defaults)."""
    t = twinlib.Twin(model)
    try:
        t.realism.seed = seed
        t.initialize(POSITION)  # left disabled
        p = t.params
        t.inp.Load = 0.3 * p.T_static
        t.run_s(0.2)
        c_int, c_ext = 2 ** p.enc_int_bits / (2 * math.pi), 2 ** p.enc_ext_bits / (2 * math.pi)
        rows = t.trace(seconds, lambda: t.meas.i_a, lambda: t.meas.i_b, lambda: t.meas.T,
                       lambda: (t.meas.pos * p.gear_ratio - t.motor.m_pos1) * c_int,
                       lambda: (t.meas.pos2 - t.motor.m_pos2) * c_ext)
        return rows, t.realism, t.inp.Load
    finally:
        t.close()


def test_noise_statistics_are_the_configured_ones(model):
    (i_a, i_b, torque, enc_int, enc_ext), r, load = noise_run(model, seed=2024)
    current = math.sqrt(r.i_noise ** 2 + r.adc_lsb ** 2 / 12)  # noise and the converter's step
    for samples, offset in ((i_a, r.i_offset_a), (i_b, r.i_offset_b)):
        assert statistics.mean(samples) == pytest.approx(offset, abs=0.1 * current)
        assert statistics.pstdev(samples) == pytest.approx(current, rel=0.05)
        steps = {round(x / r.adc_lsb, 6) for x in samples}
        assert all(s == int(s) for s in steps)  # whole converter steps only
    assert statistics.mean(torque) == pytest.approx(load, abs=0.05 * r.T_noise)
    assert statistics.pstdev(torque) == pytest.approx(r.T_noise, rel=0.05)
    # A count's floor adds 1/12 count^2; the encoder errors are whole counts less the truth.
    assert statistics.pstdev(enc_int) == pytest.approx(math.sqrt(r.enc_int_noise ** 2 + 1 / 12), rel=0.05)
    assert statistics.pstdev(enc_ext) == pytest.approx(math.sqrt(r.enc_ext_noise ** 2 + 1 / 12), rel=0.05)


def test_noise_repeats_for_its_seed_only(model):
    a, _, _ = noise_run(model, seed=7, seconds=0.05)
    b, _, _ = noise_run(model, seed=7, seconds=0.05)
    c, _, _ = noise_run(model, seed=8, seconds=0.05)
    assert a == b
    assert a[0] != c[0] and a[2] != c[2]


def test_ideal_plant_is_exact(ideal_twin):
    """The switch: no noise, no twist, a stiff bus, the encoders agree."""
    twin = ideal_twin
    twin.start(SPEED)
    twin.inp.Reference = 0.3 * twin.lim.prof_spd_max
    twin.inp.Load = 0.2 * twin.lim.lim_T
    twin.run_s(0.3)
    m = twin.motor
    rows = twin.trace(0.05, lambda: m.m_pos1 / twin.params.gear_ratio - m.m_pos2, lambda: m.m_twist,
                      lambda: m.m_vbus, lambda: twin.meas.T, lambda: twin.meas.i_a - m.m_ia)
    assert max(map(abs, rows[0])) < 1e-12 and set(rows[1]) == {0.0}
    assert set(rows[2]) == {twin.params.V_bus} and set(rows[4]) == {0.0}
    assert max(rows[3]) - min(rows[3]) < 1e-9 * twin.inp.Load


def test_speed_integrator_holds_in_voltage_saturation(twin):
    """A speed above what the bus allows: the integrator no longer winds up
    to the torque limit, so the speed settles on a lower reference within
    the loop's own time."""
    p = twin.params
    w_nl = p.V_bus / math.sqrt(3) / (p.pole_pairs * p.flux) / p.gear_ratio
    twin.lim.prof_spd_max = twin.lim.lim_spd_max = 1.2 * w_nl
    twin.start(SPEED)
    twin.inp.Load = 0.1 * twin.lim.lim_T
    twin.inp.Reference = 1.1 * w_nl
    spd, t_ref, = twin.trace(0.3, lambda: twin.meas.spd, lambda: twin.info.T_ref)
    assert max(spd) < w_nl  # out of reach
    assert t_ref[-1] < 0.8 * twin.lim.lim_T
    target = 0.5 * w_nl
    twin.inp.Reference = target
    spd, = twin.trace(0.3, lambda: twin.meas.spd)
    window = round(0.005 / twin.dt)  # 5 ms averages, over the encoder's noise
    average = [sum(spd[i:i + window]) / window for i in range(len(spd) - window)]
    off = [i for i, s in enumerate(average) if abs(s - target) > 0.02 * target]
    assert (off[-1] + window) * twin.dt < 0.1
