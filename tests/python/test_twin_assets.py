import importlib.machinery
import importlib.util
import logging
import os
import shutil
import subprocess
import sys
import uuid
from pathlib import Path
from unittest import mock

import pytest

import twin_validation_cases as validation_cases
import vez_api._twin_assets as assets

yaml = pytest.importorskip("yaml")

TARGET = "Intel_x8664Linux64"
ORBIT = {
    "technical_specifications": {
        "performance": {
            "operating_points": {
                "rated": {"rated_torque_Nm": 2.0, "rated_speed_rpm": 1000},
                "peak": {"peak_torque_Nm": 3.0, "maximum_speed_rpm": 3000},
            }
        }
    },
    "simulation": {
        "mujoco": {"joint": "hinge"},
        "dtwin_model": {
            "linux64_intel": {
                "library": "assets/actuators/digital_twin_libs_bindings/libORBIT_4_Intel_x8664Linux64.so",
                "py_bindings": "assets/actuators/digital_twin_libs_bindings/bindings_ORBIT_4_Intel_x8664Linux64.py",
            },
            "linux64_amd": {"library": "amd/libORBIT_4_AMD_x8664Linux64.so"},
        },
    },
}


def clear_caches():
    assets._get_library_path.cache_clear()
    assets.load_actuator_library.cache_clear()


@pytest.fixture
def root(tmp_path, monkeypatch):
    """A fresh assets tree that the environment variable points at, on a
    patched Linux/x86_64 Intel machine."""
    monkeypatch.setenv("VEZ_API_VIRTUAL_ASSETS_ROOT", str(tmp_path))
    monkeypatch.setattr(assets.platform, "system", lambda: "Linux")
    monkeypatch.setattr(assets.platform, "machine", lambda: "x86_64")
    monkeypatch.setattr(assets.platform, "processor", lambda: "")
    monkeypatch.setattr(assets, "_cpu_vendor", lambda: "Intel")
    (tmp_path / "data" / "assets" / "actuators").mkdir(parents=True)
    clear_caches()
    yield tmp_path.resolve()
    clear_caches()


def bindings_dir(root: Path, name="digital_twin_libs_bindings") -> Path:
    d = root / "data" / "assets" / "actuators" / name
    d.mkdir(parents=True, exist_ok=True)
    return d


def artifacts(directory: Path, model: str, target: str = TARGET, ext: str = "so", bindings=True):
    (directory / f"lib{model}_{target}.{ext}").write_bytes(b"")
    if bindings:
        (directory / f"bindings_{model}_{target}.py").write_text("")


def write_library(root: Path, data) -> Path:
    path = root / "data" / "assets" / "actuators" / "actuators_library.yaml"
    path.write_text(data if isinstance(data, str) else yaml.safe_dump(data, sort_keys=False))
    return path


# --- project roots -------------------------------------------------------------


def test_environment_root_comes_before_the_package_tree(root, tmp_path_factory, monkeypatch):
    package_tree = tmp_path_factory.mktemp("install")
    (package_tree / "site" / "vez_api").mkdir(parents=True)
    (package_tree / "site" / "data" / "assets").mkdir(parents=True)
    monkeypatch.setattr(assets, "__file__", str(package_tree / "site" / "vez_api" / "_twin_assets.so"))
    site = (package_tree / "site").resolve()
    assert assets._candidate_project_roots() == [root, site, site.parent]
    assert assets._get_project_root() == root
    monkeypatch.delenv("VEZ_API_VIRTUAL_ASSETS_ROOT")
    assert assets._get_project_root() == site
    monkeypatch.setenv("VEZ_API_VIRTUAL_ASSETS_ROOT", str(package_tree / "site" / "." / ""))
    assert assets._candidate_project_roots() == [site, site.parent]  # duplicates dropped, first seen kept
    monkeypatch.setenv("VEZ_API_VIRTUAL_ASSETS_ROOT", "")  # empty counts as unset
    assert assets._candidate_project_roots() == [site, site.parent]


def test_no_project_root_lists_what_was_searched(tmp_path, monkeypatch):
    monkeypatch.setenv("VEZ_API_VIRTUAL_ASSETS_ROOT", str(tmp_path))
    monkeypatch.setattr(assets, "__file__", str(tmp_path / "p" / "vez_api" / "m.so"))
    with pytest.raises(FileNotFoundError) as info:
        assets._get_project_root()
    r = tmp_path.resolve()
    assert str(info.value) == (
        "Could not find a project root with data/assets. Set VEZ_API_VIRTUAL_ASSETS_ROOT or pass "
        f"library_path explicitly. Searched: {r}, {r / 'p'}"
    )


@pytest.mark.parametrize("kind", ["missing", "file", "device"])
def test_environment_root_that_is_not_a_directory_is_reported_then_passed_over(tmp_path, monkeypatch, caplog, kind):
    value = {"missing": str(tmp_path / "no" / "such"), "file": str(tmp_path / "roots.txt"), "device": "/dev/null"}[kind]
    if kind == "file":
        Path(value).write_text("not a folder")
    monkeypatch.setenv("VEZ_API_VIRTUAL_ASSETS_ROOT", value)
    package_tree = tmp_path / "install" / "site"
    (package_tree / "data" / "assets").mkdir(parents=True)
    monkeypatch.setattr(assets, "__file__", str(package_tree / "vez_api" / "_twin_assets.so"))
    with caplog.at_level(logging.WARNING, logger="vez_api._twin_assets"):
        assert assets._get_project_root() == package_tree.resolve()  # the search falls back
        assets._candidate_bindings_roots()
    what = "does not exist" if kind == "missing" else "is not a directory"
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("vez_api._twin_assets", "WARNING",
         f"VEZ_API_VIRTUAL_ASSETS_ROOT names {value!r}, which {what}; searching the built-in locations instead"),
    ]  # fmt: skip


def test_environment_root_that_is_a_directory_is_not_reported(root, caplog):
    with caplog.at_level(logging.WARNING, logger="vez_api._twin_assets"):
        assets._candidate_bindings_roots()
    assert caplog.records == []


# --- bindings roots ------------------------------------------------------------


def test_versioned_bindings_directories_follow_the_plain_name(tmp_path):
    for name in ("digital_twin_libs_bindings_2", "digital_twin_libs_bindings_1", "digital_twin_libs_bindings_x"):
        (tmp_path / name).mkdir()
    (tmp_path / "digital_twin_libs_bindings_3").write_text("a file, not a directory")
    assert assets._bindings_roots_under(tmp_path) == [
        tmp_path / "digital_twin_libs_bindings",  # listed whether it exists or not
        tmp_path / "digital_twin_libs_bindings_1",
        tmp_path / "digital_twin_libs_bindings_2",
        tmp_path / "digital_twin_libs_bindings_x",
    ]
    assert assets._bindings_roots_under(tmp_path / "missing") == [tmp_path / "missing" / "digital_twin_libs_bindings"]


def test_candidate_bindings_roots_order(root, tmp_path_factory, monkeypatch):
    given = tmp_path_factory.mktemp("given").resolve()
    monkeypatch.setattr(assets, "_candidate_project_roots", lambda: [root])
    candidates = assets._candidate_bindings_roots(str(given))
    per_root = lambda r: [  # noqa: E731
        r,
        r / "digital_twin_libs_bindings",
        r / "assets" / "actuators" / "digital_twin_libs_bindings",
        r / "data" / "assets" / "actuators" / "digital_twin_libs_bindings",
        r / "actuators" / "digital_twin_libs_bindings",
    ]
    # the environment root and the project root are the same: listed once
    assert candidates == per_root(given) + per_root(root)


def test_bindings_root_needs_both_kinds_of_file(root):
    only_bindings = bindings_dir(root, "digital_twin_libs_bindings_1")
    (only_bindings / f"bindings_X_{TARGET}.py").write_text("")
    complete = bindings_dir(root, "digital_twin_libs_bindings_2")
    artifacts(complete, "X")
    assert assets.find_dtwin_bindings_root() == complete
    artifacts(bindings_dir(root), "Y")
    assert assets.find_dtwin_bindings_root() == root / "data/assets/actuators/digital_twin_libs_bindings"
    artifacts(root, "Z")  # the search root itself comes first
    assert assets.find_dtwin_bindings_root() == root


def test_no_bindings_root_lists_every_candidate(root, monkeypatch):
    monkeypatch.setattr(assets, "_candidate_project_roots", lambda: [root])
    with pytest.raises(FileNotFoundError) as info:
        assets.find_dtwin_bindings_root()
    searched = ", ".join(str(p) for p in assets._candidate_bindings_roots())
    assert str(info.value) == (
        "Could not find DTwin bindings. Set VEZ_API_VIRTUAL_ASSETS_ROOT, pass a bindings root, or keep artifacts "
        f"under assets/actuators/digital_twin_libs_bindings_<version>. Searched: {searched}"
    )


# --- platform ------------------------------------------------------------------


@pytest.mark.parametrize(
    "system, machine, vendor, targets",
    [
        ("Linux", "x86_64", "AMD", ["AMD_x8664Linux64", "Intel_x8664Linux64"]),
        ("Linux", "x86_64", "Intel", ["Intel_x8664Linux64", "AMD_x8664Linux64"]),
        ("Linux", "x86_64", None, ["Intel_x8664Linux64", "AMD_x8664Linux64"]),
        ("Linux", "AARCH64", None, ["ARMCompatible_ARM64bitLP64"]),
        ("Darwin", "arm64", None, ["Apple_ARM64"]),
        ("Darwin", "x86_64", "Intel", ["Intel_x8664macOS"]),
        ("Windows", "AMD64", None, ["Intel_x8664Windows64", "AMD_x8664Windows64"]),
        ("Windows", "ARM64", None, ["ARMCompatible_ARM64bitLP64"]),
    ],
)
def test_artifact_targets(monkeypatch, system, machine, vendor, targets):
    monkeypatch.setattr(assets.platform, "system", lambda: system)
    monkeypatch.setattr(assets.platform, "machine", lambda: machine)
    monkeypatch.setattr(assets, "_cpu_vendor", lambda: vendor)
    assert assets.platform_artifact_targets() == targets


def test_unsupported_platform(monkeypatch):
    monkeypatch.setattr(assets.platform, "system", lambda: "Plan9")
    with pytest.raises(RuntimeError, match="^Unsupported platform: Plan9$"):
        assets.platform_artifact_targets()


def test_cpu_vendor_from_proc_cpuinfo(tmp_path, monkeypatch):
    cpuinfo = tmp_path / "cpuinfo"
    real_path = assets.Path
    monkeypatch.setattr(assets, "Path", lambda p: cpuinfo if p == "/proc/cpuinfo" else real_path(p))
    assert assets._cpu_vendor() is None  # no file
    cpuinfo.write_bytes(b"vendor_id\t: \xff\xfeGenuineIntel\n")  # undecodable bytes are skipped
    assert assets._cpu_vendor() == "Intel"
    cpuinfo.write_bytes(b"vendor_id\t: AuthenticAMD\n")
    assert assets._cpu_vendor() == "AMD"
    cpuinfo.write_bytes(b"CPU implementer\t: 0x41\n")
    assert assets._cpu_vendor() is None


def failing():
    raise OSError("cannot ask")


@pytest.mark.parametrize(
    "system, processor, machine, key",
    [
        ("Linux", lambda: "AMD Ryzen", None, "linux64_amd"),
        ("Linux", lambda: "x86_64", None, "linux64_intel"),
        ("Linux", failing, None, "linux64_intel"),
        ("Darwin", None, lambda: "ARM64", "macos_arm"),
        ("Darwin", None, lambda: "x86_64", "macos_intel"),
        ("Darwin", None, failing, "macos_intel"),
        ("Windows", None, None, "win64"),
        ("SunOS", None, None, "linux64_intel"),
    ],
)
def test_platform_keys(monkeypatch, system, processor, machine, key):
    monkeypatch.setattr(assets.platform, "system", lambda: system)
    if processor:
        monkeypatch.setattr(assets.platform, "processor", processor)
    if machine:
        monkeypatch.setattr(assets.platform, "machine", machine)
    assert assets._get_platform_key() == key


# --- artifacts -----------------------------------------------------------------


def test_resolution_prefers_the_vendor_target_and_sorted_libraries(root, monkeypatch):
    d = bindings_dir(root)
    artifacts(d, "ORBIT_4", "AMD_x8664Linux64")
    artifacts(d, "ORBIT_4", TARGET, ext="so")
    artifacts(d, "ORBIT_4", TARGET, ext="dylib", bindings=False)
    paths = assets.resolve_dtwin_artifacts("ORBIT_4")
    assert paths == assets.DTwinPaths(d / f"libORBIT_4_{TARGET}.dylib", d / f"bindings_ORBIT_4_{TARGET}.py")
    monkeypatch.setattr(assets, "_cpu_vendor", lambda: "AMD")
    assert assets.resolve_dtwin_artifacts("ORBIT_4").library == d / "libORBIT_4_AMD_x8664Linux64.so"
    (d / "bindings_ORBIT_4_AMD_x8664Linux64.py").unlink()  # then the second target serves
    assert assets.resolve_dtwin_artifacts("ORBIT_4").py_bindings == d / f"bindings_ORBIT_4_{TARGET}.py"


def test_artifacts_for_another_platform_only(root):
    d = bindings_dir(root)
    artifacts(d, "NOVA_3", "Apple_ARM64", ext="dylib")
    artifacts(d, "NOVA_3", "AMD_x8664Windows64", ext="dll")
    artifacts(d, "NOVA_3", TARGET, bindings=False)  # a library without bindings does not count
    with pytest.raises(FileNotFoundError) as info:
        assets.resolve_dtwin_artifacts("NOVA_3", str(d))
    assert str(info.value) == (
        "No DTwin artifacts found for 'NOVA_3' on this platform. Tried targets: "
        "['Intel_x8664Linux64', 'AMD_x8664Linux64']. Available bindings for this model: "
        "['bindings_NOVA_3_AMD_x8664Windows64.py', 'bindings_NOVA_3_Apple_ARM64.py']"
    )
    with pytest.raises(TypeError, match=r"^Argument 'model_name' has incorrect type \(expected str, got bytes\)$"):
        assets.resolve_dtwin_artifacts(b"NOVA_3")


def test_listing_counts_every_platform(root):
    d = bindings_dir(root)
    artifacts(d, "ORBIT_4")
    artifacts(d, "NOVA_3", "Apple_ARM64", ext="dylib")
    artifacts(d, "ORBIT_2", "AMD_x8664Windows64", ext="dll")
    artifacts(d, "ORBIT_2", "AMD_x8664Linux64")
    artifacts(d, "lower_case", TARGET)  # not a model name
    (d / "libSTATIC_Intel_x.a").write_bytes(b"")  # not a shared library
    (d / "bindings_ONLY_Intel_x8664Linux64.py").write_text("")
    assert assets.list_available_dtwin_artifacts() == ["NOVA_3", "ORBIT_2", "ORBIT_4"]


# --- the actuator library file ---------------------------------------------------


@pytest.mark.parametrize(
    "text, message",
    [
        ("- a\n- b\n", "Invalid actuator library at {path}: top-level YAML must be a mapping"),
        ("actuators: [1, 2]\n", "Invalid {path}: 'actuators' must be a mapping of name -> spec"),
        ("actuators:\n  x: 3\n", "Invalid {path}: actuator 'x' must map to a YAML object"),
    ],
)
def test_malformed_library_files(root, text, message):
    path = write_library(root, text)
    with pytest.raises(ValueError) as info:
        assets.load_actuator_library_data(path)
    assert str(info.value) == message.format(path=path)


@pytest.mark.parametrize("text", ["", "# only a comment\n", "null\n", "0\n", "{}\n"])
def test_empty_library_file(root, text):
    path = write_library(root, text)
    assert assets.load_actuator_library_data(str(path)) == {}
    assert assets.load_actuator_library(path) == {}


def test_library_errors_name_the_file(root, monkeypatch):
    missing = root / "nope.yaml"
    with pytest.raises(FileNotFoundError, match=f"^Actuator library not found: {missing}$"):
        assets.load_actuator_library_data(missing)
    with pytest.raises(FileNotFoundError, match=f"^Actuator library not found: {missing}$"):
        assets.load_actuator_library(str(missing))
    path = write_library(root, "a: [\n")
    with pytest.raises(yaml.YAMLError, match="actuators_library.yaml"):
        assets.load_actuator_library_data(path)
    monkeypatch.setattr(assets, "yaml", None)
    with pytest.raises(ImportError, match=r"^PyYAML is required to load actuator library files\.$"):
        assets.load_actuator_library_data(path)


def test_specs_from_the_default_library(root, monkeypatch):
    write_library(
        root,
        {
            "actuators": {
                "ORBIT_4": ORBIT,
                "LIB_ONLY": {"simulation": {"dtwin_model": {"linux64_intel": {"library": "x/libL.so"}}}},
                "NO_SIM": {"simulation": None, "technical_specifications": None},
            }
        },
    )
    specs = assets.load_actuator_library()
    assert list(specs) == ["ORBIT_4", "LIB_ONLY", "NO_SIM"]  # file order
    data_dir = root / "data"
    orbit = specs["ORBIT_4"]
    assert orbit == assets.ActuatorSpec(
        name="ORBIT_4",
        dtwin_paths=assets.DTwinPaths(
            data_dir / ORBIT["simulation"]["dtwin_model"]["linux64_intel"]["library"],
            data_dir / ORBIT["simulation"]["dtwin_model"]["linux64_intel"]["py_bindings"],
        ),
        mujoco_config={"joint": "hinge"},
        raw_spec=ORBIT,
    )
    assert specs["LIB_ONLY"].dtwin_paths == assets.DTwinPaths(data_dir / "x/libL.so", None)
    # null sections are simply empty (no AttributeError on None)
    assert specs["NO_SIM"].dtwin_paths is None and specs["NO_SIM"].mujoco_config is None
    assert assets.resolve_torque_limit(specs["NO_SIM"].raw_spec) is None

    monkeypatch.setattr(assets, "_get_platform_key", lambda: "linux64_amd")
    assert assets.load_actuator_library() is specs  # cached
    assets.load_actuator_library.cache_clear()
    assert assets.load_actuator_library()["ORBIT_4"].dtwin_paths == assets.DTwinPaths(
        data_dir / "amd/libORBIT_4_AMD_x8664Linux64.so", None
    )


def test_library_cache_keys_and_failures(root):
    path = write_library(root, {"A": {}, "B": {}})
    calls = []
    real = assets.load_actuator_library_data

    def counting(p):
        calls.append(p)
        return real(p)

    with mock.patch.object(assets, "load_actuator_library_data", counting):
        first = assets.load_actuator_library(path)
        assert assets.load_actuator_library(path) is first
        assets.load_actuator_library(str(path))  # a text path is another key
        assets.load_actuator_library(None)  # and so is the default
        assert len(calls) == 3
        missing = root / "gone.yaml"
        for _ in range(2):  # failures are not cached
            with pytest.raises(FileNotFoundError):
                assets.load_actuator_library(missing)
    assert assets.load_actuator_library.cache_info().maxsize == 8
    assert assets._get_library_path.cache_info().maxsize == 1


def test_default_library_path_is_computed_once(root, tmp_path_factory, monkeypatch):
    first = assets._get_library_path()
    assert first == root / "data" / "assets" / "actuators" / "actuators_library.yaml"
    other = tmp_path_factory.mktemp("other")
    (other / "data" / "assets").mkdir(parents=True)
    monkeypatch.setenv("VEZ_API_VIRTUAL_ASSETS_ROOT", str(other))
    assert assets._get_library_path() == first
    assets._get_library_path.cache_clear()
    assert assets._get_library_path() == other.resolve() / "data" / "assets" / "actuators" / "actuators_library.yaml"


def test_actuator_lookup_and_listing(root):
    path = write_library(root, {"actuators": {"ORBIT_4": {}, "ALPHA": {}, "NOVA_3": {}}})
    with pytest.raises(KeyError) as info:
        assets.get_actuator_spec("ZETA", path)
    assert info.value.args == ("Actuator 'ZETA' not found. Available: ALPHA, NOVA_3, ORBIT_4",)
    assert assets.get_actuator_spec("ALPHA").name == "ALPHA"
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got int\)$"):
        assets.get_actuator_spec(3)
    # no artifacts anywhere: the library's names, in file order
    with mock.patch.object(assets, "_candidate_project_roots", lambda: [root]):
        assert assets.list_available_actuators() == ["ORBIT_4", "ALPHA", "NOVA_3"]
    artifacts(bindings_dir(root), "NOVA_3")
    assert assets.list_available_actuators() == ["NOVA_3"]
    assert assets.list_available_actuators(path) == ["ORBIT_4", "ALPHA", "NOVA_3"]


# --- limits --------------------------------------------------------------------


def points(rated=None, peak=None):
    return {"technical_specifications": {"performance": {"operating_points": {"rated": rated, "peak": peak}}}}


def test_torque_limit():
    assert assets.resolve_torque_limit(points(rated={"rated_torque_Nm": 2.0})) == 10.0
    assert assets.resolve_torque_limit(points(peak={"peak_torque_Nm": 3.0})) == 4.199999999999999
    assert assets.resolve_torque_limit(points({"rated_torque_Nm": 2.0}, {"peak_torque_Nm": 3.0, "stall_torque_Nm": 7})) == 7.0
    assert type(assets.resolve_torque_limit(points(peak={"stall_torque_Nm": 7}))) is float
    assert assets.resolve_torque_limit(points(peak={"peak_torque_Nm": None})) is None
    assert assets.resolve_torque_limit({}) is None


def test_speed_limit():
    assert assets.resolve_speed_limit(points(peak={"maximum_speed_rpm": 3000})) == 314.1592653589793
    assert assets.resolve_speed_limit(points(rated={"rated_speed_rpm": 1000})) == 125.66370614359172
    assert assets.resolve_speed_limit(points(rated={"rated_torque_Nm": 1})) is None


@pytest.mark.parametrize("raw", [{"technical_specifications": None}, {"technical_specifications": {"performance": None}}])
def test_limits_of_null_levels_are_none(raw):
    assert assets.resolve_torque_limit(raw) is None
    assert assets.resolve_speed_limit(raw) is None


def test_limits_take_a_dict():
    with pytest.raises(TypeError, match=r"^Argument 'raw_spec' has incorrect type \(expected dict, got NoneType\)$"):
        assets.resolve_torque_limit(None)


def test_constants():
    assert assets.SAFETY_FACTOR_PEAK_TO_STALL == 1.4
    assert assets.SAFETY_FACTOR_RATED_TO_STALL == 5.0
    assert assets.SAFETY_FACTOR_RATED_TO_MAX_SPEED == 1.2
    assert assets._RPM_TO_RAD_S == 0.10471975511965977


# --- entries and errors --------------------------------------------------------


def test_entries_are_yielded_lazily():
    data = {"actuators": {"a": {"x": 1}, 7: {}, "scalar": 3, "none": None}}
    entries = assets.iter_actuator_library_entries(data)
    assert iter(entries) is entries
    data["actuators"]["late"] = {}  # nothing was read yet
    with pytest.raises(RuntimeError):  # the dict changed size: the walk had not started before
        list(entries)
    assert list(assets.iter_actuator_library_entries(data)) == [("a", {"x": 1}), ("7", {}), ("late", {})]
    assert list(assets.iter_actuator_library_entries({"actuators": 5, "b": {}})) == [("b", {})]


def test_format_validation_error_of_other_exceptions():
    assert assets._format_validation_error(ValueError("plain"), "s") == "plain"
    assert assets._format_validation_error(ValueError(), "lib.yaml:x") == "Invalid lib.yaml:x"

    class Records(Exception):
        def __init__(self, records):
            self.records = records

        def errors(self):
            return self.records

    assert assets._format_validation_error(Records([]), "s") == "Invalid s"
    assert assets._format_validation_error(Records([{}, {"loc": ("a", 0, "b"), "msg": "bad"}]), "s") == (
        ": invalid value; a.0.b: bad"
    )


def test_result_records():
    paths = assets.DTwinPaths(library=Path("a"), py_bindings=None)
    assert assets.DTwinPaths.__doc__ == "Digital-twin library and bindings paths."
    assert assets.ActuatorSpec.__doc__ == "Specification for an actuator type loaded from the actuator library."
    assert assets.ActuatorSpec("x") == assets.ActuatorSpec("x", None, None, None)
    assert repr(paths) == "DTwinPaths(library=PosixPath('a'), py_bindings=None)"
    with pytest.raises(TypeError):
        assets.DTwinPaths(Path("a"))  # both paths are required


# --- validation backends ---------------------------------------------------------


def load_private_copy(module, directory: Path, hidden=()):
    """Loads another instance of an extension module from a copy of its file,
    with the named modules made unimportable while it initializes."""
    source = Path(module.__file__)
    copy = directory / source.name
    shutil.copy2(source, copy)
    name = f"vez_copy_{uuid.uuid4().hex}.{module.__name__.rpartition('.')[2]}"
    spec = importlib.util.spec_from_file_location(name, copy)
    saved = {m: sys.modules.get(m) for m in hidden}
    try:
        for m in hidden:
            sys.modules[m] = None
        copy_module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(copy_module)
    finally:
        for m, previous in saved.items():
            if previous is None:
                sys.modules.pop(m, None)
            else:
                sys.modules[m] = previous
    return copy_module


@pytest.fixture(scope="module")
def without_pydantic(tmp_path_factory):
    return load_private_copy(assets, tmp_path_factory.mktemp("nopydantic"), hidden=("pydantic",))


@pytest.fixture(params=["installed", "without pydantic"])
def any_backend(request):
    return assets if request.param == "installed" else request.getfixturevalue("without_pydantic")


@pytest.mark.parametrize("case", validation_cases.CASES, ids=lambda c: c.__name__)
def test_validation(any_backend, case):
    case(any_backend)


def test_minimal_stand_ins(without_pydantic):
    m = without_pydantic
    assert m._VALIDATION_BACKEND == "minimal"
    assert m.ValidationError.__mro__[1:] == (ValueError, Exception, BaseException, object)
    entry = {"gear_ratio": "not checked"}
    assert m.ActuatorLibraryEntry.model_validate(entry) is entry
    assert m.ActuatorBaseModel.model_config == {"extra": "allow"}
    assert m.ProductOverview.__annotations__["product_name"] == m.Optional[str]
    assert m.yaml is yaml  # PyYAML stays available


def test_backend_is_the_installed_pydantic():
    # A pydantic that is installed but fails in the module's setup must not
    # leave the records on the stand-ins unnoticed.
    try:
        import pydantic
    except ImportError:
        installed = "minimal"
    else:
        installed = "pydantic1" if str(pydantic.VERSION).startswith("1.") else "pydantic2"
    assert assets._VALIDATION_BACKEND == installed
    # `make test` names the library it installed for each interpreter, so
    # that together they cover pydantic 1 and 2.
    wanted = os.environ.get("VEZ_TEST_VALIDATION_BACKEND")
    if wanted:
        assert installed == wanted, "the test run did not get the validation library it installed"


def test_module_imports_without_yaml(tmp_path):
    m = load_private_copy(assets, tmp_path, hidden=("yaml",))
    assert m.yaml is None
    with pytest.raises(ImportError, match="^PyYAML is required"):
        m.load_actuator_library_data(__file__)


def pydantic2_interpreter():
    """Another interpreter with pydantic 2 and PyYAML that can load this build
    of the extension modules (same extension suffix), or None."""
    import sysconfig

    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    here = os.path.realpath(sys.executable)
    candidates = [os.environ.get("VEZ_TEST_PYDANTIC2_PYTHON")]
    candidates += [shutil.which(f"python3.{sys.version_info.minor}"), shutil.which("python3")]
    probe = "import sysconfig, pydantic, yaml; print(sysconfig.get_config_var('EXT_SUFFIX'), pydantic.VERSION)"
    for candidate in dict.fromkeys(c for c in candidates if c):
        if os.path.realpath(candidate) in (here, "/usr/bin/python3", os.path.realpath("/usr/bin/python3")):
            continue
        try:
            out = subprocess.run([candidate, "-c", probe], capture_output=True, text=True, timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            continue
        fields = out.stdout.split()
        if out.returncode == 0 and len(fields) == 2 and fields[0] == suffix and fields[1].startswith("2."):
            return candidate
    return None


def test_validation_under_pydantic2():
    if assets._VALIDATION_BACKEND == "pydantic2":
        pytest.skip("this interpreter already runs pydantic 2 (covered by test_validation)")
    python = pydantic2_interpreter()
    if python is None:
        pytest.skip("no interpreter with pydantic 2 for this build")
    package_parent = str(Path(assets.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_parent, str(Path(__file__).parent)]))
    out = subprocess.run(
        [python, "-m", "twin_validation_cases", "pydantic2"], capture_output=True, text=True, env=env, timeout=120
    )
    assert out.returncode == 0, out.stdout + out.stderr
    assert f"{len(validation_cases.CASES)} passed, 0 failed" in out.stdout
