"""`doroze config save|load` and `doroze monitor` as the installed console
script: against the bus emulator and virtual actuators, exit statuses, and the
monitor in a real terminal (tmux)."""

import csv
import os
import shutil
import struct
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

from bus_emulator import BusEmulator, wait_until
from vez_api.doroze_actuator_real import DorozeActuatorReal

DOROZE = Path(sys.executable).with_name("doroze")
P = DorozeActuatorReal.VEZ_Parameters


def doroze(*args, **kwargs):
    return subprocess.run([str(DOROZE), *args], capture_output=True, text=True, timeout=60, **kwargs)


def bits(value: float) -> int:
    return struct.unpack("<I", struct.pack("<f", value))[0]


@pytest.fixture(scope="module")
def bus():
    with BusEmulator("--actuator", "0x10:ORBIT_4", "--actuator", "0x11:NOVA_3") as emulator:
        yield emulator


def test_save_then_load_with_a_diff(bus, tmp_path):
    path = tmp_path / "orbit.yaml"
    result = doroze("config", "save", "-p", bus.port, "-a", "0x10", str(path))
    assert result.returncode == 0, result.stderr
    assert result.stdout == (f"Saved 31 parameters of ORBIT_4 (firmware 1.4.2) by CAN at address 0x10 ({bus.port}) "
                             f"to {path}\n")
    text = path.read_text()
    path.write_text(text.replace("  KP_SPEED: 1.0668849", "  KP_SPEED: 2.5"))

    before = bus.parameters(0x10)
    result = doroze("config", "load", "-p", bus.port, "-a", "16", str(path), "--dry-run")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(f"Configuration {path} (ORBIT_4, firmware 1.4.2, saved ")
    assert lines[0].endswith(f") onto ORBIT_4 by CAN at address 0x10 ({bus.port})")
    assert lines[1:] == ["Would change 1 parameter:", "  KP_SPEED: 1.0668849 -> 2.5", "Dry run: nothing was written."]
    assert bus.parameters(0x10) == before

    result = doroze("config", "load", "-p", bus.port, "-a", "0x10", str(path), "--persist")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1:] == [
        "Changed 1 parameter:",
        "  KP_SPEED: 1.0668849 -> 2.5",
        "Written and read back: 1 parameter.",
        "Saved in the actuator's memory.",
    ]
    assert bus.parameters(0x10)[P.KP_SPEED.value][0] == bits(2.5)
    path.write_text(text)
    assert doroze("config", "load", "-p", bus.port, "-a", "0x10", str(path)).returncode == 0


def test_failures_are_reported_with_status_1(bus, tmp_path):
    path = tmp_path / "orbit.yaml"
    assert doroze("config", "save", "-p", bus.port, "-a", "0x10", str(path)).returncode == 0
    text = path.read_text()

    result = doroze("config", "load", "-p", bus.port, "-a", "0x11", str(path))
    assert result.returncode == 1
    assert result.stderr == (f"doroze config load: {path} was saved from model ORBIT_4; this actuator is model NOVA_3. "
                             "Nothing was written; force the load to apply it anyway.\n")

    path.write_text(text.replace("  KI_SPEED:", "  KI_SPEDE:").replace("  FF_GAIN: 1.0", "  FF_GAIN: high"))
    result = doroze("config", "load", "-p", bus.port, "-a", "0x10", str(path))
    assert result.returncode == 1 and result.stdout == ""  # refused before the port was opened
    problems = result.stderr.splitlines()
    assert problems[0] == f"doroze config load: {path} cannot be used:"
    assert problems[1].endswith("unknown parameter 'KI_SPEDE' (did you mean KI_SPEED?)")
    assert problems[2].endswith("FF_GAIN must be a number, not the text 'high'")

    # A value that does not read back: the diff, then what differs.
    path.write_text(text.replace("  K_STIFFNESS: 14.300662", "  K_STIFFNESS: .nan"))
    result = doroze("config", "load", "-p", bus.port, "-a", "0x10", str(path))
    assert result.returncode == 1
    assert "  K_STIFFNESS: 14.300662 -> .nan" in result.stdout.splitlines()
    assert result.stderr.splitlines()[1] == "  K_STIFFNESS: wrote .nan, reads back 14.300662"

    result = doroze("config", "save", "-p", bus.port, "-a", "0x30", str(tmp_path / "none.yaml"))
    assert result.returncode == 1
    assert result.stderr == f"doroze config save: could not connect by CAN at address 0x30 ({bus.port})\n"
    result = doroze("config", "load", "-p", bus.port, "-a", "0x10", str(tmp_path / "missing.yaml"))
    assert result.returncode == 1 and "No such file or directory" in result.stderr
    result = doroze("config", "save", "--virtual", "ORBIT_4", str(tmp_path / "no" / "such" / "dir.yaml"))
    assert result.returncode == 1 and "No such file or directory" in result.stderr


def test_status_and_messages_through_run_and_python_m(tmp_path, capsys):
    from vez_api import doroze_cli

    path = tmp_path / "twin.yaml"
    assert doroze_cli.run(["config", "save", "--virtual", "ORBIT_2", str(path)]) == 0
    assert doroze_cli.run(["config", "load", "--virtual", "NOVA_3", str(path)], prog="doroze") == 1
    assert capsys.readouterr().err.startswith("doroze config load: ")
    assert doroze_cli.run(["monitor", "--virtual", "ORBIT_2", "--rate", "0"]) == 2
    result = subprocess.run([sys.executable, "-m", "vez_api", "config", "load", "--virtual", "NOVA_3", str(path)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert result.stderr.startswith(f"python -m vez_api config load: {path} was saved from model ORBIT_2")


@pytest.mark.parametrize(
    "args, message",
    [
        (["config", "save", "x.yaml"], "the address is required"),
        (["config", "save", "-p", "/dev/null", "--virtual", "ORBIT_4", "x.yaml"], "not allowed with argument"),
        (["config", "load", "--virtual", "ORBIT_9", "x.yaml"], "no digital twin of model 'ORBIT_9' (available: "),
        (["config", "load", "--virtual", "ORBIT_4"], "the following arguments are required: file"),
        (["config"], "the following arguments are required: config_command"),
        (["monitor", "--virtual", "ORBIT_4", "--items", "POSITION_FB,VOLTS"], "unknown feedback item VOLTS"),
        (["monitor", "--virtual", "ORBIT_4", "--items", ",".join(["IA"] * 11)], "at most 10 items, got 11"),
        (["monitor", "--virtual", "ORBIT_4", "--rate", "0"], "the rate must be 1 to 20000 Hz, got 0"),
        (["monitor", "--virtual", "ORBIT_4", "--rate", "fast"], "not a whole number of hertz: fast"),
        (["monitor", "--virtual", "ORBIT_4", "--duration", "-1"], "the duration must be a positive number"),
        (["monitor", "--virtual", "ORBIT_4", "--duration", "inf"], "the duration must be a positive number"),
    ],
)
def test_argument_errors_exit_with_status_2(args, message):
    result = doroze(*args)
    assert result.returncode == 2
    assert message in result.stderr
    assert result.stdout == ""


def test_the_virtual_actuator_on_the_command_line(tmp_path):
    path = tmp_path / "twin.yaml"
    result = doroze("config", "save", "--virtual", "NOVA_3", "-a", "0x20", str(path))
    assert result.returncode == 0
    assert " of NOVA_3 " in result.stdout and "by virtual NOVA_3 at address 0x20 to" in result.stdout
    path.write_text(path.read_text().replace("  INVERT_FLAG: 0.0", "  INVERT_FLAG: 1.0"))
    result = doroze("config", "load", "--virtual", "NOVA_3", str(path))
    assert result.returncode == 0
    assert "  INVERT_FLAG: 0.0 -> 1.0" in result.stdout.splitlines()
    assert "Note: the file was saved with firmware" not in result.stdout  # same twin, same version

    csv_path = tmp_path / "run.csv"
    result = doroze("monitor", "--virtual", "ORBIT_4", "--items", "position_fb, torque_fb", "--rate", "200",
                    "--duration", "0.5", "--csv", str(csv_path))
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[0] == "    0.00 s  POSITION_FB - rad  TORQUE_FB - N*m"  # not a terminal: plain lines
    rows = list(csv.reader(csv_path.read_text().splitlines()))
    assert rows[0] == ["time_s", "POSITION_FB", "TORQUE_FB"]
    assert lines[-1] == f"{len(rows) - 1} samples in 0.5 s; {len(rows) - 1} rows in {csv_path}"


def test_monitor_of_a_physical_actuator_in_plain_lines(bus, tmp_path):
    bus.command("load 0x11 1.0")
    result = doroze("monitor", "-p", bus.port, "-a", "0x11", "--items", "POSITION_FB,SPEED_FB", "--rate", "50",
                    "--duration", "1.2", "--csv", str(tmp_path / "nova.csv"), "--plain")
    bus.command("load 0x11 0")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) >= 3
    positions = {line.split()[3] for line in lines[1:-1]}
    assert len(positions) > 1  # the values move from line to line
    rows = (tmp_path / "nova.csv").read_text().splitlines()
    assert lines[-1].startswith(f"{len(rows) - 1} samples in 1.2 s")


# --- the monitor in a real terminal -----------------------------------------------------

TMUX = shutil.which("tmux")


class Terminal:
    """A tmux session of its own (private server socket) running a plain shell."""

    def __init__(self, cwd):
        self.socket = f"vez-monitor-{uuid.uuid4().hex[:8]}"
        env = dict(os.environ, TERM="xterm-256color", LANG="C.UTF-8")
        self.run("new-session", "-d", "-s", "t", "-x", "110", "-y", "30", "-c", str(cwd),
                 "PS1='$ ' bash --norc --noprofile", env=env)

    def run(self, *args, env=None):
        return subprocess.run([TMUX, "-L", self.socket, *args], capture_output=True, text=True, timeout=10,
                              env=env, check=True).stdout

    def type(self, *keys):
        self.run("send-keys", "-t", "t", *keys)

    def screen(self) -> str:
        return self.run("capture-pane", "-p", "-t", "t")

    def cursor_visible(self) -> bool:
        return self.run("display-message", "-p", "-t", "t", "#{cursor_flag}").strip() == "1"

    def close(self):
        subprocess.run([TMUX, "-L", self.socket, "kill-server"], capture_output=True, timeout=10)


def value_on_screen(screen: str, item: str):
    for line in screen.splitlines():
        fields = line.replace("│", " ").split()
        if len(fields) >= 2 and fields[0] == item and fields[1] != "-":
            return fields[1]
    return None


@pytest.mark.skipif(TMUX is None, reason="tmux is not installed (make deps installs it)")
def test_monitor_in_a_terminal_updates_and_ends_cleanly_on_ctrl_c(bus, tmp_path):
    terminal = Terminal(tmp_path)
    try:
        assert wait_until(lambda: terminal.screen().rstrip().endswith("$"), 10)
        terminal.type(f"{DOROZE} monitor -p {bus.port} -a 0x10 --items POSITION_FB,SPEED_FB --rate 50 "
                      "--csv run.csv", "Enter")
        assert wait_until(lambda: value_on_screen(terminal.screen(), "POSITION_FB") is not None, 15)
        screen = terminal.screen()
        assert "vez_api monitor: ORBIT_4 at 0x10" in screen and "rad/s" in screen
        assert not terminal.cursor_visible()  # the live view hides it while it draws

        bus.command("load 0x10 1.5")  # the shaft turns: the numbers must follow
        first = value_on_screen(terminal.screen(), "POSITION_FB")
        assert wait_until(lambda: value_on_screen(terminal.screen(), "POSITION_FB") not in (None, first), 10)
        rows = [line for line in terminal.screen().splitlines() if line.replace("│", " ").split()[:1] == ["POSITION_FB"]]
        assert len(rows) == 1  # redrawn in place, not scrolled

        terminal.type("C-c")
        assert wait_until(lambda: "rows in run.csv" in terminal.screen(), 10)
        bus.command("load 0x10 0")
        assert wait_until(lambda: terminal.screen().rstrip().endswith("$"), 10)
        screen = terminal.screen()
        assert "Traceback" not in screen and "KeyboardInterrupt" not in screen
        assert terminal.cursor_visible()

        # The terminal still echoes and runs what is typed.
        terminal.type("echo usable-$((40 + 2))", "Enter")
        assert wait_until(lambda: "usable-42" in terminal.screen(), 10)

        summary = next(line for line in screen.splitlines() if "rows in run.csv" in line)
        samples = int(summary.split()[0])
        text = (tmp_path / "run.csv").read_text()
        assert text.endswith("\n")
        rows = list(csv.reader(text.splitlines()))
        assert rows[0] == ["time_s", "POSITION_FB", "SPEED_FB"]
        assert len(rows) - 1 == samples > 0
        assert all(len(row) == 3 and all(field != "" for field in row) for row in rows[1:])
        times = [float(row[0]) for row in rows[1:]]
        assert times == sorted(times)
    finally:
        terminal.close()
        bus.command("load 0x10 0")
