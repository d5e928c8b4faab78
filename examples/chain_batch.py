"""A chain of 1,000 masses and 999 springs built from parts (1,999 states), the first mass struck
and the chain run as one parallel batch over its damping. Its document is large: written only when
this file runs, not kept with the examples."""

import pathlib
from typing import Any

import numpy as np

import zarel
from zarel import parts

MASSES = 1000


def build(masses: int = MASSES) -> zarel.PortHamiltonian:
    mass = parts.mass(m=1.0, b=0.0, ports=("left", "right"))
    spring = parts.spring(k=1.0)
    members = {**{f"m{i}": mass for i in range(masses)}, **{f"s{i}": spring for i in range(masses - 1)}}
    links = [link for i in range(masses - 1)
             for link in ((f"m{i}.right", f"s{i}.a"), (f"m{i + 1}.left", f"s{i}.b"))]
    return zarel.connect(members, links, name="chain_batch")


def damping_batch(system: zarel.System, dampings: np.ndarray, t: np.ndarray) -> Any:
    """One run per damping (the same b on every mass), all in one parallel batch."""
    params = np.tile(system.param_values, (len(dampings), 1))
    for i, name in enumerate(system.param_names):
        if name.endswith(".b"):
            params[:, i] = dampings
    x0s = np.tile(system.signature.vector("state", {"m0.p": 1.0}), (len(dampings), 1))
    return system.model().simulate_batch(x0s, t, params=params, method="rk4")


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
