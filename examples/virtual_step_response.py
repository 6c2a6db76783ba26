"""Position step response of a simulated Doroze actuator, with a load
disturbance, plotted from the virtual actuator's telemetry log.

    python examples/virtual_step_response.py [OUTPUT.png] [--model ORBIT_4]

The actuator holds still, steps to 1 rad, then an external load torque is
applied to its shaft and released again.  The twin runs twice: as it starts
(the realistic actuator: loop delay, compliant drivetrain with backlash,
gear losses, sensor noise, a bus that sags and rises) and with its ideal
plant (the model's inport Ideal), drawn thin and grey for comparison.  The
picture shows the reference, the positions the two encoders read, the speed,
the torque, the current and the bus voltage; it is written to
build/virtual_step_response.png unless a path is given, and its path printed.
"""

from __future__ import annotations

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402

from vez_api.doroze_actuator_virtual import DorozeActuatorVirtual  # noqa: E402

DEFAULT_OUTPUT = pathlib.Path(__file__).resolve().parent.parent / "build" / "virtual_step_response.png"
STEP_AT_S, STEP_RAD = 0.05, 1.0
LOAD_ON_S, LOAD_OFF_S, LOAD_NM = 0.45, 0.75, 4.0
END_S = 1.0


def simulate(model: str, ideal: bool = False) -> tuple[DorozeActuatorVirtual, dict]:
    actuator = DorozeActuatorVirtual(address=0x10)
    actuator.set_actuator(model)
    actuator.connect()
    actuator.actuator.inp.Ideal = ideal  # a setting of the model: kept through its start-up
    actuator.start()  # runs the simulator's one-second warm-up, then enables the motor
    actuator.change_position_setpoint(0.0)
    rate = actuator.get_sim_rate_hz()

    def ticks_until(t_s: float) -> int:
        return max(1, round(t_s * rate) - actuator._simulation_step_count)

    actuator.step(load=0.0, steps=ticks_until(STEP_AT_S))
    actuator.change_position_setpoint(STEP_RAD)
    actuator.step(steps=ticks_until(LOAD_ON_S))
    actuator.step(load=LOAD_NM, steps=ticks_until(LOAD_OFF_S))
    actuator.step(load=0.0, steps=ticks_until(END_S))
    actuator.disconnect()
    return actuator, {"rate_hz": rate}


def bus_voltage(log) -> list[float]:
    return [p / i if i else float("nan") for p, i in zip(log.m_pwr_dc, log.m_i_dc)]


def summary(log) -> str:
    def positions(start_s, end_s):
        return [p for t, p in zip(log.time, log.pos_fb) if start_s <= t < end_s]

    overshoot = max(positions(STEP_AT_S, LOAD_ON_S)) - STEP_RAD
    settled = positions(STEP_AT_S, LOAD_ON_S)[-1]
    deflection = settled - min(positions(LOAD_ON_S, LOAD_OFF_S))
    return (
        f"overshoot {overshoot * 1e3:.1f} mrad, settled at {settled:.4f} rad, "
        f"largest deflection under {LOAD_NM:g} N·m {deflection * 1e3:.1f} mrad"
    )


def plot(actuator: DorozeActuatorVirtual, ideal: DorozeActuatorVirtual, output: pathlib.Path) -> None:
    log, ref = actuator.telemetry_log, ideal.telemetry_log
    t, t_ideal = log.time, ref.time
    grey = {"color": "0.55", "linewidth": 0.8}
    fig, axes = plt.subplots(6, 1, sharex=True, figsize=(10, 14), constrained_layout=True)
    fig.suptitle(
        f"{actuator.model} digital twin: position step of {STEP_RAD:g} rad, "
        f"load of {LOAD_NM:g} N·m from {LOAD_ON_S:g} s to {LOAD_OFF_S:g} s"
    )

    position, error, speed, torque, current, bus = axes
    position.text(0.99, 0.05, "realistic: " + summary(log) + "\nideal: " + summary(ref), transform=position.transAxes,
                  ha="right", va="bottom", fontsize="small",
                  bbox={"boxstyle": "round", "facecolor": "white", "alpha": 0.8})  # fmt: skip
    position.plot(t, log.inp_ref, color="0.3", linestyle="--", label="reference (setpoint)")
    position.plot(t, log.pos_ref, color="tab:orange", linewidth=1, label="profiled reference")
    position.plot(t_ideal, ref.pos_fb, label="ideal plant", **grey)
    position.plot(t, log.pos_fb, color="tab:blue", label="position (motor encoder)")
    position.plot(t, log.meas_pos2, color="tab:purple", linewidth=1, label="output encoder (backlash, twist)")
    position.legend(loc="center right", fontsize="small")
    position.set_ylabel("position [rad]")

    # Near the target: the encoders' noise, the backlash between them, the deflection under load.
    def off(times, values, setpoints):
        return [(v - r) * 1e3 if time >= LOAD_ON_S - 0.2 else float("nan") for time, v, r in zip(times, values, setpoints)]

    error.plot(t_ideal, off(t_ideal, ref.pos_fb, ref.inp_ref), label="ideal plant", **grey)
    error.plot(t, off(t, log.pos_fb, log.inp_ref), color="tab:blue", linewidth=0.8, label="motor encoder")
    error.plot(t, off(t, log.meas_pos2, log.inp_ref), color="tab:purple", linewidth=0.8, label="output encoder")
    error.set_ylabel("position - setpoint [mrad]")

    speed.plot(t, log.spd_ref, color="tab:orange", linewidth=1, label="speed reference")
    speed.plot(t_ideal, ref.spd_fb, label="ideal plant", **grey)
    speed.plot(t, log.spd_fb, color="tab:blue", label="speed")
    speed.set_ylabel("speed [rad/s]")

    torque.plot(t, log.m_Tl, color="tab:red", linestyle="--", label="external load")
    torque.plot(t, log.T_ref, color="tab:orange", linewidth=1, label="torque reference")
    torque.plot(t_ideal, ref.T_fb, label="ideal plant", **grey)
    torque.plot(t, log.T_fb, color="tab:blue", label="torque (from measured currents)")
    torque.set_ylabel("torque [N·m]")

    current.plot(t, log.iq_fb, color="tab:blue", label="q-axis current")
    current.plot(t, log.id_fb, color="tab:green", label="d-axis current")
    current.set_ylabel("current [A]")

    bus.plot(t_ideal, bus_voltage(ref), label="ideal plant (stiff bus)", **grey)
    bus.plot(t, bus_voltage(log), color="tab:blue", label="bus voltage at the drive")
    bus.set_ylabel("bus [V]")
    bus.set_xlabel("simulated time [s]")

    for ax in axes:
        ax.axvspan(LOAD_ON_S, LOAD_OFF_S, color="tab:red", alpha=0.08, linewidth=0)
        ax.grid(True, alpha=0.3)
        if ax is not position:
            ax.legend(loc="upper right", fontsize="small")
    bus.set_xlim(0.0, END_S)
    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", type=pathlib.Path, default=DEFAULT_OUTPUT, help="PNG file to write")
    parser.add_argument("--model", default="ORBIT_4", help="reference twin model (ORBIT_4, NOVA_3, ORBIT_2)")
    args = parser.parse_args()
    actuator, info = simulate(args.model)
    ideal, _ = simulate(args.model, ideal=True)
    log = actuator.telemetry_log
    print(f"{actuator.model}: {len(log.time):,} ticks at {info['rate_hz']:g} Hz; {summary(log)}")
    print(f"  ideal plant: {summary(ideal.telemetry_log)}")
    plot(actuator, ideal, args.output)
    print(args.output)


if __name__ == "__main__":
    main()
