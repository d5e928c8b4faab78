"""Pendulum with viscous friction, driven by a torque at the pivot: theta angle from the downward
vertical, p angular momentum, H = p^2/(2 m l^2) + m g l (1 - cos theta)."""

import pathlib
from typing import Any

import numpy as np
import sympy

import zarel


def build() -> zarel.PortHamiltonian:
    theta, p, tau = sympy.symbols("theta p tau")
    m, l, g, b = sympy.symbols("m l g b", positive=True)
    return zarel.PortHamiltonian(
        [theta, p], H=p**2 / (2 * m * l**2) + m * g * l * (1 - sympy.cos(theta)),
        J=[[0, 1], [-1, 0]], R=[[0, 0], [0, b]], G=[0, 1], inputs=[tau],
        params={m: 1.0, l: 0.5, g: 9.81, b: 0.05},
        outputs={"angle": theta, "angular_velocity": p / (m * l**2), "bob_height": l * (1 - sympy.cos(theta))},
        name="pendulum")


def scenario() -> dict[str, Any]:
    """Released near the top (2.5 rad) and rocked by a small torque."""
    return {"x0": {"theta": 2.5}, "t": np.linspace(0.0, 10.0, 1001),
            "u": lambda t: 0.5 * np.sin(2 * np.pi * t / 10.0)}


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
