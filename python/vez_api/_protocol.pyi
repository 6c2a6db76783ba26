"""Numeric facts of the VEZ bus protocol: addresses, the address/flags word, frame geometry."""

from typing import Sized

VEZ_DIRECT_ADDRESS: int
VEZ_ADDRESS_MIN: int
VEZ_ADDRESS_MAX: int
VEZ_ADDRESS_MASK: int
VEZ_ACTUATOR_ADDRESS_MIN: int
VEZ_ACTUATOR_ADDRESS_MAX: int
VEZ_PRIORITY_BIT_SHIFT: int
VEZ_CAN_HIGH_SPEED_BIT_SHIFT: int
VEZ_USB_FRAME_SIZE: int
VEZ_USB_MSG_START_BYTE: int
VEZ_USB_MSG_HEADER_LENGTH: int
VEZ_USB_CRC_MAGIC_NUMBER: int
VEZ_USB_MAX_PAYLOAD_SIZE: int
VEZ_MAX_PARAMETERS_PER_REQUEST: int
VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST: int

def is_valid_vez_address(address: int) -> bool: ...
def is_valid_actuator_address(address: int) -> bool: ...
def is_valid_vez_payload(payload: Sized) -> bool: ...
def build_ruz_identifier(source: int, destination: int) -> int: ...
def build_usb_address_flags(address: int, priority: object = True, can_high_speed: object = False) -> int: ...
def parse_usb_address_flags(address_and_flags: int) -> tuple[int, int, int]: ...
