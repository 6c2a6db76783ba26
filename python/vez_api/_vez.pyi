"""Framing base: the adapter address, frame constants and static checks shared by VEZ links."""

import logging
from typing import Any, Sized

from vez_api._protocol import (
    VEZ_USB_CRC_MAGIC_NUMBER as VEZ_USB_CRC_MAGIC_NUMBER,
    VEZ_USB_MAX_PAYLOAD_SIZE as VEZ_USB_MAX_PAYLOAD_SIZE,
    VEZ_USB_MSG_HEADER_LENGTH as VEZ_USB_MSG_HEADER_LENGTH,
    VEZ_USB_MSG_START_BYTE as VEZ_USB_MSG_START_BYTE,
    build_ruz_identifier as build_ruz_identifier,
    is_valid_vez_address as is_valid_vez_address,
    is_valid_vez_payload as is_valid_vez_payload,
)
from vez_api._transport import VezTransport as VezTransport

logger: logging.Logger

class VEZ(VezTransport):
    """Framing base for VEZ links: adapter address, frame constants and static checks."""

    adapter_address: int
    _MSG_START_BYTE: int
    _MSG_HEADER_LENGTH: int
    _MAX_PAYLOAD_SIZE: int
    _CRC_MAGIC_NUMBER: int
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    @staticmethod
    def _check_vez_id_range(can_id: int) -> bool: ...
    @staticmethod
    def _check_vez_payload_size(payload: Sized) -> bool: ...
    @staticmethod
    def _build_RUZ_identifier(source: int, destination: int) -> int: ...
