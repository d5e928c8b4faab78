"""Inputs of a run: series sampled on the grid, and SymPy expressions of time compiled into the model."""

from __future__ import annotations

import json
import sys
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

import zarel_engine

from . import _engine
from .system import Signature, System, _dump

Array = npt.NDArray[np.float64]
Inputs = Union[None, npt.ArrayLike, Mapping[Any, Any], Callable[[float], Any]]

# Members of a document that hold expression trees (all others are sizes, names and values).
TREES = ("rhs", "jacobian", "energy", "grad_H", "port_outputs", "port_values", "outputs")


def input_series(signature: Signature, t: Array, u: Inputs) -> Optional[Array]:
    """The (len(t), n_inputs) series the engine reads, from any form `simulate` accepts but
    expressions (see `split`)."""
    if u is None:
        return None
    n, m = len(t), len(signature.input_names)
    if callable(u):
        rows = [u(float(tk)) for tk in t]
        return np.stack([_input_vector(signature, row) for row in rows]) if n else np.zeros((0, m))
    if isinstance(u, Mapping):
        series = np.zeros((n, m))
        for j, values in signature.positions("input", u).items():
            key = signature.input_names[j]
            if callable(values):
                raise TypeError(f"input {str(key)!r} is a function; give it a (len(t),) array, a scalar or a SymPy "
                                f"expression of zarel.t, or pass u itself as a function of time returning the inputs")
            column = np.asarray(values, dtype=float)
            if column.shape not in ((), (n,)):
                raise ValueError(f"input {str(key)!r} has shape {column.shape}; expected a scalar or {n} values, "
                                 f"one per time point")
            series[:, j] = column
        return series
    series = np.array(u, dtype=float)
    if series.ndim == 1 and m == 1:
        series = series[:, None]
    if series.shape != (n, m):
        raise ValueError(f"u must have shape (len(t), n_inputs) = ({n}, {m}), got {series.shape}")
    return series


def _input_vector(signature: Signature, value: Any) -> Array:
    if isinstance(value, Mapping):
        return signature.vector("input", value)
    return signature.vector("input", np.atleast_1d(np.asarray(value, dtype=float)))


def split(signature: Signature, u: Inputs) -> tuple[Inputs, dict[int, Any]]:
    """`u` without its SymPy expressions of time, and those by input position.

    Expressions come as values of a mapping, or as `u` itself for a model with one input.
    """
    sympy = sys.modules.get("sympy")
    if sympy is None:  # nothing can be a SymPy expression before SymPy is imported
        return u, {}

    def expression(value: Any) -> bool:
        return isinstance(value, sympy.Expr) and bool(value.free_symbols)

    if expression(u):
        if len(signature.input_names) != 1:
            raise ValueError(f"one expression for {len(signature.input_names)} inputs; map input names to "
                             "expressions instead")
        return None, {0: u}
    if not isinstance(u, Mapping):
        return u, {}
    signature.positions("input", u)  # the same input given twice, once as an expression, is refused too
    expressions = {signature.index("input", key): value for key, value in u.items() if expression(value)}
    rest = {key: value for key, value in u.items() if not expression(value)}
    return (rest if rest else None) if expressions else u, expressions


@dataclass(frozen=True)
class Exact:
    """A model whose inputs given as expressions are read from them, not from the series."""

    model: zarel_engine.Model
    document: str
    recorder: zarel_engine.Model  # no states; its outputs are the expressions, of its slot 0 (time)
    columns: tuple[int, ...]  # input positions, in the order of the recorder's outputs

    def recorded(self, t: Array) -> Array:
        """The expressions at the times `t`, one column per entry of `columns`."""
        return _engine.evaluate(self.recorder, "outputs", np.empty((len(t), 0)), t=t)


def exact(system: Optional[System], expressions: Mapping[int, Any]) -> Exact:
    """The System's model with `expressions` (input position -> SymPy expression of zarel.t) in
    place of those inputs in every expression tree, compiled once per System and set of expressions."""
    if system is None:
        raise TypeError("inputs given as expressions need a zarel.System (they are compiled into its "
                        "document), not a bare zarel_engine.Model")
    import sympy

    from .lowering import lower

    sig = system.signature
    n, m, p = len(sig.state_names), len(sig.input_names), len(sig.param_names)

    def build() -> Exact:
        trees, at_zero = {}, {}
        for k, expr in sorted(expressions.items()):
            for s in expr.free_symbols:
                if str(s) != "t":
                    raise ValueError(f"input {sig.input_names[k]!r}: an input expression may depend on time "
                                     f"(zarel.t) only, not on {s}")
            trees[n + k] = lower(expr, {s: n + m + p for s in expr.free_symbols})
            at_zero[k] = lower(expr, {s: 0 for s in expr.free_symbols})
        doc = system.document()
        for member in TREES:
            if doc.get(member) is not None:
                doc[member] = _replaced(doc[member], trees)
        recorder = {"n_states": 0, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [],
                    "outputs": list(at_zero.values()), "output_names": [str(k) for k in at_zero]}
        text = _dump(doc)
        return Exact(zarel_engine.Model(text), text, zarel_engine.Model(json.dumps(recorder)), tuple(at_zero))

    # lowered once per System and set of expressions: a repeated run only prints them
    key = json.dumps({k: sympy.srepr(e) for k, e in sorted(expressions.items())})
    return system.compiled(key, build)


def _replaced(node: Any, trees: Mapping[int, Any]) -> Any:
    """`node` with every ["ref", slot] of a slot in `trees` replaced by that tree."""
    if not isinstance(node, list):
        return node
    if len(node) == 2 and node[0] == "ref" and isinstance(node[1], int) and node[1] in trees:
        return trees[node[1]]
    return [_replaced(child, trees) for child in node]
