"""DorozeActuatorScannerReal: one address at a time on any transport (a
recording mock here), a window of addresses at a time on the package's own
VezOverUsb (the bus emulator here), with the same results, printed lines,
final state and Ctrl-C behaviour."""

import _thread
import logging
import threading
from unittest import mock

import pytest

import vez_api.doroze_actuator_real as real_module
from actuator_answers import FakeClock, beacon, pack_version
from bus_emulator import BusEmulator
from vez_api.doroze_actuator_real import DorozeActuatorReal, DorozeActuatorScannerReal
from vez_api.vez_over_usb import VezOverUsb

WINDOW = 32  # addresses probed at once by the pipelined scan
ADAPTER = 5  # index of "CAN_ADAPTER" in the model names
MODELS = DorozeActuatorReal._MODELS_NAMES


def found_line(address, model, version="1.4.2"):
    return f"Device found: address 0x{address:X} ({address})\tmodel {model}\tfirmware version {version}"


# --- one address at a time ---------------------------------------------------------------


@pytest.fixture
def mock_scan(capsys):
    """A scanner on a recording mock transport whose adapter answers at 0 and
    actuators at 17 and 19 (model 2, version 3.0.1): while the scanner sleeps,
    the receive routine last registered gets the answer of its address."""
    transport = mock.Mock(_port="/dev/mock0")

    def answer(seconds):
        address, receive = transport.set_callback.call_args.args
        if address == 0:
            receive(0, beacon(ADAPTER, pack_version(2, 1, 0)), 1)
        elif address in (17, 19):
            receive(address, beacon(2, pack_version(3, 0, 1)), 1)

    clock = FakeClock(on_sleep=answer)
    with mock.patch.object(real_module, "time", clock):
        scanner = DorozeActuatorScannerReal(transport)
        assert capsys.readouterr().out == "CAN_ADAPTER version 2.1.0 connected at port '/dev/mock0'\n"
        transport.reset_mock()
        clock.sleeps.clear()
        yield scanner, transport, clock


def test_one_address_at_a_time_on_another_transport(mock_scan, capsys):
    scanner, transport, clock = mock_scan
    assert scanner.scan(16, 20) == [17, 19]
    assert capsys.readouterr().out.splitlines() == [found_line(17, MODELS[2], "3.0.1"),
                                                    found_line(19, MODELS[2], "3.0.1")]
    calls = []
    for address in range(16, 21):
        calls += [mock.call.set_callback(address, scanner._can_callback),
                  mock.call._send_VEZ(address, [0x40], can_high_speed=False),
                  mock.call.remove_callback(address)]
    assert transport.method_calls == calls
    assert set(clock.sleeps) == {0.01}
    assert (scanner.address, scanner._got_pong, scanner.model, scanner.version) == (20, False, MODELS[2], "3.0.1")


def test_ctrl_c_one_address_at_a_time(mock_scan, capsys):
    scanner, transport, clock = mock_scan
    answer = clock.on_sleep

    def interrupt(seconds):
        if transport.set_callback.call_args.args[0] == 19:
            raise KeyboardInterrupt
        answer(seconds)

    clock.on_sleep = interrupt
    assert scanner.scan(16, 30) == [17]
    assert [c.args[0] for c in transport.remove_callback.call_args_list] == [16, 17, 18]
    assert transport.set_callback.call_args.args[0] == 19  # the probe under way keeps its callback
    assert scanner.address == 19


def test_a_scanner_without_adapter_sends_nothing(caplog):
    transport = mock.Mock(_port="/dev/mock0")
    with mock.patch.object(real_module, "time", FakeClock()):
        scanner = DorozeActuatorScannerReal(transport)
        transport.reset_mock()
        with caplog.at_level(logging.ERROR):
            assert scanner.scan(16, 16) == []
    assert "CAN adapter is not connected" in caplog.text
    transport._send_VEZ.assert_not_called()


# --- a window at a time, on the emulator ---------------------------------------------------------

# Actuators at both edges of the first two windows (scanning from 0x10) and
# in the last, short window.
EDGES = {0x10: "ORBIT_4", 0x2F: "NOVA_3", 0x30: "ORBIT_2", 0x4F: "ORBIT_4", 0x55: "NOVA_3"}


def emulator_args(actuators, *faults):
    args = list(faults)
    for address, model in actuators.items():
        args += ["--actuator", f"{address:#x}:{model}"]
    return args


@pytest.fixture
def edges_bus():
    # One emulator per test: their twins run in real time, and several at once
    # on a busy machine could make answers miss the 50 ms a probe waits.
    with BusEmulator(*emulator_args(EDGES)) as bus:
        yield bus


@pytest.fixture
def link(edges_bus):
    t = VezOverUsb(port=edges_bus.port)
    yield t
    t.close()


class OneByOne(DorozeActuatorScannerReal):
    """A scanner whose probe is overridden: it scans one address at a time."""

    def send_ping(self, timeout=1.0):
        return super().send_ping(timeout=timeout)


def scan_and_state(scanner_cls, link, capsys, begin, end):
    scanner = scanner_cls(link)
    capsys.readouterr()
    found = scanner.scan(begin, end)
    lines = capsys.readouterr().out.splitlines()
    return found, lines, (scanner.address, scanner.model, scanner.version, scanner._got_pong), set(link._callbacks)


def test_windows_find_the_actuators_at_their_edges(link, capsys):
    found, lines, state, callbacks = scan_and_state(DorozeActuatorScannerReal, link, capsys, 0x10, 0x55)
    assert found == sorted(EDGES)
    assert lines == [found_line(a, m) for a, m in sorted(EDGES.items())]
    assert state == (0x55, "NOVA_3", "1.4.2", True)
    assert callbacks == {0}  # every probe's callback is gone again


def test_windows_give_what_one_address_at_a_time_gives(link, capsys):
    for begin, end in [(0x10, 0x55), (0x11, 0x2F), (0x2F, 0x30), (0x31, 0x4E), (0x56, 0x60)]:
        pipelined = scan_and_state(DorozeActuatorScannerReal, link, capsys, begin, end)
        one_by_one = scan_and_state(OneByOne, link, capsys, begin, end)
        assert pipelined == one_by_one, (hex(begin), hex(end))


def test_other_transports_and_patched_methods_scan_one_by_one(link, capsys):
    scanner = DorozeActuatorScannerReal(link)
    with mock.patch.object(link, "_send_VEZ", wraps=link._send_VEZ) as send:
        assert scanner.scan(0x2E, 0x31) == [0x2F, 0x30]
    # One address at a time: each ping goes out after the previous probe is over.
    assert [c.args[0] for c in send.call_args_list] == [0x2E, 0x2F, 0x30, 0x31]
    assert scanner.address == 0x31


@pytest.mark.parametrize("late_ms, found", [(20, sorted(EDGES)), (150, [])])
def test_late_answers_count_only_within_the_probe_time(capsys, late_ms, found):
    with BusEmulator(*emulator_args(EDGES, "--late", "1", "--late-ms", str(late_ms))) as bus:
        link = VezOverUsb(port=bus.port)
        try:
            scanner = DorozeActuatorScannerReal(link)  # the adapter's answer, late too, is within 1 s
            assert scanner.is_connected
            capsys.readouterr()
            assert scanner.scan(0x10, 0x70) == found
            assert capsys.readouterr().out.splitlines() == [found_line(a, EDGES[a]) for a in found]
            assert set(link._callbacks) == {0}
        finally:
            link.close()


def test_dropped_answers_are_missing_addresses_only(capsys):
    # With this seed the adapter's own answer comes, and some actuators' do not.
    with BusEmulator(*emulator_args(EDGES, "--drop", "0.5", "--seed", "2")) as bus:
        link = VezOverUsb(port=bus.port)
        try:
            scanner = DorozeActuatorScannerReal(link)
            assert scanner.is_connected
            capsys.readouterr()
            found = scanner.scan(0x10, 0x55)
            assert found and set(found) < set(EDGES) and found == sorted(found)
            assert capsys.readouterr().out.splitlines() == [found_line(a, EDGES[a]) for a in found]
        finally:
            link.close()


def test_ctrl_c_while_reporting_a_window(link, capsys):
    scanner = DorozeActuatorScannerReal(link)
    printed = []

    def print_and_interrupt(text):
        printed.append(text)
        if text.startswith("Device found: address 0x2F"):
            _thread.interrupt_main()

    with mock.patch.object(real_module, "print", print_and_interrupt, create=True):
        found = scanner.scan(0x10, 0x3FFE)
    # As one address at a time: the probe being reported is the one under
    # way; it is printed, not returned, and keeps its callback.
    assert found == [0x10]
    assert printed == [found_line(0x10, "ORBIT_4"), found_line(0x2F, "NOVA_3")]
    assert set(link._callbacks) == {0, 0x2F} and scanner.address == 0x2F


def test_ctrl_c_while_the_pings_of_a_window_go_out(link, capsys):
    """Registering 0x40 again logs a warning; the handler presses Ctrl+C."""

    class CtrlC(logging.Handler):
        def emit(self, record):
            if "0x40" in record.getMessage() or "64 already" in record.getMessage():
                _thread.interrupt_main()

    link.set_callback(0x40, print)
    scanner = DorozeActuatorScannerReal(link)
    capsys.readouterr()
    handler = CtrlC()
    link.logger.addHandler(handler)
    try:
        found = scanner.scan(0x10, 0x3FFE)
    finally:
        link.logger.removeHandler(handler)
    # What counts is what a one-by-one scan would have found up to the probe
    # under way, in the second window (0x30..0x4F).
    assert found in ([0x10, 0x2F], [0x10, 0x2F, 0x30])
    assert capsys.readouterr().out.splitlines() == [found_line(a, EDGES[a]) for a in found]
    assert 0x30 <= scanner.address <= 0x40
    assert set(link._callbacks) - {0, 0x40} <= {scanner.address}


def test_several_scanners_on_one_link_keep_apart(link, capsys):
    scanners = [DorozeActuatorScannerReal(link) for _ in range(2)]
    results = {}

    def run(k, begin, end):
        results[k] = scanners[k].scan(begin, end)

    threads = [threading.Thread(target=run, args=(0, 0x10, 0x2F)), threading.Thread(target=run, args=(1, 0x30, 0x55))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert results == {0: [0x10, 0x2F], 1: [0x30, 0x4F, 0x55]}
