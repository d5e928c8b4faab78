"""A 50-section RLC ladder (a lumped transmission line) built from parts: section i is a series
inductor L_i (with its resistance) into a shunt capacitor C_i; the last capacitor's leak is the
matched load. The first inductor's open port is the source voltage."""

import pathlib
from typing import Any

import numpy as np

import zarel
from zarel import parts

SECTIONS = 50


def build(sections: int = SECTIONS) -> zarel.PortHamiltonian:
    L, C = 1e-3, 1e-6
    impedance = (L / C) ** 0.5  # a load equal to the line's impedance reflects nothing back
    inductor = parts.inductor(L=L, R=0.05, ports=("left", "right"))
    node = parts.capacitor(C=C, ports=("left", "right"))
    load = parts.capacitor(C=C, G=1.0 / impedance, ports=("left",))
    members: dict[str, zarel.PortHamiltonian] = {}
    links = []
    for i in range(sections):
        members[f"L{i}"] = inductor
        members[f"C{i}"] = node if i + 1 < sections else load
        # the inductor's current charges the node; the node's voltage opposes it
        links.append((f"L{i}.right", f"C{i}.left"))
        if i + 1 < sections:
            links.append((f"C{i}.right", f"L{i + 1}.left"))
    return zarel.connect(members, links, name="rlc_ladder")


def scenario() -> dict[str, Any]:
    """A 1 V step at the source: the wave runs down the line into the load."""
    return {"x0": {}, "t": np.linspace(0.0, 4e-3, 2001), "u": {"L0.left": 1.0}}


if __name__ == "__main__":
    build().to_json(pathlib.Path(__file__).with_suffix(".json"))
