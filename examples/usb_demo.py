"""VezOverUsb on a pseudo-terminal: this script plays the USB adapter on the
master side, the transport opens the slave like any serial port."""

import os
import threading
import tty

from vez_api.vez_over_usb import VezOverUsb

master, slave = os.openpty()
tty.setraw(slave)
link = VezOverUsb(port=os.ttyname(slave))
arrived = threading.Event()


def on_frame(address, payload, priority_bit):
    print(f"callback: address 0x{address:X}, payload {payload}, priority bit {priority_bit}")
    arrived.set()


link.set_callback(0x10, on_frame)
line = bytes([0x13, 0x37, 0x00, 0x99, 0x42]) + bytes.fromhex("fe100003010203fd")  # noise, then a frame
print("adapter sends:", line.hex(" "))
os.write(master, line)
arrived.wait(2.0)
link._send_VEZ(0x10, [0x0A, 0x0B])
print("host sent    :", os.read(master, 64).hex(" "))
link.close()
print("connected after close:", link.is_connected)
