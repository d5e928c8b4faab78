"""Forward sensitivities and model fitting, side by side in one run:

1. the cost of sensitivities: for P quantities (parameters and initial states), the time of a run
   with sensitivities over the time of the plain run, per method, on Lotka-Volterra, a
   mass-spring-damper under a step force, a Duffing-type oscillator with damping and a DC motor
   driving a load through a shaft, built from parts (the goal: at most 1.5 (1 + P));
2. their accuracy: the largest difference from central differences of tight dop853 runs,
   relative to each derivative's own largest value over the grid (the goal: 1e-6);
3. fits with zarel.fit against SciPy's least_squares (method "trf", finite-difference Jacobians)
   over solve_ivp's DOP853 at the same tolerances, from the same start on the same noisy data
   (fixed seeds): iterations, time peer / zarel (the goal: at least 50) and the relative
   difference of the final costs (the goal: 1e-8), those costs also recomputed by tight runs at
   each side's final estimates, which leaves out the two integrators' own errors.

    bench/.venv-bench/bin/python bench/bench_fit.py [--quick] [--only cost,accuracy,fits]
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # an idle BLAS pool spins beside the runs

import numpy as np
import sympy

import zarel
from zarel import parts
from zarel.result import Method

# the central differences' step, relative: their error (of order step^4 after extrapolation, and
# rounding of order 1e-13 / step) is at most about 1e-9 on these models
STEP = 3e-4
METHODS: tuple[Method, ...] = ("rk45", "dop853", "rodas5p", "midpoint", "gauss4")


@dataclass
class Case:
    """A model, its run (x0, grid, inputs) and the quantities to differentiate by."""

    name: str
    system: zarel.System
    x0: dict[str, float]
    t: np.ndarray
    wrt: list[str]
    u: Any = None
    # the measured columns of a fit (states or named outputs), their noise, and a start for the
    # fitted quantities; a Python right-hand side f(t, x, values) for the peer, values by name
    measured: list[str] = field(default_factory=list)
    noise: float = 0.0
    start: dict[str, float] = field(default_factory=dict)
    peer_rhs: Optional[Callable[..., Any]] = None
    peer_out: Optional[Callable[..., Any]] = None


def lotka_volterra(points: int = 21) -> Case:
    x, y = sympy.symbols("x y")
    a, b, c, d = sympy.symbols("a b c d", positive=True)
    system = zarel.ODE([x, y], [a * x - b * x * y, c * x * y - d * y], params={a: 1.5, b: 1.0, c: 1.0, d: 3.0},
                       name="lotka_volterra")

    def rhs(t, s, v):
        return [v["a"] * s[0] - v["b"] * s[0] * s[1], v["c"] * s[0] * s[1] - v["d"] * s[1]]

    return Case("Lotka-Volterra", system, {"x": 10.0, "y": 5.0}, np.linspace(0.0, 10.0, points),
                ["a", "b", "c", "d", "x0.x", "x0.y"], measured=["x", "y"], noise=0.2,
                start={"a": 1.0, "b": 0.7, "c": 0.8, "d": 2.5, "x0.x": 8.0, "x0.y": 6.0},
                peer_rhs=rhs, peer_out=lambda s, v: s)


def mass_spring_damper(points: int = 101) -> Case:
    q, p, F = sympy.symbols("q p F")
    m, k, c = sympy.symbols("m k c", positive=True)
    system = zarel.PortHamiltonian([q, p], H=p**2 / (2 * m) + k * q**2 / 2, J=[[0, 1], [-1, 0]],
                                   R=[[0, 0], [0, c]], G=[0, 1], inputs=[F], params={m: 1.0, k: 4.0, c: 0.4},
                                   outputs={"position": q}, name="mass_spring_damper")

    def rhs(t, s, v):
        return [s[1] / v["m"], -v["k"] * s[0] - v["c"] * s[1] / v["m"] + 1.0]

    return Case("mass-spring-damper", system, {}, np.linspace(0.0, 10.0, points), ["k", "c", "m"], u={"F": 1.0},
                measured=["position"], noise=0.005, start={"k": 3.0, "c": 0.6, "m": 1.3},
                peer_rhs=rhs, peer_out=lambda s, v: s[:1])


def duffing(points: int = 201) -> Case:
    q, p = sympy.symbols("q p")
    m, k, k3, c = sympy.symbols("m k k3 c", positive=True)
    system = zarel.PortHamiltonian([q, p], H=p**2 / (2 * m) + k * q**2 / 2 + k3 * q**4 / 4, J=[[0, 1], [-1, 0]],
                                   R=[[0, 0], [0, c]], params={m: 1.0, k: 1.0, k3: 2.0, c: 0.1}, name="duffing")
    return Case("Duffing, damped", system, {"q": 1.5}, np.linspace(0.0, 20.0, points), ["m", "k", "k3", "c", "x0.q"])


def motor_from_parts(points: int = 121) -> Case:
    """A DC motor turning a load inertia through a torsion shaft: three parts, four states."""
    motor = parts.dc_motor(R=1.0, L=0.05, K=0.1, J_r=0.01, b=0.01)
    shaft = parts.spring(k=2.0)  # twist q grows at v_b - v_a: end b on the motor
    load = parts.mass(m=0.02, b=0.05, ports=("shaft",))
    system = zarel.connect({"motor": motor, "shaft": shaft, "load": load},
                           [("motor.torque", "shaft.b"), ("load.shaft", "shaft.a")], name="motor_from_parts")
    fixed = {"motor.L": 0.05, "motor.b": 0.01, "load.b": 0.05}

    def rhs(t, s, v):
        v = {**fixed, **v}
        phi, p_m, q, p_l = s
        i, w, w_l = phi / v["motor.L"], p_m / v["motor.J_r"], p_l / v["load.m"]
        torque = v["shaft.k"] * q
        return [12.0 - v["motor.R"] * i - v["motor.K"] * w, v["motor.K"] * i - v["motor.b"] * w - torque,
                w - w_l, torque - v["load.b"] * w_l]

    def out(s, v):
        v = {**fixed, **v}
        return np.array([s[0] / v["motor.L"], s[1] / v["motor.J_r"]])

    return Case("DC motor from parts", system, {}, np.linspace(0.0, 3.0, points),
                ["motor.R", "motor.L", "motor.K", "motor.J_r", "shaft.k", "load.m"], u={"motor.V": 12.0},
                measured=["motor.current", "motor.speed"], noise=0.05,
                start={"motor.R": 1.4, "motor.K": 0.08, "motor.J_r": 0.013, "shaft.k": 1.5, "load.m": 0.03},
                peer_rhs=rhs, peer_out=out)


MODELS = (lotka_volterra, mass_spring_damper, duffing, motor_from_parts)


def cost_cases() -> list[Case]:
    return [model(201) for model in MODELS]


def side_by_side(runs: list[Callable[[], Any]], rounds: int) -> list[float]:
    """The fastest time of each run over `rounds` rounds, the runs alternating within a round."""
    for run in runs:
        run()
    best = [math.inf] * len(runs)
    for _ in range(rounds):
        for i, run in enumerate(runs):
            start = time.perf_counter()
            run()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


# ---------------------------------------------------------------------------------------------
# 1. cost


def cost_section(quick: bool) -> None:
    print("== the cost of sensitivities: run with P sensitivities / plain run (goal: at most 1.5 (1 + P))")
    print(f"  {'model':22s} {'P':>2s} {'method':>9s} {'steps':>6s} {'plain us':>9s} {'sens us':>9s} {'ratio':>7s}"
          f" {'goal':>5s} {'met':>4s}")
    rounds = 5 if quick else 20
    for case in cost_cases():
        P = len(case.wrt)
        for method in METHODS:
            def plain(method=method):
                return zarel.simulate(case.system, case.x0, case.t, case.u, method=method)

            def sens(method=method):
                return zarel.simulate(case.system, case.x0, case.t, case.u, method=method, sensitivities=case.wrt)
            a, b = side_by_side([plain, sens], rounds)
            goal = 1.5 * (1 + P)
            steps = plain().stats["steps"]
            print(f"  {case.name:22s} {P:2d} {method:>9s} {steps:6d} {a * 1e6:9.1f} {b * 1e6:9.1f} {b / a:7.2f}"
                  f" {goal:5.1f} {'yes' if b / a <= goal else 'NO':>4s}")
    case = motor_from_parts(201)
    counts = (1, 2, 4, 6)
    print(f"\n== the ratio against P on {case.name} ({case.system.n_states} states): linear in 1 + P is the goal's shape")
    print(f"  {'method':>9s} " + " ".join(f"{'P = ' + str(P):>7s}" for P in counts))
    for method in METHODS:
        cells = []
        for P in counts:
            def without(method=method):
                return zarel.simulate(case.system, case.x0, case.t, case.u, method=method)

            def with_first(method=method, P=P):
                return zarel.simulate(case.system, case.x0, case.t, case.u, method=method, sensitivities=case.wrt[:P])
            a, b = side_by_side([without, with_first], rounds)
            cells.append(f"{b / a:7.2f}")
        print(f"  {method:>9s} " + " ".join(cells))
    print("\n== the first run with sensitivities of a new System (writing and compiling the variational equations) "
          "against the next runs (rk45)")
    print(f"  {'model':22s} {'P':>2s} {'first ms':>9s} {'next ms':>8s} {'first / next':>12s}")
    for model in MODELS:
        case = model(201)
        start = time.perf_counter()
        zarel.simulate(case.system, case.x0, case.t, case.u, method="rk45", sensitivities=case.wrt)
        first = time.perf_counter() - start
        (after,) = side_by_side([lambda: zarel.simulate(case.system, case.x0, case.t, case.u, method="rk45",
                                                        sensitivities=case.wrt)], rounds)
        print(f"  {case.name:22s} {len(case.wrt):2d} {first * 1e3:9.2f} {after * 1e3:8.3f} {first / after:12.0f}")


# ---------------------------------------------------------------------------------------------
# 2. accuracy


def central_differences(case: Case) -> np.ndarray:
    """d(states, outputs)/d(quantity) by central differences of dop853 runs at rtol 1e-13, steps h
    and h/2 combined by Richardson's extrapolation (an error of order h^4): (L, n + q, K)."""
    sig = case.system.signature
    x0 = sig.vector("state", case.x0)
    params = np.array(sig.param_values, dtype=float)
    columns = []
    for name in case.wrt:
        if name.startswith("x0."):
            j = sig.state_names.index(name[3:])
            base, h = x0[j], STEP * max(1.0, abs(x0[j]))
        else:
            j = sig.param_names.index(name)
            base, h = params[j], STEP * abs(params[j])
        estimates = []
        for step in (h, h / 2):
            sides = []
            for side in (step, -step):
                xs, ps = x0.copy(), params.copy()
                (xs if name.startswith("x0.") else ps)[j] = base + side
                r = zarel.simulate(case.system, xs, case.t, case.u, ps, method="dop853", rtol=1e-13, atol=1e-15)
                sides.append(np.hstack([r.x, r.outputs]))
            estimates.append((sides[0] - sides[1]) / (2 * step))
        columns.append((4 * estimates[1] - estimates[0]) / 3)
    return np.stack(columns, axis=2)


def relative_difference(s: np.ndarray, ref: np.ndarray) -> float:
    """The largest |s - ref| of each derivative over the grid, relative to its largest |ref|; the
    largest of those (derivatives that stay zero are left out)."""
    scale = np.max(np.abs(ref), axis=0)
    err = np.max(np.abs(s - ref), axis=0)
    keep = scale > 1e-12 * np.max(scale)
    return float(np.max(err[keep] / scale[keep]))


def accuracy_section(quick: bool) -> None:
    tolerances = ((1e-8, 1e-10), (1e-11, 1e-13))
    print("\n== the accuracy of sensitivities: largest difference from central differences of tight runs, relative "
          "to each derivative's largest value (goal: 1e-6);\n   beside it the states' own error, measured the same way "
          "against a dop853 run at rtol 1e-13")
    print(f"  {'model':22s} {'method':>9s} " + " ".join(f"{'rtol ' + format(r, '.0e') + ': sens':>17s} {'states':>7s}"
                                                       for r, _ in tolerances))
    for case in cost_cases():
        ref = central_differences(case)
        tight = zarel.simulate(case.system, case.x0, case.t, case.u, method="dop853", rtol=1e-13, atol=1e-15)
        for method in METHODS:
            cells = []
            for rtol, atol in tolerances:
                r = zarel.simulate(case.system, case.x0, case.t, case.u, method=method, rtol=rtol, atol=atol,
                                   sensitivities=case.wrt)
                assert r.sensitivities is not None
                cells.append(f"{relative_difference(r.sensitivities, ref):17.1e} "
                             f"{relative_difference(r.x, tight.x):7.1e}")
            print(f"  {case.name:22s} {method:>9s} " + " ".join(cells))
    print(f"  central differences: steps {STEP:.0e} and {STEP / 2:.1e} relative, Richardson-extrapolated, dop853 at "
          f"rtol 1e-13")


# ---------------------------------------------------------------------------------------------
# 3. fits


def synthetic(case: Case, seed: int) -> "Any":
    """The measured columns of a run at the model's own values, with Gaussian noise: a DataFrame."""
    import pandas as pd

    r = zarel.simulate(case.system, case.x0, case.t, case.u, method="dop853", rtol=1e-12, atol=1e-14)
    rng = np.random.default_rng(seed)
    frame = {"time": case.t}
    for name in case.measured:
        clean = r.x[:, r.signature.state_names.index(name)] if name in r.signature.state_names else r.output(name)
        frame[name] = clean + case.noise * rng.standard_normal(len(case.t))
    return pd.DataFrame(frame)


class Peer:
    """SciPy's least_squares over solve_ivp: residuals (model - data) / sigma at the data's points,
    the fitted quantities on a log scale (all are positive here), as the zarel fit is told."""

    def __init__(self, case: Case, data: Any, rtol: float, atol: float, jac: str):
        self.case, self.rtol, self.atol, self.jac = case, rtol, atol, jac
        self.names = list(case.start)
        self.data: np.ndarray = np.column_stack([data[c].to_numpy() for c in case.measured])
        sig = case.system.signature
        self.x0 = sig.vector("state", case.x0)
        self.state_at = {f"x0.{s}": i for i, s in enumerate(sig.state_names)}
        self.params = dict(zip(sig.param_names, sig.param_values))
        self.evaluations = 0

    def values(self, z: np.ndarray) -> dict[str, float]:
        return {**self.params, **dict(zip(self.names, np.exp(z)))}

    def simulate(self, v: dict[str, float], rtol: float, atol: float) -> np.ndarray:
        from scipy.integrate import solve_ivp

        x0 = self.x0.copy()
        for name, i in self.state_at.items():
            if name in v:
                x0[i] = v[name]
        t = self.case.t
        sol = solve_ivp(self.case.peer_rhs, (t[0], t[-1]), x0, method="DOP853", t_eval=t, args=(v,), rtol=rtol,
                        atol=atol)
        assert self.case.peer_out is not None
        return np.array([self.case.peer_out(sol.y[:, k], v) for k in range(len(t))], dtype=float)

    def residuals(self, z: np.ndarray) -> np.ndarray:
        self.evaluations += 1
        y = self.simulate(self.values(z), self.rtol, self.atol)
        r: np.ndarray = ((y - self.data) / self.case.noise).ravel()
        return r

    def fit(self) -> Any:
        from scipy.optimize import least_squares

        z0 = np.log([self.case.start[n] for n in self.names])
        # differences of adaptive solutions need a step well above their tolerance: sqrt(rtol);
        # the scaling is zarel.fit's, so that the two differ in their Jacobians alone
        return least_squares(self.residuals, z0, jac=self.jac, method="trf", diff_step=math.sqrt(self.rtol),
                             x_scale="jac")


def tight_cost(case: Case, values: dict[str, float], data: Any) -> float:
    """0.5 sum(((model - data) / sigma)^2) from a dop853 run at rtol 1e-13 at `values`."""
    sig = case.system.signature
    x0 = dict(case.x0)
    params = {}
    for name, v in values.items():
        if name.startswith("x0."):
            x0[name[3:]] = v
        else:
            params[name] = v
    r = zarel.simulate(case.system, x0, case.t, case.u, params, method="dop853", rtol=1e-13, atol=1e-15)
    total = 0.0
    for name in case.measured:
        y = r.x[:, sig.state_names.index(name)] if name in sig.state_names else r.output(name)
        total += float(np.sum(((y - data[name].to_numpy()) / case.noise) ** 2))
    return 0.5 * total


def fit_section(quick: bool) -> None:
    if not hasattr(zarel, "fit"):
        print("\n== fits: zarel.fit is not in this build; section left out")
        return
    import scipy.optimize  # noqa: F401  (imported here, so that neither side's first fit pays for it)

    rtol, atol = 1e-8, 1e-10
    print(f"\n== fits: zarel.fit against SciPy least_squares (trf) over solve_ivp DOP853, both at rtol {rtol:.0e}, "
          f"atol {atol:.0e}, from the same start on the same data")
    print(f"  {'model':22s} {'P':>2s} {'peer jac':>8s} {'iter':>4s} {'peer':>4s} {'evals':>5s} {'peer':>5s}"
          f" {'zarel ms':>8s} {'peer ms':>8s} {'peer/z':>6s} {'/ first':>7s} {'d cost':>8s} {'d tight':>8s}"
          f" {'d values':>8s}")
    rows = []
    for seed, case in enumerate((lotka_volterra(), mass_spring_damper(), motor_from_parts())):
        data = synthetic(case, seed)
        names = list(case.start)
        x0 = {**case.x0, **{n[3:]: v for n, v in case.start.items() if n.startswith("x0.")}}
        params = {n: v for n, v in case.start.items() if not n.startswith("x0.")}

        def ours(case=case, data=data, names=names, x0=x0, params=params):
            return zarel.fit(case.system, data, names, x0=x0, u=case.u, params=params, positive=names,
                             sigma=case.noise, rtol=rtol, atol=atol, optimizer="trf")
        start = time.perf_counter()
        mine = ours()  # the System's first fit: its variational equations written and compiled
        first = time.perf_counter() - start
        tight_ours = tight_cost(case, mine.values, data)
        rows.append((case, mine))
        for jac in ("2-point", "3-point"):
            peer = Peer(case, data, rtol, atol, jac)
            t_ours, t_peer = side_by_side([ours, peer.fit], 1 if quick else 3)
            peer.evaluations = 0
            theirs = peer.fit()
            peer_values = dict(zip(names, np.exp(theirs.x)))
            d_cost = abs(mine.cost - theirs.cost) / theirs.cost
            tight_peer = tight_cost(case, peer_values, data)
            d_tight = abs(tight_ours - tight_peer) / tight_peer
            d_values = max(abs(mine.values[n] - peer_values[n]) / abs(peer_values[n]) for n in names)
            print(f"  {case.name:22s} {len(names):2d} {jac:>8s} {mine.iterations:4d} {theirs.njev:4d}"
                  f" {mine.evaluations:5d} {peer.evaluations:5d} {t_ours * 1e3:8.1f} {t_peer * 1e3:8.1f}"
                  f" {t_peer / t_ours:6.0f} {t_peer / first:7.0f} {d_cost:8.1e} {d_tight:8.1e} {d_values:8.1e}")
    print("  iter: Jacobians each least_squares took; evals: model runs (the peer's include its difference quotients);"
          "\n  peer/z: against zarel's later fits of the same System; / first: against its first, which writes and"
          " compiles\n  the variational equations; d cost: of the final costs as each side computed them; d tight: of the costs recomputed by dop853 at"
          " rtol 1e-13\n  at each side's estimates; d values: the largest relative difference of the estimates")
    for case, mine in rows:
        print(f"  {case.name}: " + ", ".join(f"{n} {mine.values[n]:.5g} +- {mine.standard_errors[n]:.2g}"
                                              for n in case.start))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer timing rounds")
    ap.add_argument("--only", default="cost,accuracy,fits", help="sections to run: cost, accuracy, fits")
    args = ap.parse_args()
    only = set(args.only.split(","))
    if "cost" in only:
        cost_section(args.quick)
    if "accuracy" in only:
        accuracy_section(args.quick)
    if "fits" in only:
        fit_section(args.quick)


if __name__ == "__main__":
    main()
