import inspect
from unittest import mock

import pytest

import vez_api._vez as vez_module
from vez_api._transport import VezTransport
from vez_api._vez import VEZ


class Link(VEZ):
    def connect(self, port=None):
        self.up = True
        return True

    def disconnect(self):
        self.up = False

    @property
    def is_connected(self):
        return getattr(self, "up", False)


def test_hierarchy_and_constants():
    assert [c.__name__ for c in VEZ.__mro__] == ["VEZ", "VezTransport", "object"]
    assert VEZ.__module__ == "vez_api._vez"
    assert VEZ.__annotations__ == {"adapter_address": int}
    assert "adapter_address" not in vars(VEZ)  # annotation only at class level
    assert (VEZ._MSG_START_BYTE, VEZ._MSG_HEADER_LENGTH, VEZ._MAX_PAYLOAD_SIZE, VEZ._CRC_MAGIC_NUMBER) == (254, 4, 59, 253)
    assert Link._MAX_PAYLOAD_SIZE == 59
    constants = [n for n in vars(VEZ) if n.startswith("_M") or n.startswith("_C")]
    assert constants == ["_MSG_START_BYTE", "_MSG_HEADER_LENGTH", "_MAX_PAYLOAD_SIZE", "_CRC_MAGIC_NUMBER"]
    assert vez_module.logger.name == "vez_api._vez"


def test_every_instance_has_adapter_address_one():
    bare = VEZ()
    bare.disconnect = lambda: None  # keeps finalisation quiet
    for obj in (bare, Link(1, 2, logger=None, adapter_address=7), Link(logger=mock.Mock())):
        assert obj.adapter_address == 1
        assert obj._callbacks == {}


def test_init_passes_arguments_to_the_base():
    custom = mock.Mock()
    assert Link(logger=custom).logger is custom


def test_init_follows_the_mro():
    order = []

    class Mixin(VezTransport):
        def __init__(self, *args, **kwargs):
            order.append("mixin")
            super().__init__(*args, **kwargs)

    class Diamond(VEZ, Mixin):
        def disconnect(self):
            pass

    Diamond()
    assert order == ["mixin"]


def test_static_checks_on_class_and_instance():
    link = Link()
    for owner in (VEZ, link):
        assert owner._check_vez_id_range(16382) is True
        assert owner._check_vez_id_range(16383) is False
        assert owner._check_vez_payload_size(b"") is False
        assert owner._check_vez_payload_size([1] * 59) is True
        assert owner._build_RUZ_identifier(1, 32) == 16416
    assert str(inspect.signature(VEZ._check_vez_id_range)) == "(can_id)"


def test_static_checks_name_their_arguments():
    with pytest.raises(TypeError, match=r"^Argument 'can_id' has incorrect type \(expected int, got str\)$"):
        VEZ._check_vez_id_range("1")
    with pytest.raises(TypeError, match="'source'"):
        VEZ._build_RUZ_identifier("1", 2)
    with pytest.raises(TypeError, match="'destination'"):
        VEZ._build_RUZ_identifier(1, [])


def test_checks_delegate_through_the_module_namespace():
    with mock.patch("vez_api._vez.is_valid_vez_address", return_value="patched") as check:
        assert VEZ._check_vez_id_range(5.5) == "patched"
    check.assert_called_once_with(5)
    with mock.patch("vez_api._vez.is_valid_vez_payload", return_value=True):
        assert VEZ._check_vez_payload_size(b"") is True


def test_identifier_result_must_be_an_int():
    with mock.patch("vez_api._vez.build_ruz_identifier", return_value="x"):
        with pytest.raises(TypeError):
            VEZ._build_RUZ_identifier(1, 2)


def test_connect_on_bare_vez_is_not_implemented():
    v = VEZ()
    with pytest.raises(NotImplementedError, match=r"^connect\(\) method must be implemented in subclasses$"):
        v.connect()
    v.disconnect = lambda: None


def test_python_subclass_in_with_block():
    with Link() as link:
        assert link.is_connected
        link.set_callback(16, print)
    assert not link.is_connected
    assert link._callbacks == {16: print}
