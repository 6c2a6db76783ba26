"""The `doroze` command line: in-process with mocks for its edge cases, and as
the installed console script against the bus emulator."""

import os
import re
import subprocess
import sys
from pathlib import Path
from unittest import mock

import pytest

import vez_api.doroze_cli as cli
from bus_emulator import BusEmulator, wait_until
from vez_api.doroze_actuator_real import DorozeActuatorReal

DOROZE = Path(sys.executable).with_name("doroze")


def source_version() -> str:
    """The project version written in meson.build, the package's one source of it."""
    meson_build = Path(__file__).resolve().parents[2] / "meson.build"
    found = re.search(r"project\(\s*'vez_api'.*?version\s*:\s*'([^']+)'", meson_build.read_text(), re.S)
    assert found, "no version in meson.build's project()"
    return found.group(1)


def run_main(monkeypatch, capsys, *argv):
    monkeypatch.setattr(sys, "argv", ["doroze", *argv])
    cli.main()
    return capsys.readouterr().out.splitlines()


@pytest.fixture
def fake_link(monkeypatch):
    """VezOverUsb and DorozeActuatorReal replaced by mocks in the CLI's namespace."""
    usb = mock.Mock(name="VezOverUsb")
    usb.get_port.return_value = "/dev/ttyACM7"
    usb.get_ports.return_value = []
    actuator_cls = mock.Mock(name="DorozeActuatorReal")
    actuator_cls.return_value.connect.return_value = True
    monkeypatch.setattr(cli, "VezOverUsb", usb)
    monkeypatch.setattr(cli, "DorozeActuatorReal", actuator_cls)
    return usb, actuator_cls


def test_params_defaults_to_the_direct_address(monkeypatch, capsys, fake_link):
    usb, actuator_cls = fake_link
    P = DorozeActuatorReal.VEZ_Parameters
    actuator_cls.return_value.get_parameters_all.return_value = {P.K_DAMPING: 0.5, P.SERIAL_NUMBER: 7}
    out = run_main(monkeypatch, capsys, "params")
    assert out == [
        "Parameters for actuator connected by USB at port '/dev/ttyACM7'",
        "K_DAMPING: 0.5",
        "SERIAL_NUMBER: 7",
    ]
    usb.assert_called_once_with("/dev/ttyACM7")
    actuator_cls.assert_called_once_with(usb.return_value, 0)
    usb.return_value.close.assert_called_once_with()


def test_home_on_the_can_bus(monkeypatch, capsys, fake_link):
    usb, actuator_cls = fake_link
    out = run_main(monkeypatch, capsys, "home", "--address", "0x20", "-p", "COM3")
    assert out == ["Home position set for actuator connected by CAN at address 0x20 (COM3)"]
    actuator_cls.return_value.set_home_position.assert_called_once_with()


def test_could_not_connect(monkeypatch, capsys, fake_link):
    usb, actuator_cls = fake_link
    actuator_cls.return_value.connect.return_value = False
    assert run_main(monkeypatch, capsys, "params", "-a", "0o21") == ["Could not connect by CAN at address 0x11 (/dev/ttyACM7)"]
    assert run_main(monkeypatch, capsys, "blink", "-a", "0b10000", "-p", "x") == [
        "Could not connect to device at address 0x10 (x)"
    ]
    assert usb.return_value.close.call_count == 2


def test_blink_needs_a_nonzero_address(monkeypatch, capsys, fake_link):
    usb, _ = fake_link
    assert run_main(monkeypatch, capsys, "blink", "--address", "0") == ["Address is required for blink command."]
    usb.assert_not_called()


def test_scan_without_adapters(monkeypatch, capsys, fake_link):
    assert run_main(monkeypatch, capsys, "scan") == ["No devices found."]


def test_scan_prints_the_range_in_hex(monkeypatch, capsys, fake_link):
    usb, _ = fake_link
    usb.return_value.is_connected = True
    scanner_cls = mock.Mock(name="DorozeActuatorScannerReal")
    scanner_cls.return_value.is_connected = True
    scanner_cls.return_value.scan.return_value = [16, 30]
    monkeypatch.setattr(cli, "DorozeActuatorScannerReal", scanner_cls)
    out = run_main(monkeypatch, capsys, "scan", "--begin", "16", "--end", "0x1F", "--port", "p0")
    assert out == [
        "Connecting to device on port p0 ...",
        "Scanning addresses from 0x10 to 0x1F ... (CTRL+C to cancel)",
        "Found 2 addresses: [16, 30]",
    ]
    scanner_cls.return_value.scan.assert_called_once_with(begin=16, end=31)


def test_scan_skips_ports_that_do_not_open(monkeypatch, capsys, fake_link):
    usb, _ = fake_link
    usb.get_ports.return_value = ["a", "b"]
    usb.return_value.is_connected = False
    assert run_main(monkeypatch, capsys, "scan") == ["Connecting to device on port a ...", "Connecting to device on port b ..."]
    assert usb.return_value.close.call_count == 2


def test_version_and_argument_errors(monkeypatch, capsys):
    with pytest.raises(SystemExit) as exit_:
        run_main(monkeypatch, capsys, "-v")
    assert exit_.value.code == 0
    # The installed metadata carries meson's project version (nothing else states it).
    assert capsys.readouterr().out.strip() == f"vez_api {source_version()}"
    monkeypatch.setattr(cli, "__version__", "unknown")
    with pytest.raises(SystemExit):
        run_main(monkeypatch, capsys, "--version")
    assert capsys.readouterr().out.strip() == "vez_api unknown"
    for argv, message in (
        ([], "the following arguments are required: command"),
        (["scan", "--begin", "zz"], "argument --begin: invalid address value: 'zz'"),
        (["blink"], "the following arguments are required: --address/-a"),
        (["launch"], "invalid choice: 'launch'"),
    ):
        with pytest.raises(SystemExit) as exit_:
            run_main(monkeypatch, capsys, *argv)
        assert exit_.value.code == 2
        assert message in capsys.readouterr().err


def test_address_converter_takes_every_base():
    assert [cli.address(t) for t in ("16", "0x10", "0o20", "0b10000")] == [16] * 4
    with pytest.raises(ValueError):
        cli.address("ten")
    # Beyond 0x3FFE is the scanner's business; beyond 64 bits no address.
    assert cli.address("0x7fffffffffffffff") == 2**63 - 1 and cli.address("-5") == -5
    with pytest.raises(ValueError, match="address out of range: 0x8000000000000000"):
        cli.address("0x8000000000000000")


def test_a_huge_number_on_the_command_line_is_an_argument_error(bus):
    result = doroze("scan", "-p", bus.port, "--begin", str(2**70))
    assert result.returncode == 2 and result.stdout == ""
    assert f"argument --begin: invalid address value: '{2**70}'" in result.stderr
    assert "Traceback" not in result.stderr
    result = doroze("blink", "-p", bus.port, "-a", "-" + str(2**64))
    assert result.returncode == 2 and "argument --address/-a: invalid address value" in result.stderr


# --- exit statuses ---------------------------------------------------------------------


def run_cli(capsys, *argv, prog=None):
    """cli.run(): the exit status and the lines printed on standard output."""
    status = cli.run(list(argv), prog=prog)
    return status, capsys.readouterr().out.splitlines()


def scanner_that(monkeypatch, connected=True, found=(16,)):
    scanner_cls = mock.Mock(name="DorozeActuatorScannerReal")
    scanner_cls.return_value.is_connected = connected
    scanner_cls.return_value.scan.return_value = list(found)
    monkeypatch.setattr(cli, "DorozeActuatorScannerReal", scanner_cls)
    return scanner_cls


@pytest.mark.parametrize(
    "argv, connects, parameters, status",
    [
        (["params", "-a", "0x10"], True, {"MODE": 1}, 0),
        (["params", "-a", "0x10"], False, {}, 1),
        (["params", "-a", "0x10"], True, {}, 1),  # connected, but the parameter read timed out
        (["home", "-a", "0x10"], True, {}, 0),
        (["home", "-a", "0x10"], False, {}, 1),
        (["blink", "-a", "0x10"], True, {}, 0),
        (["blink", "-a", "0x10"], False, {}, 1),
        (["blink", "-a", "0"], True, {}, 2),
    ],
)
def test_actuator_commands_report_their_status_and_return_none(monkeypatch, capsys, fake_link, argv, connects,
                                                                 parameters, status):
    _, actuator_cls = fake_link
    actuator = actuator_cls.return_value
    actuator.connect.return_value = connects
    actuator.model = "ORBIT_4"
    P = DorozeActuatorReal.VEZ_Parameters
    actuator.get_parameters_all.return_value = {getattr(P, k): v for k, v in parameters.items()}
    assert run_cli(capsys, *argv)[0] == status
    # For programs that import the tool, nothing changes: None from main() and the commands.
    monkeypatch.setattr(sys, "argv", ["doroze", *argv])
    assert cli.main() is None
    args = mock.Mock(port="p", address=0x10, begin=16, end=17)
    assert getattr(cli, "command_" + argv[0])(args) is None


@pytest.mark.parametrize(
    "ports, port_opens, scanner_connected, status",
    [
        ([], True, True, 1),  # no adapter at all
        (["a"], False, True, 1),  # the port does not open
        (["a"], True, False, 1),  # nothing answers on it: nothing was scanned
        (["a"], True, True, 0),
        (["a", "b"], True, True, 0),
    ],
)
def test_scan_status(monkeypatch, capsys, fake_link, ports, port_opens, scanner_connected, status):
    usb, _ = fake_link
    usb.get_ports.return_value = ports
    usb.return_value.is_connected = port_opens
    scanner_that(monkeypatch, connected=scanner_connected, found=[])
    assert run_cli(capsys, "scan")[0] == status  # an empty bus is a result, not a failure


def test_one_failing_port_of_several_fails_the_scan(monkeypatch, capsys, fake_link):
    usb, _ = fake_link
    usb.get_ports.return_value = ["a", "b"]
    opened = iter([mock.Mock(is_connected=False), mock.Mock(is_connected=True)])
    usb.side_effect = lambda port: next(opened)
    scanner_that(monkeypatch)
    status, out = run_cli(capsys, "scan")
    assert status == 1 and out[-1] == "Found 1 addresses: [16]"


@pytest.mark.parametrize("command, action", [("params", "get_parameters_all"), ("home", "set_home_position")])
def test_the_adapter_at_the_direct_address_is_no_actuator(capsys, fake_link, command, action):
    usb, actuator_cls = fake_link
    actuator = actuator_cls.return_value
    actuator.model, actuator.version = "CAN_ADAPTER", "2.1.0"
    status, out = run_cli(capsys, command)
    assert status == 1
    assert out == [
        "The device at port '/dev/ttyACM7' is a USB-CAN adapter (CAN_ADAPTER version 2.1.0), not an actuator: "
        "--address is needed to reach an actuator behind it (doroze scan lists their addresses)."
    ]
    getattr(actuator, action).assert_not_called()
    usb.return_value.close.assert_called_once_with()
    # An actuator plugged straight into the USB port is served as before.
    actuator.model = "ORBIT_4"
    actuator.get_parameters_all.return_value = {DorozeActuatorReal.VEZ_Parameters.K_DAMPING: 0.5}
    status, out = run_cli(capsys, command)
    assert status == 0 and out[0].endswith("connected by USB at port '/dev/ttyACM7'")
    getattr(actuator, action).assert_called_once_with()


def test_the_adapter_is_closed_when_a_command_raises(capsys, fake_link):
    usb, actuator_cls = fake_link
    actuator_cls.return_value.connect.side_effect = RuntimeError("unplugged")
    with pytest.raises(RuntimeError, match="unplugged"):
        cli.run(["blink", "-a", "0x10"])
    usb.return_value.close.assert_called_once_with()


def test_run_returns_the_parser_status(capsys):
    status, out = run_cli(capsys, "--help", prog="python -m vez_api")
    assert status == 0
    assert out[0].startswith("usage: python -m vez_api [-h]")
    help_text = " ".join(" ".join(out).split())
    assert ("exit status: 0 success, 1 a failure the command reported (no adapter, no answer, ...), "
            "2 an argument error") in help_text
    assert run_cli(capsys, "--version")[0] == 0
    for argv in ([], ["blink"], ["scan", "--end", "zz"], ["launch"]):
        assert cli.run(argv) == 2
        assert "error:" in capsys.readouterr().err


# --- the console script against the emulator ------------------------------------------


@pytest.fixture(scope="module")
def bus():
    with BusEmulator("--actuator", "0x10:ORBIT_4", "--actuator", "0x12:ORBIT_2") as emulator:
        yield emulator


def doroze(*args, **kwargs):
    return subprocess.run([str(DOROZE), *args], capture_output=True, text=True, timeout=60, **kwargs)


def test_console_script_scan(bus):
    result = doroze("scan", "-p", bus.port, "--end", "0x14")
    assert result.returncode == 0
    assert result.stdout.splitlines() == [
        f"Connecting to device on port {bus.port} ...",
        f"CAN_ADAPTER version 2.1.0 connected at port '{bus.port}'",
        "Scanning addresses from 0x10 to 0x14 ... (CTRL+C to cancel)",
        "Device found: address 0x10 (16)\tmodel ORBIT_4\tfirmware version 1.4.2",
        "Device found: address 0x12 (18)\tmodel ORBIT_2\tfirmware version 1.4.2",
        "Found 2 addresses: [16, 18]",
    ]
    assert result.stderr == ""  # no progress display when stderr is no terminal


def test_console_script_params_blink_home(bus):
    result = doroze("params", "-p", bus.port, "-a", "0x12")
    lines = result.stdout.splitlines()
    assert lines[0] == f"Parameters for actuator connected by CAN at address 0x12 ({bus.port})"
    assert len(lines) == 1 + 31
    assert "MODE: Mode.POSITION" in lines and "DEVICE_MODEL: 6" in lines

    assert doroze("blink", "-p", bus.port, "-a", "18").stdout == ""
    assert wait_until(lambda: "actuator 0x012: blink" in bus.stderr_lines, 3.0)

    result = doroze("home", "-p", bus.port, "-a", "0x10")
    assert result.stdout == f"Home position set for actuator connected by CAN at address 0x10 ({bus.port})\n"

    result = subprocess.run([sys.executable, "-m", "vez_api", "params", "-p", bus.port, "-a", "0x7F"],
                            capture_output=True, text=True, timeout=60)
    assert result.stdout == f"Could not connect by CAN at address 0x7F ({bus.port})\n"


def test_scan_progress_goes_to_a_terminal_only(bus):
    master, slave = os.openpty()
    try:
        # Long enough (about 1.6 s) for the progress line to show at least once.
        result = subprocess.run([str(DOROZE), "scan", "-p", bus.port, "--begin", "0x13", "--end", "0x3FF"],
                                stdout=subprocess.PIPE, stderr=slave, text=True, timeout=60)
        os.close(slave)
        progress = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            progress += chunk
    finally:
        os.close(master)
    assert result.stdout.splitlines()[-1] == "Found 0 addresses: []"
    assert b"scanning 0x" in progress


def test_console_script_exit_statuses_and_messages(bus):
    cases = [
        (["scan", "-p", bus.port, "--end", "0x11"], 0, None),
        (["blink", "-p", bus.port, "-a", "0x55"], 1, [f"Could not connect to device at address 0x55 ({bus.port})"]),
        (["blink", "-p", bus.port, "-a", "0"], 2, ["Address is required for blink command."]),
        (["home", "-p", bus.port, "--address", "0x7F"], 1, [f"Could not connect by CAN at address 0x7F ({bus.port})"]),
    ]
    adapter_line = (f"The device at port '{bus.port}' is a USB-CAN adapter (CAN_ADAPTER version 2.1.0), not an "
                    "actuator: --address is needed to reach an actuator behind it (doroze scan lists their addresses).")
    cases += [(["params", "-p", bus.port], 1, [adapter_line]), (["home", "-p", bus.port], 1, [adapter_line])]
    for argv, status, lines in cases:
        result = doroze(*argv)
        assert result.returncode == status, (argv, result.stdout, result.stderr)
        if lines is not None:
            assert result.stdout.splitlines() == lines
    result = doroze("params", "-p", bus.port, "-a", "0x1FFFF")  # an argument the bus cannot carry
    assert result.returncode != 0


def test_console_script_with_a_direct_actuator():
    with BusEmulator("--direct", "NOVA_3") as direct:
        result = doroze("home", "-p", direct.port)
        assert (result.returncode, result.stdout) == (0, f"Home position set for actuator connected by USB at port '{direct.port}'\n")
        result = doroze("params", "-p", direct.port)
        assert result.returncode == 0
        assert result.stdout.splitlines()[0] == f"Parameters for actuator connected by USB at port '{direct.port}'"


def test_module_run_names_itself_and_exits_with_the_status(bus):
    result = subprocess.run([sys.executable, "-m", "vez_api", "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.startswith("usage: python -m vez_api [-h]")
    result = subprocess.run([sys.executable, "-m", "vez_api", "blink", "-p", bus.port, "-a", "0x55"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    result = doroze("--help")
    assert result.returncode == 0 and result.stdout.startswith("usage: doroze [-h]")


def test_console_script_without_an_adapter(tmp_path):
    missing = str(tmp_path / "ttyACM9")
    result = doroze("scan", "-p", missing)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [f"Connecting to device on port {missing} ..."]
    assert f"Couldn't connect to port {missing}" in result.stderr
    result = doroze("params", "-p", missing)
    assert (result.returncode, result.stdout) == (1, f"Could not connect by USB at port '{missing}'\n")
    result = doroze("scan")  # no adapter is plugged in where the tests run
    assert (result.returncode, result.stdout) == (1, "No devices found.\n")


def test_console_script_on_a_silent_pseudo_terminal():
    master, slave = os.openpty()
    port = os.ttyname(slave)
    try:
        result = doroze("scan", "-p", port)
        assert result.returncode == 1
        assert result.stdout.splitlines()[-1] == f"Device at port '{port}' not responding"
        result = doroze("blink", "-p", port, "-a", "0x10")
        assert (result.returncode, result.stdout) == (1, f"Could not connect to device at address 0x10 ({port})\n")
    finally:
        os.close(slave)
        os.close(master)


def test_closed_standard_output_ends_without_a_traceback(bus):
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader is gone before anything is written, as with `| head -1`
    try:
        result = subprocess.run([str(DOROZE), "scan", "-p", bus.port, "--end", "0x10"], stdout=write_end,
                                stderr=subprocess.PIPE, text=True, timeout=60)
    finally:
        os.close(write_end)
    assert result.returncode == 1
    assert "Traceback" not in result.stderr and "BrokenPipeError" not in result.stderr
