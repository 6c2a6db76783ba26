"""Requests that wait for an answer (ping, parameter read, blocking item read):
they take the answer whenever it is stored (before the wait, during it),
only the answer to their own request, one request per actuator at a time,
and give up at once when nothing can answer any more (the link lost or
closed, the actuator disconnected, Ctrl-C).

A scripted actuator answers from the test bus's own thread; the link cases
run a real VezOverUsb on a pseudo-terminal."""

import _thread
import logging
import threading

import pytest

from actuator_answers import (
    ScriptedActuator,
    ThreadedBus,
    beacon,
    decode_command,
    items_answer,
    pack_version,
    parameters_answer,
)
from pty_adapter import PtyAdapter, wait_until
from vez_api.doroze_actuator_real import DorozeActuatorReal
from vez_api.vez_over_usb import VezOverUsb

Items = DorozeActuatorReal.VEZ_Items
Params = DorozeActuatorReal.VEZ_Parameters
TIMEOUT_LOG = "Timeout while waiting for response"

# Long enough never to run out in a test that expects an answer or an early end.
LONG = 60.0


class Call:
    """Runs fn on its own thread; `result` once it returned, `error` if it raised."""

    def __init__(self, fn):
        self.result = self.error = None
        self.thread = threading.Thread(target=self._run, args=(fn,), daemon=True)
        self.thread.start()

    def _run(self, fn):
        try:
            self.result = fn()
        except BaseException as exc:  # noqa: BLE001 - handed to the test
            self.error = exc

    def join(self, timeout=10.0):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "the call did not return"
        if self.error is not None:
            raise self.error
        return self.result


class SynchronousBus(ThreadedBus):
    """Answers inside _send_VEZ, on the caller's thread: the answer is stored
    before the caller starts waiting for it."""

    def _send_VEZ(self, address, data, priority=True, can_high_speed=False):
        self.sent.append((address, list(data), priority, can_high_speed))
        device = self.devices.get(address)
        for payload, priority_bit in device.answer(list(data)) if device else []:
            with self._lock:
                self._callbacks[address](address, payload, priority_bit)
        return True


@pytest.fixture
def device():
    return ScriptedActuator(address=16, model=1, version=pack_version(1, 2, 3))


@pytest.fixture
def bus(device):
    b = ThreadedBus(device)
    yield b
    b.disconnect()


def requests_of(bus, action, address=16):
    return [args for name, args in bus.requests(address) if name == action]


# --- when the answer comes --------------------------------------------------------------


def test_an_answer_stored_before_the_wait_is_taken(device):
    bus = SynchronousBus(device)
    try:
        a = DorozeActuatorReal(bus, 16)
        assert a.connect(timeout=LONG) is True and a.version == "1.2.3"
        assert a.get_items_blocking([Items.SPEED_FB, Items.VBUS], timeout=LONG) == {Items.SPEED_FB: 1.25,
                                                                                    Items.VBUS: 24.0}
        result = a.get_parameters(list(Params)[:12], timeout=LONG)
        assert result is a._parameters and set(result) == set(list(Params)[:12])
    finally:
        bus.disconnect()


def test_an_answer_that_comes_during_the_wait_ends_it(bus, device):
    device.silent |= {"GET_ITEMS", "PING", "GET_PARAMETERS"}
    a = DorozeActuatorReal(bus, 16)
    for request, answer, expected in [
        (lambda: a.get_items_blocking([Items.VBUS], timeout=LONG), items_answer({112: 48.0}), {Items.VBUS: 48.0}),
        (lambda: a.send_ping(timeout=LONG), beacon(3, pack_version(2, 0, 1)), True),
        (lambda: a.get_parameters([Params.LIM_TORQUE], timeout=LONG), parameters_answer({4: 2.5}),
         {Params.LIM_TORQUE: 2.5}),
    ]:
        before = len(bus.sent)
        call = Call(request)
        assert wait_until(lambda: len(bus.sent) > before)  # the request is out: the caller waits
        bus.deliver(16, answer)
        assert call.join() == expected
    assert a.version == "2.0.1"


def test_no_answer_times_out_as_documented(bus, device, caplog):
    device.silent |= {"GET_ITEMS", "PING", "GET_PARAMETERS"}
    a = DorozeActuatorReal(bus, 16)
    with caplog.at_level(logging.ERROR):
        assert a.get_items_blocking([Items.VBUS], timeout=0.05) == {}
        assert a.get_parameters([Params.MODE], timeout=0.05) == {}
        assert a.send_ping(timeout=0.05) is False
    assert [r.getMessage() for r in caplog.records] == [TIMEOUT_LOG, TIMEOUT_LOG]


def test_the_wait_lets_other_threads_run(bus, device):
    """The wait gives the GIL up: this thread runs Python code meanwhile."""
    device.silent.add("GET_ITEMS")
    a = DorozeActuatorReal(bus, 16)
    call = Call(lambda: a.get_items_blocking([Items.VBUS], timeout=LONG))
    assert wait_until(lambda: requests_of(bus, "GET_ITEMS"))
    counted = sum(1 for _ in range(200_000))
    bus.deliver(16, items_answer({112: 1.0}))
    assert call.join() == {Items.VBUS: 1.0} and counted == 200_000


# --- which answer ------------------------------------------------------------------------


def test_a_late_item_answer_to_an_earlier_request_is_passed_over(bus, device, caplog):
    device.silent.add("GET_ITEMS")
    a = DorozeActuatorReal(bus, 16)
    with caplog.at_level(logging.ERROR):
        assert a.get_items_blocking([Items.VBUS], timeout=0.05) == {}
    call = Call(lambda: a.get_items_blocking([Items.TEMP_PCB, Items.ERROR_BITS], timeout=LONG))
    assert wait_until(lambda: len(requests_of(bus, "GET_ITEMS")) == 2)
    bus.deliver(16, items_answer({112: 24.0}))           # the answer to the first request, late
    bus.deliver(16, items_answer({113: 30.0}))           # some of the items: no answer to this request
    bus.deliver(16, items_answer({113: 30.0, 99: 7, 112: 1.0}))  # more than asked: neither
    bus.wait_idle()
    assert call.thread.is_alive()  # still waiting
    bus.deliver(16, items_answer({99: 7, 113: 31.0}))
    assert call.join() == {Items.TEMP_PCB: 31.0, Items.ERROR_BITS: 7}
    assert [r.getMessage() for r in caplog.records] == [TIMEOUT_LOG]


def test_the_answer_is_kept_when_a_stale_one_follows_it(bus, device):
    device.silent.add("GET_ITEMS")
    a = DorozeActuatorReal(bus, 16)
    call = Call(lambda: a.get_items_blocking([Items.IA], timeout=LONG))
    assert wait_until(lambda: requests_of(bus, "GET_ITEMS"))
    bus.deliver(16, items_answer({70: 1.5}))
    bus.deliver(16, items_answer({112: 24.0}))  # stored over the answer before the caller looks
    result = call.join()
    assert result == {Items.IA: 1.5}


def test_a_parameter_answer_must_carry_the_batch(bus, device):
    device.silent.add("GET_PARAMETERS")
    a = DorozeActuatorReal(bus, 16)
    wanted = [Params.LIM_TORQUE, Params.MODE]
    call = Call(lambda: a.get_parameters(wanted, timeout=LONG))
    assert wait_until(lambda: requests_of(bus, "GET_PARAMETERS"))
    bus.deliver(16, parameters_answer({1: 0.5}))          # another batch's answer, late
    bus.deliver(16, parameters_answer({4: 2.0}))          # part of this batch
    bus.wait_idle()
    assert call.thread.is_alive() and a._got_parameters is True  # the flag alone does not end the wait
    bus.deliver(16, parameters_answer({0x30: 5.0, 4: 2.5}))
    result = call.join()
    assert result is a._parameters
    assert result[Params.LIM_TORQUE] == 2.5 and result[Params.K_DAMPING] == 0.5  # answers still accumulate


def test_a_later_batch_that_times_out_makes_the_read_a_timeout(bus, device, caplog):
    device.answer_limit["GET_PARAMETERS"] = 3
    a = DorozeActuatorReal(bus, 16)
    with caplog.at_level(logging.ERROR):
        assert a.get_parameters_all() == {}
    assert [len(codes) for codes in requests_of(bus, "GET_PARAMETERS")] == [9, 9, 9, 4]
    assert [r.getMessage() for r in caplog.records] == [TIMEOUT_LOG]
    assert len(a._parameters) == 27  # what did come is kept where it accumulates


class OrderingBus(ThreadedBus):
    """Notes every request and every answer in the order they happen."""

    def __init__(self, *devices):
        super().__init__(*devices)
        self.events = []

    def _send_VEZ(self, address, data, priority=True, can_high_speed=False):
        self.events.append("request")
        return super()._send_VEZ(address, data, priority, can_high_speed)

    def set_callback(self, address, callback):
        def noted(*args):
            self.events.append("answer")  # before the answer is stored, so before its waiter can go on
            callback(*args)

        super().set_callback(address, noted)


def test_two_threads_on_one_actuator_get_their_own_answers(device):
    bus = OrderingBus(device)
    a = DorozeActuatorReal(bus, 16)
    wrong, unanswered = [], []
    asks = {0: [Items.IA, Items.VBUS], 1: [Items.SPEED_FB]}
    device.items.update({70: 0.5})

    def work(k):
        for i in range(150):
            if i % 3 == 2:
                wanted = [Params.LIM_TORQUE] if k else [Params.MODE, Params.KP_SPEED]
                result = a.get_parameters(wanted, timeout=5.0)
                if not result:
                    unanswered.append(k)
                elif any(p not in result for p in wanted):
                    wrong.append((k, result))
            else:
                result = a.get_items_blocking(asks[k], timeout=5.0)
                if not result:
                    unanswered.append(k)
                elif set(result) != set(asks[k]):
                    wrong.append((k, result))

    try:
        calls = [Call(lambda k=k: work(k)) for k in (0, 1)]
        for c in calls:
            c.join(60)
    finally:
        bus.disconnect()
    assert wrong == [] and unanswered == []
    # One request at a time: each is answered before the next goes out.
    assert bus.events == ["request", "answer"] * 300


def test_several_waiters_on_different_actuators(device):
    devices = [ScriptedActuator(address=a, model=a - 15) for a in (16, 17, 18)]
    bus = ThreadedBus(*devices)
    try:
        actuators = [DorozeActuatorReal(bus, d.address) for d in devices]
        problems = []

        def work(a):
            for _ in range(60):
                if not a.send_ping(timeout=5.0) or a.model != a._MODELS_NAMES[a.address - 15]:
                    problems.append(("ping", a.address))
                if a.get_parameters([Params.VEZ_ADDRESS], timeout=5.0) != {Params.VEZ_ADDRESS: float(a.address)}:
                    problems.append(("parameters", a.address))
                if set(a.get_items_blocking([Items.VBUS], timeout=5.0)) != {Items.VBUS}:
                    problems.append(("items", a.address))

        calls = [Call(lambda a=a: work(a)) for a in actuators]
        for c in calls:
            c.join(60)
        assert problems == []
    finally:
        bus.disconnect()


# --- giving up at once -----------------------------------------------------------------------


def test_disconnecting_the_actuator_ends_its_wait(bus, device, caplog):
    device.silent.add("GET_ITEMS")
    a = DorozeActuatorReal(bus, 16)
    call = Call(lambda: a.get_items_blocking([Items.VBUS], timeout=LONG))
    assert wait_until(lambda: requests_of(bus, "GET_ITEMS"))
    with caplog.at_level(logging.ERROR):
        a.disconnect()
        assert call.join() == {}
    assert [r.getMessage() for r in caplog.records] == [TIMEOUT_LOG]


def test_ctrl_c_ends_a_wait_and_the_actuator_stays_usable(bus, device):
    device.silent.add("PING")

    def interrupt_once_asked():
        if wait_until(lambda: requests_of(bus, "PING")):
            _thread.interrupt_main()

    a = DorozeActuatorReal(bus, 16)
    helper = threading.Thread(target=interrupt_once_asked)
    helper.start()
    with pytest.raises(KeyboardInterrupt):
        a.connect(timeout=LONG)
    helper.join(10)
    device.silent.clear()
    assert a.connect(timeout=LONG) is True  # its turn was given back


@pytest.fixture
def adapter():
    with PtyAdapter() as a:
        yield a


def answer_frame(adapter, payload, address=16):
    from fake_serial import frame
    adapter.write(frame(address, payload, priority=False))


@pytest.mark.parametrize("how", ["close", "unplug"])
def test_losing_the_link_ends_every_wait(adapter, how, caplog):
    link = VezOverUsb(port=adapter.port)
    first, second = DorozeActuatorReal(link, 16), DorozeActuatorReal(link, 17)
    try:
        with caplog.at_level(logging.ERROR):
            calls = [Call(lambda: first.get_parameters([Params.MODE], timeout=LONG)),
                     Call(lambda: second.get_items_blocking([Items.VBUS], timeout=LONG))]
            adapter.read_frames(2)  # both requests are out
            link.close() if how == "close" else adapter.unplug()
            assert [c.join() for c in calls] == [{}, {}]
        actuator_records = [r.getMessage() for r in caplog.records if r.name == "vez_api._doroze_actuator_base"]
        assert actuator_records == [TIMEOUT_LOG, TIMEOUT_LOG]
        lost = [r.getMessage() for r in caplog.records if r.getMessage().startswith("Lost the link")]
        assert len(lost) == (1 if how == "unplug" else 0)  # a close is no loss
        # Nothing can answer a closed link: the next request gives up as it starts.
        assert wait_until(lambda: not link.is_connected)
        assert Call(lambda: first.connect(timeout=LONG)).join() is False
    finally:
        link.close()


def test_answers_over_a_real_link(adapter):
    link = VezOverUsb(port=adapter.port)
    a = DorozeActuatorReal(link, 16)
    try:
        call = Call(lambda: a.get_items_blocking([Items.VBUS, Items.IA], timeout=LONG))
        request = adapter.read_frames(1)[0]
        assert decode_command(list(request[4:-1])) == ("GET_ITEMS", [112, 70])
        answer_frame(adapter, items_answer({112: 48.0}))  # not this request's answer
        answer_frame(adapter, items_answer({70: 0.5, 112: 47.5}))
        assert call.join() == {Items.VBUS: 47.5, Items.IA: 0.5}
    finally:
        link.close()


# --- fall-backs ----------------------------------------------------------------------------------


def test_an_overridden_receive_routine_is_waited_for_by_polling(bus, device):
    seen = []

    class Recording(DorozeActuatorReal):
        def _can_callback(self, address, data, priority):
            seen.append(data[0])
            super()._can_callback(address, data, priority)

    a = Recording(bus, 16)
    assert a.connect(timeout=LONG) is True
    assert a.get_items_blocking([Items.VBUS], timeout=LONG) == {Items.VBUS: 24.0}
    assert a.get_parameters([Params.MODE], timeout=LONG) == {Params.MODE: a.Mode.SPEED}
    assert seen == [0x80, 112, 0x83]


def test_a_replaced_parameter_parser_is_trusted_by_its_flag(bus, device):
    class OwnParser(DorozeActuatorReal):
        def _DorozeActuatorReal__parse_parameters(self, data):
            self._parameters["raw"] = list(data)
            self._got_parameters = True

    a = OwnParser(bus, 16)
    result = a.get_parameters([Params.MODE, Params.LIM_TORQUE], timeout=LONG)
    assert result is a._parameters and result["raw"][0] in (0x30, 4)
