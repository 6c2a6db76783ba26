"""The helpers of `make test`: the choice of the second interpreter and the
summary of counts, whose mistakes would quietly test less or report a failed
run as passed."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent.parent
FIND_SECOND = TESTS / "find_second_python.sh"
SUMMARIZE = TESTS / "summarize_counts.py"


# --- the second interpreter -------------------------------------------------------


@pytest.fixture
def machine(tmp_path):
    """A pyenv root and a PATH of our own; interpreters are links to this one."""
    pyenv = tmp_path / "pyenv"
    path_dir = tmp_path / "bin"
    path_dir.mkdir()
    for tool in ("ls", "sort"):
        (path_dir / tool).symlink_to(shutil.which(tool))

    def add_pyenv(version, usable=True):
        minor = version.rsplit(".", 1)[0]
        bin_dir = pyenv / "versions" / version / "bin"
        bin_dir.mkdir(parents=True)
        target = sys.executable if usable else str(tmp_path / "missing")
        (bin_dir / f"python{minor}").symlink_to(target)
        return str(bin_dir / f"python{minor}")

    def add_on_path(minor):
        (path_dir / f"python3.{minor}").symlink_to(sys.executable)
        return str(path_dir / f"python3.{minor}")

    def system(minor):
        fake = tmp_path / f"system3{minor}"
        fake.write_text(f"#!/bin/sh\necho {minor}\n")
        fake.chmod(0o755)
        return str(fake)

    def choose(system_minor):
        env = {"PYENV_ROOT": str(pyenv), "PATH": str(path_dir), "HOME": str(tmp_path)}
        out = subprocess.run(
            ["/bin/bash", str(FIND_SECOND), system(system_minor)], env=env, capture_output=True, text=True, timeout=60
        )
        assert out.returncode == 0, out.stderr
        return out.stdout.strip()

    machine = type("Machine", (), {})()
    machine.add_pyenv, machine.add_on_path, machine.system, machine.choose = add_pyenv, add_on_path, system, choose
    return machine


def test_second_interpreter_is_313_beside_311_else_311(machine):
    machine.add_pyenv("3.12.1")
    old = machine.add_pyenv("3.13.2")
    newest = machine.add_pyenv("3.13.10")  # a version order, not a text order
    py311 = machine.add_pyenv("3.11.7")
    assert machine.choose(11) == newest != old
    assert machine.choose(13) == py311
    assert machine.choose(12) == py311


def test_second_interpreter_stand_ins(machine):
    assert machine.choose(11).endswith("system311")  # nothing else at all: the system's own
    on_path = machine.add_on_path(12)
    assert machine.choose(11) == on_path  # the wanted 3.13 missing: another version
    machine.add_pyenv("3.13.1", usable=False)  # a broken install is passed over
    assert machine.choose(11) == on_path
    assert machine.add_pyenv("3.10.13") and machine.choose(11) == on_path  # newer first
    assert machine.choose(12).endswith("python3.10")  # never the system's own version


# --- the summary -----------------------------------------------------------------


def summarize(counts: Path):
    out = subprocess.run([sys.executable, str(SUMMARIZE), str(counts)], capture_output=True, text=True, timeout=60)
    return out.returncode, out.stdout.splitlines()


def write_logs(counts: Path, **logs):
    counts.mkdir(exist_ok=True)
    for name, text in logs.items():
        (counts / (name.replace("_", "-") + ".log")).write_text(text)


GTEST_OK = "[==========] 12 tests from 3 test suites ran. (5 ms total)\n[  PASSED  ] 12 tests.\n"


def test_summary_totals_every_suite_of_both_interpreters(tmp_path):
    write_logs(
        tmp_path,
        gtest=GTEST_OK,
        asan=GTEST_OK,
        twin_gtest="[  PASSED  ] 1 test.\n",
        twin_asan="[  PASSED  ] 1 test.\n",
        pytest="....\n500 passed, 2 skipped in 80.12s (0:01:20)\n",
        twin_pytest="76 passed in 8.19s\n",
        second_python="3.13.0 pydantic 2.14.4\n",
        second_pytest="==== 499 passed, 3 skipped, 1 xfailed in 45.00s ====\n",
        second_twin_pytest="76 passed in 9.01s\n",
    )
    code, lines = summarize(tmp_path)
    assert code == 0
    assert lines[-1] == f"total: {12 + 12 + 1 + 1 + 500 + 76 + 499 + 1 + 76} passed, 0 failed, 5 skipped"
    assert any(line.startswith("Python 3.13.0 pydantic 2.14.4") for line in lines)


def test_summary_counts_failures_and_missing_results(tmp_path):
    write_logs(
        tmp_path,
        gtest=GTEST_OK + "[  FAILED  ] 2 tests, listed below:\n",
        pytest="1 failed, 9 passed, 1 error in 3.00s\n",
        twin_pytest="collected 0 items / 1 error\nInterrupted: 1 error during collection\n",
        second_pytest="something went wrong before pytest's last line\n",
        second_python="3.13.0 pydantic 2.14.4\n",
    )
    code, lines = summarize(tmp_path)
    assert code == 1
    # gtest 2, pytest 1 + 1 error, twin 1 error, second pytest unreadable 1
    assert lines[-1].startswith("total: 9 passed, 6 failed")
    assert "not run" in lines[lines.index("=== summary ===") + 1]  # the ASan log is missing


def test_summary_without_second_interpreter(tmp_path):
    write_logs(tmp_path, pytest="3 passed in 0.1s\n")
    code, lines = summarize(tmp_path)
    assert "second interpreter: not run" in lines
    assert code == 0 and lines[-1] == "total: 3 passed, 0 failed, 0 skipped"
