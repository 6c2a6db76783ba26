"""The assets tree and the actuator library file: layout, paths the package
resolves, and figures that agree with the libraries they describe."""

import math
import platform
import re
import sys

import pytest
import yaml

import twinlib

sys.path.insert(0, str(twinlib.REPO / "twin" / "gen"))
import ratings  # noqa: E402

LIBRARY_NAME = re.compile(r"^lib([A-Z0-9_]+?)_(AMD|Intel|Apple|ARMCompatible)_.*\.(so|dylib|dll)$")
LINUX_KEYS = ("linux64_intel", "linux64_amd")


@pytest.fixture(scope="module")
def library_file():
    return twinlib.actuators_dir() / "actuators_library.yaml"


@pytest.fixture(scope="module")
def entries(library_file):
    with open(library_file, encoding="utf-8") as f:
        return yaml.safe_load(f)["actuators"]


def machine_targets():
    """Artifact targets this Linux machine tries, best first."""
    machine = platform.machine().lower()
    if "arm" in machine or "aarch64" in machine:
        return ["ARMCompatible_ARM64bitLP64"]
    with open("/proc/cpuinfo", encoding="utf-8", errors="ignore") as f:
        amd = "AuthenticAMD" in f.read()
    return ["AMD_x8664Linux64", "Intel_x8664Linux64"] if amd else ["Intel_x8664Linux64", "AMD_x8664Linux64"]


def test_the_search_finds_every_model_on_this_machine(entries):
    root = twinlib.bindings_dir()
    names = sorted(p.name for p in root.iterdir())
    listed = sorted({m.group(1) for m in map(LIBRARY_NAME.match, names) if m})
    assert listed == sorted(entries) == sorted(twinlib.artifacts())
    for model in entries:
        found = [t for t in machine_targets()
                 if (root / ("bindings_%s_%s.py" % (model, t))).exists()
                 and sorted(root.glob("lib%s_%s.*" % (model, t)))]
        assert found, model
        first = sorted(root.glob("lib%s_%s.*" % (model, found[0])))[0]
        assert first.suffix == ".so"  # not the build's object directory next to it


def test_entries_name_their_artifacts_relative_to_the_data_directory(library_file, entries):
    base = library_file.resolve().parent.parent.parent
    assert base.name == "data"
    for model, entry in entries.items():
        dtwin = entry["simulation"]["dtwin_model"]
        assert set(LINUX_KEYS) <= set(dtwin)
        for key in LINUX_KEYS:
            lib, bindings = base / dtwin[key]["library"], base / dtwin[key]["py_bindings"]
            assert lib.is_file() and bindings.is_file(), (model, key)
            assert LIBRARY_NAME.match(lib.name).group(1) == model
            assert twinlib.load_bindings(bindings).MODEL_NAME == model


def test_every_figure_is_a_number(entries):
    # YAML 1.1 reads 6e-05 (no dot) as text: a trap for hand-edited figures.
    def leaves(x):
        return [kv for k, v in x.items() for kv in (leaves(v) if isinstance(v, dict) else [(k, v)])]

    for model, e in entries.items():
        for section in (e["technical_specifications"], e["control"], e["simulation"]["dtwin_realism"]):
            for key, value in leaves(section):
                assert key == "source" or isinstance(value, (int, float)), (model, key)


def test_figures_agree_with_the_library(twin, entries):
    e = entries[twin.name]
    p = twin.params
    points = e["technical_specifications"]["performance"]["operating_points"]
    stated = {**points["rated"], **points["peak"]}
    derived = ratings.static_ratings(p)
    for key, value in stated.items():
        if key != "rated_efficiency_percent":
            assert value == pytest.approx(derived[key], rel=1e-5), key
    mech = e["technical_specifications"]["mechanical"]
    assert mech["geometry"]["gear_ratio"] == e["gear_ratio"] == p.gear_ratio
    assert mech["inertias"]["rotor_inertia_kgm2"] == e["rotor_inertia_kgm2"] == p.J_rotor
    assert mech["inertias"]["output_inertia_total_kgm2"] == pytest.approx(
        p.J_rotor * p.gear_ratio ** 2 + p.J_out + p.J_load, rel=1e-5)
    assert (mech["friction"]["static_friction_Nm"], mech["friction"]["coulomb_friction_Nm"],
            mech["friction"]["viscous_friction_Nms_per_rad"]) == (p.T_static, p.T_coulomb, p.B_viscous)
    assert e["max_velocity"] == pytest.approx(stated["maximum_speed_rpm"] * math.pi / 30, rel=1e-5)
    defaults = ratings.default_parameters(twin.lib)
    assert e["control"]["default_parameters"] == pytest.approx(defaults, rel=1e-5)


def test_realism_section_lists_what_the_library_simulates(twin, entries):
    stated = entries[twin.name]["simulation"]["dtwin_realism"]
    assert stated == pytest.approx(ratings.realism(twin.lib), rel=1e-6)
    assert not twin.inp.Ideal  # the library starts realistic


def test_rated_point_is_continuous_and_its_efficiency_holds(twin, entries):
    e = entries[twin.name]
    limits = e["technical_specifications"]["safety_limits"]["internal_temps"]["motor"]
    assert (limits["safe_max_C"], limits["critical_max_C"]) == (twin.params.T_safe, twin.params.T_critical)
    assert ratings.static_ratings(twin.params)["rated_winding_temperature_C"] < limits["safe_max_C"]
    stated = e["technical_specifications"]["performance"]["operating_points"]["rated"]["rated_efficiency_percent"]
    assert ratings.rated_efficiency(twin.lib) == pytest.approx(stated, abs=0.15)
