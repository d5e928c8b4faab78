"""Series RLC circuit driven by a voltage source: q capacitor charge, phi inductor flux linkage,
H = q^2/(2C) + phi^2/(2L); the loop current phi/L is the port output."""

import pathlib
from typing import Any

import numpy as np
import sympy

import zarel


def build() -> zarel.PortHamiltonian:
    q, phi, V = sympy.symbols("q phi V")
    R, L, C = sympy.symbols("R L C", positive=True)
    return zarel.PortHamiltonian(
        [q, phi], H=q**2 / (2 * C) + phi**2 / (2 * L),
        J=[[0, 1], [-1, 0]], R=[[0, 0], [0, R]], G=[0, 1], inputs=[V],
        params={R: 10.0, L: 0.1, C: 0.001},
        outputs={"current": phi / L, "capacitor_voltage": q / C},
        name="rlc_series")


def scenario() -> dict[str, Any]:
    """A charged capacitor rings down while a 100 Hz source of 1 V drives the loop."""
    return {"x0": {"q": 1e-3}, "t": np.linspace(0.0, 0.05, 1001),
            "u": lambda t: np.sin(2 * np.pi * 100.0 * t)}


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
