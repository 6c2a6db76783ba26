"""What one simulation step costs a Python caller through ctypes, the way the
package's wrapper steps a twin: write Reference and Load, call DT_step.

Baseline (same run): a ctypes call of a foreign function that does nothing
but return (get_sim_time_step_s), i.e. the price of crossing into C at all.

Assets: VEZ_API_VIRTUAL_ASSETS_ROOT, else the tree installed with the package.
"""

import ctypes
import importlib.machinery
import os
import pathlib
import sysconfig
import time
import types

STEPS = 200_000


def bindings_dir():
    root = os.environ.get("VEZ_API_VIRTUAL_ASSETS_ROOT") or sysconfig.get_paths()["platlib"]
    return pathlib.Path(root) / "data" / "assets" / "actuators" / "digital_twin_libs_bindings"


def load(path):
    loader = importlib.machinery.SourceFileLoader("dtwin", str(path))
    module = types.ModuleType(loader.name)
    module.__file__ = str(path)
    loader.exec_module(module)
    return module


def per_call_ns(fn, n):
    t0 = time.process_time_ns()
    fn(n)
    return (time.process_time_ns() - t0) / n


def main():
    found = sorted(bindings_dir().glob("bindings_ORBIT_4_*.py"))
    if not found:
        print("twin ctypes bench: no ORBIT_4 bindings under", bindings_dir())
        return
    lib = load(found[0])
    root = lib.RT_MODEL_DT_T()
    ptr = ctypes.byref(root)
    lib.DT_initialize(ptr)
    inp = lib.get_inports_ptr().contents
    inp.Enable, inp.ControlType = True, 6
    step, noop = lib.DT_step, lib.get_sim_time_step_s
    dt = noop()

    def noop_loop(n):
        for _ in range(n):
            noop()

    def step_loop(n):
        for i in range(n):
            inp.Reference = 10.0 if (i // 5000) % 2 else -10.0
            inp.Load = 0.5
            step(ptr)

    base = per_call_ns(noop_loop, STEPS)
    cost = per_call_ns(step_loop, STEPS)
    print("twin step through ctypes (ORBIT_4, %d steps, process CPU time)" % STEPS)
    print("  baseline   %8.1f ns/call   (empty foreign call)" % base)
    print("  step       %8.1f ns/step   %6.0fx real time   ratio to baseline %.2f" % (cost, dt * 1e9 / cost, cost / base))


if __name__ == "__main__":
    main()
