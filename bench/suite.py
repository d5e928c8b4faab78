"""The benchmark suite: work-precision of zarel_engine's integrators against SciPy, CasADi,
scikit-sundae and numbalsoda on a non-stiff and a stiff problem set, the cost of one right-hand-side
evaluation in every form, the cost scaling on the mass chain, the native limit, and ensembles
against heyoka.

Run through bench/run.sh, which prepares the peers' environment; `python bench/suite.py --quick`
works in any environment that has zarel_engine, NumPy, SciPy (and, optionally, the peers).
Results go to bench/results/: results.json and one work-precision plot per problem."""
import argparse
import contextlib
import hashlib
import importlib
import json
import math
import os
import pathlib
import platform
import re
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

import numpy as np

# Fortran runtimes (numbalsoda's solvers) buffer their warnings until exit; unbuffered, they go
# out while the solver runs, where quiet() below discards them.
os.environ.setdefault("GFORTRAN_UNBUFFERED_ALL", "y")

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import models  # noqa: E402
from evaluation_path import evaluation_path  # noqa: E402
from peers.codegen import rhs_instructions  # noqa: E402
from peers.common import Method, Problem, refine  # noqa: E402

import zarel_engine  # noqa: E402

CHAIN_SIZES = (2, 5, 10, 20, 50, 100, 200)
PEER_MODULES = ("scipy_peer", "casadi_peer", "numba_peer", "sundae_peer", "heyoka_peer")
PEER_PACKAGES = {"scipy_peer": "scipy", "casadi_peer": "casadi", "numba_peer": "numbalsoda",
                 "sundae_peer": "scikit-sundae", "heyoka_peer": "heyoka"}
NATIVE_DEFAULT = ROOT / "build" / "bench-native" / "bench" / "native" / "bench_native"
NATIVE_BUILD_HINT = ("cmake -S {root} -B {root}/build/bench-native -G Ninja -DZAREL_BUILD_BENCH=ON "
                     "-DZAREL_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release && "
                     "cmake --build {root}/build/bench-native --target bench_native")


@dataclass
class Config:
    quick: bool
    zarel_tols: list
    peer_tols: list
    grid_explicit: list      # refinements for rk4 (and CasADi's rk4: substeps per output interval)
    grid_midpoint: list      # refinements for midpoint, non-stiff set
    grid_midpoint_stiff: list
    budget: float            # a sweep stops after a run slower than this many seconds
    chain_sizes: tuple
    cubic_sizes: tuple       # the mass chain with cubic-stiffening springs


def make_config(quick):
    if quick:
        return Config(True, [1e-4, 1e-6, 1e-8, 1e-10], [1e-3, 1e-5, 1e-7, 1e-9], [1, 4, 16], [1, 4, 16, 64],
                      [1, 4, 16, 64, 256], 1.0, (2, 20, 100), (20,))
    return Config(False, [10.0 ** -k for k in range(4, 11)], [10.0 ** -k for k in range(3, 11)],
                  [1, 2, 4, 8, 16, 32, 64], [1, 2, 4, 8, 16, 32, 64, 128], [1, 4, 16, 64, 256, 1024, 4096],
                  4.0, CHAIN_SIZES, (2, 20, 200))


# ---------------------------------------------------------------------------------------------
# Problems

def build_problems(cfg):
    probs = []
    doc, f = models.pendulum()
    probs.append(Problem("pendulum", doc, f, np.array([2.0, 0.0]), np.linspace(0.0, 20.0, 201), False))
    for n in cfg.chain_sizes:
        doc, f, A = models.mass_chain(n, shallow_energy=True)
        probs.append(Problem(f"mass chain n={n}", doc, f, np.linspace(0.1, 0.0, 2 * n), np.linspace(0.0, 20.0, 201),
                             False, jac=A, family="chain"))
    for n in cfg.cubic_sizes:
        doc, f = models.cubic_chain(n)
        probs.append(Problem(f"cubic chain n={n}", doc, f, np.linspace(0.1, 0.0, 2 * n), np.linspace(0.0, 20.0, 201),
                             False, family="cubic chain"))
    rng = np.random.default_rng(7)
    kt = np.linspace(0.0, 10.0, 21)
    ku = np.round(rng.uniform(-1.0, 1.0, kt.size), 3)
    doc, f, J = models.rlc_series(kt, ku)
    probs.append(Problem("rlc series", doc, f, np.array([0.0, 0.0]), np.linspace(0.0, 10.0, 201), False,
                         jac=J, knots=(kt, ku)))
    doc, f = models.arenstorf()
    probs.append(Problem("arenstorf", doc, f, np.array(models.ARENSTORF_X0),
                         np.linspace(0.0, models.ARENSTORF_PERIOD, 201), False))
    doc, f = models.van_der_pol(1.0)
    probs.append(Problem("van der pol mu=1", doc, f, np.array([2.0, 0.0]), np.linspace(0.0, 20.0, 201), False,
                         jac=models.van_der_pol_jac(1.0)))
    # stiff set
    doc, f = models.van_der_pol(1000.0)
    probs.append(Problem("van der pol mu=1000", doc, f, np.array([2.0, 0.0]), np.linspace(0.0, 3000.0, 201), True,
                         jac=models.van_der_pol_jac(1000.0), explicit="compiled", midpoint_scale=64))
    doc, f, A = models.rc_ladder(50)
    probs.append(Problem("rc ladder n=50", doc, f, np.zeros(50), np.linspace(0.0, 2000.0, 201), True, jac=A))
    doc, f, J = models.robertson()
    probs.append(Problem("robertson", doc, f, np.array([1.0, 0.0, 0.0]),
                         np.concatenate([[0.0], np.logspace(-5, 5, 200)]), True, jac=J, atol_factor=1e-6,
                         explicit="none"))
    return probs


# ---------------------------------------------------------------------------------------------
# Measuring

def _libc_flush():
    try:
        import ctypes
        ctypes.CDLL(None).fflush(None)
    except Exception:  # noqa: BLE001
        pass


@contextlib.contextmanager
def quiet():
    """Silence what the C libraries print (CVODES warnings and the like) on fds 1 and 2."""
    sys.stdout.flush()
    sys.stderr.flush()
    _libc_flush()
    saved = os.dup(1), os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        os.dup2(null.fileno(), 2)
        try:
            yield
        finally:
            _libc_flush()
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])


def extra_runs(first, cfg):
    if cfg.quick:
        return 4 if first < 0.02 else 2 if first < 0.3 else 0
    return 7 if first < 0.02 else 4 if first < 0.5 else 2 if first < 2.0 else 0


def error_of(x, ref, scale):
    """Largest deviation at the grid points, each component relative to its peak magnitude."""
    x = np.asarray(x, float)
    if x.shape != ref.shape:
        return math.inf
    e = np.abs(x - ref) / scale
    return float(np.max(e)) if np.all(np.isfinite(e)) else math.inf


def sweep(method, ref, scale, cfg):
    points = []
    for i, param in enumerate(method.params):
        point = {"param": param}
        elapsed = 0.0
        t_start = time.perf_counter()
        try:
            with quiet():
                run = method.prepare(param)
                if i == 0:
                    run()  # warm-up: lazy compilation, first-call set-up
                start = time.perf_counter()
                x, nfev = run()
                elapsed = time.perf_counter() - start
                times = [elapsed]
                k = extra_runs(elapsed, cfg)
                if k:
                    times = []
                    for _ in range(k):
                        start = time.perf_counter()
                        run()
                        times.append(time.perf_counter() - start)
            err = error_of(x, ref, scale)
            point.update(ok=math.isfinite(err), time=float(np.median(times)), runs=len(times), nfev=int(nfev),
                         error=err)
            if not math.isfinite(err):
                point["message"] = "non-finite or mis-shaped result"
        except Exception as exc:  # noqa: BLE001
            elapsed = elapsed or (time.perf_counter() - t_start)
            point.update(ok=False, message=str(exc).strip().splitlines()[-1][:200] if str(exc).strip() else repr(exc))
        points.append(point)
        if elapsed > cfg.budget or ("time" in point and point["time"] > cfg.budget):
            point["note"] = "slower than the per-run budget: sweep stopped here"
            break
    return points


def reference(p, results_dir):
    """Tight-tolerance solution on p.t and each component's peak magnitude along the whole path
    (from a looser run that reports every step, so that peaks between grid points count), cached on
    disk by a hash of the problem."""
    from scipy.integrate import solve_ivp
    method = "Radau" if p.stiff else "DOP853"
    rtol = 1e-12 if p.stiff else 1e-13
    key = hashlib.sha1(json.dumps([p.doc, list(p.x0), list(p.t), method, rtol, p.atol_factor,
                                   None if p.knots is None else [list(p.knots[0]), list(p.knots[1])]],
                                  sort_keys=True).encode()).hexdigest()[:16]
    path = results_dir / "refs" / f"{re.sub(r'[^a-z0-9]+', '_', p.name)}-{key}.npz"
    if path.exists():
        data = np.load(path)
        return data["ref"], data["peak"], method, rtol, 0.0
    kw = {"jac": p.jac_fn()} if (p.stiff and p.jac is not None) else {}
    start = time.perf_counter()
    sol = solve_ivp(p.f, (p.t[0], p.t[-1]), p.x0, method=method, t_eval=p.t, rtol=rtol,
                    atol=rtol * p.atol_factor * 1e-2, **kw)
    if not sol.success:
        raise RuntimeError(f"reference for {p.name} failed: {sol.message}")
    path_run = solve_ivp(p.f, (p.t[0], p.t[-1]), p.x0, method=method, rtol=1e-7, atol=1e-7 * p.atol_factor, **kw)
    peak = np.maximum(np.max(np.abs(sol.y), axis=1), np.max(np.abs(path_run.y), axis=1))
    path.parent.mkdir(parents=True, exist_ok=True)
    np.savez(path, ref=sol.y.T, peak=peak)
    return sol.y.T, peak, method, rtol, time.perf_counter() - start


# ---------------------------------------------------------------------------------------------
# zarel_engine's methods

def input_series(p, grid):
    if p.knots is None:
        return None
    return np.ascontiguousarray(models.pwl(grid, *p.knots)[:, None])


def zarel_methods(p, model, cfg):
    x0 = np.ascontiguousarray(p.x0, dtype=float)

    def make(name, kind):
        def prepare(param):
            r = 1 if kind == "tol" else int(param)
            grid = refine(p.t, r)
            u = input_series(p, grid)
            kw = {"rtol": param, "atol": param * p.atol_factor} if kind == "tol" else {}

            def run():
                res = model.simulate(x0, grid, u, method=name, interp="linear", record_outputs=False,
                                     record_energy=False, **kw)
                return res["x"][::r], res["stats"]["rhs_evals"]
            return run
        return prepare

    def make_dense(rtol, method="rk45"):
        from zarel import _engine
        u = input_series(p, p.t)

        def run():
            res = _engine.simulate(model, x0, p.t, u, method=method, interp="linear", rtol=rtol,
                                   atol=rtol * p.atol_factor, dense=True, record_outputs=False, record_energy=False)
            return res["x"], res["stats"]["rhs_evals"]
        return run

    out = []
    if p.explicit != "none":
        out.append(Method("zarel rk45", "zarel_engine", "tol", cfg.zarel_tols, make("rk45", "tol")))
        out.append(Method("zarel rk45 dense", "zarel_engine", "tol", cfg.zarel_tols, make_dense,
                          note="steps by error control, values from the continuous extension"))
    if p.explicit == "all":
        out.append(Method("zarel rk4", "zarel_engine", "grid", cfg.grid_explicit, make("rk4", "grid"),
                          note="param = steps per output interval"))
    if p.stiff:
        out.append(Method("zarel rodas5p", "zarel_engine", "tol", cfg.zarel_tols,
                          lambda rtol: make_dense(rtol, "rodas5p"),
                          note="Rosenbrock, steps by error control, values from the continuous extension"))
    grids = cfg.grid_midpoint_stiff if p.stiff else cfg.grid_midpoint
    if p.midpoint_scale > 1:
        grids = [r * p.midpoint_scale for r in grids]
    out.append(Method("zarel midpoint", "zarel_engine", "grid", grids, make("midpoint", "grid"),
                      note="param = steps per output interval"))
    return out


def zarel_ns_per_eval(model, p, evals=200_000):
    """ns per right-hand-side evaluation inside simulate: rk4 (4 evaluations and O(n) vector work
    per step) over a short span, the trajectory kept under about 1 MB so that the cost of first
    touching fresh result memory stays out of the figure; repeated calls make up the count."""
    n = p.doc["n_states"]
    points = int(min(20_001, max(101, 1_000_000 // (8 * n))))
    grid = np.linspace(p.t[0], p.t[0] + 1e-9 * (p.t[-1] - p.t[0]), points)
    u = input_series(p, grid)
    x0 = np.ascontiguousarray(p.x0, dtype=float)
    calls = max(1, evals // (4 * (points - 1)))
    model.simulate(x0, grid, u, method="rk4", interp="linear", record_outputs=False, record_energy=False)
    best = math.inf
    for _ in range(3):
        done = 0
        start = time.perf_counter()
        for _ in range(calls):
            res = model.simulate(x0, grid, u, method="rk4", interp="linear", record_outputs=False,
                                 record_energy=False)
            done += res["stats"]["rhs_evals"]
        best = min(best, (time.perf_counter() - start) / done)
    return best * 1e9


def load_model(doc, jit=True):
    """The document loaded on the default path, or with jit false on the interpreter (ZAREL_JIT=0
    is read when a model is loaded)."""
    with evaluation_path(jit):
        return zarel_engine.Model(json.dumps(doc))


def native_eval_ns(native, p):
    """ns per rhs evaluation of the problem's document called from a C++ loop, on the interpreter
    and as machine code (the native program's --eval), or None without the program."""
    if not native.exists():
        return None
    u = [] if p.knots is None else [float(models.pwl(1.0, *p.knots))]
    spec = {"doc": p.doc, "x": [float(v) for v in p.x0], "u": u, "t": 1.0}
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as fh:
        json.dump(spec, fh)
    try:
        out = subprocess.run([str(native), "--eval", fh.name], capture_output=True, text=True, timeout=300,
                             check=True).stdout
        return json.loads(out.strip().splitlines()[-1])
    except Exception:  # noqa: BLE001
        return None
    finally:
        os.unlink(fh.name)


def per_call_ns(fn, reps, limit=0.15):
    """Best of three of the mean time per call; fewer calls when one call is slow."""
    start = time.perf_counter()
    fn()
    first = time.perf_counter() - start
    reps = max(1, min(reps, int(limit / max(first, 1e-9))))
    best = math.inf
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(reps):
            fn()
        best = min(best, (time.perf_counter() - start) / reps)
    return best * 1e9


# ---------------------------------------------------------------------------------------------
# Comparison at equal accuracy

def envelope(points):
    """Cheapest time to reach at least each accuracy: (log10 error ascending, log10 time)."""
    good = sorted((pt["error"], pt["time"]) for pt in points if pt.get("ok") and pt["error"] > 0)
    if not good:
        return None
    errs, times, best = [], [], math.inf
    for e, t in good:  # ascending error: a tighter point can also serve a looser target
        best = min(best, t)
        errs.append(e)
        times.append(best)
    le = np.log10(errs)
    lt = np.log10(times)
    return le, lt


def peer_time_at(points, err):
    env = envelope(points)
    if env is None:
        return None, None
    le, lt = env
    x = math.log10(err)
    if le[0] <= x <= le[-1]:
        return 10 ** float(np.interp(x, le, lt)), "interp"
    # nearest-accuracy point otherwise
    i = int(np.argmin(np.abs(le - x)))
    return 10 ** float(lt[i]), f"nearest({10 ** le[i]:.0e})"


def compare(zpoints, ppoints):
    """Geometric mean over zarel's points of (peer time at zarel's error / zarel time), using
    interpolation where zarel's error lies inside the peer's range; else the nearest point."""
    ratios, mode = [], "interp"
    zs = [pt for pt in zpoints if pt.get("ok") and pt["error"] > 0]
    if not zs:
        return None, None, 0
    for pt in zs:
        t, how = peer_time_at(ppoints, pt["error"])
        if t is not None and how == "interp":
            ratios.append(t / pt["time"])
    if not ratios:
        # no overlap in accuracy: compare zarel's most accurate point with the peer's nearest
        pt = min(zs, key=lambda q: q["error"])
        t, how = peer_time_at(ppoints, pt["error"])
        if t is None:
            return None, None, 0
        return t / pt["time"], how, 1
    return float(np.exp(np.mean(np.log(ratios)))), mode, len(ratios)


# ---------------------------------------------------------------------------------------------
# Sections

def plot_problem(name, curves, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:  # noqa: BLE001
        return False
    fig, ax = plt.subplots(figsize=(7.5, 5.5))
    zarel_colours = {"zarel rk45": "black", "zarel rk4": "crimson", "zarel midpoint": "royalblue"}
    peer_colours = iter(plt.get_cmap("tab20").colors[0::2] + plt.get_cmap("tab20").colors[1::2])
    for label, pts in curves.items():
        good = [pt for pt in pts if pt.get("ok")]
        if not good:
            continue
        zarel = label.startswith("zarel")
        colour = zarel_colours.get(label) if zarel else next(peer_colours)
        ax.loglog([pt["time"] for pt in good], [max(pt["error"], 1e-16) for pt in good],
                  "-o" if zarel else "--.", lw=2.2 if zarel else 1.0, ms=5 if zarel else 4, label=label,
                  color=colour)
    ax.set_xlabel("wall time [s] (median)")
    ax.set_ylabel("max error / component peak")
    ax.set_title(f"work-precision: {name}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def fit_exponent(xs, ys):
    slope, _ = np.polyfit(np.log(xs), np.log(ys), 1)
    return float(slope)


def scaling_section(cfg):
    """rhs cost against instruction count and midpoint's Jacobian refresh against n on the mass
    chain."""
    rows = []
    for n in CHAIN_SIZES:
        doc, _, _ = models.mass_chain(n, shallow_energy=True)
        model = zarel_engine.Model(json.dumps(doc))
        p = Problem(f"mass chain n={n}", doc, None, np.linspace(0.1, 0.0, 2 * n), np.linspace(0.0, 20.0, 201), False)
        ns_eval = zarel_ns_per_eval(model, p, evals=100_000 if cfg.quick else 400_000)
        # a linear model converges after one Newton update: per step one Jacobian refresh with
        # its LU factorisation, one pair of triangular solves and three rhs evaluations
        x0 = np.ascontiguousarray(p.x0)
        steps = 8
        while True:
            grid = np.linspace(0.0, 0.1 * steps, steps + 1)
            start = time.perf_counter()
            res = model.simulate(x0, grid, method="midpoint", record_outputs=False, record_energy=False)
            el = time.perf_counter() - start
            if el > (0.03 if cfg.quick else 0.1) or steps > 1 << 20:
                break
            steps *= 4
        best = el
        for _ in range(2):
            start = time.perf_counter()
            res = model.simulate(x0, grid, method="midpoint", record_outputs=False, record_energy=False)
            best = min(best, time.perf_counter() - start)
        st = res["stats"]
        per_step = best / st["steps"]
        per_refresh = (best - st["rhs_evals"] * ns_eval * 1e-9) / max(st["jacobian_evals"], 1)
        rows.append({"n_chain": n, "n_states": 2 * n, "instructions": rhs_instructions(doc),
                     "ns_per_eval": ns_eval, "ns_per_instruction": ns_eval / rhs_instructions(doc),
                     "midpoint_us_per_step": per_step * 1e6, "jacobian_refresh_us": per_refresh * 1e6,
                     "jacobian_evals_per_step": st["jacobian_evals"] / st["steps"],
                     "newton_per_step": st["newton_iterations"] / st["steps"]})
    ins = [r["instructions"] for r in rows]
    ns = [r["n_states"] for r in rows]
    fit = {"eval_vs_instructions": fit_exponent(ins, [r["ns_per_eval"] for r in rows]),
           "eval_vs_instructions_large": fit_exponent(ins[3:], [r["ns_per_eval"] for r in rows[3:]]),
           "refresh_vs_n": fit_exponent(ns, [r["jacobian_refresh_us"] for r in rows]),
           "refresh_vs_n_large": fit_exponent(ns[-3:], [r["jacobian_refresh_us"] for r in rows[-3:]])}
    return rows, fit


def native_section(path):
    if not path.exists():
        return None, f"native benchmark binary not found at {path}; build it with:\n    " + \
            NATIVE_BUILD_HINT.format(root=ROOT)
    try:
        out = subprocess.run([str(path)], capture_output=True, text=True, timeout=600, check=True).stdout
    except Exception as exc:  # noqa: BLE001
        return None, f"native benchmark failed: {exc}"
    rows = []
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("{"):
            try:
                rows.append(json.loads(line))
            except json.JSONDecodeError:
                pass
    return rows, None


def check_translations(p, model, peers_ok):
    """Largest relative difference between the engine's rhs and each peer's at a few states."""
    rng = np.random.default_rng(3)
    worst = {}
    t_mid = float(p.t[len(p.t) // 3])
    csd = numba = None
    if peers_ok.get("casadi_peer"):
        import casadi as ca
        from peers.casadi_peer import symbols
        x, t, ode = symbols(p)
        csd = ca.Function("f", [x, t], [ode])
    if peers_ok.get("numba_peer"):
        from peers.numba_peer import compiled
        numba = compiled(p)[1]
    for _ in range(3):
        xs = np.ascontiguousarray(p.x0 + 0.1 * rng.standard_normal(p.x0.size) * (np.abs(p.x0) + 0.1))
        u = None if p.knots is None else np.array([models.pwl(t_mid, *p.knots)])
        z = model.rhs(xs, u, t_mid)
        sc = np.maximum(np.abs(z), 1e-300)
        cands = {"numpy": p.f(t_mid, xs)}
        if csd is not None:
            cands["casadi"] = np.array(csd(xs, t_mid)).ravel()
        if numba is not None:
            dx = np.empty_like(xs)
            numba(t_mid, xs.copy(), dx, np.zeros(1))
            cands["numba"] = dx
        for k, v in cands.items():
            worst[k] = max(worst.get(k, 0.0), float(np.max(np.abs(v - z) / sc)))
    return worst


def goals_section(results, eval_rows, native):
    """The speed goals in one place: machine code against hand-written C++ per evaluation and in
    whole runs, the compile time of the largest chain, and the numba peer per evaluation and at
    equal accuracy at tolerances of 1e-6 and looser on the non-stiff set."""
    goals = {}
    print("\n== goals (> 1 where zarel is faster)")
    if native:
        worst = max(native, key=lambda r: r["ns_per_eval_jit"] / r["ns_per_eval_native"])
        rk4 = max(native, key=lambda r: r["rk4_ms_jit"] / r["rk4_ms_native"])
        rk45 = max(native, key=lambda r: r["rk45_ms_jit"] / r["rk45_ms_native"])
        goals["rhs_jit_over_cpp_worst"] = [worst["model"], worst["ns_per_eval_jit"] / worst["ns_per_eval_native"]]
        goals["rk4_jit_over_cpp_worst"] = [rk4["model"], rk4["rk4_ms_jit"] / rk4["rk4_ms_native"]]
        goals["rk45_jit_over_cpp_worst"] = [rk45["model"], rk45["rk45_ms_jit"] / rk45["rk45_ms_native"]]
        print(f"  per rhs evaluation, machine code / C++, worst: {goals['rhs_jit_over_cpp_worst'][1]:.2f} "
              f"({worst['model']}; goal <= 1.5)")
        print(f"  rk4 run, machine code / C++, worst: {goals['rk4_jit_over_cpp_worst'][1]:.2f} ({rk4['model']}; "
              f"goal <= 1.2)")
        print(f"  rk45 run, machine code / C++, worst: {goals['rk45_jit_over_cpp_worst'][1]:.2f} ({rk45['model']}; "
              f"goal <= 1.2)")
        for r in native:
            if r["model"].endswith("n=200"):
                goals[f"load_ms {r['model']}"] = [r["load_ms_interpreter"], r["load_ms_jit"]]
                print(f"  load of {r['model']}: {r['load_ms_interpreter']:.3f} ms interpreter, {r['load_ms_jit']:.3f} ms "
                      f"with machine code (compile {r['load_ms_jit'] - r['load_ms_interpreter']:.3f} ms; goal < 10)")
    print(f"  {'problem':22s} {'numba/jit per rhs':>18s} {'nb.dop853 / rk45':>17s} {'nb.lsoda / rk45':>16s} "
          f"{'nb.dop853 / dense':>18s}  (at equal accuracy, zarel rk45 at rtol >= 1e-6)")
    per_rhs = {r["problem"]: r for r in eval_rows}
    for name, pr in results["problems"].items():
        r = per_rhs.get(name, {})
        per_eval = r["numba_ns"] / r["zarel_loop_jit_ns"] if r.get("numba_ns") and r.get("zarel_loop_jit_ns") else None
        cells = [(per_eval, "interp")]
        for zarel, peer in (("zarel rk45", "numbalsoda dop853"), ("zarel rk45", "numbalsoda lsoda"),
                            ("zarel rk45 dense", "numbalsoda dop853")):
            zpts = [pt for pt in pr["curves"].get(zarel, []) if pt["param"] >= 1e-6]
            ratio, how = None, None
            if zpts and not pr["stiff"] and peer in pr["curves"]:
                ratio, how, _ = compare(zpts, pr["curves"][peer])
            cells.append((ratio, how))
        goals[name] = cells
        print(f"  {name:22s} " + " ".join(f"{fmt_ratio(*c):>{w}s}" for c, w in zip(cells, (18, 17, 16, 18))))
    if results.get("dense"):
        goals["dense_vs_scipy_rk45"] = dense_goal(results["dense"])
    goals["dense_vs_numbalsoda_dop853_worst"] = dense_peer_goal(results.get("dense_peer"))
    return goals


DENSE_PROBLEMS = ("pendulum", "van der pol mu=1", "arenstorf", "mass chain n=2", "mass chain n=20",
                  "cubic chain n=20")


def dense_cases(problems, out_dir):
    """(problem, the problem on the grid, model, x0, reference, error scale) of each dense problem
    on grids of 201 and 10,001 points."""
    from dataclasses import replace
    for p in problems:
        if p.name not in DENSE_PROBLEMS:
            continue
        model = zarel_engine.Model(json.dumps(p.doc))
        x0 = np.ascontiguousarray(p.x0, dtype=float)
        for points in (201, 10_001):
            q = replace(p, t=np.linspace(p.t[0], p.t[-1], points))
            ref, peak, _, _, _ = reference(q, out_dir)
            yield p, q, model, x0, ref, np.maximum(peak, 1e-12 * np.max(peak))


def dense_section(problems, out_dir):
    """rk45 with dense output against SciPy's RK45 with t_eval: right-hand-side evaluations and
    errors on the same grids at the same tolerances (the issue's goal: at most 1.1x SciPy's
    evaluations, errors within 2x of its)."""
    from scipy.integrate import solve_ivp
    from zarel import _engine
    rows = []
    for p, q, model, x0, ref, scale in dense_cases(problems, out_dir):
        for rtol in (1e-6, 1e-8):
            atol = rtol * p.atol_factor
            z = _engine.simulate(model, x0, q.t, method="rk45", rtol=rtol, atol=atol, dense=True,
                                 record_outputs=False, record_energy=False)
            stepped = model.simulate(x0, q.t, method="rk45", rtol=rtol, atol=atol, record_outputs=False,
                                     record_energy=False)
            sol = solve_ivp(p.f, (q.t[0], q.t[-1]), x0, method="RK45", t_eval=q.t, rtol=rtol, atol=atol)
            dense_error = error_of(z["x"], ref, scale)
            rows.append({"problem": p.name, "points": len(q.t), "rtol": rtol,
                         "dense_evals": z["stats"]["rhs_evals"], "dense_error": dense_error,
                         "grid_evals": stepped["stats"]["rhs_evals"],
                         "grid_error": error_of(stepped["x"], ref, scale),
                         "scipy_evals": int(sol.nfev), "scipy_error": error_of(sol.y.T, ref, scale),
                         "scipy_evals_at_dense_error": scipy_evals_at(p, q.t, x0, ref, scale, dense_error)})
    print("\n== rk45 with dense output against SciPy RK45 with t_eval (rhs evaluations, error relative to peak)")
    print(f"  {'problem':18s} {'points':>6s} {'rtol':>6s} {'dense evals':>11s} {'scipy evals':>11s} {'ratio':>6s} "
          f"{'dense err':>9s} {'scipy err':>9s} {'ratio':>6s} {'eq.acc.':>7s} {'grid evals':>10s} {'grid err':>9s}")
    for r in rows:
        equal = r["scipy_evals_at_dense_error"]
        print(f"  {r['problem']:18s} {r['points']:6d} {r['rtol']:6.0e} {r['dense_evals']:11d} {r['scipy_evals']:11d} "
              f"{r['dense_evals'] / r['scipy_evals']:6.2f} {r['dense_error']:9.1e} {r['scipy_error']:9.1e} "
              f"{r['dense_error'] / r['scipy_error']:6.2f} {r['dense_evals'] / equal if equal else math.nan:7.2f} "
              f"{r['grid_evals']:10d} {r['grid_error']:9.1e}")
    print("  dense: zarel._engine.simulate(dense=True); grid: Model.simulate, which ends a step on every point;")
    print("  eq.acc.: dense evaluations / SciPy's at dense's error (log-log between SciPy's rtol 1e-4 .. 1e-11)")
    return rows


DOP853_TOLS = 10.0 ** -np.arange(3.0, 12.5, 0.5)


def best_time(run, least=3, budget=0.25):
    """Fastest of repeated runs after a warm-up (the least disturbed on a shared machine), with the
    last result."""
    out = run()
    best, spent, k = math.inf, 0.0, 0
    while k < least or spent < budget:
        start = time.perf_counter()
        out = run()
        elapsed = time.perf_counter() - start
        best, spent, k = min(best, elapsed), spent + elapsed, k + 1
    return best, out


# The explicit pairs of the package measured against numbalsoda's DOP853, and the tolerances of the
# goal (faster at equal accuracy from rtol 1e-4 to 1e-10); "nonstiff" is the pair the package
# takes by tolerance.
PAIRS = ("rk45", "dop853")
PAIR_TOLS = (1e-4, 1e-5, 1e-6, 1e-7, 1e-8, 1e-9, 1e-10)


def dense_peer_section(problems, out_dir, cfg):
    """The package's explicit pairs with dense output (rk45, dop853) against numbalsoda's DOP853
    (numba right-hand side, values at the grid from its own continuous extension) in wall time at
    equal accuracy, timed side by side: DOP853's work-precision curve over DOP853_TOLS on each grid,
    interpolated in log-log at the error each pair reaches at each of PAIR_TOLS. None without
    numbalsoda."""
    from zarel import _engine
    try:
        from peers import numba_peer
    except Exception:  # noqa: BLE001
        return None
    if not numba_peer.available()[0]:
        return None
    rows = []
    for p, q, model, x0, ref, scale in dense_cases(problems, out_dir):
        with quiet():
            dop853 = next(m for m in numba_peer.methods(q, cfg) if m.label == "numbalsoda dop853")
        curve = []
        for rtol in DOP853_TOLS:
            with quiet():
                elapsed, (x, nfev) = best_time(dop853.prepare(rtol))
            err = error_of(x, ref, scale)
            curve.append({"ok": math.isfinite(err), "error": err, "time": elapsed, "nfev": nfev})
        evals = sorted((c["error"], c["nfev"]) for c in curve if c["ok"] and c["error"] > 0)
        le = np.log10([e for e, _ in evals])
        for method in PAIRS:
            for rtol in PAIR_TOLS:
                def run(rtol=rtol, method=method):
                    return _engine.simulate(model, x0, q.t, method=method, rtol=rtol, atol=rtol * p.atol_factor,
                                            dense=True, record_outputs=False, record_energy=False)
                elapsed, z = best_time(run)
                err = error_of(z["x"], ref, scale)
                peer_time, how = peer_time_at(curve, err)
                peer_evals = (10 ** float(np.interp(math.log10(err), le, np.log10([n for _, n in evals])))
                              if err > 0 and le[0] <= math.log10(err) <= le[-1] else None)
                rows.append({"problem": p.name, "points": len(q.t), "method": method, "rtol": rtol,
                             "dense_error": err, "dense_time": elapsed, "dense_evals": z["stats"]["rhs_evals"],
                             "dop853_time_at_error": peer_time, "dop853_how": how,
                             "dop853_evals_at_error": peer_evals,
                             "ratio": peer_time / elapsed if peer_time else None})
        rows[-1]["dop853_curve"] = curve
    return rows


def nonstiff_pick(rtol):
    from zarel.result import pick_method
    return pick_method("nonstiff", rtol)


def dense_peer_goal(rows):
    """The table of the package's pairs against numbalsoda's DOP853, and the worst ratio of the
    pair the package takes by tolerance ("nonstiff") over PAIR_TOLS (goal > 1 on every problem)."""
    print("\n  the package's pairs with dense output against numbalsoda DOP853 at equal accuracy (> 1 where zarel "
          "is faster)")
    if rows is None:
        print("  skipped: numbalsoda is not installed (bench/run.sh installs it with gfortran)")
        return None
    print(f"  {'problem':18s} {'points':>6s} {'method':>7s} {'rtol':>6s} {'error':>9s} {'evals':>7s} "
          f"{'nb evals':>9s} {'evals ratio':>11s} {'time ratio':>10s}")
    for r in rows:
        pe = r["dop853_evals_at_error"]
        print(f"  {r['problem']:18s} {r['points']:6d} {r['method']:>7s} {r['rtol']:6.0e} {r['dense_error']:9.1e} "
              f"{r['dense_evals']:7d} {pe if pe else math.nan:9.0f} {pe / r['dense_evals'] if pe else math.nan:11.2f} "
              f"{fmt_ratio(r['ratio'], r['dop853_how']):>10s}")
    print("  time ratio: DOP853's wall time at the pair's error (log-log on its curve over rtol 1e-3 ..")
    print("  1e-12, '~' = nearest point) / the pair's, each the fastest of repeated runs, timed in this run;")
    print("  evals ratio: DOP853's evaluations there / the pair's")
    picked = [r for r in rows if r["method"] == nonstiff_pick(r["rtol"]) and r["ratio"]]
    if not picked:
        return None
    worst = min(picked, key=lambda r: r["ratio"])
    print(f"  nb.dop853 / nonstiff (the package's pick) wall time at equal accuracy, rtol 1e-4 .. 1e-10, worst: "
          f"{worst['ratio']:.2f} ({worst['problem']}, {worst['points']} points, {worst['method']} at rtol "
          f"{worst['rtol']:g}; goal > 1)")
    return [worst["problem"], worst["points"], worst["method"], worst["rtol"], worst["ratio"]]


def scipy_evals_at(p, t, x0, ref, scale, error):
    """SciPy RK45's evaluations to reach `error`, interpolated in log-log over its tolerances."""
    from scipy.integrate import solve_ivp
    pts = []
    for rtol in 10.0 ** -np.arange(4.0, 11.5, 0.5):
        sol = solve_ivp(p.f, (t[0], t[-1]), x0, method="RK45", t_eval=t, rtol=rtol, atol=rtol * p.atol_factor)
        pts.append((error_of(sol.y.T, ref, scale), sol.nfev))
    pts = sorted(pts)
    errs = np.log10([e for e, _ in pts])
    if not errs[0] <= math.log10(error) <= errs[-1]:
        return None
    return float(10 ** np.interp(math.log10(error), errs, np.log10([n for _, n in pts])))


def dense_goal(rows):
    """The worst evaluation and error ratios of dense rk45 over SciPy's RK45 (goals <= 1.1 and <= 2)."""
    evals = max(rows, key=lambda r: r["dense_evals"] / r["scipy_evals"])
    errors = max(rows, key=lambda r: r["dense_error"] / r["scipy_error"])
    goal = {"evals_worst": [evals["problem"], evals["points"], evals["rtol"], evals["dense_evals"] / evals["scipy_evals"]],
            "error_worst": [errors["problem"], errors["points"], errors["rtol"],
                            errors["dense_error"] / errors["scipy_error"]]}
    print(f"  dense rk45 / SciPy RK45 evaluations, worst: {goal['evals_worst'][3]:.2f} ({evals['problem']}, "
          f"{evals['points']} points, rtol {evals['rtol']:g}; goal <= 1.1)")
    print(f"  dense rk45 / SciPy RK45 error, worst: {goal['error_worst'][3]:.2f} ({errors['problem']}, "
          f"{errors['points']} points, rtol {errors['rtol']:g}; goal <= 2)")
    return goal


def ensemble_section(cfg, out_dir):
    """bench_ensemble.py (ensembles against heyoka at equal accuracy) in a process of its own, whose
    engine pool is one thread; its rows, or None when it did not run."""
    path = out_dir / "ensemble.json"
    runs = "1024" if cfg.quick else "4096"
    try:
        subprocess.run([sys.executable, str(HERE / "bench_ensemble.py"), "--runs", runs, "--out", str(path)],
                       timeout=1800, check=True)
    except Exception as exc:  # noqa: BLE001
        print(f"  ensemble benchmark failed: {exc}")
        return None
    return json.load(open(path)) if path.exists() else None


def fmt_ratio(r, how):
    if r is None:
        return "-"
    s = f"{r:.2g}" if r < 10 else f"{r:.0f}"
    return s if how == "interp" else "~" + s


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="reduced problem set and sweeps (about 1-2 minutes)")
    ap.add_argument("--out", default=str(HERE / "results"), help="results folder")
    ap.add_argument("--only", default=None, help="regular expression: run only matching problems")
    ap.add_argument("--native", default=os.environ.get("ZAREL_BENCH_NATIVE", str(NATIVE_DEFAULT)),
                    help="path of the native benchmark program")
    ap.add_argument("--peer-status", default=None, help="install report written by run.sh")
    ap.add_argument("--ensemble-only", action="store_true",
                    help="only the ensembles against heyoka (bench_ensemble.py); a few minutes")
    ap.add_argument("--dense-only", action="store_true",
                    help="only dense rk45 against SciPy's RK45 (evaluations, errors) and numbalsoda's DOP853 (wall time at "
                         "equal accuracy, when installed); about a minute")
    args = ap.parse_args()
    cfg = make_config(args.quick)
    out_dir = pathlib.Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    wall0 = time.perf_counter()
    if args.ensemble_only:
        ensemble_section(cfg, out_dir)
        return
    if args.dense_only:
        quick = make_config(True)
        problems = build_problems(quick)
        rows = dense_section(problems, out_dir)
        peer_rows = dense_peer_section(problems, out_dir, quick)
        print("\n== goals (> 1 where zarel is faster)")
        dense_goal(rows)
        dense_peer_goal(peer_rows)
        with open(out_dir / "dense.json", "w") as fh:
            json.dump({"dense": rows, "dense_peer": peer_rows}, fh, indent=1, default=float)
        return

    print(f"zarel_engine {zarel_engine.__version__} from {pathlib.Path(zarel_engine.__file__).parent}")
    print(f"python {platform.python_version()}, numpy {np.__version__}, {os.cpu_count()} cpus, "
          f"{'quick' if cfg.quick else 'full'} run")
    install = {}
    if args.peer_status and os.path.exists(args.peer_status):
        for line in open(args.peer_status):
            if "\t" in line:
                k, v = line.rstrip("\n").split("\t", 1)
                install[k] = v
    peers, peers_ok = {}, {}
    print("\npeers:")
    for mod_name in PEER_MODULES:
        pkg = PEER_PACKAGES[mod_name]
        try:
            mod = importlib.import_module(f"peers.{mod_name}")
            ok, text = mod.available()
        except Exception as exc:  # noqa: BLE001
            mod, ok, text = None, False, str(exc)
        if not ok and pkg in install:
            text = f"{pkg}: {install[pkg]}"
        peers[mod_name] = mod if ok else None
        peers_ok[mod_name] = ok
        print(f"  {'ok     ' if ok else 'MISSING'} {text}")

    problems = build_problems(cfg)
    if args.only:
        problems = [p for p in problems if re.search(args.only, p.name)]
    results = {"meta": {"quick": cfg.quick, "zarel_version": zarel_engine.__version__, "python": platform.python_version(),
                        "numpy": np.__version__, "cpus": os.cpu_count(), "started": time.strftime("%Y-%m-%d %H:%M:%S"),
                        "error": "max over grid points and components of |x - ref| / max|ref component|",
                        "time": "median wall time of several runs (single run when slower than 2 s)"},
               "peers": {PEER_PACKAGES[k]: ("ok" if v else "missing") for k, v in peers_ok.items()},
               "problems": {}, "eval_cost": [], "scaling": {}, "native": None, "summary": []}

    eval_rows = []
    for p in problems:
        t_prob = time.perf_counter()
        model = zarel_engine.Model(json.dumps(p.doc))
        ref, peak, ref_method, ref_rtol, ref_time = reference(p, out_dir)
        scale = np.maximum(peak, 1e-12 * np.max(peak))
        mismatch = check_translations(p, model, peers_ok)
        methods = zarel_methods(p, model, cfg)
        for mod_name, mod in peers.items():
            if mod is None:
                continue
            try:
                with quiet():
                    methods.extend(mod.methods(p, cfg))
            except Exception as exc:  # noqa: BLE001
                print(f"  {mod_name} setup failed on {p.name}: {exc}")
        curves = {}
        print(f"\n== {p.name} ({'stiff' if p.stiff else 'non-stiff'}, {p.doc['n_states']} states, "
              f"{rhs_instructions(p.doc)} rhs instructions; reference {ref_method} rtol {ref_rtol:g}"
              f"{'' if ref_time == 0 else f' in {ref_time:.1f} s'}; rhs agreement "
              + ", ".join(f"{k} {v:.0e}" for k, v in mismatch.items()) + ")")
        print(f"  {'method':24s} {'pts':>4s} {'best error':>10s} {'time there':>11s} {'loosest':>10s} "
              f"{'time there':>11s}  notes")
        for m in methods:
            pts = sweep(m, ref, scale, cfg)
            curves[m.label] = pts
            good = [q for q in pts if q.get("ok")]
            fails = [q for q in pts if not q.get("ok")]
            note = m.note
            if fails:
                note += f"; {len(fails)} failed ({fails[-1].get('message', '')[:70]})"
            if any("note" in q for q in pts):
                note += "; stopped at the time budget"
            if good:
                b = min(good, key=lambda q: q["error"])
                lo = max(good, key=lambda q: q["error"])
                print(f"  {m.label:24s} {len(good):4d} {b['error']:10.2e} {b['time'] * 1e3:9.2f}ms "
                      f"{lo['error']:10.2e} {lo['time'] * 1e3:9.2f}ms  {note}")
            else:
                print(f"  {m.label:24s} {0:4d} {'-':>10s} {'-':>11s} {'-':>10s} {'-':>11s}  {note}")
        png = out_dir / f"wp_{re.sub(r'[^a-z0-9]+', '_', p.name)}.png"
        plotted = plot_problem(p.name, curves, png)
        results["problems"][p.name] = {
            "stiff": p.stiff, "n_states": p.doc["n_states"], "instructions": rhs_instructions(p.doc),
            "grid_points": len(p.t), "t_end": float(p.t[-1]), "reference": f"solve_ivp {ref_method} rtol {ref_rtol:g}",
            "rhs_agreement": mismatch, "plot": str(png) if plotted else None,
            "curves": {k: v for k, v in curves.items()},
            "notes": {m.label: m.note for m in methods}}
        # cost of one rhs evaluation in every form
        row = {"problem": p.name, "n_states": p.doc["n_states"], "instructions": rhs_instructions(p.doc)}
        reps = 20_000 if cfg.quick else 50_000
        row["zarel_in_simulate_ns"] = zarel_ns_per_eval(model, p, evals=100_000 if cfg.quick else 400_000)
        row["zarel_in_simulate_interp_ns"] = zarel_ns_per_eval(load_model(p.doc, jit=False), p,
                                                               evals=100_000 if cfg.quick else 400_000)
        loop = native_eval_ns(pathlib.Path(args.native), p)
        if loop:
            row["zarel_loop_jit_ns"] = loop["ns_per_eval_jit"]
            row["zarel_loop_interp_ns"] = loop["ns_per_eval_interpreter"]
        xs = np.ascontiguousarray(p.x0, dtype=float)
        u = None if p.knots is None else np.array([models.pwl(1.0, *p.knots)])
        row["zarel_model_rhs_ns"] = per_call_ns(lambda: model.rhs(xs, u, 1.0), reps)
        row["numpy_f_ns"] = per_call_ns(lambda: p.f(1.0, xs), reps // 4)
        if peers.get("casadi_peer"):
            row["casadi_call_ns"], row["casadi_map_ns"] = peers["casadi_peer"].eval_cost(p, reps // 4)
        if peers.get("numba_peer"):
            row["numba_ns"] = peers["numba_peer"].eval_cost(p, 200_000 if cfg.quick else 1_000_000)
        eval_rows.append(row)
        print(f"  ({time.perf_counter() - t_prob:.1f} s)")
    results["eval_cost"] = eval_rows

    # --- rhs evaluation cost ---------------------------------------------------------------
    print("\n== cost of one right-hand-side evaluation (ns)")
    print(f"  {'problem':22s} {'n':>4s} {'instr':>6s} {'loop jit':>9s} {'loop int':>9s} {'sim jit':>8s} "
          f"{'sim int':>8s} {'model.rhs':>10s} {'numpy f':>8s} {'casadi()':>9s} {'ca. map':>8s} {'numba':>7s} "
          f"{'numba/jit':>9s}")
    for r in eval_rows:
        def g(k):
            v = r.get(k)
            return f"{v:.0f}" if v is not None else "-"
        vs = (f"{r['numba_ns'] / r['zarel_loop_jit_ns']:.2f}" if r.get("numba_ns") and r.get("zarel_loop_jit_ns")
              else "-")
        print(f"  {r['problem']:22s} {r['n_states']:4d} {r['instructions']:6d} {g('zarel_loop_jit_ns'):>9s} "
              f"{g('zarel_loop_interp_ns'):>9s} {g('zarel_in_simulate_ns'):>8s} {g('zarel_in_simulate_interp_ns'):>8s} "
              f"{g('zarel_model_rhs_ns'):>10s} {g('numpy_f_ns'):>8s} {g('casadi_call_ns'):>9s} {g('casadi_map_ns'):>8s} "
              f"{g('numba_ns'):>7s} {vs:>9s}")
    print("  loop: zarel's rhs called from a C++ loop (the native program's --eval), machine code (jit) and")
    print("  interpreter (int; ZAREL_JIT=0); sim: per evaluation inside simulate (rk4, with its O(n) vector")
    print("  work); model.rhs, numpy f, casadi(): one call from Python; ca. map: per column of f.map(4096);")
    print("  numba: compiled loop; numba/jit > 1: zarel's machine code faster")

    # --- native limit ----------------------------------------------------------------------
    native, why = native_section(pathlib.Path(args.native))
    print("\n== native limit (bench/native: interpreter vs the same rhs compiled as C++)")
    if native is None:
        print("  skipped: " + why)
        results["native"] = {"skipped": why}
    else:
        results["native"] = native
        print(f"  {'model':22s} {'n':>4s} {'instr':>6s} {'interp ns':>10s} {'jit ns':>8s} {'C++ ns':>8s} "
              f"{'int/C++':>8s} {'jit/C++':>8s} {'rk4 jit/C++':>12s} {'rk45 jit/C++':>13s} {'load ms int':>12s} "
              f"{'load ms jit':>12s}")
        for r in native:
            interp, jit, nat = r["ns_per_eval_interpreter"], r["ns_per_eval_jit"], r["ns_per_eval_native"]
            print(f"  {r['model']:22s} {r['n_states']:4d} {r['instructions']:6d} {interp:10.1f} {jit:8.1f} "
                  f"{nat:8.1f} {interp / nat:8.2f} {jit / nat:8.2f} {r['rk4_ms_jit'] / r['rk4_ms_native']:12.2f} "
                  f"{r['rk45_ms_jit'] / r['rk45_ms_native']:13.2f} {r['load_ms_interpreter']:12.3f} "
                  f"{r['load_ms_jit']:12.3f}")
        print("  jit: the model's machine code (default path); int: the interpreter (ZAREL_JIT=0); C++: the same")
        print("  rhs hand-written (g++ -O2, no fast-math); rk4/rk45: whole runs over 2001 points, rtol 1e-8;")
        print("  load: Model::from_value, best of 5 (jit - int = compile time)")

    # --- scaling -----------------------------------------------------------------------------
    print("\n== cost scaling on the mass chain")
    srows, fit = scaling_section(cfg)
    results["scaling"] = {"rows": srows, "fitted_exponents": fit}
    print(f"  {'N':>4s} {'states':>6s} {'instr':>6s} {'ns/eval':>9s} {'ns/instr':>9s} {'midpoint us/step':>17s} "
          f"{'jac refresh us':>15s} {'jac/step':>9s}")
    for r in srows:
        print(f"  {r['n_chain']:4d} {r['n_states']:6d} {r['instructions']:6d} {r['ns_per_eval']:9.0f} "
              f"{r['ns_per_instruction']:9.2f} {r['midpoint_us_per_step']:17.2f} {r['jacobian_refresh_us']:15.2f} "
              f"{r['jacobian_evals_per_step']:9.2f}")
    print(f"  fitted exponent, time per rhs evaluation ~ instructions^a: a = {fit['eval_vs_instructions']:.2f} "
          f"(N >= 20: {fit['eval_vs_instructions_large']:.2f}; linear is 1)")
    print(f"  fitted exponent, time per Jacobian refresh (n^2 entries + LU) ~ n^b: b = {fit['refresh_vs_n']:.2f} "
          f"(three largest: {fit['refresh_vs_n_large']:.2f}; bound 3)")

    # --- summary ---------------------------------------------------------------------------
    peer_labels = []
    for pr in results["problems"].values():
        for k in pr["curves"]:
            if not k.startswith("zarel") and k not in peer_labels:
                peer_labels.append(k)
    short = {k: k.replace("scipy ", "").replace("casadi ", "ca.").replace("numbalsoda ", "nb.")
             .replace("sundae ", "su.") for k in peer_labels}
    print("\n== summary: peer time / zarel time at equal accuracy (> 1: zarel faster)")
    print("  geometric mean over zarel's sweep points, each compared with the peer's work-precision envelope")
    print("  interpolated in log-log at zarel's achieved error; '~' = no overlap in accuracy, zarel's most")
    print("  accurate point against the peer's nearest-accuracy point; '-' = not run or failed")
    print("  columns: SciPy solve_ivp (RK45 DOP853 Radau LSODA, Python rhs); ca. = CasADi (cvodes: Adams")
    print("  non-stiff, BDF stiff; idas; rk4 fixed step); nb. = numbalsoda (numba rhs); su.cvode = scikit-sundae")
    print("  CVODE (Adams non-stiff, BDF stiff; Python rhs)")
    w = max(8, max((len(s) for s in short.values()), default=8) + 1)
    print(f"  {'problem':22s} {'zarel':9s}" + "".join(f"{short[k]:>{w}s}" for k in peer_labels))
    for name, pr in results["problems"].items():
        for zl in ("zarel rk45", "zarel rk4", "zarel midpoint"):
            if zl not in pr["curves"] or not any(q.get("ok") for q in pr["curves"][zl]):
                continue
            cells = []
            for k in peer_labels:
                if k in pr["curves"]:
                    r, how, cnt = compare(pr["curves"][zl], pr["curves"][k])
                else:
                    r, how, cnt = None, None, 0
                cells.append(fmt_ratio(r, how))
                results["summary"].append({"problem": name, "zarel": zl, "peer": k, "ratio": r, "mode": how,
                                           "points": cnt})
            print(f"  {name:22s} {zl[6:]:9s}" + "".join(f"{c:>{w}s}" for c in cells))

    results["dense"] = dense_section(problems, out_dir)
    results["dense_peer"] = dense_peer_section(problems, out_dir, cfg)
    print("\n== ensembles on one core against heyoka at equal accuracy (bench_ensemble.py)")
    results["ensemble"] = ensemble_section(cfg, out_dir)
    results["goals"] = goals_section(results, eval_rows, native)
    results["meta"]["wall_seconds"] = time.perf_counter() - wall0
    with tempfile.NamedTemporaryFile("w", dir=out_dir, delete=False, suffix=".tmp") as fh:
        json.dump(results, fh, indent=1, default=float)
        tmp = fh.name
    os.replace(tmp, out_dir / "results.json")
    print(f"\nresults: {out_dir / 'results.json'}; plots: {out_dir}/wp_*.png; "
          f"total {time.perf_counter() - wall0:.0f} s")


if __name__ == "__main__":
    main()
