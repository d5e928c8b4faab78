"""Batches per core (one worker) with lanes (the default) and without (ZAREL_LANES=1), or on any two
ZAREL_LANES settings (--settings 4,8: four lanes against eight), through the
extension's Model.simulate_batch and through the package's batch into arrays made once, all in this
process: the Lorenz ensemble (rho swept over [0, 21]) with RK4 over 1,000 steps and with rk45 at
rtol 1e-8 (stepping to every grid point, and with dense output through the package's batch), the
20-mass chain with RK4 and the mass-spring-damper with the midpoint method; also
one RK4 run of the Lorenz system per step, single rk45 runs with dense output on small problems,
and the bits of both settings compared. With --python, the same measurement by another
interpreter (another build of the engine, for example an older checkout's .venv) follows, and the
ratios of this build to that one are printed side by side.

    .venv/bin/python bench/bench_lanes.py
    .venv/bin/python bench/bench_lanes.py --python /path/to/old/.venv/bin/python --rounds 3
    .venv/bin/python bench/bench_lanes.py --settings 4,8
"""
import argparse
import json
import os
import subprocess
import sys
import time

os.environ["RAYON_NUM_THREADS"] = "1"  # one worker: every figure is per core

import numpy as np


def lorenz():
    def r(i):
        return ["ref", i]
    # x' = sigma (y - x), y' = x (rho - z) - y, z' = x y - beta z; env: x y z sigma rho beta t
    return {"n_states": 3, "n_inputs": 0, "n_params": 3, "param_values": [10.0, 28.0, 8.0 / 3.0],
            "rhs": [["mul", r(3), ["sub", r(1), r(0)]],
                    ["sub", ["mul", r(0), ["sub", r(4), r(2)]], r(1)],
                    ["sub", ["mul", r(0), r(1)], ["mul", r(5), r(2)]]]}


def cases():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from models import mass_chain
    runs = 4096
    rho = np.linspace(0.0, 21.0, runs)
    lorenz_params = np.column_stack([np.full(runs, 10.0), rho, np.full(runs, 8.0 / 3.0)])
    lorenz_x0s = np.tile([1.0, 0.0, 0.0], (runs, 1))
    t_lorenz = np.arange(1001) * 0.01
    chain = mass_chain(20)[0]
    msd = mass_chain(1, c=0.4)[0]
    rng = np.random.default_rng(3)
    return [
        ("lorenz_rk4", lorenz(), lorenz_x0s, lorenz_params, t_lorenz, "rk4"),
        ("lorenz_rk45", lorenz(), lorenz_x0s[:512], lorenz_params[:512], t_lorenz, "rk45"),
        ("lorenz_rk45_dense", lorenz(), lorenz_x0s[:512], lorenz_params[:512], t_lorenz, "rk45 dense"),
        ("chain20_rk4", chain, rng.uniform(-0.1, 0.1, (256, 40)), None, np.linspace(0.0, 10.0, 1001), "rk4"),
        ("msd_midpoint", msd, rng.uniform(-1.0, 1.0, (4096, 2)), None, np.linspace(0.0, 10.0, 1001), "midpoint"),
    ]


def load(doc, lanes):
    """The model with ZAREL_LANES=lanes, or the default where lanes is empty."""
    import zarel_engine
    saved = os.environ.get("ZAREL_LANES")
    if lanes:
        os.environ["ZAREL_LANES"] = lanes
    else:
        os.environ.pop("ZAREL_LANES", None)
    try:
        return zarel_engine.Model(json.dumps(doc))
    finally:
        if saved is None:
            os.environ.pop("ZAREL_LANES", None)
        else:
            os.environ["ZAREL_LANES"] = saved


def best(fn, repeat):
    fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def measure(repeat, settings):
    """ns per trajectory-step of each case on the two ZAREL_LANES settings, through the extension's
    batch (result arrays made by every call) and through the package's batch into arrays allocated
    once, and whether all four agree bit for bit."""
    from zarel import _engine
    out = {}
    for name, doc, x0s, params, t, method in cases():
        # rk45 with dense output: the package's batch only (the extension's has no such option)
        dense = method.endswith(" dense")
        method = method.split()[0]
        per = 1e9 / (len(x0s) * (len(t) - 1))
        models = [load(doc, lanes) for lanes in settings]
        x = [np.empty((len(x0s), len(t), x0s.shape[1])) for _ in models]
        energy = [np.empty((len(x0s), len(t))) for _ in models]
        results = [None, None]

        def extension(k):
            results[k] = None
            if dense:
                results[k] = {"x": x[k].copy(), "energy": energy[k].copy()}
                return
            results[k] = models[k].simulate_batch(x0s, t, params=params, method=method)

        def into(k):
            failed = _engine.simulate_batch(models[k], x0s, t, params=params, method=method, x=x[k], energy=energy[k],
                                            dense=dense)
            assert not any(failed), failed

        # the settings alternate round by round, so that all see the same machine load
        runs = [(extension, 0), (extension, 1), (into, 0), (into, 1)]
        best_times = [float("inf")] * len(runs)
        for _ in range(repeat + 1):  # the first round warms the pool and the pages
            for j, (fn, k) in enumerate(runs):
                start = time.perf_counter()
                fn(k)
                best_times[j] = min(best_times[j], time.perf_counter() - start)
        same = all(np.array_equal(results[0]["x"], a) for a in (results[1]["x"], x[0], x[1])) and all(
            np.array_equal(results[0]["energy"], a) for a in (results[1]["energy"], energy[0], energy[1]))
        out[name] = {"a_ns": best_times[0] * per, "b_ns": best_times[1] * per,
                     "into_a_ns": best_times[2] * per, "into_b_ns": best_times[3] * per,
                     "identical": bool(same)}
        if dense:
            out[name]["a_ns"] = out[name]["b_ns"] = float("nan")
    # single rk45 runs with dense output at rtol 1e-6 on 201 points: the suite's small problems,
    # us per call, states recorded only
    from models import mass_chain, pendulum, van_der_pol
    t201 = np.linspace(0.0, 20.0, 201)
    for name, doc, x0 in (("pendulum", pendulum()[0], [1.0, 0.0]), ("chain2", mass_chain(2)[0], [0.1, 0.0, 0.0, 0.0]),
                          ("vdp1", van_der_pol(1.0)[0], [2.0, 0.0])):
        model = load(doc, settings[0])
        x0 = np.array(x0)

        def dense(model=model, x0=x0):
            for _ in range(200):
                _engine.simulate(model, x0, t201, method="rk45", dense=True, rtol=1e-6, atol=1e-9,
                                 record_outputs=False, record_energy=False)

        out[f"rk45_dense_{name}_us"] = best(dense, repeat) * 1e6 / 200
    # one run of the Lorenz system, recording included, per step
    model = load(lorenz(), settings[0])
    t = np.arange(100_001) * 1e-4
    x0 = np.array([1.0, 0.0, 0.0])
    out["lorenz_rk4_one_run_ns_per_step"] = best(lambda: model.simulate(x0, t, method="rk4"), repeat) * 1e9 / (len(t) - 1)
    short = np.array([0.0, 0.01])
    calls = 20_000

    def many():
        for _ in range(calls):
            model.simulate(x0, short, method="rk4")

    out["simulate_fixed_cost_us"] = best(many, repeat) * 1e6 / calls
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", help="another interpreter whose engine is measured the same way, after this one")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=1,
                        help="measure this many times, alternating with the other build, and keep each figure's best")
    parser.add_argument("--settings", default=",1",
                        help="the two ZAREL_LANES settings a and b, comma-separated, empty for the default (default: ',1')")
    parser.add_argument("--json", action="store_true", help="print the measurement as JSON only")
    args = parser.parse_args()
    settings = args.settings.split(",")
    if len(settings) != 2:
        parser.error("--settings takes two settings")
    if args.json:
        print(json.dumps(measure(args.repeat, settings)))
        return

    def measured(python):
        text = subprocess.run([python, os.path.abspath(__file__), "--json", "--repeat", str(args.repeat),
                               "--settings", args.settings], check=True, capture_output=True, text=True).stdout
        return json.loads(text)

    def best_of(a, b):
        if a is None:
            return b
        out = {}
        for key, v in a.items():
            if isinstance(v, dict):
                out[key] = {c: (min(x, b[key][c]) if c != "identical" else x and b[key][c]) for c, x in v.items()}
            else:
                out[key] = min(v, b[key])
        return out

    # on a shared machine the load drifts: rounds alternate between the builds, so both see it
    mine = other = None
    for _ in range(args.rounds):
        mine = best_of(mine, measured(sys.executable))
        if args.python:
            other = best_of(other, measured(args.python))
    named = [f"ZAREL_LANES={s}" if s else "the default" for s in settings]
    print(f"per core (1 worker), ns per trajectory-step; a: {named[0]}, b: {named[1]};")
    print("batch: Model.simulate_batch (arrays made per call); into: zarel._engine.simulate_batch into arrays made once")
    columns = ("a_ns", "b_ns", "into_a_ns", "into_b_ns")
    for name, row in mine.items():
        if not isinstance(row, dict):
            continue
        figures = "  ".join(f"{c[:-3]} {row[c]:8.2f}" for c in columns)
        line = f"  {name:13s} {figures}  a/b {row['into_a_ns'] / row['into_b_ns']:.2f}"
        line += f"  identical {row['identical']}"
        if other:
            theirs = other[name]
            line += (f"\n  {'  other build':13s} " + "  ".join(f"{c[:-3]} {theirs[c]:8.2f}" for c in columns) +
                     f"  this a / other b: batch {row['a_ns'] / theirs['b_ns']:.2f},"
                     f" into {row['into_a_ns'] / theirs['into_b_ns']:.2f}")
        print(line)
    for key in [k for k, v in mine.items() if not isinstance(v, dict)]:
        line = f"  {key:32s} {mine[key]:8.3f}"
        if other:
            line += f"  | other build {other[key]:8.3f}  ratio {mine[key] / other[key]:.2f}"
        print(line)


if __name__ == "__main__":
    main()
