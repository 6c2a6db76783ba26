"""How long an ActuatorWrapper's private library copy lives, what happens to
damaged artifacts, and the temporary folders of processes that are gone.

A copy is unloaded once nothing that can reach into it is left (wrapper,
structure views, foreign functions); until then it stays mapped.  Copies are
observed in /proc/self/maps."""

import ctypes
import gc
import json
import os
import signal
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import twin_doubles
import vez_api._twin_backend as backend
from vez_api._twin_backend import ActuatorWrapper

TARGET = "Intel_x8664Linux64"
MARKER = ".vez_api_owner"


@pytest.fixture(scope="session")
def built(tmp_path_factory):
    if twin_doubles.compiler() is None:
        pytest.skip("no C compiler to build the contrived twins")
    directory = tmp_path_factory.mktemp("lifetime_twins")
    return {v.name: twin_doubles.build(v, directory) for v in twin_doubles.VARIANTS}


@pytest.fixture
def twin(built, tmp_path):
    """The FULL contrived twin laid out in a fresh folder: (library, bindings).
    Its bindings declare their functions through a helper function, which
    makes the module's namespace a reference cycle."""
    installed = twin_doubles.install(built["FULL"], tmp_path / "bindings", "FULL", TARGET)
    return str(installed.library), str(installed.bindings)


@pytest.fixture
def plain_twin(built, tmp_path):
    """The same twin with bindings written statement by statement, as generated
    bindings are: nothing of the module forms a reference cycle."""
    installed = twin_doubles.install(built["FULL"], tmp_path / "plain", "FULL", TARGET, helper=False)
    return str(installed.library), str(installed.bindings)


def collect():
    # a copy's foreign functions refer to themselves: the collector frees
    # them, and what they held on the following passes
    for _ in range(3):
        gc.collect()


def mapped(path: str) -> bool:
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").split(maxsplit=5)[-1].removesuffix(" (deleted)") == path for line in maps)


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_files() -> int:
    return len(os.listdir("/proc/self/fd"))


def library_mappings() -> int:
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if line.rstrip().endswith((".so", ".so (deleted)")))


# --- when a copy goes --------------------------------------------------------------


@pytest.mark.parametrize("terminated", [True, False], ids=["terminated", "never-terminated"])
def test_collected_wrapper_unloads_its_copy_and_releases_its_classes(twin, terminated):
    w = ActuatorWrapper(*twin)
    w.initialize()
    w.step(1.0)
    ctypes.POINTER(type(w.meas))  # a pointer type the application made itself
    copy, folder = w._lib._dll._name, w.tmp_dir
    classes = [weakref.ref(type(view)) for view in (w.inp, w.meas, w.filter, w.model)]
    if terminated:
        w.terminate()
    assert mapped(copy)
    del w
    collect()
    assert not mapped(copy) and not os.path.exists(folder)
    # released, although ctypes' pointer-type cache had entries for them
    assert all(ref() is None for ref in classes)


def test_reachable_wrapper_keeps_its_copy_through_terminate(twin):
    w = ActuatorWrapper(*twin)
    w.initialize()
    w.terminate()
    collect()
    assert mapped(w._lib._dll._name)
    w.initialize()  # the same wrapper runs again on its copy
    w.step(1.0)
    assert w.meas.steps == 20003


@pytest.mark.parametrize("take", ["view", "filter", "function", "raw library"])
def test_objects_taken_from_a_wrapper_keep_its_copy_loaded(twin, take):
    w = ActuatorWrapper(*twin)
    w.step(2.0, 0.5)
    copy = w._lib._dll._name
    taken = {"view": lambda: w.meas, "filter": lambda: w.filter, "function": lambda: w._lib.get_meas_ptr,
             "raw library": lambda: w._lib._dll}[take]()  # fmt: skip
    del w
    collect()
    assert mapped(copy)
    # what was taken still reads the copy's memory
    if take == "view":
        assert (taken.steps, taken.last_load) == (1, 0.5)
    elif take == "filter":
        assert (taken.spd_cutoff, taken.current_cutoff) == (100.0, 200.0)
    elif take == "function":
        assert taken().contents.steps == 1
    else:
        assert ctypes.c_double.in_dll(taken, "sim_time_step_s").value == 5e-05
    del taken
    collect()
    assert not mapped(copy)


def test_views_from_an_overridden_binding_keep_the_copy_for_good(twin):
    class OwnViews(ActuatorWrapper):
        def _bind_ctypes(self):
            super()._bind_ctypes()
            self.meas = self._lib.get_meas_ptr().contents  # a view that does not hold the copy

    w = OwnViews(*twin)
    copy, view = w._lib._dll._name, w.meas
    del w
    collect()
    assert mapped(copy) and view.steps == 0


def test_copies_of_dropped_wrappers_go_without_the_collector(plain_twin):
    # A copy nothing can reach any more is unloaded when the next wrapper is
    # made, without waiting for a collection of the oldest generation.
    copies = []
    gc.disable()
    try:
        for _ in range(40):
            w = ActuatorWrapper(*plain_twin)
            copies.append(w._lib._dll._name)
            w.initialize()
            w.terminate()
            del w
        assert [c for c in copies if mapped(c)] == copies[-1:]
    finally:
        gc.enable()


def test_a_copy_reached_from_elsewhere_is_not_released_early(plain_twin):
    w = ActuatorWrapper(*plain_twin)
    copy, step = w._lib._dll._name, w._lib.DT_step
    # what a program might hold: the functions the CDLL object keeps
    functions = {k: v for k, v in vars(w._lib._dll).items() if isinstance(v, ctypes._CFuncPtr)}
    del w
    gc.disable()
    try:
        ActuatorWrapper(*plain_twin)
        assert mapped(copy)
        del step
        ActuatorWrapper(*plain_twin)
        assert mapped(copy)
        functions.clear()
        ActuatorWrapper(*plain_twin)
        assert not mapped(copy)
    finally:
        gc.enable()


@pytest.mark.slow
def test_thousands_of_wrappers_leave_memory_mappings_and_files_flat(plain_twin):
    def cycle():
        w = ActuatorWrapper(*plain_twin)
        w.initialize()
        w.step(0.5, 0.1)
        w.terminate()

    for _ in range(200):
        cycle()
    collect()
    rss, maps, files = rss_bytes(), library_mappings(), open_files()
    for _ in range(2000):
        cycle()
    collect()
    assert library_mappings() == maps and open_files() == files
    grown = rss_bytes() - rss
    # A leaked copy costs ~150 kB, 300 MB over these cycles; the margin is for
    # the allocator's arenas, which late in a long test session grow a few MB.
    assert grown < 32 * 1024 * 1024, f"RSS grew by {grown} bytes over 2000 wrappers"


# --- damaged artifacts -----------------------------------------------------------------


def damaged_copies(library: Path, folder: Path) -> dict:
    """Damaged variants of a library, each next to a copy of its bindings
    (which load the library that lies beside them)."""
    data = library.read_bytes()
    foreign_machine = bytearray(data)
    foreign_machine[18:20] = (183).to_bytes(2, "little")  # AArch64
    foreign_class = bytearray(data)
    foreign_class[4] = 1  # 32-bit
    return {
        "cut to 40%": data[: len(data) * 4 // 10],
        "cut to 4 kB": data[:4096],
        "zero length": b"",
        "not ELF": b"#!/bin/sh\necho this is no library\n",
        "foreign machine": bytes(foreign_machine),
        "foreign class": bytes(foreign_class),
    }


DAMAGED_REASONS = {
    "cut to 40%": "the file is cut short: loadable segment ",
    "cut to 4 kB": "the file is cut short: ",
    "zero length": "the file is empty",
    "not ELF": "not an ELF file",
    "foreign machine": "built for AArch64 (ELF machine 183); this process runs on x86-64 (ELF machine 62)",
    "foreign class": "a 32-bit library; this process loads 64-bit ones",
}

# Runs in a child process: a loader crash there fails the test instead of
# killing the test run.
DAMAGED_SCRIPT = textwrap.dedent(
    """
    import json, os, sys, tempfile
    import vez_api._twin_backend as backend
    from vez_api._twin_backend import ActuatorWrapper
    made = []
    real_mkdtemp = backend.tempfile.mkdtemp
    backend.tempfile.mkdtemp = lambda: made.append(real_mkdtemp()) or made[-1]
    def mappings():
        with open("/proc/self/maps") as f:
            return sum(1 for line in f)
    for case, library, bindings in json.loads(sys.argv[1]):
        before, count = mappings(), ActuatorWrapper.instance_count
        made.clear()
        try:
            ActuatorWrapper(library, bindings)
            outcome = {"error": None}
        except Exception as e:
            outcome = {"error": type(e).__name__, "text": str(e), "errno": getattr(e, "errno", None),
                       "filename": getattr(e, "filename", None), "notes": getattr(e, "__notes__", [])}
        outcome.update(case=case, folders=[f for f in made if os.path.exists(f)], new_mappings=mappings() - before,
                       counted=ActuatorWrapper.instance_count - count)
        print(json.dumps(outcome), flush=True)
    """
)


def run_cases(cases):
    out = subprocess.run([sys.executable, "-c", DAMAGED_SCRIPT, json.dumps(cases)],
                         capture_output=True, text=True, timeout=120)  # fmt: skip
    assert out.returncode == 0, out.stderr[-2000:]
    return {r["case"]: r for r in map(json.loads, out.stdout.splitlines())}


def test_damaged_libraries_are_refused_with_the_reason(built, tmp_path):
    original = twin_doubles.install(built["FULL"], tmp_path / "good", "FULL", TARGET)
    cases = []
    for case, data in damaged_copies(original.library, tmp_path).items():
        folder = tmp_path / case.replace(" ", "_").replace("%", "pc")
        installed = twin_doubles.install(built["FULL"], folder, "FULL", TARGET)
        installed.library.write_bytes(data)
        cases.append((case, str(installed.library), str(installed.bindings)))
    results = run_cases(cases)
    for case, library, _ in cases:
        r = results[case]
        assert r["error"] == "OSError", (case, r)
        assert r["errno"] == 8 and r["filename"] == library, (case, r)
        assert r["text"].startswith("[Errno 8] Digital-twin library cannot be loaded: " + DAMAGED_REASONS[case]), (case, r)
        assert r["text"].endswith(f": '{library}'"), (case, r)
        assert (r["folders"], r["counted"]) == ([], 0), (case, r)
        assert r["new_mappings"] <= 0, (case, r)


def test_library_damaged_after_the_bindings_ran_is_refused_before_loading(twin, monkeypatch):
    library, bindings = twin
    real_copy = backend.shutil.copy2
    made = []
    real_mkdtemp = backend.tempfile.mkdtemp
    monkeypatch.setattr(backend.tempfile, "mkdtemp", lambda: made.append(real_mkdtemp()) or made[-1])

    def copy_cut_short(source, destination):
        real_copy(source, destination)
        data = Path(destination).read_bytes()
        Path(destination).write_bytes(data[: len(data) // 2])

    monkeypatch.setattr(backend.shutil, "copy2", copy_cut_short)
    with pytest.raises(OSError) as info:
        ActuatorWrapper(library, bindings)
    assert info.value.filename == library and "cut short" in str(info.value)
    assert len(made) == 1 and not os.path.exists(made[0])


def test_a_fake_loader_is_not_second_guessed(twin, monkeypatch):
    # with the loader replaced, what the file holds is the replacement's affair
    library, bindings = twin
    Path(library).write_bytes(b"not a library at all")
    loads = []
    monkeypatch.setattr(backend.ctypes, "CDLL", lambda path, mode: loads.append(path) or object())
    with pytest.raises(Exception) as info:
        ActuatorWrapper(library, bindings)
    assert not isinstance(info.value, OSError) or "cannot be loaded" not in str(info.value)


def test_bindings_that_raise_on_import(twin, tmp_path, monkeypatch):
    library, bindings = twin
    Path(bindings).write_text(Path(bindings).read_text() + "\nraise RuntimeError('generated for another model')\n")
    made = []
    real_mkdtemp = backend.tempfile.mkdtemp
    monkeypatch.setattr(backend.tempfile, "mkdtemp", lambda: made.append(real_mkdtemp()) or made[-1])
    count = ActuatorWrapper.instance_count
    # The message itself, compared directly: pytest 8 and later match
    # against the message together with the notes.
    with pytest.raises(RuntimeError) as info:
        ActuatorWrapper(library, bindings)
    assert info.value.args == ("generated for another model",)
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"raised while executing the digital-twin bindings {bindings}"]
    assert made == [] and ActuatorWrapper.instance_count == count


# --- folders of processes that are gone ------------------------------------------------


def own_namespace() -> int:
    return os.stat("/proc/self/ns/pid").st_ino


def ended_pid() -> int:
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait(timeout=60)
    return child.pid


def test_new_wrapper_removes_folders_of_processes_that_are_gone(twin, tmp_path, monkeypatch):
    place = tmp_path / "temp"
    place.mkdir()
    folders = {}
    for name, marker in [("gone", f"vez_api {ended_pid()} 0 {own_namespace()}\n"),
                         ("alive", f"vez_api {os.getpid()} 0 {own_namespace()}\n"),
                         ("unmarked", None), ("foreign", "somebody else's file\n")]:  # fmt: skip
        folders[name] = place / f"tmp_{name}"
        folders[name].mkdir()
        (folders[name] / "libcopy.so").write_bytes(b"\x7fELF")
        if marker is not None:
            (folders[name] / MARKER).write_text(marker)

    real_mkdtemp = backend.tempfile.mkdtemp
    monkeypatch.setattr(backend.tempfile, "mkdtemp", lambda: real_mkdtemp(dir=place))
    w = ActuatorWrapper(*twin)
    assert not folders["gone"].exists()
    assert all(folders[name].exists() for name in ("alive", "unmarked", "foreign"))
    owner = (Path(w.tmp_dir) / MARKER).read_text().split()
    assert owner[:2] == ["vez_api", str(os.getpid())] and owner[3] == str(own_namespace())


@pytest.mark.parametrize("how", ["SIGKILL", "SIGTERM", "os._exit"])
def test_folder_of_a_killed_process_is_removed_by_the_next_one(twin, tmp_path, monkeypatch, how):
    place = tmp_path / "temp"
    place.mkdir()
    ending = {"SIGKILL": "os.kill(os.getpid(), signal.SIGKILL)", "SIGTERM": "os.kill(os.getpid(), signal.SIGTERM)",
              "os._exit": "os._exit(3)"}[how]  # fmt: skip
    script = (
        "import os, signal, sys\nfrom vez_api._twin_backend import ActuatorWrapper\n"
        f"w = ActuatorWrapper(sys.argv[1], sys.argv[2])\nprint(w.tmp_dir, flush=True)\n{ending}\n"
    )
    out = subprocess.run([sys.executable, "-c", script, *twin], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "TMPDIR": str(place)})  # fmt: skip
    left = Path(out.stdout.strip())
    assert left.parent == place and (left / MARKER).exists()  # what the dying process left behind

    real_mkdtemp = backend.tempfile.mkdtemp
    monkeypatch.setattr(backend.tempfile, "mkdtemp", lambda: real_mkdtemp(dir=place))
    ActuatorWrapper(*twin)
    assert not left.exists()
