"""Ferroresonance: a sinusoidal source drives a capacitor in series with an iron-core inductor that
saturates, through a resistance. q capacitor charge, phi inductor flux linkage. The inductor's
current i = I_s sinh(phi/phi_s) is linear (inductance phi_s/I_s) for small flux and grows steeply once
the core saturates, which lowers its incremental inductance, pulls the circuit's resonance up to
the source frequency and lets the current jump to a large, distorted oscillation.
H = q^2/(2C) + I_s phi_s (cosh(phi/phi_s) - 1)."""

import pathlib
from typing import Any

import numpy as np
import sympy

import zarel


def build() -> zarel.PortHamiltonian:
    q, phi, V = sympy.symbols("q phi V")
    C, r, I_s, phi_s = sympy.symbols("C r I_s phi_s", positive=True)
    return zarel.PortHamiltonian(
        [q, phi], H=q**2 / (2 * C) + I_s * phi_s * (sympy.cosh(phi / phi_s) - 1),
        J=[[0, 1], [-1, 0]], R=[[0, 0], [0, r]], G=[0, 1], inputs=[V],
        params={C: 60e-6, r: 5.0, I_s: 1.0, phi_s: 0.2},
        outputs={
            "current": I_s * sympy.sinh(phi / phi_s),
            "capacitor_voltage": q / C,
            "incremental_inductance": phi_s / (I_s * sympy.cosh(phi / phi_s)),
        },
        name="ferroresonance")


def scenario() -> dict[str, Any]:
    """A 50 Hz source of 20 V amplitude switched onto the discharged circuit."""
    return {"x0": [0.0, 0.0], "t": np.linspace(0.0, 0.2, 4001),
            "u": lambda t: 20.0 * np.sin(2 * np.pi * 50.0 * t), "interp": "linear"}


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
