"""Gonzalez's discrete gradient method: the structure model it runs on, its runs and its certificate."""

from __future__ import annotations

from collections.abc import Mapping, Sequence, Set as AbstractSet
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt
import sympy

import zarel_engine

from . import _engine
from .balance import DISSIPATED, ENERGY, SUPPLIED, Run, top_parts
from .lowering import lower

if TYPE_CHECKING:
    from zarel_engine import _Trajectory

    from .inputs import Exact
    from .result import Result
    from .symbolic import Sparse, _Symbols
    from .system import Signature, System

Array = npt.NDArray[np.float64]

METHOD = "discrete_gradient"

# d . d below the smallest normal double: the discrete gradient's quotient is 0/0 (a state at
# rest) or would overflow, and the gradient at the mean state is taken, as the engine takes it
TINY = float(np.finfo(np.float64).tiny)
# a defect H(x1) - H(x0) - grad H(xm) . d within this many units of the round-off of its terms is
# noise, taken as zero, as the engine takes it (8 ulps)
DEFECT_ROUND_OFF = 8.0 * float(np.finfo(np.float64).eps)


def gradient_names(states: Sequence[str], taken: AbstractSet[str]) -> list[str]:
    """The names of the structure model's inputs g: "grad_H.<state>", prefixed with "_" until
    they name nothing in `taken`."""
    names = []
    for state in states:
        label = f"grad_H.{state}"
        while label in taken:
            label = "_" + label
        names.append(label)
    return names


def structure_document(sym: _Symbols, name: str, J: Sparse, R: Sparse, G: Sparse, D: Sparse) -> dict[str, Any]:
    """The structure model of a port-Hamiltonian system: its states and parameters, inputs u (the
    system's) followed by g (one per state, the gradient's stand-in), dx/dt = (J - R)(x) g + G(x) u,
    port outputs G^T g + D u on the port values u (so its supplied power is (G^T g + D u) . u) and
    the output "dissipated_power" = g^T R g + u^T D u."""
    n, m = len(sym.states), len(sym.inputs)
    x = [sym.real[s] for s in sym.states]
    u = [sym.real[s] for s in sym.inputs]
    g = [sympy.Dummy(f"g{j}", real=True) for j in range(n)]
    slots: dict[sympy.Symbol, int] = {s: i for i, s in enumerate(x)}
    slots.update({s: n + k for k, s in enumerate(u)})
    slots.update({s: n + m + j for j, s in enumerate(g)})
    slots.update({sym.real[s]: 2 * n + m + i for i, s in enumerate(sym.params)})
    from .symbolic import structured, t as time

    slots[time] = 2 * n + m + len(sym.params)
    rows, ports, dissipated = structured(J, R, G, D, g, u)
    gradients = gradient_names([s.name for s in sym.states], {s.name for s in (*sym.states, *sym.inputs, *sym.params)})
    return {
        "name": f"{name}.structure",
        "state_names": [s.name for s in sym.states],
        "input_names": [s.name for s in sym.inputs] + gradients,
        "param_names": [s.name for s in sym.params],
        "n_states": n,
        "n_inputs": m + n,
        "n_params": len(sym.params),
        "param_values": sym.param_values,
        "rhs": [lower(row, slots) for row in rows],
        "port_outputs": [lower(y, slots) for y in ports],
        "port_values": [lower(s, slots) for s in u],
        "outputs": [lower(dissipated, slots)],
        "output_names": ["dissipated_power"],
    }


def refusal(system: Optional[System]) -> Optional[str]:
    """Why `system` cannot run the discrete gradient method (None when it can)."""
    if system is None:
        return (f"method {METHOD!r} needs the J, R and G of a zarel.PortHamiltonian, not a bare "
                f"zarel_engine.Model")
    from .compose import Composite, structureless_part

    if isinstance(system, Composite) and (part := structureless_part(system)) is not None:
        return (f"method {METHOD!r} needs the J, R and G of every part of {system.name!r}; its part {part!r} "
                f"has none (a document loaded by zarel.load); use 'midpoint'")
    if system.structure_system is not None:
        return None
    return (f"method {METHOD!r} needs the J, R and G of a zarel.PortHamiltonian; {system.name!r} "
            f"({type(system).__name__}) has no such structure")


def energy_blocks(signature: Signature) -> list[tuple[int, int, int]]:
    """The blocks of a model built by `zarel.connect` over which the method takes its discrete
    gradient: for each part with states, (its first state, its number of states, the index of its
    output "part.energy"); none for any other model. A composite places each part's states
    together, in the order of its parts."""
    names = signature.output_names
    blocks = []
    for part in top_parts(signature):
        states = [i for i, s in enumerate(signature.state_names) if s.startswith(f"{part}.")]
        if states:
            blocks.append((states[0], len(states), names.index(f"{part}.{ENERGY}")))
    return blocks


def exact_structure(system: System, structure: System, expressions: Mapping[int, Any]) -> zarel_engine.Model:
    """The structure model with `expressions` (input position -> SymPy expression of zarel.t) in
    place of those inputs, as `zarel.inputs.exact` compiles them into the system's model."""
    import json

    from .inputs import TREES, _replaced
    from .system import _dump

    sig = structure.signature
    n, m, p = len(sig.state_names), len(sig.input_names), len(sig.param_names)

    def build() -> zarel_engine.Model:
        trees = {n + k: lower(e, {s: n + m + p for s in e.free_symbols}) for k, e in sorted(expressions.items())}
        doc = structure.document()
        for member in TREES:
            if doc.get(member) is not None:
                doc[member] = _replaced(doc[member], trees)
        return zarel_engine.Model(_dump(doc))

    key = "structure " + json.dumps({k: sympy.srepr(e) for k, e in sorted(expressions.items())})
    return system.compiled(key, build)


def run(system: System, model: zarel_engine.Model, exact_inputs: Optional[Exact], expressions: Mapping[int, Any],
        x0: Array, grid: Array, series: Optional[Array], params: Array, interp: str,
        options: Mapping[str, Any]) -> tuple[_Trajectory, zarel_engine.Model]:
    """The engine's run of the method, and the structure model it ran on."""
    structure = system.structure_system
    assert structure is not None
    structure_model = exact_structure(system, structure, expressions) if exact_inputs is not None \
        else structure.model()
    result = _engine.simulate_discrete_gradient(model, structure_model, x0, grid, series, params=params,
                                                interp=interp, blocks=energy_blocks(system.signature), **options)
    return result, structure_model


def interval_energies(result: Result, structure: zarel_engine.Model) -> tuple[Array, Array]:
    """The supplied and dissipated energy of each interval of a run of the method: h (G^T gbar +
    D u) . u and h (gbar^T R gbar + u^T D u) with Gonzalez's discrete gradient gbar recomputed from
    the recorded states and energies (per part of a model built by `zarel.connect`, as the method
    takes it), at the mean state, the middle of the interval and the input the method used there."""
    mean, su, tm, h = _discrete_gradient(result)
    params = result.params
    supplied = _engine.evaluate(structure, "supplied_power", mean, su, tm, params=params) * h
    dissipated = _engine.evaluate(structure, "outputs", mean, su, tm, params=params)[:, 0] * h
    return supplied, dissipated


def part_energies(result: Run, structure: zarel_engine.Model, parts: Sequence[str]) -> Array:
    """The supplied and dissipated energy of each interval for each of `parts` (parts of the
    composite the run of the method ran, each with its outputs in the structure model), as columns
    (supplied, dissipated) per part, by the rule of `interval_energies` applied to the part's ports
    and resistive structure."""
    names = structure.output_names
    mean, su, tm, h = _discrete_gradient(result)
    powers = _engine.evaluate(structure, "outputs", mean, su, tm, params=result.params) * h[:, None]
    return np.column_stack([powers[:, names.index(f"{p}.{what}")] for p in parts for what in (SUPPLIED, DISSIPATED)])


def _discrete_gradient(result: Run) -> tuple[Array, Array, Array, Array]:
    """The mean states, the structure model's inputs [u, gbar], the middle times and the lengths
    of the intervals of a run of the method, gbar as the method takes it."""
    t, x, params = result.t, result.x, result.params
    h = np.diff(t)
    d = x[1:] - x[:-1]
    mean = (x[:-1] + x[1:]) * 0.5
    grad = _engine.evaluate(result.model, "grad_h", mean, params=params)
    blocks = energy_blocks(result.signature)
    if blocks:
        levels = _engine.evaluate(result.model, "outputs", x, result.u, t, params=params)
        pieces = [(slice(first, first + count), levels[:, output]) for first, count, output in blocks]
    else:
        pieces = [(slice(0, x.shape[1]), result.energy)]
    gbar = grad.copy()
    for states, energy in pieces:
        gbar[:, states] = _corrected(grad[:, states], d[:, states], energy)
    s = np.zeros((len(t), result.model.n_inputs)) if result.series is None else result.series
    u = s[:-1] if result.interp == "hold" else (s[1:] - s[:-1]) * 0.5 + s[:-1]
    return mean, np.column_stack([u, gbar]), t[:-1] + 0.5 * h, h


def _corrected(grad: Array, d: Array, energy: Array) -> Array:
    """Gonzalez's discrete gradient over states whose energy is `energy` at the recorded points,
    from its gradient at the mean states and the steps d, with the engine's round-off rule."""
    dot = np.sum(grad * d, axis=1)
    dd = np.sum(d * d, axis=1)
    defect = np.diff(energy) - dot
    noise = DEFECT_ROUND_OFF * ((np.abs(energy[:-1]) + np.abs(energy[1:])) + np.sum(np.abs(grad * d), axis=1))
    use = (np.abs(defect) > noise) & (dd >= TINY)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        c = np.where(use, defect / np.where(use, dd, 1.0), 0.0)
    c = np.where(np.isfinite(c), c, 0.0)
    result: Array = c[:, None] * d + grad
    return result
