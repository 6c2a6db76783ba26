"""Speed of the physical actuator's hot paths against a plain-Python baseline.

Both sides run in this process, on the same messages; the figures that matter
are the ratios (baseline time / our time), not the absolute times.

  receive   one stream message of four items: record walk, decoding, merge
            into _feedback and the user's feedback callback
  answer    one answer to a blocking read (two items, normal priority)
  setpoint  change_torque_setpoint on a transport that drops the frame
"""

import math
import struct
import timeit

from vez_api.doroze_actuator_real import DorozeActuatorReal

Items = DorozeActuatorReal.VEZ_Items
Mode = DorozeActuatorReal.Mode
UNSIGNED = {66, 68, 96, 97, 98, 99, 100, 101, 102, 144}
ITEM_CODES = {m.value for m in Items}


class NullTransport:
    def set_callback(self, address, callback):
        pass

    def _send_VEZ(self, address, data, priority=True, can_high_speed=False):
        return True


class PlainPython:
    """The same receive and setpoint logic written directly in Python."""

    def __init__(self, adapter, address):
        self._adapter, self._address = adapter, address
        self._feedback, self._low_feedback = {}, {}
        self._feedback_callback = None
        self._current_mode = None
        self._can_high_speed = False

    @property
    def address(self):
        return self._address

    def _can_callback(self, address, data, priority):
        tmp = {}
        i = 0
        while i < len(data):
            code = data[i]
            if code == 0:
                break
            if code in ITEM_CODES:
                raw = bytes(data[i + 1:i + 5])
                if code in UNSIGNED:
                    value = struct.unpack("<I", raw)[0]
                elif code == 74:
                    value = struct.unpack("<i", raw)[0]
                else:
                    value = struct.unpack("<f", raw)[0]
                tmp[Items(code)] = value
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
        self._adapter._send_VEZ(self.address, msg, can_high_speed=high_speed_candidate if self._can_high_speed else False)

    def change_mode(self, mode):
        self._current_mode = mode
        self._send_VEZ_common([3, mode.value])

    def change_torque_setpoint(self, setpoint, id_Kp=math.nan, id_Ki=math.nan, iq_Kp=math.nan, iq_Ki=math.nan):
        if self._current_mode != Mode.TORQUE:
            self.change_mode(Mode.TORQUE)
        msg = [17] + list(struct.pack("<5f", setpoint, id_Kp, id_Ki, iq_Kp, iq_Ki))
        self._send_VEZ_common(msg, high_speed_candidate=True)


def f32(v):
    return list(struct.pack("<f", v))


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def main():
    ours, base = DorozeActuatorReal(NullTransport(), 16), PlainPython(NullTransport(), 16)
    for a in (ours, base):
        a._feedback_callback = lambda address, items: None
    stream = [69] + f32(1.5) + [74, 255, 255, 255, 255] + [99, 7, 0, 0, 0] + [112] + f32(24.0) + [0, 0, 0, 0]
    answer = [70] + f32(1.0) + [71] + f32(2.0)

    cases = [
        ("receive", lambda a: (lambda: a._can_callback(16, stream, 0)), 200_000),
        ("answer", lambda a: (lambda: a._can_callback(16, answer, 1)), 200_000),
        ("setpoint", lambda a: (lambda: a.change_torque_setpoint(1.0, 2.0)), 200_000),
    ]
    print(f"{'case':10} {'ours (us)':>10} {'baseline (us)':>14} {'speed-up':>9}")
    for name, make, number in cases:
        t_ours, t_base = best(make(ours), number), best(make(base), number)
        print(f"{name:10} {t_ours * 1e6:10.3f} {t_base * 1e6:14.3f} {t_base / t_ours:8.2f}x")


if __name__ == "__main__":
    main()
