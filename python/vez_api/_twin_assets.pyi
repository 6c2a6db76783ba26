"""Digital-twin assets: the actuator library file and the search for simulation artifacts."""

import dataclasses as dataclasses
import functools
import functools as functools
import logging as logging
import os as os
import platform as platform
import re
import re as re
from collections.abc import Iterator
from pathlib import Path as Path
from typing import Any

# PyYAML when installed, else None.
yaml: Any

SAFETY_FACTOR_PEAK_TO_STALL: float
SAFETY_FACTOR_RATED_TO_STALL: float
SAFETY_FACTOR_RATED_TO_MAX_SPEED: float
_RPM_TO_RAD_S: float
_DTWIN_LIBRARY_PATTERN: re.Pattern[str]
# "pydantic2", "pydantic1" or "minimal": which validation library the records use.
_VALIDATION_BACKEND: str

# pydantic's (v2 or v1) when installed; minimal stand-ins of the same names otherwise.
from pydantic import BaseModel as BaseModel
from pydantic import ConfigDict as ConfigDict
from pydantic import ValidationError as ValidationError

class ActuatorBaseModel(BaseModel):
    """Base of the actuator library records; extra fields allowed."""

    @classmethod
    def model_validate(cls, data: Any) -> Any: ...  # type: ignore[override]

class ProductOverview(ActuatorBaseModel):
    product_name: str | None
    description: str | None
    manufacturer: str | None
    actuator_type: str | None
    full_revision_id: str | None
    size_class: str | None

class RatedOperatingPoint(ActuatorBaseModel):
    rated_voltage_V: float | None
    rated_current_A: float | None
    rated_torque_Nm: float | None
    rated_speed_rpm: float | None
    rated_efficiency_percent: float | None

class PeakOperatingPoint(ActuatorBaseModel):
    peak_torque_Nm: float | None
    current_at_peak_torque_A: float | None
    maximum_speed_rpm: float | None
    stall_torque_Nm: float | None
    stall_current_A: float | None

class OperatingPoints(ActuatorBaseModel):
    rated: RatedOperatingPoint | None
    peak: PeakOperatingPoint | None

class PerformanceSpec(ActuatorBaseModel):
    operating_points: OperatingPoints | None

class TemperatureThresholds(ActuatorBaseModel):
    safe_max_C: float | None
    critical_max_C: float | None

class InternalTemperatureLimits(ActuatorBaseModel):
    motor: TemperatureThresholds | None
    pcb: TemperatureThresholds | None

class SafetyLimits(ActuatorBaseModel):
    internal_temps: InternalTemperatureLimits | None

class GeometrySpec(ActuatorBaseModel):
    gear_ratio: float | None
    outer_diam_mm: float | None

class InertiaSpec(ActuatorBaseModel):
    rotor_inertia_kgm2: float | None
    output_inertia_total_kgm2: float | None
    source: str | None

class FrictionSpec(ActuatorBaseModel):
    static_friction_Nm: float | None
    coulomb_friction_Nm: float | None
    viscous_friction_Nms_per_rad: float | None

class PackagingConnectivity(ActuatorBaseModel):
    total_weight_framed_kg: float | None

class MechanicalSpec(ActuatorBaseModel):
    geometry: GeometrySpec | None
    inertias: InertiaSpec | None
    friction: FrictionSpec | None
    packaging_connectivity: PackagingConnectivity | None

class ElectricalSpec(ActuatorBaseModel):
    rated_current_A: float | None

class TechnicalSpecifications(ActuatorBaseModel):
    performance: PerformanceSpec | None
    safety_limits: SafetyLimits | None
    mechanical: MechanicalSpec | None
    electrical: ElectricalSpec | None

class DTwinPlatformSpec(ActuatorBaseModel):
    library: str | None
    py_bindings: str | None

class SimulationSpec(ActuatorBaseModel):
    mujoco: dict[str, Any] | None
    dtwin_model: dict[str, DTwinPlatformSpec] | None

class ControlSpec(ActuatorBaseModel):
    default_parameters: dict[str, float | int | None] | None

class ActuatorLibraryEntry(ActuatorBaseModel):
    type: str | None
    gear_ratio: float | None
    rotor_inertia: float | None
    rotor_inertia_kgm2: float | None
    nominal_torque: float | None
    peak_torque: float | None
    max_velocity: float | None
    mass: float | None
    product_overview: ProductOverview | None
    technical_specifications: TechnicalSpecifications | None
    simulation: SimulationSpec | None
    control: ControlSpec | None

@dataclasses.dataclass
class DTwinPaths:
    """Digital-twin library and bindings paths."""

    library: Path | None
    py_bindings: Path | None

@dataclasses.dataclass
class ActuatorSpec:

    name: str
    dtwin_paths: DTwinPaths | None = None
    mujoco_config: dict[str, Any] | None = None
    raw_spec: dict[str, Any] | None = None

def _cpu_vendor() -> str | None: ...
def _candidate_project_roots() -> list[Path]: ...
def _get_project_root() -> Path: ...
def _bindings_roots_under(base: Path) -> list[Path]: ...
def _candidate_bindings_roots(search_root: str | Path | None = None) -> list[Path]: ...
def _get_platform_key() -> str: ...
def platform_artifact_targets() -> list[str]: ...
def find_dtwin_bindings_root(search_root: str | Path | None = None) -> Path: ...
def resolve_dtwin_artifacts(model_name: str, bindings_root: str | Path | None = None) -> DTwinPaths: ...
def list_available_dtwin_artifacts(bindings_root: str | Path | None = None) -> list[str]: ...
def load_actuator_library_data(path: str | Path) -> dict[str, Any]: ...
def validate_actuator_library_data(data: dict[str, Any], source: str) -> dict[str, Any]: ...
def iter_actuator_library_entries(data: dict[str, Any]) -> Iterator[tuple[str, dict[str, Any]]]: ...
def _format_validation_error(exc: Any, source: str) -> str: ...
@functools.lru_cache(maxsize=1)
def _get_library_path() -> Path: ...
@functools.lru_cache(maxsize=8)
def load_actuator_library(library_path: str | Path | None = None) -> dict[str, ActuatorSpec]: ...
def get_actuator_spec(name: str, library_path: str | Path | None = None) -> ActuatorSpec: ...
def list_available_actuators(library_path: str | Path | None = None) -> list[str]: ...
def resolve_torque_limit(raw_spec: dict[str, Any]) -> float | None: ...
def resolve_speed_limit(raw_spec: dict[str, Any]) -> float | None: ...
