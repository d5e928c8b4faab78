"""Damped mass-spring oscillator driven by a force: q position, p momentum, H = p^2/(2m) + k q^2/2."""

import pathlib
from typing import Any

import numpy as np
import sympy

import zarel


def build() -> zarel.PortHamiltonian:
    q, p, F = sympy.symbols("q p F")
    m, k, c = sympy.symbols("m k c", positive=True)
    return zarel.PortHamiltonian(
        [q, p], H=p**2 / (2 * m) + k * q**2 / 2,
        J=[[0, 1], [-1, 0]], R=[[0, 0], [0, c]], G=[0, 1], inputs=[F],
        params={m: 1.0, k: 4.0, c: 0.4},
        outputs={"position": q, "velocity": p / m, "spring_force": k * q},
        name="mass_spring_damper")


def scenario() -> dict[str, Any]:
    """Released from q = 1 and pushed by a slow sinusoidal force."""
    return {"x0": {"q": 1.0}, "t": np.linspace(0.0, 10.0, 1001),
            "u": lambda t: 0.5 * np.sin(2 * np.pi * t / 10.0)}


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
