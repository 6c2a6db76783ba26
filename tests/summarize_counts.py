"""The summary at the end of `make test`, read from the logs in build/counts.

    python tests/summarize_counts.py [COUNTS_DIR]

One line per suite, then a total of every test case run (GoogleTest and
pytest, on both interpreters) as a last line of the form
"total: N passed, N failed, N skipped".  A suite whose log is missing is shown
as not run; a log that cannot be read as a passing run counts as a failure.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

PYTEST_OUTCOMES = ("passed", "failed", "errors", "error", "skipped", "xfailed", "xpassed")


class Totals:
    def __init__(self) -> None:
        self.passed = self.failed = self.skipped = 0


def read(counts: Path, name: str) -> str | None:
    try:
        return (counts / name).read_text(errors="replace")
    except FileNotFoundError:
        return None


def gtest(counts: Path, name: str, totals: Totals) -> str:
    """'N tests' from a GoogleTest log written with --gtest_brief=1."""
    text = read(counts, name)
    if text is None:
        return "not run"
    passed = re.search(r"\[  PASSED  \] (\d+) tests?", text)
    failed = re.search(r"\[  FAILED  \] (\d+) tests?", text)
    if failed or not passed:
        totals.failed += int(failed.group(1)) if failed else 1
        return "FAILED"
    totals.passed += int(passed.group(1))
    return f"{passed.group(1)} tests"


def pytest(counts: Path, name: str, totals: Totals) -> str:
    """pytest's closing line, e.g. '512 passed, 3 skipped in 80.1s'."""
    text = read(counts, name)
    if text is None:
        return "not run"
    lines = [line.strip("= ") for line in text.splitlines() if re.search(r"\d+ (passed|failed|error)", line)]
    if not lines:
        totals.failed += 1
        return "no result"
    last = lines[-1]
    found = {word: int(n) for n, word in re.findall(r"(\d+) (\w+)", last) if word in PYTEST_OUTCOMES}
    totals.passed += found.get("passed", 0) + found.get("xfailed", 0)
    totals.failed += found.get("failed", 0) + found.get("errors", 0) + found.get("error", 0) + found.get("xpassed", 0)
    totals.skipped += found.get("skipped", 0)
    return last


def main(counts: Path) -> int:
    totals = Totals()
    lines = ["", "=== summary ==="]
    lines.append(f"GoogleTest : {gtest(counts, 'gtest.log', totals)} "
                 f"(and again under ASan/UBSan: {gtest(counts, 'asan.log', totals)})")
    fuzz = read(counts, "fuzz.log")
    replays = read(counts, "replay.log")
    if fuzz is not None:
        runs = ", ".join(f"{parts[0]}: {parts[1]} runs" for parts in map(str.split, fuzz.splitlines()) if len(parts) == 2)
        inputs = sum(int(n) for n in re.findall(r"(\d+) inputs", replays or ""))
        lines.append(f"fuzz smoke : {runs}; corpus replays: {inputs} inputs")
    validation = read(counts, "validation-backend.log")
    lines.append(f"pytest     : {pytest(counts, 'pytest.log', totals)}"
                 + (f" (validation: {validation.strip()})" if validation else ""))
    lines.append(f"twin       : GoogleTest {gtest(counts, 'twin-gtest.log', totals)} "
                 f"(ASan/UBSan: {gtest(counts, 'twin-asan.log', totals)}), "
                 f"pytest {pytest(counts, 'twin-pytest.log', totals)}")
    second = read(counts, "second-python.log")
    if second is None:
        lines.append("second interpreter: not run")
    else:
        lines.append(f"Python {second.strip()} (pip install from the package index):")
        lines.append(f"  pytest   : {pytest(counts, 'second-pytest.log', totals)}")
        lines.append(f"  twin     : pytest {pytest(counts, 'second-twin-pytest.log', totals)}")
    lines.append(f"total: {totals.passed} passed, {totals.failed} failed, {totals.skipped} skipped")
    print("\n".join(lines))
    return 1 if totals.failed else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1] if len(sys.argv) > 1 else "build/counts")))
