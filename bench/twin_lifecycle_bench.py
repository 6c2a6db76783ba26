"""Digital twins made and dropped over and over, as reinforcement-learning
resets, parameter sweeps and long services do:

  (a) ActuatorWrapper: create -> initialize -> step -> terminate -> drop,
      100,000 times;
  (b) DorozeActuatorVirtual: set_actuator -> connect -> step -> disconnect ->
      drop, 20,000 times;

on the reference digital twin.  After a warm-up, the resident set size, the
memory mappings and the open files are taken before and after the cycles
(each time after full garbage collections), and the mappings are sampled
during the run to show that unreachable library copies do not pile up.

Targets: RSS growth under 20 MB for each run, mappings and open files flat.
The baseline measured in the same run is the same cycle on one wrapper kept
for all of them (initialize -> step -> terminate, no new copy): the ratio
says what making and reclaiming a private copy costs on top.

    python bench/twin_lifecycle_bench.py [--model ORBIT_4] [--wrappers N] [--actuators N]
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time

from vez_api._twin_assets import resolve_dtwin_artifacts
from vez_api._twin_backend import ActuatorWrapper
from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual

RSS_TARGET_BYTES = 20 * 1024 * 1024
WARMUP_CYCLES = 200


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def mappings() -> int:
    with open("/proc/self/maps") as f:
        return sum(1 for _ in f)


def open_files() -> int:
    return len(os.listdir("/proc/self/fd"))


def settle() -> None:
    for _ in range(3):
        gc.collect()


def run(label: str, cycle, count: int, baseline_seconds: float) -> None:
    if count <= 0:
        return
    for _ in range(WARMUP_CYCLES):
        cycle()
    settle()
    rss0, maps0, files0 = rss_bytes(), mappings(), open_files()
    peak_maps = maps0
    start = time.perf_counter()
    step = max(1, count // 10)
    for i in range(1, count + 1):
        cycle()
        if i % 100 == 0:
            peak_maps = max(peak_maps, mappings())
        if i % step == 0:
            print(f"  {label}: {i:>7,} cycles, RSS {rss_bytes() / 1e6:7.1f} MB, {mappings()} mappings", flush=True)
    seconds = (time.perf_counter() - start) / count
    settle()
    grown, maps, files = rss_bytes() - rss0, mappings() - maps0, open_files() - files0
    ok = grown < RSS_TARGET_BYTES and maps <= 0 and files <= 0
    print(f"  {label}: {count:,} cycles, {seconds * 1e3:.2f} ms/cycle "
          f"({seconds / baseline_seconds:.2f}x the kept wrapper's cycle)")  # fmt: skip
    print(f"    RSS {grown / 1e6:+.1f} MB (< 20 MB), mappings {maps:+d} (peak {peak_maps - maps0:+d} during the run), "
          f"open files {files:+d}: {'met' if ok else 'NOT met'}")  # fmt: skip


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="ORBIT_4")
    parser.add_argument("--wrappers", type=int, default=100_000, help="ActuatorWrapper cycles")
    parser.add_argument("--actuators", type=int, default=20_000, help="DorozeActuatorVirtual cycles")
    args = parser.parse_args()
    paths = resolve_dtwin_artifacts(args.model)
    library, bindings = str(paths.library), str(paths.py_bindings)

    def wrapper_cycle():
        w = ActuatorWrapper(library, bindings)
        w.initialize()
        w.step(0.1)
        w.terminate()

    def actuator_cycle():
        a = DorozeActuatorVirtual()
        a.set_actuator(args.model)
        a.connect()
        a.step()
        a.disconnect()

    kept = ActuatorWrapper(library, bindings)

    def kept_cycle():
        kept.initialize()
        kept.step(0.1)
        kept.terminate()

    for _ in range(20):
        kept_cycle()
    start = time.perf_counter()
    for _ in range(200):
        kept_cycle()
    baseline = (time.perf_counter() - start) / 200
    print(f"reference twin {args.model}; baseline: initialize -> step -> terminate on one kept wrapper "
          f"{baseline * 1e3:.2f} ms")  # fmt: skip
    run("ActuatorWrapper", wrapper_cycle, args.wrappers, baseline)
    run("DorozeActuatorVirtual", actuator_cycle, args.actuators, baseline)
    return 0


if __name__ == "__main__":
    sys.exit(main())
