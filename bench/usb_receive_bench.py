"""Receive-path benchmark of VezOverUsb over a pseudo-terminal.

Frames per second dispatched to a Python callback, and CPU time of the receive
thread per frame, for VezOverUsb and for a baseline measured in the same run:
the same receive algorithm written in plain Python over the same kind of
pyserial port (baselines/plain_python.py).  Then a paced stream at 20,000 frames/s, checked for loss.

The adapter side is a thread writing to the pty master; the CPU figures come
from time.thread_time() taken inside the callback, i.e. on the receive thread.
"""

import os
import threading
import time
import tty

from vez_api.vez_over_usb import VezOverUsb

from baselines.plain_python import PlainUsb

ADDRESS = 0x10
PAYLOAD_SIZE = 8  # 4-byte sequence number + padding: a typical feedback frame is 8..30 bytes


def frame(address, payload):
    return bytes([0xFE, address & 0xFF, address >> 8, len(payload)]) + payload + b"\xfd"


def stream(first, count):
    return b"".join(frame(ADDRESS, i.to_bytes(4, "little") + bytes(PAYLOAD_SIZE - 4)) for i in range(first, first + count))


class Probe:
    """The callback: counts frames, checks their order, samples clocks on the receive thread."""

    def __init__(self, expected):
        self.expected = expected
        self.count = 0
        self.in_order = True
        self.first = self.last = None
        self.done = threading.Event()

    def __call__(self, address, payload, priority_bit):
        if self.count == 0:
            self.first = (time.perf_counter(), time.thread_time())
        if int.from_bytes(bytes(payload[:4]), "little") != self.count:
            self.in_order = False
        self.count += 1
        if self.count == self.expected:
            self.last = (time.perf_counter(), time.thread_time())
            self.done.set()


def open_pty():
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def write_all(fd, data, chunk=65536):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:chunk]):]


def full_speed(make_receiver, count):
    master, slave, name = open_pty()
    receiver = make_receiver(name)
    probe = Probe(count)
    receiver.set_callback(ADDRESS, probe)
    data = stream(0, count)
    writer = threading.Thread(target=write_all, args=(master, data), daemon=True)
    writer.start()
    ok = probe.done.wait(120)
    writer.join(10)
    receiver.close()
    os.close(master)
    os.close(slave)
    if not ok or not probe.in_order:
        raise SystemExit(f"lost or reordered frames: {probe.count} of {count}, in order: {probe.in_order}")
    wall = probe.last[0] - probe.first[0]
    cpu = probe.last[1] - probe.first[1]
    return (count - 1) / wall, cpu / (count - 1)


def paced(make_receiver, rate, seconds):
    """Writes `rate` frames/s in 1 ms slices; returns (delivered, sent, in order, receive-thread CPU share)."""
    master, slave, name = open_pty()
    receiver = make_receiver(name)
    count = int(rate * seconds)
    probe = Probe(count)
    receiver.set_callback(ADDRESS, probe)
    per_slice = rate // 1000
    start = time.perf_counter()
    for k in range(count // per_slice):
        write_all(master, stream(k * per_slice, per_slice))
        delay = start + (k + 1) / 1000 - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
    probe.done.wait(10)
    receiver.close()
    os.close(master)
    os.close(slave)
    share = (probe.last[1] - probe.first[1]) / (probe.last[0] - probe.first[0]) if probe.last else float("nan")
    return probe.count, count, probe.in_order, share


def main():
    native = lambda port: VezOverUsb(port=port)  # noqa: E731
    baseline = PlainUsb

    print("VezOverUsb receive path over a pty: frames of", PAYLOAD_SIZE + 5, "bytes to one Python callback")
    b_rate, b_cpu = full_speed(baseline, 100_000)
    n_rate, n_cpu = full_speed(native, 500_000)
    print(f"  plain-Python receiver (baseline): {b_rate:12,.0f} frames/s  {b_cpu * 1e6:6.2f} us CPU/frame")
    print(f"  VezOverUsb                      : {n_rate:12,.0f} frames/s  {n_cpu * 1e6:6.2f} us CPU/frame")
    print(f"  ratio: {n_rate / b_rate:.1f}x the frame rate, {b_cpu / n_cpu:.1f}x less CPU per frame")

    rate, seconds = 20_000, 3
    for label, make in (("plain-Python receiver", baseline), ("VezOverUsb", native)):
        got, sent, in_order, share = paced(make, rate, seconds)
        print(
            f"  {rate:,} frames/s for {seconds} s, {label:21}: {got:,} of {sent:,} delivered "
            f"({'in order' if in_order else 'OUT OF ORDER'}, {sent - got} lost), receive thread CPU {share:.0%}"
        )
        if label == "VezOverUsb" and (got != sent or not in_order):
            raise SystemExit("frames lost at 20,000 frames/s")


if __name__ == "__main__":
    main()
