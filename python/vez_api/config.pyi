"""Back up an actuator's configuration to a YAML file and restore it, on physical and virtual actuators."""

import os
import typing
from dataclasses import dataclass as dataclass
from datetime import datetime as datetime, timezone as timezone
from importlib.metadata import PackageNotFoundError as PackageNotFoundError, version as version
from typing import Any, Dict, List, Optional, Union

yaml: Any
FORMAT: int

class ConfigError(ValueError):
    problems: List[str]
    def __init__(self, message: str, problems: typing.Iterable[str] = ()) -> None: ...

class RestoreError(ConfigError):
    report: RestoreReport
    def __init__(self, message: str, report: RestoreReport) -> None: ...

@dataclass(frozen=True)
class ParameterChange:
    name: str
    old: Optional[Union[float, int]]
    new: Union[float, int]

@dataclass(frozen=True)
class ParameterMismatch:
    name: str
    expected: Union[float, int]
    got: Optional[Union[float, int]]

@dataclass
class ConfigFile:
    path: str
    model: str
    firmware_version: str
    address: Optional[int]
    saved_at: str
    vez_api_version: str
    parameters: Dict[str, Union[float, int]]

@dataclass
class RestoreReport:
    path: str
    file_model: str
    actuator_model: str
    changes: List[ParameterChange] = ...
    unchanged: List[str] = ...
    not_written: List[ParameterChange] = ...
    not_held: List[str] = ...
    not_in_file: List[str] = ...
    mismatches: List[ParameterMismatch] = ...
    notes: List[str] = ...
    dry_run: bool = False
    written: bool = False
    persisted: bool = False
    def lines(self) -> List[str]: ...
    @property
    def ok(self) -> bool: ...

def save(actuator: Any, path: Union[str, os.PathLike[str]]) -> ConfigFile: ...
def read(path: Union[str, os.PathLike[str]]) -> ConfigFile: ...
def load(
    actuator: Any,
    path: Union[str, os.PathLike[str]],
    *,
    force: bool = False,
    write_runtime: bool = False,
    write_address: bool = False,
    persist: bool = False,
    dry_run: bool = False,
) -> RestoreReport: ...
