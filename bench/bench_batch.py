"""simulate_batch: 256 runs of a 32-state mass chain over 2001 output points, as a batch on one
worker and on all workers, as a Python loop of simulate, and as a loop of SciPy's solve_ivp; and
the batch's own cost per run, measured on runs that do almost no integration."""
import json
import os
import subprocess
import sys
import time

import numpy as np

RUNS, POINTS, METHOD = 256, 2001, "rk45"


def setup():
    sys.path.insert(0, os.path.dirname(__file__))
    from models import mass_chain
    import zarel_engine
    doc, f, _ = mass_chain(16)
    model = zarel_engine.Model(json.dumps(doc))
    t = np.linspace(0.0, 20.0, POINTS)
    rng = np.random.default_rng(1)
    x0s = rng.uniform(-0.1, 0.1, (RUNS, model.n_states))
    return zarel_engine, model, f, t, x0s


def best(fn, repeat=5):
    fn()  # warm: the pool starts on first use
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def batch_time():
    """Best wall time of the batch in this process (its worker count comes from the environment)."""
    _, model, _, t, x0s = setup()
    return best(lambda: model.simulate_batch(x0s, t, method=METHOD))


def overhead_per_run():
    """Per-run cost of a batch whose runs take one Euler step of a one-state model."""
    zarel_engine, _, _, _, _ = setup()
    tiny = zarel_engine.Model(json.dumps({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
                                          "rhs": [["ref", 0]]}))
    n = 100_000
    x0s = np.ones((n, 1))
    t = np.array([0.0, 1.0])
    return best(lambda: tiny.simulate_batch(x0s, t, method="euler")) / n


def in_subprocess(function, workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    code = f"import bench_batch; print(bench_batch.{function}())"
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd=os.path.dirname(os.path.abspath(__file__)),
                         check=True, capture_output=True, text=True).stdout
    return float(out)


def main():
    from scipy.integrate import solve_ivp
    _, model, f, t, x0s = setup()
    cores = len(os.sched_getaffinity(0))
    one = in_subprocess("batch_time", 1)
    every = in_subprocess("batch_time", cores)
    loop = best(lambda: [model.simulate(x0, t, method=METHOD, record_outputs=False) for x0 in x0s], repeat=3)
    start = time.perf_counter()
    for x0 in x0s[:32]:
        solve_ivp(f, (t[0], t[-1]), x0, method="RK45", t_eval=t, rtol=1e-8, atol=1e-10)
    scipy_loop = (time.perf_counter() - start) * RUNS / 32
    over1 = in_subprocess("overhead_per_run", 1)
    over_all = in_subprocess("overhead_per_run", cores)
    print(f"{RUNS} runs, {model.n_states} states, {POINTS} output points, method {METHOD}, {cores} cores")
    print(f"  batch, 1 worker          {one * 1e3:9.1f} ms")
    print(f"  batch, {cores} workers         {every * 1e3:9.1f} ms   parallel efficiency {one / every / cores:.2f}")
    print(f"  loop of simulate         {loop * 1e3:9.1f} ms")
    print(f"  loop of solve_ivp RK45   {scipy_loop * 1e3:9.1f} ms   (32 runs timed, scaled to {RUNS})"
          f"   batch speed-up {scipy_loop / every:.0f}x")
    print(f"  batch cost per run beyond integration: {over1 * 1e6:.2f} us (1 worker), "
          f"{over_all * 1e6:.2f} us ({cores} workers, wall time per run)")


if __name__ == "__main__":
    main()
