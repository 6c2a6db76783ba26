"""Can the bus emulator keep 8 actuators streaming at 2 kHz on this machine?

Eight emulated actuators each stream four feedback items at 2 kHz to one
VezOverUsb, whose callbacks count the messages.  Printed: messages delivered
against the number the streams should have produced in the same window (the
baseline), and the CPU the emulator and the host's receive thread used.
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

from bus_emulator import BusEmulator, cpu_seconds, wait_until  # noqa: E402
from vez_api.doroze_actuator_real import DorozeActuatorReal  # noqa: E402
from vez_api.vez_over_usb import VezOverUsb  # noqa: E402

MODELS = ["ORBIT_4", "NOVA_3", "ORBIT_2"]
ADDRESSES = list(range(0x10, 0x18))
RATE_HZ = 2000
WINDOW_S = 3.0


def main() -> None:
    args = []
    for i, address in enumerate(ADDRESSES):
        args += ["--actuator", f"{address:#x}:{MODELS[i % len(MODELS)]}"]
    with BusEmulator(*args) as bus:
        link = VezOverUsb(port=bus.port)
        counts = {a: 0 for a in ADDRESSES}
        actuators = []
        for address in ADDRESSES:
            actuator = DorozeActuatorReal(link, address)

            def count(addr, items, _a=address):
                counts[_a] += 1

            actuator.set_feedback_callback(count)
            Items = actuator.VEZ_Items
            actuator.set_feedback_items([Items.POSITION_FB, Items.SPEED_FB, Items.TORQUE_FB, Items.IQ_FB])
            actuator.set_feedback_rate(RATE_HZ)
            actuators.append(actuator)
        wait_until(lambda: all(c > 200 for c in counts.values()), 5.0)

        start_counts = dict(counts)
        emulator_cpu0 = cpu_seconds(bus.process.pid)
        host_cpu0 = time.process_time()
        t0 = time.monotonic()
        time.sleep(WINDOW_S)
        elapsed = time.monotonic() - t0
        delivered = {a: counts[a] - start_counts[a] for a in ADDRESSES}
        emulator_cpu = cpu_seconds(bus.process.pid) - emulator_cpu0
        host_cpu = time.process_time() - host_cpu0

        for actuator in actuators:
            actuator.set_feedback_rate(0)
        link.close()

    expected = RATE_HZ * elapsed
    total = sum(delivered.values())
    print(f"emulator streams: {len(ADDRESSES)} actuators x {RATE_HZ} Hz, window {elapsed:.2f} s")
    for address, n in delivered.items():
        print(f"  0x{address:03X}: {n:6d} messages, {n / expected:6.3f} of the stream rate")
    print(f"delivered / expected (baseline): {total / (expected * len(ADDRESSES)):.3f}")
    print(f"emulator CPU: {100 * emulator_cpu / elapsed:.1f} % of one core "
          f"({1e6 * emulator_cpu / max(total, 1):.2f} us per message incl. {len(ADDRESSES) * 20000} model steps/s)")
    print(f"host process CPU (receive thread + callbacks): {100 * host_cpu / elapsed:.1f} % of one core")


if __name__ == "__main__":
    main()
