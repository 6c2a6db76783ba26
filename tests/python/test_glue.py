"""The fast-path toolkit (src/glue) through its test module, _glue_selftest.

The guard answers "would Python code still find what the module installed?";
every way users change that (patching, shadowing, overriding, custom
attribute access) must turn it off, and undoing the change must turn it back
on.  The weak-keyed cache must never hand an entry to an object other than
the one it was made for.
"""

import gc
import os
import sys
import weakref
from unittest import mock

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SELFTEST_DIR = os.environ.get(
    "VEZ_API_GLUE_SELFTEST_DIR", os.path.join(HERE, "..", "..", "build", "pkg", "tests", "glue")
)
if SELFTEST_DIR not in sys.path:
    sys.path.insert(0, SELFTEST_DIR)
try:
    import _glue_selftest as st
except ImportError:  # pragma: no cover - depends on how the package was built
    if os.environ.get("VEZ_API_REQUIRE_GLUE_SELFTEST"):
        raise
    pytest.skip("_glue_selftest is built by `make install` (build/pkg/tests/glue)", allow_module_level=True)


class Plain:
    def method(self):
        return "original"


def replacement(self):
    return "replaced"


@pytest.fixture
def guard():
    """A fresh class and a guard on its method (fresh, so no test sees another's patches)."""

    class Owner:
        def method(self):
            return "original"

    return Owner, st.remember_class_attribute(Owner, "method")


class TestClassAttributeGuard:
    def test_holds_until_the_class_attribute_is_patched_and_again_after(self, guard):
        cls, g = guard
        obj = cls()
        assert st.holds_for(g, obj) and st.type_resolves(g, cls)
        with mock.patch.object(cls, "method", replacement):
            assert not st.holds_for(g, obj)
            assert not st.type_resolves(g, cls)
        assert st.holds_for(g, obj)

    def test_patch_on_a_base_class_reaches_types_already_checked(self, guard):
        cls, g = guard

        class Child(cls):
            pass

        assert st.type_resolves(g, Child)  # remembered for Child's current version
        cls.method = replacement
        assert not st.type_resolves(g, Child)
        assert not st.holds_for(g, Child())

    def test_instance_shadowing(self, guard):
        cls, g = guard
        obj = cls()
        obj.method = lambda: "mine"
        assert not st.holds_for(g, obj)
        assert st.holds_for(g, cls())  # other instances are unaffected
        del obj.method
        assert st.holds_for(g, obj)

    def test_subclass_override_and_plain_subclass(self, guard):
        cls, g = guard

        class Override(cls):
            def method(self):
                return "override"

        class Inherits(cls):
            pass

        assert not st.holds_for(g, Override())
        assert st.holds_for(g, Inherits())

    def test_custom_attribute_access_is_never_trusted(self, guard):
        cls, g = guard

        class WithGetattr(cls):
            def __getattr__(self, name):
                raise AttributeError(name)

        class WithGetattribute(cls):
            def __getattribute__(self, name):
                return object.__getattribute__(self, name)

        assert not st.holds_for(g, WithGetattr())
        assert not st.holds_for(g, WithGetattribute())
        assert not st.type_resolves(g, WithGetattr)

    def test_objects_without_instance_dict(self, guard):
        cls, g = guard

        class Slotted(cls):
            __slots__ = ()

        assert st.holds_for(g, Slotted())
        assert not st.holds_for(g, Plain())  # a different class with a method of the same name

    def test_a_name_the_class_did_not_have_never_holds(self):
        g = st.remember_class_attribute(Plain, "missing")
        assert not st.holds_for(g, Plain())


class TestModuleGlobalGuard:
    def test_patched_restored_and_deleted(self):
        g = st.remember_global("installed_global")
        assert st.global_holds(g)
        with mock.patch.object(st, "installed_global", "patched"):
            assert not st.global_holds(g)
        assert st.global_holds(g)
        original = st.installed_global
        # An equal but distinct object is not the one installed.
        st.installed_global = "".join(["orig", "inal"])
        assert not st.global_holds(g)
        del st.installed_global
        assert not st.global_holds(g)
        st.installed_global = original
        assert st.global_holds(g)


class Key:
    pass


class TestWeakKeyedCache:
    def test_entry_goes_with_its_object_and_releases_what_it_held(self):
        key, held = Key(), Key()
        held_ref = weakref.ref(held)
        size = st.cache_size()
        assert st.cache_add(key, 7, held)
        del held
        assert st.cache_find(key) == 7 and st.cache_size() == size + 1
        assert held_ref() is not None  # the entry keeps it
        del key
        assert st.cache_size() == size
        assert held_ref() is None

    def test_entry_of_an_object_collected_in_a_cycle(self):
        key = Key()
        key.me = key
        size = st.cache_size()
        st.cache_add(key, 1)
        del key
        gc.collect()
        assert st.cache_size() == size

    def test_a_reused_id_gets_no_stale_entry(self):
        key = Key()
        address = id(key)
        st.cache_add(key, 42)
        del key
        reused = None
        keep = []
        for _ in range(10_000):
            candidate = Key()
            if id(candidate) == address:
                reused = candidate
                break
            keep.append(candidate)
        for obj in keep + ([reused] if reused is not None else []):
            assert st.cache_find(obj) is None
        if reused is not None:
            assert st.cache_add(reused, 43) and st.cache_find(reused) == 43

    def test_distinct_objects_and_the_last_used_entry(self):
        a, b = Key(), Key()
        st.cache_add(a, 1)
        st.cache_add(b, 2)
        assert [st.cache_find(a), st.cache_find(b), st.cache_find(a)] == [1, 2, 1]
        st.cache_add(a, 3)  # the same entry, updated
        assert st.cache_find(a) == 3 and st.cache_find(b) == 2

    def test_objects_that_cannot_be_weakly_referenced_get_no_entry(self):
        class NoWeakref:
            __slots__ = ()

        size = st.cache_size()
        assert not st.cache_add(NoWeakref(), 1)
        assert not st.cache_add(12345678901234567890, 1)
        assert st.cache_size() == size


class TestArgumentChecks:
    class MyList(list):
        pass

    class MyDict(dict):
        pass

    class MyStr(str):
        pass

    @pytest.mark.parametrize(
        "exact, accepting, plain, subclass_value, expected",
        [
            (st.as_exact_list, st.as_list_or_subclass, [1], MyList([1]), "list"),
            (st.as_exact_dict, st.as_dict_or_subclass, {1: 2}, MyDict({1: 2}), "dict"),
            (st.as_exact_str, st.as_str_or_subclass, "x", MyStr("x"), "str"),
        ],
    )
    def test_exact_and_subclass_accepting(self, exact, accepting, plain, subclass_value, expected):
        assert exact(plain) is plain and accepting(plain) is plain
        assert accepting(subclass_value) is subclass_value
        name = type(subclass_value).__name__
        with pytest.raises(TypeError, match=rf"^Argument 'value' has incorrect type \(expected {expected}, got {name}\)$"):
            exact(subclass_value)
        with pytest.raises(TypeError, match=rf"expected {expected}, got tuple"):
            accepting(())

    def test_truthy_propagates_errors(self):
        class Broken:
            def __bool__(self):
                raise ZeroDivisionError

        assert st.truthy([0]) is True and st.truthy(0) is False
        with pytest.raises(ZeroDivisionError):
            st.truthy(Broken())


class Holder:
    pass


@pytest.fixture
def dict_guard():
    """An open dict guard, closed (its watcher given back) at the end."""
    g = st.dict_guard()
    assert st.dict_guard_open(g)
    yield g
    st.dict_guard_close(g)


def set_x(obj, value):
    obj.x = value  # the same code object every time: the interpreter specializes it


class TestDictGuard:
    """A stamp holds exactly while nothing changed the dict: every kind of
    change turns it off, and a dead dict's successor at the same address
    is never taken for it."""

    CHANGES = {
        "add": lambda d: d.__setitem__("new", 1),
        "replace": lambda d: d.__setitem__("a", object()),
        "delete": lambda d: d.__delitem__("a"),
        "pop": lambda d: d.pop("a"),
        "popitem": lambda d: d.popitem(),
        "clear": lambda d: d.clear(),
        "update": lambda d: d.update(b=2),
        "setdefault": lambda d: d.setdefault("c", 3),
    }

    @pytest.mark.parametrize("change", CHANGES, ids=list(CHANGES))
    def test_every_change_turns_a_stamp_off(self, dict_guard, change):
        d = {"a": 1}
        stamp = st.dict_guard_stamp(dict_guard, d)
        assert stamp and st.dict_guard_holds(dict_guard, d, stamp)
        assert st.dict_guard_holds(dict_guard, d, stamp)  # looking changes nothing
        self.CHANGES[change](d)
        assert not st.dict_guard_holds(dict_guard, d, stamp)
        assert st.dict_guard_holds(dict_guard, d, st.dict_guard_stamp(dict_guard, d))

    def test_a_filled_empty_dict_and_a_merge(self, dict_guard):
        d = {}
        stamp = st.dict_guard_stamp(dict_guard, d)
        d.update({"a": 1, "b": 2})  # an empty dict filled from another one
        assert not st.dict_guard_holds(dict_guard, d, stamp)

    def test_attribute_stores_of_an_object_even_when_specialized(self, dict_guard):
        warm = [Holder() for _ in range(4)]
        for _ in range(200):
            for w in warm:
                set_x(w, 1)
        obj = Holder()
        obj.x = 0
        d = obj.__dict__
        stamp = st.dict_guard_stamp(dict_guard, d, obj)
        assert stamp and obj.__dict__ is d
        assert st.dict_guard_holds(dict_guard, d, stamp)
        set_x(obj, 2)
        assert not st.dict_guard_holds(dict_guard, d, stamp)
        stamp = st.dict_guard_stamp(dict_guard, d, obj)
        del obj.x
        assert not st.dict_guard_holds(dict_guard, d, stamp)
        stamp = st.dict_guard_stamp(dict_guard, d, obj)
        obj.y = 1  # a new attribute
        assert not st.dict_guard_holds(dict_guard, d, stamp)
        assert obj.__dict__ is d and d == {"y": 1}

    def test_module_globals(self, dict_guard):
        module = type(sys)("guarded")
        module.value = 1
        stamp = st.dict_guard_stamp(dict_guard, vars(module))
        exec("value = 2", vars(module))  # STORE_NAME into the module's namespace
        assert not st.dict_guard_holds(dict_guard, vars(module), stamp)
        stamp = st.dict_guard_stamp(dict_guard, vars(module))
        with mock.patch.object(module, "value", 3):
            assert not st.dict_guard_holds(dict_guard, vars(module), stamp)

    def test_stamps_of_other_dicts(self, dict_guard):
        a, b = {"a": 1}, {"b": 1}
        stamp_a = st.dict_guard_stamp(dict_guard, a)
        b["b"] = 2  # not stamped: not watched, nothing changes for a
        assert st.dict_guard_holds(dict_guard, a, stamp_a)
        st.dict_guard_stamp(dict_guard, b)
        b["b"] = 3
        # Per-dict version tags keep a's stamp; a watcher's count does not.
        assert st.dict_guard_holds(dict_guard, a, stamp_a) == st.dict_stamps_per_dict

    def test_a_dead_dicts_successor_at_its_address(self, dict_guard):
        found = False
        for _ in range(100):
            d = {"a": 1}
            address, stamp = id(d), st.dict_guard_stamp(dict_guard, d)
            watched = st.dict_guard_watched(dict_guard)
            del d
            gc.collect()
            if not st.dict_stamps_per_dict:
                assert st.dict_guard_watched(dict_guard) == watched - 1  # forgotten as it died
            successor = {"a": 1}
            if id(successor) != address:
                continue
            found = True
            assert not st.dict_guard_holds(dict_guard, successor, stamp)
            stamp = st.dict_guard_stamp(dict_guard, successor)
            assert st.dict_guard_holds(dict_guard, successor, stamp)
            successor["a"] = 2  # watched anew: the change is seen
            assert not st.dict_guard_holds(dict_guard, successor, stamp)
            break
        if not found:
            pytest.skip("no dict was made at a dead one's address")

    def test_own_assignments_keep_the_stamp(self, dict_guard):
        d = {"a": 1}
        stamp = st.dict_guard_stamp(dict_guard, d)
        stamp = st.dict_guard_set_item(dict_guard, d, "a", 2, stamp)
        stamp = st.dict_guard_set_item(dict_guard, d, "new", 3, stamp)
        assert d == {"a": 2, "new": 3} and st.dict_guard_holds(dict_guard, d, stamp)
        assert st.dict_guard_set_item(dict_guard, d, "a", d["a"], stamp) == stamp  # the value it has: no change
        d["other"] = 1  # a change by someone else first
        assert not st.dict_guard_holds(dict_guard, d, stamp)
        stamp = st.dict_guard_set_item(dict_guard, d, "a", 4, stamp)
        assert stamp == 0 and d["a"] == 4

    def test_an_own_assignment_whose_released_value_changes_the_dict(self, dict_guard):
        d = {}

        class Meddler:
            def __del__(self):
                d["meddled"] = True

        d["a"] = Meddler()
        stamp = st.dict_guard_stamp(dict_guard, d)
        stamp = st.dict_guard_set_item(dict_guard, d, "a", 1, stamp)
        assert d["meddled"] and not st.dict_guard_holds(dict_guard, d, stamp)

    def test_a_closed_guard_holds_nothing_and_opens_again(self):
        g = st.dict_guard()
        assert st.dict_guard_stamp(g, {}) == 0  # not open yet
        assert st.dict_guard_open(g)
        d = {"a": 1}
        stamp = st.dict_guard_stamp(g, d)
        st.dict_guard_close(g)
        assert st.dict_guard_watched(g) == 0
        assert not st.dict_guard_holds(g, d, stamp) and st.dict_guard_stamp(g, d) == 0
        d["a"] = 2  # no longer watched (would fail loudly if the watcher were called)
        assert st.dict_guard_open(g)
        stamp = st.dict_guard_stamp(g, d)
        assert st.dict_guard_holds(g, d, stamp)
        st.dict_guard_close(g)

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="no dict watchers before 3.12")
    def test_without_a_watcher_to_be_had_no_stamp_holds(self):
        opened = []
        try:
            for _ in range(9):
                g = st.dict_guard()
                if not st.dict_guard_open(g):
                    break
                opened.append(g)
            else:
                pytest.fail("more than 8 dict watchers")
            d = {"a": 1}
            assert st.dict_guard_stamp(g, d) == 0 and not st.dict_guard_holds(g, d, 0)
        finally:
            for h in opened:
                st.dict_guard_close(h)
        assert st.dict_guard_open(g)  # given back: to be had again
        st.dict_guard_close(g)
