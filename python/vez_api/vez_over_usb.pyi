"""USB serial link: the adapter frame transport VezOverUsb and its receive thread."""

import logging as logging
import struct as struct
import threading as threading
import time as time
import warnings as warnings
from typing import Any, Optional as Optional

import serial as serial  # type: ignore[import]  # pyserial ships no type information
import serial.tools.list_ports  # type: ignore[import]

from vez_api._protocol import (
    build_usb_address_flags as build_usb_address_flags,
    parse_usb_address_flags as parse_usb_address_flags,
)
from vez_api._vez import VEZ as VEZ

logger: logging.Logger

class VezOverUsb(VEZ):
    """Transport over the USB-CAN adapter's serial port."""

    _port: Optional[str]
    _ser: Any
    _polling_thread_event: threading.Event
    _polling_thread: Optional[threading.Thread]
    def __init__(
        self,
        port: Optional[str] = None,
        connect_on_init: bool = True,
        logger: Optional[logging.Logger] = None,
    ) -> None: ...
    def connect(self, port: Optional[str] = None) -> bool: ...
    def disconnect(self) -> None: ...
    @property
    def is_connected(self) -> bool: ...
    def _send_VEZ(
        self, address: int, data: list[int], priority: bool = True, can_high_speed: bool = False
    ) -> bool: ...
    def enter_bootloader(self) -> None: ...
    @staticmethod
    def get_ports() -> list[str]: ...
    @staticmethod
    def get_port() -> str: ...
    def _polling_thread_worker(self) -> None: ...
    def _process_pkt(self, address: int, pkt: bytes, priority_bit: int) -> None: ...

class VEZ_over_USB(VezOverUsb):
    """Deprecated compatibility name for :class:`VezOverUsb`."""

    def __init__(
        self,
        port: Optional[str] = None,
        connect_on_init: bool = True,
        logger: Optional[logging.Logger] = None,
    ) -> None: ...
