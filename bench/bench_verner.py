"""Is one of Verner's efficient pairs worth adding beside dop853? Verner's 9(8) pair (16 stages)
against Hairer's DOP853 (12 stages), both run by SciPy's one Runge-Kutta driver (the same step-size
controller, Verner's error weights in place of DOP853's), on the suite's non-stiff problems from
the start to the end of their interval: right-hand-side evaluations to reach each final-state
error, compared at equal error. Evaluations are the cost that both pairs would share in the
engine. Dense output adds extension stages to every step that passes a grid point: 3 for
DOP853's seventh-order extension, at least 4 for an eighth-order interpolant of Verner's pair
(the fewest published; his own ninth-order one takes 10). The columns "201" and "10001" count
them for grids of that many points, with 4 for Verner by default (--extension): the most
favourable to Verner.

    .venv/bin/python bench/bench_verner.py [--problems arenstorf,pendulum] [--rtols 1e-7,...]
"""
import argparse
import os
import sys

import numpy as np
from scipy.integrate import solve_ivp
from scipy.integrate._ivp.rk import RungeKutta

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402
from peers.common import Problem  # noqa: E402

# Verner's 9(8) "most efficient" pair (J. H. Verner, Numer. Algorithms 53 (2010) 383-396), the
# double values of his rational coefficients. Row i of A and C[i] are stage i + 1; stages 2 to 7
# and 16 carry no weight in the solution; the error weights E = b - b^ use stage 16.
C = [0.0, 0.03462, 0.09702435063878045, 0.14553652595817068, 0.561, 0.22900791159048503, 0.544992088409515,
     0.645, 0.48375, 0.06757, 0.25, 0.6590650618730999, 0.8206, 0.9012, 1.0, 1.0]
A_ROWS = {
    2: {1: 0.03462},
    3: {1: -0.03893354388572875, 2: 0.13595789452450918},
    4: {1: 0.03638413148954267, 3: 0.10915239446862801},
    5: {1: 2.0257639143939694, 3: -7.638023836496291, 4: 6.173259922102322},
    6: {1: 0.05112275589406061, 4: 0.17708237945550218, 5: 0.0008027762409222536},
    7: {1: 0.13160063579752163, 4: -0.2957276252669636, 5: 0.08781378035642955, 6: 0.6213052975225274},
    8: {1: 0.07166666666666667, 6: 0.33055335789153195, 7: 0.2427799754418014},
    9: {1: 0.071806640625, 6: 0.3294380283228177, 7: 0.1165190029271823, 8: -0.034013671875},
    10: {1: 0.04836757646340646, 6: 0.03928989925676164, 7: 0.10547409458903446, 8: -0.021438652846483126,
         9: -0.10412291746271944},
    11: {1: -0.026645614872014785, 6: 0.03333333333333333, 7: -0.1631072244872467, 8: 0.03396081684127761,
         9: 0.1572319413814626, 10: 0.21522674780318796},
    12: {1: 0.03689009248708622, 6: -0.1465181576725543, 7: 0.2242577768172024, 8: 0.02294405717066073,
         9: -0.0035850052905728597, 10: 0.08669223316444385, 11: 0.43838406519683376},
    13: {1: -0.4866012215113341, 6: -6.304602650282853, 7: -0.2812456182894729, 8: -2.679019236219849,
         9: 0.5188156639241577, 10: 1.3653531876033418, 11: 5.8850910885039465, 12: 2.8028087862720628},
    14: {1: 0.4185367457753472, 6: 6.724547581906459, 7: -0.42544428016461133, 8: 3.3432791530012653,
         9: 0.6170816631175374, 10: -0.9299661239399329, 11: -6.099948804751011, 12: -3.002206187889399,
         13: 0.2553202529443446},
    15: {1: -0.7793740861228848, 6: -13.937342538107776, 7: 1.2520488533793563, 8: -14.691500408016868,
         9: -0.494705058533141, 10: 2.2429749091462368, 11: 13.367893803828643, 12: 14.396650486650687,
         13: -0.79758133317768, 14: 0.4409353709534278},
    16: {1: 2.0580513374668867, 6: 22.357937727968032, 7: 0.9094981099755646, 8: 35.89110098240264,
         9: -3.442515027624454, 10: -4.865481358036369, 11: -18.909803813543427, 12: -34.26354448030452,
         13: 1.2647565216956427},
}
B = {1: 0.014611976858423152, 8: -0.3915211862331339, 9: 0.23109325002895065, 10: 0.12747667699928525,
     11: 0.2246434176204158, 12: 0.5684352689748513, 13: 0.058258715572158275, 14: 0.13643174034822156,
     15: 0.030570139830827976}
E = {1: -0.005357988290444578, 8: -2.583020491182464, 9: 0.14252253154686625, 10: 0.013420653512688676,
     11: -0.02867296291409493, 12: 2.624999655215792, 13: -0.2825509643291537, 14: 0.13643174034822156,
     15: 0.030570139830827976, 16: -0.04834231373823958}


def dense(rows, n):
    out = np.zeros(n)
    for j, v in rows.items():
        out[j - 1] = v
    return out


class Vern9(RungeKutta):
    """SciPy's driver over Verner's pair: its 16 stages, then the derivative at the solution, which
    the driver evaluates for the next step's first stage (16 evaluations a step, as DOP853's 12)."""
    order = 9
    error_estimator_order = 8
    n_stages = 16
    C = np.array(C)
    A = np.array([dense(A_ROWS.get(i, {}), 16) for i in range(1, 17)])
    B = dense(B, 16)
    E = np.append(dense(E, 16), 0.0)
    P = None


def check_tableau():
    """The tableau's order conditions that a mistyped digit would break: the rows sum to the
    nodes, and the quadrature conditions of the solution (order 9) and of the embedded (order 8)."""
    assert np.max(np.abs(Vern9.A.sum(axis=1) - Vern9.C)) < 1e-14
    bhat = Vern9.B - Vern9.E[:16]
    for k in range(9):
        assert abs(Vern9.B @ Vern9.C ** k - 1.0 / (k + 1)) < 1e-14, k
        if k < 8:
            assert abs(bhat @ Vern9.C ** k - 1.0 / (k + 1)) < 1e-14, k
    # two of the conditions on the stages: b A c = 1/6 and b A c^6 = 1/56
    assert abs(Vern9.B @ Vern9.A @ Vern9.C - 1.0 / 6) < 1e-14
    assert abs(Vern9.B @ (Vern9.A @ Vern9.C ** 6) - 1.0 / 56) < 1e-14


GRIDS = (2, 201, 10_001)


def passing(steps, points):
    """The steps that pass a point of an even grid of `points` points strictly inside them."""
    grid = np.linspace(steps[0], steps[-1], points)
    return int(np.count_nonzero(np.searchsorted(grid, steps[1:], side="left")
                                - np.searchsorted(grid, steps[:-1], side="right") > 0))


def curve(p, method, extra, rtols, ref, scale):
    """(final-state error relative to each component's peak, evaluations on each of GRIDS) at
    each tolerance."""
    out = []
    for rtol in rtols:
        sol = solve_ivp(p.f, (p.t[0], p.t[-1]), p.x0, method=method, rtol=rtol, atol=rtol * p.atol_factor * 1e-2)
        err = np.max(np.abs(sol.y[:, -1] - ref) / scale)
        out.append((err, [sol.nfev + extra * passing(sol.t, g) for g in GRIDS]))
    return out


def evals_at(points, err):
    """Evaluations to reach `err`, interpolated in log-log (None outside the measured range)."""
    pts = sorted(points, key=lambda q: q[0])
    for (e0, n0), (e1, n1) in zip(pts, pts[1:]):
        if e0 <= err <= e1 and e0 > 0:
            w = (np.log(err) - np.log(e0)) / (np.log(e1) - np.log(e0)) if e1 > e0 else 0.0
            return float(np.exp(np.log(n0) + w * (np.log(n1) - np.log(n0))))
    return None


def lorenz():
    """One run of the Lorenz ensemble of bench_ensemble.py (rho 28, from (1, 1, 1), t in [0, 1])."""
    def f(t, x):
        return np.array([10.0 * (x[1] - x[0]), x[0] * (28.0 - x[2]) - x[1], x[0] * x[1] - 8.0 / 3.0 * x[2]])
    return Problem("lorenz", {}, f, np.array([1.0, 1.0, 1.0]), np.linspace(0.0, 1.0, 201), False)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--problems", default="pendulum,mass chain n=2,mass chain n=20,cubic chain n=20,rlc series,"
                                          "arenstorf,van der pol mu=1,lorenz")
    ap.add_argument("--rtols", default="1e-6,1e-7,1e-8,1e-9,1e-10,1e-11,1e-12")
    ap.add_argument("--extension", type=int, default=4,
                    help="stages of Verner's interpolant beyond the pair's (4: eighth order; 10: his ninth)")
    args = ap.parse_args()
    check_tableau()
    rtols = [float(r) for r in args.rtols.split(",")]
    problems = {p.name: p for p in suite.build_problems(suite.make_config(True)) + [lorenz()]}
    print(f"{'':27s} {'DOP853 evaluations':>20s} {'Vern9 / DOP853 at equal error':>31s}")
    print(f"{'problem':18s} {'error':>8s} " + " ".join(f"{g:>6d}" for g in GRIDS) + "  "
          + " ".join(f"{g:>9d}" for g in GRIDS))
    for name in args.problems.split(","):
        p = problems[name]
        # the reference: both pairs at SciPy's tightest tolerance, which must agree with each other
        # well below the errors compared
        runs = [solve_ivp(p.f, (p.t[0], p.t[-1]), p.x0, method=m, rtol=2.3e-14, atol=1e-20) for m in ("DOP853", Vern9)]
        ref = runs[0].y[:, -1]
        scale = np.maximum(np.max(np.abs(runs[0].y), axis=1), 1e-300)
        floor = np.max(np.abs(runs[1].y[:, -1] - ref) / scale)
        dop = curve(p, "DOP853", 3, rtols, ref, scale)
        vern = curve(p, Vern9, args.extension, rtols, ref, scale)
        for err, ns in dop:
            if err < 30 * floor:
                continue
            cells = []
            for g, n in enumerate(ns):
                nv = evals_at([(e, m[g]) for e, m in vern], err)
                cells.append(f"{nv / n:9.2f}" if nv else f"{'':>9s}")
            print(f"{name:18s} {err:8.1e} " + " ".join(f"{n:6d}" for n in ns) + "  " + " ".join(cells))
        print(f"{name:18s} (reference agreement {floor:.1e}; errors below 30x that are not compared)")


if __name__ == "__main__":
    main()
