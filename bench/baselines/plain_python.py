"""The baseline every link and actuator benchmark measures against: the
transport and the actuator written in plain Python over pyserial.

PlainUsb has one receive thread that resynchronises on the start byte and
dispatches each frame to the callback of its address, and a _send_VEZ with
its range and size checks.  PlainActuator decodes streamed items, beacons and
parameter answers, and its waiting calls poll their flag every 10 ms / 5 ms.
"""

import logging
import math
import struct
import threading
import time

import serial

from vez_api.doroze_actuator_real import DorozeActuatorReal

Items = DorozeActuatorReal.VEZ_Items
Params = DorozeActuatorReal.VEZ_Parameters
Mode = DorozeActuatorReal.Mode
MODELS = DorozeActuatorReal._MODELS_NAMES
UNSIGNED_ITEMS = {66, 68, 96, 97, 98, 99, 100, 101, 102, 144}
UNSIGNED_PARAMETERS = {0x80, 0x82, 0x83, 0x84}
ITEM_CODES = {m.value for m in Items}
PING, GET_PARAMETERS, GET_ITEMS, START, TORQUE_SETPOINT, CHANGE_MODE = 0x40, 0x0C, 0x0F, 0x01, 0x11, 0x03
BEACON, ERRORS, PARAMETERS = 0x80, 0x82, 0x83


class PlainUsb:
    """Transport: pyserial port, one receive thread, _send_VEZ with its checks."""

    def __init__(self, port=None):
        self.logger = logging.getLogger("plain")
        self._callbacks = {}
        self._lock = threading.Lock()
        self._ser = serial.Serial(port=None, baudrate=115200, timeout=0.8, interCharTimeout=0.1)
        self._run = threading.Event()
        if port is None:
            return
        self._ser.port = port
        self._ser.open()
        self._ser.flushInput()
        self._run.set()
        self._thread = threading.Thread(target=self._worker, daemon=True)
        self._thread.start()

    @property
    def is_connected(self):
        return self._run.is_set() and self._ser.is_open

    @staticmethod
    def _check_vez_id_range(can_id):
        return 0 <= can_id <= 0x3FFE

    @staticmethod
    def _check_vez_payload_size(payload):
        return 1 <= len(payload) <= 59

    def set_callback(self, address, callback):
        if address in self._callbacks:
            self.logger.warning("address " + str(address) + " already has a callback")
        with self._lock:
            self._callbacks[address] = callback

    def remove_callback(self, address):
        with self._lock:
            if address in self._callbacks:
                del self._callbacks[address]

    def _send_VEZ(self, address, data, priority=True, can_high_speed=False):
        if not isinstance(data, list):
            raise TypeError("data")
        if not self._check_vez_id_range(address):
            self.logger.error("Invalid VEZ ID: " + str(address))
            return False
        if not self._check_vez_payload_size(data):
            self.logger.warning("Invalid payload length for address " + str(address) + " - len " + str(len(data)))
            return False
        word = (address & 0x3FFF) | ((1 if can_high_speed else 0) << 14) | ((0 if priority else 1) << 15)
        frame = struct.pack("<BHB", 0xFE, word, len(data)) + bytes(data) + b"\xfd"
        if self._ser.is_open:
            return self._ser.write(frame) == len(frame)
        self.logger.warning("Serial port not connected")
        return False

    def close(self):
        if self._run.is_set():
            self._run.clear()
            self._ser.cancel_read()
            self._thread.join(2)

    def _worker(self):
        ser = self._ser
        in_sync = True
        while self._run.is_set() and ser.is_open:
            try:
                if in_sync:
                    header = ser.read(4)
                else:
                    b = ser.read(1)
                    if not b or b[0] != 0xFE:
                        continue
                    header = b + ser.read(3)
                    in_sync = True
                if len(header) != 4 or header[0] != 0xFE or header[3] > 59:
                    in_sync = False
                    continue
                word = struct.unpack("<H", header[1:3])[0]
                body = ser.read(header[3] + 1)
                if len(body) != header[3] + 1 or body[-1] != 0xFD:
                    in_sync = False
                    continue
                address = word & 0x3FFF
                if address in self._callbacks:
                    with self._lock:
                        self._callbacks[address](address, list(body[:-1]), word >> 15)
            except (serial.SerialException, KeyboardInterrupt):
                self._run.clear()
            except Exception as e:  # noqa: BLE001
                self.logger.warning("Error in polling thread: " + str(e))
        ser.close()


class PlainActuator:
    """Actuator: receive routine, the three waiting calls polling their flags, a setpoint."""

    def __init__(self, adapter, address):
        self._adapter, self._address = adapter, address
        self._feedback, self._low_feedback, self._parameters = {}, {}, {}
        self._got_pong = self._got_parameters = False
        self._feedback_callback = None
        self._current_mode = None
        self._can_high_speed = False
        self._model, self._firmware_version = "", "x.x.x"
        self.logger = logging.getLogger("plain")
        adapter.set_callback(address, self._can_callback)

    @property
    def address(self):
        return self._address

    @property
    def model(self):
        return self._model

    @property
    def version(self):
        return self._firmware_version

    def _can_callback(self, address, data, priority):
        tmp = {}
        i = 0
        while i < len(data):
            code = data[i]
            if code == 0:
                break
            if code == BEACON:
                model, packed = struct.unpack("<HH", bytes(data[i + 1:i + 5]))
                self._firmware_version = f"{packed >> 11}.{(packed >> 6) & 31}.{packed & 63}"
                self._model = MODELS[model] if model < len(MODELS) else MODELS[0]
                self._got_pong = True
                return
            if code == PARAMETERS:
                rest = bytes(data[i + 1:])
                for k in range(len(rest) // 5):
                    p = rest[5 * k]
                    if p == 0:
                        break
                    fmt = "<I" if p in UNSIGNED_PARAMETERS else "<f"
                    self._parameters[Params(p)] = struct.unpack(fmt, rest[5 * k + 1:5 * k + 5])[0]
                self._got_parameters = True
                return
            if code in ITEM_CODES:
                raw = bytes(data[i + 1:i + 5])
                fmt = "<I" if code in UNSIGNED_ITEMS else ("<i" if code == 74 else "<f")
                tmp[Items(code)] = struct.unpack(fmt, raw)[0]
                i += 5
            else:
                return
        if priority == 0:
            self._feedback.update(tmp)
            if self._feedback_callback is not None:
                self._feedback_callback(self.address, tmp)
        else:
            self._low_feedback = tmp

    def _send_VEZ_common(self, msg, high_speed_candidate=False):
        self._adapter._send_VEZ(self.address, msg,
                                can_high_speed=high_speed_candidate if self._can_high_speed else False)

    def send_ping(self, timeout=1.0):
        self._got_pong = False
        self._send_VEZ_common([PING])
        start = time.time()
        while time.time() - start < timeout:
            if self._got_pong:
                return True
            time.sleep(0.01)
        return False

    def connect(self, timeout=1.0):
        return self.send_ping(timeout=timeout)

    def get_items_blocking(self, items, timeout=1.0):
        msg = [GET_ITEMS] + [i.value for i in items]
        self._low_feedback = {}
        self._send_VEZ_common(msg, high_speed_candidate=True)
        start = time.time()
        while time.time() - start < timeout:
            if self._low_feedback:
                return self._low_feedback
            time.sleep(0.005)
        self.logger.error("Timeout while waiting for response")
        return {}

    def get_parameters(self, parameters, timeout=1.0):
        batch, rest = parameters[:9], parameters[9:]
        self._got_parameters = False
        self._send_VEZ_common([GET_PARAMETERS] + [p.value for p in batch])
        start = time.time()
        while time.time() - start < timeout:
            if self._got_parameters:
                break
            time.sleep(0.01)
        if not self._got_parameters:
            self.logger.error("Timeout while waiting for response")
            return {}
        if rest:
            self.get_parameters(rest, timeout)
        return self._parameters

    def start(self):
        self._send_VEZ_common([START])

    def change_mode(self, mode):
        self._current_mode = mode
        self._send_VEZ_common([CHANGE_MODE, mode.value])

    def change_torque_setpoint(self, setpoint, id_Kp=math.nan, id_Ki=math.nan, iq_Kp=math.nan, iq_Ki=math.nan):
        if self._current_mode != Mode.TORQUE:
            self.change_mode(Mode.TORQUE)
        msg = [TORQUE_SETPOINT] + list(struct.pack("<5f", setpoint, id_Kp, id_Ki, iq_Kp, iq_Ki))
        self._send_VEZ_common(msg, high_speed_candidate=True)
