"""The virtual actuator's stepping loop against two references measured in the
same run, on the reference digital twin with 10 feedback items and a 1 kHz
feedback callback:

  (a) the same loop written in plain Python over ctypes: the same model, the
      same 65 telemetry appends per tick, the same snapshot dictionary and its
      copy, the same callback;
  (b) the floor that the telemetry log imposes by itself: 65 new Python floats
      appended to lists per tick plus the snapshot dictionaries, in a bare C
      loop (bench/native/telemetry_floor.cpp, built with the package into
      build/pkg/bench/native but not installed).

    python bench/virtual_actuator_bench.py [--model ORBIT_4] [--ticks N] [--repeats R]

Targets: with the telemetry log as specified, within 1.5x of the floor, at
least 3x the plain-Python loop and at least 12x real time; with the log
switched off (telemetry_max_ticks=0), at least 100x real time; the
20,000-step warm-up under 10 ms.  Also reported: bytes of memory per tick
(traced Python allocations), and step() called once per tick from Python.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import statistics
import sys
import time
import tracemalloc

from vez_api._twin_assets import resolve_dtwin_artifacts
from vez_api._twin_backend import ActuatorWrapper
from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual

# The floor's native loop, from the package build (make install).
sys.path.insert(0, os.environ.get("VEZ_API_BENCH_NATIVE_DIR", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "build", "pkg", "bench", "native")))
import _telemetry_floor  # noqa: E402

SIM_RATE_HZ = 20000
Items = DorozeActuatorVirtual.VEZ_Items
ITEMS = [
    Items.POSITION_FB, Items.SPEED_FB, Items.TORQUE_FB, Items.IQ_FB, Items.ID_FB,
    Items.POSITION_REF, Items.SPEED_REF, Items.TEMP_MOTOR, Items.VBUS, Items.BUS_CURRENT,
]  # fmt: skip
CALLBACK_DIVIDER = 20  # 1 kHz at 20 kHz
TARGETS = {"floor": 1.5, "python": 3.0, "realtime": 12.0, "realtime_off": 100.0, "warmup_ms": 10.0}
SETPOINT = 1.0  # a position step from rest, the motor enabled

# (log field, structure, field) in the log's order, after "time".
COLUMNS = (
    [("enable", "info", "enable")]
    + [(n, "info", n) for n in "temp_winding T_fb T_ref id_fb id_ref iq_fb iq_ref pos_fb pos_ref spd_fb spd_ref vd_ref vq_ref".split()]
    + [(n, "motor", n) for n in "m_Te m_Tl m_acc m_eff_elec m_eff_mec m_i_dc m_ia m_ib m_ic m_id m_iq m_pos1 m_pos2 m_pwr_dc m_pwr_elec m_pwr_mec m_spd1 m_spd2 m_va m_vb m_vc m_vd m_vq".split()]
    + [("meas_" + n, "meas", n) for n in "turn turn2 T e_pos pos pos2 spd spd2".split()]
    + [("inp_ref", "inp", "Reference"), ("inp_load", "inp", "Load"), ("inp_t_adc", "inp", "T_ADC"),
       ("inp_ref_ff_torque", "inp", "ref_ff_torque"), ("inp_ref_impedance_spd", "inp", "ref_impedance_spd"),
       ("inp_ref_impedance_acel", "inp", "ref_impedance_acel"), ("inp_control_type", "inp", "ControlType"),
       ("inp_enable", "inp", "Enable"), ("inp_reset_pos", "inp", "ResetPos")]
    + [("debug_" + n, "debug", n) for n in "T_fb_max T_ref_max i_max pos_fb_max pos_fb_min pos_ref_max pos_ref_min spd_fb_max spd_ref_max spd_ref_min".split()]
)  # fmt: skip
ITEM_FIELDS = [("info", "pos_fb"), ("info", "spd_fb"), ("info", "T_fb"), ("info", "iq_fb"), ("info", "id_fb"),
               ("info", "pos_ref"), ("info", "spd_ref"), ("info", "temp_winding"), None, ("motor", "m_i_dc")]  # fmt: skip


class CountingCallback:
    def __init__(self):
        self.calls = 0

    def __call__(self, address, feedback):
        self.calls += 1


# --- (a) the loop in plain Python over ctypes ---------------------------------------


def python_twin(model: str) -> ActuatorWrapper:
    paths = resolve_dtwin_artifacts(model)
    wrapper = ActuatorWrapper(str(paths.library), str(paths.py_bindings))
    wrapper.initialize()
    wrapper.set_enable(True)
    return wrapper


def python_loop(wrapper: ActuatorWrapper, ticks: int, callback) -> dict:
    """What step(steps=ticks) does, in Python: inputs, DT_step, 65 appends,
    the snapshot and its copy, the callback every CALLBACK_DIVIDER ticks."""
    views = {name: getattr(wrapper, name) for name in ("inp", "info", "motor", "meas", "debug")}
    inp, motor = views["inp"], views["motor"]
    log = {"time": []}
    readers = []
    for name, view, field in COLUMNS:
        log[name] = []
        readers.append((log[name].append, views[view], field))
    time_list, t_fb = log["time"], log["T_fb"]
    items = [(item, None if spec is None else views[spec[0]], None if spec is None else spec[1])
             for item, spec in zip(ITEMS, ITEM_FIELDS)]  # fmt: skip
    dt_step, root = wrapper._lib.DT_step, ctypes.byref(wrapper.model)
    time_step, time_start, count, address = 5e-05, 0.0, 0, 0x10
    latest = feedback = {}
    for _ in range(ticks):
        inp.Reference = SETPOINT
        inp.Load = 0.0
        inp.ref_ff_torque = wrapper._reference_feedforward_torque
        inp.ref_impedance_spd = wrapper._impedance_speed_reference
        inp.ref_impedance_acel = wrapper._impedance_acceleration_reference
        dt_step(root)
        time_list.append(time_step * len(t_fb) + time_start)
        for append, view, field in readers:
            append(getattr(view, field))
        count += 1
        snapshot = {}
        for item, view, field in items:
            if view is None:  # VBUS
                current = float(motor.m_i_dc)
                snapshot[item] = float(motor.m_pwr_dc) / (1.0 if current == 0 else current)
            else:
                snapshot[item] = float(getattr(view, field))
        latest = snapshot
        feedback = dict(latest)
        if callback is not None and count % CALLBACK_DIVIDER == 0:
            callback(address, dict(latest))
    return {"log": log, "latest": latest, "feedback": feedback}


# --- the virtual actuator ------------------------------------------------------------------


def actuator(model: str, **kwargs) -> tuple[DorozeActuatorVirtual, CountingCallback]:
    a = DorozeActuatorVirtual(**kwargs)
    a.set_actuator(model)
    a.connect()
    a.set_feedback_items(ITEMS)
    callback = CountingCallback()
    a.set_feedback_callback(callback)
    a.start()
    a.change_position_setpoint(SETPOINT)
    return a, callback


def best_seconds(run, repeats: int) -> float:
    """Best wall time of `repeats` runs; run(timer) returns the measured seconds."""
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        best = min(best, run())
    return best


def traced_bytes(run) -> int:
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    kept = run()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del kept
    return after - before


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="ORBIT_4")
    parser.add_argument("--ticks", type=int, default=60_000, help="ticks per measurement of the compiled loops")
    parser.add_argument("--python-ticks", type=int, default=20_000, help="ticks per measurement of the Python loop")
    parser.add_argument("--repeats", type=int, default=3, help="measurements per figure (the best counts)")
    args = parser.parse_args()
    n, n_py = args.ticks, args.python_ticks
    print(f"reference twin {args.model}, {len(ITEMS)} feedback items, callback at 1 kHz, "
          f"position step to {SETPOINT} rad, best of {args.repeats}")  # fmt: skip

    def run_logged():
        a, callback = actuator(args.model)
        start = time.perf_counter()
        a.step(steps=n)
        seconds = time.perf_counter() - start
        assert callback.calls == n // CALLBACK_DIVIDER and len(a.telemetry_log.time) == n
        a.disconnect()
        return seconds

    def run_log_off():
        a, callback = actuator(args.model, telemetry_max_ticks=0)
        start = time.perf_counter()
        a.step(steps=n)
        seconds = time.perf_counter() - start
        assert callback.calls == n // CALLBACK_DIVIDER
        a.disconnect()
        return seconds

    def run_per_call():
        a, _ = actuator(args.model)
        step = a.step
        start = time.perf_counter()
        for _ in range(n_py):
            step()
        seconds = time.perf_counter() - start
        a.disconnect()
        return seconds

    def run_floor():
        start = time.perf_counter()
        kept = _telemetry_floor.telemetry_floor(n, ITEMS, CALLBACK_DIVIDER)
        seconds = time.perf_counter() - start
        del kept
        return seconds

    def run_python():
        wrapper = python_twin(args.model)
        callback = CountingCallback()
        start = time.perf_counter()
        python_loop(wrapper, n_py, callback)
        seconds = time.perf_counter() - start
        wrapper.terminate()
        return seconds

    logged = best_seconds(run_logged, args.repeats) / n
    log_off = best_seconds(run_log_off, args.repeats) / n
    per_call = best_seconds(run_per_call, args.repeats) / n_py
    floor = best_seconds(run_floor, args.repeats) / n
    python = best_seconds(run_python, args.repeats) / n_py

    def line(label, seconds):
        print(f"  {label:44s} {seconds * 1e9:8.0f} ns/tick {1 / seconds:12,.0f} ticks/s "
              f"{1 / seconds / SIM_RATE_HZ:7.1f}x real time")  # fmt: skip

    print("\nticks")
    line("step(steps=N), telemetry log as specified", logged)
    line("step(steps=N), log off (telemetry_max_ticks=0)", log_off)
    line("step() once per tick from Python, log on", per_call)
    line("(b) floor: 65 floats + snapshot dicts, C loop", floor)
    line("(a) the same loop in plain Python over ctypes", python)

    def verdict(ok):
        return "met" if ok else "NOT met"

    print("\nratios (targets)")
    print(f"  log on vs floor (b):      {logged / floor:5.2f}x the floor's time per tick "
          f"(<= {TARGETS['floor']}x: {verdict(logged <= TARGETS['floor'] * floor)})")  # fmt: skip
    print(f"  log on vs plain Python:   {python / logged:5.1f}x faster "
          f"(>= {TARGETS['python']}x: {verdict(python / logged >= TARGETS['python'])})")  # fmt: skip
    print(f"  log on, real time:        {1 / logged / SIM_RATE_HZ:5.1f}x "
          f"(>= {TARGETS['realtime']}x: {verdict(1 / logged / SIM_RATE_HZ >= TARGETS['realtime'])})")  # fmt: skip
    print(f"  log off, real time:       {1 / log_off / SIM_RATE_HZ:5.1f}x "
          f"(>= {TARGETS['realtime_off']}x: {verdict(1 / log_off / SIM_RATE_HZ >= TARGETS['realtime_off'])})")  # fmt: skip

    # The warm-up: initialize() runs 20,000 model steps plus two.
    timings = []
    for _ in range(max(args.repeats, 5)):
        a = DorozeActuatorVirtual()
        a.set_actuator(args.model)
        a.connect()
        start = time.perf_counter()
        a.start()
        timings.append(time.perf_counter() - start)
        a.disconnect()
    warm = statistics.median(timings) * 1e3
    print(f"\nwarm-up (first start(): initialize with 20,000 steps): best {min(timings) * 1e3:.2f} ms, "
          f"median {warm:.2f} ms (< {TARGETS['warmup_ms']:.0f} ms: {verdict(warm < TARGETS['warmup_ms'])})")  # fmt: skip

    mem_ticks = 20_000

    def memory_logged():
        a, _ = actuator(args.model)
        a.step(steps=mem_ticks)
        return a

    def memory_off():
        a, _ = actuator(args.model, telemetry_max_ticks=0)
        a.step(steps=mem_ticks)
        return a

    def memory_python():
        return python_loop(python_twin(args.model), mem_ticks, CountingCallback())

    print(f"\nmemory per tick (Python allocations kept after {mem_ticks:,} ticks; the twin's own copy excluded)")
    for label, run in (("virtual actuator, log on", memory_logged), ("virtual actuator, log off", memory_off),
                       ("(b) floor", lambda: _telemetry_floor.telemetry_floor(mem_ticks, ITEMS, CALLBACK_DIVIDER)),
                       ("(a) plain Python loop", memory_python)):  # fmt: skip
        print(f"  {label:28s} {traced_bytes(run) / mem_ticks:8.0f} bytes/tick")
    return 0


if __name__ == "__main__":
    sys.exit(main())
