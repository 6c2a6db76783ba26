import inspect
import sys

import pytest

import vez_api._protocol as p


def test_constants_values_and_order():
    names = [n for n in vars(p) if n.startswith("VEZ_")]
    assert names == [
        "VEZ_DIRECT_ADDRESS", "VEZ_ADDRESS_MIN", "VEZ_ADDRESS_MAX", "VEZ_ADDRESS_MASK",
        "VEZ_ACTUATOR_ADDRESS_MIN", "VEZ_ACTUATOR_ADDRESS_MAX", "VEZ_PRIORITY_BIT_SHIFT",
        "VEZ_CAN_HIGH_SPEED_BIT_SHIFT", "VEZ_USB_FRAME_SIZE", "VEZ_USB_MSG_START_BYTE",
        "VEZ_USB_MSG_HEADER_LENGTH", "VEZ_USB_CRC_MAGIC_NUMBER", "VEZ_USB_MAX_PAYLOAD_SIZE",
        "VEZ_MAX_PARAMETERS_PER_REQUEST", "VEZ_MAX_FEEDBACK_ITEMS_PER_REQUEST",
    ]
    assert [getattr(p, n) for n in names] == [0, 0, 16382, 16383, 16, 16382, 15, 14, 64, 254, 4, 253, 59, 9, 10]
    assert p.VEZ_ACTUATOR_ADDRESS_MAX is p.VEZ_ADDRESS_MAX


@pytest.mark.parametrize(
    "address, vez, actuator",
    [(-1, False, False), (0, True, False), (15, True, False), (16, True, True),
     (16382, True, True), (16383, False, False), (10**30, False, False), (-(10**30), False, False),
     (16.9, True, True), (True, True, False)],
)
def test_address_ranges(address, vez, actuator):
    assert p.is_valid_vez_address(address) is vez
    assert p.is_valid_actuator_address(address) is actuator


def test_payload_lengths_of_any_sized_object():
    assert p.is_valid_vez_payload(b"") is False
    assert p.is_valid_vez_payload([0] * 59) is True
    assert p.is_valid_vez_payload(bytearray(60)) is False
    assert p.is_valid_vez_payload("x") is True  # the type is not tested, only the length
    with pytest.raises(TypeError, match="has no len"):
        p.is_valid_vez_payload(5)


def test_address_flags_word():
    assert p.build_usb_address_flags(16) == 16
    assert p.build_usb_address_flags(16, False) == 16 | 1 << 15
    assert p.build_usb_address_flags(16, priority=False, can_high_speed=True) == 16 | 1 << 15 | 1 << 14
    assert p.build_usb_address_flags(16 | 1 << 14) == 16  # bit 14 of the address is masked off
    assert p.build_usb_address_flags(16, priority=[], can_high_speed="yes") == 16 | 1 << 15 | 1 << 14
    # Arbitrary-precision ints: masks keep the low bits, like Python's &.
    assert p.build_usb_address_flags(10**30 + 5) == (10**30 + 5) & 0x3FFF
    assert p.build_usb_address_flags(-1) == 0x3FFF


def test_parse_address_flags():
    assert p.parse_usb_address_flags(16 | 1 << 15 | 1 << 14) == (16, 1, 1)
    assert p.parse_usb_address_flags(-1) == (0x3FFF, 1, 1)
    assert p.parse_usb_address_flags(10**30) == (10**30 & 0x3FFF, (10**30 >> 15) & 1, (10**30 >> 14) & 1)
    for a in range(0, 16383):
        assert p.parse_usb_address_flags(p.build_usb_address_flags(a)) == (a, 0, 0)


def test_identifier():
    assert p.build_ruz_identifier(1, 32) == 16416
    assert p.build_ruz_identifier(0x3FFF, 0x3FFF) == (1 << 28) - 1
    assert p.build_ruz_identifier(source=0x4001, destination=-1) == (1 << 14) | 0x3FFF


def test_number_arguments_use_the_integer_protocol():
    assert p.build_ruz_identifier(1.9, 32.2) == 16416  # floats are truncated
    with pytest.raises(TypeError) as e:
        p.is_valid_vez_address("16")
    assert str(e.value) == "Argument 'address' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError, match=r"^Argument 'destination' has incorrect type \(expected int, got complex\)$"):
        p.build_ruz_identifier(1, 1j)
    with pytest.raises(TypeError, match="'address_and_flags'.*got NoneType"):
        p.parse_usb_address_flags(None)
    with pytest.raises(OverflowError):
        p.is_valid_vez_address(float("inf"))


def test_signatures_are_introspectable():
    assert str(inspect.signature(p.build_usb_address_flags)) == "(address, priority=True, can_high_speed=False)"
    assert str(inspect.signature(p.is_valid_vez_payload)) == "(payload)"


@pytest.mark.slow
def test_no_leaks_over_a_million_calls(memory_flat):
    payload = [1, 2, 3]
    big = 10**30
    before = sys.getrefcount(payload), sys.getrefcount(big)
    memory_flat(lambda: (p.is_valid_vez_address(big), p.build_usb_address_flags(big, False, True),
                         p.parse_usb_address_flags(big), p.is_valid_vez_payload(payload),
                         p.build_ruz_identifier(big, 2.5)))
    assert (sys.getrefcount(payload), sys.getrefcount(big)) == before


def test_errors_do_not_leak_arguments():
    arg = object()
    before = sys.getrefcount(arg)
    for _ in range(1000):
        with pytest.raises(TypeError):
            p.is_valid_vez_address(arg)
    assert sys.getrefcount(arg) == before
