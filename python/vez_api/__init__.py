"""vez_api: software development kit for the Doroze smart servo actuators.

The main classes are reached from the package itself::

    from vez_api import VezOverUsb, DorozeActuatorReal

Each lives in a compiled module of its own (``vez_api.vez_over_usb``,
``vez_api.doroze_actuator_real``, ...), imported on first use, so
``import vez_api`` stays cheap.
"""

from typing import TYPE_CHECKING

__all__ = [
    "ActuatorWrapper",
    "BoundedVirtualActuatorLog",
    "DorozeActuatorReal",
    "DorozeActuatorScannerReal",
    "DorozeActuatorVirtual",
    "VezOverUsb",
    "VirtualActuatorLog",
]

# Where each re-exported class lives.
_HOMES = {
    "ActuatorWrapper": "vez_api._twin_backend",
    "BoundedVirtualActuatorLog": "vez_api.doroze_actuator_virtual",
    "DorozeActuatorReal": "vez_api.doroze_actuator_real",
    "DorozeActuatorScannerReal": "vez_api.doroze_actuator_real",
    "DorozeActuatorVirtual": "vez_api.doroze_actuator_virtual",
    "VezOverUsb": "vez_api.vez_over_usb",
    "VirtualActuatorLog": "vez_api.doroze_actuator_virtual",
}

if TYPE_CHECKING:
    from vez_api._twin_backend import ActuatorWrapper as ActuatorWrapper
    from vez_api.doroze_actuator_real import DorozeActuatorReal as DorozeActuatorReal
    from vez_api.doroze_actuator_real import DorozeActuatorScannerReal as DorozeActuatorScannerReal
    from vez_api.doroze_actuator_virtual import BoundedVirtualActuatorLog as BoundedVirtualActuatorLog
    from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual as DorozeActuatorVirtual
    from vez_api.doroze_actuator_virtual import VirtualActuatorLog as VirtualActuatorLog
    from vez_api.vez_over_usb import VezOverUsb as VezOverUsb

    __version__: str
else:

    def __getattr__(name):
        # The version lives in the package metadata only; read it on first use.
        if name == "__version__":
            from importlib.metadata import PackageNotFoundError, version

            try:
                return version("vez_api")
            except PackageNotFoundError:
                return "unknown"
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        from importlib import import_module

        value = getattr(import_module(home), name)
        globals()[name] = value  # later lookups find it directly
        return value

    def __dir__():
        return sorted(set(globals()) | set(__all__) | {"__version__"})
