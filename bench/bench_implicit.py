"""The implicit methods on large and SI-unit models, side by side in one run:

1. the 200-mass chain: the package's default method (midpoint, steps by its error control), gauss4
   and rodas5p against rk45 with dense output, each at a final error of about 1e-6;
2. chains of 250 to 2,000 masses built from parts: time and memory of the implicit methods per
   step against the number of states (linear is the goal);
3. an LC circuit in SI units (1 pF, 1 nH, charges near 1e-12 C): the error against a tight
   reference and the energy drift.

    .venv/bin/python bench/bench_implicit.py [--quick]
"""

from __future__ import annotations

import argparse
import math
import pathlib
import resource
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "examples"))

import models  # noqa: E402


def best_time(run, least=3, budget=2.0):
    """The fastest of at least `least` calls, more while under `budget` seconds in all."""
    best, spent, calls, out = math.inf, 0.0, 0, None
    while calls < least or spent < budget:
        start = time.perf_counter()
        out = run()
        took = time.perf_counter() - start
        best, spent, calls = min(best, took), spent + took, calls + 1
        if took > budget:
            break
    return best, out


def error_at(x, ref):
    return float(np.max(np.abs(x - ref)) / np.max(np.abs(ref)))


def tolerance_for(run, ref, target):
    """The loosest rtol in a decade sweep whose run's error is at most `target`, and that run."""
    for rtol in (1e-4, 3e-5, 1e-5, 3e-6, 1e-6, 3e-7, 1e-7, 3e-8, 1e-8, 3e-9, 1e-9, 1e-10):
        res = run(rtol)
        if error_at(res.x[-1], ref) <= target:
            return rtol
    return None


def chain_section(quick):
    import zarel
    import zarel_engine

    doc, _, _ = models.mass_chain(200, shallow_energy=True)
    system = zarel.System(doc)
    n = doc["n_states"]
    x0 = np.zeros(n)
    x0[n // 2 + 0] = 1.0  # the first mass's momentum
    t = np.linspace(0.0, 20.0, 201)
    ref = zarel.simulate(system, x0, t, method="dop853", rtol=1e-13, atol=1e-15).x[-1]
    print(f"== the 200-mass chain ({n} states, t in [0, 20], 201 points): time at a final error of 1e-6")
    print(f"  {'method':28s} {'rtol':>8s} {'error':>9s} {'steps':>7s} {'ms':>9s} {'/ rk45':>8s}")
    rows = []
    for label, method, kw in (("rk45, dense output", "rk45", {}),
                              ("midpoint (default)", "midpoint", {}),
                              ("gauss4", "gauss4", {}),
                              ("rodas5p", "rodas5p", {}),
                              ("midpoint, grid steps", "midpoint", {"grid_steps": True})):
        if kw.get("grid_steps") and quick:
            continue

        def run(rtol, method=method, kw=kw):
            return zarel.simulate(system, x0, t, method=method, rtol=rtol, atol=rtol * 1e-2, **kw)
        if kw.get("grid_steps"):
            # the grid is the steps: the specified method, whatever the tolerance
            took, res = best_time(lambda: run(1e-6), least=1, budget=0.0)
            rows.append((label, None, error_at(res.x[-1], ref), res.stats["steps"], took))
            continue
        rtol = tolerance_for(run, ref, 1e-6)
        if rtol is None:
            rows.append((label, None, math.nan, 0, math.nan))
            continue
        took, res = best_time(lambda: run(rtol))
        rows.append((label, rtol, error_at(res.x[-1], ref), res.stats["steps"], took))
    base = rows[0][4]
    for label, rtol, err, steps, took in rows:
        r = "-" if rtol is None else f"{rtol:.0e}"
        print(f"  {label:28s} {r:>8s} {err:9.1e} {steps:7d} {took * 1e3:9.2f} {took / base:8.2f}")
    del zarel_engine


def scaling_section(quick):
    import zarel
    from chain_batch import build

    sizes = (250, 500, 1000) if quick else (250, 500, 1000, 2000)
    print("\n== chains built from parts: time and memory per step against the states (linear is the goal)")
    print(f"  {'masses':>7s} {'states':>7s} {'method':>9s} {'steps':>6s} {'us/step':>9s} {'us/step/state':>14s}"
          f" {'peak MB':>8s}")
    for masses in sizes:
        system = build(masses)
        x0 = system.signature.vector("state", {"m0.p": 1.0})
        t = np.linspace(0.0, 5.0, 51)
        for method in ("midpoint", "rodas5p"):
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            took, res = best_time(lambda: zarel.simulate(system, x0, t, method=method, rtol=1e-6, atol=1e-8,
                                                         record_outputs=False), least=1, budget=0.0)
            grown = max(0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
            steps = max(1, res.stats["steps"] + res.stats["rejected_steps"])
            print(f"  {masses:7d} {system.n_states:7d} {method:>9s} {steps:6d} {took / steps * 1e6:9.1f} "
                  f"{took / steps / system.n_states * 1e6:14.4f} {grown:8.1f}")


def lc_section():
    import sympy
    import zarel

    q, phi = sympy.symbols("q phi")
    L, C = sympy.symbols("L C", positive=True)
    lc = zarel.PortHamiltonian([q, phi], H=q**2 / (2 * C) + phi**2 / (2 * L), J=[[0, 1], [-1, 0]],
                               params={L: 1e-9, C: 1e-12}, name="lc")
    period = 2 * math.pi * math.sqrt(1e-9 * 1e-12)
    t = np.linspace(0.0, 100 * period, 2001)
    x0 = [1e-12, 0.0]  # 1 pC: 1 V across 1 pF
    omega = 1 / math.sqrt(1e-21)
    exact = np.column_stack([1e-12 * np.cos(omega * t), -1e-12 * 1e-9 * omega * np.sin(omega * t)])
    print("\n== LC circuit in SI units (1 pF, 1 nH, q0 = 1 pC), 100 periods: error relative to the amplitude, "
          "energy drift")
    print(f"  {'method':34s} {'error q':>9s} {'error phi':>10s} {'|dH|/H':>9s} {'steps':>8s} {'ms':>8s}")
    scale = np.array([1e-12, 1e-12 * 1e-9 * omega])
    # atol well below rtol times the charge (1e-12 C), so that rtol sets the accuracy
    rows = [("midpoint (default)", "midpoint", {"rtol": r, "atol": r * 1e-14}) for r in (1e-8, 1e-10, 1e-12)]
    rows += [("midpoint, grid steps", "midpoint", {"grid_steps": True}),
             ("gauss4", "gauss4", {"rtol": 1e-10, "atol": 1e-24}),
             ("rodas5p", "rodas5p", {"rtol": 1e-8, "atol": 1e-22}),
             ("rk45", "rk45", {"rtol": 1e-8, "atol": 1e-22})]
    for label, method, kw in rows:
        if "rtol" in kw:
            label = f"{label}, rtol {kw['rtol']:.0e}"
        try:
            start = time.perf_counter()
            res = zarel.simulate(lc, x0, t, method=method, **kw)
            took = time.perf_counter() - start
        except Exception as exc:  # noqa: BLE001
            print(f"  {label:34s} failed: {exc}")
            continue
        err = np.max(np.abs(res.x - exact), axis=0) / scale
        drift = np.max(np.abs(res.energy - res.energy[0])) / res.energy[0]
        print(f"  {label:34s} {err[0]:9.1e} {err[1]:10.1e} {drift:9.1e} {res.stats['steps']:8d} {took * 1e3:8.1f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller chains, fewer methods")
    args = ap.parse_args()
    chain_section(args.quick)
    scaling_section(args.quick)
    lc_section()


if __name__ == "__main__":
    main()
