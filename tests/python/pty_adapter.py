"""The USB adapter's end of a pseudo-terminal, for tests with a real serial port.

The transport opens ``adapter.port`` (the pty's slave device) with the real
serial library; the test plays the adapter on the master side: ``write``
sends bytes to the host, ``read_frames`` collects the frames the host sent,
``unplug`` closes the master as a pulled USB cable would.
"""

from __future__ import annotations

import os
import select
import threading
import time
import tty

from fake_serial import frame  # noqa: F401  (re-exported for the tests)


class PtyAdapter:
    def __init__(self) -> None:
        self.master, self._slave = os.openpty()
        # Raw from the start, so nothing written before the port is opened
        # is echoed or edited by the line discipline.
        tty.setraw(self._slave)
        self.port = os.ttyname(self._slave)
        self._pending = b""
        self._master_lock = threading.Lock()  # a write never meets the master half closed
        os.set_blocking(self.master, False)  # so that no write waits with the lock held

    def write(self, data: bytes) -> None:
        """Writes all of `data`; raises BrokenPipeError once unplugged."""
        view = memoryview(data)
        while view:
            with self._master_lock:
                if self.master < 0:
                    raise BrokenPipeError("the adapter is unplugged")
                try:
                    n = os.write(self.master, view)
                except BlockingIOError:
                    n = 0
            if n == 0:
                time.sleep(0.0005)  # the line is full: let the host read
            view = view[n:]

    def try_write(self, data: bytes) -> int:
        """Writes what the line takes now (maybe nothing); 0 once unplugged."""
        with self._master_lock:
            if self.master < 0:
                return 0
            try:
                return os.write(self.master, data)
            except BlockingIOError:
                return 0

    def write_in_background(self, data: bytes, chunk: int = 4096) -> threading.Thread:
        """Writes `data` in chunks from a thread (blocking when the line is full);
        stops quietly when the adapter is unplugged."""

        def run():
            try:
                for i in range(0, len(data), chunk):
                    self.write(data[i:i + chunk])
            except BrokenPipeError:
                pass

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return thread

    def read(self, n: int, timeout: float = 5.0) -> bytes:
        """Exactly n bytes the host wrote, or TimeoutError."""
        deadline = time.monotonic() + timeout
        while len(self._pending) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                raise TimeoutError(f"expected {n} bytes, got {self._pending!r}")
            self._pending += os.read(self.master, 65536)
        out, self._pending = self._pending[:n], self._pending[n:]
        return out

    def read_frames(self, count: int, timeout: float = 5.0) -> list[bytes]:
        """The next `count` frames the host wrote (each checked to be well formed)."""
        deadline = time.monotonic() + timeout
        frames = []
        for _ in range(count):
            header = self.read(4, max(0.0, deadline - time.monotonic()))
            assert header[0] == 0xFE and header[3] <= 59, header
            body = self.read(header[3] + 1, max(0.0, deadline - time.monotonic()))
            assert body[-1] == 0xFD, body
            frames.append(header + body)
        return frames

    def unplug(self) -> None:
        with self._master_lock:
            if self.master >= 0:
                os.close(self.master)
                self.master = -1

    def close(self) -> None:
        self.unplug()
        if self._slave >= 0:
            os.close(self._slave)
            self._slave = -1

    def __enter__(self) -> "PtyAdapter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def wait_until(predicate, timeout: float = 5.0, interval: float = 0.002) -> bool:
    """Polls `predicate` until it is true or `timeout` passes; returns its last value."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            return bool(predicate())
        time.sleep(interval)
    return True
