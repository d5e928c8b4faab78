"""Parameter studies: many runs of one model in chunks, locally or on Dask workers, into xarray and Zarr."""

from __future__ import annotations

import functools
import hashlib
import json
import math
import os
import sys
import time
import uuid
from collections.abc import Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np

import zarel_engine

from .system import Signature, System, as_system

# Without `chunk`, a chunk's states take about this much memory.
CHUNK_BYTES = 64 * 2**20
# Chunks on Dask are made no smaller than this by default: below it the cost of a task dominates.
MIN_TASK_RUNS = 500
# Runs per engine call when supplied power and outputs are evaluated: small enough that the
# evaluation table of a block stays in the processor's cache.
DERIVED_BLOCK = 32
# simulate_batch's defaults, so that a sweep names the same options whether given or not
DEFAULT_OPTIONS = {"interp": "hold", "rtol": 1e-8, "atol": 1e-10, "newton_tol": 1e-10, "max_newton": 50}
# "status" of a run not computed yet (seen only in a store whose sweep was interrupted)
PENDING = ""


def grid(**values: Any) -> dict[str, np.ndarray]:
    """The Cartesian product of value lists, as the ``params`` mapping of :func:`sweep`.

    The first name varies slowest, as in :func:`itertools.product`:
    ``grid(k=[1, 2], c=[0.1, 0.2, 0.3])`` gives 6 runs, k = 1, 1, 1, 2, 2, 2.
    """
    if not values:
        raise TypeError("grid() needs at least one NAME=VALUES")
    axes = []
    for name, v in values.items():
        a = np.asarray(v, dtype=np.float64)
        if a.ndim != 1 or a.size == 0:
            raise ValueError(f"grid values of {name!r} must be a non-empty list of numbers, got shape {a.shape}")
        axes.append(a)
    return {name: m.ravel() for name, m in zip(values, np.meshgrid(*axes, indexing="ij"))}


@dataclass(frozen=True)
class Plan:
    """What every chunk of a sweep shares; sent once to each Dask worker."""

    document: Optional[str]  # None for a bare engine model (local sweeps only)
    t: np.ndarray
    u: Optional[np.ndarray]  # (len(t), n_inputs) series, or None
    u_rec: np.ndarray  # (len(t), n_inputs): the input the engine records at each grid point
    defaults: np.ndarray  # parameter values of runs without their own
    method: str
    options: dict[str, Any]
    n_states: int
    derived: bool  # evaluate supplied power and named outputs


@dataclass(frozen=True)
class Chunk:
    index: int
    start: int
    stop: int
    x0s: np.ndarray
    params: Optional[np.ndarray]


def sweep(
    system_or_model: Union[System, zarel_engine.Model],
    t: Any,
    x0: Any = None,
    params: Any = None,
    u: Any = None,
    method: str = "midpoint",
    client: Any = None,
    chunk: Optional[int] = None,
    store: Union[str, os.PathLike[str], None] = None,
    progress: bool = True,
    outputs: bool = True,
    **options: Any,
) -> Any:
    """Run many simulations of one model and return them as an ``xarray.Dataset``.

    ``x0`` is one initial state for every run or one per run ``(N, n_states)`` (array, or a mapping
    from state names); ``params`` an ``(N, n_params)`` array or a mapping from parameter names (or
    symbols) to arrays of one length, the others at their defaults (see :func:`grid`); ``u`` an
    input series ``(len(t), n_inputs)`` shared by all runs, or a mapping from input names to
    series of len(t) values (the others zero). ``options`` are those of
    ``Model.simulate_batch`` (interp, rtol, atol, newton_tol, max_newton).

    The runs go in chunks of ``chunk`` runs, each one ``simulate_batch`` call: in this process
    without ``client``, as one Dask task each with a ``dask.distributed.Client``. A chunk whose batch
    fails is split until the failing runs stand alone: they get NaN and the engine's message in
    "status", every other run its values. With ``store`` (a Zarr path every worker can reach) each
    chunk is written there as it finishes and the result is read lazily from it; running the same
    sweep with the same store again computes only the chunks it lacks.

    On Dask, start workers with one thread each (``dask worker ADDRESS --nthreads 1``): a chunk uses
    all of its worker's processors through the engine's own pool (``RAYON_NUM_THREADS`` sets its
    size). A lost worker costs only the recomputation of its chunks; Ctrl-C cancels the chunks not
    done and leaves a store that resumes. ``progress`` shows runs done, runs per second and time
    left on a terminal once the sweep has lasted a second.

    The Dataset has dimensions "run" and "time": one variable per state, "energy",
    "supplied_power" and each named output (these two only when ``outputs`` and the model's
    document is known: a bare engine model has none), the varied parameters as coordinates on
    "run", and "status", "ok" or the engine's message.
    """
    import xarray as xr

    signature, model, system = as_system(system_or_model)
    if client is not None and system is None:
        raise TypeError("a sweep on Dask workers needs a zarel.System (its document is what they receive), "
                        "not a bare zarel_engine.Model")
    document = system.json() if system is not None else None
    t = _time_grid(t)
    x0s, params, varied = _runs(signature, x0, params)
    n_runs = len(x0s)
    plan = _plan(signature, model, document, t, u, method, options, outputs and document is not None)
    chunk = _chunk_size(chunk, n_runs, len(t) * (len(signature.state_names) + 2 + len(signature.output_names)),
                        client)
    names = _variables(signature, plan, varied)
    chunks = [Chunk(i, a, min(a + chunk, n_runs), x0s[a:a + chunk], None if params is None else params[a:a + chunk])
              for i, a in enumerate(range(0, n_runs, chunk))]
    coords = {"time": t, "run": np.arange(n_runs), **{name: ("run", values) for name, values in varied.items()}}
    attrs = {"model": signature.name, "method": method,
             "fingerprint": _fingerprint(plan, signature, x0s, params, chunk)}

    path = None if store is None else _store_path(store)
    arrays = _empty(names, n_runs, len(t)) if path is None else {}
    todo = chunks if path is None else _open_store(path, names, n_runs, len(t), chunk, coords, attrs, chunks)
    done_runs = n_runs - sum(c.stop - c.start for c in todo)
    bar = _Progress(n_runs, done_runs, progress)
    try:
        if client is None:
            derived = Derived.of(document) if plan.derived and document is not None else None
            for c in todo:
                result = _compute(plan, model, derived, c)
                if path is None:
                    _keep(arrays, c, _columns(names, result))
                else:
                    _write(path, names, c, result)
                bar.advance(c.stop - c.start)
        else:
            _distribute(client, plan, todo, path, names, arrays, bar)
    finally:
        bar.close()
    if path is not None:
        ds = xr.open_zarr(path)[list(names)]
        # per-run values are small: loaded, so that they select runs as in an in-memory result
        return ds.assign_coords({name: ds[name].load() for name in varied}).assign(
            status=ds["status"].load().astype(object))
    data = {name: (dims, arrays[name]) for name, dims in names.items()}
    return xr.Dataset(data, coords=coords, attrs=attrs)


def _chunk_size(chunk: Any, n_runs: int, values_per_run: int, client: Any) -> int:
    if chunk is not None:
        if not isinstance(chunk, (int, np.integer)) or isinstance(chunk, bool) or chunk < 1:
            raise ValueError(f"chunk must be a positive number of runs, got {chunk!r}")
        return int(chunk)
    size = CHUNK_BYTES // (8 * values_per_run)
    if client is not None:
        # a few chunks per worker thread, so that all are busy, while each amortises its task
        threads = sum(client.nthreads().values()) or 1
        size = min(size, max(MIN_TASK_RUNS, -(-n_runs // (4 * threads))))
    return max(1, min(n_runs, size))


def _time_grid(values: Any) -> np.ndarray:
    t: np.ndarray = np.array(values, dtype=np.float64)
    if t.ndim != 1 or len(t) < 2:
        raise ValueError(f"t must be a 1-D time grid of at least two points, got shape {t.shape}")
    if not np.all(t[1:] > t[:-1]):
        raise ValueError("the time grid must be strictly increasing")
    return t


def _runs(signature: Signature, x0: Any,
          params: Any) -> tuple[np.ndarray, Optional[np.ndarray], dict[str, np.ndarray]]:
    """Initial states (N, n_states), parameter rows (N, n_params) or None, and the varied columns."""
    n = len(signature.state_names)
    defaults = np.array(signature.param_values, dtype=np.float64)
    varied: dict[str, np.ndarray] = {}
    if params is None:
        p = None
    elif isinstance(params, Mapping):
        columns = {}
        for key, values in params.items():
            column = np.asarray(values, dtype=np.float64)
            if column.ndim != 1:
                raise ValueError(f"params[{str(key)!r}] must be a 1-D array of values, one per run, "
                                 f"got shape {column.shape}")
            columns[signature.param_names[signature.index("param", key)]] = column
        lengths = {len(c) for c in columns.values()}
        if len(lengths) > 1:
            raise ValueError("the arrays of params differ in length: "
                             + ", ".join(f"{k}: {len(c)}" for k, c in columns.items()))
        n_runs = lengths.pop() if lengths else 1
        p = np.tile(defaults, (n_runs, 1))
        for name, column in columns.items():
            p[:, signature.param_names.index(name)] = column
        varied = columns
    else:
        p = np.array(params, dtype=np.float64)
        if p.ndim != 2 or p.shape[1] != len(defaults):
            raise ValueError(f"params must be a mapping or an array of shape (runs, {len(defaults)}), "
                             f"got shape {p.shape}")
        varied = {name: p[:, j].copy() for j, name in enumerate(signature.param_names)
                  if len(p) and not np.array_equal(p[:, j], np.full(len(p), p[0, j]), equal_nan=True)}
    if x0 is None:
        x0 = np.zeros(n)
    if isinstance(x0, Mapping):
        x0 = signature.vector("state", x0)
    x = np.array(x0, dtype=np.float64)
    if x.ndim == 1:
        if x.shape != (n,):
            raise ValueError(f"x0 must have {n} entries (or shape (runs, {n})), got shape {x.shape}")
        x = np.tile(x, (1 if p is None else len(p), 1))
    elif x.ndim != 2 or x.shape[1] != n:
        raise ValueError(f"x0 must have shape ({n},) or (runs, {n}), got shape {x.shape}")
    elif p is not None and len(p) != len(x):
        raise ValueError(f"x0 has {len(x)} rows but params {len(p)}")
    if len(x) == 0:
        raise ValueError("a sweep needs at least one run")
    return x, p, varied


def _plan(signature: Signature, model: zarel_engine.Model, document: Optional[str], t: np.ndarray, u: Any,
          method: str, options: dict[str, Any], derived: bool) -> Plan:
    from .result import input_series

    m = len(signature.input_names)
    series = input_series(signature, t, u)
    u = None if series is None else np.ascontiguousarray(series, dtype=np.float64)
    # The engine checks the method, interpolation and option values; zero runs compute nothing.
    model.simulate_batch(np.empty((0, len(signature.state_names))), t, u=u, method=method, **options)
    options = {**DEFAULT_OPTIONS, **options}
    return Plan(document, t, u, _recorded_inputs(u, len(t), m, options["interp"]),
                np.array(signature.param_values, dtype=np.float64), method, options,
                len(signature.state_names), derived)


def _recorded_inputs(u: Optional[np.ndarray], n_points: int, m: int, interp: str) -> np.ndarray:
    """The input the engine's driver records at each grid point: series row k, except at the last
    point, which is the last interval's input at its end (so row L-2 held, or row L-1 by linear
    interpolation, computed with the driver's own arithmetic)."""
    if u is None:
        return np.zeros((n_points, m))
    row = np.minimum(np.arange(n_points), n_points - 2)
    if interp != "linear":
        return u[row]
    nxt = np.minimum(n_points - 1, row + 1)
    fraction = np.zeros((n_points, 1))
    fraction[-1] = 1.0
    recorded: np.ndarray = (u[nxt] - u[row]) * fraction + u[row]
    return recorded


def _variables(signature: Signature, plan: Plan, varied: Mapping[str, Any]) -> dict[str, tuple[str, ...]]:
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


def _fingerprint(plan: Plan, signature: Signature, x0s: np.ndarray, params: Optional[np.ndarray], chunk: int) -> str:
    h = hashlib.sha256()
    h.update(json.dumps([plan.document or repr(signature), plan.method, sorted(plan.options.items()),
                         plan.derived, chunk], default=str).encode())
    for a in (plan.t, plan.u, x0s, params):
        h.update(b"-" if a is None else np.ascontiguousarray(a).tobytes())
    return h.hexdigest()


# Engine models per document, built once in each process (a Dask worker reuses them for every chunk).
@functools.lru_cache(maxsize=4)
def _models(document: str) -> tuple[zarel_engine.Model, Derived]:
    return zarel_engine.Model(document), Derived.of(document)


# Operators whose result NumPy reproduces bit for bit: IEEE arithmetic and comparisons, written below
# with the engine's rules for NaN and signed zeros. exp, log, tanh, sin, cos, pow (other than
# squaring) and pw are left to the engine: NumPy's own transcendental functions may differ from the
# C library's in the last bit on some processors.
EXACT = {"const", "ref", "neg", "sqrt", "abs", "sign", "add", "sub", "mul", "div", "max", "min", "gt", "where"}


def _exact(node: Any) -> bool:
    op = node[0]
    if op == "pow":  # the engine squares by multiplication when the exponent is exactly 2
        return node[2][0] == "const" and float(node[2][1]) == 2.0 and _exact(node[1])
    return op in EXACT and (op in ("const", "ref") or all(_exact(n) for n in node[1:]))


def _numpy(node: Any, slot: Any) -> Any:
    """An exact expression tree (see EXACT) evaluated on arrays; slot(i) is environment slot i."""
    op = node[0]
    if op == "const":
        return np.float64(node[1])
    if op == "ref":
        return slot(node[1])
    if op == "pow":
        a = _numpy(node[1], slot)
        return a * a
    v = [_numpy(n, slot) for n in node[1:]]
    if op == "neg":
        return np.negative(v[0])
    if op == "sqrt":
        return np.sqrt(v[0])
    if op == "abs":
        return np.abs(v[0])
    if op == "sign":
        return np.where(v[0] == 0, 0.0, np.where(np.isnan(v[0]), v[0], np.copysign(1.0, v[0])))
    if op == "add":
        return v[0] + v[1]
    if op == "sub":
        return v[0] - v[1]
    if op == "mul":
        return v[0] * v[1]
    if op == "div":
        with np.errstate(divide="ignore", invalid="ignore"):
            return v[0] / v[1]
    if op == "max":  # plain comparisons, as the engine's: NaN is not skipped, ties give a
        return np.where(v[1] <= v[0], v[0], v[1])
    if op == "min":
        return np.where(v[0] <= v[1], v[0], v[1])
    if op == "gt":
        return np.where(v[0] > v[1], 1.0, 0.0)
    assert op == "where"
    return np.where(v[0] != 0, v[1], v[2])


@dataclass(frozen=True)
class Derived:
    """How the supplied power and named outputs of a document are evaluated from its states: exact
    expressions with NumPy, the rest by an engine model made for it (see Derived.of)."""

    n_outputs: int
    numpy_outputs: dict[int, Any]  # output index -> expression
    numpy_ports: Optional[list[tuple[Any, Any]]]  # (port output, port value); None: the engine's
    engine_outputs: list[int]
    engine: Optional[zarel_engine.Model]

    @staticmethod
    def of(document: str) -> Derived:
        """The engine part has no states: its inputs are the original environment (states, inputs,
        parameters, time), so every expression reads the same slots as in the original and needs no
        rewriting. A simulation of it over a series of such environments records, at grid point k,
        what the original driver records at its row: the same programs on the same values."""
        doc = json.loads(document)
        outputs = doc.get("outputs") or []
        ports = list(zip(doc.get("port_outputs") or [], doc.get("port_values") or []))
        numpy_outputs = {j: e for j, e in enumerate(outputs) if _exact(e)}
        engine_outputs = [j for j in range(len(outputs)) if j not in numpy_outputs]
        numpy_ports = ports if all(_exact(y) and _exact(v) for y, v in ports) else None
        engine = None
        if engine_outputs or numpy_ports is None:
            width = doc["n_states"] + doc["n_inputs"] + doc["n_params"] + 1
            engine = zarel_engine.Model(json.dumps({
                "n_states": 0, "n_inputs": width, "n_params": 0, "param_values": [], "rhs": [],
                "outputs": [outputs[j] for j in engine_outputs], "output_names": [str(j) for j in engine_outputs],
                "port_outputs": [y for y, _ in ports] if numpy_ports is None else [],
                "port_values": [v for _, v in ports] if numpy_ports is None else [],
            }))
        return Derived(len(outputs), numpy_outputs, numpy_ports, engine_outputs, engine)

    def evaluate(self, plan: Plan, x: np.ndarray, params: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Supplied power (runs, time) and outputs (runs, time, outputs) at the recorded points."""
        runs, n_points = x.shape[:2]
        n, m = plan.n_states, plan.u_rec.shape[1]
        power = np.empty((runs, n_points))
        outs = np.empty((runs, n_points, self.n_outputs))

        def slot(i: int) -> np.ndarray:  # broadcast to (runs, time)
            if i < n:
                return x[:, :, i]
            if i < n + m:
                return plan.u_rec[:, i - n]
            if i < n + m + params.shape[1]:
                return params[:, i - n - m, None]
            return plan.t

        for j, e in self.numpy_outputs.items():
            outs[:, :, j] = _numpy(e, slot)
        if self.numpy_ports is not None:
            total = np.float64(0.0)  # the engine's sum: from 0.0, port by port
            for y, v in self.numpy_ports:
                total = total + _numpy(y, slot) * _numpy(v, slot)
            power[...] = total
        engine = self.engine
        if engine is not None:
            engine_power = power if self.numpy_ports is None else np.empty((runs, n_points))
            engine_outs = np.empty((runs, n_points, len(self.engine_outputs)))

            def block(a: int) -> None:
                b = min(a + DERIVED_BLOCK, runs)
                _on_engine(plan, engine, x[a:b], params[a:b], engine_power[a:b], engine_outs[a:b])

            with ThreadPoolExecutor(_pool_size()) as pool:
                list(pool.map(block, range(0, runs, DERIVED_BLOCK)))
            outs[:, :, self.engine_outputs] = engine_outs
        return power, outs


def _compute(plan: Plan, model: zarel_engine.Model, derived: Optional[Derived], c: Chunk) -> dict[str, Any]:
    """States, energy and status of one chunk, and its supplied power and outputs when asked."""
    x, energy, status = _batch(plan, model, c.x0s, c.params)
    result: dict[str, Any] = {"x": x, "energy": energy, "status": status}
    if plan.derived and derived is not None:
        params = np.broadcast_to(plan.defaults, (len(x), len(plan.defaults))) if c.params is None else c.params
        with np.errstate(all="ignore"):
            power, outs = derived.evaluate(plan, x, params)
        failed = np.array([s != "ok" for s in status])
        power[failed] = np.nan
        outs[failed] = np.nan
        result["supplied_power"] = power
        result["outputs"] = outs
    return result


def _batch(plan: Plan, model: zarel_engine.Model, x0s: np.ndarray,
           params: Optional[np.ndarray]) -> tuple[np.ndarray, np.ndarray, list[str]]:
    """One simulate_batch; when it fails, its halves, down to the single failing runs."""
    try:
        r = model.simulate_batch(x0s, plan.t, u=plan.u, params=params, method=plan.method, **plan.options)
        return r["x"], r["energy"], ["ok"] * len(x0s)
    except RuntimeError as e:
        if len(x0s) == 1:
            return np.full((1, len(plan.t), plan.n_states), np.nan), np.full((1, len(plan.t)), np.nan), [str(e)]
    h = len(x0s) // 2
    first = _batch(plan, model, x0s[:h], None if params is None else params[:h])
    second = _batch(plan, model, x0s[h:], None if params is None else params[h:])
    return np.concatenate([first[0], second[0]]), np.concatenate([first[1], second[1]]), first[2] + second[2]


def _on_engine(plan: Plan, engine: zarel_engine.Model, x: np.ndarray, params: np.ndarray,
               power: np.ndarray, outs: np.ndarray) -> None:
    """Supplied power and outputs of some runs at every grid point, by the engine (see Derived.of)."""
    runs, n_points = x.shape[:2]
    n, m = plan.n_states, plan.u_rec.shape[1]
    rows = runs * n_points
    # one extra row: the driver records the last grid point with the input of the interval before
    table = np.empty((rows + 1, engine.n_inputs))
    env = table[:rows].reshape(runs, n_points, engine.n_inputs)
    env[:, :, :n] = x
    env[:, :, n:n + m] = plan.u_rec
    env[:, :, n + m:-1] = params[:, None, :]
    env[:, :, -1] = plan.t
    table[rows] = table[rows - 1]
    r = engine.simulate(np.empty(0), np.arange(rows + 1.0), u=table, method="euler",
                        record_outputs=outs.shape[-1] > 0)
    power[...] = r["supplied_power"][:rows].reshape(runs, n_points)
    outs[...] = r["outputs"][:rows].reshape(outs.shape)


def _pool_size() -> int:
    """Threads of the engine's batch pool, which the derived evaluation may use as well."""
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(var, "")
        if value.isdigit() and int(value) > 0:
            return int(value)
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)


def _empty(names: Mapping[str, tuple[str, ...]], n_runs: int, n_points: int) -> dict[str, np.ndarray]:
    """Arrays for an in-memory result; every chunk fills its rows before it is returned."""
    return {name: np.full(n_runs, PENDING, dtype=object) if dims == ("run",) else np.empty((n_runs, n_points))
            for name, dims in names.items()}


def _columns(names: Mapping[str, tuple[str, ...]], result: Mapping[str, Any]) -> dict[str, np.ndarray]:
    """A chunk's result as one array per variable of the Dataset, in the order of `names`."""
    x = result["x"]
    values = [x[:, :, j] for j in range(x.shape[2])] + [result["energy"]]
    if "outputs" in result:
        outs = result["outputs"]
        values += [result["supplied_power"]] + [outs[:, :, j] for j in range(outs.shape[2])]
    values.append(np.array(result["status"], dtype=object))
    assert len(values) == len(names)
    return dict(zip(names, values))


def _keep(arrays: dict[str, np.ndarray], c: Chunk, columns: Mapping[str, np.ndarray]) -> None:
    for name, values in columns.items():
        arrays[name][c.start:c.stop] = values


def _store_path(store: Union[str, os.PathLike[str]]) -> str:
    """Workers may run in another directory: a local path is made absolute, a URL is kept."""
    store = os.fspath(store)
    return store if "://" in store else os.path.abspath(store)


def _open_store(store: str, names: Mapping[str, tuple[str, ...]], n_runs: int, n_points: int, chunk: int,
                coords: Mapping[str, Any], attrs: Mapping[str, str], chunks: list[Chunk]) -> list[Chunk]:
    """Creates the store with the sweep's full shapes, or checks that it holds this sweep; returns
    the chunks it still lacks (those with a run whose status is not written)."""
    import xarray as xr
    import zarr

    try:
        zarr.open_group(store, mode="r")
    except FileNotFoundError:
        import dask.array as da

        data: dict[str, Any] = {}
        encoding: dict[str, dict[str, Any]] = {}
        for name, dims in names.items():
            if dims == ("run",):
                data[name] = (dims, np.full(n_runs, PENDING, dtype=object))
                encoding[name] = {"chunks": (chunk,)}
            else:
                data[name] = (dims, da.full((n_runs, n_points), np.nan, chunks=(chunk, n_points)))
                encoding[name] = {"chunks": (chunk, n_points)}
        # Zarr chunks are sweep chunks, so that workers writing different chunks never share a file.
        xr.Dataset(data, coords=coords, attrs=attrs).to_zarr(store, mode="w-", compute=False, zarr_format=2,
                                                             encoding=encoding)
        return chunks
    existing = xr.open_zarr(store)
    if existing.attrs.get("fingerprint") != attrs["fingerprint"]:
        raise ValueError(f"{store} holds another sweep (different model, time grid, runs, options or chunk); "
                         "give a new path or remove it")
    status = existing["status"].values
    return [c for c in chunks if (status[c.start:c.stop] == PENDING).any()]


def _write(store: str, names: Mapping[str, tuple[str, ...]], c: Chunk, result: Mapping[str, Any]) -> None:
    import xarray as xr

    columns = _columns(names, result)
    status = columns.pop("status")
    region = {"run": slice(c.start, c.stop)}
    xr.Dataset({name: (names[name], values) for name, values in columns.items()}).to_zarr(store, region=region)
    # The status goes last: a chunk counts as done once its status is written, so a chunk cut off
    # while being written is computed again when the sweep resumes.
    xr.Dataset({"status": (("run",), status)}).to_zarr(store, region=region)


def _run_chunk(c: Chunk, plan: Plan, store: Optional[str],
               names: Mapping[str, tuple[str, ...]]) -> tuple[Chunk, Optional[dict[str, Any]]]:
    """One Dask task: pure and idempotent, so a task lost with its worker is simply run again."""
    model, derived = _models(plan.document)
    result = _compute(plan, model, derived, c)
    if store is None:
        # one contiguous array per variable: the worker, not the client, splits the states
        return c, {name: np.ascontiguousarray(values) for name, values in _columns(names, result).items()}
    _write(store, names, c, result)
    return c, None


def _distribute(client: Any, plan: Plan, todo: list[Chunk], store: Optional[str],
                names: Mapping[str, tuple[str, ...]], arrays: dict[str, np.ndarray], bar: _Progress) -> None:
    from dask.distributed import as_completed

    shared = client.scatter(plan, broadcast=True)
    token = uuid.uuid4().hex
    futures = client.map(_run_chunk, todo, plan=shared, store=store, names=names,
                         key=[f"zarel-sweep-{token}-{c.index}" for c in todo])
    try:
        for future in as_completed(futures):
            c, result = future.result()
            if result is not None:
                _keep(arrays, c, result)
            future.release()
            bar.advance(c.stop - c.start)
    except BaseException:
        # Ctrl-C or a failed task: what is written stays, the rest is not computed
        client.cancel(futures)
        raise


class _Progress:
    """Runs done, runs per second and time left, on stderr when it is a terminal and the sweep
    has lasted a second."""

    def __init__(self, total: int, done: int, enabled: bool):
        self.total, self.done, self.first = total, done, done
        self.start = time.monotonic()
        self.enabled = enabled and sys.stderr.isatty()
        self.shown = False

    def advance(self, runs: int) -> None:
        self.done += runs
        elapsed = time.monotonic() - self.start
        if not self.enabled or (elapsed < 1.0 and not self.shown):
            return
        rate = (self.done - self.first) / elapsed
        left = (self.total - self.done) / rate if rate > 0 else math.inf
        filled = 30 * self.done // self.total
        sys.stderr.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {self.done}/{self.total} runs, "
                         f"{rate:.0f} runs/s, {_duration(left)} left ")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _duration(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "?"
    minutes, s = divmod(int(round(seconds)), 60)
    return f"{minutes // 60}h{minutes % 60:02d}m" if minutes >= 60 else f"{minutes}m{s:02d}s" if minutes else f"{s}s"
