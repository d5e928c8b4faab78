"""The plan of a sweep: its runs, what every chunk shares, the chunks, and the variables of its result."""

from __future__ import annotations

import hashlib
import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from .system import Signature, finite_grid

# "status" of a run not computed yet (seen only in a store whose sweep was interrupted)
PENDING = ""


@dataclass(frozen=True)
class Plan:
    """What every chunk of a sweep shares; sent once to each Dask worker."""

    document: Optional[str]  # None for a bare engine model (local sweeps only)
    t: np.ndarray
    u: Optional[np.ndarray]  # (len(t), n_inputs) series, or None
    method: str
    options: dict[str, Any]  # of the batch: interp, rtol, atol, newton_tol, max_newton, dense
    n_states: int
    n_outputs: int
    derived: bool  # record supplied power and named outputs


@dataclass(frozen=True)
class Chunk:
    index: int
    start: int
    stop: int
    x0s: np.ndarray
    params: np.ndarray


def time_grid(values: Any) -> np.ndarray:
    t: np.ndarray = np.array(values, dtype=np.float64)
    if t.ndim != 1 or len(t) < 2:
        raise ValueError(f"t must be a 1-D time grid of at least two points, got shape {t.shape}")
    finite_grid(t)
    if not np.all(t[1:] > t[:-1]):
        raise ValueError("the time grid must be strictly increasing")
    return t


def runs(signature: Signature, x0: Any, params: Any,
         defaults: np.ndarray) -> tuple[np.ndarray, np.ndarray, dict[str, np.ndarray]]:
    """Initial states (N, n_states), parameter rows (N, n_params), and the varied columns by the
    name of their coordinate on "run" (a parameter's name, "initial_" and a state's name)."""
    p, varied = _parameters(signature, params, defaults)
    x, varied_states = _initial_states(signature, x0)
    for what, rows in (("x0", x), ("params", p)):
        if len(rows) == 0:
            raise ValueError(f"{what} holds no run; a sweep needs at least one")
    if len(x) != len(p) and 1 not in (len(x), len(p)):
        raise ValueError(f"x0 has {len(x)} rows but params {len(p)}")
    n_runs = max(len(x), len(p))
    x, p = np.repeat(x, n_runs // len(x), axis=0), np.repeat(p, n_runs // len(p), axis=0)
    varied.update({f"initial_{name}": x[:, j].copy() for j, name in enumerate(signature.state_names)
                   if name in varied_states})
    return np.ascontiguousarray(x), np.ascontiguousarray(p), varied


def _parameters(signature: Signature, params: Any, defaults: np.ndarray) -> tuple[np.ndarray, dict[str, np.ndarray]]:
    if params is None:
        return defaults[None, :].copy(), {}
    if isinstance(params, Mapping):
        columns = _columns(signature, "param", params, "params")
        p = np.tile(defaults, (_length(columns, "params"), 1))
        for name, column in columns.items():
            p[:, signature.param_names.index(name)] = column
        return p, columns
    p = np.array(params, dtype=np.float64)
    if p.ndim != 2 or p.shape[1] != len(defaults):
        raise ValueError(f"params must be a mapping or an array of shape (runs, {len(defaults)}), got shape {p.shape}")
    return p, {name: p[:, j].copy() for j, name in enumerate(signature.param_names) if _varies(p[:, j])}


def _initial_states(signature: Signature, x0: Any) -> tuple[np.ndarray, set[str]]:
    n = len(signature.state_names)
    if x0 is None:
        return np.zeros((1, n)), set()
    if isinstance(x0, Mapping):
        signature.positions("state", x0)  # a state given twice, once as an array, say
        arrays = {k: v for k, v in x0.items() if np.ndim(v) > 0}
        columns = _columns(signature, "state", arrays, "x0") if arrays else {}
        x = np.tile(signature.vector("state", {k: v for k, v in x0.items() if np.ndim(v) == 0}),
                    (_length(columns, "x0") if columns else 1, 1))
        for name, column in columns.items():
            x[:, signature.state_names.index(name)] = column
        return x, set(columns)
    x = np.array(x0, dtype=np.float64)
    if x.ndim == 1:
        if x.shape != (n,):
            raise ValueError(f"x0 must have {n} entries (or shape (runs, {n})), got shape {x.shape}")
        return x[None, :], set()
    if x.ndim != 2 or x.shape[1] != n:
        raise ValueError(f"x0 must have shape ({n},) or (runs, {n}), got shape {x.shape}")
    return x, {name for j, name in enumerate(signature.state_names) if _varies(x[:, j])}


def _columns(signature: Signature, kind: Any, values: Mapping[Any, Any], what: str) -> dict[str, np.ndarray]:
    columns = {}
    for j, value in signature.positions(kind, values).items():
        name = signature.names(kind)[j]
        column = np.asarray(value, dtype=np.float64)
        if column.ndim != 1:
            raise ValueError(f"{what}[{name!r}] must be a 1-D array of values, one per run, "
                             f"got shape {column.shape}")
        columns[name] = column
    return columns


def _length(columns: Mapping[str, np.ndarray], what: str) -> int:
    lengths = {len(c) for c in columns.values()}
    if len(lengths) > 1:
        raise ValueError(f"the arrays of {what} differ in length: " + ", ".join(f"{k}: {len(c)}" for k, c in columns.items()))
    return lengths.pop() if lengths else 1


def _varies(column: np.ndarray) -> bool:
    return len(column) > 0 and not np.array_equal(column, np.full(len(column), column[0]), equal_nan=True)


def variables(signature: Signature, plan: Plan, varied: Mapping[str, Any]) -> dict[str, tuple[str, ...]]:
    """Name -> dimensions of every variable of the result, in order."""
    names: dict[str, tuple[str, ...]] = {name: ("run", "time") for name in signature.state_names}
    quantities = ["energy"] + (["supplied_power", *signature.output_names] if plan.derived else [])
    taken = set(names) | {"run", "time", "status"} | set(varied)
    for name in quantities:
        if name in taken:
            raise ValueError(f"the result would hold two quantities named {name!r}; rename the state, "
                             "parameter or output")
        taken.add(name)
        names[name] = ("run", "time")
    clash = set(signature.state_names) & ({"run", "time", "status"} | set(varied))
    if clash:
        raise ValueError(f"the result would hold two quantities named {sorted(clash)[0]!r}; rename it")
    names["status"] = ("run",)
    return names


def fingerprint(plan: Plan, signature: Signature, x0s: np.ndarray, params: np.ndarray) -> str:
    """What makes two sweeps the same: not the chunk, which a store keeps from its creation."""
    h = hashlib.sha256()
    h.update(json.dumps([plan.document or repr(signature), plan.method, sorted(plan.options.items()),
                         plan.derived], default=str).encode())
    for a in (plan.t, plan.u, x0s, params):
        h.update(b"-" if a is None else np.ascontiguousarray(a).tobytes())
    return h.hexdigest()


def chunks(x0s: np.ndarray, params: np.ndarray, chunk: int, first: int = 0) -> list[Chunk]:
    """The runs from `first` on in chunks of `chunk` runs."""
    n_runs = len(x0s)
    return [Chunk(i, a, min(a + chunk, n_runs), x0s[a:a + chunk], params[a:a + chunk])
            for i, a in enumerate(range(first, n_runs, chunk))]
