"""The SDK end to end: a real VezOverUsb on the emulated adapter's pseudo-terminal."""

import contextlib
import logging
import math
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from bus_emulator import BusEmulator, wait_until
from vez_api.doroze_actuator_real import DorozeActuatorReal, DorozeActuatorScannerReal
from vez_api.vez_over_usb import VezOverUsb

Items = DorozeActuatorReal.VEZ_Items
Params = DorozeActuatorReal.VEZ_Parameters
Mode = DorozeActuatorReal.Mode
ACTUATORS = {0x10: "ORBIT_4", 0x11: "NOVA_3", 0x20: "ORBIT_2"}


@pytest.fixture(scope="module")
def bus():
    args = []
    for address, model in ACTUATORS.items():
        args += ["--actuator", f"{address:#x}:{model}"]
    with BusEmulator(*args) as emulator:
        yield emulator


@pytest.fixture
def transport(bus):
    link = VezOverUsb(port=bus.port)
    assert link.is_connected
    yield link
    link.close()


def test_scanner_finds_exactly_the_configured_addresses(bus, transport, capsys):
    scanner = DorozeActuatorScannerReal(transport)
    assert scanner.is_connected
    assert scanner.scan(0x0E, 0x22) == sorted(ACTUATORS)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"CAN_ADAPTER version 2.1.0 connected at port '{bus.port}'"
    assert out[1:] == [
        f"Device found: address 0x{a:X} ({a})\tmodel {m}\tfirmware version 1.4.2" for a, m in sorted(ACTUATORS.items())
    ]
    assert set(transport._callbacks) == {0}  # probes leave no callbacks behind


def test_direct_actuator_is_not_an_adapter(caplog):
    with BusEmulator("--direct", "ORBIT_2") as direct:
        link = VezOverUsb(port=direct.port)
        scanner = DorozeActuatorScannerReal(link)
        assert not scanner.is_connected
        assert wait_until(lambda: not link.is_connected, 2.0)
        with caplog.at_level(logging.ERROR):
            assert scanner.scan(16, 20) == []
        assert "CAN adapter is not connected" in caplog.text
        # Reached at the direct address, it is an actuator like any other.
        link.connect()
        actuator = DorozeActuatorReal(link, 0)
        assert actuator.connect() and actuator.model == "ORBIT_2"
        link.close()


def test_identity_and_parameters(transport):
    actuator = DorozeActuatorReal(transport, 0x11)
    assert actuator.connect()
    assert (actuator.model, actuator.version) == ("NOVA_3", "1.4.2")
    params = actuator.get_parameters_all()
    assert list(params) == list(Params)
    assert params[Params.MODE] is Mode.POSITION
    assert params[Params.VEZ_ADDRESS] == 17.0
    for identity in (Params.FIRMWARE_VERSION, Params.SERIAL_NUMBER, Params.DEVICE_MODEL, Params.CONTROL_VERSION):
        assert type(params[identity]) is int
    assert params[Params.DEVICE_MODEL] == 1
    assert DorozeActuatorReal._parse_firmware_version(params[Params.FIRMWARE_VERSION]) == "1.4.2"
    assert params[Params.LIM_TORQUE] > 0
    actuator.disconnect()


def test_blocking_reads_decode_by_type(transport):
    actuator = DorozeActuatorReal(transport, 0x10)
    values = actuator.get_items_blocking([Items.TEMP_PCB, Items.ENCODER_INT_RAW, Items.ERROR_BITS, Items.VBUS])
    assert values[Items.TEMP_PCB] == 25.0
    assert type(values[Items.ENCODER_INT_RAW]) is int and type(values[Items.ERROR_BITS]) is int
    assert values[Items.VBUS] == pytest.approx(48.0, rel=0.05)


def test_feedback_stream_at_the_set_rate(transport):
    actuator = DorozeActuatorReal(transport, 0x20)
    stamps = []
    actuator.set_feedback_callback(lambda address, items: stamps.append(time.monotonic()))
    actuator.set_feedback_items([Items.POSITION_FB, Items.SPEED_FB, Items.TORQUE_FB])
    actuator.set_feedback_rate(1000)
    try:
        assert wait_until(lambda: len(stamps) > 200, 5.0)
        start = time.monotonic()
        time.sleep(2.0)
        window = [t for t in stamps if start <= t < start + 2.0]
        assert len(window) == pytest.approx(2000, rel=0.05)
        assert set(actuator.get_feedback()) == {Items.POSITION_FB, Items.SPEED_FB, Items.TORQUE_FB}
    finally:
        actuator.set_feedback_rate(0)


def test_a_failing_feedback_callback_is_logged_with_its_traceback_and_address(transport, caplog):
    actuator = DorozeActuatorReal(transport, 0x11)
    actuator.set_feedback_callback(lambda address, items: items["POSITION_FB"])  # keyed by name: a bug
    actuator.set_feedback_items([Items.POSITION_FB])
    with caplog.at_level(logging.WARNING, logger="vez_api._transport"):
        actuator.set_feedback_rate(100)
        try:
            assert wait_until(lambda: len(caplog.records) >= 3, 5.0)
        finally:
            actuator.set_feedback_rate(0)
    record = caplog.records[0]
    assert record.getMessage() == "Error in polling thread: 'POSITION_FB'"
    assert record.exc_info[0] is KeyError and record.address == 0x11
    assert transport.is_connected  # the receive thread carries on


def test_position_move_and_home(transport):
    actuator = DorozeActuatorReal(transport, 0x10)
    assert actuator.connect()
    actuator.start()
    actuator.change_position_setpoint(1.0)

    def position():
        return actuator.get_items_blocking([Items.POSITION_FB]).get(Items.POSITION_FB, math.nan)

    assert wait_until(lambda: abs(position() - 1.0) < 0.01, 5.0), position()
    actuator.set_home_position()
    assert wait_until(lambda: abs(position()) < 0.01, 2.0), position()
    actuator.stop()


def test_blink_reaches_the_actuator(bus, transport):
    before = bus.stats()[0x11]
    DorozeActuatorReal(transport, 0x11).blink()
    assert wait_until(lambda: bus.stats(0.5)[0x11].split(", ")[1] != before.split(", ")[1], 3.0)
    assert "actuator 0x011: blink" in bus.stderr_lines


def test_error_report_reaches_the_user_callback(bus, transport):
    actuator = DorozeActuatorReal(transport, 0x10)
    reports = []
    actuator.set_error_callback(lambda address, errors: reports.append((address, errors)))
    bus.command("error 0x10 0x80000001")
    assert wait_until(lambda: reports, 3.0)
    assert reports == [(0x10, {0: "Overtemperature", 31: "External encoder error"})]


def test_default_error_reaction_stops_the_actuator(bus, transport, caplog):
    actuator = DorozeActuatorReal(transport, 0x11)
    actuator.start()
    assert wait_until(lambda: "enabled" in bus.stats()[0x11].split(", "), 3.0)
    with caplog.at_level(logging.WARNING):
        bus.command("error 0x11 0x10000")  # current maximum: stops by default
        assert wait_until(lambda: "disabled" in bus.stats()[0x11], 3.0)
    assert "Actuator 0x011 Error code: 16 - Current maximum" in caplog.text
    assert "Actuator 0x011 Stopping actuator (use set_error_callback to change this behavior)" in caplog.text


def test_a_protection_trip_of_the_twin_is_reported():
    """An overhauling load (1.5 x stall) drives the actuator past its
    overspeed trip; the drive turns off and says so, unasked."""
    with BusEmulator("--actuator", "0x10:ORBIT_2") as bus, VezOverUsb(port=bus.port) as link:
        actuator = DorozeActuatorReal(link, 0x10)
        reports = []
        actuator.set_error_callback(lambda address, errors: reports.append((address, errors)))
        assert actuator.connect()
        actuator.start()
        assert wait_until(lambda: "enabled" in bus.stats()[0x10].split(", "), 3.0)
        bus.command("load 0x10 3.3")
        assert wait_until(lambda: reports, 5.0)
        assert reports[0] == (0x10, {4: "Speed feedback maximum"})
        bus.command("load 0x10 0")


def test_address_change_takes_effect():
    with BusEmulator("--actuator", "0x10:ORBIT_2") as bus:
        link = VezOverUsb(port=bus.port)
        actuator = DorozeActuatorReal(link, 0x10)
        assert actuator.connect()
        actuator.change_address(0x30)
        assert actuator.address == 0x30
        assert not DorozeActuatorReal(link, 0x31).connect(timeout=0.2)
        moved = DorozeActuatorReal(link, 0x30)
        assert moved.connect()
        assert moved.get_parameters([Params.VEZ_ADDRESS])[Params.VEZ_ADDRESS] == 48.0
        link.close()


def test_padded_answers_are_understood():
    with BusEmulator("--pad-canfd", "--actuator", "0x10:ORBIT_4") as bus:
        link = VezOverUsb(port=bus.port)
        actuator = DorozeActuatorReal(link, 0x10)
        assert actuator.connect()
        assert len(actuator.get_parameters_all()) == 31
        assert Items.VBUS in actuator.get_items_blocking([Items.VBUS, Items.TEMP_MOTOR])
        link.close()


def test_the_sdk_keeps_working_through_faults():
    faults = ["--noise", "0.3", "--corrupt", "0.1", "--drop", "0.1", "--late", "0.1", "--late-ms", "300", "--seed", "3"]
    with BusEmulator(*faults, "--actuator", "0x10:ORBIT_4", "--actuator", "0x11:NOVA_3") as bus:
        link = VezOverUsb(port=bus.port)
        streamed = []
        streamer = DorozeActuatorReal(link, 0x11)
        streamer.set_feedback_callback(lambda a, items: streamed.append(items))
        streamer.set_feedback_items([Items.POSITION_FB])
        streamer.set_feedback_rate(200)
        actuator = DorozeActuatorReal(link, 0x10)
        deadline = time.monotonic() + 30
        answered = 0
        for _ in range(40):
            if actuator.get_parameters([Params.MODE, Params.VEZ_ADDRESS], timeout=0.2):
                answered += 1
            actuator._parameters.clear()
        assert time.monotonic() < deadline  # nothing hung
        assert answered >= 20
        assert len(streamed) > 100
        assert link.is_connected
        # The faults really were injected (streams make the draws; answers few).
        counters = dict(re.findall(r"(answers dropped|late|corrupted|noise bursts) (\d+)", bus.stats()[-1]))
        assert int(counters["corrupted"]) > 0 and int(counters["noise bursts"]) > 0
        assert int(counters["answers dropped"]) + int(counters["late"]) > 0
        started = time.monotonic()
        link.close()
        assert time.monotonic() - started < 1.5


def test_many_threads_share_one_adapter(transport):
    """Application threads command different actuators while streams run."""
    actuators = [DorozeActuatorReal(transport, a) for a in ACTUATORS]
    errors = []

    def work(actuator):
        try:
            for _ in range(20):
                if not actuator.send_ping(timeout=1.0):
                    errors.append(f"no pong from {actuator.address:#x}")
                actuator.change_speed_setpoint(0.0)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(repr(exc))

    threads = [threading.Thread(target=work, args=(a,)) for a in actuators]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert errors == []
    for a in actuators:
        a.stop()


# --- faults counted: nothing lost beyond what was destroyed on purpose -----------------

# Items whose values stay put while an actuator idles, and whose bytes hold no
# start byte: a frame the emulator corrupts then cannot hide a false one that
# would swallow the next, so every loss is one the emulator counted.
STEADY = [Items.VBUS, Items.TEMP_PCB, Items.ERROR_BITS, Items.CONTROL_LOOP_TIME_AVG]
SOURCE_COUNTS = re.compile(
    r"streamed (\d+) \(corrupted (\d+)\), answers (\d+) \(dropped (\d+), late (\d+), corrupted (\d+)\)"
)


def source_counts(bus, address):
    streamed, stream_corrupted, answers, dropped, late, answers_corrupted = map(
        int, SOURCE_COUNTS.search(bus.stats()[address]).groups()
    )
    return {
        "stream": streamed - stream_corrupted,
        "answers": answers - dropped - answers_corrupted,
        "injected": stream_corrupted + dropped + late + answers_corrupted,
    }


def count_frames_at_the_transport(link, address):
    """Wraps the callback registered for `address`: [priority frames, answers]."""
    counts = [0, 0]
    inner = link._callbacks[address]

    def counting(source, payload, priority_bit):
        counts[priority_bit] += 1
        inner(source, payload, priority_bit)

    link._callbacks[address] = counting
    return counts


def test_nothing_is_lost_beyond_what_the_faults_destroyed(caplog):
    faults = ["--noise", "0.5", "--corrupt", "0.1", "--drop", "0.1", "--late", "0.1", "--late-ms", "40", "--seed", "5"]
    with BusEmulator(*faults, "--actuator", "0x10:ORBIT_4", "--actuator", "0x11:NOVA_3") as bus:
        link = VezOverUsb(port=bus.port)
        actuators, counts = [], {}
        for address in (0x10, 0x11):
            actuator = DorozeActuatorReal(link, address)
            counts[address] = count_frames_at_the_transport(link, address)
            actuator.set_feedback_items(STEADY)
            actuator.set_feedback_rate(1000)
            actuators.append(actuator)
        with caplog.at_level(logging.CRITICAL):  # timeouts of dropped answers are expected
            for _ in range(60):
                for actuator in actuators:
                    actuator.get_items_blocking([Items.VBUS, Items.TEMP_PCB], timeout=0.05)
        for actuator in actuators:
            actuator.set_feedback_rate(0)

        def settled():
            return all(
                counts[a] == [source_counts(bus, a)["stream"], source_counts(bus, a)["answers"]] for a in counts
            )

        wait_until(settled, 5.0)  # the last frames, late answers included, are on their way
        line = bus.stats()
        for address in counts:
            expected = source_counts(bus, address)
            assert counts[address] == [expected["stream"], expected["answers"]], (address, line[address])
            assert counts[address][0] > 1000 and expected["injected"] > 100
        totals = dict(re.findall(r"(noise bursts|late|corrupted|dropped at the port) (\d+)", line[-1]))
        assert int(totals["noise bursts"]) > 1000 and int(totals["late"]) > 0
        assert totals["dropped at the port"] == "0"
        assert link.is_connected
        link.close()


@pytest.mark.parametrize("streaming", [False, True], ids=["mid-read", "mid-stream"])
def test_killing_the_adapter_is_logged_once(caplog, streaming):
    with BusEmulator("--actuator", "0x10:ORBIT_4") as bus:
        link = VezOverUsb(port=bus.port)
        actuator = DorozeActuatorReal(link, 0x10)
        assert actuator.connect()
        got = []
        if streaming:
            actuator.set_feedback_callback(lambda address, items: got.append(items))
            actuator.set_feedback_items(STEADY)
            actuator.set_feedback_rate(2000)
            assert wait_until(lambda: len(got) > 200, 5.0)
        thread = link._polling_thread
        bus.process.kill()
        bus.process.wait(5)
        assert wait_until(lambda: not thread.is_alive(), 5.0)
        assert not link.is_connected and not link._ser.is_open
        (record,) = caplog.records
        assert record.levelno == logging.ERROR and record.name == "vez_api._transport"
        assert re.fullmatch(
            rf"Lost the link to port {re.escape(bus.port)}: SerialException: "
            r"(device reports readiness to read but returned no data \(device disconnected or multiple access on "
            r"port\?\)|read failed: \[Errno 5\] Input/output error)",
            record.getMessage(),
        ), record.getMessage()
        caplog.clear()
        assert actuator.send_ping(timeout=0.05) is False
        assert [r.getMessage() for r in caplog.records] == ["Serial port not connected"]


# --- where the emulator takes its commands from -------------------------------------------------

BACKGROUND_JOB = """
import fcntl, os, subprocess, sys, termios
fcntl.ioctl(0, termios.TIOCSCTTY, 0)  # the pseudo-terminal on stdin becomes this session's terminal
emulator = subprocess.Popen([sys.argv[1], "--actuator", "0x10"], stdout=subprocess.PIPE, text=True,
                            stderr=open(sys.argv[2], "w"), preexec_fn=lambda: os.setpgid(0, 0))
print(emulator.pid, emulator.stdout.readline().strip(), flush=True)  # a background job, as after `&`
os.read(int(sys.argv[3]), 1)  # the test says when
os.tcsetpgrp(0, emulator.pid)  # `fg`
emulator.wait()
"""


def test_a_background_job_on_a_terminal_keeps_running_and_reads_once_in_front(tmp_path):
    from bus_emulator import EMULATOR

    master, slave = os.openpty()
    go_read, go_write = os.pipe()
    errors = tmp_path / "emulator.err"
    shell = subprocess.Popen([sys.executable, "-c", BACKGROUND_JOB, str(EMULATOR), str(errors), str(go_read)], stdin=slave,
                             stdout=subprocess.PIPE, text=True, start_new_session=True, pass_fds=(go_read,))
    pid = None
    try:
        pid, port = shell.stdout.readline().split()
        pid = int(pid)
        os.write(master, b"stats\n")  # typed at the terminal: not for a background job
        link = VezOverUsb(port=port)
        try:
            actuator = DorozeActuatorReal(link, 0x10)
            assert actuator.connect(), "the emulator was stopped by its terminal"
        finally:
            link.close()
        assert process_state(pid) != "T"
        assert "end of stats" not in errors.read_text()
        os.write(go_write, b"!")  # brought to the foreground, it reads the terminal again
        assert wait_until(lambda: "end of stats" in errors.read_text(), 5.0)
    finally:
        if pid is not None:
            # A stopped emulator must see its SIGTERM too; a running one may be gone
            # (and reaped) before the SIGCONT arrives.
            for sig in (signal.SIGTERM, signal.SIGCONT):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, sig)
        try:
            shell.wait(timeout=10)
        finally:
            shell.stdout.close()
        for fd in (master, slave, go_read, go_write):
            os.close(fd)


def process_state(pid: int) -> str:
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def test_commands_from_a_fifo(tmp_path):
    fifo = tmp_path / "commands"
    os.mkfifo(fifo)
    with BusEmulator("--actuator", "0x10", "--commands", str(fifo)) as emulator:
        link = VezOverUsb(port=emulator.port)
        try:
            actuator = DorozeActuatorReal(link, 0x10)
            reports = []
            actuator.set_error_callback(lambda address, errors: reports.append((address, errors)))
            assert actuator.connect()
            for line in ("error 0x10 0x1", "error 0x10 0x80000000"):  # one writer after the other
                with open(fifo, "w") as writer:
                    writer.write(line + "\n")
            assert wait_until(lambda: len(reports) == 2, 5.0)
            assert reports == [(0x10, {0: "Overtemperature"}), (0x10, {31: "External encoder error"})]
        finally:
            link.close()
