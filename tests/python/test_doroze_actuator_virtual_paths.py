"""The virtual actuator's stepping loop takes C++ shortcuts while nothing it
relies on was replaced; these tests replace, patch and override each piece
and check that the loop then does exactly what the Python-level calls say,
and that both ways give the same results."""

import ctypes
import dataclasses
import fractions
import json
import os
import signal
import subprocess
import sys
from unittest import mock

import pytest

import vez_api._twin_backend as backend
import vez_api.doroze_actuator_virtual as virtual
from virtual_actuators import MODEL, connected, same_value
from vez_api._twin_backend import ActuatorWrapper
from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual, VirtualActuatorLog

Items = DorozeActuatorVirtual.VEZ_Items
MIXED_ITEMS = [
    Items.POSITION_FB,
    Items.SPEED_FB,
    Items.TORQUE_FB,
    Items.ENCODER_INT_RAW,
    Items.VBUS,
    Items.ERRORS_OVERRUN,
    Items.DEBUG_SIGNAL_BOOL,
    Items.TEMP_PCB,
    Items.ERROR_BITS,
    Items.DEBUG_SIGNAL03,
]


class PythonLevel(DorozeActuatorVirtual):
    """Overrides a per-tick method with itself: every tick takes the
    Python-level calls."""

    def _should_emit_feedback(self):
        return super()._should_emit_feedback()


def scripted_run(actuator):
    """Steps a scripted scenario (a position move, then a callback changing
    load and setpoint); returns what the callback and step() saw."""
    seen = []

    def callback(address, fb):
        seen.append((address, actuator._simulation_step_count, dict(fb)))
        if actuator._simulation_step_count == 400:
            actuator.change_load(0.7)
        if actuator._simulation_step_count == 600:
            actuator.change_position_setpoint(-0.5)

    actuator.set_feedback_items(MIXED_ITEMS)
    actuator.set_feedback_callback(callback)
    actuator.start()
    actuator.change_position_setpoint(0.8)
    returned = [actuator.step(steps=1000), actuator.step(load=0.2, steps=37)]
    returned += [actuator.step() for _ in range(3)]
    return seen, returned


def assert_same_runs(a, b):
    seen_a, returned_a = scripted_run(a)
    seen_b, returned_b = scripted_run(b)
    for f in dataclasses.fields(VirtualActuatorLog):
        xa, xb = getattr(a.telemetry_log, f.name), getattr(b.telemetry_log, f.name)
        if isinstance(xa, list):
            assert len(xa) == len(xb) == 1040, f.name
            assert all(same_value(p, q) for p, q in zip(xa, xb)), f.name
    assert len(seen_a) == len(seen_b) == 52
    for (addr_a, count_a, fb_a), (addr_b, count_b, fb_b) in zip(seen_a, seen_b):
        assert (addr_a, count_a) == (addr_b, count_b)
        assert list(fb_a) == list(fb_b) == MIXED_ITEMS and all(same_value(fb_a[i], fb_b[i]) for i in fb_a)
    for ra, rb in zip(returned_a, returned_b):
        assert all(same_value(ra[i], rb[i]) for i in MIXED_ITEMS)
    for x in (a, b):
        assert x._simulation_step_count == 1040
        assert x._feedback == x._latest_feedback == returned_a[-1] and x._feedback is not x._latest_feedback


def test_shortcuts_and_python_level_calls_agree():
    fast, slow = connected(address=0x20), connected(PythonLevel, address=0x20)
    assert_same_runs(fast, slow)
    fast.disconnect()
    slow.disconnect()


def test_wrapper_step_patched_on_the_instance_agrees():
    fast, patched = connected(address=0x20), connected(address=0x20)
    patched.actuator.step = mock.Mock(wraps=patched.actuator.step)
    assert_same_runs(fast, patched)
    assert patched.actuator.step.call_count == 1040
    assert patched.actuator.step.call_args_list[-1] == mock.call(-0.5, 0.2)
    fast.disconnect()
    patched.disconnect()


def test_mocked_wrapper():
    with mock.patch.object(virtual, "ActuatorWrapper") as wrapper_class:
        wrapper = wrapper_class.return_value
        wrapper.get_sim_time_step_s.return_value = 0.001
        wrapper._initialized = False
        a = DorozeActuatorVirtual(address=0x12)
        assert a.set_actuator_from_paths("lib.so", "b.py") is wrapper
        wrapper_class.assert_called_once_with("lib.so", "b.py")
        wrapper.set_address.assert_called_once_with(0x12)
        assert a.telemetry_log.TIME_STEP == 0.001
        a.connect()
        a.set_feedback_items([Items.SPEED_FB, Items.TEMP_PCB])
        a.change_setpoint(0.5)
        fb = a.step(load=1.0, steps=3)
    wrapper.initialize.assert_called_once_with(DorozeActuatorVirtual.Mode.POSITION.value)
    wrapper.set_enable.assert_called_once_with(False)
    assert wrapper.step.call_args_list == [mock.call(0.5, 1.0)] * 3
    assert fb == {Items.SPEED_FB: 1.0, Items.TEMP_PCB: 25.0}  # float() of a MagicMock is 1.0
    assert a.telemetry_log.time == [0.0, 0.001, 0.002] and len(a.telemetry_log.m_iq) == 3


def test_patched_log_append():
    a = connected()
    with mock.patch.object(VirtualActuatorLog, "_append", autospec=True) as append:
        a.step(steps=4)
    # (the method is not a Python function, so the mock does not bind: no self)
    assert append.call_args_list == [mock.call(a.actuator)] * 4
    assert a.telemetry_log.time == [] and a._simulation_step_count == 4
    a.step()  # the original again
    assert a.telemetry_log.time == [0.0]
    a.disconnect()


def test_log_subclass_and_replaced_log():
    class Recording(VirtualActuatorLog):
        pass

    a, b = connected(), connected()
    a.telemetry_log = Recording()
    first = b.telemetry_log
    b.set_feedback_items([Items.POSITION_FB])
    replacement = VirtualActuatorLog()
    for x in (a, b):
        x.start()
        x.change_speed_setpoint(4.0)

    def swap(address, fb):
        if b._simulation_step_count == 20:
            b.telemetry_log = replacement

    b.set_feedback_callback(swap)
    a.step(steps=30)
    b.step(steps=30)
    assert len(a.telemetry_log.time) == 30 and a.telemetry_log.m_iq == first.m_iq + replacement.m_iq
    assert len(first.time) == 20 and len(set(first.m_iq)) > 10
    assert len(replacement.time) == 10 and replacement.time[0] == 0.0  # a fresh log stamps from its own start
    a.disconnect()
    b.disconnect()


def test_overridden_snapshot_and_emission():
    calls = []

    class Custom(DorozeActuatorVirtual):
        def _build_feedback_snapshot(self):
            return {"count": self._simulation_step_count}

        def _should_emit_feedback(self):
            return self._simulation_step_count % 3 == 0

        def _emit_callback(self, callback, address, payload):
            calls.append((callback, address, payload))

    a = connected(Custom, address=0x30)
    marker = mock.Mock(name="callback")  # handed through untouched; the override never calls it
    a.set_feedback_callback(marker)
    assert a.step(steps=7) == {"count": 7} == a._latest_feedback == a._feedback
    assert a._feedback is not a._latest_feedback
    assert calls == [(marker, 0x30, {"count": 3}), (marker, 0x30, {"count": 6})]
    a.disconnect()


def test_instance_level_patches():
    a = connected()
    got = []
    a.set_feedback_items([Items.SPEED_FB])
    a.set_feedback_callback(lambda address, fb: got.append(fb))
    a._should_emit_feedback = lambda: True
    a.step(steps=3)
    assert len(got) == 3
    del a._should_emit_feedback
    a._get_item_value = lambda item: "patched"
    assert a.step(steps=20) == {Items.SPEED_FB: "patched"} and got[-1] == {Items.SPEED_FB: "patched"}
    a.disconnect()


def test_replaced_structure_view():
    a = connected()
    a.set_feedback_items([Items.ENCODER_INT, Items.ENCODER_INT_RAW])
    model_meas = a.actuator.meas
    a.actuator.meas = type(model_meas)(turn=3, pos=42.0)
    fb = a.step()
    assert fb == {Items.ENCODER_INT: 42.0, Items.ENCODER_INT_RAW: 3.0}
    assert a.telemetry_log.meas_pos[-1] == 42.0 and a.telemetry_log.meas_turn[-1] == 3
    a.actuator.meas = model_meas
    assert a.step()[Items.ENCODER_INT] == model_meas.pos
    a.disconnect()


def test_replaced_model_field_type():
    """A structure type whose field is not a plain C number is read by ctypes."""
    a = connected()
    fields = [(n, t) for n, t in type(a.actuator.info)._fields_]
    wide = type("WideInfo", (ctypes.Structure,), {"_fields_": [(n, ctypes.c_longdouble) for n, _ in fields]})
    a.actuator.info = wide(spd_fb=1.5)
    a.set_feedback_items([Items.SPEED_FB])
    assert a.step() == {Items.SPEED_FB: 1.5} and a.telemetry_log.spd_fb[-1] == 1.5
    a.disconnect()


def test_callback_replaces_items_and_settings_mid_run():
    a = connected()
    seen = []

    def callback(address, fb):
        seen.append(sorted(i.name for i in fb))
        if len(seen) == 1:
            a.set_feedback_items([Items.TEMP_PCB])
            a.set_feedback_rate(2000)

    a.set_feedback_items([Items.SPEED_FB])
    a.set_feedback_callback(callback)
    a.step(steps=40)
    assert seen == [["SPEED_FB"], ["TEMP_PCB"], ["TEMP_PCB"]]  # ticks 20, 30, 40
    a.disconnect()


def test_unusual_attribute_values():
    a = connected()
    a._simulation_step_count = 10**30
    a._setpoint = fractions.Fraction(1, 4)
    a.step(steps=2)
    assert a._simulation_step_count == 10**30 + 2 and a.telemetry_log.inp_ref == [0.25, 0.25]
    a._setpoint = 3  # an int is a number for the model
    a.step()
    assert a.telemetry_log.inp_ref[-1] == 3.0
    del a._load_value
    with pytest.raises(AttributeError, match="_load_value"):
        a.step()
    assert len(a.telemetry_log.time) == 3
    a.disconnect()


def test_class_level_wrapper_patch():
    a = connected()
    with mock.patch.object(ActuatorWrapper, "step", autospec=True) as step:
        a.step(steps=2)
    assert step.call_args_list == [mock.call(0.0, 0.0)] * 2  # (a C method: the mock does not bind)
    a.step()
    assert len(a.telemetry_log.time) == 3
    a.disconnect()


def test_interrupted_long_run_keeps_its_ticks():
    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted

    a = connected(telemetry_max_ticks=0)
    a.set_feedback_items([Items.POSITION_FB])
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Interrupted):
            a.step(steps=10**12)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    count = a._simulation_step_count
    assert count > 0 and count == a.telemetry_log.ticks and count % 4096 == 0
    assert a._latest_feedback[Items.POSITION_FB] == a.actuator.info.pos_fb
    a.disconnect()


def test_twins_of_two_models_side_by_side():
    a, b = connected(), connected(model="NOVA_3")
    for x in (a, b):
        x.set_feedback_items([Items.POSITION_FB])
        x.start()
        x.change_position_setpoint(0.3)
    for _ in range(50):
        fa, fb = a.step(steps=100), b.step(steps=100)
    assert abs(fa[Items.POSITION_FB] - 0.3) < 3e-3 and abs(fb[Items.POSITION_FB] - 0.3) < 3e-3
    assert a.telemetry_log.m_iq != b.telemetry_log.m_iq and a.model == MODEL and b.model == "NOVA_3"
    a.disconnect()
    b.disconnect()


FLAG_FIELDS = {Items.ERRORS_OVERRUN: "i_max", Items.ERRORS_ENCODER_INT: "pos_fb_max", Items.ERRORS_ENCODER_EXT: "pos_fb_min"}
FLAG_ITEMS = [*FLAG_FIELDS, Items.DEBUG_SIGNAL_BOOL]


@pytest.mark.parametrize("cls", [DorozeActuatorVirtual, PythonLevel], ids=["shortcuts", "python-level"])
def test_streamed_error_flags_follow_the_model(cls):
    """Error-flag items streamed by the loop (callback and step()'s snapshot)
    report the model's flags as they are at that tick, set as well as clear."""
    act = connected(cls)
    w = act.actuator

    def truth():
        flags = {item: 1.0 if getattr(w.debug, field) else 0.0 for item, field in FLAG_FIELDS.items()}
        # the summary flag as an on-demand read gives it
        flags[Items.DEBUG_SIGNAL_BOOL] = act.get_items_blocking([Items.DEBUG_SIGNAL_BOOL])[Items.DEBUG_SIGNAL_BOOL]
        return flags

    seen = []
    act.set_feedback_items(FLAG_ITEMS)
    act.set_feedback_callback(lambda address, fb: seen.append((dict(fb), truth())))
    act.start()
    act.change_position_setpoint(2.0)
    returned = [(act.step(steps=600), truth())]
    act.change_load(50.0)  # more than the motor can hold: the current saturates
    returned.append((act.step(steps=1400), truth()))
    upper = w.lim.lim_pos_max
    w.lim.lim_pos_max = -100.0  # the position is above its upper bound
    returned.append((act.step(steps=200), truth()))
    w.lim.lim_pos_max, w.lim.lim_pos_min = upper, 100.0  # then below its lower bound
    returned.append((act.step(steps=200), truth()))
    assert len(seen) == 120
    assert all(fb == expected for fb, expected in seen)
    assert all(fb == expected for fb, expected in returned)
    for item in FLAG_ITEMS:
        assert {fb[item] for fb, _ in seen} == {0.0, 1.0}, item
    assert returned[2][0][Items.ERRORS_ENCODER_INT] == returned[3][0][Items.ERRORS_ENCODER_EXT] == 1.0
    act.disconnect()


# --- the loop without Python, and what turns it off -------------------------------------


def test_the_loop_runs_without_python_while_nothing_changes():
    """With nothing replaced, every tick after the wrapper's first direct step
    runs without Python code, whatever the interpreter; a Python-level
    override turns that off."""
    for cls, expected in ((DorozeActuatorVirtual, 1000), (PythonLevel, 0)):
        a = connected(cls)
        a.set_feedback_items(MIXED_ITEMS)
        a.set_feedback_callback(lambda address, fb: None)
        a.start()
        a.change_position_setpoint(0.5)
        a.step()  # the wrapper's first direct step caches its layout
        before = virtual._python_free_ticks()
        a.step(steps=1000)
        assert virtual._python_free_ticks() - before == expected, cls.__name__
        before = virtual._python_free_ticks()
        for _ in range(10):  # one call per tick: each call's own stores keep the shortcut
            a.step()
        assert virtual._python_free_ticks() - before == expected // 100, cls.__name__
        a.disconnect()


def test_the_loop_runs_without_python_on_a_wrapper_class_out_of_version_tags():
    """3.13 gives a class no version tag after a thousand modifications (the
    wrapper class's instance_count changes with every wrapper made or
    terminated): the loop then looks at the class again instead."""

    class Worn(ActuatorWrapper):
        pass

    for i in range(1200):
        Worn.wear = i
        assert Worn.wear == i  # the lookup asks for a new tag
    a = connected()
    a.actuator.__class__ = Worn
    a.set_feedback_items(MIXED_ITEMS)
    a.start()
    a.step()
    before = virtual._python_free_ticks()
    a.step(steps=200)
    assert virtual._python_free_ticks() - before == 200
    Worn.meas = property(lambda self: type(self.__dict__["meas"])(pos=42.0))  # a class attribute now decides
    a.set_feedback_items([Items.ENCODER_INT])
    assert a.step() == {Items.ENCODER_INT: 42.0} and a.telemetry_log.meas_pos[-1] == 42.0
    a.disconnect()


class OrdinaryWrapper(ActuatorWrapper):
    """Overrides a method the wrapper's step calls: every step goes through ctypes."""

    def _apply_optional_inports(self):
        super()._apply_optional_inports()


def counting_byref(calls):
    real = ctypes.byref

    def byref(obj):
        calls.append(1)
        return real(obj)

    return byref


def shadow_set(a, calls):
    a.actuator._reference_feedforward_torque = 0.3


def shadow_deleted(a, calls):
    del a.actuator._impedance_speed_reference


def setpoint_set(a, calls):
    a._setpoint = 0.4


def load_deleted(a, calls):
    del a._load_value


def module_global_replaced(a, calls):
    backend.ctypes = mock.Mock(wraps=backend.ctypes, byref=counting_byref(calls))


def library_attribute_replaced(a, calls):
    real = a.actuator._lib.DT_step

    def step(root):
        calls.append(1)
        return real(root)

    a.actuator._lib.DT_step = step


def wrapper_dict_refilled(a, calls):
    d = a.actuator.__dict__
    saved = dict(d, _impedance_speed_reference=-0.2)
    d.clear()
    d.update(saved)


def actuator_dict_refilled(a, calls):
    d = a.__dict__
    saved = dict(d, _setpoint=-0.25)
    d.clear()
    d.update(saved)


MID_RUN_CHANGES = [shadow_set, shadow_deleted, setpoint_set, load_deleted, module_global_replaced,
                   library_attribute_replaced, wrapper_dict_refilled, actuator_dict_refilled]  # fmt: skip


def run_with_change(actuator, change):
    """300 ticks in one call, `change` made by the feedback callback at tick
    100; returns what happened, the calls the change counted and the log."""
    calls = []

    def callback(address, fb):
        if actuator._simulation_step_count == 100:
            change(actuator, calls)

    actuator.set_feedback_items(MIXED_ITEMS)
    actuator.set_feedback_callback(callback)
    actuator.start()
    actuator.change_position_setpoint(0.8)
    actuator.step()
    real_ctypes = backend.ctypes
    try:
        outcome = ("stepped", actuator.step(steps=299))
    except AttributeError as e:
        outcome = ("failed", str(e))
    finally:
        backend.ctypes = real_ctypes
    return outcome, actuator._simulation_step_count, len(calls), actuator.telemetry_log


@pytest.mark.parametrize("change", MID_RUN_CHANGES, ids=[c.__name__ for c in MID_RUN_CHANGES])
def test_a_change_between_ticks_is_seen_at_the_next_tick(change):
    """Each kind of change a callback can make in the middle of a long step()
    reaches the very next tick: the loop without Python code gives exactly
    what the ordinary calls (of the actuator and of the wrapper) give."""
    fast, slow = connected(), connected(PythonLevel)
    slow.actuator.__class__ = OrdinaryWrapper
    before = virtual._python_free_ticks()
    ran = [run_with_change(x, change) for x in (fast, slow)]
    assert virtual._python_free_ticks() - before >= 99  # the fast run's first part
    (outcome_a, count_a, calls_a, log_a), (outcome_b, count_b, calls_b, log_b) = ran
    assert outcome_a[0] == outcome_b[0] and count_a == count_b
    if outcome_a[0] == "stepped":
        assert all(same_value(outcome_a[1][i], outcome_b[1][i]) for i in MIXED_ITEMS)
        assert count_a == 300 and calls_a == calls_b == (200 if change in (module_global_replaced, library_attribute_replaced) else 0)
    else:
        names = (("PythonLevel", "DorozeActuatorVirtual"), ("OrdinaryWrapper", "ActuatorWrapper"))
        for a, b in names:
            outcome_b = (outcome_b[0], outcome_b[1].replace(a, b))
        assert outcome_a[1] == outcome_b[1] and count_a == 100
    for f in dataclasses.fields(VirtualActuatorLog):
        xa, xb = getattr(log_a, f.name), getattr(log_b, f.name)
        if isinstance(xa, list):
            assert len(xa) == len(xb) == count_a, f.name
            assert all(same_value(p, q) for p, q in zip(xa, xb)), f.name
    if change is shadow_set:
        assert log_a.inp_ref_ff_torque[99:101] == [0.0, 0.3]
    if change is setpoint_set:
        assert log_a.inp_ref[99:101] == [0.8, 0.4]
    for x in (fast, slow):
        x.disconnect()


WATCHER_SCRIPT = r"""
import ctypes, json, sys

callback_type = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
ignore = callback_type(lambda *args: 0)
api = ctypes.pythonapi
api.PyDict_AddWatcher.argtypes = [callback_type]
api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]


def take_all():
    taken = []
    while True:
        try:
            taken.append(api.PyDict_AddWatcher(ignore))
        except RuntimeError:  # none left
            return taken


free = take_all()
if sys.argv[1] == "count":
    for watcher in free:
        api.PyDict_ClearWatcher(watcher)
import vez_api.doroze_actuator_virtual as virtual
from virtual_actuators import connected

left = take_all()
a = connected()
a.set_feedback_items([virtual.DorozeActuatorVirtual.VEZ_Items.POSITION_FB])
a.start()
a.change_position_setpoint(0.5)
a.step()
a.step(steps=500)
print(json.dumps({"free": len(free), "left": len(left), "python_free": virtual._python_free_ticks(),
                  "position": a.telemetry_log.pos_fb[-1], "ticks": len(a.telemetry_log.time)}))
a.disconnect()
for watcher in left + (free if sys.argv[1] == "starve" else []):
    api.PyDict_ClearWatcher(watcher)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no dict watchers before 3.12")
def test_dict_watchers_taken_and_done_without():
    """The package takes one dict watcher per module that needs one (the
    backend and the virtual actuator) and, when none is left, steps the same
    without its Python-free ticks."""

    def run(mode):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.abspath(__file__)), *sys.path]))
        done = subprocess.run([sys.executable, "-c", WATCHER_SCRIPT, mode], capture_output=True, text=True, env=env,
                              timeout=120, check=True)  # fmt: skip
        return json.loads(done.stdout)

    counted, starved = run("count"), run("starve")
    assert counted["free"] - counted["left"] == 2 and counted["python_free"] == 500
    assert starved["left"] == 0 and starved["python_free"] == 0
    assert starved["position"] == counted["position"] and starved["ticks"] == counted["ticks"] == 501
