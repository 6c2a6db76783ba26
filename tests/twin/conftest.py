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
    t = twinlib.Twin(model)
    yield t
    t.close()
