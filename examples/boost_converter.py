"""A boost converter fed by a switching input series: phi inductor flux linkage, q output capacitor
charge, H = phi^2/(2L) + q^2/(2C). The switch state s (1 closed, 0 open) is an input that enters the
interconnection: while it is closed the source charges the inductor and the load drains the
capacitor; while it is open the inductor current flows into the capacitor. The switch is lossless:
its port carries no power (its column of G is zero). Losses: the inductor's resistance r and the load R."""

import pathlib
from typing import Any

import numpy as np
import sympy

import zarel


def build() -> zarel.PortHamiltonian:
    phi, q, E, s = sympy.symbols("phi q E s")
    L, C, r, R = sympy.symbols("L C r R", positive=True)
    return zarel.PortHamiltonian(
        [phi, q], H=phi**2 / (2 * L) + q**2 / (2 * C),
        J=[[0, -(1 - s)], [1 - s, 0]], R=[[r, 0], [0, 1 / R]], G=[[1, 0], [0, 0]], inputs=[E, s],
        params={L: 1e-3, C: 100e-6, r: 0.1, R: 50.0},
        outputs={"inductor_current": phi / L, "output_voltage": q / C},
        name="boost_converter")


SWITCHING_FREQUENCY = 20e3
DUTY = 0.5
SAMPLES_PER_PERIOD = 20


def scenario() -> dict[str, Any]:
    """A 12 V source and a 20 kHz switch at duty 0.5 from rest: the output settles near 24 V."""
    t = np.arange(0, 30e-3 * SWITCHING_FREQUENCY * SAMPLES_PER_PERIOD + 1) / (SWITCHING_FREQUENCY * SAMPLES_PER_PERIOD)
    phase = (np.arange(t.size) % SAMPLES_PER_PERIOD) / SAMPLES_PER_PERIOD
    switch = (phase < DUTY).astype(float)
    return {"x0": [0.0, 0.0], "t": t, "u": {"E": 12.0, "s": switch}, "interp": "hold"}


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
