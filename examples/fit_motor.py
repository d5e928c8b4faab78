"""A DC motor turning a load through a torsion shaft, built from parts, identified from measurements
of its armature current and speed after a 12 V step: the measurements are synthetic (the model at
its true values plus Gaussian noise of a fixed seed), the fit starts 20 to 50 % away from the truth
and recovers the armature resistance, the torque constant, both inertias and the shaft stiffness.

    python examples/fit_motor.py [PLOT.png]
"""

import pathlib
import sys
import tempfile
from typing import Any

import numpy as np

import zarel
from zarel import parts

TRUE = {"motor.R": 1.0, "motor.K": 0.1, "motor.J_r": 0.01, "shaft.k": 2.0, "load.m": 0.02}
START = {"motor.R": 1.4, "motor.K": 0.08, "motor.J_r": 0.013, "shaft.k": 1.5, "load.m": 0.03}
NOISE = {"motor.current": 0.05, "motor.speed": 0.5}  # A, rad/s
VOLTAGE = {"motor.V": 12.0}


def build() -> zarel.PortHamiltonian:
    motor = parts.dc_motor(R=TRUE["motor.R"], L=0.05, K=TRUE["motor.K"], J_r=TRUE["motor.J_r"], b=0.01)
    shaft = parts.spring(k=TRUE["shaft.k"])  # twist q grows at v_b - v_a: end b on the motor
    load = parts.mass(m=TRUE["load.m"], b=0.05, ports=("shaft",))
    return zarel.connect({"motor": motor, "shaft": shaft, "load": load},
                         [("motor.torque", "shaft.b"), ("load.shaft", "shaft.a")], name="motor_and_load")


def measurements(system: zarel.System, seed: int = 7) -> Any:
    """Current and speed every 25 ms for 3 s from rest, with noise: a DataFrame."""
    import pandas as pd

    t = np.linspace(0.0, 3.0, 121)
    run = zarel.simulate(system, {}, t, VOLTAGE, method="dop853", rtol=1e-12, atol=1e-14)
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"time": t, **{name: run.output(name) + sigma * rng.standard_normal(len(t))
                                       for name, sigma in NOISE.items()}})


def identify(system: zarel.System, data: Any) -> zarel.FitResult:
    """The five quantities fitted on a log scale (they are positive), the rest held at the model's values."""
    return zarel.fit(system, data, list(START), u=VOLTAGE, params=START, positive=list(START), sigma=NOISE)


def main(argv: list[str]) -> zarel.FitResult:
    path = pathlib.Path(argv[0]) if argv else pathlib.Path(tempfile.mkdtemp()) / "fit_motor.png"
    system = build()
    result = identify(system, measurements(system))
    print(result)
    print(f"{'name':10s} {'true':>8s} {'start':>8s} {'fitted':>10s} {'(fitted - true) / error':>24s}")
    for name in result.names:
        off = (result.values[name] - TRUE[name]) / result.standard_errors[name]
        print(f"{name:10s} {TRUE[name]:8.4g} {START[name]:8.4g} {result.values[name]:10.6g} {off:24.2f}")
    result.plot(path)
    print(f"plot written to {path}")
    return result


if __name__ == "__main__":
    main(sys.argv[1:])
