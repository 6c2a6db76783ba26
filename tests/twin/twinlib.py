"""Loads a twin the way the package's wrapper does: the bindings module executed
privately, a private copy of the library loaded with RTLD_LOCAL, every foreign
function rebound to the copy.  Needs nothing but ctypes.
"""

import ctypes
import importlib.machinery
import math
import os
import pathlib
import shutil
import tempfile
import types

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent.parent

CALIBRATION, FVI, OPEN_LOOP, DVI, TORQUE, SPEED, POSITION, IMPEDANCE = range(1, 9)


def assets_root():
    """VEZ_API_VIRTUAL_ASSETS_ROOT, else the package build's twin tree."""
    env = os.environ.get("VEZ_API_VIRTUAL_ASSETS_ROOT")
    return pathlib.Path(env) if env else REPO / "build" / "pkg" / "twin"


def actuators_dir():
    return assets_root() / "data" / "assets" / "actuators"


def bindings_dir():
    return actuators_dir() / "digital_twin_libs_bindings"


def artifacts():
    """{model: (library, bindings)} of every model built in the bindings root."""
    out = {}
    for b in sorted(bindings_dir().glob("bindings_*.py")):
        target_model = b.stem[len("bindings_"):]
        lib = bindings_dir() / ("lib" + target_model + ".so")
        model = target_model.split("_Intel_")[0].split("_ARMCompatible_")[0]
        out[model] = (lib, b)
    return out


def load_bindings(path):
    loader = importlib.machinery.SourceFileLoader("dtwin", str(path))
    module = types.ModuleType(loader.name)
    module.__file__ = str(path)
    loader.exec_module(module)
    return module


def load_private(lib_path, bindings_path, mode=ctypes.RTLD_LOCAL):
    """(module, tmp_dir): the bindings rebound to a private copy of the library."""
    module = load_bindings(bindings_path)
    tmp = tempfile.mkdtemp(prefix="twin-test-")
    copy = os.path.join(tmp, pathlib.Path(lib_path).name)
    shutil.copy2(lib_path, copy)
    handle = ctypes.CDLL(copy, mode=mode)
    for name, value in list(vars(module).items()):
        if not isinstance(value, ctypes._CFuncPtr):
            continue
        try:
            fresh = getattr(handle, name)
        except AttributeError:
            continue
        fresh.restype = value.restype
        fresh.argtypes = value.argtypes
        setattr(module, name, fresh)
    module._dll = handle
    return module, tmp


class Twin:
    """One private model instance with the structures bound as attributes."""

    def __init__(self, model, mode=ctypes.RTLD_LOCAL):
        lib, bindings = artifacts()[model]
        self.name = model
        self.lib, self.tmp = load_private(lib, bindings, mode)
        L = self.lib
        self.inp = L.get_inports_ptr().contents
        self.meas = L.get_meas_ptr().contents
        self.info = L.get_info_ptr().contents
        self.lim = L.get_lim_ptr().contents
        self.pid = L.get_pid_ptr().contents
        self.imp = L.get_impedance_ptr().contents
        self.motor = L.get_motor_ptr().contents
        self.debug = L.get_debug_ptr().contents
        self.params = L.get_params_ptr().contents
        self.realism = L.get_realism_ptr().contents
        self.ideal = False  # what the tests asked for; the model reads inp.Ideal
        self.filter = L.Filter_type.in_dll(L._dll, "Filter")
        self.blockio = L.B_DT_T()
        self.dwork = L.DW_DT_T()
        self.zc = L.PrevZCX_DT_T()
        self.errbuf = ctypes.create_string_buffer(256)
        self.root = L.RT_MODEL_DT_T()
        self.root.blockIO = ctypes.pointer(self.blockio)
        self.root.dwork = ctypes.pointer(self.dwork)
        self.root.prevZCSigState = ctypes.pointer(self.zc)
        self.root.errorStatus = ctypes.cast(self.errbuf, ctypes.POINTER(ctypes.c_char))
        self._root_ptr = ctypes.byref(self.root)
        self._step = L.DT_step
        self.dt = L.get_sim_time_step_s()

    def close(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def error(self):
        return ctypes.cast(self.root.errorStatus, ctypes.c_char_p).value

    def initialize(self, mode=POSITION):
        """The wrapper's start-up: one second of calibration, enable off, reset, mode."""
        self.lib.DT_initialize(self._root_ptr)
        self.inp.Enable, self.inp.ResetPos, self.inp.ControlType = True, False, CALIBRATION
        self.inp.Load = self.inp.Reference = 0.0
        self.run(round(1.0 / self.dt))
        self.inp.Enable = False
        self.step()
        self.inp.ResetPos = True
        self.step()
        self.inp.ControlType = mode
        return self

    def start(self, mode=POSITION):
        self.initialize(mode)
        self.inp.Enable = True
        return self

    def step(self):
        self._step(self._root_ptr)

    def run(self, n):
        step, p = self._step, self._root_ptr
        for _ in range(n):
            step(p)

    def run_s(self, seconds):
        self.run(round(seconds / self.dt))

    def rotor_count(self):
        """Output radians per count of the internal (rotor) encoder."""
        return 2 * math.pi / 2 ** self.params.enc_int_bits / self.params.gear_ratio

    def output_count(self):
        """Radians per count of the external (output) encoder."""
        return 2 * math.pi / 2 ** self.params.enc_ext_bits

    def position_noise(self, sigmas=5):
        """How far the internal encoder's reading strays from the truth: a
        count, plus `sigmas` times its noise on the realistic plant."""
        noise = 0.0 if self.ideal else sigmas * self.realism.enc_int_noise
        return (1 + noise) * self.rotor_count()

    def friction(self):
        """(Coulomb, static, viscous) friction the plant has."""
        p, s = self.params, 1.0 if self.ideal else self.realism.friction_scale
        return s * p.T_coulomb, s * p.T_static, s * p.B_viscous

    def trace(self, seconds, *getters):
        """Steps for `seconds`, returning one list per getter (called after each step)."""
        out = [[] for _ in getters]
        step, p = self._step, self._root_ptr
        for _ in range(round(seconds / self.dt)):
            step(p)
            for o, g in zip(out, getters):
                o.append(g())
        return out
