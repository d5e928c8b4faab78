"""The package's implicit methods on their own steps (midpoint, the default, and gauss4) against rk45
with dense output: on the mass chain (bench/models.py, 200 masses, 400 states) the cheapest run of
each whose error against a tight dop853 reference is below a target (default 1e-6 of the largest
state), over a ladder of tolerances; and the LC circuit in SI units (1 pF, 1 nH), whose energy the
implicit methods conserve at round-off over many periods.

    .venv/bin/python bench/bench_collocation.py [--masses 200] [--target 1e-6] [--rounds 3]
"""
import argparse
import math
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import models  # noqa: E402

import zarel_engine  # noqa: E402
from zarel import _engine  # noqa: E402

TOLERANCES = [10.0 ** -k for k in (4, 5, 6, 7, 8, 9, 10, 11)]


def best_of(rounds, run):
    best, out = math.inf, None
    for _ in range(rounds):
        start = time.perf_counter()
        out = run()
        best = min(best, time.perf_counter() - start)
    return best, out


def chain(masses, target, rounds):
    doc, _, _ = models.mass_chain(masses, shallow_energy=True)
    import json
    model = zarel_engine.Model(json.dumps(doc))
    x0 = np.linspace(0.1, 0.0, 2 * masses)
    t = np.linspace(0.0, 20.0, 201)
    ref = _engine.simulate(model, x0, t, method="dop853", rtol=1e-13, atol=1e-15, dense=True,
                           record_outputs=False, record_energy=False)["x"]
    scale = np.max(np.abs(ref))
    print(f"mass chain, {masses} masses ({2 * masses} states), t in [0, 20], 201 points; target error "
          f"{target:g} of the largest state")
    print(f"{'method':10s} {'rtol':>8s} {'error':>9s} {'steps':>7s} {'rejected':>8s} {'rhs':>8s} {'newton':>7s} "
          f"{'jacobians':>9s} {'seconds':>9s}")
    chosen = {}
    for method in ("midpoint", "gauss4", "rk45"):
        for rtol in TOLERANCES:
            def run():
                return _engine.simulate(model, x0, t, method=method, rtol=rtol, atol=rtol * 1e-2, dense=True,
                                        record_outputs=False, record_energy=False)
            seconds, res = best_of(rounds, run)
            error = np.max(np.abs(res["x"] - ref)) / scale
            s = res["stats"]
            print(f"{method:10s} {rtol:8.0e} {error:9.2e} {s['steps']:7d} {s['rejected_steps']:8d} {s['rhs_evals']:8d} "
                  f"{s['newton_iterations']:7d} {s['jacobian_evals']:9d} {seconds:9.4f}")
            if error <= target:
                chosen[method] = (rtol, seconds)
                break
    if "rk45" in chosen:
        for method in ("midpoint", "gauss4"):
            if method in chosen:
                print(f"{method} / rk45 at error {target:g}: {chosen[method][1] / chosen['rk45'][1]:.1f}x the time")


def lc(periods, rounds):
    C, L = 1e-12, 1e-9
    doc = {"n_states": 2, "n_inputs": 0, "n_params": 2, "param_values": [C, L],
           "rhs": [["div", ["ref", 1], ["ref", 3]], ["neg", ["div", ["ref", 0], ["ref", 2]]]],
           "energy": ["add", ["div", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["const", 2], ["ref", 2]]],
                      ["div", ["mul", ["ref", 1], ["ref", 1]], ["mul", ["const", 2], ["ref", 3]]]]}
    import json
    model = zarel_engine.Model(json.dumps(doc))
    omega = 1 / math.sqrt(L * C)
    t = np.linspace(0.0, periods * 2 * math.pi / omega, 1001)
    x0 = np.array([1e-12, 0.0])
    exact = 1e-12 * np.cos(omega * t)
    print(f"\nLC circuit, 1 pF and 1 nH, charge 1e-12 C, {periods} periods, atol = 1e-12 rtol")
    print(f"{'method':10s} {'rtol':>8s} {'charge error':>12s} {'energy drift':>12s} {'steps':>7s} {'seconds':>9s}")
    for method in ("midpoint", "gauss4", "rk45"):
        for rtol in (1e-8, 1e-10):
            def run():
                return _engine.simulate(model, x0, t, method=method, rtol=rtol, atol=rtol * 1e-12, dense=True,
                                        record_outputs=False)
            seconds, res = best_of(rounds, run)
            e = res["energy"]
            print(f"{method:10s} {rtol:8.0e} {np.max(np.abs(res['x'][:, 0] - exact)) / 1e-12:12.2e} "
                  f"{abs(e[-1] - e[0]) / e[0]:12.2e} {res['stats']['steps']:7d} {seconds:9.4f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--masses", type=int, default=200)
    ap.add_argument("--target", type=float, default=1e-6)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--periods", type=int, default=1000)
    args = ap.parse_args()
    chain(args.masses, args.target, args.rounds)
    lc(args.periods, args.rounds)


if __name__ == "__main__":
    main()
