"""Gain tuning on the digital twin: run one Scenario on a fresh virtual actuator and measure its response, or sweep many candidate gain sets on any executor and rank them by a cost."""

import argparse
import array as array
import dataclasses as dataclasses
import math as math
import os as os
from collections.abc import Callable, Iterable, Mapping
from concurrent.futures import Executor
from typing import Any

from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual as DorozeActuatorVirtual

METRICS: tuple[str, ...]

@dataclasses.dataclass(frozen=True)
class Step:
    value: float
    at: float = 0.0

@dataclasses.dataclass(frozen=True)
class Ramp:
    value: float
    duration: float
    at: float = 0.0

@dataclasses.dataclass(frozen=True)
class Trajectory:
    points: tuple[tuple[float, float], ...]

@dataclasses.dataclass
class Scenario:
    model: str
    mode: Any = "POSITION"
    setpoint: Any = ...
    load: tuple[tuple[float, float], ...] = ()
    duration: float = 1.0
    vary: tuple[str, ...] = ()
    fixed: dict[str, float] = ...
    library_path: Any = None
    bindings_root: Any = None
    response_rate_hz: float = 1000.0
    def __post_init__(self) -> None: ...

@dataclasses.dataclass
class Result:
    gains: dict[str, float]
    ok: bool
    error: Any
    metrics: dict[str, float]
    parameters: dict[str, float]
    time: Any
    reference: Any
    response: Any
    speed: Any
    torque: Any
    current: Any
    cost: float = ...

@dataclasses.dataclass
class SweepResult:
    scenario: Any
    results: list[Result]
    ranked: list[Result]
    failed: list[Result]
    cost: Any
    @property
    def best(self) -> Result | None: ...

class _Task:
    def __call__(self, scenario: Scenario, candidates: Iterable[Mapping[str, float]]) -> list[Result]: ...

def run(scenario: Scenario, gains: Mapping[str, float] | None = None) -> Result: ...
def sweep(
    scenario: Scenario,
    candidates: Iterable[Mapping[str, float]],
    *,
    executor: Executor | None = None,
    cost: str | Mapping[str, float] | Callable[[Result], float] = "iae",
    chunk_size: int | None = None,
    workers: int | None = None,
) -> SweepResult: ...
def grid(axes: Mapping[str, tuple[Any, ...]]) -> list[dict[str, float]]: ...
def random_samples(axes: Mapping[str, tuple[Any, ...]], samples: int, seed: int = 0) -> list[dict[str, float]]: ...
def latin_hypercube(axes: Mapping[str, tuple[Any, ...]], samples: int, seed: int = 0) -> list[dict[str, float]]: ...
def cost_of(result: Result, cost: str | Mapping[str, float] | Callable[[Result], float]) -> float: ...
def _address(text: str) -> int: ...
def _add_cli_parser(subparsers: Any) -> None: ...
def command_tune(args: argparse.Namespace) -> int: ...
