"""Waiting requests end to end through the bus emulator, with its fault
injection: answers that come late (after their request timed out) or never
are not taken for the answers to later requests, not by one thread, not by
two sharing an actuator; a read that lost a batch says so; a lost adapter
ends a wait at once."""

import re
import threading

import pytest

from bus_emulator import BusEmulator, wait_until
from vez_api.doroze_actuator_real import DorozeActuatorReal
from vez_api.vez_over_usb import VezOverUsb

Items = DorozeActuatorReal.VEZ_Items
Params = DorozeActuatorReal.VEZ_Parameters

ITEM_ASKS = [[Items.VBUS], [Items.TEMP_PCB, Items.ERROR_BITS], [Items.POSITION_FB], [Items.TEMP_PCB]]
PARAMETER_ASKS = [[Params.MODE, Params.VEZ_ADDRESS], [Params.LIM_TORQUE], [Params.VEZ_ADDRESS]]


def faults(bus):
    """The emulator's fault counters."""
    return {k: int(v) for k, v in re.findall(r"(answers dropped|late) (\d+)", bus.stats()[-1])}


@pytest.fixture
def late_bus():
    # 3 answers in 10 come 600 ms late, long after their request gave up.
    with BusEmulator("--late", "0.3", "--late-ms", "600", "--seed", "4", "--actuator", "0x10:ORBIT_4") as bus:
        yield bus


@pytest.fixture
def link(late_bus):
    t = VezOverUsb(port=late_bus.port)
    yield t
    t.close()


def wrong_items(asked, got):
    return bool(got) and set(got) != set(asked)


def test_late_answers_are_never_returned_for_later_requests(late_bus, link):
    a = DorozeActuatorReal(link, 0x10)
    wrong, answered = [], 0
    for i in range(60):
        asked = ITEM_ASKS[i % len(ITEM_ASKS)]
        got = a.get_items_blocking(asked, timeout=0.2)
        answered += bool(got)
        if wrong_items(asked, got):
            wrong.append((asked, got))
    for i in range(40):
        asked = PARAMETER_ASKS[i % len(PARAMETER_ASKS)]
        a._parameters.clear()  # what this read brings (late answers to earlier reads accumulate there too)
        got = a.get_parameters(asked, timeout=0.2)
        answered += bool(got)
        if got and not set(asked) <= set(got):
            wrong.append((asked, dict(got)))
    assert wrong == []
    assert answered >= 50
    assert faults(late_bus)["late"] > 10


def test_two_threads_reading_one_actuator_get_their_own_answers(late_bus, link):
    a = DorozeActuatorReal(link, 0x10)
    wrong, answered = [], []

    def read(asked):
        for _ in range(40):
            got = a.get_items_blocking(asked, timeout=0.2)
            answered.append(bool(got))
            if wrong_items(asked, got):
                wrong.append((asked, got))

    threads = [threading.Thread(target=read, args=(asked,)) for asked in ITEM_ASKS[:2]]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert wrong == [] and len(answered) == 80
    assert sum(answered) >= 40


def test_a_read_that_lost_a_batch_is_a_timeout():
    with BusEmulator("--drop", "0.15", "--seed", "6", "--actuator", "0x11:NOVA_3") as bus:
        link = VezOverUsb(port=bus.port)
        try:
            a = DorozeActuatorReal(link, 0x11)
            results = []
            for _ in range(30):
                a._parameters.clear()
                results.append(len(a.get_parameters(list(Params), timeout=0.2)))
            # All 31 parameters, or nothing: never a part passed for the whole.
            assert set(results) == {0, 31}
            assert faults(bus)["answers dropped"] > 0
        finally:
            link.close()


def test_a_lost_adapter_ends_the_waits_at_once():
    with BusEmulator("--actuator", "0x10:ORBIT_4") as bus:
        link = VezOverUsb(port=bus.port)
        nobody = DorozeActuatorReal(link, 0x50)  # no actuator answers there
        results = []
        waiter = threading.Thread(target=lambda: results.append(nobody.get_items_blocking([Items.VBUS], timeout=60)))
        before = bus.stats()[-1]
        waiter.start()
        assert wait_until(lambda: bus.stats()[-1] != before, 5.0)  # the request reached the adapter
        bus.process.kill()
        waiter.join(10)
        assert not waiter.is_alive() and results == [{}]
        assert wait_until(lambda: not link.is_connected, 5.0)
        link.close()
