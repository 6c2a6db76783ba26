"""DorozeActuatorReal against a recording transport (every payload and state
change) and against the scripted actuator answering from another thread."""

import gc
import inspect
import logging
import math
import struct
import sys
import threading
import warnings
from unittest import mock

import pytest

import vez_api.doroze_actuator_real as real_module
from actuator_answers import (
    FakeClock,
    ScriptedActuator,
    ThreadedBus,
    beacon,
    errors_report,
    f32,
    items_answer,
    pack_version,
    pad_can_fd,
    parameters_answer,
)
from vez_api._doroze_actuator_base import DorozeActuatorBase
from vez_api.doroze_actuator_real import DorozeActuatorReal

Mode = DorozeActuatorReal.Mode
Rates = DorozeActuatorReal.Rates
Items = DorozeActuatorReal.VEZ_Items
Params = DorozeActuatorReal.VEZ_Parameters
NAN = [0x00, 0x00, 0xC0, 0x7F]


def hexes(payload):
    return bytes(payload).hex().upper()


@pytest.fixture
def transport():
    return mock.Mock()


@pytest.fixture
def actuator(transport):
    return DorozeActuatorReal(transport, 16)


@pytest.fixture
def clock():
    fake = FakeClock()
    with mock.patch.object(real_module, "time", fake):
        yield fake


def sent(transport):
    """Payloads handed to the transport, in order."""
    return [c.args[1] for c in transport._send_VEZ.call_args_list]


def sent_flags(transport):
    return [c.kwargs["can_high_speed"] for c in transport._send_VEZ.call_args_list]


# --- class and construction ------------------------------------------------------


def test_class_surface():
    assert DorozeActuatorReal.__mro__ == (DorozeActuatorReal, DorozeActuatorBase, object)
    assert DorozeActuatorReal.__doc__ == "Control a physical Doroze actuator through a VEZ transport."
    assert DorozeActuatorReal.__module__ == "vez_api.doroze_actuator_real"
    assert DorozeActuatorReal.__annotations__ == {"_firmware_version": str}
    assert real_module.MAX_FEEDBACK_RATE_ALLOWED_HZ == 20000
    assert (real_module.VEZ_ACTUATOR_ADDRESS_MAX, real_module.VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST,
            real_module.VEZ_MAX_PARAMETERS_PER_REQUEST) == (16382, 10, 9)
    assert real_module.DorozeActuatorBase is DorozeActuatorBase
    assert math.isnan(real_module.nan) and real_module.math is math
    assert DorozeActuatorReal.VEZ_Items is DorozeActuatorBase.VEZ_Items


def test_nan_defaults_in_signatures():
    sig = inspect.signature(DorozeActuatorReal.change_impedance_setpoint)
    assert list(sig.parameters) == ["self", "setpoint", "FF_gain", "K_stiff", "K_damp", "J_imp", "ref_ff_torque",
                                    "ref_impedance_spd", "ref_impedance_acel"]
    assert all(math.isnan(p.default) for p in list(sig.parameters.values())[2:])
    assert str(inspect.signature(DorozeActuatorReal.__init__)) == "(self, adapter_handler, address, logger=None)"


def test_construction_registers_and_sends_nothing(transport):
    a = DorozeActuatorReal(transport, 16.0)
    transport.set_callback.assert_called_once_with(16, a._can_callback)
    transport._send_VEZ.assert_not_called()
    assert a._adapter is transport and a.version == "x.x.x" and a._firmware_version == "x.x.x"
    assert a.address == 16 and a.logger.name == "vez_api._doroze_actuator_base"
    assert a.connected is False and a.model == ""
    with pytest.raises(TypeError, match=r"Argument 'address' has incorrect type \(expected int, got str\)"):
        DorozeActuatorReal(transport, "16")
    custom = logging.getLogger("mine")
    assert DorozeActuatorReal(transport, 17, logger=custom).logger is custom


def test_subclass_init_follows_the_mro(transport):
    order = []

    class Mixin(DorozeActuatorBase):
        def __init__(self, **kwargs):
            order.append(sorted(kwargs))
            super().__init__(**kwargs)

    class Mine(DorozeActuatorReal, Mixin):
        pass

    Mine(transport, 20)
    assert order == [["address", "logger"]]


# --- send path ---------------------------------------------------------------------


def test_send_common_and_the_high_speed_rule(actuator, transport):
    actuator._send_VEZ_common([1, 2], high_speed_candidate=True)
    actuator._can_high_speed = True
    actuator._send_VEZ_common([3], high_speed_candidate=True)
    actuator._send_VEZ_common([4])
    assert transport._send_VEZ.call_args_list == [
        mock.call(16, [1, 2], can_high_speed=False),
        mock.call(16, [3], can_high_speed=True),
        mock.call(16, [4], can_high_speed=False),
    ]
    with pytest.raises(TypeError, match=r"Argument 'msg' has incorrect type \(expected list, got tuple\)"):
        actuator._send_VEZ_common((1,))
    assert transport._send_VEZ.call_count == 3


ONE_BYTE_COMMANDS = [
    ("start", [0x01]),
    ("stop", [0x02]),
    ("blink", [0x41]),
    ("set_home_position", [0x0A]),
    ("save_config", [0x39]),
]


@pytest.mark.parametrize("method, payload", ONE_BYTE_COMMANDS)
def test_one_byte_commands(actuator, transport, method, payload):
    actuator._can_high_speed = True  # never used by these
    getattr(actuator, method)()
    assert transport._send_VEZ.call_args_list == [mock.call(16, payload, can_high_speed=False)]


def test_enter_bootloader_pauses(actuator, transport, clock):
    actuator.enter_bootloader()
    assert sent(transport) == [[0xC1]] and clock.sleeps == [0.1]


def test_mode_and_performance_commands(actuator, transport):
    actuator._can_high_speed = True
    actuator.change_mode(Mode.TORQUE)
    assert actuator._current_mode is Mode.TORQUE
    actuator.set_torque_performance(DorozeActuatorReal.TorquePerformance.SOFT)
    actuator.set_speed_performance(DorozeActuatorReal.SpeedPerformance.CUSTOM)
    assert sent(transport) == [[0x03, 5], [0x0D, 3], [0x0E, 4]]
    assert sent_flags(transport) == [False, False, False]


@pytest.mark.parametrize("call, text", [
    (lambda a: a.change_mode(5), r"'mode' has incorrect type \(expected Mode, got int\)"),
    (lambda a: a.change_mode(Rates.RATE_1HZ), r"'mode' has incorrect type \(expected Mode, got Rates\)"),
    (lambda a: a.set_torque_performance(DorozeActuatorReal.SpeedPerformance.SOFT),
     r"expected TorquePerformance, got SpeedPerformance"),
    (lambda a: a.set_speed_performance(2), r"expected SpeedPerformance, got int"),
    (lambda a: a.change_setpoint("1"), r"'setpoint' has incorrect type \(expected float, got str\)"),
    (lambda a: a.change_torque_setpoint(1.0, iq_Ki=None), r"'iq_Ki' has incorrect type \(expected float, got NoneType\)"),
])
def test_wrong_argument_types_send_nothing(actuator, transport, call, text):
    with pytest.raises(TypeError, match=text):
        call(actuator)
    transport._send_VEZ.assert_not_called()
    assert actuator._current_mode is None


UNSENDABLE = [math.inf, -math.inf, 1e39, -3.5e38, 10**400]


@pytest.mark.parametrize("value", UNSENDABLE)
@pytest.mark.parametrize("method, mode, action, floats", [
    ("change_torque_setpoint", "TORQUE", 0x11, ["setpoint", "id_Kp", "id_Ki", "iq_Kp", "iq_Ki"]),
    ("change_speed_setpoint", "SPEED", 0x12, ["setpoint", "FF_gain", "spd_Ki", "spd_Kp", "ref_ff_torque"]),
    ("change_position_setpoint", "POSITION", 0x13,
     ["setpoint", "FF_gain", "spd_Ki", "spd_Kp", "pos_Kp", "ref_ff_torque"]),
    ("change_impedance_setpoint", "IMPEDANCE", 0x14,
     ["setpoint", "FF_gain", "K_stiff", "K_damp", "J_imp", "ref_ff_torque", "ref_impedance_spd",
      "ref_impedance_acel"]),
    ("internal_change_speed_setpoint", "SPEED", 0x15, ["setpoint", "spd_b0", "spd_wc", "spd_wo"]),
    ("internal_change_position_setpoint", "POSITION", 0x16,
     ["setpoint", "pos_Ki", "pos_Kd", "pos_b0", "pos_wc", "pos_wo", "spd_b0", "spd_wc", "spd_wo"]),
])
def test_setpoints_and_gains_that_no_motor_should_get_are_refused(actuator, transport, method, mode, action,
                                                                  floats, value):
    # An infinity or a value beyond float32 would go out as a demand at the
    # float's limit: refused, naming the argument, before anything is sent
    # (the mode switch included).
    for name in floats:
        kwargs = {"setpoint": 0.0, name: value}
        with pytest.raises(ValueError, match=rf"^{name} must be a finite number within the float32 range, got "):
            getattr(actuator, method)(**kwargs)
    transport._send_VEZ.assert_not_called()
    assert actuator._current_mode is None


def test_change_setpoint_refuses_what_cannot_be_sent(actuator, transport):
    for value in UNSENDABLE:
        with pytest.raises(ValueError, match=r"^setpoint must be a finite number within the float32 range"):
            actuator.change_setpoint(value)
    transport._send_VEZ.assert_not_called()
    # Large but representable values, and NaN (a value not given), still go out.
    actuator.change_setpoint(2.0**70)
    actuator.change_setpoint(3.4028234e38)
    actuator.change_setpoint(math.nan)
    assert sent(transport) == [[0x04] + f32(2.0**70), [0x04] + f32(3.4028234e38), [0x04] + NAN]
    actuator.change_torque_setpoint(1.0, iq_Ki=math.nan)
    assert sent(transport)[-1] == [0x11] + f32(1.0) + NAN * 4


def test_parameter_values_that_cannot_be_sent_are_refused(actuator, transport):
    params = {p: 1.0 for p in list(Params)[:12]}  # two batches
    params[Params.LIM_TORQUE] = math.inf
    with pytest.raises(ValueError, match=r"^parameters\[LIM_TORQUE\] must be a finite number within the float32"):
        actuator.set_parameters(params)
    transport._send_VEZ.assert_not_called()  # not even the first batch
    with pytest.raises(ValueError, match=r"^parameters\[KP_SPEED\] must be .* got -1e\+39$"):
        actuator.set_parameters({Params.KP_SPEED: -1e39})
    actuator.set_parameters({Params.LIM_TORQUE: math.nan})
    assert sent(transport) == [[0x0B, Params.LIM_TORQUE.value] + NAN]


@pytest.mark.parametrize("address", [0.5, 16.9, True, False, math.nan, math.inf])
def test_an_address_that_is_not_a_whole_number_is_refused(transport, address):
    # Rounding would pick another device: 0.5 is the one on the USB port.
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got "):
        DorozeActuatorReal(transport, address)
    transport.set_callback.assert_not_called()
    a = DorozeActuatorReal(transport, 16)
    with pytest.raises(TypeError, match=r"^Argument 'new_address' has incorrect type \(expected int, got "):
        a.change_address(address)
    transport._send_VEZ.assert_not_called()
    assert a.address == 16
    a.change_address(32.0)  # a whole number is an address
    assert sent(transport) == [[0x0B, 0x81] + f32(32.0)] and a.address == 32


# --- setpoints -------------------------------------------------------------------------

SETPOINTS = [
    # method, required mode, action byte, number of floats
    ("change_torque_setpoint", Mode.TORQUE, 0x11, 5),
    ("change_speed_setpoint", Mode.SPEED, 0x12, 5),
    ("change_position_setpoint", Mode.POSITION, 0x13, 6),
    ("change_impedance_setpoint", Mode.IMPEDANCE, 0x14, 8),
    ("internal_change_speed_setpoint", Mode.SPEED, 0x15, 4),
    ("internal_change_position_setpoint", Mode.POSITION, 0x16, 9),
]


@pytest.mark.parametrize("method, mode, action, floats", SETPOINTS)
def test_mode_bound_setpoints(actuator, transport, method, mode, action, floats):
    setpoint = getattr(actuator, method)
    setpoint(2.0)
    assert sent(transport) == [[0x03, mode.value], [action] + f32(2.0) + NAN * (floats - 1)]
    assert len(sent(transport)[1]) == 1 + 4 * floats
    assert actuator._current_mode is mode
    # Same mode again: the setpoint alone; every argument in its place.
    values = [0.5 * (k + 1) for k in range(floats)]
    setpoint(*values)
    assert sent(transport)[2] == [action] + sum((f32(v) for v in values), [])
    assert transport._send_VEZ.call_count == 3


def test_torque_setpoint_golden_bytes(actuator, transport):
    actuator.change_torque_setpoint(2.0)
    assert [hexes(p) for p in sent(transport)] == ["0305", "11" "00000040" + "0000C07F" * 4]


def test_setpoint_keywords_and_mode_switches(actuator, transport):
    actuator.change_speed_setpoint(1.0, ref_ff_torque=3.0, spd_Kp=0.25)
    assert sent(transport)[1] == [0x12] + f32(1.0) + NAN + NAN + f32(0.25) + f32(3.0)
    actuator.change_position_setpoint(0.0)
    actuator.internal_change_position_setpoint(0.0)
    actuator.internal_change_speed_setpoint(0.0)
    assert [p[0] for p in sent(transport)] == [0x03, 0x12, 0x03, 0x13, 0x16, 0x03, 0x15]


def test_change_setpoint_ignores_the_mode(actuator, transport):
    actuator.change_setpoint(1.5)
    actuator._current_mode = Mode.POSITION
    actuator.change_setpoint(1.5)
    assert [hexes(p) for p in sent(transport)] == ["040000C03F"] * 2
    assert actuator._current_mode is Mode.POSITION


def test_setpoints_go_high_speed_only_when_enabled(actuator, transport):
    actuator.set_can_high_speed(True)
    assert sent(transport) == [[0x0B, 0x85] + f32(1.0)]
    assert actuator._can_high_speed is True
    actuator.change_torque_setpoint(1.0)
    actuator.change_setpoint(1.0)
    actuator.start()
    actuator.stop()
    assert sent_flags(transport) == [False, False, True, True, False, False]
    actuator.set_can_high_speed(0)
    assert sent(transport)[-1] == [0x0B, 0x85] + f32(0.0) and actuator._can_high_speed is False
    actuator.change_setpoint(1.0)
    assert sent_flags(transport)[-1] is False


def test_calls_dispatch_through_self(transport):
    calls = []

    class Recording(DorozeActuatorReal):
        def change_mode(self, mode):
            calls.append(("change_mode", mode))
            super().change_mode(mode)

        def _send_VEZ_common(self, msg, high_speed_candidate=False):
            calls.append(("send", msg[0], high_speed_candidate))

    a = Recording(transport, 16)
    a.change_torque_setpoint(1.0)
    a.set_can_high_speed(True)
    assert calls == [("change_mode", Mode.TORQUE), ("send", 0x03, False), ("send", 0x11, True),
                     ("send", 0x0B, False)]
    with mock.patch.object(a, "set_parameters") as set_parameters:
        a.change_address(20)
    set_parameters.assert_called_once_with({Params.VEZ_ADDRESS: 20.0})
    transport._send_VEZ.assert_not_called()


def test_patched_methods_are_honoured(actuator, transport):
    with mock.patch.object(actuator, "_send_VEZ_common") as on_instance:
        actuator.change_torque_setpoint(1.0)
    assert on_instance.call_args_list == [mock.call([0x03, 5]), mock.call([0x11] + f32(1.0) + NAN * 4,
                                                                          high_speed_candidate=True)]
    with mock.patch.object(DorozeActuatorReal, "_send_VEZ_common") as on_class:
        actuator.stop()
    on_class.assert_called_once_with([0x02])
    actuator._current_mode = None
    with mock.patch.object(actuator, "change_mode") as change_mode:
        actuator.change_speed_setpoint(1.0)
    change_mode.assert_called_once_with(Mode.SPEED)
    transport._send_VEZ.assert_called_once()  # only the setpoint reached the transport


def test_overridden_address_property_is_used(transport):
    class Elsewhere(DorozeActuatorReal):
        @property
        def address(self):
            return 99

    a = Elsewhere(transport, 16)
    a.start()
    a.set_error_callback(mock.Mock())
    a._DorozeActuatorReal__parse_errors(1)
    assert transport._send_VEZ.call_args.args[0] == 99
    a._error_callback.assert_called_once_with(99, {0: "Overtemperature"})


# --- mode, address, connection ------------------------------------------------------------


def test_get_mode_known_sends_nothing(actuator, transport):
    actuator._current_mode = Mode.IMPEDANCE
    assert actuator.get_mode() is Mode.IMPEDANCE
    transport._send_VEZ.assert_not_called()


def test_get_mode_unanswered_falls_back_to_speed(actuator, transport, clock, caplog):
    with mock.patch.object(actuator, "get_parameters", wraps=actuator.get_parameters) as get_parameters:
        with caplog.at_level(logging.ERROR):
            assert actuator.get_mode() is Mode.SPEED
    get_parameters.assert_called_once_with([Params.MODE], timeout=0.5)
    assert sent(transport) == [[0x0C, 0x30]]
    assert actuator._current_mode is None
    assert [r.getMessage() for r in caplog.records] == ["Timeout while waiting for response"]


def test_change_address(actuator, transport, caplog):
    with caplog.at_level(logging.WARNING):
        actuator.change_address(16)
        actuator.change_address(15)
        actuator.change_address(16383)
        actuator.change_address(10**30)
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("WARNING", "New address is the same as the current address 16"),
        ("ERROR", "Invalid new address 15. Address must be between 0x10 and 0x3FFE (16 to 16382)"),
        ("ERROR", "Invalid new address 16383. Address must be between 0x10 and 0x3FFE (16 to 16382)"),
        ("ERROR", f"Invalid new address {10**30}. Address must be between 0x10 and 0x3FFE (16 to 16382)"),
    ]
    transport._send_VEZ.assert_not_called()
    actuator.change_address(0x3FFE)
    assert sent(transport) == [[0x0B, 0x81] + f32(16382.0)]
    assert actuator.address == 16382
    transport.set_callback.assert_called_once()  # the registration stays under 16
    actuator.start()
    assert transport._send_VEZ.call_args.args[0] == 16382
    with pytest.raises(TypeError, match=r"Argument 'new_address' has incorrect type \(expected int, got str\)"):
        actuator.change_address("17")


def test_disconnect_stops_before_unregistering(actuator, transport):
    actuator._connected = True
    actuator.disconnect()
    assert [c[0] for c in transport.method_calls] == ["set_callback", "_send_VEZ", "remove_callback"]
    assert transport._send_VEZ.call_args == mock.call(16, [0x02], can_high_speed=False)
    transport.remove_callback.assert_called_once_with(16)
    assert actuator.connected is False


def test_unanswered_ping(actuator, transport, clock):
    assert actuator.connect(timeout=0.05) is False
    assert sent(transport) == [[0x40]] and actuator.connected is False
    assert set(clock.sleeps) == {0.01} and 5 <= len(clock.sleeps) <= 6


def test_ping_answered_while_waiting(actuator, transport):
    clock = FakeClock(on_sleep=lambda s: actuator._can_callback(16, beacon(9, pack_version(2, 3, 4)), 1))
    with mock.patch.object(real_module, "time", clock):
        assert actuator.connect() is True
    assert clock.sleeps == [0.01]  # seen within one polling step
    assert (actuator.connected, actuator.version, actuator.model) == (True, "2.3.4", "NOVA_1")


def test_parse_firmware_version():
    parse = DorozeActuatorReal._parse_firmware_version
    assert (parse(0x0841), parse(0xFFFF), parse(0), parse(True)) == ("1.1.1", "31.31.63", "0.0.0", "0.0.1")
    with pytest.raises(TypeError, match=r"'firmware_version_uint16' has incorrect type \(expected int, got float\)"):
        parse(1.0)


# --- feedback requests ------------------------------------------------------------------------


def test_feedback_items(actuator, transport):
    actuator._feedback[Items.VBUS] = 1.0
    actuator.set_feedback_items([Items.SPEED_FB, Items.POSITION_FB])
    assert sent(transport) == [[0x07, 69, 76]] and sent_flags(transport) == [False]
    assert actuator._feedback == {}
    actuator.set_feedback_items([])
    assert sent(transport)[-1] == [0x07]


@pytest.mark.parametrize("method, action", [("set_feedback_items", 0x07), ("get_items_blocking", 0x0F)])
def test_too_many_items_warn_and_are_cut(actuator, transport, clock, method, action):
    eleven = list(Items)[:11] + ["not checked"]
    with pytest.warns(UserWarning) as w:
        getattr(actuator, method)(eleven)
    assert len(w) == 1 and w[0].filename == __file__
    assert str(w[0].message) == "Feedback item requests are limited to 10; the extra items will be ignored."
    assert sent(transport) == [[action] + [m.value for m in eleven[:10]]]


def test_feedback_item_type_checks(actuator, transport):
    with pytest.raises(TypeError, match=r"Argument 'items' has incorrect type \(expected list, got tuple\)"):
        actuator.set_feedback_items((Items.IA,))
    with pytest.raises(TypeError, match=r"Argument 'items\[1\]' has incorrect type \(expected VEZ_Items, got int\)"):
        actuator.set_feedback_items([Items.IA, 69])
    with pytest.raises(TypeError, match=r"'items\[0\]'"):
        actuator.get_items_blocking([Params.MODE])
    transport._send_VEZ.assert_not_called()


@pytest.mark.parametrize("rate, divider", [
    (Rates.RATE_1KHZ, 20), (Rates.DISABLED, 0), (Rates.RATE_1HZ, 20000),
    (1000, 20), (300, 67), (20000, 1), (1, 20000), (0, 0), (True, 20000),
    (8000, 2), (1600, 12), (16000, 1), (7, 2857),
])
def test_feedback_rate(actuator, transport, rate, divider):
    actuator.set_feedback_rate(rate)
    assert sent(transport) == [[0x06] + list(struct.pack("<I", divider))]
    assert sent_flags(transport) == [False]


@pytest.mark.parametrize("rate, error, text", [
    (-1, ValueError, "Rate must be non-negative, got -1"),
    (-(10**30), ValueError, f"Rate must be non-negative, got {-(10**30)}"),
    (20001, ValueError, "Rate cannot exceed maximum feedback rate of 20000 Hz"),
    (10**30, ValueError, "Rate cannot exceed maximum feedback rate of 20000 Hz"),
    (2.5, TypeError, "rate must be a Rates enum or int, got float"),
    (None, TypeError, "rate must be a Rates enum or int, got NoneType"),
    (Mode.SPEED, TypeError, "rate must be a Rates enum or int, got Mode"),
])
def test_invalid_feedback_rates_send_nothing(actuator, transport, rate, error, text):
    with pytest.raises(error) as info:
        actuator.set_feedback_rate(rate)
    assert str(info.value) == text
    transport._send_VEZ.assert_not_called()


def test_blocking_read_times_out(actuator, transport, clock, caplog):
    actuator._low_feedback = {Items.IA: 1.0}
    with caplog.at_level(logging.ERROR):
        assert actuator.get_items_blocking([Items.IA, Items.TEMP_PCB], timeout=0.05) == {}
    assert sent(transport) == [[0x0F, 70, 113]] and sent_flags(transport) == [False]
    assert actuator._low_feedback == {}
    assert set(clock.sleeps) == {0.005} and 10 <= len(clock.sleeps) <= 11
    assert [r.getMessage() for r in caplog.records] == ["Timeout while waiting for response"]
    actuator._can_high_speed = True
    actuator.get_items_blocking([Items.IA], timeout=0)
    assert sent_flags(transport)[-1] is True


def test_blocking_read_returns_the_stored_answer(actuator, transport):
    answer = items_answer({70: 1.5})
    clock = FakeClock(on_sleep=lambda s: actuator._can_callback(16, answer, 1) if len(clock.sleeps) == 3 else None)
    with mock.patch.object(real_module, "time", clock):
        result = actuator.get_items_blocking([Items.IA])
    assert result == {Items.IA: 1.5} and result is actuator._low_feedback
    assert clock.sleeps == [0.005] * 3


# --- parameter requests ---------------------------------------------------------------------


def test_set_parameters_batches(actuator, transport):
    members = list(Params)
    actuator.set_parameters({})
    transport._send_VEZ.assert_not_called()
    actuator.set_parameters({m: float(i) for i, m in enumerate(members[:18])})
    assert [len(p) for p in sent(transport)] == [46, 46]
    assert sent(transport)[0][:6] == [0x0B, 0x01] + f32(0.0)
    assert sent(transport)[1][:6] == [0x0B, members[9].value] + f32(9.0)
    transport.reset_mock()
    actuator.set_parameters({m: 1 for m in members[:19]})
    assert [len(p) for p in sent(transport)] == [46, 46, 6]
    assert sent(transport)[2] == [0x0B, members[18].value] + f32(1.0)
    assert sent_flags(transport) == [False] * 3


def test_set_parameters_checks_everything_first(actuator, transport):
    with pytest.raises(TypeError, match=r"Argument 'parameters' has incorrect type \(expected dict, got list\)"):
        actuator.set_parameters([(Params.MODE, 1.0)])
    bad_value = {m: 1.0 for m in list(Params)[:12]}
    bad_value[Params.CAN_HIGH_SPEED] = "on"
    with pytest.raises(TypeError, match=r"'parameters\[CAN_HIGH_SPEED\]' has incorrect type \(expected float"):
        actuator.set_parameters(bad_value)
    with pytest.raises(TypeError, match=r"'parameters key' has incorrect type \(expected VEZ_Parameters, got int\)"):
        actuator.set_parameters({Params.MODE: 1.0, 48: 2.0})
    transport._send_VEZ.assert_not_called()


def test_get_parameters_timeout(actuator, transport, clock, caplog):
    with caplog.at_level(logging.ERROR):
        assert actuator.get_parameters(list(Params)[:12], timeout=0.05) == {}
    # The first batch times out: the rest is not requested.
    assert sent(transport) == [[0x0C] + list(range(1, 10))]
    assert set(clock.sleeps) == {0.01}
    assert [r.getMessage() for r in caplog.records] == ["Timeout while waiting for response"]
    with pytest.raises(TypeError, match=r"'parameters\[10\]' has incorrect type"):
        actuator.get_parameters(list(Params)[:10] + ["MODE"])
    assert transport._send_VEZ.call_count == 1


def test_get_parameters_all_asks_for_every_member(actuator):
    with mock.patch.object(actuator, "get_parameters", return_value="result") as get_parameters:
        assert actuator.get_parameters_all() == "result"
    get_parameters.assert_called_once_with(list(Params))


def test_restore_factory_parameters(actuator, transport, clock):
    actuator._can_high_speed = True
    actuator._current_mode = Mode.SPEED
    old = (actuator._feedback, actuator._low_feedback, actuator._parameters)
    actuator._parameters[Params.MODE] = Mode.SPEED
    actuator.restore_factory_parameters(settle_time=0)
    assert sent(transport) == [[0x02], [0x06, 0, 0, 0, 0], [0xC2]]
    assert actuator._can_high_speed is False and actuator._current_mode is None
    assert (actuator._feedback, actuator._low_feedback, actuator._parameters) == ({}, {}, {})
    assert all(new is not before for new, before in zip(
        (actuator._feedback, actuator._low_feedback, actuator._parameters), old))
    assert clock.sleeps == []
    actuator.restore_factory_parameters()
    assert clock.sleeps == [1.0]


def test_restore_dispatches_through_self(actuator):
    with mock.patch.object(actuator, "stop") as stop, mock.patch.object(actuator, "set_feedback_rate") as rate:
        actuator.restore_factory_parameters(settle_time=0)
    stop.assert_called_once_with()
    rate.assert_called_once_with(Rates.DISABLED)


# --- older names ---------------------------------------------------------------------------------

FORWARDING = [
    ("changeAddress", "change_address", (20,)),
    ("setFeedbackItems", "set_feedback_items", ([Items.IA],)),
    ("setFeedbackRate", "set_feedback_rate", (1000,)),
    ("set_high_freq_feedback_items", "set_feedback_items", ([Items.IA],)),
    ("setHighFreqFeedbackItems", "set_feedback_items", ([Items.IA],)),
    ("set_high_freq_feedback_rate", "set_feedback_rate", (Rates.RATE_2KHZ,)),
    ("setHighFreqFeedbackRate", "set_feedback_rate", (5,)),
    ("reset_encoder_position", "set_home_position", ()),
]


@pytest.mark.parametrize("old, new, args", FORWARDING)
def test_older_names_forward(transport, old, new, args):
    current, legacy = DorozeActuatorReal(transport, 16), DorozeActuatorReal(transport, 16)
    getattr(current, new)(*args)
    expected = sent(transport)
    transport.reset_mock()
    with pytest.warns(DeprecationWarning) as w:
        getattr(legacy, old)(*args)
    assert len(w) == 1 and w[0].filename == __file__
    assert str(w[0].message) == f"{old} is deprecated, use {new} instead"
    assert sent(transport) == expected


@pytest.mark.parametrize("old, arg", [("set_low_freq_feedback_items", [Items.IA]),
                                      ("setLowFreqFeedbackItems", [Items.IA]),
                                      ("set_low_freq_feedback_rate", 10), ("setLowFreqFeedbackRate", 10)])
def test_low_rate_setters_only_warn(actuator, transport, old, arg):
    with pytest.warns(DeprecationWarning) as w:
        getattr(actuator, old)(arg)
    assert [str(x.message) for x in w] == [f"{old} is deprecated, use get_items_blocking instead"]
    assert w[0].filename == __file__
    transport._send_VEZ.assert_not_called()


def test_get_items_blocking_alias(actuator, transport, clock):
    with mock.patch.object(actuator, "get_items_blocking", return_value={Items.IA: 2.0}) as target:
        with pytest.warns(DeprecationWarning, match="getItemsBlocking is deprecated, use get_items_blocking instead"):
            assert actuator.getItemsBlocking([Items.IA]) == {Items.IA: 2.0}
    target.assert_called_once_with([Items.IA], timeout=1.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert actuator.getItemsBlocking([Items.IA], timeout=0.01) == {}


def test_firmware_version_property(actuator):
    actuator._firmware_version = "1.2.3"
    with pytest.warns(DeprecationWarning) as w:
        assert actuator.firmware_version == "1.2.3"
    assert str(w[0].message) == "firmware_version is deprecated, use version instead"
    assert w[0].filename == __file__


# --- receive routine -------------------------------------------------------------------------------


def test_ping_answer(actuator):
    actuator._can_callback(16, beacon(1, 0x0841), 1)
    assert (actuator.version, actuator.model, actuator._got_pong) == ("1.1.1", "NOVA_3", True)
    actuator._can_callback(16, beacon(99, 0xFFFF) + [0] * 3, 1)
    assert (actuator.version, actuator.model) == ("31.31.63", "")


def test_ping_answer_ends_the_message(actuator):
    callback = mock.Mock()
    actuator.set_feedback_callback(callback)
    actuator._can_callback(16, items_answer({69: 1.0}) + beacon(5, 0) + items_answer({70: 2.0}), 0)
    assert actuator.model == "CAN_ADAPTER" and actuator._feedback == {}
    callback.assert_not_called()


def test_stream_messages_merge_and_call_back(actuator):
    calls = []
    actuator.set_feedback_callback(lambda address, items: calls.append((address, dict(items))))
    actuator._can_callback(16, pad_can_fd(items_answer({69: 1.5, 76: -2.0})), 0)
    actuator._can_callback(16, items_answer({69: 3.0, 112: 24.0}), 0)
    assert calls == [(16, {Items.SPEED_FB: 1.5, Items.POSITION_FB: -2.0}),
                     (16, {Items.SPEED_FB: 3.0, Items.VBUS: 24.0})]
    assert actuator._feedback == {Items.SPEED_FB: 3.0, Items.POSITION_FB: -2.0, Items.VBUS: 24.0}
    assert actuator.get_feedback() is actuator._feedback
    assert actuator._low_feedback == {}


def test_answer_to_a_blocking_read(actuator):
    callback = mock.Mock()
    actuator.set_feedback_callback(callback)
    actuator._feedback[Items.IA] = 9.0
    actuator._can_callback(16, items_answer({70: 1.0, 99: 7}), 1)
    assert actuator._low_feedback == {Items.IA: 1.0, Items.ERROR_BITS: 7}
    assert actuator._feedback == {Items.IA: 9.0}
    callback.assert_not_called()


def test_empty_messages(actuator):
    callback = mock.Mock()
    actuator.set_feedback_callback(callback)
    actuator._low_feedback = {Items.IA: 1.0}
    actuator._can_callback(16, [0], 1)
    assert actuator._low_feedback == {}
    actuator._can_callback(16, [], 0)
    actuator._can_callback(16, [0, 0x45, 1, 2, 3, 4], 0)
    assert callback.call_args_list == [mock.call(16, {}), mock.call(16, {})]


def test_priority_is_compared_with_zero(actuator):
    callback = mock.Mock()
    actuator.set_feedback_callback(callback)
    for priority in (False, 0.0, 0):
        actuator._can_callback(16, items_answer({70: 1.0}), priority)
    for priority in (1, True, 10**30, -(10**30)):
        actuator._can_callback(16, items_answer({71: 2.0}), priority)
    assert callback.call_count == 3
    assert actuator._low_feedback == {Items.IB: 2.0}


def test_item_values_by_type(actuator):
    ones = [0xFF] * 4
    actuator._can_callback(16, [74] + ones + [99] + ones + [66] + ones + [69] + f32(0.1), 1)
    values = actuator._low_feedback
    assert values[Items.TORQUE_SENS_RAW] == -1 and values[Items.ERROR_BITS] == 4294967295
    assert values[Items.ENCODER_INT_RAW] == 4294967295
    assert values[Items.SPEED_FB] == struct.unpack("<f", bytes(f32(0.1)))[0]
    assert [type(v) for v in values.values()] == [int, int, int, float]


def test_unknown_code_is_logged_and_ends_the_message(actuator, caplog):
    callback = mock.Mock()
    actuator.set_feedback_callback(callback)
    with caplog.at_level(logging.ERROR):
        actuator._can_callback(16, items_answer({69: 1.0}) + [127, 1, 2], 0)
        actuator._can_callback(16, [0x81, 0, 0, 0, 0], 1)
    assert [r.getMessage() for r in caplog.records] == ["Unknown command 0x7F", "Unknown command 0x81"]
    callback.assert_not_called()
    assert actuator._feedback == {}


@pytest.mark.parametrize("payload", [
    items_answer({69: 1.0}) + [70, 1, 2, 3],    # a cut-off item after a whole one
    [0x80, 1, 0, 0x41],                         # cut-off ping answer
    [0x82, 1],                                  # cut-off error field
    [0x45],
])
def test_cut_off_records_raise_and_change_nothing(actuator, payload):
    errors = mock.Mock()
    callback = mock.Mock()
    actuator.set_error_callback(errors)
    actuator.set_feedback_callback(callback)
    actuator._feedback[Items.IA] = 1.0
    before = {k: (v.copy() if isinstance(v, dict) else v) for k, v in vars(actuator).items()}
    for priority in (0, 1):
        with pytest.raises(struct.error, match=r"truncated record 0x.. at index \d+: unpack requires a buffer of 4 bytes"):
            actuator._can_callback(16, payload, priority)
    assert vars(actuator) == before
    errors.assert_not_called()
    callback.assert_not_called()


def test_payload_forms(actuator):
    actuator._can_callback(16, bytes(items_answer({70: 2.0})), 1)
    assert actuator._low_feedback == {Items.IA: 2.0}
    actuator._can_callback(16, bytearray(items_answer({71: 3.0})), 1)
    assert actuator._low_feedback == {Items.IB: 3.0}
    actuator._can_callback(16, [True, False], 1)  # 0x01 is no record code
    with pytest.raises(ValueError, match=r"bytes must be in range\(0, 256\)"):
        actuator._can_callback(16, [0x45, 256, 0, 0, 0], 1)
    with pytest.raises(TypeError):
        actuator._can_callback(16, [0x45, "x"], 1)
    with pytest.raises(TypeError):
        actuator._can_callback(16, 7, 1)


def test_error_reports(actuator):
    reports = []
    actuator.set_error_callback(lambda address, errors: reports.append((address, errors)))
    actuator._can_callback(16, errors_report(0x80000001) + items_answer({69: 1.0}), 0)
    actuator._can_callback(16, errors_report(0x00000002), 1)
    actuator._can_callback(16, errors_report(0), 1)
    assert reports == [(16, {0: "Overtemperature", 31: "External encoder error"})]
    assert actuator._feedback == {}
    actuator._DorozeActuatorReal__parse_errors(0xFFFFFFFF)
    assert list(reports[-1][1].items()) == [
        (0, "Overtemperature"), (2, "Position reference maximum"), (3, "Position reference minimum"),
        (4, "Speed feedback maximum"), (5, "VBUS out of range"), (6, "Torque reference maximum"),
        (7, "Torque feedback maximum"), (8, "Position feedback maximum"), (9, "Position feedback minimum"),
        (12, "Control overrun"), (13, "Communication overrun"), (16, "Current maximum"), (17, "Invalid limits"),
        (29, "VBUS critical range"), (30, "Internal encoder error"), (31, "External encoder error")]
    actuator._DorozeActuatorReal__parse_errors(-1)  # two's complement: all bits set
    assert len(reports[-1][1]) == 16


def test_no_error_callback_means_no_reports(actuator, transport, caplog):
    actuator.set_error_callback(None)
    actuator._can_callback(16, errors_report(1 << 16 | 1), 1)
    assert sent(transport) == [] and caplog.records == []


def test_default_error_reaction_stops(actuator, transport, caplog):
    with caplog.at_level(logging.WARNING):
        actuator._can_callback(16, errors_report(1 << 16 | 1 << 3), 1)
    assert sent(transport) == [[0x02]]
    assert [r.getMessage() for r in caplog.records] == [
        "Actuator 0x010 Error code: 3 - Position reference minimum",
        "Actuator 0x010 Error code: 16 - Current maximum",
        "Actuator 0x010 Stopping actuator (use set_error_callback to change this behavior)"]


def test_parameter_answers_go_to_the_parser(actuator):
    with mock.patch.object(actuator, "_DorozeActuatorReal__parse_parameters") as parser:
        actuator._can_callback(16, [0x45, 0, 0, 0, 0, 0x83, 0x30, 1, 2], 1)
    parser.assert_called_once_with([0x30, 1, 2])
    assert actuator._low_feedback == {}


# --- parameter parser --------------------------------------------------------------------------------


def test_parameter_entries(actuator):
    parse = actuator._DorozeActuatorReal__parse_parameters
    parse([0x30] + f32(2.0) + [0x82, 1, 0, 0, 0, 0x07])  # 11 bytes: the last one is ignored
    assert actuator._parameters == {Params.MODE: Mode.FVI, Params.SERIAL_NUMBER: 1}
    assert actuator._current_mode is Mode.FVI and actuator._got_parameters is True
    parse([0x80] + list(struct.pack("<I", 0x0841)) + [0x81] + f32(16.0) + [0x84, 0xFF, 0xFF, 0xFF, 0xFF])
    assert actuator._parameters[Params.FIRMWARE_VERSION] == 0x0841
    assert actuator._parameters[Params.VEZ_ADDRESS] == 16.0
    assert actuator._parameters[Params.CONTROL_VERSION] == 4294967295
    assert len(actuator._parameters) == 5  # answers accumulate


def test_mode_truncates_towards_zero(actuator):
    actuator._DorozeActuatorReal__parse_parameters([0x30] + f32(7.9))
    assert actuator._current_mode is Mode.POSITION


@pytest.mark.parametrize("value, shown", [(9.0, "9.0"), (-5.0, "-5.0"), (1e30, "1.0000000150474662e+30"),
                                          (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "nan")])
def test_invalid_modes_keep_the_raw_float(actuator, caplog, value, shown):
    actuator._current_mode = Mode.TORQUE
    with caplog.at_level(logging.WARNING):
        actuator._DorozeActuatorReal__parse_parameters([0x30] + f32(value))
    assert [r.getMessage() for r in caplog.records] == [
        f"Invalid mode value {shown} for parameter VEZ_Parameters.MODE"]
    stored = actuator._parameters[Params.MODE]
    assert type(stored) is float and (math.isnan(stored) if math.isnan(value) else stored == struct.unpack(
        "<f", bytes(f32(value)))[0])
    assert actuator._current_mode is Mode.TORQUE and actuator._got_parameters is True


def test_zero_padding_ends_a_parameter_answer(actuator):
    # Five parameters padded to a 32-byte CAN FD frame: a whole zero entry at the end.
    answer = pad_can_fd(parameters_answer({c: float(c) for c in range(1, 6)}))
    assert len(answer) == 32
    actuator._can_callback(16, answer, 1)
    assert actuator._parameters == {Params(c): float(c) for c in range(1, 6)}
    assert actuator._got_parameters is True


def test_unknown_parameter_code_drops_the_whole_answer(actuator):
    with pytest.raises(ValueError, match="16 is not a valid"):
        actuator._DorozeActuatorReal__parse_parameters([0x01] + f32(1.0) + [0x10] + f32(2.0))
    assert actuator._parameters == {} and actuator._got_parameters is False


def test_answer_without_a_complete_entry(actuator):
    actuator._DorozeActuatorReal__parse_parameters([0x30, 0, 0, 0])
    actuator._DorozeActuatorReal__parse_parameters([0] * 10)
    actuator._can_callback(16, [0x83], 1)
    assert actuator._got_parameters is False and actuator._parameters == {}


# --- scripted actuator on its own thread ----------------------------------------------------------------


@pytest.fixture
def device():
    return ScriptedActuator(address=16, model=9, version=pack_version(3, 2, 1))


@pytest.fixture
def bus(device):
    b = ThreadedBus(device)
    yield b
    b.disconnect()


def test_connect_through_the_bus(bus, device):
    a = DorozeActuatorReal(bus, 16)
    assert a.connect() is True
    assert (a.connected, a.version, a.model) == (True, "3.2.1", "NOVA_1")
    assert threading.get_ident() not in bus.delivered_on
    a.disconnect()
    assert bus.requests()[-1] == ("STOP", None) and 16 not in bus._callbacks
    assert a.connect(timeout=0.05) is False  # nothing can reach it any more


def test_silent_actuator(bus, device):
    device.silent.add("PING")
    a = DorozeActuatorReal(bus, 16)
    assert a.send_ping(timeout=0.05) is False and a.connected is False


def test_parameters_in_several_padded_batches(bus, device):
    a = DorozeActuatorReal(bus, 16)
    wanted = list(Params)[:12]
    result = a.get_parameters(wanted)
    assert [args for action, args in bus.requests()] == [[p.value for p in wanted[:9]],
                                                         [p.value for p in wanted[9:]]]
    assert result is a._parameters
    assert result == {p: device.parameters[p.value] for p in wanted}


def test_every_parameter(bus, device):
    a = DorozeActuatorReal(bus, 16)
    result = a.get_parameters_all()
    assert [len(args) for _, args in bus.requests()] == [9, 9, 9, 4]
    assert set(result) == set(Params)
    assert result[Params.MODE] is Mode.SPEED and a._current_mode is Mode.SPEED
    assert result[Params.SERIAL_NUMBER] == 123456 and type(result[Params.DEVICE_MODEL]) is int
    assert result[Params.VEZ_ADDRESS] == 16.0
    assert bus.errors == []


def test_second_batch_unanswered(bus, device, caplog):
    """A read whose later batch times out is a timeout as a whole: a partial
    dictionary would pass for the complete answer."""
    device.answer_limit["GET_PARAMETERS"] = 1
    a = DorozeActuatorReal(bus, 16)
    with caplog.at_level(logging.ERROR):
        result = a.get_parameters(list(Params)[:12], timeout=0.3)
    assert [r.getMessage() for r in caplog.records] == ["Timeout while waiting for response"]
    assert result == {} and result is not a._parameters
    # The accumulating dictionary keeps what the first batch brought.
    assert set(a._parameters) == set(list(Params)[:9])


def test_get_mode_asks_the_actuator(bus, device):
    device.parameters[0x30] = 8.0
    a = DorozeActuatorReal(bus, 16)
    assert a.get_mode() is Mode.IMPEDANCE and a._current_mode is Mode.IMPEDANCE
    assert a.get_mode() is Mode.IMPEDANCE
    assert len(bus.requests()) == 1


def test_written_parameters_read_back(bus, device):
    a = DorozeActuatorReal(bus, 16)
    a.set_parameters({Params.LIM_TORQUE: 2.5, Params.KP_SPEED: 0.125})
    assert a.get_parameters([Params.LIM_TORQUE, Params.KP_SPEED]) == {Params.LIM_TORQUE: 2.5, Params.KP_SPEED: 0.125}


def test_blocking_item_read(bus, device):
    a = DorozeActuatorReal(bus, 16)
    result = a.get_items_blocking([Items.SPEED_FB, Items.TORQUE_SENS_RAW, Items.ERROR_BITS])
    assert result == {Items.SPEED_FB: 1.25, Items.TORQUE_SENS_RAW: -3, Items.ERROR_BITS: 0x80000001}
    assert bus.sent[-1][3] is False  # no high speed unless enabled


def test_feedback_stream(bus, device):
    a = DorozeActuatorReal(bus, 16)
    seen, threads = [], set()

    def on_feedback(address, items):
        threads.add(threading.get_ident())
        seen.append((address, dict(items)))

    a.set_feedback_callback(on_feedback)
    a.set_feedback_items([Items.SPEED_FB, Items.POSITION_FB])
    a.set_feedback_rate(1000)
    assert device.stream_items == [69, 76] and device.divider == 20
    for k in range(50):
        device.items[69] = float(k)
        bus.stream(device, 1)
    bus.wait_idle()
    assert [items[Items.SPEED_FB] for _, items in seen] == [float(k) for k in range(50)]
    assert all(address == 16 and set(items) == {Items.SPEED_FB, Items.POSITION_FB} for address, items in seen)
    assert threads == bus.delivered_on and threading.get_ident() not in threads
    assert a.get_feedback() == {Items.SPEED_FB: 49.0, Items.POSITION_FB: -0.5}


def test_error_report_with_a_user_callback(bus, device):
    a = DorozeActuatorReal(bus, 16)
    reports = []
    a.set_error_callback(lambda address, errors: reports.append((threading.get_ident(), address, errors)))
    bus.deliver(16, pad_can_fd(errors_report(1 << 30 | 1 << 1)))
    bus.wait_idle()
    assert [(address, errors) for _, address, errors in reports] == [(16, {30: "Internal encoder error"})]
    assert reports[0][0] in bus.delivered_on
    assert ("STOP", None) not in bus.requests()


def test_default_error_reaction_stops_from_the_receive_thread(bus, device, caplog):
    a = DorozeActuatorReal(bus, 16)
    with caplog.at_level(logging.WARNING, logger="vez_api._doroze_actuator_base"):
        bus.deliver(16, errors_report(1 << 17))
        bus.wait_idle()
    assert bus.requests() == [("STOP", None)]
    assert bus.sent_from[-1] in bus.delivered_on
    assert caplog.records[-1].getMessage().endswith("Stopping actuator (use set_error_callback to change this behavior)")
    assert a._feedback == {} and bus.errors == []


def test_receive_thread_survives_bad_messages(bus, device):
    a = DorozeActuatorReal(bus, 16)
    a.set_feedback_callback(mock.Mock(side_effect=[RuntimeError("user bug"), None]))
    bus.deliver(16, [0x45, 0, 0], 0)
    bus.deliver(16, items_answer({69: 1.0}), 0)
    bus.deliver(16, [0x83, 0x10, 0, 0, 0, 0], 1)
    bus.deliver(16, items_answer({69: 2.0}), 0)
    bus.wait_idle()
    assert [type(e) for e in bus.errors] == [struct.error, RuntimeError, ValueError]
    assert a._feedback == {Items.SPEED_FB: 2.0}
    assert a.connect() is True


# --- memory and references ----------------------------------------------------------------------------------


@pytest.mark.slow
def test_receive_routine_memory_is_flat(memory_flat, transport):
    a = DorozeActuatorReal(transport, 16)
    a.set_feedback_callback(lambda address, items: None)
    stream = pad_can_fd(items_answer({69: 1.0, 74: -1, 99: 7, 112: 24.0}))
    answer = items_answer({70: 1.0})
    memory_flat(lambda: a._can_callback(16, stream, 0))
    memory_flat(lambda: a._can_callback(16, answer, 1))


@pytest.mark.slow
def test_parser_and_error_paths_keep_references(memory_flat, transport):
    a = DorozeActuatorReal(transport, 16)
    a.set_error_callback(lambda address, errors: None)
    params = pad_can_fd(parameters_answer({0x30: 5.0, 0x82: 9, 0x01: 1.0}))
    errors = errors_report(0xFFFFFFFF)
    truncated = [0x45, 1, 2]

    def bad():
        try:
            a._can_callback(16, truncated, 0)
        except struct.error:
            pass

    member = Items.SPEED_FB
    gc.collect()
    refs = sys.getrefcount(member), sys.getrefcount(Mode.TORQUE), sys.getrefcount(Params.MODE)
    memory_flat(lambda: a._can_callback(16, params, 1), calls=200_000)
    memory_flat(lambda: a._can_callback(16, errors, 1), calls=200_000)
    memory_flat(bad, calls=200_000)
    a._feedback.clear()
    a._parameters.clear()
    a._current_mode = None
    assert (sys.getrefcount(member), sys.getrefcount(Mode.TORQUE), sys.getrefcount(Params.MODE)) == refs


@pytest.mark.slow
def test_command_path_memory_is_flat(memory_flat):
    class NullTransport:
        def set_callback(self, address, callback):
            pass

        def _send_VEZ(self, address, data, priority=True, can_high_speed=False):
            return True

    a = DorozeActuatorReal(NullTransport(), 16)
    memory_flat(lambda: a.change_torque_setpoint(1.0, 2.0), calls=300_000)
    memory_flat(lambda: a.set_parameters({Params.K_DAMPING: 1.0, Params.MODE: 5}), calls=300_000)
