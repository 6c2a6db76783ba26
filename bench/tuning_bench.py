"""Gain tuning on the twin (vez_api.tuning), against baselines measured in the
same run:

  (a) one 1-s position-step scenario through run() (log off, response and
      metrics), against the same simulated second stepped through the
      virtual actuator with its log off.  The first run in a process makes
      and warms up a fresh virtual actuator; later runs start from its state
      saved after the warm-up (the twin library can restore it), so both
      figures are shown;
  (b) a sweep of N candidates (default 1,000) on a local process pool of
      2 workers;
  (c) the same M candidates (default 200) on 1 worker and on 2 workers: the
      speed-up;
  (d) the same M candidates on a dask LocalCluster of 2 single-threaded
      worker processes, against the process pool of 2.

    python bench/tuning_bench.py [--model ORBIT_4] [--candidates N] [--compare M] [--repeats R]
                                 [--sweep-repeats S]

Targets: (a) <= 10 ms per 1-s scenario; (b) <= 15 s; (c) >= 1.7x;
(d) within 20 % of the pool.  Each parallel line also shows how much of the
workers' time went to anything but simulating (task shipping, start-up,
imbalance), from the serial cost of one run.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import multiprocessing
import os
import statistics
import time
import warnings

from vez_api import tuning
from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual

TARGETS = {"run_ms": 10.0, "sweep_s": 15.0, "speedup": 1.7, "dask_ratio": 1.2}


def scenario(model: str) -> tuning.Scenario:
    return tuning.Scenario(model, mode="POSITION", setpoint=tuning.Step(1.0), load=((0.5, 2.0),), duration=1.0,
                           vary=("KP_POSITION", "KP_SPEED", "KI_SPEED"))


def candidates(n: int) -> list[dict]:
    return tuning.latin_hypercube({"KP_POSITION": (5, 80), "KP_SPEED": (1, 10), "KI_SPEED": (10, 400)}, n, seed=1)


def median_time(fn, repeats: int, clock=time.perf_counter) -> float:
    times = []
    for _ in range(repeats):
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return statistics.median(times)


def plain_virtual_second(model: str) -> None:
    act = fresh_actuator(model)
    act.start()
    act.change_position_setpoint(1.0)
    act.step(steps=20000)
    act.disconnect()


def fresh_actuator(model: str) -> DorozeActuatorVirtual:
    act = DorozeActuatorVirtual(telemetry_max_ticks=0)
    act.set_actuator(model)
    act.connect()
    return act


def setup_parts(model: str, repeats: int) -> tuple[float, float]:
    """Median seconds to make and connect a fresh actuator (assets search,
    private library copy, bindings) and of its first start (the warm-up)."""
    make, warm_up = [], []
    for _ in range(repeats):
        t0 = time.perf_counter()
        act = fresh_actuator(model)
        t1 = time.perf_counter()
        act.start()
        t2 = time.perf_counter()
        act.disconnect()
        make.append(t1 - t0)
        warm_up.append(t2 - t1)
    return statistics.median(make), statistics.median(warm_up)


def timed_sweep(sc, cands, **kwargs) -> float:
    t0 = time.perf_counter()
    result = tuning.sweep(sc, cands, **kwargs)
    elapsed = time.perf_counter() - t0
    assert len(result.ranked) == len(cands), [r.error for r in result.failed][:3]
    return elapsed


def tree_cpu_s() -> float:
    """CPU seconds used so far by this process and every process below it
    that is still running (the pools' and the cluster's), from /proc."""
    tick = os.sysconf("SC_CLK_TCK")
    parents, used = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
        used[int(entry)] = (int(fields[11]) + int(fields[12])) / tick
    ours, grown = {os.getpid()}, True
    while grown:
        grown = False
        for pid, parent in parents.items():
            if parent in ours and pid not in ours:
                ours.add(pid)
                grown = True
    return sum(used.get(pid, 0.0) for pid in ours)


def pool(workers: int) -> concurrent.futures.ProcessPoolExecutor:
    return concurrent.futures.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("forkserver"))


def warm(executor, sc) -> None:
    # Start every worker and import the package there before timing.
    tuning.sweep(sc, candidates(8), executor=executor, chunk_size=1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="ORBIT_4")
    parser.add_argument("--candidates", type=int, default=1000)
    parser.add_argument("--compare", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--sweep-repeats", type=int, default=3)
    args = parser.parse_args()
    sc = scenario(args.model)

    # (a) one scenario
    def first_run(scenario, gains=None):
        tuning._forget_warm_twins()  # as in a process that has not run this model yet
        tuning.run(scenario, gains)

    tuning.run(sc)
    run_s = median_time(lambda: tuning.run(sc, {"KP_POSITION": 30.0}), args.repeats)
    first_s = median_time(lambda: first_run(sc, {"KP_POSITION": 30.0}), args.repeats)
    short = tuning.Scenario(args.model, duration=5e-05)
    tuning.run(short)
    setup_s = median_time(lambda: tuning.run(short), args.repeats)
    first_setup_s = median_time(lambda: first_run(short), args.repeats)
    plain_s = median_time(lambda: plain_virtual_second(args.model), args.repeats)
    run_cpu = median_time(lambda: tuning.run(sc, {"KP_POSITION": 30.0}), args.repeats, time.process_time)
    first_cpu = median_time(lambda: first_run(sc, {"KP_POSITION": 30.0}), args.repeats, time.process_time)
    print(f"(a) one 1-s scenario, run():           {run_s * 1e3:7.1f} ms  (target <= {TARGETS['run_ms']:g} ms); "
          f"first run in a process {first_s * 1e3:.1f} ms, later runs {run_s * 1e3:.1f} ms")
    print(f"    a later run: restoring the twin warmed up once and the rest outside the simulation "
          f"{setup_s * 1e3:.2f} ms, the simulated second itself {(run_s - setup_s) * 1e3:.1f} ms")
    make_s, warm_up_s = setup_parts(args.model, args.repeats)
    print(f"    the first run: actuator + warm-up {first_setup_s * 1e3:.1f} ms (a fresh actuator: made and "
          f"connected {make_s * 1e3:.1f} ms, its one-second warm-up {warm_up_s * 1e3:.1f} ms)")
    print(f"    CPU time of this process (what an idle core would take): later runs {run_cpu * 1e3:.1f} ms, "
          f"first run {first_cpu * 1e3:.1f} ms")
    print(f"    load average while measuring: {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print(f"    baseline: the same second through DorozeActuatorVirtual.step (log off) {plain_s * 1e3:.1f} ms, "
          f"ratio {plain_s / run_s:.2f}x")

    # (b) the big sweep on two workers
    with pool(2) as p:
        warm(p, sc)
        big_s = timed_sweep(sc, candidates(args.candidates), executor=p)
    share = 1 - args.candidates * run_s / (big_s * 2)
    print(f"(b) {args.candidates:,} candidates on 2 workers: {big_s:7.2f} s  (target <= {TARGETS['sweep_s']:g} s); "
          f"{args.candidates / big_s:.0f} runs/s; non-simulating share of worker time {share:.0%}")

    # (c) one worker against two, (d) dask against the pool: the same
    # candidates, the three executors taking turns, so a neighbour's load
    # falls on all of them alike; medians over --sweep-repeats rounds.
    cands = candidates(args.compare)
    try:
        import distributed
    except ImportError:
        distributed = None
    with contextlib.ExitStack() as stack:
        executors = {"one": stack.enter_context(pool(1)), "two": stack.enter_context(pool(2))}
        if distributed is not None:
            stack.enter_context(warnings.catch_warnings())
            warnings.simplefilter("ignore")
            cluster = stack.enter_context(distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                                   dashboard_address=None))
            executors["dask"] = stack.enter_context(distributed.Client(cluster)).get_executor()
        for executor in executors.values():
            warm(executor, sc)
        walls = {name: [] for name in executors}
        cpus = {name: [] for name in executors}
        for _ in range(args.sweep_repeats):
            for name, executor in executors.items():
                cpu_before = tree_cpu_s()
                walls[name].append(timed_sweep(sc, cands, executor=executor))
                cpus[name].append(tree_cpu_s() - cpu_before)
    wall = {name: statistics.median(v) for name, v in walls.items()}
    cpu = {name: statistics.median(v) for name, v in cpus.items()}
    one_s, two_s = wall["one"], wall["two"]
    print(f"(c) {args.compare} candidates: 1 worker {one_s:.2f} s, 2 workers {two_s:.2f} s: "
          f"speed-up {one_s / two_s:.2f}x (target >= {TARGETS['speedup']:g}x); "
          f"CPU time of all our processes {cpu['one']:.2f} s and {cpu['two']:.2f} s")
    print(f"    load average: {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs (other programs' load shrinks the "
          "speed-up: ours share the CPUs with them)")
    if "dask" not in wall:
        print("(d) dask.distributed not installed: skipped")
        return
    dask_s = wall["dask"]
    print(f"(d) {args.compare} candidates on a dask LocalCluster of 2: {dask_s:.2f} s, "
          f"{dask_s / two_s:.2f}x the process pool's time (target <= {TARGETS['dask_ratio']:g}x); "
          f"non-simulating share {1 - args.compare * run_s / (dask_s * 2):.0%}; CPU time of all our processes "
          f"{cpu['dask']:.2f} s, {cpu['dask'] / cpu['two']:.2f}x the pool's")


if __name__ == "__main__":
    main()
