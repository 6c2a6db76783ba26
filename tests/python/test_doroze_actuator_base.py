import enum
import logging
import pickle
import typing
import warnings
from unittest import mock

import pytest

import vez_api._doroze_actuator_base as base_module
import vez_api._protocol as protocol
from vez_api._doroze_actuator_base import DorozeActuatorBase

ENUMS = {
    "Mode": "Control modes available for Doroze actuator implementations.",
    "Rates": "Feedback update rates for high/low frequency data streams.",
    "TorquePerformance": "Performance presets for torque control mode.",
    "SpeedPerformance": "Performance presets for speed control mode.",
    "_VEZ_Actions": "Internal VEZ action identifiers used in actuator command payloads.",
    "VEZ_Parameters": "Parameters that can be read or written through the actuator API.",
    "VEZ_Items": "Feedback items available for monitoring actuator state.",
    "_VEZ_Other": "Internal VEZ non-action message identifiers.",
}


class Stoppable(DorozeActuatorBase):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.stops = 0

    def stop(self):
        self.stops += 1


# --- vocabulary ---------------------------------------------------------------


def test_enumerations_are_plain_enums_nested_in_declared_order():
    nested = [name for name, value in vars(DorozeActuatorBase).items() if isinstance(value, enum.EnumMeta)]
    assert nested == list(ENUMS)
    for name, doc in ENUMS.items():
        cls = getattr(DorozeActuatorBase, name)
        assert issubclass(cls, enum.Enum) and not issubclass(cls, int)
        assert cls.__doc__ == doc
        assert cls.__qualname__ == f"DorozeActuatorBase.{name}"
        assert cls.__module__ == "vez_api._doroze_actuator_base"


def test_member_values_and_order():
    B = DorozeActuatorBase
    assert [(m.name, m.value) for m in B.Mode] == [
        ("FVI", 2), ("OPEN_LOOP", 3), ("DVI", 4), ("TORQUE", 5), ("SPEED", 6), ("POSITION", 7), ("IMPEDANCE", 8)]
    assert [m.value for m in B.Rates] == [0, 10, 20, 40, 100, 200, 400, 1000, 2000, 4000, 10000, 20000]
    assert [m.name for m in B.TorquePerformance] == ["AGGRESSIVE", "BALANCED", "SOFT"]
    assert [(m.name, m.value) for m in B.SpeedPerformance][-1] == ("CUSTOM", 4)
    assert not hasattr(B.TorquePerformance, "CUSTOM")
    actions = [m.value for m in B._VEZ_Actions]
    assert actions == [1, 2, 3, 4, 16, 17, 18, 19, 20, 21, 22, 6, 7, 10, 11, 12, 13, 14, 15, 56, 57, 64, 65,
                       193, 194, 195, 196]
    assert [(m.name, m.value) for m in B._VEZ_Other] == [("BEACON", 128), ("ERRORS", 130), ("PARAMETERS", 131)]
    params = [m.value for m in B.VEZ_Parameters]
    assert params == list(range(1, 16)) + [48, 49] + list(range(64, 72)) + list(range(128, 134))
    assert B.VEZ_Parameters.CAN_HIGH_SPEED.value == 133 and B.VEZ_Parameters.VEZ_ADDRESS.value == 129
    items = [m.name for m in B.VEZ_Items]
    assert len(items) == 52
    assert items[items.index("POSITION_FB") + 1] == "POSITION_FB_INTERNAL"
    assert items[items.index("POSITION_FB_INTERNAL") + 1] == "SPEED_REF"
    assert B.VEZ_Items.POSITION_FB_INTERNAL.value == 115
    assert [m.value for m in B.VEZ_Items][-11:] == list(range(144, 155))


def test_lookup_by_value():
    B = DorozeActuatorBase
    assert B.Rates(20) is B.Rates.RATE_1KHZ and B.Rates(0) is B.Rates.DISABLED
    assert B.Mode.IMPEDANCE.value == 8
    for cls, missing in [(B.Rates, 30), (B.Mode, 1), (B.Mode, 0), (B._VEZ_Actions, 5), (B._VEZ_Other, 129),
                         (B.VEZ_Items, 78), (B.VEZ_Items, 103), (B.VEZ_Parameters, 16)]:
        with pytest.raises(ValueError):
            cls(missing)


def test_members_pickle_and_hash():
    member = DorozeActuatorBase.VEZ_Items.SPEED_FB
    assert pickle.loads(pickle.dumps(member)) is member
    assert {member: 1}[DorozeActuatorBase.VEZ_Items(69)] == 1


def test_model_names():
    names = DorozeActuatorBase._MODELS_NAMES
    assert names == ["", "NOVA_3", "NOVA_4", "ORBIT_4", "ORBIT_5", "CAN_ADAPTER", "ORBIT_2", "ORBIT_3", "ORBIT_1",
                     "NOVA_1", "NOVA_2"]
    assert type(names) is list


def test_class_surface():
    B = DorozeActuatorBase
    assert B.__mro__ == (B, object) and type(B) is type
    assert B.__doc__ == "Internal shared actuator vocabulary, state, and callbacks."
    assert B.__annotations__ == {"_MODELS_NAMES": list[str], "logger": logging.Logger, "_address": int, "_model": str}
    assert list(vars(B))[list(vars(B)).index("_MODELS_NAMES") - 1] == "__weakref__"
    assert base_module.__all__ == ["DorozeActuatorBase"]
    assert base_module.Enum is enum.Enum and base_module.warnings is warnings and base_module.logging is logging
    assert (base_module.Any, base_module.Callable, base_module.Dict, base_module.Optional) == (
        typing.Any, typing.Callable, typing.Dict, typing.Optional)
    assert base_module.is_valid_actuator_address is protocol.is_valid_actuator_address


class Subclass(DorozeActuatorBase):
    pass


def test_vocabulary_is_reached_through_subclasses():
    assert Subclass.VEZ_Items.SPEED_FB is DorozeActuatorBase.VEZ_Items.SPEED_FB
    assert Subclass(3).Mode.TORQUE is DorozeActuatorBase.Mode.TORQUE


# --- state ----------------------------------------------------------------------


def test_initial_state_in_documented_order():
    a = DorozeActuatorBase()
    assert list(vars(a)) == ["logger", "_address", "_feedback_callback", "_error_callback", "_feedback",
                             "_low_feedback", "_connected", "_got_pong", "_got_parameters", "_model", "_parameters",
                             "_can_high_speed", "_current_mode"]
    assert a.logger is logging.getLogger("vez_api._doroze_actuator_base")
    assert (a.address, a.connected, a.model) == (0, False, "")
    assert a._error_callback == a._default_error_callback
    assert a._feedback_callback is None and a._current_mode is None
    assert a._feedback == {} and a._low_feedback == {} and a._parameters == {}
    assert a._feedback is not a._low_feedback
    assert a.get_feedback() is a.get_feedback() is a._feedback


def test_constructor_arguments():
    custom = logging.getLogger("custom")
    assert DorozeActuatorBase(16, custom).logger is custom
    assert DorozeActuatorBase(address=17, logger=None).address == 17
    assert DorozeActuatorBase(logger=0).logger.name == "vez_api._doroze_actuator_base"
    converted = DorozeActuatorBase(20.7)
    assert converted.address == 20 and type(converted._address) is int
    assert DorozeActuatorBase(99999).address == 99999  # not validated here
    with pytest.raises(TypeError, match=r"Argument 'address' has incorrect type \(expected int, got str\)"):
        DorozeActuatorBase("16")


def test_properties_follow_the_fields():
    a = DorozeActuatorBase(16)
    a._connected, a._model, a._address = True, "NOVA_1", 42
    assert (a.connected, a.model, a.address) == (True, "NOVA_1", 42)


def test_unimplemented_operations():
    a = DorozeActuatorBase()
    with pytest.raises(NotImplementedError, match=r"^version must be implemented by actuator subclasses$"):
        a.version
    with pytest.raises(NotImplementedError, match=r"^stop\(\) must be implemented by actuator subclasses$"):
        a.stop()


def test_callbacks_are_stored():
    a = DorozeActuatorBase()
    on_feedback, on_error = mock.Mock(), mock.Mock()
    a.set_feedback_callback(on_feedback)
    a.set_error_callback(on_error)
    assert a._feedback_callback is on_feedback and a._error_callback is on_error


@pytest.mark.parametrize("setter", ["set_feedback_callback", "set_error_callback"])
def test_callbacks_that_cannot_be_called_are_refused(setter):
    a = DorozeActuatorBase()
    before = dict(vars(a))
    for wrong, name in ((42, "int"), ("print", "str"), ({}, "dict")):
        with pytest.raises(TypeError) as e:
            getattr(a, setter)(wrong)
        assert str(e.value) == f"Argument 'callback' has incorrect type (expected callable or None, got {name})"
    assert vars(a) == before
    for fine in (None, print, mock.Mock(), type("C", (), {"__call__": lambda self, *a: None})()):
        getattr(a, setter)(fine)


def test_low_freq_feedback_callback_only_warns():
    a = DorozeActuatorBase()
    before = dict(vars(a))
    with pytest.warns(DeprecationWarning) as w:
        a.set_low_freq_feedback_callback(print)
    assert len(w) == 1
    assert str(w[0].message) == "set_low_freq_feedback_callback is deprecated, use get_items_blocking instead"
    assert w[0].filename == __file__
    assert vars(a) == before


def test_is_valid_actuator_address_needs_no_instance():
    assert DorozeActuatorBase.is_valid_actuator_address(15) is False
    assert DorozeActuatorBase.is_valid_actuator_address(16) is True
    assert DorozeActuatorBase.is_valid_actuator_address(16382) is True
    with mock.patch.object(base_module, "is_valid_actuator_address", return_value="patched"):
        assert DorozeActuatorBase.is_valid_actuator_address(16) == "patched"


# --- default error reaction ------------------------------------------------------


def messages(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records]


def test_report_only_codes_do_not_stop(caplog):
    a = Stoppable(16)
    with caplog.at_level(logging.DEBUG, logger="vez_api._doroze_actuator_base"):
        a._error_callback(16, {3: "Position reference minimum", 15: "x"})
    assert messages(caplog) == [("ERROR", "Actuator 0x010 Error code: 3 - Position reference minimum"),
                                ("ERROR", "Actuator 0x010 Error code: 15 - x")]
    assert a.stops == 0


def test_serious_codes_stop_once_each(caplog):
    a = Stoppable(16)
    with caplog.at_level(logging.DEBUG, logger="vez_api._doroze_actuator_base"):
        a._default_error_callback(16, {16: "Current maximum", 0: "Overtemperature", 31: "External encoder error"})
    stop_text = "Actuator 0x010 Stopping actuator (use set_error_callback to change this behavior)"
    assert messages(caplog) == [
        ("ERROR", "Actuator 0x010 Error code: 16 - Current maximum"),
        ("WARNING", stop_text),
        ("ERROR", "Actuator 0x010 Error code: 0 - Overtemperature"),
        ("ERROR", "Actuator 0x010 Error code: 31 - External encoder error"),
        ("WARNING", stop_text),
    ]
    assert a.stops == 2


@pytest.mark.parametrize("address, text", [(16382, "3FFE"), (0x1234, "1234"), (5, "005"), (-1, "-01")])
def test_address_format_pads_but_never_cuts(caplog, address, text):
    a = Stoppable(address)
    with caplog.at_level(logging.ERROR):
        a._default_error_callback(address, {1: "d"})
    assert caplog.records[0].getMessage() == f"Actuator 0x{text} Error code: 1 - d"


def test_stop_is_dispatched_and_its_failure_propagates():
    a = DorozeActuatorBase(16)
    a.logger = mock.Mock()
    with pytest.raises(NotImplementedError):
        a._default_error_callback(16, {2: "ok", 17: "Invalid limits"})
    assert a.logger.error.call_count == 2
    a.logger.warning.assert_not_called()


def test_error_callback_argument_checks():
    a = Stoppable(16)
    with pytest.raises(TypeError, match=r"Argument 'errors' has incorrect type \(expected dict, got list\)"):
        a._default_error_callback(16, [(1, "x")])
    with pytest.raises(TypeError, match=r"Argument 'address'"):
        a._default_error_callback("16", {})

    class Growing(Stoppable):
        def stop(self):
            errors[99] = "added"

    errors = {20: "x"}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        Growing(16)._default_error_callback(16, errors)


def test_set_error_callback_replaces_the_default(caplog):
    a = Stoppable(16)
    seen = []
    a.set_error_callback(lambda address, errors: seen.append((address, errors)))
    with caplog.at_level(logging.DEBUG):
        a._error_callback(16, {20: "x"})
    assert seen == [(16, {20: "x"})] and caplog.records == [] and a.stops == 0
