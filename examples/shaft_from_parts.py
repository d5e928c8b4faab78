"""The DC motor driving an inertial load through a hardening shaft (flexible_shaft.py), built from
parts joined by their ports: the motor's torque port to one end of the shaft, the load's to the
other. The armature voltage and the load torque are the ports left open."""

import pathlib
from typing import Any

import numpy as np

import zarel
from zarel import parts


def build() -> zarel.PortHamiltonian:
    motor = parts.dc_motor(R=2.0, L=5e-3, K=0.05, J_r=2e-5, b=1e-5)
    shaft = parts.spring(k=5.0, k3=500.0)  # twist q grows at v_b - v_a: end b on the motor
    load = parts.mass(m=1e-3, b=1e-3, ports=("shaft", "torque"))
    return zarel.connect({"motor": motor, "shaft": shaft, "load": load},
                         [("motor.torque", "shaft.b"), ("load.shaft", "shaft.a")], name="shaft_from_parts")


def scenario() -> dict[str, Any]:
    """As flexible_shaft.py: a 12 V step from rest; from t = 1 the load brakes with 0.2 N m."""
    return {"x0": {}, "t": np.linspace(0.0, 2.0, 4001),
            "u": lambda t: {"motor.V": 12.0, "load.torque": -0.2 if t >= 1.0 else 0.0}}


def plot_energy_flow(result: zarel.Result, path: pathlib.Path) -> None:
    """Per part: its stored energy, the energy it received through its ports and the energy it
    dissipated, over time."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    whole = result.balance()
    fig = Figure(figsize=(8, 7))
    FigureCanvasAgg(fig)
    ax_h, ax_in, ax_out = fig.subplots(3, 1, sharex=True)
    for part in whole.parts:
        ax_h.plot(result.t, result.output(f"{part.part}.energy"), label=part.part)
        ax_in.plot(result.t[1:], np.cumsum(part.supplied), label=part.part)
        ax_out.plot(result.t[1:], np.cumsum(part.dissipated), label=part.part)
    ax_in.plot(result.t[1:], np.cumsum(whole.supplied), "k--", label="whole (from the sources)")
    ax_h.set_ylabel("stored energy")
    ax_in.set_ylabel("received through ports")
    ax_out.set_ylabel("dissipated")
    ax_out.set_xlabel("time")
    for ax in (ax_h, ax_in, ax_out):
        ax.legend(loc="best", fontsize="small")
    fig.suptitle(f"{result.signature.name}: energy by part ({result.method})")
    fig.savefig(path)


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
