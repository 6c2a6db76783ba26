"""The live monitor's Python surface: what reaches the CSV file and the view,
how a run ends (duration, Ctrl-C, a failure) and what it leaves behind."""

import csv
import io
import re
import threading
import time as real_time

import pytest

from bus_emulator import BusEmulator
from virtual_actuators import connected
from vez_api import monitor
from vez_api.doroze_actuator_real import DorozeActuatorReal
from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual
from vez_api.vez_over_usb import VezOverUsb

Items = DorozeActuatorVirtual.VEZ_Items
ITEMS = [Items.POSITION_FB, Items.SPEED_FB, Items.ERROR_BITS]


def read_csv(path):
    text = path.read_text()
    assert text.endswith("\n")
    rows = list(csv.reader(io.StringIO(text)))
    return rows[0], rows[1:]


def previous_callback(address, values):
    pass


def test_a_virtual_run_records_every_sample_at_simulation_time(tmp_path):
    actuator = connected(address=0x10, telemetry_max_ticks=0)
    actuator.set_feedback_callback(previous_callback)
    actuator.start()
    actuator.change_position_setpoint(1.0)
    out = io.StringIO()
    path = tmp_path / "run.csv"
    summary = monitor.run(actuator, ITEMS, rate=200, duration=0.5, csv=path, output=out, interval=0.1)

    assert not summary.interrupted
    assert summary.seconds == 0.5
    header, rows = read_csv(path)
    assert header == ["time_s", "POSITION_FB", "SPEED_FB", "ERROR_BITS"]
    assert len(rows) == summary.samples == summary.csv_rows
    assert 40 <= len(rows) <= 101  # 200 Hz for half a second of wall clock, stepped in real time
    times = [float(r[0]) for r in rows]
    assert all(abs((b - a) - 0.005) < 1e-9 for a, b in zip(times, times[1:]))  # every 100 ticks of 50 us
    positions = [float(r[1]) for r in rows]
    assert positions[-1] > positions[0] + 0.01  # moving to the setpoint
    assert all(r[3] == "0" for r in rows)  # an integer item stays an integer

    lines = out.getvalue().splitlines()
    assert lines[0] == "    0.00 s  POSITION_FB - rad  SPEED_FB - rad/s  ERROR_BITS -"
    assert lines[-1].startswith("    0.50 s  POSITION_FB ")
    assert 3 <= len(lines) <= 8
    # The run leaves the actuator as it found it, with its stream stopped.
    assert actuator._feedback_callback is previous_callback
    assert actuator._feedback_rate_divider == 0


class CtrlC:
    """The module's `time`, with a Ctrl-C arriving in the n-th sleep."""

    def __init__(self, n):
        self.n = n
        self.sleeps = 0

    def monotonic(self):
        return real_time.monotonic()

    def sleep(self, seconds):
        self.sleeps += 1
        if self.sleeps == self.n:
            raise KeyboardInterrupt
        real_time.sleep(seconds)


def test_ctrl_c_ends_the_run_cleanly(monkeypatch, tmp_path):
    actuator = connected(telemetry_max_ticks=0)
    monkeypatch.setattr(monitor, "time", CtrlC(20))
    path = tmp_path / "run.csv"
    out = io.StringIO()
    summary = monitor.run(actuator, ITEMS, rate=1000, csv=path, output=out, style="plain")
    assert summary.interrupted
    header, rows = read_csv(path)
    assert len(rows) == summary.samples > 0
    assert all(len(r) == 4 for r in rows)
    assert actuator._feedback_callback is None and actuator._feedback_rate_divider == 0
    assert out.getvalue().count("\n") >= 2  # the first line and the last


def test_a_second_ctrl_c_while_stopping_still_closes_the_file(monkeypatch, tmp_path):
    class Stubborn(DorozeActuatorVirtual):
        def set_feedback_rate(self, rate):
            if rate == 0:
                raise KeyboardInterrupt
            super().set_feedback_rate(rate)

    actuator = connected(cls=Stubborn, telemetry_max_ticks=0)
    monkeypatch.setattr(monitor, "time", CtrlC(5))
    path = tmp_path / "run.csv"
    summary = monitor.run(actuator, ITEMS, rate=500, csv=path, output=io.StringIO(), style="plain")
    assert summary.interrupted
    _, rows = read_csv(path)
    assert len(rows) == summary.samples


def test_a_failure_propagates_after_the_cleanup(tmp_path):
    class Failing(DorozeActuatorVirtual):
        calls = 0

        def step(self, load=None, steps=1):
            Failing.calls += 1
            if Failing.calls == 5:
                raise RuntimeError("the model diverged")
            return super().step(load, steps)

    actuator = connected(cls=Failing, telemetry_max_ticks=0)
    actuator.set_feedback_callback(previous_callback)
    path = tmp_path / "run.csv"
    with pytest.raises(RuntimeError, match="diverged"):
        monitor.run(actuator, ITEMS, rate=1000, csv=path, output=io.StringIO(), style="plain")
    _, rows = read_csv(path)
    assert rows and all(len(r) == 4 for r in rows)
    assert actuator._feedback_callback is previous_callback


def test_the_live_view_draws_a_table_with_units():
    actuator = connected(telemetry_max_ticks=0)
    out = io.StringIO()
    summary = monitor.run(actuator, ITEMS, rate=100, duration=0.3, output=out, style="live")
    text = out.getvalue()
    assert "vez_api monitor: ORBIT_4" in text
    for name, unit in (("POSITION_FB", "rad"), ("SPEED_FB", "rad/s")):
        assert any(name in line and unit in line for line in text.splitlines())
    assert f"{summary.samples} samples" in text
    # Not a terminal, no choice made: plain lines.
    out = io.StringIO()
    monitor.run(actuator, ITEMS, rate=100, duration=0.1, output=out)
    assert out.getvalue().startswith("    0.00 s  POSITION_FB")


def test_a_physical_actuator_streams_into_the_csv(tmp_path):
    with BusEmulator("--actuator", "0x10:ORBIT_4") as bus, VezOverUsb(port=bus.port) as link:
        actuator = DorozeActuatorReal(link, 0x10)
        assert actuator.connect()
        bus.command("load 0x10 1.0")
        path = tmp_path / "run.csv"
        summary = monitor.run(actuator, [Items.POSITION_FB, Items.TEMP_MOTOR], rate=100, duration=0.6, csv=path,
                              output=io.StringIO())
        header, rows = read_csv(path)
        assert header == ["time_s", "POSITION_FB", "TEMP_MOTOR"]
        assert len(rows) == summary.samples >= 20
        times = [float(r[0]) for r in rows]
        assert times == sorted(times) and times[-1] < 0.7
        assert len({r[1] for r in rows}) > 1  # the shaft turns under the load
        # Floats from the bus keep their float32 digits, not a double's seventeen.
        assert all(len(re.sub(r"e.*|[^0-9]", "", r[1]).lstrip("0")) <= 9 for r in rows)
        assert actuator._feedback_callback is None


def test_a_lost_link_ends_the_run_with_an_error(tmp_path):
    with BusEmulator("--actuator", "0x10:ORBIT_4") as bus, VezOverUsb(port=bus.port) as link:
        actuator = DorozeActuatorReal(link, 0x10)
        assert actuator.connect()
        path = tmp_path / "run.csv"
        unplug = threading.Timer(0.3, bus.close)
        unplug.start()
        try:
            with pytest.raises(ConnectionError, match="the link to the actuator was lost"):
                monitor.run(actuator, [Items.POSITION_FB], rate=100, duration=10, csv=path, output=io.StringIO(),
                            interval=0.05)
        finally:
            unplug.join()
        _, rows = read_csv(path)
        assert len(rows) > 0


def test_arguments_are_checked_before_anything_changes():
    actuator = connected()
    with pytest.raises(ValueError, match="no feedback items"):
        monitor.run(actuator, [])
    with pytest.raises(ValueError, match="at most 10 feedback items"):
        monitor.run(actuator, list(Items)[:11])
    with pytest.raises(ValueError, match="not a feedback item"):
        monitor.run(actuator, [DorozeActuatorVirtual.VEZ_Parameters.MODE])
    with pytest.raises(ValueError, match="duration must be positive"):
        monitor.run(actuator, ITEMS, duration=0)
    with pytest.raises(ValueError, match="style must be"):
        monitor.run(actuator, ITEMS, style="fancy")
    with pytest.raises(TypeError):
        monitor.run(actuator, (Items.POSITION_FB,))
    assert actuator._feedback_items == []


def test_units_of_items():
    assert monitor.item_unit(Items.TORQUE_FB) == "N*m"
    assert monitor.item_unit(Items.TEMP_PCB) == "degC"
    assert monitor.item_unit(Items.ERRORS_OVERRUN) == ""
