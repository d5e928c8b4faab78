"""Permanent-magnet DC motor with an electrical port (armature voltage V) and a mechanical one
(external shaft torque): phi armature flux linkage, p rotor angular momentum,
H = phi^2/(2L) + p^2/(2 J_r). The gyrator K couples the ports without storing or losing energy."""

import pathlib
from typing import Any

import numpy as np
import sympy

import zarel


def build() -> zarel.PortHamiltonian:
    phi, p, V, torque = sympy.symbols("phi p V torque")
    R, L, J_r, b, K = sympy.symbols("R L J_r b K", positive=True)
    current, speed = phi / L, p / J_r
    return zarel.PortHamiltonian(
        [phi, p], H=phi**2 / (2 * L) + p**2 / (2 * J_r),
        J=[[0, -K], [K, 0]], R=[[R, 0], [0, b]], G=[[1, 0], [0, 1]], inputs=[V, torque],
        params={R: 1.0, L: 0.5, J_r: 0.01, b: 0.1, K: 0.01},
        outputs={"current": current, "speed": speed, "motor_torque": K * current, "back_emf": K * speed},
        name="dc_motor")


def scenario() -> dict[str, Any]:
    """Started from rest by a 12 V step, with a braking torque from t = 5."""
    return {"x0": [0.0, 0.0], "t": np.linspace(0.0, 10.0, 1001),
            "u": lambda t: {"V": 12.0, "torque": -0.01 if t >= 5.0 else 0.0}}


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
