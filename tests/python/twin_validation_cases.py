"""Checks of the actuator library validation that must hold under every
validation backend of vez_api._twin_assets (pydantic v2, pydantic v1, or the
minimal stand-in without pydantic).

Each case takes the assets module (the installed one, or a private copy
loaded with pydantic hidden) and raises AssertionError on failure.  The cases
also run under another interpreter that has pydantic v2 (see run_all).
"""

from __future__ import annotations

import sys
import traceback

SEVEN_BAD_NUMBERS = {
    "gear_ratio": "a",
    "rotor_inertia": "b",
    "rotor_inertia_kgm2": "c",
    "nominal_torque": "d",
    "peak_torque": "e",
    "max_velocity": "f",
    "mass": "g",
}

GOOD_ENTRY = {
    "type": "rotary",
    "gear_ratio": 9,
    "custom_field": {"kept": True},
    "product_overview": {"product_name": "Orbit 4", "colour": "blue"},
    "technical_specifications": {
        "performance": {
            "operating_points": {
                "rated": {"rated_torque_Nm": 2.0, "rated_speed_rpm": 1000},
                "peak": {"peak_torque_Nm": 6, "maximum_speed_rpm": 3000.0},
            }
        },
        "safety_limits": {"internal_temps": {"motor": {"safe_max_C": 90}, "pcb": {"critical_max_C": 105.5}}},
        "mechanical": {"geometry": {"gear_ratio": 9}, "inertias": {"source": "CAD"}},
        "electrical": {"rated_current_A": 4.2},
    },
    "simulation": {
        "mujoco": {"anything": [1, 2]},
        "dtwin_model": {"linux64_intel": {"library": "lib/x.so", "py_bindings": "b.py", "extra": 1}},
    },
    "control": {"default_parameters": {"kp": 1.5, "count": 3, "unset": None}},
}


def backend_is_consistent(assets, expected_backend: str | None = None) -> None:
    backend = assets._VALIDATION_BACKEND
    assert backend in ("pydantic2", "pydantic1", "minimal"), backend
    if expected_backend is not None:
        assert backend == expected_backend, (backend, expected_backend)
    assert issubclass(assets.ValidationError, ValueError) or backend != "minimal"
    if backend == "minimal":
        assert assets.ConfigDict(extra="allow") == {"extra": "allow"}
        assert issubclass(assets.ValidationError, ValueError)
    records = [
        "ProductOverview",
        "RatedOperatingPoint",
        "PeakOperatingPoint",
        "OperatingPoints",
        "PerformanceSpec",
        "TemperatureThresholds",
        "InternalTemperatureLimits",
        "SafetyLimits",
        "GeometrySpec",
        "InertiaSpec",
        "FrictionSpec",
        "PackagingConnectivity",
        "MechanicalSpec",
        "ElectricalSpec",
        "TechnicalSpecifications",
        "DTwinPlatformSpec",
        "SimulationSpec",
        "ControlSpec",
        "ActuatorLibraryEntry",
    ]
    for name in records:
        record = getattr(assets, name)
        assert issubclass(record, assets.ActuatorBaseModel), name
        assert issubclass(record, assets.BaseModel), name
        assert record.__module__ == assets.__name__, (name, record.__module__)


def good_entry_validates_and_data_is_returned_as_is(assets) -> None:
    data = {"actuators": {"ORBIT_4": GOOD_ENTRY, "ignored_scalar_section": {}}}
    assert assets.validate_actuator_library_data(data, "lib.yaml") is data
    assert GOOD_ENTRY["custom_field"] == {"kept": True}  # the raw entry is never replaced
    flat = {"ORBIT_4": GOOD_ENTRY}  # without an "actuators" key the top level is the section
    assert assets.validate_actuator_library_data(flat, "flat.yaml") is flat


def extra_fields_are_allowed_at_every_level(assets) -> None:
    entry = {"unknown": 1, "technical_specifications": {"performance": {"whatever": [1], "operating_points": {}}}}
    assets.ActuatorLibraryEntry.model_validate(entry)


def entry_that_is_not_a_mapping(assets) -> None:
    try:
        assets.validate_actuator_library_data({"actuators": {"x": 3}}, "src.yaml")
    except ValueError as exc:
        assert str(exc) == "Invalid src.yaml: actuator 'x' must map to a YAML object", str(exc)
    else:
        raise AssertionError("no error")
    try:
        assets.ActuatorLibraryEntry.model_validate(3)
    except assets.ValidationError as exc:
        if assets._VALIDATION_BACKEND == "minimal":
            assert str(exc) == "ActuatorLibraryEntry expects a mapping", str(exc)
    else:
        raise AssertionError("model_validate accepted a number")


def seven_invalid_fields(assets) -> None:
    data = {"actuators": {"ok": {}, "bad": dict(SEVEN_BAD_NUMBERS), "later": {"mass": "also bad"}}}
    if assets._VALIDATION_BACKEND == "minimal":
        # Only the mapping check exists without pydantic.
        assert assets.validate_actuator_library_data(data, "src.yaml") is data
        return
    try:
        assets.validate_actuator_library_data(data, "src.yaml")
    except ValueError as exc:
        text = str(exc)
        prefix = "Invalid actuator 'bad' in src.yaml: "
        assert text.startswith(prefix), text
        details = text[len(prefix) :].split("; ")
        assert len(details) == 6 and details[-1] == "... (+2 more)", details
        assert [d.split(": ")[0] for d in details[:5]] == list(SEVEN_BAD_NUMBERS)[:5], details
        assert isinstance(exc.__cause__, assets.ValidationError)
    else:
        raise AssertionError("no error")


def nested_locations_are_dotted(assets) -> None:
    entry = {"technical_specifications": {"performance": {"operating_points": {"rated": {"rated_torque_Nm": "x"}}}}}
    if assets._VALIDATION_BACKEND == "minimal":
        return
    try:
        assets.ActuatorLibraryEntry.model_validate(entry)
    except assets.ValidationError as exc:
        text = assets._format_validation_error(exc, "src:e")
        assert text.startswith("technical_specifications.performance.operating_points.rated.rated_torque_Nm: "), text
        assert "; " not in text
    else:
        raise AssertionError("no error")


CASES = [
    backend_is_consistent,
    good_entry_validates_and_data_is_returned_as_is,
    extra_fields_are_allowed_at_every_level,
    entry_that_is_not_a_mapping,
    seven_invalid_fields,
    nested_locations_are_dotted,
]


def run_all(expected_backend: str) -> int:
    """Runs every case against the importable vez_api._twin_assets; for a subprocess."""
    import vez_api._twin_assets as assets

    failures = 0
    for case in CASES:
        try:
            if case is backend_is_consistent:
                case(assets, expected_backend)
            else:
                case(assets)
        except Exception:  # report every failing case, not only the first
            failures += 1
            print(f"FAILED {case.__name__}")
            traceback.print_exc()
    print(f"{len(CASES) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(run_all(sys.argv[1]))
