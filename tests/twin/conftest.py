"""The twin's tests run against the assets tree of a build (the package
build's twin/ by default, or VEZ_API_VIRTUAL_ASSETS_ROOT) through ctypes only."""

import pytest

import twinlib

MODELS = sorted(twinlib.artifacts())


def pytest_report_header(config):
    return "twin assets: %s (%s)" % (twinlib.assets_root(), ", ".join(MODELS) or "none found")


@pytest.fixture(params=MODELS)
def model(request):
    return request.param


@pytest.fixture
def twin(model):
    """The model's default, realistic plant."""
    t = twinlib.Twin(model)
    yield t
    t.close()


@pytest.fixture(params=["realistic", "ideal"])
def any_twin(request, model):
    """Each plant in turn; `ideal` tells which."""
    t = twinlib.Twin(model)
    t.inp.Ideal = t.ideal = request.param == "ideal"
    yield t
    t.close()


@pytest.fixture
def ideal_twin(model):
    t = twinlib.Twin(model)
    t.inp.Ideal = t.ideal = True
    yield t
    t.close()
