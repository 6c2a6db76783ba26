"""VezOverUsb against a fake serial port: byte-exact behaviour and failure paths."""

import inspect
import logging
import sys
import threading
import time
import traceback
import typing
from unittest import mock

import pytest
import serial

import vez_api._protocol as protocol
import vez_api._vez as vez
import vez_api.vez_over_usb as usb
from fake_serial import FakeSerial, attach, frame
from vez_api.vez_over_usb import VEZ_over_USB, VezOverUsb

PORT = "/dev/fake0"


def wait_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


@pytest.fixture
def fake_serial():
    with mock.patch("vez_api.vez_over_usb.serial.Serial", FakeSerial):
        yield


@pytest.fixture
def link(fake_serial):
    """A connected transport on a fake port, with a recording callback at 0x10."""
    t = attach(VezOverUsb(port=PORT))
    t.got = []
    t.set_callback(0x10, lambda *args: t.got.append(args))
    yield t
    t.close()


def port_info(device, vid, pid):
    return mock.Mock(device=device, vid=vid, pid=pid)


# --- surface -------------------------------------------------------------------


def test_module_namespace_holds_its_imports():
    import serial.tools.list_ports
    import struct
    import time
    import warnings

    assert usb.threading is threading and usb.time is time and usb.warnings is warnings
    assert usb.logging is logging and usb.struct is struct and usb.Optional is typing.Optional
    assert usb.serial is serial and usb.serial.tools.list_ports is serial.tools.list_ports
    assert usb.VEZ is vez.VEZ
    assert usb.build_usb_address_flags is protocol.build_usb_address_flags
    assert usb.parse_usb_address_flags is protocol.parse_usb_address_flags
    assert usb.logger is logging.getLogger("vez_api.vez_over_usb")


def test_classes_are_plain_python_classes():
    assert VezOverUsb.__mro__ == (VezOverUsb, vez.VEZ, vez.VezTransport, object)
    assert VEZ_over_USB.__mro__[1] is VezOverUsb
    assert type(VezOverUsb) is type and VezOverUsb.__module__ == "vez_api.vez_over_usb"
    assert VEZ_over_USB.__doc__ == "Deprecated compatibility name for :class:`VezOverUsb`."
    assert str(inspect.signature(VezOverUsb.__init__)) == "(self, port=None, connect_on_init=True, logger=None)"
    assert str(inspect.signature(VezOverUsb._send_VEZ)) == "(self, address, data, priority=True, can_high_speed=False)"
    assert str(inspect.signature(VezOverUsb._process_pkt)) == "(self, address, pkt, priority_bit)"
    assert isinstance(inspect.getattr_static(VezOverUsb, "get_ports"), staticmethod)
    assert isinstance(inspect.getattr_static(VezOverUsb, "is_connected"), property)
    assert VezOverUsb._MAX_PAYLOAD_SIZE == 59


# --- construction ----------------------------------------------------------------


def test_port_object_is_created_unopened_with_fixed_settings(fake_serial):
    t = VezOverUsb(connect_on_init=False)
    assert t._ser.init_args == ()
    assert t._ser.init_kwargs == {"port": None, "baudrate": 115200, "timeout": 0.8, "interCharTimeout": 0.1}
    assert t._ser.calls == [] and not t.is_connected
    assert t._port is None and t._polling_thread is None
    assert not t._polling_thread_event.is_set() and t.adapter_address == 1
    assert t.logger is logging.getLogger("vez_api._transport")


def test_real_port_object_settings():
    ser = VezOverUsb(connect_on_init=False)._ser
    assert type(ser) is serial.Serial and not ser.is_open and ser.port is None
    assert (ser.baudrate, ser.timeout, ser.inter_byte_timeout) == (115200, 0.8, 0.1)
    assert (ser.bytesize, ser.parity, ser.stopbits) == (8, "N", 1)
    assert not (ser.xonxoff or ser.rtscts or ser.dsrdtr)


def test_port_must_be_a_string_or_none(fake_serial):
    with pytest.raises(TypeError, match=r"^Argument 'port' has incorrect type \(expected str, got int\)$"):
        VezOverUsb(port=3)


def test_no_adapter_construction_succeeds_unconnected(fake_serial, caplog):
    with mock.patch.object(usb.serial.tools.list_ports, "comports", return_value=[]):
        t = VezOverUsb()
    assert not t.is_connected and t._port == ""
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("vez_api.vez_over_usb", logging.WARNING, "No serial ports found")
    ]


def test_given_logger_is_used(fake_serial):
    log = mock.Mock()
    t = attach(VezOverUsb(port=PORT, logger=log))
    assert t.logger is log
    t.close()
    t._send_VEZ(16, [])
    log.warning.assert_called_once_with("Invalid payload length for address 16 - len 0")


# --- adapter discovery -----------------------------------------------------------


def test_get_ports_filters_by_vendor_and_product_id():
    ports = [
        port_info("/dev/a", 1155, 42304),
        port_info("/dev/below", 1155, 42303),
        port_info("/dev/other-vendor", 1156, 42305),
        port_info("/dev/b", 1155, 42314),
        port_info("/dev/above", 1155, 42315),
        port_info("/dev/no-usb", None, None),
        port_info("/dev/c", 1155, 42310),
    ]
    with mock.patch("vez_api.vez_over_usb.serial.tools.list_ports.comports", return_value=ports):
        assert VezOverUsb.get_ports() == ["/dev/a", "/dev/b", "/dev/c"]


@pytest.mark.parametrize(
    "found, port, message",
    [
        (["/dev/ttyACM0"], "/dev/ttyACM0", None),
        ([], "", "No serial ports found"),
        (
            ["/dev/a", "/dev/b"],
            "",
            "Found multiple serial ports. Manually select one. Available ports: ['/dev/a', '/dev/b']",
        ),
    ],
)
def test_get_port(found, port, message, caplog):
    with mock.patch.object(VezOverUsb, "get_ports", return_value=found):
        assert VezOverUsb.get_port() == port
    assert [r.getMessage() for r in caplog.records] == ([message] if message else [])
    assert all(r.name == "vez_api.vez_over_usb" and r.levelno == logging.WARNING for r in caplog.records)


# --- connect / disconnect -----------------------------------------------------------


def test_connect_opens_flushes_and_starts_a_daemon_thread(fake_serial):
    t = attach(VezOverUsb(connect_on_init=False))
    t._ser.feed(b"\x01\x02stale")  # bytes from before the link came up
    got = []
    t.set_callback(0x10, lambda *a: got.append(a))
    assert t.connect(PORT) is True
    assert t._ser.port == PORT and t._port == PORT
    assert t._ser.calls == ["open", "flushInput", "flushOutput"]
    assert t._ser.reads[0] == 7  # what in_waiting reported, discarded
    thread = t._polling_thread
    assert thread.daemon and thread.is_alive() and thread._target == t._polling_thread_worker
    assert t.is_connected
    t._ser.wait_drained()
    t.close()
    assert got == [] and t._ser.calls[-1] == "close"


def test_connect_on_init_passes_the_port(fake_serial):
    with mock.patch.object(VezOverUsb, "connect") as connect:
        VezOverUsb(port=PORT)
    connect.assert_called_once_with(port=PORT)
    with mock.patch.object(VezOverUsb, "connect") as connect:
        VezOverUsb(port=PORT, connect_on_init=False)
    connect.assert_not_called()


def test_connect_failure_is_logged_and_false(fake_serial, caplog):
    t = VezOverUsb(connect_on_init=False)
    t._ser.open_error = serial.SerialException("could not open port /dev/nope: gone")
    assert t.connect("/dev/nope") is False
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.ERROR, "Couldn't connect to port /dev/nope: could not open port /dev/nope: gone")
    ]
    assert not t.is_connected and t._polling_thread is None


def test_connect_to_a_missing_device_with_the_real_library(caplog):
    t = VezOverUsb(port="/dev/does-not-exist-vez")
    assert not t.is_connected
    (record,) = caplog.records
    assert record.levelno == logging.ERROR
    assert record.getMessage().startswith("Couldn't connect to port /dev/does-not-exist-vez: ")
    assert "No such file or directory" in record.getMessage()


def test_reconnect_reuses_the_port_object_and_remembered_name(fake_serial):
    t = attach(VezOverUsb(port=PORT))
    ser, first = t._ser, t._polling_thread
    with mock.patch.object(usb.serial.tools.list_ports, "comports") as comports:
        assert t.connect() is True  # disconnects first, then reopens the same object
    comports.assert_not_called()
    assert t._ser is ser and not first.is_alive() and t._polling_thread is not first
    assert ser.calls.count("open") == 2 and ser.calls.count("close") == 1
    t.close()


def test_connect_without_any_port_searches(fake_serial):
    t = attach(VezOverUsb(connect_on_init=False))
    with mock.patch.object(VezOverUsb, "get_port", return_value="") as get_port:
        assert t.connect() is False
    get_port.assert_called_once_with()
    with mock.patch.object(VezOverUsb, "get_ports", return_value=[PORT]):
        assert t.connect() is True
    assert t._port == PORT
    t.close()


@pytest.mark.parametrize("how", ["disconnect", "close", "with"])
def test_shutdown_paths_stop_the_thread_which_closes_the_port(fake_serial, how):
    t = attach(VezOverUsb(port=PORT))
    thread = t._polling_thread
    if how == "with":
        with t as entered:
            assert entered is t and t.is_connected
    else:
        getattr(t, how)()
    assert not t.is_connected
    thread.join(5)
    assert not thread.is_alive() and not t._ser.is_open and t._ser.calls[-1] == "close"


def test_disconnect_is_immediate_on_the_flag_and_idempotent(fake_serial):
    t = attach(VezOverUsb(port=PORT))
    t.set_callback(16, print)
    with mock.patch.object(t._polling_thread, "join") as join:
        t.disconnect()
        assert not t.is_connected  # at once, while the thread may still run
    join.assert_called_once_with(timeout=1.0)
    t._polling_thread.join(5)
    t.disconnect()  # idle: nothing to do
    assert t._callbacks == {16: print}


def test_connect_waits_for_a_receive_thread_on_its_way_out(fake_serial, caplog):
    # A callback that does not return keeps the old thread, and with it the
    # port: connect must neither reopen the port under that thread (setting
    # the port name of an open port closes and reopens it) nor start a second
    # reader.  It answers like the port's own refusal.
    t = attach(VezOverUsb(port=PORT))
    release = threading.Event()
    t.set_callback(0x20, lambda *a: release.wait(10))
    t._ser.feed(frame(0x20, [1]))
    assert wait_until(lambda: t._lock.locked())  # the callback runs
    old = t._polling_thread
    with mock.patch.object(old, "join") as join:  # instead of waiting out the 1 s
        assert t.connect() is False
    assert join.call_args_list == [mock.call(timeout=1.0)] * 2  # disconnect's, then connect's own
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.ERROR, "Couldn't connect to port /dev/fake0: Port is already open.")
    ]
    assert t._ser.calls == ["open", "flushInput", "flushOutput"] and t._polling_thread is old
    release.set()
    old.join(5)
    assert t._ser.calls[-1] == "close" and not old.is_alive()
    assert t.connect() is True and t._polling_thread is not old  # and now it reconnects
    t.close()


def test_reconnect_from_inside_a_callback_is_refused_not_deadlocked(fake_serial, caplog):
    t = attach(VezOverUsb(port=PORT))
    results = []
    t.set_callback(0x20, lambda *a: results.append(t.connect()))
    t._ser.feed(frame(0x20, [1]))
    t._polling_thread.join(5)
    assert results == [False] and not t._polling_thread.is_alive()
    assert [r.getMessage() for r in caplog.records] == ["Couldn't connect to port /dev/fake0: Port is already open."]
    assert t._ser.calls.count("open") == 1 and t._ser.calls[-1] == "close"


def test_with_block_on_idle_transport_connects(fake_serial):
    t = attach(VezOverUsb(port=PORT, connect_on_init=False))
    with t:
        assert t.is_connected
    assert not t.is_connected


# --- sending -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, wire",
    [
        ({}, "fe100003010203fd"),
        ({"priority": False}, "fe108003010203fd"),
        ({"priority": False, "can_high_speed": True}, "fe10c003010203fd"),
        ({"can_high_speed": 1}, "fe104003010203fd"),
    ],
)
def test_send_golden_bytes(link, kwargs, wire):
    assert link._send_VEZ(0x10, [1, 2, 3], **kwargs) is True
    assert link._ser.written[-1].hex() == wire


def test_send_largest_payload(link):
    assert link._send_VEZ(0x3FFE, list(range(59)))
    assert link._ser.written[-1] == frame(0x3FFE, range(59)) and len(link._ser.written[-1]) == 64


@pytest.mark.parametrize(
    "address, data, level, message",
    [
        (16383, [1], logging.ERROR, "Invalid VEZ ID: 16383"),
        (-1, [1], logging.ERROR, "Invalid VEZ ID: -1"),
        (10**30, [1], logging.ERROR, f"Invalid VEZ ID: {10**30}"),
        (16, [], logging.WARNING, "Invalid payload length for address 16 - len 0"),
        (16, [0] * 60, logging.WARNING, "Invalid payload length for address 16 - len 60"),
    ],
)
def test_send_rejects_bad_address_or_length(link, caplog, address, data, level, message):
    assert link._send_VEZ(address, data) is False
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(level, message)]
    assert link._ser.written == []


def test_send_argument_types(link):
    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected list, got tuple\)$"):
        link._send_VEZ(16, (1, 2))
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got str\)$"):
        link._send_VEZ("16", [1])
    with pytest.raises(ValueError, match="range"):
        link._send_VEZ(16, [256])
    assert link._send_VEZ(16.0, [1]) and link._ser.written[-1] == frame(16, [1])
    assert len(link._ser.written) == 1


@pytest.mark.parametrize("address", [16.9, 0.5, True, False, float("nan"), float("inf")])
def test_send_refuses_an_address_that_is_not_a_whole_number(link, caplog, address):
    # Rounding would send to another node (0.5 is the device on the USB port).
    assert link._send_VEZ(address, [1]) is False
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.ERROR, f"Invalid VEZ ID: {address}")]
    assert link._ser.written == []


def test_send_on_a_closed_port_warns(fake_serial, caplog):
    t = VezOverUsb(port=PORT, connect_on_init=False)
    assert t._send_VEZ(16, [1]) is False
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.WARNING, "Serial port not connected")]


def test_send_reports_short_and_failed_writes(link, caplog):
    link._ser.write_result = 3
    assert link._send_VEZ(16, [1]) is False
    link._ser.write_result = None
    link._ser.write_error = serial.SerialException("write failed: [Errno 5] Input/output error")
    assert link._send_VEZ(16, [1]) is False
    link._ser.write_error = OSError(9, "Bad file descriptor")
    assert link._send_VEZ(16, [1]) is False
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.ERROR, "Couldn't write to port /dev/fake0: write failed: [Errno 5] Input/output error"),
        (logging.ERROR, "Couldn't write to port /dev/fake0: [Errno 9] Bad file descriptor"),
    ]
    link._ser.write_error = RuntimeError("not a port error")
    with pytest.raises(RuntimeError):
        link._send_VEZ(16, [1])


def test_port_closed_by_another_thread_during_a_write_is_a_failed_write(link, caplog):
    # The serial library's write, caught by a close half way: the descriptor
    # is already gone while the port still reads as open.
    def write_during_close(data):
        link._ser.is_open = False
        raise TypeError("'NoneType' object cannot be interpreted as an integer")

    link._ser.write = write_during_close
    assert link._send_VEZ(16, [1]) is False

    def write_with_descriptor_gone(data):
        link._ser.fd = None
        raise TypeError("'NoneType' object cannot be interpreted as an integer")

    link._ser.is_open = True
    link._ser.write = write_with_descriptor_gone
    assert link._send_VEZ(16, [1]) is False
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.ERROR, "Couldn't write to port /dev/fake0: the port was closed during the write")
    ] * 2

    def broken_write(data):  # the port is fine: a TypeError is a fault of the code, and raised
        raise TypeError("a bug")

    del link._ser.fd
    link._ser.write = broken_write
    with pytest.raises(TypeError, match="a bug"):
        link._send_VEZ(16, [1])


def test_send_checks_dispatch_through_self_and_module(link):
    with mock.patch.object(VezOverUsb, "_check_vez_id_range", return_value=False) as check:
        assert link._send_VEZ(16, [1]) is False
    check.assert_called_once_with(16)
    with mock.patch.object(link, "_check_vez_payload_size", return_value=False) as check:
        assert link._send_VEZ(16, [1]) is False
    check.assert_called_once_with([1])
    with mock.patch("vez_api.vez_over_usb.build_usb_address_flags", return_value=0xBEEF) as build:
        assert link._send_VEZ(16, [1], False, True)
    build.assert_called_once_with(16, priority=False, can_high_speed=True)
    assert link._ser.written[-1].hex() == "feefbe0101fd"
    with mock.patch("vez_api.vez_over_usb.build_usb_address_flags", return_value=70000):
        with pytest.raises(usb.struct.error):
            link._send_VEZ(16, [1])


def test_send_honours_patched_helpers_of_the_framing_module(link, caplog):
    with mock.patch.object(vez, "is_valid_vez_address", return_value=False) as check:
        assert link._send_VEZ(16, [1]) is False
    check.assert_called_once_with(16)
    with mock.patch.object(vez, "is_valid_vez_payload", return_value=False):
        assert link._send_VEZ(16, [1]) is False
    with mock.patch.object(vez, "is_valid_vez_address", return_value=True):
        assert link._send_VEZ(20000, [1])  # whatever the helper says goes
    assert [r.getMessage() for r in caplog.records] == ["Invalid VEZ ID: 16",
                                                        "Invalid payload length for address 16 - len 1"]
    assert link._ser.written == [frame(20000 & 0x3FFF, [1])]


def test_send_converts_payload_items_as_bytes_does(link):
    import enum

    class Code(enum.IntEnum):
        PING = 0x40

    assert link._send_VEZ(16, [True, 2, Code.PING])
    assert link._ser.written[-1] == frame(16, [1, 2, 0x40])
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        link._send_VEZ(16, [1.5])
    with pytest.raises(ValueError, match=r"bytes must be in range\(0, 256\)"):
        link._send_VEZ(16, [1, -1])
    assert len(link._ser.written) == 1


def test_send_checks_come_before_the_payload_items(link, caplog):
    # An invalid address or length is reported before any item is looked at.
    assert link._send_VEZ(16383, [256]) is False
    assert link._send_VEZ(16, ["x"] * 60) is False
    assert [r.getMessage() for r in caplog.records] == ["Invalid VEZ ID: 16383",
                                                        "Invalid payload length for address 16 - len 60"]


def test_send_binds_its_arguments_like_a_python_method(link):
    assert link._send_VEZ(data=[1], address=16, can_high_speed=True, priority=False)
    assert link._ser.written[-1] == frame(16, [1], priority=False, can_high_speed=True)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'data'"):
        link._send_VEZ(16)
    with pytest.raises(TypeError, match="unexpected keyword argument 'urgent'"):
        link._send_VEZ(16, [1], urgent=True)
    with pytest.raises(TypeError, match="multiple values for argument 'address'"):
        link._send_VEZ(16, [1], address=17)
    with pytest.raises(TypeError, match="takes from 3 to 5 positional arguments but 6 were given"):
        link._send_VEZ(16, [1], True, False, None)
    assert len(link._ser.written) == 1


def test_actuator_commands_reach_the_port(link):
    from vez_api.doroze_actuator_real import DorozeActuatorReal

    a = DorozeActuatorReal(link, 0x12)
    a.start()
    a.set_can_high_speed(True)
    a.change_torque_setpoint(1.5)
    assert link._ser.written[0] == frame(0x12, [0x01])
    nan = [0x00, 0x00, 0xC0, 0x7F]
    assert link._ser.written[-1] == frame(0x12, [0x11, 0, 0, 0xC0, 0x3F] + nan * 4, can_high_speed=True)
    # A transport whose _send_VEZ is replaced gets the call itself.
    with mock.patch.object(link, "_send_VEZ", return_value=True) as send:
        a.stop()
    send.assert_called_once_with(0x12, [0x02], can_high_speed=False)


def test_enter_bootloader(link):
    with mock.patch.object(usb.time, "sleep") as sleep:
        link.enter_bootloader()
    assert link._ser.written == [bytes.fromhex("fe000001c1fd")]
    sleep.assert_called_once_with(0.1)
    assert not link.is_connected


# --- receiving -----------------------------------------------------------------------


F1 = frame(0x10, [1, 2, 3])
F2 = frame(0x10, [4], priority=False, can_high_speed=True)
NOISE = bytes([0x13, 0x37, 0x00, 0x99, 0x42])  # no start byte


@pytest.mark.parametrize(
    "pieces, delivered, reads",
    [
        pytest.param([F1, F2], [[1, 2, 3], [4]], [4, 4, 4, 2], id="two frames"),
        pytest.param([NOISE, F1], [[1, 2, 3]], [4, 1, 1, 3, 4], id="noise then frame"),
        pytest.param([b"\x13\x37", F1, F2], [[1, 2, 3], [4]], [4, 2, 4, 4, 2], id="start byte in a rejected header"),
        pytest.param([b"\xfe", F1, F2], [[1, 2, 3], [4]], [4, 1, 4, 4, 2], id="a lone start byte before a frame"),
        pytest.param([F1[:-1] + b"\x00", F1], [[1, 2, 3]], [4, 4, 1, 3, 4], id="frame after a bad trailer"),
        pytest.param([bytes.fromhex("fe100020"), F1, F2, b"\x00" * 20], [[1, 2, 3], [4]], [4, 33],
                     id="frames inside a rejected body"),
        pytest.param([bytes.fromhex("fe100000fd"), F1], [[], [1, 2, 3]], [4, 1, 4, 4], id="empty payload"),
        pytest.param([bytes.fromhex("fe10003c") + bytes(61), F1], [[1, 2, 3]], None, id="length 60 hunts"),
        pytest.param([bytes.fromhex("fe1000ff"), F1], [[1, 2, 3]], None, id="length 255 hunts"),
        pytest.param([F1[:-1] + b"\xfc", b"\x00", F2], [[4]], [4, 4, 1, 1, 3, 2], id="wrong trailer"),
        pytest.param([F1[:2], "pause", F1], [[1, 2, 3]], [4, 1, 3, 4], id="timeout in a header"),
        pytest.param([F1[:6], "pause", b"\x00", F2], [[4]], None, id="timeout in a body"),
        pytest.param([F1[:1], F1[1:5], F1[5:], F2], [[1, 2, 3], [4]], [4, 4, 4, 2], id="split writes"),
        pytest.param([frame(0x11, [9]), F1], [[1, 2, 3]], [4, 2, 4, 4], id="no callback: dropped"),
    ],
)
def test_receive_algorithm(link, pieces, delivered, reads):
    link._ser.reads.clear()
    for piece in pieces:
        if piece == "pause":
            link._ser.pause()
        else:
            link._ser.feed(piece)
    link._ser.wait_drained()
    assert [payload for _, payload, _ in link.got] == delivered
    assert all(address == 0x10 for address, _, _ in link.got)
    if reads is not None:
        assert link._ser.reads[: len(reads)] == reads


def test_stream_matches_the_reference_algorithm(link):
    import random

    from fake_serial import reference_receive

    rng = random.Random(7)
    stream = b""
    sent = []
    for _ in range(300):
        kind = rng.random()
        if kind < 0.6:
            f = frame(0x10, rng.randbytes(rng.randrange(0, 60)), rng.random() < 0.5, rng.random() < 0.5)
            sent.append(f)
            stream += f
        elif kind < 0.8:
            stream += rng.randbytes(rng.randrange(1, 12))
        else:
            f = frame(0x10, rng.randbytes(rng.randrange(0, 60)))
            stream += f[: rng.randrange(1, len(f))]
    # Zeros end whatever candidate is still open; the last frame marks the end.
    stream += bytes(128) + frame(0x10, [0xEE])
    link._ser.feed(stream)
    link._ser.wait_drained()
    expected = reference_receive(stream)
    assert [tuple(x) for x in link.got] == expected and expected[-1] == (0x10, [0xEE], 0)
    # Random noise may contain start bytes; whatever frame it made up, no
    # more than a few intact frames went with it.
    assert len(expected) >= len(sent) - 5


def test_callback_gets_ints_raw_priority_bit_on_the_receive_thread(link):
    seen = []
    link.set_callback(0x20, lambda a, p, b: seen.append((a, p, b, threading.current_thread())))
    link._ser.feed(frame(0x20, [255, 0], priority=False, can_high_speed=True), frame(0x20, [7]))
    link._ser.wait_drained()
    assert [s[:3] for s in seen] == [(0x20, [255, 0], 1), (0x20, [7], 0)]
    assert all(s[3] is link._polling_thread for s in seen)
    assert all(type(x) is int for x in seen[0][1] + [seen[0][0], seen[0][2]])


def test_callback_exception_is_logged_and_receiving_goes_on_in_sync(link, caplog):
    def bad(address, payload, bit):
        raise ValueError("boom")

    link.set_callback(0x20, bad)
    link._ser.reads.clear()
    link._ser.feed(frame(0x20, [1]), F1)
    link._ser.wait_drained()
    assert link.got == [(0x10, [1, 2, 3], 0)]
    assert link._ser.reads[:4] == [4, 2, 4, 4]  # still in sync after the error
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("vez_api._transport", logging.WARNING, "Error in polling thread: boom")
    ]


def test_failure_records_carry_the_traceback_and_the_source_address(link, caplog):
    def on_feedback(address, payload, bit):
        return {}["POSITION_FB"]  # a user callback with a bug

    link.set_callback(0x20, on_feedback)
    link._ser.feed(frame(0x20, [1]), F1)
    link._ser.fail_read(OSError("flaky"))  # after a failed delivery: a failure of no frame
    link._ser.feed(F1)
    link._ser.wait_drained()
    assert link.got == [(0x10, [1, 2, 3], 0)] * 2
    delivery, read = caplog.records
    assert delivery.getMessage() == "Error in polling thread: 'POSITION_FB'"  # the text stays as it was
    assert delivery.levelno == logging.WARNING
    assert delivery.exc_info[0] is KeyError
    assert "on_feedback" in [f.name for f in traceback.extract_tb(delivery.exc_info[2])]
    assert delivery.address == 0x20
    assert read.getMessage() == "Error in polling thread: flaky" and read.exc_info[0] is OSError
    assert not hasattr(read, "address")
    assert "Traceback" in caplog.text and 'return {}["POSITION_FB"]' in caplog.text


def test_failure_records_on_the_ordinary_path(link, caplog):
    seen = []
    original = VezOverUsb._process_pkt
    with mock.patch.object(VezOverUsb, "_process_pkt", lambda self, *a: (seen.append(a), original(self, *a))):
        link.set_callback(0x30, lambda *a: 1 / 0)
        link._ser.feed(frame(0x30, [5]))
        link._ser.wait_drained()
    assert seen and caplog.records[0].exc_info[0] is ZeroDivisionError and caplog.records[0].address == 0x30


def test_read_exception_is_logged_and_receiving_goes_on(link, caplog):
    link._ser.fail_read(OSError("flaky"))
    link._ser.feed(F1)
    link._ser.wait_drained()
    assert link.got == [(0x10, [1, 2, 3], 0)] and link.is_connected
    assert [r.getMessage() for r in caplog.records] == ["Error in polling thread: flaky"]


@pytest.mark.parametrize(
    "error, from_callback, reason",
    [
        (serial.SerialException("device reports readiness to read but returned no data"), False,
         "SerialException: device reports readiness to read but returned no data"),
        (serial.PortNotOpenError(), False, "PortNotOpenError: Attempting to use a port that is not open"),
        (serial.SerialException("from a callback"), True, "SerialException: from a callback"),
        (KeyboardInterrupt(), True, "KeyboardInterrupt"),
    ],
)
def test_serial_errors_and_interrupts_stop_the_link_with_one_error_record(link, caplog, error, from_callback, reason):
    if from_callback:
        def raiser(*args):
            raise error

        link.set_callback(0x20, raiser)
        link._ser.feed(frame(0x20, [1]), frame(0x20, [2]))
    else:
        link._ser.fail_read(error)
    link._polling_thread.join(5)
    assert not link._polling_thread.is_alive()
    assert not link.is_connected and not link._polling_thread_event.is_set()
    assert link._ser.calls[-1] == "close" and link._ser.calls.count("close") == 1
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("vez_api._transport", logging.ERROR, f"Lost the link to port /dev/fake0: {reason}")
    ]


def test_a_serial_error_after_disconnect_is_not_reported(fake_serial, caplog):
    # The read fails because the link is being taken down: that is no loss.
    t = VezOverUsb(port=PORT)  # not attached: a read waits out its timeout
    t._ser.wait_drained()
    t._polling_thread_event.clear()
    t._ser.fail_read(serial.SerialException("gone"))
    t._polling_thread.join(5)
    assert not t._polling_thread.is_alive() and t._ser.calls[-1] == "close"
    assert t._ser.reads[-1] == 4 and caplog.records == []


def test_callback_removed_between_test_and_lookup_is_logged(link, caplog):
    class Vanishing(dict):
        def __contains__(self, key):
            return True  # the membership test passes, the lookup under the lock fails

    link._callbacks = Vanishing()
    link._ser.feed(F1, frame(0x20, [1]))
    link._ser.wait_drained()
    assert [r.getMessage() for r in caplog.records] == ["Error in polling thread: 16", "Error in polling thread: 32"]
    assert not link._lock.locked()


def test_lock_is_held_while_the_callback_runs(link):
    seen = []
    link.set_callback(0x20, lambda *a: seen.append(link._lock.locked()))
    link._ser.feed(frame(0x20, [1]))
    link._ser.wait_drained()
    assert seen == [True] and not link._lock.locked()


def test_callback_may_close_its_own_transport(link, caplog):
    link.set_callback(0x20, lambda *a: link.close())
    link._ser.feed(frame(0x20, [1]))
    link._polling_thread.join(5)
    assert not link._polling_thread.is_alive() and not link._ser.is_open
    assert caplog.records == []


def test_system_exit_in_a_callback_ends_the_thread_and_closes_the_port(link):
    def leave(*args):
        raise SystemExit

    link.set_callback(0x20, leave)
    with mock.patch("threading.excepthook") as hook:
        link._ser.feed(frame(0x20, [1]))
        link._polling_thread.join(5)
    assert not link._polling_thread.is_alive() and not link._ser.is_open
    assert hook.call_args[0][0].exc_type is SystemExit  # left to the thread machinery, which ignores it


# --- the ordinary (overridable) paths ------------------------------------------------


def test_lock_release_failure_keeps_the_callbacks_exception_as_context(fake_serial):
    class FailingRelease:
        def acquire(self):
            return True

        def release(self):
            raise RuntimeError("release failed")

    def callback(*args):
        raise SystemExit(3)

    t = VezOverUsb(connect_on_init=False)
    t.set_callback(5, callback)
    t._lock = FailingRelease()
    with pytest.raises(RuntimeError, match="release failed") as raised:
        t._process_pkt(5, b"\x01", 0)
    context = raised.value.__context__
    assert isinstance(context, SystemExit) and context.code == 3 and context.__traceback__ is not None


def test_subclass_process_pkt_gets_bytes(fake_serial):
    class Recording(VezOverUsb):
        def _process_pkt(self, address, pkt, priority_bit):
            self.raw.append((address, pkt, priority_bit))
            super()._process_pkt(address, pkt, priority_bit)

    t = attach(Recording(port=PORT, connect_on_init=False))
    t.raw, got = [], []
    t.set_callback(0x10, lambda *a: got.append(a))
    t.connect()
    t._ser.feed(F1)
    t._ser.wait_drained()
    t.close()
    assert t.raw == [(0x10, b"\x01\x02\x03", 0)] and got == [(0x10, [1, 2, 3], 0)]


def test_patched_process_pkt_and_parse_are_honoured(link):
    with mock.patch.object(link, "_process_pkt") as process:
        link._ser.feed(F2)
        link._ser.wait_drained()
    process.assert_called_once_with(0x10, b"\x04", 1)
    fields = mock.Mock(return_value=(0x33, 0, 0))
    link.set_callback(0x33, lambda *a: link.got.append(a))
    with mock.patch("vez_api.vez_over_usb.parse_usb_address_flags", fields):
        link._ser.feed(F2)
        link._ser.wait_drained()
    fields.assert_called_once_with(0xC010)
    assert link.got == [(0x33, [4], 0)]


def test_process_pkt_called_directly(fake_serial, caplog):
    t = VezOverUsb(connect_on_init=False)
    got = []
    t.set_callback(5, lambda *a: got.append(a))
    t._process_pkt(5, b"\x01\xff", 1)
    t._process_pkt(6, b"\x01", 0)  # no callback: dropped silently
    t._process_pkt(address=5, pkt=bytearray(b"\x02"), priority_bit=0)
    assert got == [(5, [1, 255], 1), (5, [2], 0)] and caplog.records == []


def test_deprecated_class_warns_at_the_callers_line(fake_serial):
    with pytest.warns(DeprecationWarning) as w:
        t = VEZ_over_USB(port=PORT, connect_on_init=False, logger=None)
        line = sys._getframe().f_lineno - 1
    assert str(w[0].message) == "VEZ_over_USB is deprecated; use VezOverUsb instead."
    assert (w[0].filename, w[0].lineno) == (__file__, line)
    assert isinstance(t, VezOverUsb) and t._port == PORT and not t.is_connected
    with pytest.warns(DeprecationWarning), mock.patch.object(VezOverUsb, "__init__", return_value=None) as base:
        VEZ_over_USB("p", False)
    base.assert_called_once_with(port="p", connect_on_init=False, logger=None)
