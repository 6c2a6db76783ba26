"""Speed of the physical actuator's hot paths against a plain-Python baseline.

Both sides run in this process, on the same messages; the figures that matter
are the ratios (baseline time / our time), not the absolute times.

  receive   one stream message of four items: record walk, decoding, merge
            into _feedback and the user's feedback callback
  answer    one answer to a blocking read (two items, normal priority)
  setpoint  change_torque_setpoint on a transport that drops the frame
"""

import struct
import timeit

from vez_api.doroze_actuator_real import DorozeActuatorReal

from baselines.plain_python import PlainActuator


class NullTransport:
    def set_callback(self, address, callback):
        pass

    def _send_VEZ(self, address, data, priority=True, can_high_speed=False):
        return True


def f32(v):
    return list(struct.pack("<f", v))


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def main():
    ours, base = DorozeActuatorReal(NullTransport(), 16), PlainActuator(NullTransport(), 16)
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
