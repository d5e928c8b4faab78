"""Parameter studies: many runs of one model in chunks, locally or on Dask workers, into xarray and Zarr."""

from __future__ import annotations

import os
from typing import Any, Optional, Union

import numpy as np

import zarel_engine

from . import sweep_plan, sweep_store
from .inputs import Inputs, exact, input_series, split
from .result import Interp, Method, pick_method
from .sizes import check_sweep, sweep_run_bytes
from .sweep_distribution import (Progress, Results, chunk_size, columns, compute, compute_rows, connect, distribute,
                                 empty)
from .sweep_plan import Chunk, Plan
from .system import Signature, System, as_system


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


def sweep(
    system_or_model: Union[System, zarel_engine.Model],
    t: Any,
    x0: Any = None,
    params: Any = None,
    u: Inputs = None,
    method: Method = "midpoint",
    client: Any = None,
    chunk: Optional[int] = None,
    store: Union[str, os.PathLike[str], None] = None,
    progress: bool = True,
    outputs: bool = True,
    *,
    interp: Optional[Interp] = None,
    rtol: float = 1e-8,
    atol: float = 1e-10,
    newton_tol: float = 1e-10,
    max_newton: int = 50,
    grid_steps: bool = False,
) -> Any:
    """Run many simulations of one model and return them as an ``xarray.Dataset``.

    ``x0`` is one initial state for every run or one per run ``(N, n_states)``, or a mapping from
    state names to values or to arrays of one value per run (the varied initial states become
    coordinates "initial_NAME" on "run"); ``params`` an ``(N, n_params)`` array or a mapping from
    parameter names (or symbols) to arrays of one length, the others at their defaults (see
    :func:`grid`); ``u`` an input series ``(len(t), n_inputs)`` shared by all runs, or a mapping
    from input names to series of len(t) values or to SymPy expressions of ``zarel.t`` (exact at
    every stage, as in :func:`zarel.simulate`). ``method``, ``interp``, ``rtol``, ``atol``,
    ``newton_tol``, ``max_newton`` and ``grid_steps`` are those of :func:`zarel.simulate`: rk45,
    dop853, midpoint (the default) and gauss4 report on the grid from steps of their own unless
    ``grid_steps``.

    The runs go in chunks of ``chunk`` runs, each one batch of the engine: in this process without
    ``client``, as one Dask task each with a ``dask.distributed.Client`` or on the scheduler at
    the address ``client`` gives ("tcp://host:8786"). Without ``chunk`` a chunk
    is about two seconds of work, measured on the first runs before the sweep (so that progress
    shows and an interruption keeps finished work). A failing run gets NaN and the engine's message
    in "status", every other run its values. With ``store`` (a Zarr path ending in .zarr, in a
    folder that exists, that every worker can reach)
    each chunk is written there as it finishes and the result is read lazily from it; running the
    same sweep with the same store again, on any cluster or none, computes only the chunks it lacks
    (a store keeps the chunk it was created with).

    On Dask, start workers with one thread each (``dask worker ADDRESS --nthreads 1``): a chunk uses
    all of its worker's processors through the engine's own pool. A lost worker costs only the
    recomputation of its chunks; Ctrl-C cancels the chunks not done and leaves a store that
    resumes. ``progress`` shows runs done, runs per second and time left on a terminal once the
    sweep has lasted a second.

    The Dataset has dimensions "run" and "time": one variable per state, "energy",
    "supplied_power" and each named output (these when ``outputs``), the varied parameters and
    initial states as coordinates on "run", and "status", "ok" or the engine's message.

    A sweep whose result this machine cannot hold is refused before any run: in memory (without
    ``store``), a chunk computed here, or a new local store larger than its disk's free space.
    """
    signature, model, system = as_system(system_or_model)
    picked = pick_method(method, rtol)
    if picked == "discrete_gradient":
        raise ValueError("zarel.sweep does not take method 'discrete_gradient' yet (it runs on the batch engine, "
                         "which has no such method); run zarel.simulate for each parameter set")
    if client is not None and system is None:
        raise TypeError("a sweep on Dask workers needs a zarel.System (its document is what they receive), "
                        "not a bare zarel_engine.Model")
    if client is not None and not isinstance(client, str) and not hasattr(client, "map"):
        raise TypeError(f"client must be a dask.distributed.Client or a scheduler's address (tcp://host:8786), "
                        f"got {type(client).__name__}")
    path = None if store is None else sweep_store.store_path(store)
    t = sweep_plan.time_grid(t)
    defaults = np.array(signature.param_values if system is not None else model.params, dtype=np.float64)
    x0s, params, varied = sweep_plan.runs(signature, x0, params, defaults)
    n_runs = len(x0s)
    sampled, expressions = split(signature, u)
    document = None if system is None else system.json()
    if expressions:
        exact_inputs = exact(system, expressions)
        model, document = exact_inputs.model, exact_inputs.document
    series = input_series(signature, t, sampled)
    if interp is None:
        interp = "linear" if callable(sampled) else "hold"
    options = {"interp": interp, "rtol": rtol, "atol": atol, "newton_tol": newton_tol, "max_newton": max_newton,
               "dense": not grid_steps}
    plan = Plan(document, t, None if series is None else np.ascontiguousarray(series, dtype=np.float64), picked,
                options, len(signature.state_names), len(signature.output_names), outputs)
    # the engine checks the method and the options before any run: here, with no runs
    compute(plan, model, Chunk(0, 0, 0, x0s[:0], params[:0]))
    given_chunk = chunk if isinstance(chunk, (int, np.integer)) and not isinstance(chunk, bool) else None
    check_sweep(sweep_run_bytes(plan.n_states, plan.n_outputs, len(t), plan.derived), n_runs, len(t),
                None if given_chunk is None else int(given_chunk), path, local=client is None)
    if not isinstance(client, str):
        return _run(plan, model, signature, x0s, params, varied, client, chunk, path, progress)
    # an address: a client of this sweep's own, connected before any run and closed after the last
    with connect(client) as own:
        return _run(plan, model, signature, x0s, params, varied, own, chunk, path, progress)


def _run(plan: Plan, model: zarel_engine.Model, signature: Signature, x0s: np.ndarray, params: np.ndarray,
         varied: dict[str, np.ndarray], client: Any, chunk: Optional[int], path: Optional[str],
         progress: bool) -> Any:
    """The runs of a checked sweep, in chunks, here or on `client`'s workers, into `path` or memory."""
    import xarray as xr

    t, n_runs = plan.t, len(x0s)
    names = sweep_plan.variables(signature, plan, varied)
    coords = {"time": t, "run": np.arange(n_runs), **{name: ("run", values) for name, values in varied.items()}}
    attrs = {"model": signature.name, "method": plan.method,
             "fingerprint": sweep_plan.fingerprint(plan, signature, x0s, params)}

    found = None if path is None else sweep_store.existing_chunk(path, names, coords, attrs["fingerprint"])
    # in memory, the runs that measure the chunk are the first of the result
    results: Results = {}
    if path is None:
        results = {**empty(plan, n_runs), "status": np.full(n_runs, sweep_plan.PENDING, dtype=object)}
    size, done = (found, 0) if found is not None else chunk_size(chunk, plan, model, x0s, params, results or None)
    todo = sweep_plan.chunks(x0s, params, size, done)
    if path is not None and found is None:
        sweep_store.create(path, names, n_runs, len(t), size, coords, attrs)
    elif path is not None:
        todo = sweep_store.pending(path, todo)

    def keep(c: Chunk, result: Results) -> None:
        for kind, values in result.items():
            results[kind][c.start:c.stop] = values

    bar = Progress(n_runs, n_runs - sum(c.stop - c.start for c in todo), progress)
    try:
        if client is not None:
            distribute(client, plan, todo, path, names, keep, bar)
        else:
            for c in todo:
                if path is None:
                    compute_rows(plan, model, c, results)
                else:
                    sweep_store.write(path, names, c, columns(names, compute(plan, model, c)))
                bar.advance(c.stop - c.start)
    finally:
        bar.close()
    if path is not None:
        return sweep_store.read(path, names, varied)
    data = {name: (dims, values) for (name, dims), values in zip(names.items(), columns(names, results).values())}
    return xr.Dataset(data, coords=coords, attrs=attrs)
