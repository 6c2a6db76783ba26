"""DorozeActuatorVirtual end to end on the reference digital twin (real model
steps, real physics), with contrived library files for the selection errors.
The fast paths' fall-backs are in test_doroze_actuator_virtual_paths.py."""

import csv
import ctypes
import dataclasses
import gc
import io
import logging
import math
import os
import threading
import types
import weakref
from unittest import mock

import pytest

import twin_doubles
import vez_api.doroze_actuator_virtual as virtual
from virtual_actuators import (
    INSTALLED_LIBRARY_FILE,
    MODEL,
    TEN_ITEMS,
    connected,
    dtwin_entry,
    install_contrived,
    library_file,
    same_value,
)
from vez_api._twin_assets import DTwinPaths
from vez_api._twin_backend import ActuatorWrapper, get_default_dtwin_time_step_s
from vez_api.doroze_actuator_virtual import (
    BoundedVirtualActuatorLog,
    DorozeActuatorVirtual,
    VirtualActuatorLog,
)

Mode = DorozeActuatorVirtual.Mode
Rates = DorozeActuatorVirtual.Rates
Items = DorozeActuatorVirtual.VEZ_Items
Params = DorozeActuatorVirtual.VEZ_Parameters
TS = 5e-05


@pytest.fixture
def act():
    actuator = connected(address=0x20)
    yield actuator
    actuator.disconnect()


@pytest.fixture(scope="session")
def built(tmp_path_factory):
    if twin_doubles.compiler() is None:
        pytest.skip("no C compiler to build the contrived twins")
    return twin_doubles.build(twin_doubles.FULL, tmp_path_factory.mktemp("contrived_virtual"))


def at_rest_position(actuator, target, ticks=8000):
    actuator.change_position_setpoint(target)
    return actuator.step(steps=ticks)


def recent_speed(actuator, ticks=400):
    """Mean speed feedback of the last ticks (20 ms): the twin's encoder is noisy."""
    samples = list(actuator.telemetry_log.spd_fb)[-ticks:]
    return sum(samples) / len(samples)


# --- construction and queries ------------------------------------------------------


def test_new_object_state():
    a = DorozeActuatorVirtual()
    assert (a.model, a.version, a.address, a.get_sim_time()) == ("virtual", "virtual", None, 0.0)
    assert a.get_sim_time_step_s() == get_default_dtwin_time_step_s()
    expected = {
        "actuator": None,
        "_address": None,
        "_model": "virtual",
        "_configured_model_name": None,
        "_enabled": False,
        "_mode": Mode.POSITION,
        "_setpoint": 0.0,
        "_load_value": 0.0,
        "_impedance_speed_reference": 0.0,
        "_feedback_items": [],
        "_feedback_rate_divider": Rates.RATE_1KHZ.value,
        "_latest_feedback": {},
        "_simulation_step_count": 0,
        "_torque_performance": DorozeActuatorVirtual.TorquePerformance.BALANCED,
        "_speed_performance": DorozeActuatorVirtual.SpeedPerformance.BALANCED,
        "_connected": False,
        "_feedback_callback": None,
    }
    assert {k: a.__dict__[k] for k in expected} == expected
    tracked = a._tracked_numeric_values
    assert tracked is not DorozeActuatorVirtual._TRACKED_NUMERIC_DEFAULTS
    assert list(tracked) == list(DorozeActuatorVirtual._TRACKED_NUMERIC_DEFAULTS)
    assert type(a.telemetry_log) is VirtualActuatorLog and a.telemetry_log.time == []
    assert DorozeActuatorVirtual.__annotations__.keys() >= {"actuator", "telemetry_log"}
    assert "must be selected" in DorozeActuatorVirtual.__doc__ and "stepped explicitly" in DorozeActuatorVirtual.__doc__


def test_constructor_arguments():
    handler = mock.Mock()
    a = DorozeActuatorVirtual(handler, 0x30, logging.getLogger("x"))
    handler.set_address.assert_called_once_with(0x30)
    assert (a.actuator, a.address, a.logger.name) == (handler, 0x30, "x")
    assert DorozeActuatorVirtual(handler).actuator is handler
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got str\)$"):
        DorozeActuatorVirtual(address="16")
    with pytest.raises(ValueError, match="telemetry_max_ticks"):
        DorozeActuatorVirtual(telemetry_max_ticks=-1)
    with pytest.raises(TypeError, match="telemetry_max_ticks"):
        DorozeActuatorVirtual(telemetry_max_ticks=2.0)
    with pytest.raises(TypeError):
        DorozeActuatorVirtual(None, None, None, 5)  # the bound is keyword-only


def test_selecting_the_reference_twin():
    a = DorozeActuatorVirtual(address=0x11)
    wrapper = a.set_actuator(MODEL)
    assert isinstance(wrapper, ActuatorWrapper) and a.actuator is wrapper
    assert (a.model, wrapper.get_address()) == (MODEL, 0x11)
    assert a.version == wrapper.get_dtwin_version() != "virtual"
    assert a.telemetry_log.TIME_STEP == wrapper.get_sim_time_step_s() == TS
    assert a.get_sim_rate_hz() == 20000.0
    assert set(DorozeActuatorVirtual.discover_available_actuators(None)) >= {"ORBIT_4", "NOVA_3", "ORBIT_2"}


def test_selection_by_paths_and_through_the_library_file():
    a = DorozeActuatorVirtual()
    a.set_actuator(MODEL, library_path=INSTALLED_LIBRARY_FILE)
    assert a.model == MODEL and a._configured_model_name == MODEL
    paths = virtual.resolve_dtwin_artifacts("NOVA_3")
    b = DorozeActuatorVirtual()
    b.set_actuator_from_paths(paths.library, paths.py_bindings)  # path objects are accepted here
    assert b._configured_model_name is None and b.model == b.actuator.get_motor_model() == "NOVA_3"


def test_selection_errors(tmp_path, built):
    install_contrived(built, tmp_path, "CONTRIVED")
    lib = "assets/actuators/digital_twin_libs_bindings/libCONTRIVED_Intel_x8664Linux64.so"
    bindings = "assets/actuators/digital_twin_libs_bindings/bindings_CONTRIVED_Intel_x8664Linux64.py"
    path = library_file(
        tmp_path,
        {
            "NONE": "type: rotary",
            "HALF": dtwin_entry(lib, None),
            "NOLIB": dtwin_entry("assets/nowhere.so", bindings),
            "NOBIND": dtwin_entry(lib, "assets/nowhere.py"),
            "GOOD": dtwin_entry(lib, bindings),
        },
    )
    a = DorozeActuatorVirtual()
    with pytest.raises(ValueError, match=r"^Actuator 'NONE' has no digital-twin paths$"):
        a.set_actuator("NONE", library_path=path)
    with pytest.raises(ValueError, match=r"^Actuator 'HALF' has incomplete digital-twin paths$"):
        a.set_actuator("HALF", library_path=path)
    with pytest.raises(FileNotFoundError, match=r"^Library not found: .*nowhere\.so$"):
        a.set_actuator("NOLIB", library_path=path)
    with pytest.raises(FileNotFoundError, match=r"^Bindings not found: .*nowhere\.py$"):
        a.set_actuator("NOBIND", library_path=path)
    with pytest.raises(KeyError, match="not found"):
        a.set_actuator("ABSENT", library_path=path)
    with pytest.raises(TypeError, match=r"^Argument 'model_name' has incorrect type \(expected str, got int\)$"):
        a.set_actuator(4)
    assert a.actuator is None and a._configured_model_name is None
    a.set_actuator("GOOD", library_path=path)
    assert a.actuator.get_motor_model() == "TEST-MOTOR" and a.model == "GOOD"


def test_incomplete_paths_from_the_artifact_search():
    a = DorozeActuatorVirtual()
    with mock.patch.object(virtual, "resolve_dtwin_artifacts", return_value=DTwinPaths(None, "b.py")) as resolve:
        with pytest.raises(ValueError, match=r"^Actuator 'X' has incomplete digital-twin paths$"):
            a.set_actuator("X", bindings_root="/somewhere")
    resolve.assert_called_once_with("X", "/somewhere")
    with pytest.raises(FileNotFoundError, match="No DTwin artifacts found for 'NOPE'"):
        a.set_actuator("NOPE")
    assert a.actuator is None


def test_discovery_without_artifacts():
    with mock.patch.object(virtual, "list_available_dtwin_artifacts", side_effect=FileNotFoundError("none")) as search:
        assert DorozeActuatorVirtual.discover_available_actuators("/nowhere") == []
    search.assert_called_once_with("/nowhere")


# --- lifecycle -----------------------------------------------------------------------


def test_lifecycle_errors_and_ping():
    a = DorozeActuatorVirtual()
    for call in (a.connect, a.step, a.start, a.set_home_position, a._require_actuator):
        with pytest.raises(ValueError, match=r"^Actuator not configured\. Call set_actuator\(\.\.\.\) first\.$"):
            call()
    a.set_actuator(MODEL)
    assert a.send_ping() is False
    for call in (a.step, a.start, a.set_home_position):
        with pytest.raises(RuntimeError, match=r"^Actuator not connected\. Call connect\(\) first\.$"):
            call()
    assert a.connect(timeout=0) is True and a.send_ping() is True and a.connected
    a.disconnect()
    assert a.send_ping() is False


def test_disconnect_before_any_step_does_not_terminate():
    a = connected()
    folder = a.actuator.tmp_dir
    a.actuator.terminate = mock.Mock()
    a.disconnect()
    a.actuator.terminate.assert_not_called()
    assert os.path.isdir(folder) and not a._connected


def test_disconnect_connect_step_disconnect_again():
    a = connected()
    wrapper, folder = a.actuator, a.actuator.tmp_dir
    a.start()
    at_rest_position(a, 0.5, 4000)
    a.disconnect()
    assert not wrapper._initialized and not os.path.exists(folder) and not a._connected and not a._enabled
    a.connect()
    a.start()
    at_rest_position(a, -0.5, 8000)  # initialize runs again on the same wrapper, encoders zeroed
    assert abs(a.get_items_blocking([Items.POSITION_FB])[Items.POSITION_FB] + 0.5) < 5e-3
    a.disconnect()
    assert not wrapper._initialized


def test_disconnect_clears_connected_even_when_terminate_fails():
    a = connected()
    a.step()
    with mock.patch.object(a.actuator, "terminate", side_effect=OSError("gone")):
        with pytest.raises(OSError):
            a.disconnect()
    assert a._connected is False


def test_replaced_wrapper_is_not_terminated_but_leaves_no_folder():
    a = connected()
    a.set_feedback_items(TEN_ITEMS)
    a.step(steps=50)
    old = a.actuator
    folder = old.tmp_dir
    a.set_actuator("NOVA_3")
    assert old._initialized and os.path.isdir(folder)
    gone = weakref.ref(old)
    del old
    gc.collect()
    assert gone() is None and not os.path.exists(folder)
    a.step(steps=10)  # the new wrapper warms up on its first step
    assert a.actuator._initialized and a.model == "NOVA_3"
    a.disconnect()


def test_mode_and_enable_reach_the_model_at_initialisation():
    a = DorozeActuatorVirtual()
    a.set_actuator(MODEL)
    a.change_speed_setpoint(3.0)
    a.connect()
    a.step()
    assert a.actuator.inp.ControlType == Mode.SPEED.value and a.actuator.inp.Enable is False
    a.start()
    assert a.actuator.inp.Enable is True
    a.stop()
    assert a.actuator.inp.Enable is False and a._enabled is False
    a.disconnect()


# --- stepping, the clock and physics ---------------------------------------------------------------


def test_step_arguments():
    a = connected()
    a.step()
    count = a._simulation_step_count
    with pytest.raises(ValueError, match=r"^steps must be >= 1$"):
        a.step(load=3.0, steps=0)
    for load, name in ((2, "int"), (True, "bool"), ("1", "str")):
        with pytest.raises(TypeError, match=rf"^Argument 'load' has incorrect type \(expected float, got {name}\)$"):
            a.step(load=load)

    class F(float):
        pass

    with pytest.raises(TypeError, match="got F"):
        a.step(load=F(1.0))
    assert a._simulation_step_count == count and a._load_value == 0.0
    a.step(load=1.5)
    a.step()
    assert a.telemetry_log.inp_load[-2:] == [1.5, 1.5] and a._load_value == 1.5
    a.change_load("2.5")
    assert a._load_value == 2.5
    a.disconnect()


def test_simulation_clock():
    a = connected()
    for n in (1, 2, 7, 333):
        while a._simulation_step_count < n:
            a.step()
        assert a.get_sim_time() == round((n - 1) * TS, 3)
    assert a.get_sim_time(round_dec=6) == round(332 * TS, 6)
    a.start_steps(3)
    assert a._simulation_step_count == 336
    a.disconnect()


def test_position_step_converges_and_a_load_shows_in_torque(act):
    act.start()
    fb = at_rest_position(act, 1.0, 6000)
    assert fb == {}
    act.set_feedback_items([Items.POSITION_FB, Items.SPEED_FB, Items.TORQUE_SENS, Items.TORQUE_FB, Items.POSITION_REF])
    fb = act.step()
    assert abs(fb[Items.POSITION_FB] - 1.0) < 2e-3 and abs(recent_speed(act)) < 1e-2
    assert fb[Items.POSITION_REF] == 1.0
    fb = act.step(load=2.0, steps=6000)
    sensed = list(act.telemetry_log.meas_T)[-400:]  # the flange sensor is noisy
    assert sum(sensed) / len(sensed) == pytest.approx(2.0, abs=0.02)
    assert 2.0 < fb[Items.TORQUE_FB] < 2.6  # the load plus what the friction asks
    assert abs(fb[Items.POSITION_FB] - 1.0) < 2e-3  # still held
    log = act.telemetry_log
    assert log.m_Tl[-1] == 2.0 and log.inp_load[-1] == 2.0 and log.inp_ref[-1] == 1.0


def test_speed_torque_and_stop(act):
    act.set_feedback_items([Items.SPEED_FB, Items.SPEED_REF, Items.TORQUE_FB])
    act.start()
    act.change_speed_setpoint(5.0)
    fb = act.step(steps=6000)
    assert fb[Items.SPEED_REF] == 5.0 and recent_speed(act) == pytest.approx(5.0, rel=0.03)
    assert act.telemetry_log.inp_control_type[-1] == Mode.SPEED.value
    act.change_torque_setpoint(1.0)
    before = act.step()[Items.SPEED_FB]
    assert act.step(steps=400)[Items.SPEED_FB] > before + 1.0  # a net torque accelerates
    act.stop()
    fb = act.step(steps=8000)
    # No torque; the estimate from the current sensors shows only their offset and noise.
    assert act.telemetry_log.m_Te[-1] == 0.0 and abs(fb[Items.TORQUE_FB]) < 0.2
    assert abs(recent_speed(act)) < 1e-2
    assert act.get_info()["enable"] == 0.0 and act.telemetry_log.inp_enable[-1] is False


def test_home_position(act):
    act.start()
    at_rest_position(act, 0.7, 6000)
    act.set_home_position()
    act.step()  # the encoders zero on the edge of ResetPos
    assert abs(act.get_items_blocking([Items.POSITION_FB])[Items.POSITION_FB]) < 1e-3


# --- the telemetry log ------------------------------------------------------------------------


def test_log_is_a_slotted_dataclass_of_lists():
    log = VirtualActuatorLog()
    names = [f.name for f in dataclasses.fields(log)]
    assert names[:3] == ["time", "enable", "temp_winding"] and names[-2:] == ["TIME_STEP", "time_start"]
    assert len(names) == 67 and "__slots__" in vars(VirtualActuatorLog) and not hasattr(log, "__dict__")
    assert all(getattr(log, n) == [] for n in names[:-2])
    other = VirtualActuatorLog()
    assert other.time is not log.time and (log.TIME_STEP, log.time_start) == (TS, 0.0)
    with mock.patch.object(virtual, "get_default_dtwin_time_step_s", return_value=0.25):
        assert VirtualActuatorLog().TIME_STEP == 0.25  # evaluated per instance
    assert VirtualActuatorLog.__annotations__["meas_turn"] == list[int]
    assert VirtualActuatorLog.__annotations__["inp_enable"] == list[bool]


def test_log_records_every_tick(act):
    act.step(steps=3)
    log = act.telemetry_log
    series = [f.name for f in dataclasses.fields(log)][:-2]
    assert all(len(getattr(log, n)) == 3 for n in series)
    assert log.time == [0.0, TS, 2 * TS]
    types_of = {n: {type(v) for v in getattr(log, n)} for n in series}
    assert types_of["meas_turn"] == {int} and types_of["inp_control_type"] == {int}
    assert types_of["inp_enable"] == {bool} and types_of["debug_i_max"] == {bool}
    assert types_of["m_Te"] == {float} and types_of["enable"] == {float}
    wrapper = act.actuator
    assert log.pos_fb[-1] == wrapper.info.pos_fb and log.m_iq[-1] == wrapper.motor.m_iq
    assert log.meas_pos2[-1] == wrapper.meas.pos2 and log.inp_t_adc[-1] == wrapper.inp.T_ADC
    assert log.inp_ref_ff_torque[-1] == wrapper.inp.ref_ff_torque
    log.time_start = 1.0
    log._append(wrapper)  # the stamp counts from time_start
    assert log.time[-1] == 3 * TS + 1.0 and len(log.T_fb) == 4


def test_model_without_optional_inports_logs_nan(act):
    # Inports of an older model generation: no T_ADC, no ref_ff_torque.
    fields = [(n, t) for n, t in type(act.actuator.inp)._fields_ if n not in ("T_ADC", "ref_ff_torque")]
    act.actuator.inp = type("OlderInports", (ctypes.Structure,), {"_fields_": fields})(Enable=True, ControlType=7)
    act.step(steps=2)
    log = act.telemetry_log
    assert math.isnan(log.inp_t_adc[-1]) and math.isnan(log.inp_ref_ff_torque[-1])
    assert log.inp_ref_impedance_spd[-1] == 0.0 and log.inp_control_type[-1] == 7


def test_csv_export(act, tmp_path):
    act.step(steps=5)
    path = tmp_path / "run.csv"
    assert act.telemetry_log.to_csv(path) is None
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    names = [f.name for f in dataclasses.fields(VirtualActuatorLog)][:-2]
    assert rows[0] == names and len(rows) == 6
    assert [float(r[0]) for r in rows[1:]] == act.telemetry_log.time
    column = names.index("m_iq")
    assert [float(r[column]) for r in rows[1:]] == act.telemetry_log.m_iq
    assert rows[1][names.index("inp_enable")] == "False"
    buffer = io.StringIO()
    act.telemetry_log.to_csv(buffer)
    assert buffer.getvalue().splitlines()[0].startswith("time,enable,temp_winding")
    act.telemetry_log.m_iq.pop()
    with pytest.raises(ValueError, match="different lengths"):
        act.telemetry_log.to_csv(tmp_path / "bad.csv")


def test_bounded_log_keeps_the_last_ticks():
    a = connected(telemetry_max_ticks=4)
    log = a.telemetry_log
    assert isinstance(log, BoundedVirtualActuatorLog) and isinstance(log, VirtualActuatorLog)
    assert log.max_ticks == 4 and log.TIME_STEP == TS
    a.step(steps=10)
    a.step(steps=1)
    assert len(log.time) == len(log.m_iq) == len(log.debug_i_max) == 4 and log.ticks == 11
    assert list(log.time) == [TS * k for k in range(7, 11)]
    assert a.get_sim_time(round_dec=9) == round(10 * TS, 9)
    assert log.m_iq[-1] == a.actuator.motor.m_iq
    with pytest.raises(AttributeError):
        log.max_ticks = 3
    a.disconnect()


def test_log_switched_off_keeps_the_clock():
    a = connected(telemetry_max_ticks=0)
    a.set_feedback_items([Items.POSITION_FB])
    fb = a.step(steps=101)
    log = a.telemetry_log
    assert len(log.time) == 0 and len(log.m_iq) == 0 and log.ticks == 101
    assert a.get_sim_time() == round(100 * TS, 3) and Items.POSITION_FB in fb
    log.time_start = 2.0
    assert a.get_sim_time() == round(2.0 + 100 * TS, 3)
    with pytest.raises(ValueError, match="max_ticks"):
        BoundedVirtualActuatorLog(-1)
    a.disconnect()


def test_bounded_log_export(tmp_path):
    a = connected(telemetry_max_ticks=3)
    a.step(steps=5)
    a.telemetry_log.to_csv(tmp_path / "tail.csv")
    with open(tmp_path / "tail.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert [float(r[0]) for r in rows[1:]] == [2 * TS, 3 * TS, 4 * TS]
    a.disconnect()


@pytest.mark.slow
def test_steady_memory_without_log(memory_flat):
    a = connected(telemetry_max_ticks=0)
    a.set_feedback_items(TEN_ITEMS)
    a.set_feedback_callback(lambda address, fb: None)
    a.start()
    a.change_speed_setpoint(2.0)
    memory_flat(lambda: a.step(steps=50), calls=6_000)
    a.disconnect()


def test_a_long_step_lets_other_threads_run():
    a = connected(telemetry_max_ticks=0)
    a.step()
    start = a._simulation_step_count
    seen, running, done = [], threading.Event(), threading.Event()

    def watch():
        running.set()
        while not done.is_set():
            seen.append(a._simulation_step_count)
            done.wait(0.001)

    watcher = threading.Thread(target=watch)
    watcher.start()
    assert running.wait(10)
    a.step(steps=600_000)
    end = a._simulation_step_count
    done.set()
    watcher.join(10)
    # the other thread ran during the step, and saw the count as it stood
    during = [n for n in seen if start < n < end]
    assert len(set(during)) >= 3, f"the watcher saw {sorted(set(seen))[:10]}... of {start}..{end}"
    assert during == sorted(during) and end == start + 600_000
    a.disconnect()


def library_mappings() -> int:
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if line.rstrip().endswith((".so", ".so (deleted)")))


@pytest.mark.slow
def test_hundreds_of_actuators_leave_mappings_files_and_memory_flat():
    def cycle():
        a = DorozeActuatorVirtual()
        a.set_actuator(MODEL)
        a.connect()
        a.step()
        a.disconnect()

    for _ in range(40):
        cycle()
    for _ in range(3):
        gc.collect()
    maps, files = library_mappings(), len(os.listdir("/proc/self/fd"))
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1])
    for _ in range(300):
        cycle()
    for _ in range(3):
        gc.collect()
    assert library_mappings() == maps and len(os.listdir("/proc/self/fd")) == files
    with open("/proc/self/statm") as f:
        grown = (int(f.read().split()[1]) - rss) * os.sysconf("SC_PAGE_SIZE")
    assert grown < 8 * 1024 * 1024, f"RSS grew by {grown} bytes over 300 actuators"


# --- feedback ------------------------------------------------------------------------------------


def test_feedback_rate_divider():
    a = connected()
    assert a._feedback_rate_divider == 20
    for rate, divider in ((1000, 20), (7000, 3), (20000, 1), (1, 20000), (True, 20000), (Rates.RATE_2KHZ, 10),
                          (Rates.RATE_1HZ, 20000), (0, 0), (Rates.DISABLED, 0)):  # fmt: skip
        a.set_feedback_rate(rate)
        assert a._feedback_rate_divider == divider, rate
    with pytest.raises(ValueError, match=r"^Rate cannot exceed DTwin simulation rate of 20000 Hz$"):
        a.set_feedback_rate(30000)
    with pytest.raises(ValueError, match=r"^Rate must be non-negative, got -5$"):
        a.set_feedback_rate(-5)
    with pytest.raises(TypeError, match=r"^rate must be a Rates enum or int, got float$"):
        a.set_feedback_rate(2.5)
    b = DorozeActuatorVirtual(types.SimpleNamespace(get_sim_time_step_s=lambda: 0.0))
    with pytest.raises(RuntimeError, match=r"^Invalid DTwin simulation timestep: 0\.0$"):
        b.set_feedback_rate(100)
    b.set_feedback_rate(0)  # no simulation rate needed to switch off
    a.disconnect()


def test_callback_cadence_and_payloads(act):
    calls = []
    act.set_feedback_callback(lambda address, fb: calls.append((address, act._simulation_step_count, fb)))
    act.step(steps=45)
    assert calls == []  # a callback without items is not called
    act.set_feedback_items([Items.POSITION_FB, Items.TEMP_PCB])
    act.set_feedback_rate(1000)
    act.step(steps=35)  # ticks 46..80
    assert [c[1] for c in calls] == [60, 80] and all(c[0] == 0x20 for c in calls)
    payload = calls[-1][2]
    assert payload == act._latest_feedback == act._feedback and payload is not act._latest_feedback
    payload[Items.TEMP_PCB] = 0.0
    assert act.get_feedback()[Items.TEMP_PCB] == 25.0 and act.get_feedback() is not act._latest_feedback
    act.set_feedback_rate(Rates.DISABLED)
    act.step(steps=40)
    assert len(calls) == 2
    act.set_feedback_callback(None)
    act.set_feedback_rate(1000)
    fb = act.step(steps=3)  # snapshots without a callback
    assert fb == act._latest_feedback and set(fb) == {Items.POSITION_FB, Items.TEMP_PCB}


def test_callback_changes_setpoint_and_load_for_the_next_tick(act):
    def callback(address, fb):
        if act._simulation_step_count == 20:
            act.change_load(3.0)
            act.change_position_setpoint(0.25)

    act.set_feedback_items([Items.POSITION_REF])
    act.set_feedback_callback(callback)
    act.step(steps=25)
    log = act.telemetry_log
    assert log.inp_load[19] == 0.0 and log.inp_load[20] == 3.0 and log.m_Tl[20] == 3.0
    assert log.inp_ref[19] == 0.0 and log.inp_ref[20] == 0.25


def test_callback_error_leaves_the_steps_counted(act):
    def failing(address, fb):
        raise ZeroDivisionError("in callback")

    act.set_feedback_items([Items.SPEED_FB])
    act.set_feedback_callback(failing)
    with pytest.raises(ZeroDivisionError):
        act.step(steps=100)
    assert act._simulation_step_count == 20 and len(act.telemetry_log.time) == 20
    assert act._latest_feedback[Items.SPEED_FB] == act.actuator.info.spd_fb


def test_blocking_item_reads(act):
    act.step(steps=10)
    count = act._simulation_step_count
    wanted = list(Items)[:11]
    with pytest.warns(UserWarning) as w:
        got = act.get_items_blocking(wanted, timeout=0)
    assert len(w) == 1 and w[0].filename == __file__
    assert str(w[0].message) == "Feedback item requests are limited to 10; the extra items will be ignored."
    assert list(got) == wanted[:10] and act._simulation_step_count == count
    with mock.patch.object(virtual, "VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST", 2), pytest.warns(UserWarning, match="to 2;"):
        assert len(act.get_items_blocking(wanted[:3])) == 2
    with pytest.raises(TypeError, match="expected list"):
        act.get_items_blocking((Items.SPEED_FB,))
    with pytest.raises(ValueError, match="not configured"):
        DorozeActuatorVirtual().get_items_blocking([Items.SPEED_FB])


def test_every_item_reads_its_model_value(act):
    act.start()
    act.change_speed_setpoint(3.0)
    act.step(steps=500)
    w = act.actuator
    paths = {
        Items.ENCODER_INT: w.meas.pos, Items.ENCODER_INT_RAW: float(w.meas.turn), Items.ENCODER_EXT: w.meas.pos2,
        Items.ENCODER_EXT_RAW: float(w.meas.turn2), Items.SPEED_FB: w.info.spd_fb, Items.IA: w.motor.m_ia,
        Items.IB: w.motor.m_ib, Items.IC: w.motor.m_ic, Items.TORQUE_SENS: w.meas.T, Items.TORQUE_SENS_RAW: w.meas.T,
        Items.POSITION_REF: w.info.pos_ref, Items.POSITION_FB: w.info.pos_fb, Items.POSITION_FB_INTERNAL: w.meas.pos,
        Items.SPEED_REF: w.info.spd_ref, Items.ID_REF: w.info.id_ref, Items.ID_FB: w.info.id_fb,
        Items.IQ_REF: w.info.iq_ref, Items.IQ_FB: w.info.iq_fb, Items.VD_REF: w.info.vd_ref,
        Items.VQ_REF: w.info.vq_ref, Items.TORQUE_REF: w.info.T_ref, Items.TORQUE_FB: w.info.T_fb,
        Items.REFERENCE_A_VOLTAGE: w.motor.m_va, Items.REFERENCE_B_VOLTAGE: w.motor.m_vb,
        Items.REFERENCE_C_VOLTAGE: w.motor.m_vc, Items.BUS_POWER: w.motor.m_pwr_dc, Items.BUS_CURRENT: w.motor.m_i_dc,
        Items.THREE_PHASE_POWER: w.motor.m_pwr_elec, Items.MECHANICAL_POWER: w.motor.m_pwr_mec,
        Items.INVERTER_EFFICIENCY: w.motor.m_eff_elec, Items.MOTOR_EFFICIENCY: w.motor.m_eff_mec,
        Items.ERRORS_ENCODER_INT: 0.0, Items.ERRORS_ENCODER_EXT: 0.0, Items.ERRORS_OVERRUN: 0.0,
        Items.ERROR_BITS: 0, Items.CONTROL_LOOP_TIME_MIN: 0, Items.CONTROL_LOOP_TIME_MAX: 0,
        Items.CONTROL_LOOP_TIME_AVG: 0, Items.VBUS: w.motor.m_pwr_dc / w.motor.m_i_dc, Items.TEMP_PCB: 25.0,
        Items.TEMP_MOTOR: w.info.temp_winding, Items.DEBUG_SIGNAL_BOOL: 0.0,
    }  # fmt: skip
    expected = {i: paths.get(i, math.nan) for i in Items}
    for start in range(0, len(expected), 10):
        chunk = list(expected)[start : start + 10]
        got = act.get_items_blocking(chunk)
        assert all(same_value(got[i], expected[i]) for i in chunk), chunk
    # the same values through the stepping loop's snapshot
    act.set_feedback_items(list(Items))
    snapshot = act._build_feedback_snapshot()
    assert all(same_value(snapshot[i], expected[i]) for i in Items)


def test_item_special_cases(act):
    act.step()
    w = act.actuator
    w.motor.m_pwr_dc, w.motor.m_i_dc = 7.0, 0.0
    assert act.get_items_blocking([Items.VBUS])[Items.VBUS] == 7.0
    w.motor.m_i_dc = 2.0
    assert act.get_items_blocking([Items.VBUS])[Items.VBUS] == 3.5
    w.debug.i_max = True
    got = act.get_items_blocking([Items.ERRORS_OVERRUN, Items.DEBUG_SIGNAL_BOOL, Items.ERRORS_ENCODER_INT])
    assert got == {Items.ERRORS_OVERRUN: 1.0, Items.DEBUG_SIGNAL_BOOL: 1.0, Items.ERRORS_ENCODER_INT: 0.0}
    assert act.has_errors() is True
    for unsupported in ("X", 69, Params.MODE):
        with pytest.raises(KeyError, match=f"Unsupported feedback item: {unsupported}"):
            act._get_item_value(unsupported)


def test_diagnostic_readers(act):
    act.step(steps=5)
    info, motor, meas, flags = act.get_info(), act.get_motor_state(), act.get_measurements(), act.get_debug_flags()
    assert list(info)[:3] == ["enable", "temp_winding", "T_fb"] and len(info) == 14
    assert len(motor) == 23 and list(motor)[-1] == "m_vq" and all(type(v) is float for v in motor.values())
    assert list(meas) == ["turn", "turn2", "T", "e_pos", "pos", "pos2", "spd", "spd2"]
    assert type(meas["turn"]) is int and type(meas["pos"]) is float
    assert len(flags) == 10 and all(v is False for v in flags.values()) and act.has_errors() is False
    everything = act.get_all_parameters()
    assert list(everything) == ["pid", "impedance", "limits", "profile", "filter"]
    assert everything["pid"]["ff_gain"] == act.actuator.pid.FF_gain and everything["impedance"]["j_imp"] > 0
    assert everything["filter"] == act.actuator.get_filter_cutoffs()
    bare = DorozeActuatorVirtual()
    for reader in (bare.get_info, bare.get_motor_state, bare.get_measurements, bare.get_debug_flags,
                   bare.has_errors, bare.get_all_parameters):  # fmt: skip
        with pytest.raises(ValueError, match="not configured"):
            reader()


# --- parameters ----------------------------------------------------------------------------------


def test_parameter_tables():
    paths = DorozeActuatorVirtual._PARAMETER_PATHS
    assert list(paths) == list(Params)[:15] and paths[Params.K_DAMPING] == "imp.K_damp"
    assert paths[Params.KP_POSITION] == "pid.pos_Kp"
    defaults = DorozeActuatorVirtual._TRACKED_NUMERIC_DEFAULTS
    assert [p.name for p in defaults] == [
        "FF_GAIN", "PROFILE_SPEED_MAX_RAD_S", "PROFILE_TORQUE_MAX_NM", "SPEED_CUTOFF", "CURRENT_CUTOFF",
        "INVERT_FLAG", "CAN_HIGH_SPEED", "SERIAL_NUMBER", "FIRMWARE_VERSION", "DEVICE_MODEL", "CONTROL_VERSION",
    ]  # fmt: skip
    assert defaults[Params.INVERT_FLAG] == 0.0 and math.isnan(defaults[Params.SERIAL_NUMBER])


def test_model_parameters_round_trip(act):
    act.set_parameters({Params.LIM_TORQUE: 3.0, Params.KP_SPEED: 0.9})
    assert act.actuator.lim.lim_T == 3.0 and act.actuator.pid.spd_Kp == 0.9
    act.step()
    assert act.get_parameters([Params.LIM_TORQUE, Params.KP_SPEED]) == {Params.LIM_TORQUE: 3.0, Params.KP_SPEED: 0.9}
    act.set_parameters({Params.FF_GAIN: 0.5, Params.SPEED_CUTOFF: 400.0, Params.SERIAL_NUMBER: 77.0})
    assert act.actuator.pid.FF_gain == 0.5 and act.actuator.filter.spd_cutoff == 400.0
    got = act.get_parameters([Params.FF_GAIN, Params.SPEED_CUTOFF, Params.CURRENT_CUTOFF, Params.SERIAL_NUMBER])
    assert got == {Params.FF_GAIN: 0.5, Params.SPEED_CUTOFF: 400.0, Params.CURRENT_CUTOFF: 5000.0,
                   Params.SERIAL_NUMBER: 77.0}  # fmt: skip
    everything = act.get_parameters_all()
    assert list(everything) == list(Params) and all(type(v) is float for v in everything.values())
    assert everything[Params.VEZ_ADDRESS] == 32.0 and everything[Params.MODE] == 7.0


def test_parameters_kept_by_the_object():
    a = DorozeActuatorVirtual(types.SimpleNamespace(set_address=lambda address: None))
    assert math.isnan(a.get_parameters([Params.FF_GAIN])[Params.FF_GAIN])
    assert math.isnan(a.get_parameters([Params.VEZ_ADDRESS])[Params.VEZ_ADDRESS])
    a.set_parameters({Params.FF_GAIN: 0.5, Params.CAN_HIGH_SPEED: 2.0, Params.SETPOINT: 1.25, Params.MODE: 6.0,
                      Params.TORQUE_PERFORMANCE: 1.0, Params.SPEED_PERFORMANCE: 4.0, Params.VEZ_ADDRESS: 0x40,
                      Params.CURRENT_CUTOFF: 300.0})  # fmt: skip
    assert a.get_parameters([Params.FF_GAIN])[Params.FF_GAIN] == 0.5
    assert a._tracked_numeric_values[Params.CAN_HIGH_SPEED] == 1.0 and a._can_high_speed is True
    assert (a._setpoint, a._mode, a._current_mode) == (1.25, Mode.SPEED, Mode.SPEED)
    assert a._torque_performance.name == "AGGRESSIVE" and a._speed_performance.name == "CUSTOM"
    assert a.address == 0x40 and a.get_parameters([Params.CURRENT_CUTOFF])[Params.CURRENT_CUTOFF] == 300.0
    with pytest.raises(ValueError):
        a.set_parameters({Params.MODE: 1.0})
    with pytest.raises(TypeError, match="expected dict"):
        a.set_parameters([(Params.MODE, 6.0)])
    bare = DorozeActuatorVirtual()
    for call in (lambda: bare._read_path("pid.pos_Kp"), lambda: bare._write_path("pid.pos_Kp", 1.0)):
        with pytest.raises(ValueError, match="not configured"):
            call()


# --- commands ------------------------------------------------------------------------------------


def test_setpoint_commands_switch_mode_only_when_needed(act):
    act.step()
    with mock.patch.object(act.actuator, "set_control_type", wraps=act.actuator.set_control_type) as control:
        act.change_speed_setpoint(2.0)
        act.change_speed_setpoint(3.0)
    control.assert_called_once_with(Mode.SPEED.value)
    assert (act._mode, act._setpoint, act.get_mode()) == (Mode.SPEED, 3.0, Mode.SPEED)
    assert act.actuator.inp.ControlType == Mode.SPEED.value
    act.change_setpoint(4)
    assert act._setpoint == 4.0 and act._mode is Mode.SPEED
    with pytest.raises(TypeError, match=r"expected Mode, got int"):
        act.change_mode(6)


def test_gain_options_keep_what_is_not_given(act, caplog):
    kp, ki = act.actuator.get_current_gains()
    with caplog.at_level(logging.WARNING):
        act.change_torque_setpoint(1.0, id_Kp=5.0)
        assert act.actuator.get_current_gains() == (5.0, ki) and caplog.records == []
        act.change_torque_setpoint(1.0, iq_Kp=6.0)
        assert act.actuator.get_current_gains() == (5.0, ki) and caplog.records == []
        act.change_torque_setpoint(1.0, id_Kp=4.0, iq_Kp=6.0)
    assert act.actuator.get_current_gains() == (4.0, ki)
    assert [r.getMessage() for r in caplog.records] == [
        "Virtual actuator exposes shared current gains; q-axis gains cannot differ from d-axis gains."
    ]
    spd_kp, spd_ki = act.actuator.get_speed_gains()
    act.change_speed_setpoint(1.0, spd_Ki=7.0, FF_gain=0.25, ref_ff_torque=0.5)
    assert act.actuator.get_speed_gains() == (spd_kp, 7.0) and act.actuator.pid.FF_gain == 0.25
    assert act._tracked_numeric_values[Params.FF_GAIN] == 0.25 and act.actuator.inp.ref_ff_torque == 0.5
    act.change_position_setpoint(0.1, pos_Kp=33.0)
    assert act.actuator.pid.pos_Kp == 33.0 and act._mode is Mode.POSITION


def test_impedance_command(act):
    gains = act.actuator.get_impedance_gains()
    act.actuator.set_impedance_gains(gains["k_stiff"], gains["k_damp"], 0.3)
    with mock.patch.object(act.actuator, "set_impedance_references", wraps=act.actuator.set_impedance_references) as refs:
        act.change_impedance_setpoint(0.0, K_stiff=9.0, J_imp=0.01, ref_impedance_acel=1.0)
    refs.assert_called_once_with(None, 1.0)
    assert act.actuator.get_impedance_gains() == {"k_stiff": 9.0, "k_damp": gains["k_damp"], "t_ff": 0.3, "j_imp": 0.01}
    assert act._impedance_speed_reference == 0.0 and act._mode is Mode.IMPEDANCE
    act.change_impedance_setpoint(0.2, ref_impedance_spd=2.0)
    assert act._impedance_speed_reference == 2.0 and act.actuator.inp.ref_impedance_spd == 2.0


def test_command_failures():
    a = DorozeActuatorVirtual()
    with pytest.raises(ValueError, match="not configured"):
        a.change_speed_setpoint(2.0, spd_Kp=1.0)
    assert (a._mode, a._setpoint) == (Mode.SPEED, 2.0)  # stored before the gain step failed
    wrapper = mock.Mock()
    wrapper.get_current_gains.return_value = (1.0, 2.0, 3.0)
    b = DorozeActuatorVirtual(wrapper)
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        b.change_torque_setpoint(0.0, id_Ki=1.0)
    with pytest.raises(TypeError, match="Argument 'id_Kp'"):
        b.change_torque_setpoint(0.0, id_Kp="1")


def test_address_and_settings(act, caplog):
    with caplog.at_level(logging.WARNING):
        act.change_address(0x20)
    assert caplog.records[0].getMessage() == "New address is the same as the current address 32"
    assert caplog.records[0].args == (32,)
    act.change_address(0x10)
    assert act.address == 0x10 and act.actuator.get_address() == 0x10
    with pytest.raises(ValueError, match=r"^Invalid new address 16383\. Address must be between 0x10 and 0x3FFE\.$"):
        act.change_address(0x3FFF)
    act.set_can_high_speed(False)
    assert act._tracked_numeric_values[Params.CAN_HIGH_SPEED] == 0.0
    act.set_torque_performance(DorozeActuatorVirtual.TorquePerformance.SOFT)
    act.set_speed_performance(DorozeActuatorVirtual.SpeedPerformance.CUSTOM)
    assert act._torque_performance.name == "SOFT" and act._speed_performance.name == "CUSTOM"
    with pytest.raises(TypeError, match="expected TorquePerformance"):
        act.set_torque_performance(1)
    caplog.clear()
    with caplog.at_level(logging.INFO):
        act.save_config()
        act.blink()
    assert [r.getMessage() for r in caplog.records] == [
        "Virtual actuators do not persist configuration.",
        "Blink is a no-op for the virtual actuator.",
    ]
