"""The bus emulator as a test fixture: a USB-CAN adapter and actuators on a pty.

    with BusEmulator("--actuator", "0x10:ORBIT_4") as bus:
        transport = VezOverUsb(port=bus.port)
        ...
        bus.command("error 0x10 0x80000001")
        print(bus.stats())
        print(bus.parameters(0x10))
"""

from __future__ import annotations

import os
import select
import subprocess
import sys
import threading
import time
from pathlib import Path

EMULATOR = Path(sys.executable).with_name("vez-bus-emulator")


def wait_until(condition, timeout: float = 5.0, interval: float = 0.005) -> bool:
    """Polls `condition` until it is true or `timeout` seconds have passed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return bool(condition())


class BusEmulator:
    def __init__(self, *args: str) -> None:
        self.args = [str(EMULATOR), *args]
        self.process: subprocess.Popen | None = None
        self.port = ""
        self._stderr: list[str] = []
        self._stderr_lock = threading.Lock()

    def __enter__(self) -> "BusEmulator":
        self.process = subprocess.Popen(
            self.args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        if not ready:
            self.close()
            raise RuntimeError("the bus emulator did not start")
        self.port = self.process.stdout.readline().strip()
        if not self.port:
            self.close()
            raise RuntimeError("the bus emulator failed: " + self.process.stderr.read())
        self._reader = threading.Thread(target=self._collect_stderr, daemon=True)
        self._reader.start()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _collect_stderr(self) -> None:
        for line in self.process.stderr:
            with self._stderr_lock:
                self._stderr.append(line.rstrip("\n"))

    @property
    def stderr_lines(self) -> list[str]:
        with self._stderr_lock:
            return list(self._stderr)

    def command(self, line: str) -> None:
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def stats(self, timeout: float = 5.0) -> dict[int, str]:
        """Counters of the emulator: {address: 'N steps, N blinks, enabled|disabled, mode M'}, and
        the bus line under the key -1."""
        before = len(self.stderr_lines)
        self.command("stats")
        if not wait_until(lambda: "end of stats" in self.stderr_lines[before:], timeout):
            raise RuntimeError("the bus emulator did not answer 'stats'")
        lines = self.stderr_lines[before:]
        last = max(i for i, line in enumerate(lines) if line == "end of stats")
        first = max(i for i, line in enumerate(lines[:last]) if line.startswith("frames in"))
        result: dict[int, str] = {-1: lines[first]}
        for line in lines[first + 1:last]:  # the emulator writes these lines in one go
            address, _, rest = line[len("actuator "):].partition(": ")
            result[int(address, 16)] = rest
        return result

    def parameters(self, address: int, timeout: float = 5.0) -> dict[int, tuple[int, int | None]]:
        """The actuator's parameter store, read past the bus: {code: (float32 bits, saved bits or None)}
        (the integer parameters hold the integer itself)."""
        before = len(self.stderr_lines)
        self.command(f"params {address:#x}")
        if not wait_until(lambda: "end of params" in self.stderr_lines[before:], timeout):
            raise RuntimeError("the bus emulator did not answer 'params'")
        lines = self.stderr_lines[before:]
        last = lines.index("end of params")
        store: dict[int, tuple[int, int | None]] = {}
        for line in lines[:last]:
            fields = line.split()
            if fields[0] != "param" or int(fields[1], 16) != address:
                continue
            saved = int(fields[5], 16) if len(fields) > 5 else None
            store[int(fields[2], 16)] = (int(fields[3], 16), saved)
        return store

    def close(self) -> None:
        if self.process is None:
            return
        if self.process.poll() is None:
            try:
                self.command("quit")
                self.process.wait(timeout=5)
            except (BrokenPipeError, subprocess.TimeoutExpired, ValueError):
                self.process.kill()
                self.process.wait(timeout=5)
        self._reader.join(5)  # ends at the end of the emulator's output
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except (BrokenPipeError, OSError):
                pass
        self.process = None


def cpu_seconds(pid: int) -> float:
    """User + system CPU time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
