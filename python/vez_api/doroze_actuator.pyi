"""Deprecated class names of earlier releases."""

import logging
from typing import Any, Optional

from vez_api.doroze_actuator_real import (
    DorozeActuatorReal as DorozeActuatorReal,
    DorozeActuatorScannerReal as DorozeActuatorScannerReal,
)

class DorozeActuator(DorozeActuatorReal):
    """Deprecated compatibility name for :class:`DorozeActuatorReal`."""

    def __init__(self, adapter_handler: Any, address: int, logger: Optional[logging.Logger] = None) -> None: ...

class DorozeActuatorScanner(DorozeActuatorScannerReal):
    """Deprecated compatibility name for :class:`DorozeActuatorScannerReal`."""

    def __init__(self, adapter_handler: Any, logger: Optional[logging.Logger] = None) -> None: ...
