"""CasADi: the right-hand side as SX expressions built from the document's trees, integrated by
CVODES, IDAS and the fixed-step RK4 plugin, and evaluated alone through its SX virtual machine."""
import time

import numpy as np

from .codegen import to_casadi
from .common import refine


def available():
    try:
        import casadi
        return True, f"casadi {casadi.__version__}"
    except Exception as exc:  # noqa: BLE001
        return False, f"casadi: {exc}"


def symbols(p):
    import casadi as ca
    x = ca.SX.sym("x", p.doc["n_states"])
    t = ca.SX.sym("t")
    inputs = []
    if p.knots is not None:
        inputs = [ca.pw_lin(t, ca.DM(list(p.knots[0])), ca.DM(list(p.knots[1])))]
    return x, t, to_casadi(p.doc, x, t, inputs)


def methods(p, cfg):
    import casadi as ca
    from .common import Method
    x, t, ode = symbols(p)
    dae = {"x": x, "t": t, "ode": ode}
    f = ca.Function("f", [x, t], [ode])
    t0, tout = float(p.t[0]), [float(v) for v in p.t[1:]]
    x0 = np.asarray(p.x0, float)
    xdot0 = [float(v) for v in np.array(f(x0, t0)).ravel()]

    def stack(r):
        return np.vstack([x0, np.array(r["xf"]).T])

    def sundials(plugin):
        def prepare(rtol):
            opts = {"abstol": rtol * p.atol_factor, "reltol": rtol, "max_num_steps": 10**7}
            if plugin == "cvodes":
                opts.update({"linear_multistep_method": "bdf", "nonlinear_solver_iteration": "newton"} if p.stiff else
                            {"linear_multistep_method": "adams", "nonlinear_solver_iteration": "functional"})
            else:
                opts.update({"calc_ic": False, "init_xdot": xdot0})
            F = ca.integrator("F", plugin, dae, t0, tout, opts)

            def run():
                r = F(x0=x0)
                return stack(r), int(F.stats()["nfevals"])
            return run
        return prepare

    def rk_prepare(r):
        # one RK4 step per output time of the refined grid; the problem's grid is every r-th
        fine = refine(p.t, int(r))
        F = ca.integrator("F", "rk", dae, t0, [float(v) for v in fine[1:]], {"number_of_finite_elements": 1})

        def run():
            return stack(F(x0=x0))[:: int(r)], 4 * (len(fine) - 1)
        return run

    lmm = "BDF" if p.stiff else "Adams"
    out = [Method("casadi cvodes", "casadi", "tol", cfg.peer_tols, sundials("cvodes"),
                  note=f"{lmm}, SX rhs, CasADi VM"),
           Method("casadi idas", "casadi", "tol", cfg.peer_tols, sundials("idas"), note="SX rhs, CasADi VM")]
    if p.explicit == "all" and not p.stiff:
        out.append(Method("casadi rk4", "casadi", "grid", cfg.grid_explicit, rk_prepare,
                          note="fixed-step RK4, param = steps per output interval"))
    return out


def eval_cost(p, reps, columns=4096):
    """(ns per call of f(x, t) from Python, ns per column of f.map(columns))."""
    import casadi as ca
    x, t, ode = symbols(p)
    f = ca.Function("f", [x, t], [ode])
    x0 = np.asarray(p.x0, float)
    f(x0, 0.0)
    best = np.inf
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(reps):
            f(x0, 0.0)
        best = min(best, (time.perf_counter() - start) / reps)
    fm = f.map(columns)
    rng = np.random.default_rng(0)
    X = x0[:, None] + 1e-3 * rng.standard_normal((x0.size, columns))
    T = np.zeros((1, columns))
    fm(X, T)
    best_map = np.inf
    for _ in range(3):
        k = max(1, reps // 200)
        start = time.perf_counter()
        for _ in range(k):
            fm(X, T)
        best_map = min(best_map, (time.perf_counter() - start) / k / columns)
    return best * 1e9, best_map * 1e9
