"""The wheel installs the reference twin where the package's default search
looks without VEZ_API_VIRTUAL_ASSETS_ROOT: data/assets/actuators in the
directory that holds the vez_api package (site-packages)."""

import ctypes
import importlib.machinery
import pathlib
import types

import yaml

import vez_api

DATA = pathlib.Path(vez_api.__file__).resolve().parent.parent / "data"
LIBRARY_FILE = DATA / "assets" / "actuators" / "actuators_library.yaml"


def entries():
    with open(LIBRARY_FILE, encoding="utf-8") as f:
        return yaml.safe_load(f)["actuators"]


def test_library_file_names_installed_artifacts():
    found = entries()
    assert {"ORBIT_4", "NOVA_3", "ORBIT_2"} <= set(found)
    for name, entry in found.items():
        for key in ("linux64_intel", "linux64_amd"):
            paths = entry["simulation"]["dtwin_model"][key]
            assert (DATA / paths["library"]).is_file(), (name, key)
            assert (DATA / paths["py_bindings"]).is_file(), (name, key)


def test_installed_twin_runs():
    path = DATA / entries()["ORBIT_2"]["simulation"]["dtwin_model"]["linux64_intel"]["py_bindings"]
    loader = importlib.machinery.SourceFileLoader("dtwin", str(path))
    lib = types.ModuleType(loader.name)
    lib.__file__ = str(path)
    loader.exec_module(lib)
    root = lib.RT_MODEL_DT_T()
    lib.DT_initialize(ctypes.byref(root))
    inp = lib.get_inports_ptr().contents
    inp.Enable, inp.ControlType, inp.Reference = True, 6, 5.0
    for _ in range(2000):
        lib.DT_step(ctypes.byref(root))
    assert lib.get_meas_ptr().contents.spd > 1.0
    assert bytes((ctypes.c_char * 1024).in_dll(lib._dll, "MOTOR_MODEL")).rstrip(b"\0") == b"ORBIT_2"
