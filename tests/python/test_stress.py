"""Stress: threads that simulate, run batches, evaluate, step and read params on shared models
while other threads assign params to the same models, for a bounded time.

The assigners only ever assign one of a few parameter sets, and every result is compared, bit
for bit, with reference results computed beforehand for each set: a result must equal the one of
some set entirely, never a mixture. An assignment that meets a running call must be refused with
RuntimeError "Already borrowed" and nothing else; a call that meets an assignment may only be
refused with RuntimeError "Already mutably borrowed". Alongside, threads load and drop models and
scribble into the arrays of their own running simulations (the outcome of such a run is not
defined, but it must be a result or an ordinary exception).

The threads run in a child interpreter, so a crash fails the test instead of the session.
ZAREL_STRESS_SECONDS sets the duration (default 10).
"""
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
import traceback
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
DEFAULT_SECONDS = 10.0


def stress_seconds():
    return float(os.environ.get("ZAREL_STRESS_SECONDS") or DEFAULT_SECONDS)


def test_concurrent_use_and_params_assignment(tmp_path):
    seconds = stress_seconds()
    seed = random.SystemRandom().randrange(2**32)
    command = [sys.executable, str(Path(__file__)), str(seconds), str(seed)]
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 180, cwd=HERE)
    except subprocess.TimeoutExpired as hung:
        pytest.fail(f"stress child still running after {seconds + 180:.0f} s (seed {seed}):\n"
                    f"{(hung.stderr or b'')[-4000:]!r}")
    if proc.returncode < 0:
        pytest.fail(f"stress child killed by {signal.Signals(-proc.returncode).name} (seed {seed})\n"
                    f"{proc.stderr[-6000:]}")
    summary = [line for line in proc.stdout.splitlines() if line.startswith("STRESS ")]
    assert proc.returncode == 0 and summary, f"seed {seed}\n{proc.stdout[-6000:]}\n{proc.stderr[-6000:]}"
    report = json.loads(summary[-1][len("STRESS "):])
    counts = report["counts"]
    print(f"\nstress: {report['seconds']:.1f} s, {sum(counts.values())} operations: {counts}")
    for kind in ("simulate", "batch", "batch_params", "point", "step", "params_read", "assigned", "refused",
                 "loaded", "scribbled"):
        assert counts.get(kind, 0) > 0, kind


# ---------------------------------------------------------------------------- child side

PARAMETER_SETS = [[0.5, 2.0, 1.25], [0.8, 1.0, 0.5], [0.2, 3.0, 2.0], [1.5, 0.5, 0.0]]
METHODS = ["euler", "rk4", "rk45", "midpoint"]
POINT_METHODS = ["rhs", "jacobian", "outputs", "port_outputs", "supplied_power", "energy", "grad_h"]


class Shared:
    def __init__(self, seconds, seed):
        import numpy as np

        import conftest
        import zarel_engine

        self.np = np
        self.deadline = time.monotonic() + seconds
        self.seed = seed
        self.lock = threading.Lock()
        self.counts = {}
        self.failures = []
        self.docs = [json.dumps(conftest.TWO_STATE_DOC), json.dumps(conftest.TWO_STATE_FD_DOC)]
        self.models = [zarel_engine.Model(d) for d in self.docs]
        self.sets = [np.array(p) for p in PARAMETER_SETS]
        self.grid = np.linspace(0.0, 1.0, 301)
        self.series = np.sin(np.linspace(0.0, 3.0, 301)).reshape(301, 1)
        self.x0 = np.array([0.4, -0.3])
        self.rows = np.array([[0.4, -0.3], [0.1, 0.2], [-0.5, 0.0], [0.3, 0.3]])
        self.param_rows = np.array(PARAMETER_SETS[::-1])
        self.point = (np.array([0.7, -0.4]), np.array([0.25]), 0.75)
        self.references()

    def references(self):
        """Reference results per model and parameter set, computed before any thread starts."""
        self.ref = []
        for m in self.models:
            per_set = []
            for p in self.sets:
                m.params = p
                x, u, t = self.point
                per_set.append({
                    "simulate": {s: m.simulate(self.x0, self.grid, self.series, s) for s in METHODS},
                    "batch": m.simulate_batch(self.rows, self.grid, self.series, method="rk4"),
                    "point": {name: (getattr(m, name)(x) if name in ("energy", "grad_h")
                                     else getattr(m, name)(x, u, t)) for name in POINT_METHODS},
                    "step": {s: m.step(x, u, t, 0.05, s) for s in METHODS},
                })
            m.params = self.sets[0]
            fixed = m.simulate_batch(self.rows, self.grid, self.series, self.param_rows, "midpoint")
            self.ref.append({"per_set": per_set, "batch_params": fixed})

    # -- bookkeeping

    def running(self):
        return time.monotonic() < self.deadline and not self.failures

    def count(self, kind, n=1):
        with self.lock:
            self.counts[kind] = self.counts.get(kind, 0) + n

    def fail(self, message):
        with self.lock:
            self.failures.append(message)

    def equal(self, a, b):
        np = self.np
        if isinstance(a, dict):
            return isinstance(b, dict) and list(a) == list(b) and all(self.equal(a[k], b[k]) for k in a)
        if isinstance(a, np.ndarray):
            return isinstance(b, np.ndarray) and a.shape == b.shape and np.array_equal(a, b)
        return a == b and type(a) is type(b)

    def which_set(self, result, pick):
        """Index of the parameter set whose reference equals result entirely, or None."""
        for k, reference in enumerate(pick):
            if self.equal(reference, result):
                return k
        return None


def refused_call(e):
    return isinstance(e, RuntimeError) and str(e) == "Already mutably borrowed"


def worker(shared, name, body):
    rng = random.Random(f"{shared.seed}-{name}")
    try:
        while shared.running():
            body(shared, rng)
    except Exception:  # noqa: BLE001 - reported as a failure with its traceback
        shared.fail(f"{name}: {traceback.format_exc()}")


def assigner(shared, rng):
    m = rng.choice(shared.models)
    p = rng.choice(shared.sets)
    try:
        m.params = p
    except RuntimeError as e:
        if str(e) != "Already borrowed":
            shared.fail(f"assignment refused with {e!r}")
        shared.count("refused")
    else:
        shared.count("assigned")
    if rng.random() < 0.3:
        time.sleep(0.0005)


def _call(shared, kind, call):
    try:
        return call()
    except RuntimeError as e:
        if not refused_call(e):
            raise
        shared.count(f"{kind}_refused")
        return None


def simulator(shared, rng):
    k = rng.randrange(len(shared.models))
    method = rng.choice(METHODS)
    r = _call(shared, "simulate", lambda: shared.models[k].simulate(shared.x0, shared.grid, shared.series, method))
    if r is None:
        return
    refs = [s["simulate"][method] for s in shared.ref[k]["per_set"]]
    if shared.which_set(r, refs) is None:
        shared.fail(f"simulate({method}) on model {k} matches no parameter set")
    shared.count("simulate")


def batcher(shared, rng):
    k = rng.randrange(len(shared.models))
    m = shared.models[k]
    if rng.random() < 0.5:
        r = _call(shared, "batch", lambda: m.simulate_batch(shared.rows, shared.grid, shared.series, method="rk4"))
        if r is None:
            return
        if shared.which_set(r, [s["batch"] for s in shared.ref[k]["per_set"]]) is None:
            shared.fail(f"simulate_batch on model {k} matches no parameter set")
        shared.count("batch")
    else:
        r = _call(shared, "batch_params",
                  lambda: m.simulate_batch(shared.rows, shared.grid, shared.series, shared.param_rows, "midpoint"))
        if r is None:
            return
        if not shared.equal(r, shared.ref[k]["batch_params"]):
            shared.fail(f"simulate_batch with parameter rows on model {k} differs from its reference")
        shared.count("batch_params")


def evaluator(shared, rng):
    k = rng.randrange(len(shared.models))
    m = shared.models[k]
    if rng.random() < 0.2:
        p = _call(shared, "params_read", lambda: m.params)
        if p is not None:
            if shared.which_set(p, shared.sets) is None:
                shared.fail(f"params of model {k} read back as {p!r}, not one of the sets")
            shared.count("params_read")
        return
    name = rng.choice(POINT_METHODS)
    x, u, t = shared.point
    r = _call(shared, "point", lambda: getattr(m, name)(x) if name in ("energy", "grad_h")
              else getattr(m, name)(x, u, t))
    if r is None:
        return
    if shared.which_set(r, [s["point"][name] for s in shared.ref[k]["per_set"]]) is None:
        shared.fail(f"{name} on model {k} matches no parameter set: {r!r}")
    shared.count("point")


def stepper(shared, rng):
    k = rng.randrange(len(shared.models))
    method = rng.choice(METHODS)
    x, u, t = shared.point
    r = _call(shared, "step", lambda: shared.models[k].step(x, u, t, 0.05, method))
    if r is None:
        return
    if shared.which_set(r, [s["step"][method] for s in shared.ref[k]["per_set"]]) is None:
        shared.fail(f"step({method}) on model {k} matches no parameter set")
    shared.count("step")


def loader(shared, rng):
    """Models made and dropped while the others run: their own simulations and batches."""
    import zarel_engine
    np = shared.np
    m = zarel_engine.Model(rng.choice(shared.docs))
    m.params = rng.choice(shared.sets)
    grid = shared.grid[: rng.randrange(2, 60)]
    if rng.random() < 0.5:
        r = m.simulate(shared.x0, grid, method=rng.choice(METHODS))
        assert r["x"].shape == (len(grid), 2) and np.isfinite(r["x"]).all()
    else:
        r = m.simulate_batch(shared.rows, grid, method=rng.choice(METHODS))
        assert r["x"].shape == (len(shared.rows), len(grid), 2)
    del m
    shared.count("loaded")


class Scribble:
    """A private simulation whose x0 and t another thread overwrites while it runs."""

    def __init__(self, shared):
        np = shared.np
        self.t = np.linspace(0.0, 1.0, 2001)
        self.x0 = np.array([0.4, -0.3])
        self.go = True


def scribbled_runner(shared, rng, scribble):
    m = shared.scribble_model
    # valid when the run starts; the scribbler writes into them while it runs
    scribble.t[:] = shared.np.linspace(0.0, 1.0, len(scribble.t))
    scribble.x0[:] = [0.4, -0.3]
    try:
        if rng.random() < 0.5:
            m.simulate(scribble.x0, scribble.t, method=rng.choice(METHODS), max_newton=5)
        else:
            m.simulate_batch(scribble.x0.reshape(1, 2), scribble.t, method=rng.choice(METHODS), max_newton=5)
    except (ValueError, RuntimeError) as e:
        # exactly these classes: the engine's internal-fault class derives from RuntimeError
        assert type(e) in (ValueError, RuntimeError), repr(e)
        shared.count("scribbled_error")
    else:
        shared.count("scribbled")


def scribbler(shared, rng, scribble):
    np = shared.np
    choices = [np.nan, np.inf, -1.0, 0.0, 1e300, 0.5]
    scribble.t[rng.randrange(len(scribble.t))] = rng.choice(choices)
    scribble.x0[rng.randrange(2)] = rng.choice(choices)
    if rng.random() < 0.1:
        scribble.t[rng.randrange(len(scribble.t)):] = np.nan
    time.sleep(0.0002)


def child_main(seconds, seed):
    import faulthandler

    import zarel_engine

    faulthandler.enable()
    sys.path.insert(0, str(HERE))
    shared = Shared(seconds, seed)
    shared.scribble_model = zarel_engine.Model(shared.docs[0])
    scribble = Scribble(shared)
    plan = [("assigner-1", assigner), ("assigner-2", assigner), ("simulator-1", simulator),
            ("simulator-2", simulator), ("batcher", batcher), ("evaluator", evaluator), ("stepper", stepper),
            ("loader", loader),
            ("scribbled", lambda s, r: scribbled_runner(s, r, scribble)),
            ("scribbler", lambda s, r: scribbler(s, r, scribble))]
    started = time.monotonic()
    threads = [threading.Thread(target=worker, args=(shared, name, body), name=name) for name, body in plan]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    elapsed = time.monotonic() - started
    print("STRESS " + json.dumps({"seconds": elapsed, "counts": dict(sorted(shared.counts.items())),
                                  "failures": shared.failures[:5]}), flush=True)
    if shared.failures:
        for f in shared.failures[:5]:
            print(f, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    child_main(float(sys.argv[1]), int(sys.argv[2]))
