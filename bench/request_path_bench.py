"""The request path: how fast a request is answered, a bus scanned, a command sent.

Everything runs over the bus emulator on a pseudo-terminal (three actuators,
0x10, 0x11, 0x20), against a baseline measured in the same run: the same
transport and actuator written in plain Python over pyserial, the way they
were built before (a receive thread like the one of usb_receive_bench.py,
waits that poll their flag every 10 ms / 5 ms, a scan that probes one
address at a time).  Printed next to each figure: its target.

  latency   p50/p90/p99 of get_items_blocking([POSITION_FB]),
            get_parameters([LIM_TORQUE]) and connect(), 3 x 250 calls each,
            and the link itself (a request and its answer written and read
            by one thread, no receive thread)
  scan      0x10..0xFF and 1..0x3FFE (the baseline's full range, 14 minutes,
            is extrapolated from its 0x10..0xFF time)
  setpoint  change_torque_setpoint calls per second and CPU per call, to the
            emulator's port (free running, where the emulator sets the pace,
            and paced at 2 kHz like a control loop) and with a serial write
            that does nothing; start() with the do-nothing write
  send      VezOverUsb._send_VEZ per frame, do-nothing write and to the port
            (CPU of the calling thread, paced at 2 kHz)
"""

import contextlib
import io
import logging
import math
import struct
import sys
import time
from pathlib import Path

import serial

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from bus_emulator import BusEmulator  # noqa: E402
from vez_api.doroze_actuator_real import DorozeActuatorReal, DorozeActuatorScannerReal  # noqa: E402
from vez_api.vez_over_usb import VezOverUsb  # noqa: E402

from baselines.plain_python import GET_ITEMS, TORQUE_SETPOINT, Items, Params, PlainActuator, PlainUsb  # noqa: E402

ACTUATORS = {0x10: "ORBIT_4", 0x11: "NOVA_3", 0x20: "ORBIT_2"}


# --- the baseline (baselines/plain_python.py) and its one-by-one scan ------------------------------


def plain_scan(adapter, begin, end):
    """The scan, one address at a time: each probe is answered or times out before the next."""
    scanner = PlainActuator(adapter, 0)
    found = []
    for address in range(begin, end + 1):
        scanner._address = address
        adapter.set_callback(address, scanner._can_callback)
        if scanner.send_ping(timeout=0.05):
            print(f"Device found: address 0x{address:X} ({address})\tmodel {scanner.model}\t"
                  f"firmware version {scanner.version}")
            found.append(address)
        adapter.remove_callback(address)
    return found


def link_round_trip(port, count):
    """The link itself: one thread writes GET_ITEMS and reads the answer frame, no receive thread."""
    ser = serial.Serial(port=port, baudrate=115200, timeout=1.0)
    request = bytes([0xFE, 0x10, 0x00, 2, GET_ITEMS, Items.POSITION_FB.value, 0xFD])
    times = []
    for _ in range(count):
        t0 = time.perf_counter()
        ser.write(request)
        header = ser.read(4)
        ser.read(header[3] + 1)
        times.append(time.perf_counter() - t0)
    ser.close()
    return times


# --- measuring -------------------------------------------------------------------------------------


class NullSerial:
    """A serial port whose write does nothing (the cost of the port left out)."""

    is_open = True

    def write(self, data):
        return len(data)


def percentiles(times):
    s = sorted(times)
    pick = lambda q: s[min(len(s) - 1, int(q * len(s)))]  # noqa: E731
    return pick(0.5), pick(0.9), pick(0.99)


def latency(call, rounds=3, per_round=250):
    times = []
    for _ in range(rounds):
        for _ in range(per_round):
            t0 = time.perf_counter()
            result = call()
            times.append(time.perf_counter() - t0)
            if not result:
                raise SystemExit(f"no answer from {call}")
    return times


def calls_per_second(call, count, repeat=3):
    """Calls per second (wall) and CPU seconds per call of the calling thread, best of `repeat`."""
    for _ in range(1000):
        call()
    best_rate, best_cpu = 0.0, math.inf
    for _ in range(repeat):
        w0, c0 = time.perf_counter(), time.thread_time()
        for _ in range(count):
            call()
        wall, cpu = time.perf_counter() - w0, time.thread_time() - c0
        best_rate, best_cpu = max(best_rate, count / wall), min(best_cpu, cpu / count)
    return best_rate, best_cpu


def compare_rates(ours, base, count, rounds=5):
    """calls_per_second of two calls, rounds taken in turn (a busy machine
    then slows both alike); the best round of each."""
    best = {}
    for _ in range(rounds):
        for name, call in (("ours", ours), ("base", base)):
            rate, cpu = calls_per_second(call, count, repeat=1)
            old_rate, old_cpu = best.get(name, (0.0, math.inf))
            best[name] = (max(old_rate, rate), min(old_cpu, cpu))
    return best["ours"], best["base"]


def paced_cpu(call, rate, count):
    """CPU microseconds of the calling thread per call, calls paced at `rate` per second (a control loop)."""
    empty = time.thread_time()
    empty = time.thread_time() - empty  # the clock's own cost, taken off each call
    spent = 0.0
    start = time.perf_counter()
    for k in range(count):
        c0 = time.thread_time()
        call()
        spent += time.thread_time() - c0 - empty
        delay = start + (k + 1) / rate - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
    return spent / count


def compare_per_call(ours, base, count):
    o, b = compare_rates(ours, base, count)
    return 1.0 / o[0], 1.0 / b[0]


def quiet_scan(scan, *args):
    out = io.StringIO()
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(out):
        found = scan(*args)
    return time.perf_counter() - t0, found, out.getvalue().splitlines()


def row(label, ours, base, unit, target):
    ratio = base / ours if ours else math.inf
    print(f"  {label:34} {ours:10.3f} {base:12.3f} {unit:5} {ratio:8.2f}x   {target}")


@contextlib.contextmanager
def session(port, plain):
    """One side's transport on the emulator's port, with an actuator at 0x10.

    The two sides take turns: two receive threads on one port would share
    its frames out between them."""
    link = PlainUsb(port) if plain else VezOverUsb(port=port)
    try:
        yield link, (PlainActuator if plain else DorozeActuatorReal)(link, 0x10)
    finally:
        link.close()


def main():
    logging.getLogger().setLevel(logging.CRITICAL)  # the scans' duplicate-callback warnings
    args = []
    for address, model in ACTUATORS.items():
        args += ["--actuator", f"{address:#x}:{model}"]
    with BusEmulator(*args) as bus:
        floor = percentiles(link_round_trip(bus.port, 250))[0]
        print("Request path over the bus emulator; baseline = plain Python over pyserial, same run")
        print(f"  the link itself (one thread writes a request and reads the answer): p50 {floor * 1e3:.3f} ms")
        print(f"  {'latency, p50 / p90 / p99 (ms)':34} {'ours':>26} {'baseline':>26} {'p50 ratio':>9}  target")
        for label, call in (
            ("get_items_blocking([POSITION_FB])", lambda a: a.get_items_blocking([Items.POSITION_FB])),
            ("get_parameters([LIM_TORQUE])", lambda a: a.get_parameters([Params.LIM_TORQUE])),
            ("connect()", lambda a: a.connect()),
        ):
            times = {False: [], True: []}
            for _ in range(3):  # rounds taken in turn, so both sides see the same machine
                for plain in (False, True):
                    with session(bus.port, plain) as (_, actuator):
                        times[plain] += latency(lambda: call(actuator), rounds=1)
            o, b = percentiles(times[False]), percentiles(times[True])
            fmt = lambda p: " / ".join(f"{x * 1e3:6.3f}" for x in p)  # noqa: E731
            print(f"  {label:34} {fmt(o):>26} {fmt(b):>26} {b[0] / o[0]:8.1f}x  p50 <= 0.8 ms")

        print(f"  {'scan (s)':34} {'ours':>10} {'baseline':>12} {'':5} {'ratio':>9}   target")
        with session(bus.port, False) as (link, _):
            with contextlib.redirect_stdout(io.StringIO()):
                scanner = DorozeActuatorScannerReal(link)
            t_short, found, lines = quiet_scan(scanner.scan, 0x10, 0xFF)
            t_full, found_full, lines_full = quiet_scan(scanner.scan, 1, 0x3FFE)
        with session(bus.port, True) as (link, _):
            b_short, b_found, b_lines = quiet_scan(plain_scan, link, 0x10, 0xFF)
        if found != sorted(ACTUATORS) or b_found != found or lines != b_lines:
            raise SystemExit(f"scans differ: {found} {lines} / {b_found} {b_lines}")
        if found_full != found or lines_full != lines:
            raise SystemExit(f"the full scan differs: {found_full} {lines_full}")
        row("scan(0x10, 0xFF)", t_short, b_short, "s", "<= 0.5 s, same output")
        b_full = b_short / (0xFF - 0x10 + 1) * 0x3FFE
        row("scan(1, 0x3FFE), baseline extrap.", t_full, b_full, "s", "<= 30 s, same output")

        print(f"  {'commands':34} {'ours':>10} {'baseline':>12} {'':5} {'ratio':>9}   target")
        setpoint = lambda a: (lambda: a.change_torque_setpoint(1.0, 2.0))  # noqa: E731
        frame = [TORQUE_SETPOINT] + list(struct.pack("<5f", 1.0, 2.0, math.nan, math.nan, math.nan))
        rates = {}
        for plain in (False, True):
            with session(bus.port, plain) as (link, actuator):
                # Free running, the emulator sets the pace: the line fills and
                # both sides spend their time waiting for it.
                rates[plain] = calls_per_second(setpoint(actuator), 20000)
                # Paced like a control loop: the cost of a call itself.
                rates[plain, "paced"] = paced_cpu(setpoint(actuator), 2000, 4000)
                # To an address nobody answers at: the frame and its write.
                rates[plain, "send"] = paced_cpu(lambda: link._send_VEZ(0x30, frame), 2000, 4000)
        print(f"  {'setpoint to the port, free (calls/s)':34} {rates[False][0]:10.0f} {rates[True][0]:12.0f} "
              f"{'':5} {rates[False][0] / rates[True][0]:8.2f}x")
        row("setpoint to the port at 2 kHz, CPU", rates[False, "paced"] * 1e6, rates[True, "paced"] * 1e6, "us", "")

        ours_link, base_link = VezOverUsb(connect_on_init=False), PlainUsb()
        ours_link._ser, base_link._ser = NullSerial(), NullSerial()
        ours, base = DorozeActuatorReal(ours_link, 0x10), PlainActuator(base_link, 0x10)
        (o_rate, o_cpu), (b_rate, b_cpu) = compare_rates(setpoint(ours), setpoint(base), 50000)
        print(f"  {'setpoint, do-nothing write (calls/s)':34} {o_rate:10.0f} {b_rate:12.0f} {'':5} "
              f"{o_rate / b_rate:8.2f}x   >= 1.5x")
        row("setpoint, do-nothing write, CPU/call", o_cpu * 1e6, b_cpu * 1e6, "us", ">= 1.5x")
        o, b = compare_per_call(ours.start, base.start, 50000)
        row("start(), do-nothing write", o * 1e6, b * 1e6, "us", ">= 1x")
        o, b = compare_per_call(lambda: ours_link._send_VEZ(0x10, frame), lambda: base_link._send_VEZ(0x10, frame),
                                50000)
        row("_send_VEZ, do-nothing write", o * 1e6, b * 1e6, "us", ">= 1x")
        row("_send_VEZ to the port at 2 kHz, CPU", rates[False, "send"] * 1e6, rates[True, "send"] * 1e6, "us", "")


if __name__ == "__main__":
    main()
