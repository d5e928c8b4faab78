"""The distribution of a sweep's chunks: each one batch of the engine, here or as a Dask task, and progress."""

from __future__ import annotations

import functools
import math
import sys
import time
import uuid
from collections.abc import Callable, Mapping
from time import perf_counter
from typing import Any, Optional

import numpy as np

import zarel_engine

from . import _engine
from .sizes import sweep_run_bytes
from .sweep_plan import Chunk, Plan
from .sweep_store import write

# A chunk's results take at most about this much memory.
CHUNK_BYTES = 64 * 2**20
# Without `chunk`, a chunk holds about this much work, measured on a few runs before the sweep:
# long enough to amortise a task, short enough that progress shows and an interruption keeps
# finished work.
CHUNK_SECONDS = 2.0
# The measurement doubles its runs until they take this long.
PROBE_SECONDS = 0.05
# How long to try to reach a scheduler before giving up: a scheduler that is up answers at once.
CONNECT_SECONDS = 5

# A chunk's results by kind: "x" (runs, time, states), "energy", "supplied_power" (runs, time),
# "outputs" (runs, time, outputs) and "status" (runs,) "ok" or the engine's message.
Results = dict[str, np.ndarray]


def empty(plan: Plan, runs: int) -> Results:
    """Arrays for the results of `runs` runs, as the engine's batch writes them, in the engine's
    storage: a sweep repeated on one grid reuses the memory of the last one's result instead of
    paying a page fault per page of fresh memory, which costs as much as the runs of a small model."""
    points = len(plan.t)
    out = {"x": _engine.empty(runs, points, plan.n_states), "energy": _engine.empty(runs, points)}
    if plan.derived:
        out["supplied_power"] = _engine.empty(runs, points)
        out["outputs"] = _engine.empty(runs, points, plan.n_outputs)
    return out


def compute(plan: Plan, model: zarel_engine.Model, c: Chunk, out: Optional[Results] = None) -> Results:
    """One batch of the engine for the runs of `c`, into `out` (new arrays when not given); a
    failing run gets NaN and its message, every other run its values."""
    out = empty(plan, c.stop - c.start) if out is None else out
    messages = _engine.simulate_batch(
        model, c.x0s, plan.t, plan.u, params=c.params, method=plan.method, **plan.options, x=out["x"],
        energy=out["energy"], supplied_power=out.get("supplied_power"), outputs=out.get("outputs"))
    out["status"] = np.array(["ok" if m is None else m for m in messages], dtype=object)
    return out


def compute_rows(plan: Plan, model: zarel_engine.Model, c: Chunk, results: Results) -> None:
    """The runs of `c` straight into their rows of `results`, the arrays of every run."""
    out = {kind: values[c.start:c.stop] for kind, values in results.items() if kind != "status"}
    results["status"][c.start:c.stop] = compute(plan, model, c, out)["status"]


def columns(names: Mapping[str, tuple[str, ...]], result: Results) -> dict[str, np.ndarray]:
    """A chunk's results as one array per variable of the Dataset, in the order of `names`."""
    x = result["x"]
    values = [x[:, :, j] for j in range(x.shape[2])] + [result["energy"]]
    if "outputs" in result:
        outs = result["outputs"]
        values += [result["supplied_power"]] + [outs[:, :, j] for j in range(outs.shape[2])]
    values.append(result["status"])
    assert len(values) == len(names)
    return dict(zip(names, values))


def chunk_size(chunk: Any, plan: Plan, model: zarel_engine.Model, x0s: np.ndarray, params: np.ndarray,
               results: Optional[dict[str, np.ndarray]] = None) -> tuple[int, int]:
    """The runs of a chunk: `chunk` when given, else about CHUNK_SECONDS of work, as measured on
    the first runs here (not on a cluster, whose size does not change the chunks), within
    CHUNK_BYTES of results; and how many of the first runs are done. With `results` (the arrays of
    every run) the runs measured are kept there, so that a short sweep is not run twice over;
    without, they are measured and dropped."""
    n_runs = len(x0s)
    if chunk is not None:
        if not isinstance(chunk, (int, np.integer)) or isinstance(chunk, bool) or chunk < 1:
            raise ValueError(f"chunk must be a positive number of runs, got {chunk!r}")
        return int(min(chunk, n_runs)), 0
    per_run = sweep_run_bytes(plan.n_states, plan.n_outputs, len(plan.t), plan.derived)
    largest = max(1, min(n_runs, CHUNK_BYTES // per_run))
    done, probe = 0, 1
    while True:
        c = Chunk(0, done, min(n_runs, done + probe), x0s[done:done + probe], params[done:done + probe])
        start = perf_counter()
        if results is None:
            compute(plan, model, c)
        else:
            compute_rows(plan, model, c, results)
            done = c.stop
        elapsed = perf_counter() - start
        if elapsed >= PROBE_SECONDS or probe >= largest or done == n_runs:
            break
        probe = min(largest, 2 * probe)
    return max(1, min(largest, int(CHUNK_SECONDS * (c.stop - c.start) / max(elapsed, 1e-9)))), done


# Engine models per document, built once in each process (a Dask worker reuses them for every chunk).
@functools.lru_cache(maxsize=4)
def _model(document: str) -> zarel_engine.Model:
    return zarel_engine.Model(document)


def run_chunk(c: Chunk, plan: Plan, store: Optional[str],
              names: Mapping[str, tuple[str, ...]]) -> tuple[Chunk, Optional[Results]]:
    """One Dask task: pure and idempotent, so a task lost with its worker is simply run again."""
    assert plan.document is not None
    result = compute(plan, _model(plan.document), c)
    if store is None:
        return c, result
    write(store, names, c, columns(names, result))
    return c, None


def connect(address: str, option: str = "client") -> Any:
    """A Dask client of the scheduler at `address` (tcp://host:8786), or an OSError naming `option`."""
    from dask.distributed import Client

    try:
        return Client(address, timeout=CONNECT_SECONDS)
    except (OSError, TimeoutError) as e:
        raise OSError(f"{option} {address}: no Dask scheduler answered within {CONNECT_SECONDS} s "
                      f"({type(e).__name__})") from None


def distribute(client: Any, plan: Plan, todo: list[Chunk], store: Optional[str],
               names: Mapping[str, tuple[str, ...]], keep: Callable[[Chunk, Results], None],
               bar: Progress) -> None:
    """The chunks as Dask tasks; `keep` takes the results of each when there is no store."""
    from dask.distributed import as_completed

    # a key of its own (not the plan's hash): a sweep resumed at once after a Ctrl-C would otherwise
    # share the key of the data the interrupted one is releasing, and lose it
    shared = client.scatter(plan, broadcast=True, hash=False)
    token = uuid.uuid4().hex
    futures = client.map(run_chunk, todo, plan=shared, store=store, names=names,
                         key=[f"zarel-sweep-{token}-{c.index}" for c in todo])
    try:
        for future in as_completed(futures):
            c, result = future.result()
            if result is not None:
                keep(c, result)
            future.release()
            bar.advance(c.stop - c.start)
    except BaseException:
        # Ctrl-C or a failed task: what is written stays, the rest is not computed
        client.cancel(futures)
        raise


class Progress:
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
