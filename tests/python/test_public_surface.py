"""What a user discovers of the package: docstrings, signatures, the names
`vez_api` itself offers, and how a type checker sees them."""

import enum
import importlib
import inspect
import math
import subprocess
import sys

import pytest

import vez_api

MODULES = ["_protocol", "_transport", "_vez", "vez_over_usb", "_doroze_actuator_base", "doroze_actuator_real",
           "_twin_backend", "_twin_assets", "doroze_actuator_virtual", "doroze_cli", "doroze_actuator", "config",
           "monitor"]


def public_objects():
    """(qualified name, object, docstring) of every public class, function, method and property."""
    for module_name in MODULES:
        module = importlib.import_module("vez_api." + module_name)
        for name, obj in vars(module).items():
            if name.startswith("_") or inspect.ismodule(obj) or getattr(obj, "__module__", None) != module.__name__:
                continue
            yield f"{module_name}.{name}", obj, obj.__doc__
            if not isinstance(obj, type) or issubclass(obj, enum.Enum):
                continue
            for attribute, value in vars(obj).items():
                if attribute.startswith("_"):
                    continue
                if isinstance(value, property):
                    yield f"{module_name}.{name}.{attribute}", value, value.__doc__
                elif callable(value) or isinstance(value, staticmethod):
                    yield f"{module_name}.{name}.{attribute}", value, inspect.getdoc(getattr(obj, attribute))


def test_every_public_name_is_documented():
    undocumented = [name for name, _, doc in public_objects() if not (doc or "").strip()]
    assert undocumented == []
    # A getter's generated description ("is_connected(arg0: object) -> bool") is no documentation.
    generated = [name for name, _, doc in public_objects() if doc and "(arg0" in doc]
    assert generated == []


@pytest.mark.parametrize("cls_name", ["vez_api.doroze_actuator_real.DorozeActuatorReal",
                                      "vez_api.doroze_actuator_virtual.DorozeActuatorVirtual"])
def test_setpoint_docs_name_their_units_and_results(cls_name):
    module_name, _, name = cls_name.rpartition(".")
    cls = getattr(importlib.import_module(module_name), name)
    assert "N*m" in cls.change_torque_setpoint.__doc__
    assert "rad/s" in cls.change_speed_setpoint.__doc__
    assert "in rad" in cls.change_position_setpoint.__doc__
    assert "Returns" in cls.get_parameters.__doc__ and "Returns" in cls.get_items_blocking.__doc__


def test_every_public_class_has_a_signature():
    classes = [(name, obj) for name, obj, _ in public_objects()
               if isinstance(obj, type) and not issubclass(obj, (enum.Enum, BaseException))]
    assert len(classes) > 20
    for name, cls in classes:
        inspect.signature(cls)  # raises ValueError when none can be found


def test_class_signatures_are_those_of_their_constructors():
    from vez_api._transport import VezTransport
    from vez_api.doroze_actuator import DorozeActuatorScanner

    assert str(inspect.signature(vez_api.DorozeActuatorReal)) == "(adapter_handler, address, logger=None)"
    assert str(inspect.signature(vez_api.VezOverUsb)) == "(port=None, connect_on_init=True, logger=None)"
    assert str(inspect.signature(vez_api.DorozeActuatorScannerReal)) == "(adapter_handler, logger=None)"
    assert str(inspect.signature(DorozeActuatorScanner)) == "(adapter_handler, logger=None)"
    assert str(inspect.signature(VezTransport)) == "(*args, **kwargs)"
    assert str(inspect.signature(vez_api.BoundedVirtualActuatorLog)) == "(max_ticks, TIME_STEP=None, time_start=0.0)"
    virtual = inspect.signature(vez_api.DorozeActuatorVirtual).parameters
    assert list(virtual) == ["adapter_handler", "address", "logger", "telemetry_max_ticks"]
    assert virtual["telemetry_max_ticks"].kind is inspect.Parameter.KEYWORD_ONLY
    # The documented class texts are untouched.
    assert vez_api.DorozeActuatorReal.__doc__ == "Control a physical Doroze actuator through a VEZ transport."


def test_subclasses_get_the_signature_they_construct_with():
    class Inherits(vez_api.DorozeActuatorReal):
        pass

    class Own(vez_api.DorozeActuatorReal):
        def __init__(self, link, *, logger=None):
            super().__init__(link, 0x10, logger=logger)

    assert str(inspect.signature(Inherits)) == "(adapter_handler, address, logger=None)"
    assert str(inspect.signature(Own)) == "(link, *, logger=None)"
    doc = subprocess.run([sys.executable, "-c", "import vez_api; help(vez_api.VezOverUsb)"],
                         capture_output=True, text=True, timeout=60).stdout
    assert "VezOverUsb(port=None, connect_on_init=True, logger=None)" in doc


def test_the_package_offers_its_main_classes():
    from vez_api._twin_backend import ActuatorWrapper
    from vez_api.doroze_actuator_real import DorozeActuatorReal, DorozeActuatorScannerReal
    from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual, VirtualActuatorLog
    from vez_api.vez_over_usb import VezOverUsb

    assert vez_api.VezOverUsb is VezOverUsb and vez_api.DorozeActuatorReal is DorozeActuatorReal
    assert vez_api.DorozeActuatorScannerReal is DorozeActuatorScannerReal
    assert vez_api.DorozeActuatorVirtual is DorozeActuatorVirtual
    assert vez_api.VirtualActuatorLog is VirtualActuatorLog and vez_api.ActuatorWrapper is ActuatorWrapper
    assert set(vez_api.__all__) <= set(dir(vez_api))
    assert isinstance(vez_api.__version__, str)
    with pytest.raises(AttributeError, match="has no attribute 'VezOverUSB'"):
        vez_api.VezOverUSB


def test_importing_the_package_imports_no_module():
    code = "import sys, vez_api; print(sorted(m for m in sys.modules if m.startswith('vez_api.')))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "[]"


def test_a_type_checker_sees_the_classes_and_refuses_unknown_names(tmp_path):
    mypy_api = pytest.importorskip("mypy.api")
    script = tmp_path / "user.py"
    script.write_text(
        "import vez_api\n"
        "link: vez_api.VezOverUsb = vez_api.VezOverUsb(port='/dev/ttyACM0')\n"
        "reveal_type(vez_api.DorozeActuatorReal(link, 16).connect)\n"
        "version: str = vez_api.__version__\n"
        "vez_api.VezOverUSB\n"
    )
    out, _, status = mypy_api.run(["--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                                   "--python-executable", sys.executable, str(script)])
    assert status == 1, out
    assert 'Module has no attribute "VezOverUSB"' in out
    assert "user.py:3: note: Revealed type" in out and "bool" in out.splitlines()[0]
    assert out.count("error:") == 1, out


def test_the_readme_lists_what_the_virtual_actuator_lacks_and_adds():
    from pathlib import Path

    readme = (Path(__file__).parents[2] / "README.md").read_text()
    section = readme[readme.index("## Virtual actuator"):readme.index("## Reference digital twin")]
    real = {n for n in dir(vez_api.DorozeActuatorReal) if not n.startswith("_")}
    virtual = {n for n in dir(vez_api.DorozeActuatorVirtual) if not n.startswith("_")}
    assert len(real - virtual) == 18
    assert [n for n in sorted(real ^ virtual) if f"`{n}`" not in section] == []
