"""simulate against SciPy's solve_ivp (RK45 and Radau, right-hand side in Python) on the same
problems and tolerances: wall time, right-hand-side evaluations and the error achieved against a
tight reference solution."""
import json
import time

import numpy as np
from scipy.integrate import solve_ivp

import zarel_engine
from models import mass_chain, pendulum, van_der_pol

PROBLEMS = {
    "pendulum": (pendulum(), np.array([2.0, 0.0]), 20.0),
    "van der pol mu=1": (van_der_pol(1.0), np.array([2.0, 0.0]), 20.0),
    "mass chain n=16": (mass_chain(16)[:2], np.linspace(0.1, 0.0, 32), 20.0),
    "van der pol mu=1000 (stiff)": (van_der_pol(1000.0), np.array([2.0, 0.0]), 2000.0),
}


def median_time(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return float(np.median(times)), out


def main():
    rtol, atol = 1e-6, 1e-9
    print(f"rtol={rtol} atol={atol}; error = max abs deviation at the grid points from a reference "
          f"(solve_ivp DOP853 / Radau at rtol 1e-12)")
    print(f"{'problem':30s} {'solver':28s} {'time ms':>9s} {'rhs evals':>10s} {'error':>9s} {'speed-up':>9s}")
    for name, ((doc, f), x0, t_end) in PROBLEMS.items():
        stiff = "stiff" in name
        model = zarel_engine.Model(json.dumps(doc))
        t = np.linspace(0.0, t_end, 201)
        ref_method = "Radau" if stiff else "DOP853"
        ref = solve_ivp(f, (0, t_end), x0, method=ref_method, t_eval=t, rtol=1e-12, atol=1e-14).y.T
        rows = []
        methods = ["midpoint-fine"] if stiff else ["rk45", "midpoint-fine"]
        for method in methods:
            grid = t if method == "rk45" else np.linspace(0.0, t_end, 20001 if not stiff else 200001)
            zm = "rk45" if method == "rk45" else "midpoint"
            dt, res = median_time(lambda: model.simulate(x0, grid, method=zm, rtol=rtol, atol=atol,
                                                         record_energy=False, record_outputs=False))
            xs = res["x"][:: (len(grid) - 1) // 200]
            rows.append((f"zarel {zm} ({len(grid)} pts)", dt, res["stats"]["rhs_evals"], np.max(np.abs(xs - ref))))
        scipy_methods = ["Radau"] if stiff else ["RK45", "Radau"]
        base = {}
        for sm in scipy_methods:
            dt, sol = median_time(lambda: solve_ivp(f, (0, t_end), x0, method=sm, t_eval=t, rtol=rtol, atol=atol),
                                  repeat=1 if stiff else 3)
            base[sm] = dt
            rows.append((f"solve_ivp {sm}", dt, sol.nfev, np.max(np.abs(sol.y.T - ref))))
        for label, dt, nfev, err in rows:
            # each of ours against its counterpart: rk45 against RK45, midpoint against Radau
            peer = "RK45" if "rk45" in label else "Radau"
            ratio = f"{base[peer] / dt:9.1f}" if label.startswith("zarel") else ""
            print(f"{name:30s} {label:28s} {dt * 1e3:9.3f} {nfev:10d} {err:9.2e} {ratio}")


if __name__ == "__main__":
    main()
