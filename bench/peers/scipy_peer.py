"""SciPy's solve_ivp with the NumPy right-hand side written in Python."""
import numpy as np


def available():
    try:
        import scipy
        return True, f"scipy {scipy.__version__}"
    except Exception as exc:  # noqa: BLE001
        return False, f"scipy: {exc}"


def methods(p, cfg):
    from scipy.integrate import solve_ivp
    from .common import Method
    out = []
    names = ["Radau", "LSODA"]
    if p.explicit == "all":
        names = ["RK45", "DOP853"] + names
    jac = p.jac_fn()

    def make(name):
        def prepare(rtol):
            kw = {"jac": jac} if (jac is not None and name in ("Radau", "LSODA", "BDF")) else {}

            def run():
                sol = solve_ivp(p.f, (p.t[0], p.t[-1]), p.x0, method=name, t_eval=p.t, rtol=rtol,
                                atol=rtol * p.atol_factor, **kw)
                if not sol.success:
                    raise RuntimeError(sol.message)
                return sol.y.T, int(sol.nfev)
            return run
        return prepare

    for name in names:
        out.append(Method(f"scipy {name}", "scipy", "tol", cfg.peer_tols, make(name),
                          note="Python rhs" + (", analytic jac" if jac is not None and name in ("Radau", "LSODA") else "")))
    return out
