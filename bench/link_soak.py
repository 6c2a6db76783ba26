"""Soak of the USB link under every fault the bus emulator can inject.

Four emulated actuators stream four feedback items each at 2 kHz to one
VezOverUsb for ten minutes (--minutes), while a control thread sends position
setpoints at 100 Hz and reads items with a blocking request every 100 ms per
actuator.  The emulator puts noise before frames, corrupts trailers, drops and
delays answers.  Printed at the end:

  - messages received (feedback and answers), per actuator and in all;
  - the faults injected, as the emulator counted them;
  - messages lost beyond those the faults destroyed (target 0), and frames
    delivered from addresses where no actuator is: a corrupted frame whose
    bytes, read again for a start byte, happened to form a frame that passes
    every check (the adapter frame has no checksum), which may have covered
    the start of the next intact frame;
  - delivered / (sent - destroyed), the baseline being what the emulator sent
    in the same run;
  - CPU of the receive thread, and the process's RSS at the start and the end.

Not part of the test run:  .venv/bin/python bench/link_soak.py [--minutes M]
"""

import argparse
import collections
import logging
import math
import os
import re
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from bus_emulator import BusEmulator, wait_until  # noqa: E402
from vez_api.doroze_actuator_real import DorozeActuatorReal  # noqa: E402
from vez_api.vez_over_usb import VezOverUsb  # noqa: E402

ADDRESSES = [0x10, 0x11, 0x12, 0x13]
MODELS = ["ORBIT_4", "NOVA_3", "ORBIT_2", "ORBIT_4"]
RATE_HZ = 2000
FAULTS = ["--noise", "0.3", "--corrupt", "0.05", "--drop", "0.05", "--late", "0.05", "--late-ms", "30", "--seed", "1"]
SOURCE_COUNTS = re.compile(
    r"streamed (\d+) \(corrupted (\d+)\), answers (\d+) \(dropped (\d+), late (\d+), corrupted (\d+)\)"
)


def thread_cpu_seconds(native_id: int) -> float:
    with open(f"/proc/self/task/{native_id}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def count_frames(link, address):
    """Wraps the callback of `address`: counts [priority frames, answers]."""
    counts = [0, 0]
    inner = link._callbacks[address]

    def counting(source, payload, priority_bit):
        counts[priority_bit] += 1
        inner(source, payload, priority_bit)

    link._callbacks[address] = counting
    return counts


def source_counts(stats_line):
    keys = ("streamed", "stream_corrupted", "answers", "dropped", "late", "answers_corrupted")
    return dict(zip(keys, map(int, SOURCE_COUNTS.search(stats_line).groups())))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    options = parser.parse_args()
    duration = options.minutes * 60
    log_counts = collections.Counter()  # log records are counted, not printed

    class Counting(logging.Handler):
        def emit(self, record):
            log_counts[f"{record.levelname} {record.getMessage()[:60]}"] += 1

    logging.getLogger().addHandler(Counting())

    args = list(FAULTS)
    for address, model in zip(ADDRESSES, MODELS):
        args += ["--actuator", f"{address:#x}:{model}"]
    with BusEmulator(*args) as bus:
        link = VezOverUsb(port=bus.port)
        actuators, counts = [], {}
        for address in ADDRESSES:
            actuator = DorozeActuatorReal(link, address)
            counts[address] = count_frames(link, address)
            Items = actuator.VEZ_Items
            actuator.set_feedback_items([Items.POSITION_FB, Items.SPEED_FB, Items.TORQUE_FB, Items.IQ_FB])
            actuator.set_feedback_rate(RATE_HZ)
            actuator.start()
            actuators.append(actuator)
        made_up = []  # frames from addresses where no actuator is
        for address in range(16383):
            if address not in counts:
                link.set_callback(address, lambda source, payload, bit: made_up.append((source, len(payload))))
        wait_until(lambda: all(c[0] > 100 for c in counts.values()), 5.0)

        stop = threading.Event()
        reads = {"asked": 0, "answered": 0}

        def control():
            tick = 0
            started = time.monotonic()
            while not stop.is_set():
                t = time.monotonic() - started
                for k, actuator in enumerate(actuators):
                    actuator.change_position_setpoint(0.5 * math.sin(2 * math.pi * 0.2 * t + k))
                if tick % 10 == 0:
                    for actuator in actuators:
                        reads["asked"] += 1
                        if actuator.get_items_blocking([actuator.VEZ_Items.TEMP_PCB], timeout=0.05):
                            reads["answered"] += 1
                tick += 1
                stop.wait(0.01)

        native_id = link._polling_thread.native_id
        rss_start = rss_mib()
        cpu_start = thread_cpu_seconds(native_id)
        t0 = time.monotonic()
        controller = threading.Thread(target=control, daemon=True)
        controller.start()
        next_report = 60.0
        while time.monotonic() - t0 < duration:
            time.sleep(1.0)
            if time.monotonic() - t0 >= next_report:
                received = sum(c[0] for c in counts.values())
                print(f"  {next_report / 60:.0f} min: {received} feedback messages, RSS {rss_mib():.1f} MiB", flush=True)
                next_report += 60.0
        stop.set()
        controller.join(5)
        elapsed = time.monotonic() - t0
        cpu = thread_cpu_seconds(native_id) - cpu_start
        rss_end = rss_mib()
        for actuator in actuators:
            actuator.set_feedback_rate(0)
            actuator.stop()

        def settled():
            stats = bus.stats()
            return all(
                counts[a][0] >= source_counts(stats[a])["streamed"] - source_counts(stats[a])["stream_corrupted"]
                for a in ADDRESSES
            )

        wait_until(settled, 5.0)
        time.sleep(0.2)  # late answers still on their way
        stats = bus.stats()
        connected = link.is_connected
        link.close()

    totals = {"received": 0, "answers": 0, "lost": 0, "extra": 0, "sent": 0, "destroyed": 0}
    print(f"link soak: {len(ADDRESSES)} actuators x {RATE_HZ} Hz with every fault on, {elapsed / 60:.1f} min")
    for address in ADDRESSES:
        s = source_counts(stats[address])
        expected = s["streamed"] - s["stream_corrupted"] + s["answers"] - s["dropped"] - s["answers_corrupted"]
        got = counts[address][0] + counts[address][1]
        print(f"  0x{address:03X}: {counts[address][0]} feedback + {counts[address][1]} answers received; "
              f"sent {s['streamed']} + {s['answers']}, destroyed {s['stream_corrupted']} + "
              f"{s['dropped'] + s['answers_corrupted']} (and {s['late']} answers late)")
        totals["received"] += counts[address][0]
        totals["answers"] += counts[address][1]
        totals["lost"] += max(0, expected - got)
        totals["extra"] += max(0, got - expected)
        totals["sent"] += s["streamed"] + s["answers"]
        totals["destroyed"] += s["stream_corrupted"] + s["dropped"] + s["answers_corrupted"]
    line = stats[-1]
    injected = dict(re.findall(r"(answers dropped|late|corrupted|noise bursts|dropped at the port) (\d+)", line))
    print(f"messages received: {totals['received']} feedback, {totals['answers']} answers "
          f"({reads['answered']} of {reads['asked']} blocking reads answered in time)")
    print(f"faults injected: {injected['noise bursts']} noise bursts, {injected['corrupted']} corrupted frames, "
          f"{injected['answers dropped']} answers dropped, {injected['late']} late; "
          f"bytes dropped at the port: {injected['dropped at the port']}")
    print(f"lost beyond injected: {totals['lost']} (target 0); frames made up of corrupted bytes: "
          f"{len(made_up) + totals['extra']} {made_up[:5]}")
    delivered = totals["received"] + totals["answers"]
    print(f"delivered / (sent - destroyed) (baseline): {delivered / max(1, totals['sent'] - totals['destroyed']):.6f}")
    print(f"receive thread CPU: {100 * cpu / elapsed:.1f} % of one core "
          f"({1e6 * cpu / max(1, totals['received']):.2f} us per feedback message)")
    print(f"RSS: {rss_start:.1f} MiB at the start, {rss_end:.1f} MiB at the end; link still up: {connected}")
    print("log records:", dict(log_counts))


if __name__ == "__main__":
    main()
