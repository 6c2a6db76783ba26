import logging
import sys
import threading
from unittest import mock

import pytest

import vez_api._transport as transport_module
from vez_api._transport import VezTransport


class LoopbackTransport(VezTransport):
    """A transport written in Python, the way users extend the base."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.up = False
        self.calls = []

    def connect(self, port=None):
        self.calls.append("connect")
        self.up = True
        return True

    def disconnect(self):
        self.calls.append("disconnect")
        self.up = False

    @property
    def is_connected(self):
        return self.up


def test_is_a_plain_python_class():
    assert VezTransport.__mro__ == (VezTransport, object)
    assert VezTransport.__module__ == "vez_api._transport"
    assert VezTransport.__doc__ == "Internal base for connection lifecycle and address-based callbacks."
    assert VezTransport.__annotations__ == {"logger": logging.Logger}
    assert type(VezTransport) is type


def test_state_lives_in_the_instance_dict():
    t = LoopbackTransport("ignored", 3, other="ignored")
    assert set(vars(t)) >= {"logger", "_callbacks", "_lock"}
    assert t._callbacks == {} and type(t._callbacks) is dict
    assert isinstance(t._lock, type(threading.Lock()))
    assert t.logger is logging.getLogger("vez_api._transport")


@pytest.mark.parametrize("logger_kw", [{}, {"logger": None}, {"logger": 0}])
def test_default_logger(logger_kw):
    assert LoopbackTransport(**logger_kw).logger.name == "vez_api._transport"


def test_given_logger_is_used():
    custom = logging.getLogger("custom")
    assert LoopbackTransport(logger=custom).logger is custom


def test_second_registration_warns_once_and_replaces(caplog):
    t = LoopbackTransport()
    first, second = object(), object()
    with caplog.at_level(logging.WARNING, logger="vez_api._transport"):
        t.set_callback(16, first)
        t.set_callback(16.0, second)  # any number: converted to int
    assert [r.getMessage() for r in caplog.records] == ["address 16 already has a callback"]
    assert caplog.records[0].levelno == logging.WARNING
    assert t._callbacks == {16: second}
    assert type(next(iter(t._callbacks))) is int


def test_remove_unknown_address_only_warns(caplog):
    t = LoopbackTransport()
    t.set_callback(20, print)
    with caplog.at_level(logging.WARNING):
        t.remove_callback(21)
    assert [r.getMessage() for r in caplog.records] == ["No callback found for address 21"]
    t.remove_callback(20)
    assert t._callbacks == {}


def test_logger_mock_sees_the_calls():
    log = mock.Mock()
    t = LoopbackTransport(logger=log)
    t.set_callback(1, print)
    t.set_callback(1, print)
    log.warning.assert_called_once_with("address 1 already has a callback")


def test_lock_is_held_while_storing():
    t = LoopbackTransport()
    seen = []

    class Probe(dict):
        def __setitem__(self, key, value):
            seen.append(t._lock.locked())
            super().__setitem__(key, value)

        def __delitem__(self, key):
            seen.append(t._lock.locked())
            super().__delitem__(key)

    t._callbacks = Probe()
    t.set_callback(5, print)
    t.remove_callback(5)
    assert seen == [True, True]
    assert not t._lock.locked()


def test_lock_is_released_when_the_store_fails():
    t = LoopbackTransport()
    t._callbacks = {}
    with pytest.raises(TypeError):
        t.set_callback(5, print) or t._callbacks.__setitem__([], 1)
    t._callbacks = mock.MagicMock()
    t._callbacks.__contains__.return_value = False
    t._callbacks.__setitem__.side_effect = RuntimeError("boom")
    with pytest.raises(RuntimeError, match="boom"):
        t.set_callback(5, print)
    assert not t._lock.locked()


def test_address_must_be_a_number():
    t = LoopbackTransport()
    with pytest.raises(TypeError, match=r"^Argument 'address' has incorrect type \(expected int, got str\)$"):
        t.set_callback("16", print)
    with pytest.raises(TypeError, match="'address'"):
        t.remove_callback(None)


def test_deprecated_aliases_warn_at_the_callers_line():
    t = LoopbackTransport()
    with pytest.warns(DeprecationWarning) as w:
        t.setCallback(16, print)
        line = sys._getframe().f_lineno - 1
    assert str(w[0].message) == "setCallback is deprecated, use set_callback instead"
    assert w[0].filename == __file__ and w[0].lineno == line
    assert t._callbacks == {16: print}
    with pytest.warns(DeprecationWarning, match="^removeCallback is deprecated, use remove_callback instead$") as w:
        t.removeCallback(16)
    assert w[0].filename == __file__
    assert t._callbacks == {}


def test_deprecated_aliases_dispatch_through_self():
    t = LoopbackTransport()
    with mock.patch.object(t, "set_callback") as new, pytest.warns(DeprecationWarning):
        t.setCallback(3, print)
    new.assert_called_once_with(3, print)


def test_with_block_connects_only_when_needed_and_always_disconnects():
    t = LoopbackTransport()
    with t as entered:
        assert entered is t and t.is_connected
    assert t.calls == ["connect", "disconnect"]

    t.connect()
    t.calls.clear()
    with pytest.raises(ValueError):
        with t:
            raise ValueError("propagates")
    assert t.calls == ["disconnect"]


def test_close_and_del_disconnect():
    t = LoopbackTransport()
    t.close()
    assert t.calls == ["disconnect"]
    calls = t.calls
    del t
    assert calls == ["disconnect", "disconnect"]


def test_callbacks_survive_disconnect():
    t = LoopbackTransport()
    t.set_callback(16, print)
    with t:
        pass
    assert t._callbacks == {16: print}


def test_base_operations_are_not_implemented():
    t = VezTransport()
    with pytest.raises(NotImplementedError, match=r"^connect\(\) method must be implemented in subclasses$"):
        t.connect()
    with pytest.raises(NotImplementedError, match=r"^disconnect\(\) method must be implemented in subclasses$"):
        t.disconnect()
    with pytest.raises(NotImplementedError, match=r"^is_connected\(\) property must be implemented in subclasses$"):
        t.is_connected
    with pytest.raises(NotImplementedError, match="is_connected"):
        with t:
            pass
    t.disconnect = lambda: None  # keep finalisation quiet


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_finaliser_reports_disconnect_errors_as_ignored():
    with mock.patch("sys.unraisablehook") as hook:
        VezTransport()
    assert hook.call_count == 1
    assert isinstance(hook.call_args[0][0].exc_value, NotImplementedError)


def test_module_names_are_live():
    class FakeLock:
        def __init__(self):
            self.acquired = 0

        def acquire(self):
            self.acquired += 1

        def release(self):
            pass

    with mock.patch.object(transport_module.threading, "Lock", FakeLock):
        t = LoopbackTransport()
    assert isinstance(t._lock, FakeLock)
    t.set_callback(1, print)
    assert t._lock.acquired == 1

    with mock.patch.object(transport_module, "warnings") as w:
        LoopbackTransport().setCallback(2, print)
    w.warn.assert_called_once_with("setCallback is deprecated, use set_callback instead", DeprecationWarning, stacklevel=1)


@pytest.mark.slow
def test_no_leaks(memory_flat):
    t = LoopbackTransport()
    cb = object()

    def cycle():
        t.set_callback(16, cb)
        t.remove_callback(16)

    before = sys.getrefcount(cb)
    memory_flat(cycle, calls=300_000)
    assert sys.getrefcount(cb) == before
    memory_flat(lambda: LoopbackTransport().close(), calls=100_000)
