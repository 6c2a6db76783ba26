"""A fake serial port for byte-exact tests of the USB transport.

Patch it in where the transport creates its port::

    with mock.patch("vez_api.vez_over_usb.serial.Serial", FakeSerial):
        t = VezOverUsb(port="/dev/fake0")

The test plays the adapter: ``feed`` queues bytes that ``read`` hands out,
``pause`` makes the read that reaches it time out early (a gap on the line),
``fail_read`` makes the read that reaches it raise.  ``written`` collects what
the transport wrote.  ``wait_drained`` returns once everything queued was read
and the reader is blocked again, i.e. every complete frame was dispatched.

A read waits for missing bytes up to the port's ``timeout``, like the real
one.  ``attach(transport)`` lets a waiting read also return as soon as the
transport's run flag is cleared, so that ``disconnect`` does not have to wait
out the timeout.
"""

from __future__ import annotations

import collections
import threading
import time

import serial

PAUSE = object()


class FakeSerial:
    def __init__(self, *args, **kwargs):
        self.init_args = args
        self.init_kwargs = kwargs
        self.port = kwargs.get("port")
        self.timeout = kwargs.get("timeout")
        self.is_open = False
        self.calls: list[str] = []  # open, close, flushInput, flushOutput
        self.reads: list[int] = []  # sizes asked of read(), in order of completion
        self.wake_when = None  # callable: a waiting read returns when it answers true
        self.written: list[bytes] = []
        self.open_error: BaseException | None = None
        self.write_error: BaseException | None = None
        self.write_result: int | None = None  # None: the whole frame
        self._queue: collections.deque = collections.deque()
        self._cond = threading.Condition()
        self._reader_idle = False

    # --- the adapter's side ---------------------------------------------------

    def feed(self, *chunks: bytes) -> None:
        with self._cond:
            self._queue.extend(bytes(c) for c in chunks)
            self._cond.notify_all()

    def pause(self) -> None:
        with self._cond:
            self._queue.append(PAUSE)
            self._cond.notify_all()

    def fail_read(self, exc: BaseException) -> None:
        with self._cond:
            self._queue.append(exc)
            self._cond.notify_all()

    def wait_drained(self, timeout: float = 5.0) -> None:
        """Waits until the queue is empty and a read is waiting for more."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while self._queue or not self._reader_idle:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"fake port not drained: {list(self._queue)!r}")
                self._cond.wait(left)

    # --- the serial library's side --------------------------------------------

    def open(self) -> None:
        self.calls.append("open")
        if self.open_error is not None:
            raise self.open_error
        if self.port is None:
            raise serial.SerialException("Port must be configured before it can be used.")
        if self.is_open:
            raise serial.SerialException("Port is already open.")
        self.is_open = True

    def close(self) -> None:
        self.calls.append("close")
        with self._cond:
            self.is_open = False
            self._cond.notify_all()

    def flushInput(self) -> None:
        self.calls.append("flushInput")

    def flushOutput(self) -> None:
        self.calls.append("flushOutput")

    @property
    def in_waiting(self) -> int:
        with self._cond:
            n = 0
            for item in self._queue:
                if not isinstance(item, bytes):
                    break
                n += len(item)
            return n

    def read(self, size: int = 1) -> bytes:
        if not self.is_open:
            raise serial.PortNotOpenError()
        out = bytearray()
        deadline = time.monotonic() + (self.timeout if self.timeout is not None else 3600.0)
        with self._cond:
            try:
                self._read_into(out, size, deadline)
            finally:
                self.reads.append(size)
        return bytes(out)

    def _read_into(self, out: bytearray, size: int, deadline: float) -> None:
        while len(out) < size:
            if self._queue:
                item = self._queue[0]
                if item is PAUSE:
                    self._queue.popleft()
                    break
                if isinstance(item, BaseException):
                    self._queue.popleft()
                    raise item
                take = item[: size - len(out)]
                out += take
                if len(take) == len(item):
                    self._queue.popleft()
                else:
                    self._queue[0] = item[len(take):]
                continue
            left = deadline - time.monotonic()
            if left <= 0 or not self.is_open or (self.wake_when is not None and self.wake_when()):
                break
            self._reader_idle = True
            self._cond.notify_all()
            self._cond.wait(min(left, 0.01))
            self._reader_idle = False

    def write(self, data: bytes) -> int | None:
        if not self.is_open:
            raise serial.PortNotOpenError()
        if self.write_error is not None:
            raise self.write_error
        self.written.append(bytes(data))
        return len(data) if self.write_result is None else self.write_result


def attach(transport):
    """Lets the fake port's waiting reads end once `transport` is told to stop."""
    transport._ser.wake_when = lambda: not transport._polling_thread_event.is_set()
    return transport


def frame(address: int, payload, priority: bool = True, can_high_speed: bool = False) -> bytes:
    """An adapter frame, written out independently of the package."""
    word = (address & 0x3FFF) | (0 if priority else 0x8000) | (0x4000 if can_high_speed else 0)
    payload = bytes(payload)
    return bytes([0xFE, word & 0xFF, word >> 8, len(payload)]) + payload + bytes([0xFD])


def reference_receive(stream: bytes) -> list[tuple[int, list[int], int]]:
    """The receive algorithm stated plainly, over a stream without timeouts:
    what a callback sees, as (address, payload, priority bit).

    A frame is a start byte, a header with a length up to 59, the payload and
    the trailer.  When the bytes at a candidate start are not one, the search
    for the next start byte begins at the byte after that start, whatever the
    candidate had read; a frame that passes every check is taken whole."""
    out = []
    pos = 0
    while True:
        start = stream.find(b"\xfe", pos)
        if start < 0:
            return out
        header = stream[start:start + 4]
        n = header[3] if len(header) == 4 else 0
        frame_end = start + 5 + n
        if len(header) < 4 or n > 59 or frame_end > len(stream) or stream[frame_end - 1] != 0xFD:
            pos = start + 1
            continue
        word = header[1] | header[2] << 8
        out.append((word & 0x3FFF, list(stream[start + 4:frame_end - 1]), word >> 15))
        pos = frame_end
