"""Stream feedback from one actuator while commanding a position move.

    python examples/stream_position_move.py PORT [ADDRESS]

PORT is the adapter's serial port (for the bus emulator, the path it
printed or its --link); ADDRESS defaults to 0x10.
"""

import sys
import time

from vez_api.doroze_actuator_real import DorozeActuatorReal
from vez_api.vez_over_usb import VezOverUsb

port = sys.argv[1]
address = int(sys.argv[2], 0) if len(sys.argv) > 2 else 0x10

with VezOverUsb(port=port) as link:
    actuator = DorozeActuatorReal(link, address)
    if not actuator.connect():
        sys.exit(f"no answer from actuator 0x{address:X} on {port}")
    print(f"connected to {actuator.model} at 0x{address:X}, firmware {actuator.version}")

    Items = actuator.VEZ_Items
    samples = []
    actuator.set_feedback_callback(lambda addr, items: samples.append((time.monotonic(), items)))
    actuator.set_feedback_items([Items.POSITION_REF, Items.POSITION_FB, Items.SPEED_FB, Items.TORQUE_FB])
    actuator.set_feedback_rate(actuator.Rates.RATE_200HZ)

    actuator.start()
    t0 = time.monotonic()
    actuator.change_position_setpoint(3.0)  # rad at the output
    time.sleep(1.0)
    actuator.change_position_setpoint(0.0)
    time.sleep(1.0)
    actuator.stop()
    actuator.set_feedback_rate(0)

    print(f"{len(samples)} feedback messages in {time.monotonic() - t0:.1f} s; every 10th:")
    print("   t [s]   ref [rad]   pos [rad]   speed [rad/s]   torque [N*m]")
    for t, items in samples[::10]:
        print(f"  {t - t0:5.2f}  {items[Items.POSITION_REF]:10.3f}  {items[Items.POSITION_FB]:10.3f}"
              f"  {items[Items.SPEED_FB]:14.3f}  {items[Items.TORQUE_FB]:13.3f}")
    actuator.disconnect()
