"""The main job: simulates every example model shipped in examples/, reports statistics, the final
state and the energy balance, writes plots when matplotlib is present, and runs a damping sweep of
the mass-spring model as one parallel batch against the same runs one by one."""
import json
import pathlib
import time

import numpy as np

import zarel_engine

HERE = pathlib.Path(__file__).parent
# Initial state and horizon per example; models not listed start at ones over ten seconds.
SETUPS = {
    "mass_spring_damper.json": (np.array([1.0, 0.0]), 10.0),
    "rlc_series.json": (np.array([1e-3, 0.0]), 0.05),
    "pendulum.json": (np.array([2.5, 0.0]), 10.0),
}


def trapezoid(y, t):
    return float(np.sum((y[1:] + y[:-1]) * np.diff(t)) / 2.0)


def input_series(model, t):
    """A smooth input on every port, so the energy balance has supply to account for."""
    if model.n_inputs == 0:
        return None
    return np.column_stack([0.5 * np.sin(2 * np.pi * t / t[-1] * (k + 1)) for k in range(model.n_inputs)])


def report(name, model, x0, t_end):
    t = np.linspace(0.0, t_end, 1001)
    u = input_series(model, t)
    print(f"== {name}: {model!r}")
    print(f"   rhs at x0 = {model.rhs(x0)}, energy = {model.energy(x0):.6g}, "
          f"supplied power = {model.supplied_power(x0):.6g}")
    runs = {}
    for method in ("midpoint", "rk45"):
        start = time.perf_counter()
        res = model.simulate(x0, t, u, method=method, interp="linear")
        elapsed = time.perf_counter() - start
        runs[method] = res
        stats = res["stats"]
        dH = res["energy"][-1] - res["energy"][0]
        supplied = trapezoid(res["supplied_power"], res["t"])
        print(f"   {method:8s} {elapsed * 1e3:7.2f} ms  steps={stats['steps']} rhs_evals={stats['rhs_evals']} "
              f"newton={stats['newton_iterations']} jac={stats['jacobian_evals']} rejected={stats['rejected_steps']}")
        print(f"            final x = {res['x'][-1]}")
        print(f"            H(T) - H(0) = {dH:.6g}, supplied energy = {supplied:.6g}, "
              f"dissipated = {supplied - dH:.6g}")
    return runs


def plot(name, model, runs):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    res = runs["midpoint"]
    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(7, 6), sharex=True)
    for j in range(model.n_states):
        ax1.plot(res["t"], res["x"][:, j], label=f"x{j}")
    ax1.set_ylabel("state")
    ax1.legend()
    ax2.plot(res["t"], res["energy"], label="H")
    ax2.set_ylabel("energy")
    ax2.set_xlabel("t")
    fig.suptitle(name)
    out = HERE / f"{pathlib.Path(name).stem}.png"
    fig.savefig(out)
    plt.close(fig)
    print(f"   plot written to {out}")


def damping_sweep():
    path = HERE / "mass_spring_damper.json"
    model = zarel_engine.Model(path.read_text())
    t = np.linspace(0.0, 20.0, 2001)
    n_runs = 256
    params = np.tile(model.params, (n_runs, 1))
    params[:, -1] = np.linspace(0.0, 2.0, n_runs)  # the damping coefficient is the last parameter
    x0s = np.tile([1.0, 0.0], (n_runs, 1))
    model.simulate_batch(x0s[:2], t)  # the worker pool starts on first use; time it warm
    start = time.perf_counter()
    batch = model.simulate_batch(x0s, t, params=params)
    t_batch = time.perf_counter() - start
    start = time.perf_counter()
    finals = []
    for p in params:
        model.params = p
        finals.append(model.simulate(x0s[0], t, record_outputs=False)["x"][-1])
    t_loop = time.perf_counter() - start
    same = np.array_equal(np.array(finals), batch["x"][:, -1])
    print(f"== damping sweep of {path.name}: {n_runs} runs of {len(t)} points")
    print(f"   batch {t_batch * 1e3:.1f} ms, one by one {t_loop * 1e3:.1f} ms, speed-up {t_loop / t_batch:.2f}x, "
          f"identical results: {same}")
    print(f"   final energy from {batch['energy'][0, -1]:.4g} (c=0) to {batch['energy'][-1, -1]:.4g} (c=2)")


def main():
    for path in sorted(HERE.glob("*.json")):
        model = zarel_engine.Model(path.read_text())
        x0, t_end = SETUPS.get(path.name, (np.ones(model.n_states), 10.0))
        runs = report(path.name, model, x0, t_end)
        plot(path.name, model, runs)
    damping_sweep()


if __name__ == "__main__":
    main()
