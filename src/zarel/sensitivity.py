"""Forward sensitivities: a model's variational equations, written from its expression trees and
compiled by the engine as one augmented model that every method runs.

For quantities theta_1 .. theta_K (parameters, and initial states named "x0.NAME"), the
sensitivities S_k = dx/dtheta_k follow S_k' = J S_k + df/dtheta_k, with J = df/dx; S_k(0) is zero
for a parameter and the unit vector of its state for an initial state. The augmented model's
states are x, then S_1, ..., S_K (n each); its outputs are the model's own, then for each theta_k
the derivative of every named output, dy/dx S_k + dy/dtheta_k. Its Jacobian is exact too
(second derivatives of f), up to a size beyond which the engine's finite differences take over.
The error control covers x alone, so where a method's steps do not depend on the Jacobian (the
explicit methods) the augmented run takes the plain run's steps and its x is the plain run's,
bit for bit.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

import zarel_engine

from .derivative import ZERO, derivative, mul, shifted, total
from .system import Signature, System, _dump

Array = npt.NDArray[np.float64]

# Prefix of an initial state among the sensitivities' names: "x0.q" is q's initial value.
INITIAL = "x0."

# Augmented models with more states than this get no Jacobian in their document (its n^2 trees
# would be most of the document); the implicit methods then use the engine's finite differences.
JACOBIAN_STATES = 600


@dataclass(frozen=True)
class Quantities:
    """What the sensitivities are taken with respect to: parameter positions and initial-state
    positions, each in the order of the names given."""

    names: tuple[str, ...]
    params: tuple[Optional[int], ...]  # the parameter's position, or None for an initial state
    states: tuple[Optional[int], ...]  # the state's position, or None for a parameter


def quantities(signature: Signature, names: Sequence[str], what: str = "sensitivities") -> Quantities:
    """The positions of `names`: parameter names and "x0." followed by a state name."""
    if isinstance(names, str):
        names = [names]
    params: list[Optional[int]] = []
    states: list[Optional[int]] = []
    seen: set[str] = set()
    for name in names:
        name = str(name)
        if name in seen:
            raise ValueError(f"{what}: {name!r} is given twice")
        seen.add(name)
        if name in signature.param_names:
            params.append(signature.param_names.index(name))
            states.append(None)
        elif name.startswith(INITIAL) and name[len(INITIAL):] in signature.state_names:
            params.append(None)
            states.append(signature.state_names.index(name[len(INITIAL):]))
        else:
            known = ", ".join(signature.param_names) or "(none)"
            initial = ", ".join(INITIAL + s for s in signature.state_names) or "(none)"
            raise ValueError(f"{what}: {name!r} is neither a parameter nor an initial state; parameters are: "
                             f"{known}; initial states are: {initial}")
    if not seen:
        raise ValueError(f"{what}: name at least one parameter or initial state")
    return Quantities(tuple(str(n) for n in names), tuple(params), tuple(states))


def augmented_document(doc: dict[str, Any], wrt: Quantities, jacobian: bool = True) -> dict[str, Any]:
    """The engine document of the model and its variational equations (see the module's text),
    with its Jacobian unless `jacobian` is False (the explicit methods never read it)."""
    n, m, p = int(doc["n_states"]), int(doc["n_inputs"]), int(doc["n_params"])
    K = len(wrt.names)
    N = n * (1 + K)

    def moved(node: Any) -> Any:
        # the model's own slots in the augmented environment: inputs, parameters and t move up
        return shifted(node, n, n * K)

    def s(j: int, k: int) -> list[Any]:
        return ["ref", n + k * n + j]

    rhs = list(doc["rhs"])
    memo: dict[int, Any] = {}  # the slots each subtree reads, found once for every derivative
    jac = [[derivative(f, j, memo) for j in range(n)] for f in rhs]
    param_slot = [None if q is None else n + m + q for q in wrt.params]

    def directional(expr: Any, k: int, rows: Any) -> Any:
        """d expr/dx S_k + d expr/dtheta_k, in the augmented slots; `rows` holds d expr/dx_j."""
        terms = [mul(moved(rows[j]), s(j, k)) for j in range(n)]
        slot = param_slot[k]
        if slot is not None:
            terms.append(moved(derivative(expr, slot, memo)))
        return total(terms)

    out_rhs = [moved(f) for f in rhs]
    for k in range(K):
        out_rhs += [directional(f, k, jac[i]) for i, f in enumerate(rhs)]
    outputs = list(doc.get("outputs") or [])
    names = list(doc.get("output_names") or [])
    out_outputs = [moved(y) for y in outputs]
    out_names = [str(v) for v in names]
    for k in range(K):
        for o, y in enumerate(outputs):
            rows = [derivative(y, j, memo) for j in range(n)]
            out_outputs.append(directional(y, k, rows))
            out_names.append(f"d {names[o] if o < len(names) else o} / d {wrt.names[k]}")
    aug: dict[str, Any] = {
        "n_states": N, "n_inputs": m, "n_params": p, "param_values": doc["param_values"],
        "rhs": out_rhs, "outputs": out_outputs, "output_names": out_names,
    }
    if doc.get("energy") is not None:
        aug["energy"] = moved(doc["energy"])
    for key in ("grad_H", "port_outputs", "port_values"):
        if doc.get(key) is not None:
            aug[key] = [moved(node) for node in doc[key]]
    if jacobian and N <= JACOBIAN_STATES:
        aug["jacobian"] = _jacobian(out_rhs, jac, n, K, moved, memo)
    return aug


def _jacobian(rhs: list[Any], jac: list[list[Any]], n: int, K: int, moved: Any, memo: dict[int, Any]) -> list[Any]:
    """The augmented model's Jacobian, row-major: [[J, 0], [d(J S_k + f_k)/dx, J on S_k's block]]."""
    N = n * (1 + K)
    rows: list[Any] = []
    for i in range(n):
        rows += [moved(jac[i][j]) for j in range(n)] + [ZERO] * (n * K)
    for k in range(K):
        for i in range(n):
            row = [derivative(rhs[n + k * n + i], j, memo) for j in range(n)]
            row += [ZERO] * (n * K)
            for j in range(n):
                row[n + k * n + j] = moved(jac[i][j])
            rows += row
    assert len(rows) == N * N
    return rows


@dataclass(frozen=True)
class Augmented:
    """The compiled augmented model of one model and one list of quantities."""

    model: zarel_engine.Model
    wrt: Quantities
    n: int
    outputs: int  # the model's own named outputs

    def start(self, x0: Array) -> Array:
        """The augmented initial state: x0, then each S_k(0)."""
        n, K = self.n, len(self.wrt.names)
        out = np.zeros(n * (1 + K))
        out[:n] = x0
        for k, j in enumerate(self.wrt.states):
            if j is not None:
                out[n + k * n + j] = 1.0
        return out

    def split(self, x: Array, outputs: Array) -> tuple[Array, Array, Array]:
        """The states, outputs and sensitivities of a run of the augmented model: x (L, n), the
        outputs (L, q) and the sensitivities (L, n + q, K), states then outputs."""
        n, q, K = self.n, self.outputs, len(self.wrt.names)
        L = x.shape[0]
        sens_x = x[:, n:].reshape(L, K, n)
        recorded = outputs.shape[1] == q * (1 + K)
        parts = [sens_x]
        if recorded:
            parts.append(outputs[:, q:].reshape(L, K, q))
        sens = np.ascontiguousarray(np.concatenate(parts, axis=2).transpose(0, 2, 1))
        return np.ascontiguousarray(x[:, :n]), np.ascontiguousarray(outputs[:, :q] if recorded else outputs), sens


def augmented(system: Optional[System], document: Optional[str], wrt: Quantities, jacobian: bool = True) -> Augmented:
    """The augmented model of `system` (its document, or `document` when given: the System's model
    with its input expressions compiled in), compiled once per System, list of quantities and
    whether it has a Jacobian."""
    if system is None:
        raise TypeError("sensitivities need a zarel.System (they are written from its document), not a bare "
                        "zarel_engine.Model")

    def build() -> Augmented:
        doc = json.loads(document) if document is not None else system.document()
        aug = augmented_document(doc, wrt, jacobian)
        return Augmented(zarel_engine.Model(_dump(aug)), wrt, int(doc["n_states"]), len(doc.get("outputs") or []))

    key = json.dumps(["sensitivities", list(wrt.names), document, jacobian])
    return system.compiled(key, build)
