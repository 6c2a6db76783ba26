"""Actuator answers at byte level, a scripted actuator and a threaded test bus.

Pure Python, independent of the package under test, so the bytes it writes
are an outside view of the protocol:

* ``beacon``, ``items_answer``, ``parameters_answer``, ``errors_report`` build
  the payloads an actuator sends; ``pad_can_fd`` pads them with zeros the way
  CAN FD adapters do; ``decode_command`` reads what the host sends.
* ``ScriptedActuator`` answers request payloads like a device: a pure
  request-in, answers-out object with no notion of transport, so the same
  script can later sit behind a serial port (frames in, frames out).
* ``ThreadedBus`` is a transport that hands every request to the scripted
  actuator at its address and delivers the answers through the registered
  receive routine from its own thread, holding the callback lock, as the USB
  transport's receive thread does.
"""

from __future__ import annotations

import logging
import queue
import struct
import threading
import time
from typing import Callable, Iterable

from vez_api._transport import VezTransport

# Codes of the records an actuator sends that are not feedback items.
BEACON, ERRORS, PARAMETERS = 0x80, 0x82, 0x83

# Action bytes of the requests the scripted actuator understands.
ACTIONS = {
    0x01: "START",
    0x02: "STOP",
    0x03: "CHANGE_MODE",
    0x04: "CHANGE_SETPOINT",
    0x06: "SET_FEEDBACK_HIGH_RATE",
    0x07: "SET_FEEDBACK_HIGH_ITEMS",
    0x0A: "RESET_ENCODER_POSITION",
    0x0B: "SET_PARAMETERS",
    0x0C: "GET_PARAMETERS",
    0x0D: "SET_TORQUE_PERFORMANCE",
    0x0E: "SET_SPEED_PERFORMANCE",
    0x0F: "GET_ITEMS",
    0x11: "CHANGE_SETPOINT_TORQUE",
    0x12: "CHANGE_SETPOINT_SPEED",
    0x13: "CHANGE_SETPOINT_POSITION",
    0x14: "CHANGE_SETPOINT_IMPEDANCE",
    0x15: "CHANGE_SETPOINT_SPEED_INTERNAL",
    0x16: "CHANGE_SETPOINT_POSITION_INTERNAL",
    0x39: "SAVE",
    0x40: "PING",
    0x41: "BLINK",
    0xC1: "ENTER_BOOTLOADER",
    0xC2: "DEBUG_CLEAR_CONFIG",
}

# Value formats by code; every other item / parameter is a little-endian float.
UNSIGNED_ITEMS = {66, 68, 96, 97, 98, 99, 100, 101, 102, 144}
SIGNED_ITEMS = {74}
UNSIGNED_PARAMETERS = {0x80, 0x82, 0x83, 0x84}

# Data lengths a CAN FD frame can have; the adapter frame carries at most 59.
CAN_FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)
MAX_PAYLOAD = 59


def f32(value: float) -> list[int]:
    return list(struct.pack("<f", value))


def pack_version(major: int, minor: int, patch: int) -> int:
    return (major << 11) | (minor << 6) | patch


def pad_can_fd(payload: list[int]) -> list[int]:
    """Zeros up to the next CAN FD data length (never beyond the adapter's 59)."""
    target = next(n for n in CAN_FD_LENGTHS if n >= len(payload))
    return payload + [0] * (min(target, MAX_PAYLOAD) - len(payload))


def beacon(model: int, packed_version: int) -> list[int]:
    return [BEACON] + list(struct.pack("<HH", model, packed_version))


def _value_bytes(code: int, value: float, unsigned: set[int], signed: set[int]) -> list[int]:
    if code in unsigned:
        return list(struct.pack("<I", value))
    if code in signed:
        return list(struct.pack("<i", value))
    return f32(value)


def items_answer(values: dict[int, float]) -> list[int]:
    out: list[int] = []
    for code, value in values.items():
        out += [code] + _value_bytes(code, value, UNSIGNED_ITEMS, SIGNED_ITEMS)
    return out


def parameters_answer(values: dict[int, float]) -> list[int]:
    out = [PARAMETERS]
    for code, value in values.items():
        out += [code] + _value_bytes(code, value, UNSIGNED_PARAMETERS, set())
    return out


def errors_report(bits: int) -> list[int]:
    return [ERRORS] + list(struct.pack("<I", bits))


def decode_command(payload: list[int]) -> tuple[str, object]:
    """(action name, argument) of a request: codes, floats, a byte or a divider."""
    action = ACTIONS[payload[0]]
    body = bytes(payload[1:])
    if action in ("GET_PARAMETERS", "GET_ITEMS", "SET_FEEDBACK_HIGH_ITEMS"):
        return action, list(body)
    if action == "SET_PARAMETERS":
        return action, {body[i]: struct.unpack("<f", body[i + 1 : i + 5])[0] for i in range(0, len(body), 5)}
    if action == "SET_FEEDBACK_HIGH_RATE":
        return action, struct.unpack("<I", body)[0]
    if action in ("CHANGE_MODE", "SET_TORQUE_PERFORMANCE", "SET_SPEED_PERFORMANCE"):
        return action, body[0]
    if action.startswith("CHANGE_SETPOINT"):
        return action, list(struct.unpack(f"<{len(body) // 4}f", body))
    return action, None


class ScriptedActuator:
    """Answers requests as an actuator does: ping, parameters, items.

    ``answer(payload)`` returns the answers as (payload, priority bit) pairs.
    ``silent`` holds action names left unanswered (a lost answer);
    ``answer_limit`` caps how many requests of one action are answered.
    """

    def __init__(self, address: int = 16, model: int = 1, version: int = 0x0841, pad: bool = True):
        self.address = address
        self.model = model
        self.version = version
        self.pad = pad
        self.parameters: dict[int, float] = {code: float(code) / 4 for code in range(1, 16)}
        self.parameters.update({0x30: 6.0, 0x31: 0.0, 0x80: 0x0841, 0x81: float(address), 0x82: 123456, 0x83: model,
                                0x84: 7, 0x85: 0.0})
        self.parameters.update({code: 0.5 for code in range(0x40, 0x48)})
        self.items: dict[int, float] = {69: 1.25, 76: -0.5, 74: -3, 99: 0x80000001, 112: 24.0}
        self.stream_items: list[int] = []
        self.divider = 0
        self.silent: set[str] = set()
        self.answer_limit: dict[str, int] = {}
        self.requests: list[tuple[str, object]] = []

    def _finish(self, payload: list[int]) -> list[int]:
        return pad_can_fd(payload) if self.pad else payload

    def answer(self, payload: list[int]) -> list[tuple[list[int], int]]:
        action, argument = decode_command(payload)
        self.requests.append((action, argument))
        answered = sum(1 for a, _ in self.requests if a == action)
        if action in self.silent or answered > self.answer_limit.get(action, answered):
            return []
        if action == "PING":
            return [(self._finish(beacon(self.model, self.version)), 1)]
        if action == "GET_PARAMETERS":
            return [(self._finish(parameters_answer({c: self.parameters[c] for c in argument})), 1)]
        if action == "SET_PARAMETERS":
            self.parameters.update(argument)
        elif action == "CHANGE_MODE":
            self.parameters[0x30] = float(argument)
        elif action == "GET_ITEMS":
            return [(self._finish(items_answer({c: self.items[c] for c in argument})), 1)]
        elif action == "SET_FEEDBACK_HIGH_ITEMS":
            self.stream_items = argument
        elif action == "SET_FEEDBACK_HIGH_RATE":
            self.divider = argument
        return []

    def stream_message(self) -> tuple[list[int], int]:
        """One message of the feedback stream (priority bit 0)."""
        return self._finish(items_answer({c: self.items[c] for c in self.stream_items})), 0


class ThreadedBus(VezTransport):
    """A transport whose answers arrive on its own receive thread.

    Exceptions raised by a receive routine are kept in ``errors`` and logged
    as the USB transport logs them; the thread carries on.
    """

    def __init__(self, *devices: ScriptedActuator, logger: logging.Logger | None = None):
        super().__init__(logger=logger)
        self.devices = {d.address: d for d in devices}
        self.sent: list[tuple[int, list[int], bool, bool]] = []
        self.sent_from: list[int] = []
        self.errors: list[BaseException] = []
        self.delivered_on: set[int] = set()
        self._queue: queue.Queue = queue.Queue()
        self._thread = threading.Thread(target=self._run, name="test-bus", daemon=True)
        self._thread.start()

    # -- transport surface used by the actuator
    def connect(self, port=None) -> bool:
        return True

    def disconnect(self) -> None:
        if self._thread.is_alive():
            self._queue.put(None)
            self._thread.join(timeout=2.0)

    @property
    def is_connected(self) -> bool:
        return self._thread.is_alive()

    def _send_VEZ(self, address: int, data: list, priority: bool = True, can_high_speed: bool = False) -> bool:
        self.sent.append((address, list(data), priority, can_high_speed))
        self.sent_from.append(threading.get_ident())
        device = self.devices.get(address)
        if device is not None:
            for payload, priority_bit in device.answer(list(data)):
                self.deliver(address, payload, priority_bit)
        return True

    # -- test controls
    def deliver(self, address: int, payload: Iterable[int], priority_bit: int = 1) -> None:
        """Queue one message from `address` for the receive thread."""
        self._queue.put((address, list(payload), priority_bit))

    def stream(self, device: ScriptedActuator, count: int) -> None:
        for _ in range(count):
            payload, priority_bit = device.stream_message()
            self.deliver(device.address, payload, priority_bit)

    def wait_idle(self, timeout: float = 2.0) -> None:
        """Waits until every queued message was handled (bounded)."""
        deadline = time.monotonic() + timeout
        with self._queue.all_tasks_done:
            while self._queue.unfinished_tasks:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError("the test bus did not go idle")
                self._queue.all_tasks_done.wait(remaining)

    def requests(self, address: int = 16) -> list[tuple[str, object]]:
        return [decode_command(data) for a, data, _, _ in self.sent if a == address]

    def _run(self) -> None:
        while True:
            message = self._queue.get()
            try:
                if message is None:
                    return
                address, payload, priority_bit = message
                if address in self._callbacks:
                    with self._lock:
                        self.delivered_on.add(threading.get_ident())
                        self._callbacks[address](address, payload, priority_bit)
            except Exception as exc:  # the receive thread survives anything
                self.errors.append(exc)
                self.logger.warning("Error in polling thread: " + str(exc))
            finally:
                self._queue.task_done()


class FakeClock:
    """Stands in for the `time` module of the code under test: sleeping advances it."""

    def __init__(self, start: float = 1000.0, on_sleep: Callable[[float], None] | None = None):
        self.now = start
        self.sleeps: list[float] = []
        self.on_sleep = on_sleep

    def time(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        self.now += seconds
        if self.on_sleep is not None:
            self.on_sleep(seconds)
