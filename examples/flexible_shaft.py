"""A DC motor driving an inertial load through a flexible shaft whose stiffness hardens with twist.
phi armature flux linkage, p_m motor momentum, theta shaft twist, p_l load momentum;
H = phi^2/(2L) + p_m^2/(2 J_m) + k theta^2/2 + k3 theta^4/4 + p_l^2/(2 J_l). The shaft torque
k theta + k3 theta^3 couples the two inertias; the motor's gyrator K couples the armature to the rotor."""

import pathlib
from typing import Any

import numpy as np
import sympy

import zarel


def build() -> zarel.PortHamiltonian:
    phi, p_m, theta, p_l = sympy.symbols("phi p_m theta p_l")
    V, load_torque = sympy.symbols("V load_torque")
    R_a, L, K, J_m, b_m, k, k3, J_l, b_l = sympy.symbols("R_a L K J_m b_m k k3 J_l b_l", positive=True)
    H = phi**2 / (2 * L) + p_m**2 / (2 * J_m) + k * theta**2 / 2 + k3 * theta**4 / 4 + p_l**2 / (2 * J_l)
    # gradient order: current, motor speed, shaft torque, load speed
    J = [[0, -K, 0, 0],
         [K, 0, -1, 0],
         [0, 1, 0, -1],
         [0, 0, 1, 0]]
    R = sympy.diag(R_a, b_m, 0, b_l)
    G = [[1, 0], [0, 0], [0, 0], [0, 1]]
    return zarel.PortHamiltonian(
        [phi, p_m, theta, p_l], H, J, R, G, inputs=[V, load_torque],
        params={R_a: 2.0, L: 5e-3, K: 0.05, J_m: 2e-5, b_m: 1e-5, k: 5.0, k3: 500.0, J_l: 1e-3, b_l: 1e-3},
        outputs={
            "current": phi / L,
            "motor_speed": p_m / J_m,
            "load_speed": p_l / J_l,
            "shaft_torque": k * theta + k3 * theta**3,
        },
        name="flexible_shaft")


def scenario() -> dict[str, Any]:
    """A 12 V step from rest; from t = 1 the load brakes with 0.2 N m."""
    return {"x0": [0.0, 0.0, 0.0, 0.0], "t": np.linspace(0.0, 2.0, 4001),
            "u": lambda t: {"V": 12.0, "load_torque": -0.2 if t >= 1.0 else 0.0}}


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
