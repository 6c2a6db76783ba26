"""vez_api: software development kit for the Doroze smart servo actuators.

The package is a set of compiled modules; import the one you need, e.g.::

    from vez_api.vez_over_usb import VezOverUsb
    from vez_api.doroze_actuator_real import DorozeActuatorReal

Nothing is imported eagerly here, so ``import vez_api`` stays cheap.
"""


def __getattr__(name: str) -> str:
    # The version lives in the package metadata only; read it on first use.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("vez_api")
        except PackageNotFoundError:
            return "unknown"
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
