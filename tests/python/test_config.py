"""Configuration backup and restore: round trips against the bus emulator and
the virtual actuator, files that must be refused (and leave the actuator
untouched), dry runs, read-back failures, persisting and the address."""

import math
import os
import struct

import pytest
import yaml

from bus_emulator import BusEmulator, wait_until
from virtual_actuators import connected
from vez_api import config
from vez_api.doroze_actuator_real import DorozeActuatorReal
from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual
from vez_api.vez_over_usb import VezOverUsb

P = DorozeActuatorReal.VEZ_Parameters
READ_ONLY = {"FIRMWARE_VERSION", "SERIAL_NUMBER", "DEVICE_MODEL", "CONTROL_VERSION"}
INTEGERS = READ_ONLY


def bits(value) -> int:
    """The float32 bits of a parameter value as the bus carries it."""
    return struct.unpack("<I", struct.pack("<f", float(getattr(value, "value", value))))[0]


def same(name, a, b) -> bool:
    if name in INTEGERS:
        return a == b
    return bits(a) == bits(b) or (math.isnan(a) and math.isnan(b))


# New values for every setting the emulated actuator holds: each differs from
# the factory value and is exactly a float32 or not, to exercise the rounding.
PERTURBED = {
    P.K_DAMPING: 0.25, P.K_STIFFNESS: 3.3, P.TORQUE_FF: -0.125, P.LIM_TORQUE: 20.0,
    P.LIM_POSITION_MAX: 100.1, P.LIM_POSITION_MIN: -100.1, P.LIM_SPEED_MAX: 12.0, P.LIM_SPEED_MIN: -12.0,
    P.PROFILE_POSITION_MAX: 90.0, P.PROFILE_POSITION_MIN: -90.0, P.PROFILE_SPEED_MAX: 10.5,
    P.PROFILE_SPEED_MIN: -10.5, P.KP_SPEED: 0.1, P.KI_SPEED: 1e-5, P.KP_POSITION: 33.0,
    P.TORQUE_PERFORMANCE: 1.0, P.SPEED_PERFORMANCE: 3.0, P.PROFILE_SPEED_MAX_RAD_S: 7.77,
    P.PROFILE_TORQUE_MAX_NM: 8.5, P.INVERT_FLAG: 1.0, P.FF_GAIN: 0.5, P.SPEED_CUTOFF: 333.3,
    P.CURRENT_CUTOFF: 2222.2, P.CAN_HIGH_SPEED: 1.0,
}


@pytest.fixture(scope="module")
def bus():
    with BusEmulator("--actuator", "0x10:ORBIT_4", "--actuator", "0x11:NOVA_3", "--actuator", "0x12:ORBIT_4") as emulator:
        yield emulator


@pytest.fixture(scope="module")
def factory(bus, tmp_path_factory):
    """The emulated actuators' configurations at the start, to put back after each test."""
    folder = tmp_path_factory.mktemp("factory")
    with VezOverUsb(port=bus.port) as transport:
        return {address: config.save(real(transport, address), folder / f"{address:x}.yaml").path
                for address in (0x10, 0x11, 0x12)}


@pytest.fixture
def link(bus, factory):
    transport = VezOverUsb(port=bus.port)
    yield transport
    transport.close()
    with VezOverUsb(port=bus.port) as again:
        for address, path in factory.items():
            assert config.load(real(again, address), path, write_runtime=True).ok


def write(actuator, values):
    """set_parameters, then a read over the bus: once it is answered, the write was applied."""
    actuator.set_parameters(values)
    assert actuator.get_parameters([P.MODE])


def real(link, address):
    actuator = DorozeActuatorReal(link, address)
    assert actuator.connect()
    return actuator


def saved_file(actuator, tmp_path, name="saved.yaml"):
    path = tmp_path / name
    config.save(actuator, path)
    return path


def rewrite(path, old, new, count=1):
    text = path.read_text()
    assert text.count(old) >= 1, old
    path.write_text(text.replace(old, new, count))


# --- round trips ---------------------------------------------------------------------


def test_round_trip_on_the_emulator_is_bit_identical(bus, link, tmp_path):
    actuator = real(link, 0x10)
    path = tmp_path / "orbit.yaml"
    saved = config.save(actuator, path)
    assert saved.model == "ORBIT_4" and saved.firmware_version == "1.4.2" and saved.address == 0x10
    assert set(saved.parameters) == {p.name for p in P}  # the emulator holds every parameter

    write(actuator, PERTURBED)
    write(actuator, {P.SETPOINT: 0.5, P.MODE: 5.0})
    report = config.load(actuator, path)
    assert report.ok and report.written and not report.persisted
    assert {c.name for c in report.changes} == {p.name for p in PERTURBED}
    assert sorted(c.name for c in report.not_written) == ["MODE", "SETPOINT"]  # the present state stays
    assert bus.parameters(0x10)[P.SETPOINT.value][0] == bits(0.5)

    report = config.load(actuator, path, write_runtime=True)
    assert sorted(c.name for c in report.changes) == ["MODE", "SETPOINT"]
    # Through the SDK and straight from the actuator's store, every value is the file's.
    now = dict(actuator.get_parameters_all())
    store = bus.parameters(0x10)
    assert set(store) == {p.value for p in P}
    for name, value in saved.parameters.items():
        assert same(name, now[P[name]], value), name
        expected = value if name in INTEGERS else bits(value)
        assert store[P[name].value][0] == expected, name


def test_round_trip_on_the_virtual_actuator(tmp_path):
    actuator = connected(address=0x10)
    path = tmp_path / "virtual.yaml"
    saved = config.save(actuator, path)
    held = {name for name, value in saved.parameters.items()}
    assert "SERIAL_NUMBER" not in held and "LIM_TORQUE" in held  # NaN: not held by the twin
    assert all(not math.isnan(v) for v in saved.parameters.values())

    actuator.set_parameters({P.LIM_TORQUE: 5.0, P.KP_SPEED: 0.3, P.FF_GAIN: 0.7, P.INVERT_FLAG: 1.0,
                             P.SPEED_CUTOFF: 123.0, P.TORQUE_PERFORMANCE: 3.0})
    report = config.load(actuator, path)
    assert report.ok
    assert {c.name for c in report.changes} == {"LIM_TORQUE", "KP_SPEED", "FF_GAIN", "INVERT_FLAG",
                                                "SPEED_CUTOFF", "TORQUE_PERFORMANCE"}
    now = actuator.get_parameters_all()
    for name, value in saved.parameters.items():
        assert same(name, now[P[name]], value), name
    # Saved again, the file is the same but for the time of saving.
    again = config.save(actuator, tmp_path / "again.yaml")
    assert again.parameters == saved.parameters


def test_a_physical_file_onto_its_digital_twin(bus, link, tmp_path):
    path = saved_file(real(link, 0x12), tmp_path)
    twin = connected(address=0x12)
    report = config.load(twin, path, force=False)
    assert report.ok
    # The twin keeps values it has no model of: they are written, not left out.
    assert {"PROFILE_SPEED_MAX_RAD_S", "PROFILE_TORQUE_MAX_NM"} <= {c.name for c in report.changes}
    assert set(report.not_held) == READ_ONLY
    assert any("firmware 1.4.2" in note for note in report.notes)


# --- files that are refused ----------------------------------------------------------


def test_another_models_file_is_refused_unless_forced(bus, link, tmp_path):
    path = saved_file(real(link, 0x10), tmp_path)
    nova = real(link, 0x11)
    before = bus.parameters(0x11)
    with pytest.raises(config.ConfigError, match="saved from model ORBIT_4; this actuator is model NOVA_3"):
        config.load(nova, path)
    assert bus.parameters(0x11) == before

    report = config.load(nova, path, force=True)
    assert report.ok and report.changes
    assert report.notes[0].startswith("forced: the file was saved from model ORBIT_4")
    after = bus.parameters(0x11)
    assert after[P.LIM_TORQUE.value][0] == bits(config.read(path).parameters["LIM_TORQUE"])
    assert after[P.SERIAL_NUMBER.value] == before[P.SERIAL_NUMBER.value]  # identity untouched


@pytest.mark.parametrize(
    "old, new, problem",
    [
        ("  KP_SPEED:", "  KP_SPEEED:", "unknown parameter 'KP_SPEEED' (did you mean KP_SPEED?)"),
        ("  KP_SPEED:", "  BRAKE_FORCE:", "unknown parameter 'BRAKE_FORCE'"),
        ("  LIM_TORQUE: 43.1676", "  LIM_TORQUE: strong", "LIM_TORQUE must be a number, not the text 'strong'"),
        ("  LIM_TORQUE: 43.1676", "  LIM_TORQUE: yes", "LIM_TORQUE must be a number, not the truth value 'yes'"),
        ("  LIM_TORQUE: 43.1676", "  LIM_TORQUE: [1, 2]", "LIM_TORQUE must be a number, not a list"),
        ("  LIM_TORQUE: 43.1676", "  LIM_TORQUE: 1.0e+40", "LIM_TORQUE: 1.0e+40 is too large for a float32"),
        ("  LIM_TORQUE: 43.1676", "  LIM_TORQUE: 2025-01-01", "LIM_TORQUE must be a number, not a timestamp '2025-01-01'"),
        ("  SERIAL_NUMBER: 1001", "  SERIAL_NUMBER: -1", "SERIAL_NUMBER must be a whole number from 0 to 4294967295"),
        ("  INVERT_FLAG: 0.0", "  INVERT_FLAG: 0.0\n  KP_SPEED: 1.0", "parameter KP_SPEED appears twice"),
        ('model: "ORBIT_4"', "model: 4", "model must be text in quotes, not 4"),
        ("vez_api_config: 1", "vez_api_config: 2", "format 2 of a newer vez_api"),
        ("  LIM_TORQUE: 43.1676", "  LIM_TORQUE: 1.0\n    nested: 2", "the file is not valid YAML"),
    ],
)
def test_hand_edited_files_are_refused_and_nothing_is_written(bus, link, tmp_path, old, new, problem):
    actuator = real(link, 0x10)
    path = saved_file(actuator, tmp_path)
    write(actuator, {P.KI_SPEED: 11.0})  # something a restore would write
    rewrite(path, old, new)
    before = bus.parameters(0x10)
    with pytest.raises(config.ConfigError) as failure:
        config.load(actuator, path)
    assert problem in str(failure.value)
    assert all(p.startswith("line ") for p in failure.value.problems)
    assert bus.parameters(0x10) == before


def test_every_truncation_is_refused(bus, link, tmp_path):
    actuator = real(link, 0x10)
    text = saved_file(actuator, tmp_path).read_text()
    cut = tmp_path / "cut.yaml"
    # Cut after every line and in the middle of every line.
    points = sorted({i for i, c in enumerate(text) if c == "\n"} | {i + 5 for i, c in enumerate(text) if c == "\n"})
    for point in points:
        if point >= len(text) - 1:
            continue
        cut.write_text(text[:point])
        with pytest.raises(config.ConfigError):
            config.read(cut)
    cut.write_text(text[: text.index("  KP_POSITION")])
    with pytest.raises(config.ConfigError, match="truncated"):
        config.read(cut)
    write(actuator, {P.KP_SPEED: 9.0})
    before = bus.parameters(0x10)
    with pytest.raises(config.ConfigError):
        config.load(actuator, cut)
    assert bus.parameters(0x10) == before


def test_other_files_are_refused_with_a_clear_sentence(tmp_path):
    path = tmp_path / "x.yaml"
    cases = [
        (b"", "the document is nothing"),
        (b"- 1\n- 2\n", "the document is a list"),
        (b"actuators:\n  ORBIT_4: {}\n", "not a vez_api configuration file"),
        (b"a: [1\n", "line 2, column 1: .*not valid YAML"),
        (b"vez_api_config: 1\nmodel: \"\xff\"\n", "not UTF-8 text"),
        (b"a: &x\n  b: *x\nvez_api_config: 1\n", "line 1: unknown entry 'a'"),  # a loop, walked once
    ]
    for data, message in cases:
        path.write_bytes(data)
        with pytest.raises(config.ConfigError, match=message):
            config.read(path)
    with pytest.raises(FileNotFoundError):
        config.read(tmp_path / "missing.yaml")


def test_values_a_restore_must_not_write(bus, link, tmp_path):
    actuator = real(link, 0x10)
    path = saved_file(actuator, tmp_path)
    rewrite(path, "  LIM_TORQUE: 43.1676", "  LIM_TORQUE: .inf")
    rewrite(path, "  TORQUE_PERFORMANCE: 2.0", "  TORQUE_PERFORMANCE: 9.0")
    before = bus.parameters(0x10)
    with pytest.raises(config.ConfigError) as failure:
        config.load(actuator, path)
    assert failure.value.problems == [
        "LIM_TORQUE: the infinite value .inf is not written to an actuator",
        "TORQUE_PERFORMANCE: 9.0 is not a torque preset (1 to 3)",
    ]
    assert bus.parameters(0x10) == before


# --- dry runs, read-back, persisting, the address ------------------------------------


def test_dry_run_writes_nothing(bus, link, tmp_path):
    actuator = real(link, 0x10)
    path = saved_file(actuator, tmp_path)
    write(actuator, {P.KI_SPEED: 3.0, P.INVERT_FLAG: 1.0})
    before = bus.parameters(0x10)
    report = config.load(actuator, path, dry_run=True, persist=True, write_runtime=True)
    assert report.dry_run and not report.written and not report.persisted
    assert sorted(c.name for c in report.changes) == ["INVERT_FLAG", "KI_SPEED"]
    assert report.lines()[0] == "Would change 2 parameters:"
    assert bus.parameters(0x10) == before


def test_a_value_that_does_not_read_back_fails_the_restore(bus, link, tmp_path):
    actuator = real(link, 0x10)
    path = saved_file(actuator, tmp_path)
    # The actuator keeps its model values when given a NaN.
    rewrite(path, "  K_DAMPING: 0.3983037", "  K_DAMPING: .nan")
    rewrite(path, "  INVERT_FLAG: 0.0", "  INVERT_FLAG: 1.0")
    saved_before = {code: entry[1] for code, entry in bus.parameters(0x10).items()}
    with pytest.raises(config.RestoreError) as failure:
        config.load(actuator, path, persist=True)
    error = failure.value
    assert isinstance(error, config.ConfigError)
    assert error.problems == ["K_DAMPING"]
    assert "K_DAMPING: wrote .nan, reads back 0.3983037" in str(error)
    assert [m.name for m in error.report.mismatches] == ["K_DAMPING"]
    assert not error.report.ok and not error.report.persisted
    # What could be written stays written; nothing was made permanent.
    after = bus.parameters(0x10)
    assert after[P.INVERT_FLAG.value][0] == bits(1.0)
    assert {code: entry[1] for code, entry in after.items()} == saved_before


def test_persist_saves_in_the_actuator(bus, link, tmp_path):
    actuator = real(link, 0x10)
    path = saved_file(actuator, tmp_path)
    rewrite(path, "  SPEED_PERFORMANCE: 2.0  # BALANCED", "  SPEED_PERFORMANCE: 4.0")
    report = config.load(actuator, path, persist=True)
    assert report.persisted and [c.name for c in report.changes] == ["SPEED_PERFORMANCE"]
    assert bus.parameters(0x10)[P.SPEED_PERFORMANCE.value] == (bits(4.0), bits(4.0))
    write(actuator, {P.SPEED_PERFORMANCE: 2.0})
    actuator.save_config()


def test_a_save_the_actuator_does_not_confirm_is_a_failure(tmp_path):
    class Silent(DorozeActuatorVirtual):
        def send_ping(self, timeout=1.0):
            return False

    actuator = connected(cls=Silent, address=0x10)
    path = saved_file(actuator, tmp_path)
    with pytest.raises(config.ConfigError, match="did not answer after save_config"):
        config.load(actuator, path, persist=True)


def test_address_and_present_state_only_when_asked(bus, link, tmp_path):
    actuator = real(link, 0x12)
    path = saved_file(actuator, tmp_path)
    rewrite(path, "  VEZ_ADDRESS: 18.0", "  VEZ_ADDRESS: 19.0")
    rewrite(path, "  SETPOINT: 0.0", "  SETPOINT: 0.25")
    report = config.load(actuator, path)
    assert {c.name: c.new for c in report.not_written} == {"VEZ_ADDRESS": 19.0, "SETPOINT": 0.25}
    assert "Not written (bus address, written only when asked): VEZ_ADDRESS: 18.0 -> 19.0" in report.lines()
    assert bus.parameters(0x12)[P.VEZ_ADDRESS.value][0] == bits(18.0)

    report = config.load(actuator, path, write_address=True, write_runtime=True)
    assert report.ok and {c.name for c in report.changes} == {"VEZ_ADDRESS", "SETPOINT"}
    assert report.notes[-1] == "the actuator now answers at address 19"
    assert actuator.address == 19
    moved = real(link, 19)
    assert moved.get_parameters([P.SETPOINT])[P.SETPOINT] == 0.25
    moved.change_address(0x12)
    assert wait_until(lambda: 0x12 in bus.stats(), 5)  # back where the other tests expect it


def test_an_actuator_that_does_not_answer(link, tmp_path):
    silent = DorozeActuatorReal(link, 0x30)
    with pytest.raises(config.ConfigError, match="has not reported its model"):
        config.save(silent, tmp_path / "x.yaml")
    actuator = real(link, 0x10)
    actuator._address = 0x31  # its answers now go nowhere
    with pytest.raises(config.ConfigError, match="did not answer"):
        config.save(actuator, tmp_path / "x.yaml")
    assert not (tmp_path / "x.yaml").exists()


# --- the file itself -----------------------------------------------------------------


def test_the_file_reads_back_with_any_yaml_reader(tmp_path):
    actuator = connected(address=0x10)
    actuator.set_parameters({P.KI_SPEED: 1e-5, P.LIM_TORQUE: 3.0000001, P.TORQUE_FF: -0.0})
    path = tmp_path / "v.yaml"
    saved = config.save(actuator, path)
    data = yaml.safe_load(path.read_text())
    assert data["model"] == "ORBIT_4" and data["address"] == 16 and data["complete"] is True
    assert data["vez_api_version"] == config.version("vez_api")
    for name, value in data["parameters"].items():
        assert isinstance(value, float) or name == "MODE"
        assert bits(value) == bits(saved.parameters[name]), name
    assert "  KI_SPEED: 1.0e-05\n" in path.read_text()
    assert config.read(path).parameters == saved.parameters


def test_saving_replaces_the_file_whole(tmp_path, monkeypatch):
    actuator = connected(address=0x10)
    path = tmp_path / "v.yaml"
    path.write_text("old contents")
    config.save(actuator, path)
    assert config.read(path).model == "ORBIT_4"
    assert os.listdir(tmp_path) == ["v.yaml"]  # no part file left behind

    # A save that fails on the way (a full disk, say) leaves the old file as it was.
    def full_disk(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(config.os, "fsync", full_disk)
    with pytest.raises(OSError, match="No space left"):
        config.save(actuator, path)
    assert config.read(path).model == "ORBIT_4"
    assert os.listdir(tmp_path) == ["v.yaml"]
    with pytest.raises(FileNotFoundError):
        config.save(actuator, tmp_path / "missing" / "v.yaml")


def test_reading_needs_pyyaml(monkeypatch, tmp_path):
    path = tmp_path / "v.yaml"
    config.save(connected(), path)  # writing does not
    monkeypatch.setattr(config, "yaml", None)
    with pytest.raises(ImportError, match="PyYAML"):
        config.read(path)
