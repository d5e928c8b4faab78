"""Chains built from parts with zarel.connect against the same chain written whole with the symbolic
front end: time to build and load the model, and the cost of one right-hand-side evaluation inside
an rk4 run of each.

    python bench/bench_compose.py [N_MASSES ...]    (default 100 1000 10000)

A chain of N masses has N - 1 springs (2N - 1 states); the first mass's left port and the last
mass's right port are its inputs. The whole is built only up to WHOLE_LIMIT masses: its dense
Jacobian of (2N - 1)^2 programs alone takes minutes beyond.
"""
import sys
import time

import numpy as np
import sympy

import zarel
from zarel import parts

WHOLE_LIMIT = 1000


def chain_from_parts(n, k=1.0, b=0.05, m=1.0, jacobian=None):
    mass, spring = parts.mass(m, b, ports=("left", "right")), parts.spring(k)
    members = {}
    for i in range(n):  # mass, spring, mass, ...: the states in the order of chain_whole
        members[f"m{i}"] = mass
        if i + 1 < n:
            members[f"s{i}"] = spring
    links = [link for i in range(n - 1) for link in ((f"m{i}.right", f"s{i}.a"), (f"m{i + 1}.left", f"s{i}.b"))]
    return zarel.connect(members, links, name=f"chain{n}", jacobian=jacobian)


def chain_whole(n, k=1.0, b=0.05, m=1.0):
    """The same chain as one PortHamiltonian, with the same parameters per element: momenta p_i
    and spring elongations q_i interleaved."""
    p, q = sympy.symbols(f"p0:{n}"), sympy.symbols(f"q0:{n - 1}")
    ms, bs = sympy.symbols(f"m0:{n}", positive=True), sympy.symbols(f"b0:{n}", positive=True)
    ks = sympy.symbols(f"k0:{n - 1}", positive=True)
    states = [s for i in range(n) for s in ((p[i], q[i]) if i + 1 < n else (p[i],))]
    at = {s: j for j, s in enumerate(states)}
    size = len(states)
    J, R, G = sympy.zeros(size, size), sympy.zeros(size, size), sympy.zeros(size, 2)
    for i in range(n - 1):
        J[at[p[i]], at[q[i]]], J[at[q[i]], at[p[i]]] = 1, -1
        J[at[p[i + 1]], at[q[i]]], J[at[q[i]], at[p[i + 1]]] = -1, 1
    for i in range(n):
        R[at[p[i]], at[p[i]]] = bs[i]
    G[at[p[0]], 0] = G[at[p[n - 1]], 1] = 1
    H = sympy.Add(*(pi**2 / (2 * mi) for pi, mi in zip(p, ms)), *(ki * qi**2 / 2 for qi, ki in zip(q, ks)))
    params = {**{mi: m for mi in ms}, **{bi: b for bi in bs}, **{ki: k for ki in ks}}
    return zarel.PortHamiltonian(states, H, J, R, G, inputs=sympy.symbols("F_left F_right"), params=params,
                                 name=f"whole{n}")


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return value, time.perf_counter() - start


def per_evaluation(model, x0, t, repeat=3):
    """Seconds per right-hand-side evaluation in an rk4 run (the best of `repeat`)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run = model.simulate(x0, t, method="rk4", record_outputs=False, record_energy=False)
        best = min(best, (time.perf_counter() - start) / run["stats"]["rhs_evals"])
    return best


def main(sizes):
    for n in sizes:
        composite, t_compose = timed(lambda: chain_from_parts(n))
        model, t_load = timed(composite.model)
        print(f"chain of {n} masses ({composite.n_states} states): from parts {t_compose:.3f} s "
              f"(connect, checked by one load), load {t_load:.3f} s, document {len(composite.json()) / 1e6:.2f} MB, "
              f"analytic Jacobian: {'jacobian' in composite.document()}")
        x0 = np.zeros(composite.n_states)
        x0[0] = 1.0
        t = np.linspace(0.0, 10.0, 201 if n < 10000 else 21)
        if n > WHOLE_LIMIT:
            print(f"   written whole: not built (beyond {WHOLE_LIMIT} masses)")
            continue
        whole, t_whole = timed(lambda: chain_whole(n))
        whole_model, t_whole_load = timed(whole.model)
        print(f"   written whole: front end {t_whole:.2f} s, load {t_whole_load:.3f} s; "
              f"whole / from parts (build + load): {(t_whole + t_whole_load) / (t_compose + t_load):.1f}x")
        rng = np.random.default_rng(1)
        x, u = rng.normal(size=composite.n_states), rng.normal(size=2)
        gap = np.max(np.abs(model.rhs(x, u) - whole_model.rhs(x, u)))
        print(f"   right-hand sides at a random point differ by {gap:.1e}")
        # alternate the two so that both see the same machine load
        ours = theirs = float("inf")
        for _ in range(3):
            ours = min(ours, per_evaluation(model, x0, t, 1))
            theirs = min(theirs, per_evaluation(whole_model, x0, t, 1))
        print(f"   one rhs evaluation in rk4: from parts {ours * 1e9:.0f} ns, whole {theirs * 1e9:.0f} ns, "
              f"from parts / whole {ours / theirs:.2f}")
        if composite.n_states <= 400:
            dense, t_dense = timed(lambda: chain_from_parts(n, jacobian=True))
            _, t_dense_load = timed(dense.model)
            print(f"   from parts with the analytic Jacobian: {t_dense:.3f} s, load {t_dense_load:.3f} s")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [100, 1000, 10000])
