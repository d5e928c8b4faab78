"""Ensembles on one core against heyoka's batch Taylor integrator at equal accuracy: the Lorenz
ensemble (rho over [10, 40]) over t in [0, 1] and the driven Duffing oscillator (damping varied,
forcing an expression of time) over t in [0, 10], 4,096 runs each, values on a grid of 101 points.

heyoka runs taylor_adaptive_batch with its recommended batch size at tolerances 1e-6 and 1e-8
(propagate_grid, its own stepping, values from its Taylor polynomials). For each, zarel's rtol
(atol = rtol, as heyoka's one tolerance is both) is lowered by factors of two from heyoka's until
zarel's largest error is at or below heyoka's; then zarel is timed through zarel.sweep (in memory,
no client, engine pool of one thread) and through zarel._engine.simulate_batch into arrays made
once, with dense output. Error: the largest |final state - reference| over runs and components;
reference: heyoka's scalar integrator in long double at its default tolerance (about 1e-19).

    bench/.venv-bench/bin/python bench/bench_ensemble.py
    bench/.venv-bench/bin/python bench/bench_ensemble.py --methods rk45,dop853 --runs 1024
"""
import argparse
import json
import os
import sys
import time

os.environ["RAYON_NUM_THREADS"] = "1"  # one core: the engine's pool is sized on first use

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_lanes import best  # noqa: E402
from ensembles import duffing, lorenz  # noqa: E402
from peers import heyoka_peer  # noqa: E402

HEYOKA_TOLS = (1e-6, 1e-8)
POINTS = 101


def zarel_runs(e, t, method, rtol):
    """(batch, sweep): every run through zarel._engine.simulate_batch into arrays made once, and
    through zarel.sweep in memory; each returns the final states."""
    import zarel
    from zarel import _engine
    from zarel.inputs import exact, split

    runs, n, points = len(e.values), len(e.x0), len(t)
    # the model the sweep runs: the forcing compiled into its expressions
    model = exact(e.system, split(e.system.signature, e.forcing)[1]).model if e.forcing else e.system.model()
    x0s, rows = e.x0s(), e.param_rows()
    out = {"x": np.empty((runs, points, n)), "energy": np.empty((runs, points)),
           "supplied_power": np.empty((runs, points)), "outputs": np.empty((runs, points, len(model.output_names)))}

    def batch():
        messages = _engine.simulate_batch(model, x0s, t, None, params=rows, method=method, rtol=rtol, atol=rtol,
                                          dense=True, **out)
        if any(messages):
            raise RuntimeError(next(m for m in messages if m))
        return out["x"][:, -1, :]

    def sweep():
        ds = zarel.sweep(e.system, t, x0=e.x0, params={e.varied: e.values}, u=e.forcing or None, method=method,
                         rtol=rtol, atol=rtol, progress=False)
        return np.column_stack([ds[name].values[:, -1] for name in list(ds.data_vars)[:n]])
    return batch, sweep


def available(e, method):
    """None when the installed package runs `method`, else why not."""
    import zarel

    try:
        zarel.sweep(e.system, np.array([0.0, 1e-3]), x0=e.x0, u=e.forcing or None, method=method, progress=False)
    except (ValueError, TypeError, RuntimeError) as exc:
        return str(exc)
    return None


def error(final, ref):
    return float(np.max(np.abs(final - ref)))


def measure(e, t, methods, repeat, size):
    import heyoka as hy

    start = time.perf_counter()
    ref = heyoka_peer.reference(e, t[-1])
    print(f"\n== {e.name}: {len(e.values)} runs, {e.varied} over [{e.values[0]:g}, {e.values[-1]:g}], t in "
          f"[{t[0]:g}, {t[-1]:g}], {len(t)} points; reference in {time.perf_counter() - start:.1f} s")
    print(f"  {'heyoka tol':>10s} {'error':>9s} {'us/run':>8s}   {'zarel':8s} {'rtol':>8s} {'error':>9s} "
          f"{'batch us/run':>12s} {'sweep us/run':>12s} {'heyoka/batch':>12s} {'heyoka/sweep':>12s}")
    rows = []
    for tol in HEYOKA_TOLS:
        run, compile_time = heyoka_peer.runs(e, t, tol, size)
        target = error(run(), ref)
        heyoka_time = best(run, repeat) / len(e.values)
        for method in methods:
            row = {"ensemble": e.name, "heyoka_tol": tol, "heyoka_error": target, "heyoka_us": heyoka_time * 1e6,
                   "heyoka_compile_s": compile_time, "method": method}
            why = available(e, method)
            if why is not None:
                row["unavailable"] = why
                rows.append(row)
                print(f"  {tol:10.0e} {target:9.1e} {heyoka_time * 1e6:8.2f}   {method:8s} unavailable: {why[:60]}")
                continue
            rtol = tol
            while True:
                batch, sweep = zarel_runs(e, t, method, rtol)
                reached = error(batch(), ref)
                if reached <= target or rtol < 1e-14:
                    break
                rtol /= 2
            batch_time = best(batch, repeat) / len(e.values)
            sweep_time = best(sweep, repeat) / len(e.values)
            same = np.array_equal(sweep(), batch())
            row.update(rtol=rtol, error=reached, batch_us=batch_time * 1e6, sweep_us=sweep_time * 1e6,
                       sweep_equals_batch=bool(same))
            rows.append(row)
            print(f"  {tol:10.0e} {target:9.1e} {heyoka_time * 1e6:8.2f}   {method:8s} {rtol:8.1e} {reached:9.1e} "
                  f"{batch_time * 1e6:12.2f} {sweep_time * 1e6:12.2f} {heyoka_time / batch_time:12.2f} "
                  f"{heyoka_time / sweep_time:12.2f}{'' if same else '  (sweep and batch differ!)'}")
    print(f"  heyoka {hy.__version__}: taylor_adaptive_batch, batch size {size}, compiled once per tolerance "
          f"(not timed); ratios > 1: zarel faster")
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--methods", default="rk45", help="zarel methods to measure, comma-separated (rk45,dop853)")
    ap.add_argument("--runs", type=int, default=4096)
    ap.add_argument("--repeat", type=int, default=3, help="best of this many timings")
    ap.add_argument("--batch-size", type=int, default=None, help="heyoka's batch size (default: its recommended "
                    "SIMD size)")
    ap.add_argument("--out", default=None, help="write the rows as JSON to this file")
    args = ap.parse_args()
    ok, text = heyoka_peer.available()
    if not ok:
        print(f"{text}; bench/run.sh installs heyoka into bench/.venv-bench")
        return None
    import heyoka as hy

    size = args.batch_size or hy.recommended_simd_size()
    methods = [m for m in args.methods.split(",") if m]
    t = np.linspace(0.0, 1.0, POINTS)
    print(f"one core (RAYON_NUM_THREADS=1); heyoka batch size {size} (recommended SIMD size "
          f"{hy.recommended_simd_size()}); best of {args.repeat}; load average {os.getloadavg()[0]:.1f} at start")
    rows = measure(lorenz(args.runs), t, methods, args.repeat, size)
    rows += measure(duffing(args.runs), np.linspace(0.0, 10.0, POINTS), methods, args.repeat, size)
    if args.out:
        with open(args.out, "w") as fh:
            json.dump(rows, fh, indent=1, default=float)
    return rows


if __name__ == "__main__":
    main()
