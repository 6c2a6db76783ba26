"""Live view of an actuator's feedback, with a CSV record: physical and virtual actuators."""

import os
import time as time
from collections import deque as deque
from dataclasses import dataclass as dataclass
from typing import Any, List, Optional, TextIO, Union

rich: Any

@dataclass(frozen=True)
class MonitorSummary:
    samples: int
    seconds: float
    csv_rows: int
    interrupted: bool

def item_unit(item: Any) -> str: ...
def run(
    actuator: Any,
    items: List[Any],
    *,
    rate: int = 100,
    duration: Optional[float] = None,
    csv: Optional[Union[str, os.PathLike[str]]] = None,
    output: Optional[TextIO] = None,
    style: str = "auto",
    interval: Optional[float] = None,
) -> MonitorSummary: ...
