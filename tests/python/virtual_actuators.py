"""Helpers for the virtual actuator tests: the installed reference twin, and
assets trees holding contrived twins and actuator library files."""

from __future__ import annotations

import math
import pathlib

import vez_api
import twin_doubles
from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual

MODEL = "ORBIT_4"  # a model of the reference twin, installed with the wheel
TARGET = "Intel_x8664Linux64"
INSTALLED_LIBRARY_FILE = (
    pathlib.Path(vez_api.__file__).resolve().parent.parent / "data" / "assets" / "actuators" / "actuators_library.yaml"
)

Items = DorozeActuatorVirtual.VEZ_Items
TEN_ITEMS = [
    Items.POSITION_FB,
    Items.SPEED_FB,
    Items.TORQUE_FB,
    Items.IQ_FB,
    Items.ID_FB,
    Items.POSITION_REF,
    Items.SPEED_REF,
    Items.TEMP_MOTOR,
    Items.VBUS,
    Items.BUS_CURRENT,
]


def connected(cls=DorozeActuatorVirtual, model=MODEL, **kwargs) -> DorozeActuatorVirtual:
    """A virtual actuator on the reference twin, selected and connected."""
    actuator = cls(**kwargs)
    actuator.set_actuator(model)
    actuator.connect()
    return actuator


def same_value(a, b) -> bool:
    """Equal, NaN equal to NaN, and of the same type."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def library_file(directory: pathlib.Path, entries: dict) -> pathlib.Path:
    """Writes an actuator library file under directory/data/assets/actuators;
    `entries` maps a name to its YAML text (indented under the name)."""
    path = directory / "data" / "assets" / "actuators" / "actuators_library.yaml"
    path.parent.mkdir(parents=True, exist_ok=True)
    lines = ["actuators:"]
    for name, body in entries.items():
        lines.append(f"  {name}:")
        lines += ["    " + line for line in body.strip("\n").splitlines()]
    path.write_text("\n".join(lines) + "\n")
    return path


def dtwin_entry(library: str | None, bindings: str | None) -> str:
    """The simulation section of an entry, for both Linux platform keys."""
    fields = []
    if library is not None:
        fields.append(f"library: {library}")
    if bindings is not None:
        fields.append(f"py_bindings: {bindings}")
    body = "{" + ", ".join(fields) + "}"
    return f"simulation:\n  dtwin_model:\n    linux64_intel: {body}\n    linux64_amd: {body}\n"


def install_contrived(built_library: twin_doubles.BuiltTwin, directory: pathlib.Path, model: str):
    """A contrived twin laid out as the assets search expects it."""
    root = directory / "data" / "assets" / "actuators" / "digital_twin_libs_bindings"
    return twin_doubles.install(built_library, root, model, TARGET)
