"""vez_api.tuning: scenario runs on the twin, candidate sets, sweeps on several
executors, and `doroze tune` (with --apply against the bus emulator)."""

from __future__ import annotations

import concurrent.futures
import csv
import math
import pickle
import struct
import warnings

import pytest

from vez_api import tuning
from vez_api import doroze_cli

from bus_emulator import BusEmulator

SHORT = 0.25  # s: enough for a position step of the reference twin to settle


def doroze(argv: list[str]) -> int:
    return doroze_cli.run(argv, prog="doroze")


def position_step(**kwargs) -> tuning.Scenario:
    fields = dict(model="ORBIT_4", mode="position", setpoint=tuning.Step(0.5), duration=SHORT,
                  vary=("KP_POSITION", "KP_SPEED"), response_rate_hz=2000.0)
    fields.update(kwargs)
    return tuning.Scenario(**fields)


def nan_equal(metrics: dict) -> dict:
    """The metrics with NaN (a figure that does not exist) made comparable."""
    return {k: "NaN" if isinstance(v, float) and math.isnan(v) else v for k, v in metrics.items()}


def comparable(sweep: tuning.SweepResult):
    """What two sweeps of the same candidates must agree on, run wherever."""
    return ([(r.gains, r.ok, r.error, nan_equal(r.metrics)) for r in sweep.results],
            [r.gains for r in sweep.ranked], [r.gains for r in sweep.failed])


# --- one run -----------------------------------------------------------------------------


def test_a_position_step_is_measured_and_pickles():
    scenario = position_step()
    gains = {"KP_POSITION": 40.0}
    result = tuning.run(scenario, gains)
    assert scenario.fixed == {} and result.gains == gains and result.gains is not gains  # nothing shared
    assert result.ok and result.error is None
    assert set(result.metrics) == set(tuning.METRICS)
    m = result.metrics
    assert 0 < m["rise_time"] < SHORT and 0 < m["settling_time"] < SHORT
    assert abs(m["steady_state_error"]) < 0.01 and m["overshoot"] < 5
    assert m["peak_current"] > 0 and m["peak_torque"] > 0 and m["energy"] > 0
    assert m["limit_hits"] == 0
    # the response, sampled at the scenario's rate
    assert len(result.time) == len(result.response) == len(result.torque) == int(SHORT * 2000)
    assert result.time[1] - result.time[0] == pytest.approx(1 / 2000)
    assert result.reference[0] == 0.5 and abs(result.response[-1] - 0.5) < 0.01
    assert result.parameters["KP_POSITION"] == 40.0 and "KP_SPEED" in result.parameters
    # both travel to other processes and back unchanged
    assert pickle.loads(pickle.dumps(scenario)) == scenario
    copy = pickle.loads(pickle.dumps(result))
    assert copy.metrics == result.metrics and list(copy.response) == list(result.response)


def test_the_gains_change_the_response_and_runs_are_independent():
    scenario = position_step()
    soft = tuning.run(scenario, {"KP_SPEED": 0.5, "KP_POSITION": 5.0})
    stiff = tuning.run(scenario, {"KP_POSITION": 60.0})
    again = tuning.run(scenario, {"KP_SPEED": 0.5, "KP_POSITION": 5.0})
    assert soft.metrics["iae"] > stiff.metrics["iae"]
    assert nan_equal(again.metrics) == nan_equal(soft.metrics)  # nothing carries over from one run to the next
    assert tuning.run(scenario).parameters["KP_POSITION"] != 60.0  # the model's own gains again


def test_profiles_and_load_reach_the_twin():
    ramp = tuning.run(position_step(setpoint=tuning.Ramp(0.4, duration=0.1, at=0.05)))
    t = list(ramp.time)
    assert ramp.reference[t.index(0.05)] == 0.0
    assert ramp.reference[t.index(0.1)] == pytest.approx(0.2)
    assert ramp.reference[-1] == 0.4 and ramp.ok
    path = tuning.run(position_step(setpoint=tuning.Trajectory(((0.0, 0.0), (0.1, 0.3), (0.2, 0.1)))))
    assert path.reference[int(0.05 * 2000)] == pytest.approx(0.15)
    assert path.reference[-1] == pytest.approx(0.1)
    # 3 N*m against the shaft from 0.1 s: the drive pushes back with about as much
    loaded = tuning.run(position_step(load=((0.1, 3.0),)))
    assert abs(loaded.torque[-1]) == pytest.approx(3.0, rel=0.2)
    assert abs(loaded.torque[int(0.09 * 2000)]) < 1.0
    speed = tuning.run(tuning.Scenario("ORBIT_4", mode="SPEED", setpoint=tuning.Step(2.0), duration=0.3))
    assert speed.ok and speed.metrics["rise_time"] > 0
    # the twin's speed is a noisy measurement: its mean, and the metric made of it, are on target
    assert sum(speed.response[-100:]) / 100 == pytest.approx(2.0, abs=0.05)
    assert abs(speed.metrics["steady_state_error"]) < 0.05
    spring = tuning.run(tuning.Scenario("ORBIT_4", mode="IMPEDANCE", setpoint=tuning.Step(0.3), duration=0.3),
                        {"K_STIFFNESS": 50.0})
    assert spring.ok and spring.metrics["overshoot"] > 5 and abs(spring.metrics["steady_state_error"]) < 0.01
    # 2 N*m on a free shaft: it speeds up until the speed limit brakes it, again and again
    spin = tuning.run(tuning.Scenario("ORBIT_4", mode="TORQUE", setpoint=tuning.Step(2.0), duration=0.3))
    assert spin.ok and spin.metrics["limit_hits"] > 0 and spin.metrics["peak_torque"] > 2.0


# --- warm twins: later runs start from a saved state ----------------------------------------


def everything(result: tuning.Result):
    """All a Result says, the arrays as their bytes: what must agree bit for bit."""
    return (result.gains, result.ok, result.error, nan_equal(result.metrics), result.parameters,
            *(getattr(result, name).tobytes() for name in ("time", "reference", "response", "speed", "torque",
                                                           "current")))


def fresh_run(scenario, gains=None):
    tuning._forget_warm_twins()
    return tuning.run(scenario, gains)


# Per mode: a scenario and gain sets in the order a sweep might try them: a
# set that omits a varied key (it must get the model's own value, not the
# last run's), values the wrapper and the filter hold, a model path, and a
# candidate the model refuses before others.
WARM_CASES = {
    "POSITION": (position_step(duration=0.05, vary=("KP_POSITION", "KP_SPEED", "FF_GAIN", "SPEED_CUTOFF")),
                 [{"KP_POSITION": 60.0, "KP_SPEED": 4.0, "FF_GAIN": 0.5},
                  {"KP_POSITION": 20.0, "SPEED_CUTOFF": 200.0, "inp.T_ADC": 60.0},
                  {"KP_SPEED": 1.5},
                  {"LIM_POSITION_MAX": -5000.0},
                  {},
                  {"KP_POSITION": 60.0, "KP_SPEED": 4.0, "FF_GAIN": 0.5}]),
    "SPEED": (tuning.Scenario("ORBIT_4", mode="SPEED", setpoint=tuning.Step(2.0), duration=0.05,
                              load=((0.02, 1.0),), vary=("KP_SPEED", "KI_SPEED"), fixed={"CURRENT_CUTOFF": 800.0}),
              [{"KP_SPEED": 3.0, "KI_SPEED": 50.0}, {"KI_SPEED": 300.0}, {"LIM_TORQUE": -1.0}, {}]),
    "TORQUE": (tuning.Scenario("ORBIT_4", mode="TORQUE", setpoint=tuning.Ramp(1.0, duration=0.02), duration=0.05,
                               vary=("LIM_TORQUE", "TORQUE_FF")),
               [{"LIM_TORQUE": 0.5}, {"LIM_TORQUE": 0.8, "TORQUE_FF": 0.2}, {}]),
    "IMPEDANCE": (tuning.Scenario("ORBIT_4", mode="IMPEDANCE", setpoint=tuning.Step(0.3), duration=0.05,
                                  vary=("K_STIFFNESS", "K_DAMPING")),
                  [{"K_STIFFNESS": 50.0, "K_DAMPING": 1.0}, {"K_DAMPING": 3.0}, {"K_STIFFNESS": 5.0}, {}]),
}


@pytest.mark.parametrize("mode", sorted(WARM_CASES))
def test_a_warm_twin_gives_what_a_fresh_actuator_gives(mode):
    scenario, sets = WARM_CASES[mode]
    fresh = [everything(fresh_run(scenario, gains)) for gains in sets]
    assert [f[1] for f in fresh].count(False) == (mode in ("POSITION", "SPEED"))  # the refused candidate
    tuning._forget_warm_twins()
    warm = [everything(tuning.run(scenario, gains)) for gains in sets]
    assert tuning._warm_twin_count() == 1  # the runs did share one
    for i, (w, f) in enumerate(zip(warm, fresh)):
        assert w == f, f"run {i} ({sets[i]}) differs"
    # the fresh results themselves differ from one gain set to the next
    assert len({f[7] for f in fresh if f[1]}) == len({str(f[0]) for f in fresh if f[1]})


def test_twins_are_kept_per_model_and_mode_within_a_bound():
    tuning._forget_warm_twins()
    scenarios = [tuning.Scenario(model, mode=mode, setpoint=tuning.Step(0.1), duration=0.002)
                 for model in ("ORBIT_4", "NOVA_3") for mode in ("POSITION", "SPEED", "TORQUE")]
    first = [everything(tuning.run(s)) for s in scenarios]
    assert 1 <= tuning._warm_twin_count() <= 4
    # each run finds its own model's twin, or makes one
    assert [everything(tuning.run(s)) for s in reversed(scenarios)] == first[::-1]
    assert tuning._forget_warm_twins() <= 4 and tuning._warm_twin_count() == 0


def test_a_library_without_state_entry_points_gets_a_fresh_actuator(monkeypatch):
    import ctypes

    scenario, sets = WARM_CASES["POSITION"]
    expected = [everything(fresh_run(scenario, gains)) for gains in sets[:3]]

    class WithoutState(ctypes.CDLL):
        def __getattr__(self, name):
            if name in ("DT_state_size", "DT_save_state", "DT_restore_state"):
                raise AttributeError(name)
            return super().__getattr__(name)

    tuning._forget_warm_twins()
    monkeypatch.setattr(ctypes, "CDLL", WithoutState)
    assert [everything(tuning.run(scenario, gains)) for gains in sets[:3]] == expected
    assert tuning._warm_twin_count() == 0


def test_threads_never_share_a_twin():
    scenario, sets = WARM_CASES["POSITION"]
    tuning._forget_warm_twins()
    expected = [everything(fresh_run(scenario, gains)) for gains in sets] * 4
    with concurrent.futures.ThreadPoolExecutor(4) as threads:
        got = list(threads.map(lambda g: everything(tuning.run(scenario, g)), sets * 4))
    assert got == expected
    assert 1 <= tuning._warm_twin_count() <= 4


def test_warm_runs_keep_memory_flat(memory_flat):
    scenario = position_step(duration=0.001)
    tuning._forget_warm_twins()
    gains = [{"KP_POSITION": 30.0}, {"KP_SPEED": 2.0, "FF_GAIN": 0.2}, {}]
    state = {"i": 0}

    def one_run():
        state["i"] += 1
        assert tuning.run(scenario, gains[state["i"] % 3]).ok

    memory_flat(one_run, calls=3000)
    assert tuning._warm_twin_count() == 1


@pytest.mark.parametrize(
    "gains, message",
    [
        ({"KP_POSITION": math.nan}, "KP_POSITION: not a finite number (nan)"),
        ({"KP_SPEED": math.inf}, "KP_SPEED: not a finite number (inf)"),
        ({"KP_POSITION": -3.0}, "KP_POSITION: must not be negative (-3.0)"),
        ({"KP_POSITION": "fast"}, "KP_POSITION: not a number (fast)"),
        ({"BOGUS": 1.0}, "'BOGUS' is not a tunable parameter"),
        # limits the model refuses: the maximum below the minimum
        ({"LIM_POSITION_MAX": -5000.0}, "the model reported: invalid limits rejected"),
        # a path the model does not have: setting it would only add a Python attribute
        ({"inp.T_ADX": 3.0}, "'inp.T_ADX' is not in the model (inp has no 'T_ADX')"),
        ({"input.T_ADC": 3.0}, "'input.T_ADC' is not in the model (the model has no 'input')"),
    ],
)
def test_invalid_candidates_fail_with_the_reason(gains, message):
    result = tuning.run(position_step(), gains)
    assert not result.ok
    assert result.error.startswith(message)


def test_a_varied_model_path_must_exist():
    result = tuning.run(position_step(vary=("KP_POSITION", "inp.T_ADX")))
    assert not result.ok and result.error.startswith("'inp.T_ADX' is not in the model")


def test_bad_scenarios_are_refused_where_they_are_made():
    with pytest.raises(ValueError, match="cannot be tuned"):
        position_step(mode="FVI")
    with pytest.raises(ValueError, match="'SERIAL_NUMBER' is not a tunable parameter"):
        position_step(vary=("SERIAL_NUMBER",))
    with pytest.raises(ValueError, match="duration must be positive"):
        position_step(duration=0.0)
    with pytest.raises(TypeError, match="setpoint"):
        position_step(setpoint=1.0)
    with pytest.raises(ValueError, match="Ramp.duration must be positive"):
        position_step(setpoint=tuning.Ramp(1.0, duration=0.0))
    with pytest.raises(ValueError, match="fixed KP_SPEED must be a finite number"):
        position_step(fixed={"KP_SPEED": math.nan})


# --- candidates ----------------------------------------------------------------------------


def test_candidate_sets():
    g = tuning.grid({"KP_POSITION": (10, 30, 3), "KP_SPEED": (1, 2, 2)})
    assert g == [{"KP_POSITION": a, "KP_SPEED": b} for a in (10.0, 20.0, 30.0) for b in (1.0, 2.0)]
    assert [c["inp.T_ADC"] for c in tuning.grid({"inp.T_ADC": (1, 100, 3, "log")})] == pytest.approx([1, 10, 100])
    lhs = tuning.latin_hypercube({"KP_POSITION": (0, 10)}, 10, seed=4)
    assert sorted(int(c["KP_POSITION"]) for c in lhs) == list(range(10))  # one per stratum
    assert lhs == tuning.latin_hypercube({"KP_POSITION": (0, 10)}, 10, seed=4)
    assert lhs != tuning.latin_hypercube({"KP_POSITION": (0, 10)}, 10, seed=5)
    r = tuning.random_samples({"KP_SPEED": (1, 2)}, 5, seed=1)
    assert r == tuning.random_samples({"KP_SPEED": (1, 2)}, 5, seed=1)
    assert all(1 <= c["KP_SPEED"] < 2 for c in r)
    with pytest.raises(ValueError, match="KP_SPEED"):
        tuning.grid({"KP_SPEED": (2, 1, 3)})
    with pytest.raises(ValueError, match="needs a point count"):
        tuning.grid({"KP_SPEED": (1, 2)})


# --- sweeps ----------------------------------------------------------------------------------


def test_a_sweep_ranks_by_cost_and_lists_failures_without_stopping():
    candidates = [
        {"KP_POSITION": 5.0, "KP_SPEED": 0.5},
        {"KP_POSITION": math.nan},
        {"KP_POSITION": 60.0},
        {"KP_SPEED": -1.0},
        {"LIM_POSITION_MAX": -5000.0},
        {"KP_POSITION": 20.0},
    ]
    result = tuning.sweep(position_step(), candidates, workers=1)
    assert [r.gains for r in result.results] == candidates  # the candidates' order, whatever ran where
    assert [r.gains for r in result.failed] == [candidates[1], candidates[3], candidates[4]]
    assert all(math.isnan(r.cost) for r in result.failed)
    costs = [r.cost for r in result.ranked]
    assert len(costs) == 3 and costs == sorted(costs)
    assert costs[0] == result.ranked[0].metrics["iae"] and result.best is result.ranked[0]
    assert result.ranked[-1].gains == candidates[0]  # the soft one is last by far

    by_energy = tuning.sweep(position_step(), candidates[::2], workers=1, cost={"energy": 1.0, "iae": 10.0})
    assert [r.cost for r in by_energy.ranked] == sorted(
        r.metrics["energy"] + 10 * r.metrics["iae"] for r in by_energy.ranked)
    by_callable = tuning.sweep(position_step(), candidates[::2], workers=1, cost=lambda r: -r.metrics["peak_current"])
    assert by_callable.best.metrics["peak_current"] == max(r.metrics["peak_current"] for r in by_callable.ranked)
    with pytest.raises(ValueError, match="unknown cost metric 'speed'"):
        tuning.sweep(position_step(), candidates, cost="speed")
    assert tuning.sweep(position_step(), [], workers=1).best is None


def test_same_seed_same_ranking():
    axes = {"KP_POSITION": (5, 60), "KP_SPEED": (0.5, 8)}
    first = tuning.sweep(position_step(), tuning.latin_hypercube(axes, 6, seed=11), workers=1)
    second = tuning.sweep(position_step(), tuning.latin_hypercube(axes, 6, seed=11), workers=1)
    assert [r.gains for r in first.ranked] == [r.gains for r in second.ranked]
    assert [r.cost for r in first.ranked] == [r.cost for r in second.ranked]
    other = tuning.sweep(position_step(), tuning.latin_hypercube(axes, 6, seed=12), workers=1)
    assert [r.gains for r in other.ranked] != [r.gains for r in first.ranked]


def agreement_case():
    """A small sweep with one failing candidate, and what a serial run of it gives."""
    scenario = position_step()
    candidates = tuning.grid({"KP_POSITION": (10, 50, 3), "KP_SPEED": (1, 6, 2)}) + [{"KP_POSITION": -1.0}]
    return scenario, candidates, comparable(tuning.sweep(scenario, candidates, workers=1))


def test_process_and_thread_pools_agree_with_a_serial_run():
    scenario, candidates, serial = agreement_case()
    assert comparable(tuning.sweep(scenario, candidates, workers=2, chunk_size=2)) == serial  # own pool
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        assert comparable(tuning.sweep(scenario, candidates, executor=pool)) == serial
    with concurrent.futures.ThreadPoolExecutor(2) as threads:
        assert comparable(tuning.sweep(scenario, candidates, executor=threads, chunk_size=1)) == serial


class RecordingExecutor(concurrent.futures.Executor):
    """Runs every task at once, here, and counts the candidates of each."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)
        self.chunks = []

    def submit(self, fn, /, *args, **kwargs):
        self.chunks.append(len(args[1]))
        future = concurrent.futures.Future()
        future.set_result(fn(*args, **kwargs))
        return future


class FakeClient:
    def __init__(self, threads):
        self.threads = threads

    def nthreads(self):
        return self.threads


def test_chunks_follow_the_executors_size():
    # Candidates that fail before any simulation: only the chunking is at work.
    candidates = [{"KP_POSITION": -float(i + 1)} for i in range(64)]
    for executor, tasks in (
        (RecordingExecutor(_max_workers=2), 8),  # a pool: about four tasks per worker
        (RecordingExecutor(_client=FakeClient({"tcp://a": 3, "tcp://b": 1})), 16),  # a cluster's executor: its threads
        (RecordingExecutor(_client=FakeClient({})), 32),  # no worker yet: as for an executor that does not say
        (RecordingExecutor(), 32),
    ):
        result = tuning.sweep(position_step(), candidates, executor=executor)
        assert len(executor.chunks) == tasks and sum(executor.chunks) == 64
        assert [r.gains for r in result.failed] == candidates


def test_a_dask_cluster_agrees_with_a_serial_run():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # another library's import-time deprecations
        pytest.importorskip("dask", reason="dask is not installed (the dask extra)")
        distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed (the dask extra)")
    scenario, candidates, serial = agreement_case()
    with warnings.catch_warnings():
        # the cluster's own start-up and shut-down chatter is not ours to judge
        warnings.simplefilter("ignore")
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            with distributed.Client(cluster) as client:
                assert len(client.scheduler_info()["workers"]) == 2
                on_dask = tuning.sweep(scenario, candidates, executor=client.get_executor())
    assert comparable(on_dask) == serial


# --- doroze tune ----------------------------------------------------------------------------


def test_doroze_tune_prints_the_best_writes_csv_and_plot(tmp_path, capsys):
    table, image = tmp_path / "sweep.csv", tmp_path / "best.png"
    status = doroze(["tune", "--virtual", "ORBIT_4", "--mode", "position", "--step", "0.5", "--load", "1.0@0.15",
                     "--duration", str(SHORT), "--vary", "KP_POSITION=10:50:3,KP_SPEED=1:6:2", "--top", "3",
                     "--workers", "1", "--csv", str(table), "--plot", str(image)])
    out = capsys.readouterr().out.splitlines()
    assert status == 0
    assert out[0] == "ORBIT_4, POSITION mode: 6 candidates, 6 ran, 0 failed; ranked by iae"
    assert out[1].split()[:4] == ["rank", "KP_POSITION", "KP_SPEED", "cost"]
    assert [line.split()[0] for line in out[2:6]] == ["1", "2", "3", "current"]
    assert out[-1] == f"plot: {image}"
    with table.open() as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == 6 and rows[0]["KP_POSITION"] == "10.0" and rows[0]["ok"] == "True"
    assert float(rows[5]["iae"]) > 0
    assert image.stat().st_size > 10_000


def test_doroze_tune_samples_and_argument_errors(capsys):
    status = doroze(["tune", "--virtual", "ORBIT_4", "--duration", "0.1", "--vary", "KP_POSITION=5:50",
                     "--samples", "3", "--seed", "2", "--workers", "1", "--top", "1"])
    out = capsys.readouterr().out.splitlines()
    assert status == 0 and "3 candidates" in out[0] and len(out) == 4
    # model paths keep their case; parameter names take any
    assert doroze(["tune", "--virtual", "ORBIT_4", "--duration", "0.05", "--vary", "inp.T_ADC=1:4:2,kp_speed=1:2:2",
                   "--workers", "1", "--top", "4"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].endswith("4 candidates, 4 ran, 0 failed; ranked by iae")
    assert out[1].split()[:3] == ["rank", "inp.T_ADC", "KP_SPEED"]
    # a failure: reported on standard error after the command's name, status 1, no traceback
    assert doroze(["tune", "--virtual", "NO_SUCH_MODEL", "--vary", "KP_POSITION=5:6:2"]) == 1
    failure = capsys.readouterr()
    assert failure.out == "" and failure.err.startswith("doroze tune: ") and "Traceback" not in failure.err
    # argument errors: the parser's usage and message, status 2, found before anything runs
    for argv, message in (
        (["--vary", "KP_POSITION=5"], "--vary takes NAME=LOW:HIGH[:COUNT[:log]], got KP_POSITION=5"),
        (["--vary", "BOGUS=1:2:2"], "'BOGUS' is not a tunable parameter"),
        (["--vary", "KP_POSITION=1:2:2", "--apply"], "--apply needs the actuator's address (-a ADDR)"),
        (["--vary", "KP_POSITION=1:2:2,inp.T_ADC=1:2:2", "--apply", "-a", "0x10"],
         "--apply writes actuator parameters only; not one: inp.T_ADC"),
    ):
        assert doroze(["tune", "--virtual", "ORBIT_4", *argv]) == 2
        usage = capsys.readouterr()
        assert usage.out == "" and "usage: doroze tune" in usage.err and f"doroze tune: error: {message}" in usage.err


# --- doroze tune --apply, against the bus emulator ---------------------------------------------

APPLY = ["tune", "--virtual", "ORBIT_4", "--duration", "0.2", "--vary", "KP_POSITION=20:40:2,KP_SPEED=3:4:2",
         "--workers", "1", "--top", "1", "--apply", "-p"]


def float32_bits(value: float) -> int:
    return struct.unpack("<I", struct.pack("<f", value))[0]


def written_changes(out: str) -> dict[str, float]:
    """The `  NAME: old -> new` lines of the configuration load's report."""
    changes = {}
    for line in out.splitlines():
        if line.startswith("  ") and " -> " in line:
            name, _, change = line.strip().partition(": ")
            changes[name] = float(change.split(" -> ")[1])
    return changes


@pytest.fixture
def bus():
    with BusEmulator("--actuator", "0x10:ORBIT_4", "--actuator", "0x11:NOVA_3") as emulator:
        yield emulator


def test_apply_writes_only_the_tuned_parameters_to_the_actuator(bus, capsys):
    before = bus.parameters(0x10)
    status = doroze([*APPLY, bus.port, "-a", "0x10", "--yes"])
    captured = capsys.readouterr()
    assert status == 0, captured
    out = captured.out
    assert f"Best gains onto ORBIT_4 by CAN at address 0x10 ({bus.port}):" in out
    assert "Changed 2 parameters:" in out and "Written and read back: 2 parameters." in out
    assert "Not in the file" not in out  # everything else is left alone by design, not worth a line
    assert "Not saved in the actuator's memory" in out
    written = written_changes(out)
    assert set(written) == {"KP_POSITION", "KP_SPEED"}

    # Straight from the emulator's store: the two gains, bit for bit, and nothing else moved.
    after = bus.parameters(0x10)
    codes = {"KP_POSITION": 0x0F, "KP_SPEED": 0x0D}
    assert {code for code in after if after[code] != before[code]} == set(codes.values())
    for name, code in codes.items():
        assert after[code][0] == float32_bits(written[name])
    assert capsys.readouterr().err == ""


def test_apply_persists_on_request_and_writes_nothing_already_there(bus, capsys):
    assert doroze([*APPLY, bus.port, "-a", "0x10", "--yes", "--persist"]) == 0
    out = capsys.readouterr().out
    assert "Saved in the actuator's memory." in out and "Not saved" not in out
    store = bus.parameters(0x10)
    # The same tuning again: the actuator holds these gains already.
    assert doroze([*APPLY, bus.port, "-a", "0x10", "--yes"]) == 0
    out = capsys.readouterr().out
    assert "No changes" in out and "Written and read back" not in out
    assert bus.parameters(0x10) == store


def test_apply_asks_first_and_a_refusal_writes_nothing(bus, capsys, monkeypatch):
    before = bus.parameters(0x10)
    questions = []
    monkeypatch.setattr("builtins.input", lambda prompt: questions.append(prompt) or "n")
    assert doroze([*APPLY, bus.port, "-a", "0x10"]) == 1
    captured = capsys.readouterr()
    assert questions == ["Write these values? [y/N] "]
    assert "Would change 2 parameters:" in captured.out
    assert set(written_changes(captured.out)) == {"KP_POSITION", "KP_SPEED"}
    assert captured.err == "doroze tune: not confirmed; nothing was written\n"
    assert bus.parameters(0x10) == before

    def end_of_input(prompt):
        raise EOFError

    monkeypatch.setattr("builtins.input", end_of_input)  # no terminal: the answer is no
    assert doroze([*APPLY, bus.port, "-a", "0x10"]) == 1
    assert bus.parameters(0x10) == before

    monkeypatch.setattr("builtins.input", lambda prompt: "yes")
    assert doroze([*APPLY, bus.port, "-a", "0x10"]) == 0
    out = capsys.readouterr().out
    assert "Would change 2 parameters:" in out and "Written and read back: 2 parameters." in out
    changed = {code for code, value in bus.parameters(0x10).items() if value != before[code]}
    assert changed == {0x0F, 0x0D}


def test_apply_refuses_another_model_and_reports_what_cannot_be_reached(bus, capsys):
    before = bus.parameters(0x11)
    assert doroze([*APPLY, bus.port, "-a", "0x11", "--yes"]) == 1
    err = capsys.readouterr().err
    assert err == (f"doroze tune: the gains were tuned on the twin of ORBIT_4; the actuator by CAN at address 0x11 "
                   f"({bus.port}) is model NOVA_3. Nothing was written.\n")
    assert bus.parameters(0x11) == before
    # nothing answers at 0x20
    assert doroze([*APPLY, bus.port, "-a", "0x20", "--yes"]) == 1
    assert capsys.readouterr().err == f"doroze tune: could not connect by CAN at address 0x20 ({bus.port})\n"


def test_runs_give_back_what_they_take():
    """A sweep's workers run thousands of candidates in one process: what a
    run took (its copy of the simulation library, descriptors) is reclaimed,
    at the latest by the next collection of reference cycles."""
    import gc
    import os

    def held():
        with open("/proc/self/maps") as maps:
            copies = {line.split(None, 5)[5] for line in maps if "libORBIT_4" in line}
        return len(copies), len(os.listdir("/proc/self/fd"))

    scenario = position_step(duration=0.01)
    gc.collect()
    tuning.run(scenario)  # the next wrapper unloads what nothing can reach any more
    before = held()
    for _ in range(40):
        assert tuning.run(scenario, {"KP_POSITION": 30.0}).ok
    gc.collect()
    tuning.run(scenario)
    copies, descriptors = held()
    assert copies <= before[0] and descriptors == before[1]
