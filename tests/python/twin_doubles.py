"""Contrived digital twins for tests and benchmarks.

A tiny simulation library (C, compiled with the system compiler) and its
ctypes bindings module, both generated from one field table so that their
structure layouts always agree.  Variants leave out the optional parts of the
library contract (optional fields, the filter structure, the time-step getter,
the text symbols) so the wrapper's fall-backs can be exercised.

The model counts its own calls into the measurement structure `meas`
(`steps`, `initialize_calls`, `terminate_calls`) and records the inports it
saw at its last step (`last_reference`, `last_load`, ...), which is how tests
observe what the wrapper wrote and how often it stepped.
"""

from __future__ import annotations

import dataclasses
import os
import shutil
import subprocess
from pathlib import Path

# (field, C type, option that must be on for the field to exist or None)
INPORTS = [
    ("Enable", "bool", None),
    ("ResetPos", "bool", None),
    ("ControlType", "int", None),
    ("Load", "double", None),
    ("Reference", "double", None),
    ("ref_ff_torque", "double", "optional_inports"),
    ("ref_impedance_spd", "double", "optional_inports"),
    ("ref_impedance_acel", "double", "optional_inports"),
]
PID = [
    ("pos_Kp", "double", None),
    ("spd_Kp", "double", None),
    ("spd_Ki", "double", None),
    ("id_Kp", "double", None),
    ("id_Ki", "double", None),
    ("FF_gain", "double", "ff_gain"),
]
IMPEDANCE = [
    ("K_stiff", "double", None),
    ("K_damp", "double", None),
    ("T_FF", "double", None),
    ("J_imp", "double", "j_imp"),
]
FILTER = [("spd_cutoff", "double", None), ("current_cutoff", "double", None)]
MEAS = [
    ("steps", "long", None),
    ("position", "double", None),
    ("last_reference", "double", None),
    ("last_load", "double", None),
    ("last_ref_ff_torque", "double", None),
    ("last_ref_impedance_spd", "double", None),
    ("last_ref_impedance_acel", "double", None),
    ("last_control_type", "int", None),
    ("last_enable", "bool", None),
    ("last_reset", "bool", None),
    ("initialize_calls", "int", None),
    ("terminate_calls", "int", None),
    ("dwork_state", "double", None),
]
SMALL = {
    "Info": [("model_id", "int", None)],
    "Limits": [("max_torque", "double", None)],
    "Motor": [("kt", "double", None)],
    "Debug": [("flags", "int", None)],
    "B_DT_T": [("signal", "double", None)],
    "DW_DT_T": [("state", "double", None)],
    "PrevZCX_DT_T": [("zc", "int", None)],
}
GETTERS = [
    ("get_inports_ptr", "Inports", "inports"),
    ("get_pid_ptr", "Pid", "pid"),
    ("get_impedance_ptr", "Impedance", "impedance"),
    ("get_meas_ptr", "Meas", "meas"),
    ("get_info_ptr", "Info", "info"),
    ("get_lim_ptr", "Limits", "limits"),
    ("get_motor_ptr", "Motor", "motor"),
    ("get_debug_ptr", "Debug", "debug"),
]
C_TYPES = {"bool": "bool", "int": "int", "long": "long", "double": "double"}
PY_TYPES = {"bool": "ctypes.c_bool", "int": "ctypes.c_int", "long": "ctypes.c_long", "double": "ctypes.c_double"}


@dataclasses.dataclass(frozen=True)
class Variant:
    """Which optional parts of the contract a contrived twin has."""

    name: str
    optional_inports: bool = True
    ff_gain: bool = True
    j_imp: bool = True
    filter: str | None = "symbol"  # "symbol": exported Filter; "attribute": bindings attribute; None
    time_step_getter: bool = True  # library exports get_sim_time_step_s (returns the global sim_time_step_s)
    time_step_in_bindings: bool = False  # bindings also declare it
    text_symbols: bool = True  # MOTOR_MODEL, SUBMODULE_COMMITS, SHORT_TEXT (4 bytes), UNSIZED_TEXT


FULL = Variant("FULL")
MINIMAL = Variant(
    "MINIMAL",
    optional_inports=False,
    ff_gain=False,
    j_imp=False,
    filter=None,
    time_step_getter=False,
    text_symbols=False,
)
ATTRIBUTE_FILTER = Variant("ATTRFILTER", filter="attribute", time_step_in_bindings=True)
VARIANTS = (FULL, MINIMAL, ATTRIBUTE_FILTER)


def _fields(table, variant):
    return [(n, t) for n, t, option in table if option is None or getattr(variant, option)]


def _structures(variant):
    structures = [
        ("Inports", _fields(INPORTS, variant)),
        ("Pid", _fields(PID, variant)),
        ("Impedance", _fields(IMPEDANCE, variant)),
        ("Meas", _fields(MEAS, variant)),
    ]
    structures += [(name, _fields(table, variant)) for name, table in SMALL.items()]
    if variant.filter is not None:
        structures.append(("Filter_type", _fields(FILTER, variant)))
    return structures


def c_source(variant: Variant) -> str:
    out = ["#include <stdbool.h>", "#include <string.h>", ""]
    for name, fields in _structures(variant):
        body = " ".join(f"{C_TYPES[t]} {n};" for n, t in fields)
        out.append(f"typedef struct {{ {body} }} {name};")
    out.append(
        "typedef struct { B_DT_T *blockIO; DW_DT_T *dwork; PrevZCX_DT_T *prevZCSigState; char *errorStatus; }"
        " RT_MODEL_DT_T;"
    )
    for getter, struct, storage in GETTERS:
        out.append(f"static {struct} {storage};")
        out.append(f"{struct} *{getter}(void) {{ return &{storage}; }}")
    if variant.filter == "symbol":
        out.append("Filter_type Filter = {100.0, 200.0};")
    out.append("double sim_time_step_s = 5e-05;")
    if variant.time_step_getter:
        out.append("double get_sim_time_step_s(void) { return sim_time_step_s; }")
    if variant.text_symbols:
        out += [
            'char MOTOR_MODEL[64] = "TEST-MOTOR";',
            'char SUBMODULE_COMMITS[64] = "core@1a2b3c twin@4d5e6f";',
            # SHORT_TEXT: a 4-byte symbol without a NUL, followed in memory by
            # more text that is not part of it.
            'static char short_text_storage[16] __attribute__((used)) = "ABCDEFGHIJKLMNO";',
            '__asm__(".globl SHORT_TEXT\\n.type SHORT_TEXT, @object\\n'
            '.set SHORT_TEXT, short_text_storage\\n.size SHORT_TEXT, 4\\n");',
            # UNSIZED_TEXT: a symbol the dynamic table gives no size for.
            'static char unsized_storage[16] __attribute__((used)) = "XYZ";',
            '__asm__(".globl UNSIZED_TEXT\\n.set UNSIZED_TEXT, unsized_storage\\n");',
        ]
    ff = "inports.ref_ff_torque" if variant.optional_inports else "0.0"
    spd = "inports.ref_impedance_spd" if variant.optional_inports else "0.0"
    acel = "inports.ref_impedance_acel" if variant.optional_inports else "0.0"
    out += [
        "void DT_initialize(RT_MODEL_DT_T *m) {",
        "  meas.initialize_calls++; meas.steps = 0; meas.position = 0.0;",
        "  m->blockIO->signal = 0.0; m->dwork->state = 0.0; m->prevZCSigState->zc = 0; m->errorStatus[0] = 0;",
        "}",
        "void DT_step(RT_MODEL_DT_T *m) {",
        "  meas.steps++;",
        "  meas.last_reference = inports.Reference; meas.last_load = inports.Load;",
        f"  meas.last_ref_ff_torque = {ff}; meas.last_ref_impedance_spd = {spd}; meas.last_ref_impedance_acel = {acel};",
        "  meas.last_control_type = inports.ControlType; meas.last_enable = inports.Enable;",
        "  meas.last_reset = inports.ResetPos;",
        "  if (inports.ResetPos) meas.position = 0.0; else meas.position += inports.Reference * sim_time_step_s;",
        "  m->dwork->state += 1.0; meas.dwork_state = m->dwork->state;",
        "}",
        "void DT_terminate(RT_MODEL_DT_T *m) { (void)m; meas.terminate_calls++; }",
        "",
    ]
    return "\n".join(out)


def bindings_source(variant: Variant, library_file_name: str, helper: bool = True) -> str:
    """The bindings module; with `helper`, the functions are declared through a
    helper function of the module (whose globals make the module's namespace
    a reference cycle), otherwise statement by statement, as generated
    bindings do."""
    out = [
        f'"""ctypes bindings of the contrived digital twin {variant.name} (generated for tests)."""',
        "import ctypes",
        "import os",
        "",
        "_own_library = ctypes.CDLL(os.path.join(os.path.dirname(os.path.abspath(__file__)), "
        f"{library_file_name!r}))",
        "",
    ]
    for name, fields in _structures(variant):
        entries = ", ".join(f"({n!r}, {PY_TYPES[t]})" for n, t in fields)
        out.append(f"class {name}(ctypes.Structure):\n    _fields_ = [{entries}]\n")
    out.append(
        "class RT_MODEL_DT_T(ctypes.Structure):\n"
        "    _fields_ = [('blockIO', ctypes.POINTER(B_DT_T)), ('dwork', ctypes.POINTER(DW_DT_T)),\n"
        "                ('prevZCSigState', ctypes.POINTER(PrevZCX_DT_T)),\n"
        "                ('errorStatus', ctypes.POINTER(ctypes.c_char))]\n"
    )
    declarations = [(fn, "None", "[ctypes.POINTER(RT_MODEL_DT_T)]") for fn in ("DT_initialize", "DT_step", "DT_terminate")]
    declarations += [(getter, f"ctypes.POINTER({struct})", "[]") for getter, struct, _ in GETTERS]
    if variant.time_step_in_bindings:
        declarations.append(("get_sim_time_step_s", "ctypes.c_double", "[]"))
    if helper:
        out.append(
            "def _declare(name, restype, argtypes):\n"
            "    function = getattr(_own_library, name)\n"
            "    function.restype = restype\n"
            "    function.argtypes = argtypes\n"
            "    return function\n"
        )
        out += [f"{name} = _declare({name!r}, {restype}, {argtypes})" for name, restype, argtypes in declarations]
    else:
        for name, restype, argtypes in declarations:
            out += [f"{name} = _own_library.{name}", f"{name}.restype = {restype}", f"{name}.argtypes = {argtypes}"]
    if variant.filter == "attribute":
        # A plain attribute instead of an exported symbol: the bindings own it.
        out.append("Filter = Filter_type(150.0, 250.0)")
        out.append("del Filter_type")
    out.append("")
    return "\n".join(out)


@dataclasses.dataclass(frozen=True)
class BuiltTwin:
    variant: Variant
    library: Path  # compiled once; copied into each assets tree


def compiler() -> str | None:
    return shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")


def build(variant: Variant, directory: Path) -> BuiltTwin:
    directory.mkdir(parents=True, exist_ok=True)
    source = directory / f"{variant.name}.c"
    source.write_text(c_source(variant))
    library = directory / f"lib{variant.name}.so"
    subprocess.run(
        [compiler(), "-shared", "-fPIC", "-O2", "-Wall", "-Werror", "-o", str(library), str(source)],
        check=True,
        capture_output=True,
        text=True,
    )
    return BuiltTwin(variant, library)


@dataclasses.dataclass(frozen=True)
class InstalledTwin:
    library: Path
    bindings: Path


def install(built: BuiltTwin, bindings_root: Path, model: str, target: str, helper: bool = True) -> InstalledTwin:
    """Lays the twin out as `lib<model>_<target>.so` + `bindings_<model>_<target>.py`."""
    bindings_root.mkdir(parents=True, exist_ok=True)
    library = bindings_root / f"lib{model}_{target}.so"
    shutil.copy2(built.library, library)
    bindings = bindings_root / f"bindings_{model}_{target}.py"
    bindings.write_text(bindings_source(built.variant, library.name, helper))
    return InstalledTwin(library, bindings)
