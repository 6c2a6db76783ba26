"""ActuatorWrapper.step against the same calls made from Python through ctypes,
and the cost of initialize() with its 20,000-step warm-up.

    python bench/twin_backend_bench.py [--library LIB --bindings PY] [--steps N]

Without paths it uses the installed reference digital twin (found through the
assets search of vez_api._twin_assets) and, when none is installed, builds the
contrived twin of the test suite with the system C compiler.

Both step measurements drive the same private copy of the library: the
baseline is a Python function doing exactly what `step` does (write Reference
and Load, write each optional inport the model has from its shadow, call
DT_step with a reference to the root structure), and a leaner baseline with
everything pre-bound and only the two mandatory writes.  Targets: step at
least 5x the Python baseline; initialize() under 10 ms.
"""

from __future__ import annotations

import argparse
import atexit
import ctypes
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

from vez_api import _twin_assets
from vez_api._twin_backend import ActuatorWrapper

STEP_TARGET_RATIO = 5.0
INIT_TARGET_MS = 10.0
OPTIONAL_INPORTS = (
    ("ref_ff_torque", "_reference_feedforward_torque"),
    ("ref_impedance_spd", "_impedance_speed_reference"),
    ("ref_impedance_acel", "_impedance_acceleration_reference"),
)


def python_step(wrapper, ref_value, load=0.0):
    """The step algorithm written in Python over ctypes."""
    inp = wrapper.inp
    inp.Reference = float(ref_value)
    inp.Load = float(load)
    for field, shadow in OPTIONAL_INPORTS:
        if hasattr(inp, field):
            setattr(inp, field, getattr(wrapper, shadow))
    wrapper._lib.DT_step(ctypes.byref(wrapper.model))


def best_seconds_per_call(loop, calls: int, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        loop(calls)
        best = min(best, time.perf_counter() - start)
    return best / calls


def find_artifacts(args) -> tuple[str, str, str]:
    if args.library and args.bindings:
        return args.library, args.bindings, "given paths"
    try:
        models = _twin_assets.list_available_dtwin_artifacts()
        for model in models:
            try:
                paths = _twin_assets.resolve_dtwin_artifacts(model)
            except FileNotFoundError:
                continue
            return str(paths.library), str(paths.py_bindings), f"reference twin {model}"
    except FileNotFoundError:
        pass
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
    import twin_doubles  # the contrived twin of the test suite

    if twin_doubles.compiler() is None:
        sys.exit("no reference twin installed and no C compiler to build the contrived one")
    directory = Path(tempfile.mkdtemp(prefix="twin_bench_"))
    atexit.register(shutil.rmtree, directory, ignore_errors=True)
    built = twin_doubles.build(twin_doubles.FULL, directory / "build")
    installed = twin_doubles.install(built, directory / "bindings", "BENCH", "Intel_x8664Linux64")
    return str(installed.library), str(installed.bindings), "contrived twin (no reference twin installed)"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--library", help="simulation library (lib<MODEL>_<target>.so)")
    parser.add_argument("--bindings", help="its bindings module (bindings_<MODEL>_<target>.py)")
    parser.add_argument("--steps", type=int, default=200_000, help="step calls per measurement")
    parser.add_argument("--repeats", type=int, default=5, help="measurements per figure (the best counts)")
    args = parser.parse_args()
    if bool(args.library) != bool(args.bindings):
        parser.error("--library and --bindings go together")

    library, bindings, origin = find_artifacts(args)
    print(f"twin: {origin}\n  library  {library}\n  bindings {bindings}")
    wrapper = ActuatorWrapper(library, bindings)
    wrapper.initialize()

    step = wrapper.step

    def wrapper_loop(n):
        for _ in range(n):
            step(0.1, 0.0)

    def python_loop(n):
        for _ in range(n):
            python_step(wrapper, 0.1, 0.0)

    inp, dt_step, model_ref = wrapper.inp, wrapper._lib.DT_step, ctypes.byref(wrapper.model)

    def prebound_loop(n):
        for _ in range(n):
            inp.Reference = 0.1
            inp.Load = 0.0
            dt_step(model_ref)

    def empty_loop(n):
        for _ in range(n):
            pass

    empty = best_seconds_per_call(empty_loop, args.steps, args.repeats)
    fast = best_seconds_per_call(wrapper_loop, args.steps, args.repeats)
    baseline = best_seconds_per_call(python_loop, args.steps, args.repeats)
    prebound = best_seconds_per_call(prebound_loop, args.steps, args.repeats)
    optional = [f for f, _ in OPTIONAL_INPORTS if hasattr(inp, f)]
    print(f"\nstep (optional inports written: {', '.join(optional) or 'none'}), {args.steps} calls, best of {args.repeats}")
    print(f"  ActuatorWrapper.step        {fast * 1e9:8.0f} ns/call  {1 / fast:12,.0f} calls/s")
    print(f"  Python step over ctypes     {baseline * 1e9:8.0f} ns/call  {1 / baseline:12,.0f} calls/s")
    print(f"  Python, pre-bound, 2 writes {prebound * 1e9:8.0f} ns/call  {1 / prebound:12,.0f} calls/s")
    print(f"  (empty Python loop          {empty * 1e9:8.0f} ns/iteration)")
    ratio = baseline / fast
    print(f"  ratio vs Python step: {ratio:.1f}x (target {STEP_TARGET_RATIO:.0f}x: {'met' if ratio >= STEP_TARGET_RATIO else 'NOT met'})")
    print(f"  ratio vs pre-bound:   {prebound / fast:.1f}x")

    warmup_steps = 20_000
    timings = []
    for _ in range(max(args.repeats, 5)):
        wrapper.terminate()
        start = time.perf_counter()
        wrapper.initialize()
        timings.append(time.perf_counter() - start)
    python_warmup = best_seconds_per_call(
        lambda n: [dt_step(model_ref) for _ in range(n)], warmup_steps, args.repeats
    ) * warmup_steps
    best, median = min(timings) * 1e3, statistics.median(timings) * 1e3
    print(f"\ninitialize() with its {warmup_steps:,}-step warm-up (step {wrapper.get_sim_time_step_s():g} s)")
    print(f"  best {best:.2f} ms, median {median:.2f} ms (target < {INIT_TARGET_MS:.0f} ms: "
          f"{'met' if median < INIT_TARGET_MS else 'NOT met'})")
    print(f"  the same steps from a Python loop over ctypes: {python_warmup * 1e3:.2f} ms")
    wrapper.terminate()
    return 0


if __name__ == "__main__":
    sys.exit(main())
