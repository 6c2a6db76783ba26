import ctypes
import gc
import inspect
import math
import os
import subprocess
import sys
import types
from pathlib import Path
from unittest import mock

import pytest

import twin_doubles
import vez_api._twin_assets as assets
import vez_api._twin_backend as backend
from vez_api._twin_backend import ActuatorWrapper

TARGET = "Intel_x8664Linux64"


@pytest.fixture(scope="session")
def built(tmp_path_factory):
    if twin_doubles.compiler() is None:
        pytest.skip("no C compiler to build the contrived twins")
    directory = tmp_path_factory.mktemp("contrived_twins")
    return {v.name: twin_doubles.build(v, directory) for v in twin_doubles.VARIANTS}


@pytest.fixture
def twin(built, tmp_path, monkeypatch):
    """Installs contrived twins into a fresh assets tree that the environment
    points at, on a patched Linux/x86_64 Intel machine; returns the artifact
    paths found through the assets search."""
    monkeypatch.setenv("VEZ_API_VIRTUAL_ASSETS_ROOT", str(tmp_path))
    monkeypatch.setattr(assets.platform, "system", lambda: "Linux")
    monkeypatch.setattr(assets.platform, "machine", lambda: "x86_64")
    monkeypatch.setattr(assets, "_cpu_vendor", lambda: "Intel")
    root = tmp_path / "data" / "assets" / "actuators" / "digital_twin_libs_bindings"
    installed = set()

    def install(variant=twin_doubles.FULL):
        # Once per test: overwriting a library file that is mapped would
        # pull the code from under the process.
        if variant.name not in installed:
            twin_doubles.install(built[variant.name], root, variant.name, TARGET)
            installed.add(variant.name)
        return assets.resolve_dtwin_artifacts(variant.name)

    return install


@pytest.fixture
def make(twin):
    """ActuatorWrapper factory; every wrapper is terminated at the end if it
    is still initialized."""
    made = []

    def factory(variant=twin_doubles.FULL, cls=ActuatorWrapper):
        paths = twin(variant)
        wrapper = cls(str(paths.library), str(paths.py_bindings))
        made.append(wrapper)
        return wrapper

    yield factory
    for wrapper in made:
        if wrapper.__dict__.get("_initialized"):
            wrapper.terminate()


def set_time_step(wrapper, seconds):
    ctypes.c_double.in_dll(wrapper._lib._dll, "sim_time_step_s").value = seconds


def write_text_symbol(wrapper, name, data: bytes):
    storage = (ctypes.c_char * 64).in_dll(wrapper._lib._dll, name)
    ctypes.memset(storage, 0, 64)
    ctypes.memmove(storage, data, len(data))


# --- module surface --------------------------------------------------------------


def test_module_constants_and_functions():
    assert backend._DTWIN_CONTROL_CALIBRATION == 1
    assert backend._DTWIN_CONTROL_POSITION == 7
    assert backend._DTWIN_DEFAULT_SIM_RATE_HZ == 20000
    assert backend._DTWIN_DEFAULT_TIME_STEP_S == 5e-05 == 1 / 20000
    assert backend._DTWIN_INITIALIZATION_WARMUP_S == 1.0
    assert backend.get_default_dtwin_time_step_s() == 5e-05
    with mock.patch.object(backend, "_DTWIN_DEFAULT_TIME_STEP_S", 0.25):
        assert backend.get_default_dtwin_time_step_s() == 0.25
    assert (ActuatorWrapper.MOTOR_OFF, ActuatorWrapper.MOTOR_ON) == (False, True)
    assert type(ActuatorWrapper) is type and ActuatorWrapper.__mro__ == (ActuatorWrapper, object)
    assert str(inspect.signature(ActuatorWrapper.step)) == "(self, ref_value, load=0.0)"
    assert str(inspect.signature(ActuatorWrapper.initialize)) == "(self, mode=7)"


@pytest.mark.parametrize(
    "duration, step, expected",
    [(1.0, 5e-05, 20000), (1.0, 0.001, 1000), (1.0, 0.4, 2), (1.0, 3.0, 1), (-1.0, 0.5, 1), (1, 1, 1)],
)
def test_steps_for_duration(duration, step, expected):
    result = backend._steps_for_duration(duration, step)
    assert result == expected and type(result) is int


@pytest.mark.parametrize("step, text", [(0.0, "0.0"), (-0.001, "-0.001"), (-3, "-3.0")])
def test_steps_for_an_unusable_step(step, text):
    with pytest.raises(RuntimeError) as info:
        backend._steps_for_duration(1.0, step)
    assert str(info.value) == "Invalid DTwin simulation timestep: " + text


# --- construction --------------------------------------------------------------


def test_construction_creates_the_documented_state(make):
    count = ActuatorWrapper.instance_count
    w = make()
    assert list(vars(w)) == [
        "tmp_dir", "_lib", "imp", "pid", "debug", "info", "inp", "lim", "meas", "motor", "filter", "model",
        "_initialized", "_feedforward_gain", "_reference_feedforward_torque", "_impedance_speed_reference",
        "_impedance_acceleration_reference", "id_tag",
    ]  # fmt: skip
    assert ActuatorWrapper.instance_count == count + 1
    # the library copy, and the marker naming this process as the folder's owner
    assert os.path.isdir(w.tmp_dir) and sorted(os.listdir(w.tmp_dir)) == [".vez_api_owner", f"libFULL_{TARGET}.so"]
    assert w._lib.__name__ == "dtwin" and "dtwin" not in sys.modules
    assert Path(w._lib._dll._name).parent == Path(w.tmp_dir)
    assert (w._initialized, w.id_tag, w.get_address(), w.address) == (False, None, None, None)
    assert (w._feedforward_gain, w._reference_feedforward_torque) == (0.0, 0.0)
    assert (w._impedance_speed_reference, w._impedance_acceleration_reference) == (0.0, 0.0)
    assert type(w.inp).__name__ == "Inports" and type(w.meas).__name__ == "Meas"
    assert (w.filter.spd_cutoff, w.filter.current_cutoff) == (100.0, 200.0)  # the exported Filter symbol
    assert w.model.blockIO and w.model.dwork and w.model.prevZCSigState and w.model.errorStatus


def test_foreign_functions_reach_the_private_copy(make, twin):
    w = make()
    own = w._lib._own_library  # the library the bindings loaded for themselves
    own_meas = own.get_meas_ptr  # not rebound: the bindings' CDLL object itself
    own_meas.restype = ctypes.POINTER(type(w.meas))
    w.initialize()
    w.step(1.0)
    assert w.meas.steps == 20003
    assert own_meas().contents.steps == 0  # the original library never ran
    for name in ("DT_step", "get_meas_ptr", "DT_initialize"):
        assert getattr(w._lib, name).restype == getattr(w._lib._own_library, name).restype


def test_wrappers_of_one_library_are_independent(make):
    a, b = make(), make()
    assert a._lib is not b._lib and a.tmp_dir != b.tmp_dir
    a.set_position_kp(3.5)
    for _ in range(5):
        a.step(2.0, 1.0)
    assert (a.meas.steps, b.meas.steps) == (5, 0)
    assert (a.get_position_kp(), b.get_position_kp()) == (3.5, 0.0)


def test_path_objects_are_rejected_before_anything_happens(twin, monkeypatch):
    paths = twin()
    mkdtemp = mock.Mock(wraps=backend.tempfile.mkdtemp)
    monkeypatch.setattr(backend.tempfile, "mkdtemp", mkdtemp)
    count = ActuatorWrapper.instance_count
    with pytest.raises(TypeError) as info:
        ActuatorWrapper(paths.library, str(paths.py_bindings))
    assert str(info.value) == "Argument 'shared_lib_path' has incorrect type (expected str, got PosixPath)"
    with pytest.raises(TypeError, match=r"^Argument 'ctypes_path' has incorrect type \(expected str, got MyStr\)$"):
        ActuatorWrapper(str(paths.library), type("MyStr", (str,), {})(paths.py_bindings))
    assert not mkdtemp.called and ActuatorWrapper.instance_count == count


def test_bindings_without_a_loader(twin, tmp_path, monkeypatch):
    paths = twin()
    odd = tmp_path / "sub" / "bindings.txt"
    odd.parent.mkdir()
    odd.write_text(paths.py_bindings.read_text())
    given = str(tmp_path / "sub" / ".." / "sub" / "bindings.txt")  # reported as given, not resolved
    mkdtemp = mock.Mock(wraps=backend.tempfile.mkdtemp)
    monkeypatch.setattr(backend.tempfile, "mkdtemp", mkdtemp)
    with pytest.raises(ImportError) as info:
        ActuatorWrapper(str(paths.library), given)
    assert str(info.value) == "Could not load digital-twin bindings from " + given
    assert not mkdtemp.called


def made_folders(monkeypatch):
    folders = []
    real = backend.tempfile.mkdtemp

    def recording():
        folders.append(real())
        return folders[-1]

    monkeypatch.setattr(backend.tempfile, "mkdtemp", recording)
    return folders


def test_failed_copy_removes_its_folder(twin, monkeypatch):
    paths = twin()
    folders = made_folders(monkeypatch)
    monkeypatch.setattr(backend.shutil, "copy2", mock.Mock(side_effect=OSError("disk full")))
    count = ActuatorWrapper.instance_count
    with pytest.raises(OSError, match="disk full"):
        ActuatorWrapper(str(paths.library), str(paths.py_bindings))
    assert len(folders) == 1 and not os.path.exists(folders[0])
    assert ActuatorWrapper.instance_count == count


def test_bindings_lacking_a_required_name_fail_cleanly(twin, monkeypatch):
    paths = twin()
    paths.py_bindings.write_text(paths.py_bindings.read_text() + "\ndel get_pid_ptr\n")
    folders = made_folders(monkeypatch)
    with pytest.raises(AttributeError, match="get_pid_ptr"):
        ActuatorWrapper(str(paths.library), str(paths.py_bindings))
    assert len(folders) == 1 and not os.path.exists(folders[0])


def test_unterminated_wrapper_removes_its_folder_when_collected(twin):
    paths = twin()
    w = ActuatorWrapper(str(paths.library), str(paths.py_bindings))
    w.initialize()
    folder = w.tmp_dir
    del w
    gc.collect()
    assert not os.path.exists(folder)


def test_unterminated_wrapper_removes_its_folder_at_exit(twin):
    paths = twin()
    script = (
        "import sys\nfrom vez_api._twin_backend import ActuatorWrapper\n"
        "keep = ActuatorWrapper(sys.argv[1], sys.argv[2])\nkeep.initialize()\nprint(keep.tmp_dir)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script, str(paths.library), str(paths.py_bindings)],
        capture_output=True, text=True, check=True, timeout=60,
    )  # fmt: skip
    folder = out.stdout.strip()
    assert folder and not os.path.exists(folder)


# --- lifecycle -----------------------------------------------------------------


@pytest.mark.parametrize("variant", [twin_doubles.FULL, twin_doubles.MINIMAL], ids=lambda v: v.name)
def test_initialize_warms_up_then_selects_the_mode(make, variant):
    w = make(variant)
    assert w.get_sim_time_step_s() == 5e-05  # the library's own, or the default without a getter
    w.initialize()
    assert (w.meas.initialize_calls, w.meas.steps) == (1, 20002)
    assert w.meas.dwork_state == 20002.0  # the root structure's pointers reach the sub-structures
    # the last step ran after Enable was cleared and ResetPos set, still in calibration
    assert (w.meas.last_enable, w.meas.last_reset, w.meas.last_control_type) == (False, True, 1)
    assert (w.inp.Enable, w.inp.ResetPos, w.inp.ControlType, w.inp.Load, w.inp.Reference) == (False, True, 7, 0, 0)
    assert w._initialized is True


@pytest.mark.parametrize("step, warmup", [(0.001, 1000), (0.4, 2), (3.0, 1)])
def test_warmup_follows_the_library_time_step(make, step, warmup):
    w = make()
    set_time_step(w, step)
    assert w.get_sim_time_step_s() == step
    w.initialize(mode=3)
    assert w.meas.steps == warmup + 2 and w.inp.ControlType == 3


def test_time_step_declared_by_the_bindings(make):
    w = make(twin_doubles.ATTRIBUTE_FILTER)
    w._lib.get_sim_time_step_s.restype = ctypes.c_int  # the wrapper sets the types it needs
    set_time_step(w, 0.25)
    assert w.get_sim_time_step_s() == 0.25
    w._lib.get_sim_time_step_s = lambda: 0.5  # a plain callable is called as is
    assert w.get_sim_time_step_s() == 0.5


@pytest.mark.parametrize("step, text", [(0.0, "0.0"), (-0.001, "-0.001")])
def test_unusable_time_step_fails_after_the_inputs_are_written(make, step, text):
    w = make()
    set_time_step(w, step)
    with pytest.raises(RuntimeError) as info:
        w.initialize()
    assert str(info.value) == "Invalid DTwin simulation timestep: " + text
    assert (w.meas.initialize_calls, w.meas.steps, w._initialized) == (1, 0, False)
    assert (w.inp.Enable, w.inp.ResetPos, w.inp.ControlType) == (True, False, 1)


def test_lifecycle_errors_change_nothing(make):
    w = make()
    count = ActuatorWrapper.instance_count
    with pytest.raises(RuntimeError, match=r"^Simulator not initialized\. Call initialize\(\) first\.$"):
        w.terminate()
    assert ActuatorWrapper.instance_count == count and os.path.isdir(w.tmp_dir)
    w.initialize()
    with pytest.raises(RuntimeError, match=r"^Simulator already initialized\. Call terminate\(\) first\.$"):
        w.initialize()
    assert (w.meas.initialize_calls, w.meas.steps) == (1, 20002)
    with pytest.raises(TypeError, match=r"^Argument 'mode' has incorrect type \(expected int, got str\)$"):
        ActuatorWrapper.initialize(make(), "7")


def test_terminate_and_initialize_again(make):
    w = make()
    count = ActuatorWrapper.instance_count
    w.initialize(mode=4.9)  # truncated
    assert w.inp.ControlType == 4
    w.terminate()
    assert (w.meas.terminate_calls, w._initialized, ActuatorWrapper.instance_count) == (1, False, count - 1)
    assert not os.path.exists(w.tmp_dir)
    # the loaded copy outlives its file: the same wrapper runs again, and the
    # second terminate does not trip over the folder that is already gone
    w.initialize()
    w.step(1.0)
    w.terminate()
    assert (w.meas.initialize_calls, w.meas.terminate_calls, ActuatorWrapper.instance_count) == (2, 2, count - 2)


def test_terminate_still_reports_other_removal_errors(make, monkeypatch):
    w = make()
    w.initialize()
    monkeypatch.setattr(backend.shutil, "rmtree", mock.Mock(side_effect=PermissionError("busy")))
    with pytest.raises(PermissionError):
        w.terminate()
    assert w._initialized is False


def test_step_writes_the_inputs_then_steps_once(make):
    w = make()
    w.step(2)  # before initialize: no check, the model simply steps
    assert (w.meas.steps, w.meas.last_reference, w.meas.last_load) == (1, 2.0, 0.0)
    w.step(ref_value=-1.5, load=0.25)
    assert (w.meas.steps, w.meas.last_reference, w.meas.last_load) == (2, -1.5, 0.25)
    w.step(1.0, 7)
    assert w.meas.last_load == 7.0


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("1.0",), {}, "Argument 'ref_value' has incorrect type (expected float, got str)"),
        ((1.0, None), {}, "Argument 'load' has incorrect type (expected float, got NoneType)"),
        ((), {}, "ActuatorWrapper.step() missing 1 required positional argument: 'ref_value'"),
        ((1.0, 2.0, 3.0), {}, "ActuatorWrapper.step() takes from 2 to 3 positional arguments but 4 were given"),
        ((1.0,), {"ref_value": 2.0}, "ActuatorWrapper.step() got multiple values for argument 'ref_value'"),
        ((1.0,), {"torque": 2.0}, "ActuatorWrapper.step() got an unexpected keyword argument 'torque'"),
    ],
)
def test_bad_step_arguments_write_nothing(make, args, kwargs, message):
    w = make()
    w.step(5.0, 6.0)
    with pytest.raises(TypeError) as info:
        w.step(*args, **kwargs)
    assert str(info.value) == message
    assert (w.inp.Reference, w.inp.Load, w.meas.steps) == (5.0, 6.0, 1)


def test_home_position_is_one_step(make):
    w = make()
    w.initialize()  # leaves ResetPos set: the position stays at zero
    w.step(100.0)
    assert w.meas.position == 0.0 and w.inp.ResetPos is True
    w.set_home_position()
    assert (w.meas.steps, w.meas.last_reset, w.inp.ResetPos) == (20004, True, False)
    w.step(100.0)
    assert w.meas.position == pytest.approx(100.0 * 5e-05)
    w.set_home_position()
    assert (w.meas.steps, w.meas.position) == (20006, 0.0)


# --- optional inports and accessors -------------------------------------------------


def test_optional_inports_are_reapplied_at_every_step(make):
    w = make()
    w.set_torque_feedforward(1.5)
    w.set_impedance_references(None, 2.0)
    assert (w.inp.ref_ff_torque, w.imp.T_FF) == (1.5, 0.0)  # T_FF left alone
    assert (w._impedance_speed_reference, w._impedance_acceleration_reference) == (0.0, 2.0)
    w.inp.ref_ff_torque = 9.0  # overwritten from the shadow at the next step
    w.step(0.0)
    assert (w.meas.last_ref_ff_torque, w.meas.last_ref_impedance_spd, w.meas.last_ref_impedance_acel) == (1.5, 0.0, 2.0)
    w._reference_feedforward_torque = 3  # shadows changed directly are seen too
    w.step(0.0)
    assert w.meas.last_ref_ff_torque == 3.0
    w._reference_feedforward_torque = "x"
    with pytest.raises(TypeError):  # ctypes' own complaint
        w.step(0.0)


def test_models_without_optional_inports(make):
    w = make(twin_doubles.MINIMAL)
    w.set_torque_feedforward(1.5)
    assert w.imp.T_FF == 1.5 and w._reference_feedforward_torque == 1.5
    w.set_impedance_references(4.0, None)
    assert w._impedance_speed_reference == 4.0
    assert not hasattr(w.inp, "ref_ff_torque") and not hasattr(w.inp, "ref_impedance_spd")
    w.step(1.0)
    assert w.meas.steps == 1


def test_gains(make):
    w = make()
    w.set_position_kp(2)
    w.set_speed_gains(0.5, 0.25)
    w.set_current_gains(kp=3, ki=4.5)
    assert (w.get_position_kp(), w.get_speed_gains(), w.get_current_gains()) == (2.0, (0.5, 0.25), (3.0, 4.5))
    assert type(w.get_position_kp()) is float
    w.set_feedforward_gain(0.3)
    assert (w.pid.FF_gain, w._feedforward_gain, w.get_feedforward_gain()) == (0.3, 0.3, 0.3)
    w.pid.FF_gain = 0.7  # read from the model when it has the field
    assert w.get_feedforward_gain() == 0.7
    with pytest.raises(TypeError, match=r"^Argument 'ki' has incorrect type \(expected float, got str\)$"):
        w.set_speed_gains(1.0, "x")
    assert w.get_speed_gains() == (0.5, 0.25)  # nothing written


def test_gains_without_optional_fields(make):
    w = make(twin_doubles.MINIMAL)
    w.set_feedforward_gain(0.3)
    assert w.get_feedforward_gain() == 0.3 and not hasattr(w.pid, "FF_gain")
    w.set_impedance_gains(10, 0.5)
    w.set_impedance_inertia(0.01)  # no J_imp: nothing happens
    gains = w.get_impedance_gains()
    assert list(gains) == ["k_stiff", "k_damp", "t_ff", "j_imp"]
    assert gains["k_stiff"] == 10.0 and gains["t_ff"] == 0.0 and math.isnan(gains["j_imp"])
    w.set_filter_cutoffs(100.0, 200.0)
    assert w.filter is None
    cutoffs = w.get_filter_cutoffs()
    assert list(cutoffs) == ["speed_cutoff", "current_cutoff"] and all(math.isnan(v) for v in cutoffs.values())


def test_impedance_and_filters(make):
    w = make()
    w.set_impedance_gains(k_stiff=5.0, k_damp=0.5, t_ff=0.1)
    w.set_impedance_inertia(0.02)
    w.set_stiffness(6.0)
    w.set_damping(0.6)
    assert w.get_impedance_gains() == {"k_stiff": 6.0, "k_damp": 0.6, "t_ff": 0.1, "j_imp": 0.02}
    w.set_filter_cutoffs(speed_cutoff=50.0)
    assert w.get_filter_cutoffs() == {"speed_cutoff": 50.0, "current_cutoff": 200.0}
    w.set_filter_cutoffs(None, 75)
    assert w.get_filter_cutoffs() == {"speed_cutoff": 50.0, "current_cutoff": 75.0}
    with pytest.raises(TypeError, match=r"^Argument 'current_cutoff' has incorrect type \(expected float, got str\)$"):
        w.set_filter_cutoffs(1.0, "2")
    assert w.filter.spd_cutoff == 50.0


def test_filter_given_as_a_bindings_attribute(make):
    w = make(twin_doubles.ATTRIBUTE_FILTER)
    assert w.filter is w._lib.Filter
    w.set_filter_cutoffs(1.0, 2.0)
    assert w.get_filter_cutoffs() == {"speed_cutoff": 1.0, "current_cutoff": 2.0}


def test_address_enable_and_control_type(make):
    w = make()
    w.set_address(3.7)
    assert (w.get_address(), w.address, w._address) == (3, 3, 3)
    w.set_enable("yes")
    assert w.inp.Enable is True
    w.set_enable(0)
    assert w.inp.Enable is False
    w.set_control_type(8.9)
    assert w.inp.ControlType == 8
    with pytest.raises(TypeError, match=r"^Argument 'control_type' has incorrect type \(expected int, got str\)$"):
        w.set_control_type("8")


def test_missing_mandatory_field_raises_instead_of_growing_an_attribute(make):
    w = make()
    w.pid = w.info  # a structure without the gains
    with pytest.raises(AttributeError, match="^'Info' object has no attribute 'pos_Kp'$"):
        w.set_position_kp(1.0)
    assert "pos_Kp" not in vars(w.info)
    w.set_feedforward_gain(0.5)  # optional fields never raise
    assert w.get_feedforward_gain() == 0.5


# --- text symbols --------------------------------------------------------------


@pytest.mark.parametrize(
    "data, text",
    [
        (b"ABC\x00garbage", "ABC"),
        ("Ωmega 7 tab\there\r\n".encode(), "Ωmega 7 tab\there\r\n"),
        (b"\xff\xfe", "unknown"),
        (b"A\x01B", "unknown"),
        (b"A\x1bB", "unknown"),
        (b"", "unknown"),
    ],
)
def test_text_symbols_of_the_library(make, data, text):
    w = make()
    write_text_symbol(w, "MOTOR_MODEL", data)
    write_text_symbol(w, "SUBMODULE_COMMITS", data)
    assert (w.get_motor_model(), w.get_submodule_commits(), w.get_dtwin_version()) == (text, text, text)


def test_text_symbols_are_read_within_the_symbol(make):
    w = make()
    assert w._decode_optional_c_string("SHORT_TEXT") == "ABCD"  # 4 bytes, more text right behind
    assert w._decode_optional_c_string("UNSIZED_TEXT") == "XYZ"
    assert w._decode_optional_c_string("NOT_EXPORTED") == "unknown"
    assert make(twin_doubles.MINIMAL).get_motor_model() == "unknown"


@pytest.mark.parametrize(
    "value, text",
    [
        ("as\x01is", "as\x01is"),  # text is returned unchanged
        (b"bytes\x00tail", "bytes"),
        (bytearray(b"array"), "array"),
        ((ctypes.c_char * 8)(*b"chars"), "chars"),
        (ctypes.c_char_p(b"pointer"), "pointer"),
        (ctypes.c_char_p(), "unknown"),
    ],
)
def test_text_given_by_the_bindings(make, value, text):
    w = make()
    w._lib.MOTOR_MODEL = value
    assert w.get_motor_model() == text


def test_text_falls_back_to_the_library_then_unknown(make):
    w = make()
    w._lib.MOTOR_MODEL = 42  # another type: the library's symbol is read
    assert w.get_motor_model() == "TEST-MOTOR"
    del w._lib._dll
    assert w.get_motor_model() == "unknown"
    assert ActuatorWrapper._decode_c_string_bytes(3) == "unknown"  # three NUL bytes
    assert ActuatorWrapper._decode_c_string_bytes("text") == "unknown"
    assert ActuatorWrapper._decode_c_string_bytes(-1) == "unknown"


# --- fast paths give way to whatever was replaced -------------------------------------


def test_replaced_step_function_is_called(make):
    w = make()
    w.step(1.0)  # the direct path is in use
    with mock.patch.object(w._lib, "DT_step", wraps=w._lib.DT_step) as spy:
        w.step(2.0)
        w.set_home_position()
        assert spy.call_count == 2
    w.step(3.0)
    assert (w.meas.steps, w.meas.last_reference) == (4, 3.0)


def test_replaced_lib_is_used(make):
    w = make()
    w.step(1.0)
    real = w._lib
    calls = []
    w._lib = types.SimpleNamespace(DT_step=lambda ref: calls.append(ref), DT_initialize=real.DT_initialize)
    w.step(2.0)
    assert len(calls) == 1 and w.meas.steps == 1 and w.inp.Reference == 2.0
    w._lib = real
    w.step(3.0)
    assert w.meas.steps == 2


def test_replaced_structure_view_receives_the_writes(make):
    w = make()
    w.step(1.0)
    real = w.inp
    w.inp = types.SimpleNamespace(Reference=0.0, Load=0.0, ControlType=0)
    w.step(5.0, 6.0)
    assert (w.inp.Reference, w.inp.Load) == (5.0, 6.0)
    assert (real.Reference, w.meas.last_reference, w.meas.steps) == (1.0, 1.0, 2)
    w.set_control_type(3)
    assert w.inp.ControlType == 3
    w.inp = real
    w.step(7.0)
    assert w.meas.last_reference == 7.0


def test_patched_and_overridden_methods_are_honoured(make):
    w = make()
    w.step(1.0)
    with mock.patch.object(ActuatorWrapper, "_apply_optional_inports") as patched:
        w.step(1.0)
        assert patched.call_count == 1
    with mock.patch.object(w, "_apply_optional_inports") as patched:
        w.step(1.0)
        assert patched.call_count == 1

    class Tracing(ActuatorWrapper):
        def _apply_optional_inports(self):
            self.applied = getattr(self, "applied", 0) + 1
            super()._apply_optional_inports()

    t = make(cls=Tracing)
    t.step(1.0)
    t.initialize()
    assert t.applied == 2 and t.meas.steps == 20002


def test_patched_module_names_are_honoured(make):
    w = make()
    w.step(1.0)
    calls = []
    real_ctypes = backend.ctypes
    proxy = types.SimpleNamespace(byref=lambda obj: calls.append(obj) or real_ctypes.byref(obj))
    with mock.patch.object(backend, "ctypes", proxy):
        w.step(2.0)
    assert calls == [w.model] and w.meas.steps == 2
    with mock.patch.object(backend, "_steps_for_duration", return_value=3):
        w.initialize()
    assert w.meas.steps == 5


def test_structure_layouts_are_trusted_only_for_plain_numbers(make):
    w = make()

    class Wide(ctypes.Structure):
        _fields_ = [("Reference", ctypes.c_float), ("Load", ctypes.c_longdouble), ("Enable", ctypes.c_uint8)]

    wide = Wide()
    w.inp = wide
    w.step(0.1, 2.5)
    assert wide.Reference == ctypes.c_float(0.1).value and wide.Load == 2.5
    w.set_enable(True)
    assert wide.Enable == 1


def test_steady_memory_on_both_paths(make, memory_flat):
    w = make()
    memory_flat(lambda: w.step(0.5, 0.1), calls=300_000)
    w.inp = types.SimpleNamespace(Reference=0.0, Load=0.0)
    memory_flat(lambda: w.step(0.5, 0.1), calls=50_000)
    memory_flat(lambda: w.get_position_kp(), calls=100_000)


# --- the reference twin, when its assets are installed ---------------------------------


def reference_models():
    try:
        return assets.list_available_dtwin_artifacts()
    except FileNotFoundError:
        return []


@pytest.mark.parametrize("model", reference_models() or [None])
def test_reference_twin(model):
    if model is None:
        pytest.skip("the reference digital twin's assets are not installed")
    paths = assets.resolve_dtwin_artifacts(model)
    w = ActuatorWrapper(str(paths.library), str(paths.py_bindings))
    try:
        assert w.get_sim_time_step_s() > 0
        w.initialize()
        w.set_position_kp(w.get_position_kp())
        for _ in range(100):
            w.step(0.1)
        assert w.get_motor_model() != "unknown"
        assert isinstance(w.get_dtwin_version(), str)
    finally:
        folder = w.tmp_dir
        w.terminate()
    assert not os.path.exists(folder)


# --- the C API for the package's other modules (capsule _C_API) -----------------------


class RawField(ctypes.Structure):
    _fields_ = [("state", ctypes.c_int), ("address", ctypes.c_void_p), ("kind", ctypes.c_uint8)]


class CApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint), ("size", ctypes.c_size_t), ("step", ctypes.c_void_p),
                ("step_pure", ctypes.c_void_p), ("raw_field", ctypes.c_void_p)]  # fmt: skip


class Unusual(ctypes.Structure):
    _fields_ = [("Reference", ctypes.c_float), ("Load", ctypes.c_longdouble), ("Enable", ctypes.c_uint8)]


CAPSULE_NAME = b"vez_api._twin_backend._C_API"
# The functions need the GIL: PYFUNCTYPE keeps it.
StepFunction = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_double, ctypes.c_double)
RawFieldFunction = ctypes.PYFUNCTYPE(
    ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.POINTER(RawField), ctypes.POINTER(ctypes.c_uint)
)


@pytest.fixture
def capi():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = CApi.from_address(get_pointer(backend._C_API, CAPSULE_NAME))
    assert (table.version, table.size) == (1, ctypes.sizeof(CApi))
    return types.SimpleNamespace(
        step=StepFunction(table.step), step_pure=StepFunction(table.step_pure), raw_field=RawFieldFunction(table.raw_field)
    )


def test_capi_step(make, capi):
    w = make()
    w.initialize()
    steps = w.meas.steps
    assert capi.step(w, 0.25, 1.5) == 1
    assert (w.meas.steps, w.meas.last_reference, w.meas.last_load) == (steps + 1, 0.25, 1.5)
    w.step = mock.Mock()  # shadowed on the instance: not the backend's step any more
    assert capi.step(w, 0.5, 0.0) == 0 and w.meas.steps == steps + 1
    assert capi.step(types.SimpleNamespace(step=print), 0.0, 0.0) == 0
    del w.step
    w.inp = Unusual()  # the step still applies, through ctypes
    assert capi.step(w, 0.5, 0.0) == 1 and w.inp.Reference == ctypes.c_float(0.5).value


def test_capi_pure_step_only_from_a_cached_layout(make, capi):
    w = make()
    w.initialize()
    assert capi.step_pure(w, 0.1, 0.0) == 0  # no direct step yet, nothing cached
    w.step(0.1)
    steps = w.meas.steps
    for i in range(1, 4):  # taken again and again while nothing changes
        assert capi.step_pure(w, 0.75, 0.5) == 1 and (w.meas.steps, w.meas.last_reference) == (steps + i, 0.75)
    w._reference_feedforward_torque = 2.0  # a changed shadow: the cached layout no longer holds
    assert capi.step_pure(w, 0.75, 0.5) == 0 and w.meas.steps == steps + 3
    w.step(0.75, 0.5)
    assert capi.step_pure(w, 0.7, 0.5) == 1 and w.meas.last_ref_ff_torque == 2.0
    w.inp = Unusual()
    assert capi.step_pure(w, 0.7, 0.5) == 0
    assert capi.step_pure(object(), 0.0, 0.0) == 0


def shadow_set(w):
    w._impedance_speed_reference = 4.0


def shadow_deleted(w):
    del w._impedance_speed_reference


def inp_deleted(w):
    del w.inp


def module_global_replaced(w):
    real = backend.ctypes
    backend.ctypes = types.SimpleNamespace(byref=lambda obj: real.byref(obj))


def library_attribute_replaced(w):
    real = w._lib.DT_step
    w._lib.DT_step = lambda root: real(root)


def dict_cleared_and_refilled(w):
    d = w.__dict__
    saved = dict(d)
    d.clear()
    saved["_reference_feedforward_torque"] = -1.5
    d.update(saved)


def dict_replaced(w):
    w.__dict__ = {**w.__dict__, "_reference_feedforward_torque": 1.25}


CHANGES = [shadow_set, shadow_deleted, inp_deleted, module_global_replaced, library_attribute_replaced,
           dict_cleared_and_refilled, dict_replaced]  # fmt: skip


@pytest.mark.parametrize("change", CHANGES, ids=[c.__name__ for c in CHANGES])
def test_every_change_turns_the_pure_step_off_until_the_next_ordinary_step(make, capi, change, monkeypatch):
    """The snapshot behind the pure step is dropped by any change to what it
    was read from; the ordinary step then does what a twin that never had a
    snapshot does, and takes a new one."""
    monkeypatch.setattr(backend, "ctypes", backend.ctypes)  # restored whatever the change does to it
    fast, plain = make(), make()
    for w in (fast, plain):
        w.initialize()
        w.step(0.1)
    assert capi.step_pure(fast, 0.2, 0.0) == 1
    plain.step(0.2)
    for w in (fast, plain):
        change(w)
    assert capi.step_pure(fast, 0.3, 0.1) == 0
    outcomes = []
    for w in (fast, plain):
        try:
            w.step(0.3, 0.1)
            outcomes.append(("stepped", w.meas.steps, w.meas.last_reference, w.meas.last_ref_ff_torque,
                             w.meas.last_ref_impedance_spd))  # fmt: skip
        except AttributeError as e:
            outcomes.append(("failed", str(e)))
    assert outcomes[0] == outcomes[1]
    if outcomes[0][0] == "stepped" and change not in (module_global_replaced, library_attribute_replaced):
        assert capi.step_pure(fast, 0.4, 0.0) == 1  # a new snapshot


def test_a_new_wrapper_where_a_collected_one_was(twin, capi):
    """A wrapper made at a collected one's address (its dict perhaps at the
    old dict's) never inherits the old one's snapshot."""
    paths = twin()
    for _ in range(5):
        old = ActuatorWrapper(str(paths.library), str(paths.py_bindings))
        old.initialize()
        old.step(0.1)
        assert capi.step_pure(old, 0.2, 0.0) == 1
        address = id(old)
        old.terminate()
        del old
        gc.collect()
        new = ActuatorWrapper(str(paths.library), str(paths.py_bindings))
        try:
            if id(new) != address:
                continue
            new.initialize()
            steps = new.meas.steps
            assert capi.step_pure(new, 0.3, 0.0) == 0 and new.meas.steps == steps
            new.step(0.3)
            assert capi.step_pure(new, 0.4, 0.0) == 1 and new.meas.steps == steps + 2
            return
        finally:
            if new.__dict__.get("_initialized"):
                new.terminate()
    pytest.skip("no wrapper was made at a collected one's address")


def test_a_class_out_of_version_tags_keeps_its_fast_paths_and_guards(make, capi):
    """3.13 gives a class no version tag after a thousand modifications (and
    the wrapper class's instance_count changes with every wrapper): such a
    class is looked at again at every step instead."""

    class Worn(ActuatorWrapper):
        pass

    for i in range(1200):
        Worn.wear = i
        assert Worn.wear == i  # the lookup asks for a new tag
    w = make(cls=Worn)
    w.initialize()
    w.step(0.1)
    steps = w.meas.steps
    assert capi.step_pure(w, 0.2, 0.0) == 1 and w.meas.steps == steps + 1
    calls = []
    Worn._apply_optional_inports = lambda self: calls.append(self)
    assert capi.step_pure(w, 0.3, 0.0) == 0
    w.step(0.3)
    assert calls == [w] and w.meas.steps == steps + 2
    del Worn._apply_optional_inports
    w.step(0.4)
    assert capi.step_pure(w, 0.5, 0.0) == 1 and w.meas.steps == steps + 4


def test_capi_raw_field(make, capi):
    w = make(twin_doubles.MINIMAL)
    out, tag = RawField(), ctypes.c_uint()
    assert capi.raw_field(w.pid, "spd_Ki", ctypes.byref(out), ctypes.byref(tag)) == 0
    assert out.state == 1 and out.kind == 0 and tag.value != 0  # kind 0: double
    assert out.address == ctypes.addressof(w.pid) + type(w.pid).spd_Ki.offset
    assert capi.raw_field(w.meas, "steps", ctypes.byref(out), ctypes.byref(tag)) == 0
    assert out.state == 1 and out.address == ctypes.addressof(w.meas)
    assert capi.raw_field(w.pid, "FF_gain", ctypes.byref(out), ctypes.byref(tag)) == 0 and out.state == 0
    assert capi.raw_field(Unusual(), "Load", ctypes.byref(out), ctypes.byref(tag)) == 0 and out.state == 2
    assert capi.raw_field(Unusual(), "Reference", ctypes.byref(out), ctypes.byref(tag)) == 0
    assert out.state == 1 and out.kind == 1  # kind 1: float
    assert capi.raw_field(types.SimpleNamespace(x=1.0), "x", ctypes.byref(out), ctypes.byref(tag)) == 0
    assert out.state == 2
