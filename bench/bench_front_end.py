"""The symbolic front end on a chain of masses: time to build and load the model, and the cost of
runs of its document against the hand-written document of the same chain (bench/models.py).

    python bench/bench_front_end.py [N_MASSES ...]    (default 50 200)
"""
import json
import pathlib
import sys
import time

import numpy as np
import sympy

import zarel
import zarel_engine

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from models import mass_chain  # noqa: E402


def front_end_chain(n, k=1.0, c=0.05, m=1.0):
    """The chain of models.mass_chain: positions q, momenta p, the first mass tied to a wall."""
    q = sympy.symbols(f"q0:{n}")
    p = sympy.symbols(f"p0:{n}")
    H = sympy.Add(*(pi**2 / (2 * m) for pi in p),
                  *(k / 2 * (q[i] - (q[i - 1] if i else 0)) ** 2 for i in range(n)))
    J, R = sympy.zeros(2 * n, 2 * n), sympy.zeros(2 * n, 2 * n)
    for i in range(n):
        J[i, n + i], J[n + i, i] = 1, -1
        R[n + i, n + i] = c
    return zarel.PortHamiltonian([*q, *p], H, J, R, name=f"chain{n}")


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main(sizes):
    for n in sizes:
        start = time.perf_counter()
        system = front_end_chain(n)
        built = time.perf_counter() - start
        start = time.perf_counter()
        ours = system.model()
        loaded = time.perf_counter() - start
        doc, _, _ = mass_chain(n, shallow_energy=True)
        hand = zarel_engine.Model(json.dumps(doc))
        x0 = np.zeros(2 * n)
        x0[0] = 1.0
        t = np.linspace(0.0, 20.0, 2001)
        gap = np.abs(hand.simulate(x0, t, method="rk4")["x"] - ours.simulate(x0, t, method="rk4")["x"]).max()
        print(f"chain of {n} masses: build {built:.2f} s, load {loaded:.3f} s, "
              f"document {len(system.json()) / 1e6:.2f} MB; rk4 trajectories differ by at most {gap:.1e}")
        for method in ("rk4", "midpoint"):
            # alternate the two models so that both see the same machine load
            t_hand = t_ours = float("inf")
            for _ in range(3):
                t_hand = min(t_hand, best(lambda: hand.simulate(x0, t, method=method, record_outputs=False), 1))
                t_ours = min(t_ours, best(lambda: ours.simulate(x0, t, method=method, record_outputs=False), 1))
            print(f"   {method:8s} hand-written {t_hand * 1e3:8.1f} ms, front end {t_ours * 1e3:8.1f} ms, "
                  f"front end / hand-written {t_ours / t_hand:.2f}")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [50, 200])
