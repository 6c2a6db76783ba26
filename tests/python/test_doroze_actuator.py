"""The class names of an earlier release."""

import sys
import warnings
from unittest import mock

import pytest

from vez_api.doroze_actuator import DorozeActuator, DorozeActuatorScanner
from vez_api.doroze_actuator_real import DorozeActuatorReal, DorozeActuatorScannerReal


def test_actuator_warns_at_the_callers_line_before_registering():
    adapter = mock.Mock()
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        warned_before_registration = []
        adapter.set_callback.side_effect = lambda *a: warned_before_registration.append(len(w))
        actuator = DorozeActuator(adapter, 0x10)
        line = sys._getframe().f_lineno - 1
    assert warned_before_registration == [1]
    assert [x.category for x in w] == [FutureWarning]
    assert str(w[0].message) == "DorozeActuator is deprecated; use DorozeActuatorReal instead."
    assert (w[0].filename, w[0].lineno) == (__file__, line)
    assert isinstance(actuator, DorozeActuatorReal)
    assert actuator.address == 0x10 and actuator.version == "x.x.x"
    adapter.set_callback.assert_called_once_with(0x10, actuator._can_callback)
    assert DorozeActuator.__doc__ == "Deprecated compatibility name for :class:`DorozeActuatorReal`."


def test_actuator_behaves_as_its_base():
    adapter = mock.Mock()
    with pytest.warns(FutureWarning):
        actuator = DorozeActuator(adapter_handler=adapter, address=0x20, logger=None)
    actuator.change_setpoint(1.5)
    adapter._send_VEZ.assert_called_once_with(0x20, [4, 0x00, 0x00, 0xC0, 0x3F], can_high_speed=False)
    with pytest.warns(DeprecationWarning):
        actuator.setFeedbackRate(1000)


def test_scanner_warns_and_then_pings_the_adapter(capsys):
    adapter = mock.Mock()
    adapter._port = "/dev/ttyX"
    with mock.patch("vez_api.doroze_actuator_real.time") as fake_time:
        fake_time.time.side_effect = [0.0, 2.0]
        with pytest.warns(FutureWarning, match=r"^DorozeActuatorScanner is deprecated; use DorozeActuatorScannerReal instead\.$") as w:
            scanner = DorozeActuatorScanner(adapter)
    assert w[0].filename == __file__
    assert isinstance(scanner, DorozeActuatorScannerReal) and not scanner.is_connected
    assert capsys.readouterr().out == "Device at port '/dev/ttyX' not responding\n"
