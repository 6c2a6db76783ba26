"""What the package's wrapper and virtual actuator rely on: names, types and
layouts of the bindings module and the library behind it."""

import ctypes

import pytest

import twinlib

c_bool, c_int32, c_double = ctypes.c_bool, ctypes.c_int32, ctypes.c_double

# Every field the wrapper and the virtual actuator read or write, with the type
# they expect (bool fields read back as Python bools, turn counts as ints).
USED_FIELDS = {
    "inp": {"Enable": c_bool, "ResetPos": c_bool, "ControlType": c_int32, "Load": c_double,
            "Reference": c_double, "ref_ff_torque": c_double, "ref_impedance_spd": c_double,
            "ref_impedance_acel": c_double, "T_ADC": c_double},
    "pid": {n: c_double for n in ("pos_Kp", "pos_Ki", "pos_Kd", "spd_Kp", "spd_Ki", "id_Kp", "id_Ki", "FF_gain")},
    "imp": {n: c_double for n in ("K_stiff", "K_damp", "T_FF", "J_imp")},
    "filter": {"spd_cutoff": c_double, "current_cutoff": c_double},
    "meas": {"turn": c_int32, "turn2": c_int32,
             **{n: c_double for n in ("T", "e_pos", "pos", "pos2", "spd", "spd2")}},
    "info": {n: c_double for n in ("enable", "temp_winding", "T_fb", "T_ref", "id_fb", "id_ref", "iq_fb",
                                   "iq_ref", "pos_fb", "pos_ref", "spd_fb", "spd_ref", "vd_ref", "vq_ref")},
    "lim": {n: c_double for n in ("lim_T", "lim_pos_max", "lim_pos_min", "lim_spd_max", "lim_spd_min",
                                  "prof_pos_max", "prof_pos_min", "prof_spd_max", "prof_spd_min")},
    "motor": {n: c_double for n in ("m_Te", "m_Tl", "m_acc", "m_eff_elec", "m_eff_mec", "m_i_dc", "m_ia",
                                    "m_ib", "m_ic", "m_id", "m_iq", "m_pos1", "m_pos2", "m_pwr_dc",
                                    "m_pwr_elec", "m_pwr_mec", "m_spd1", "m_spd2", "m_va", "m_vb", "m_vc",
                                    "m_vd", "m_vq")},
    "debug": {n: c_bool for n in ("T_fb_max", "T_ref_max", "i_max", "pos_fb_max", "pos_fb_min", "pos_ref_max",
                                  "pos_ref_min", "spd_fb_max", "spd_ref_max", "spd_ref_min")},
}
GETTERS = ["get_inports_ptr", "get_meas_ptr", "get_info_ptr", "get_lim_ptr", "get_pid_ptr",
           "get_impedance_ptr", "get_motor_ptr", "get_debug_ptr"]


def test_every_model_is_built():
    assert {"ORBIT_4", "NOVA_3", "ORBIT_2"} <= set(twinlib.artifacts())


def test_bindings_declare_functions_and_root_structure(model):
    lib_path, bindings_path = twinlib.artifacts()[model]
    mod = twinlib.load_bindings(bindings_path)
    root_ptr = ctypes.POINTER(mod.RT_MODEL_DT_T)
    for name in ("DT_initialize", "DT_step", "DT_terminate"):
        fn = getattr(mod, name)
        assert isinstance(fn, ctypes._CFuncPtr)
        assert fn.restype is None and fn.argtypes == [root_ptr]
    for name in GETTERS:
        fn = getattr(mod, name)
        assert fn.argtypes == [] and issubclass(fn.restype, ctypes._Pointer)
    assert mod.get_sim_time_step_s.restype is c_double
    assert mod.get_sim_time_step_s() == 5e-05

    fields = dict(mod.RT_MODEL_DT_T._fields_)
    assert list(fields) == ["blockIO", "dwork", "prevZCSigState", "errorStatus"]
    assert fields["blockIO"] is ctypes.POINTER(mod.B_DT_T)
    assert fields["dwork"] is ctypes.POINTER(mod.DW_DT_T)
    assert fields["prevZCSigState"] is ctypes.POINTER(mod.PrevZCX_DT_T)
    # The wrapper stores a 256-byte buffer cast to a char pointer there.
    root = mod.RT_MODEL_DT_T()
    buf = ctypes.create_string_buffer(256)
    root.errorStatus = ctypes.cast(buf, ctypes.POINTER(ctypes.c_char))
    for t in (mod.B_DT_T, mod.DW_DT_T, mod.PrevZCX_DT_T, mod.Filter_type):
        t()
    # The bindings load the library next to them by themselves.
    assert mod._dll._name == str(lib_path)


def test_fields_used_by_the_package_exist_with_their_types(twin):
    for struct, expected in USED_FIELDS.items():
        declared = dict(type(getattr(twin, struct))._fields_)
        for name, ctype in expected.items():
            assert declared.get(name) is ctype, "%s.%s" % (struct, name)


def test_layout_agrees_with_the_library(twin):
    mod = twin.lib
    structs = [v for v in vars(mod).values() if isinstance(v, type) and issubclass(v, ctypes.Structure)]
    assert len(structs) == 15
    for s in structs:
        name = s.__name__.encode()
        assert mod.twin_sizeof(name) == ctypes.sizeof(s), s.__name__
        for field, _ in s._fields_:
            assert mod.twin_offsetof(name, field.encode()) == getattr(s, field).offset, (s.__name__, field)
    assert mod.twin_sizeof(b"Nope") == -1
    assert mod.twin_offsetof(b"Meas_type", b"nope") == -1
    assert mod.twin_offsetof(b"Meas_type", None) == -1


def test_realism_is_reachable_and_kept_apart_from_what_the_package_uses(twin):
    # Added after everything the package reads, so no field it knows moved.
    inp = dict(twin.lib.Inports_type._fields_)
    assert inp["Ideal"] is c_bool and list(inp)[-1] == "Ideal"
    assert twin.lib.get_realism_ptr.argtypes == []
    realism = dict(twin.lib.Realism_type._fields_)
    assert realism["seed"] is ctypes.c_uint64
    assert {"k_twist", "backlash", "eta_fwd", "eta_back", "i_noise", "R_bus", "C_bus", "I_trip", "V_trip",
            "spd_trip", "T_trip"} <= set(realism)
    for struct, added in (("Meas_type", ["i_a", "i_b"]), ("Debug_type", ["trip", "over_temp", "vbus_range", "vbus_max"]),
                          ("Motor_type", ["m_twist", "m_T_twist", "m_pwr_src", "m_pwr_bus_loss"])):
        names = [n for n, _ in getattr(twin.lib, struct)._fields_]
        assert names[-len(added):] == added, struct


def test_text_symbols_fill_the_1024_bytes_a_reader_takes(twin):
    for symbol, check in (("MOTOR_MODEL", lambda s: s == twin.name),
                          ("SUBMODULE_COMMITS", lambda s: s.startswith("vez_twin ") and len(s) > 9)):
        raw = bytes((ctypes.c_char * 1024).in_dll(twin.lib._dll, symbol))
        text, _, rest = raw.partition(b"\0")
        assert check(text.decode("utf-8")) and text.decode().isprintable(), symbol
        assert rest.strip(b"\0") == b""  # NUL padding, no neighbouring data


def test_filter_symbol_is_the_live_filter(twin):
    view = twin.lib.Filter_type.in_dll(twin.lib._dll, "Filter")
    assert (view.spd_cutoff, view.current_cutoff) == (1000.0, 5000.0)
    twin.start(twinlib.SPEED)
    twin.inp.Reference = 5.0
    twin.run_s(0.3)

    def ripple():
        s, = twin.trace(0.05, lambda: twin.meas.spd)
        return max(s) - min(s)

    filtered = ripple()
    view.spd_cutoff = 0.0  # unfiltered: the encoder's quantisation shows
    assert ripple() > 2 * filtered
