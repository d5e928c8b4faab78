"""zarel.sweep on a LocalCluster of two single-threaded worker processes against one simulate_batch
in this process, for 20,000 runs of a small model over 1,001 points: both times and their ratio at
chunks of 2,000 runs, the ratio over chunk sizes (where the per-task overhead starts to dominate),
the cost of supplied power and named outputs, and the time to write results to Zarr per run.
With --batch, zarel.sweep in memory on one worker against the package's batch it runs, on the
Lorenz ensemble (rk4 over 1,000 steps, with and without supplied power, and dense rk45 at rtol
1e-10), side by side; bench/native/bench_lanes has the hand-written C++ to set rk4's figures beside.

    PYTHONPATH=src .venv/bin/python bench/bench_sweep.py            # the full measurement
    PYTHONPATH=src .venv/bin/python bench/bench_sweep.py --runs 4000 --chunks 2000,500
    .venv/bin/python bench/bench_sweep.py --against main   # in this process, beside main's sweep code
    .venv/bin/python bench/bench_sweep.py --batch [--against REV]   # sweep / batch (and REV's sweep / batch)
"""
import argparse
import importlib.util
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

POINTS = 1001


def oscillator():
    """A damped oscillator driven through one port, with its dissipated power as a named output."""
    from zarel.system import System

    ref = lambda i: ["ref", i]  # noqa: E731  slots: q, p, F, k, c, t
    return System({
        "name": "oscillator", "state_names": ["q", "p"], "input_names": ["F"], "param_names": ["k", "c"],
        "n_states": 2, "n_inputs": 1, "n_params": 2, "param_values": [4.0, 0.3],
        "rhs": [ref(1), ["sub", ["sub", ref(2), ["mul", ref(3), ref(0)]], ["mul", ref(4), ref(1)]]],
        "jacobian": [["const", 0], ["const", 1], ["neg", ref(3)], ["neg", ref(4)]],
        "energy": ["mul", ["const", 0.5], ["add", ["mul", ref(1), ref(1)], ["mul", ref(3), ["mul", ref(0), ref(0)]]]],
        "port_outputs": [ref(1)], "port_values": [ref(2)],
        "outputs": [["mul", ref(4), ["mul", ref(1), ref(1)]]], "output_names": ["dissipated_power"],
    })


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class Clock:
    """Wall time and processor time (this process, which also runs a LocalCluster's scheduler, plus
    the cluster's worker processes). On a shared machine the processor time is the steadier
    measure of the work done; the wall time also counts waiting for other users' jobs."""

    def __init__(self, client=None):
        self.client = client

    def cpu(self):
        return cpu_seconds() + (sum(self.client.run(cpu_seconds).values()) if self.client else 0.0)

    def measure(self, fn):
        cpu, start = self.cpu(), time.perf_counter()
        fn()
        return time.perf_counter() - start, self.cpu() - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20_000)
    parser.add_argument("--chunks", default="5000,2000,1000,500,200,100",
                        help="chunk sizes to compare (comma-separated)")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many timings")
    parser.add_argument("--against", metavar="REV", help="only time sweeps in this process against the "
                        "sweep code of this git revision, side by side")
    parser.add_argument("--batch", action="store_true", help="only the in-memory sweep against the batch it runs")
    args = parser.parse_args()
    if args.batch:
        return against_batch(args)
    if args.against:
        return against(args)

    from dask.distributed import Client, LocalCluster

    from zarel.sweeps import grid, sweep

    system = oscillator()
    side = int(round(np.sqrt(args.runs)))
    params = grid(k=np.linspace(1.0, 9.0, side), c=np.linspace(0.0, 1.0, args.runs // side))
    n = len(params["k"])
    t = np.linspace(0.0, 10.0, POINTS)
    x0 = np.array([1.0, 0.0])
    x0s = np.tile(x0, (n, 1))
    p = np.column_stack([params["k"], params["c"]])
    model = system.model()
    print(f"{n} runs of a 2-state oscillator over {POINTS} points, method midpoint; {os.cpu_count()} logical "
          f"processors shared with other jobs (load average {os.getloadavg()[0]:.1f} at start)")
    print("times: best of {0} wall seconds / best of {0} processor seconds, each taken right after one of "
          "the local batch".format(args.repeat))
    local = []

    def side_by_side(fn, clock):
        """Best wall and processor times of fn, each measured right after the local batch (a baseline
        taken at another moment would compare other loads of the shared machine)."""
        runs = []
        for _ in range(args.repeat):
            local.append(Clock().measure(lambda: model.simulate_batch(x0s, t, params=p)))
            runs.append(clock.measure(fn))
        return min(w for w, _ in runs), min(c for _, c in runs)

    rows = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        def on_cluster(chunk, outputs=False, store=None):
            def run():
                if store is not None:
                    shutil.rmtree(store, ignore_errors=True)
                sweep(system, t, x0=x0, params=params, client=client, chunk=chunk, outputs=outputs, store=store,
                      progress=False)
            return run

        clock = Clock(client)
        directory = tempfile.mkdtemp()
        cluster_store = os.path.join(directory, "cluster.zarr")
        on_cluster(2000, True, cluster_store)()  # workers import zarel, xarray and zarr, and build the model
        for chunk in [int(c) for c in args.chunks.split(",")]:
            rows.append((f"chunk {chunk} ({-(-n // chunk)} tasks)", side_by_side(on_cluster(chunk), clock)))
        rows.append(("chunk 2000, with supplied power and outputs", side_by_side(on_cluster(2000, True), clock)))
        rows.append(("chunk 2000, all of it written by the workers to Zarr",
                     side_by_side(on_cluster(2000, True, cluster_store), clock)))
        shutil.rmtree(directory, ignore_errors=True)

    def local_sweep(store=None, outputs=True):
        def run():
            if store is not None:
                shutil.rmtree(store, ignore_errors=True)
            return sweep(system, t, x0=x0, params=params, chunk=2000, store=store, outputs=outputs, progress=False)
        return run

    directory = tempfile.mkdtemp()
    try:
        store = os.path.join(directory, "bench.zarr")
        sweeps = [("states and energy", side_by_side(local_sweep(outputs=False), Clock())),
                  ("with supplied power and outputs", side_by_side(local_sweep(), Clock())),
                  ("the same into a Zarr store", side_by_side(local_sweep(store), Clock()))]
        ds = local_sweep()()
        ds["status"] = ds["status"].astype(str)
        ds = ds.chunk({"run": 2000})
        values = sum(v.size for v in ds.data_vars.values())

        def write():
            shutil.rmtree(store, ignore_errors=True)
            ds.to_zarr(store, zarr_format=2)
        writing = min(Clock().measure(write) for _ in range(args.repeat))
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    base_wall, base_cpu = min(w for w, _ in local), min(c for _, c in local)
    print(f"\none local simulate_batch, engine pool on both processors: {base_wall:.2f} s / {base_cpu:.2f} s")
    print("\nsweep on a LocalCluster of 2 worker processes x 1 thread (engine pool of 1 each), results "
          "returned to this process unless written to Zarr; ratios to the local batch:")
    for label, (wall, cpu) in rows:
        print(f"  {label:<52} {wall:6.2f} s / {cpu:6.2f} s   ratio {wall / base_wall:5.2f} / {cpu / base_cpu:5.2f}")
    print("\nsweep in this process (no client), chunk 2000:")
    for label, (wall, cpu) in sweeps:
        print(f"  {label:<52} {wall:6.2f} s / {cpu:6.2f} s   ratio {wall / base_wall:5.2f} / {cpu / base_cpu:5.2f}")
    derived = sweeps[1][1][1] - sweeps[0][1][1]
    stored = sweeps[2][1][1] - sweeps[1][1][1]
    print(f"  supplied power and outputs: {derived / n * 1e6:.1f} us of processor time per run; the store "
          f"adds {stored / n * 1e6:.1f} us per run")
    print(f"  writing the {len(ds.data_vars)} variables ({values * 8 / 2**20:.0f} MiB) to Zarr alone: "
          f"{writing[0]:.2f} s / {writing[1]:.2f} s, {writing[1] / n * 1e6:.1f} us of processor time per run")


def sweep_modules_at(rev):
    """REV's sweep modules (sweeps, sweep_plan, sweep_store, sweep_distribution), loaded as modules
    of the installed package under names of their own, beside this tree's: their relative imports
    find each other and the same System, inputs and engine. Returns REV's sweeps module."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    directory = tempfile.mkdtemp()
    module = None
    for name in ("sweep_plan", "sweep_store", "sweep_distribution", "sweeps"):
        text = subprocess.run(["git", "show", f"{rev}:src/zarel/{name}.py"], cwd=root, check=True,
                              capture_output=True, text=True).stdout
        text = re.sub(r"\bsweep_(plan|store|distribution)\b", r"at_rev_sweep_\1", text)
        path = os.path.join(directory, f"at_rev_{name}.py")
        with open(path, "w") as f:
            f.write(text)
        spec = importlib.util.spec_from_file_location(f"zarel.at_rev_{name}", path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        spec.loader.exec_module(module)
    shutil.rmtree(directory, ignore_errors=True)
    return module


def against_batch(args):
    """zarel.sweep in memory (no client, default chunks, supplied power recorded but in one case) against
    zarel._engine.simulate_batch with the same arguments into arrays made once, alternately on one
    worker; the results compared bit for bit."""
    os.environ.setdefault("RAYON_NUM_THREADS", "1")  # before the engine's pool is first used
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from ensembles import lorenz

    import zarel
    from zarel import _engine

    runs = 4096
    ensemble = lorenz(runs)
    model = ensemble.system.model()
    x0s, params = ensemble.x0s(), ensemble.param_rows()
    sweeps = {"this tree": zarel.sweep}
    if args.against:
        sweeps[args.against] = sweep_modules_at(args.against).sweep
    # (label, grid, method, options, outputs): outputs False records the states and the energy only
    cases = [("rk4, 1,000 steps", np.arange(1001) * 1e-3, "rk4", {}, True),
             ("rk4, 1,000 steps, states and energy only", np.arange(1001) * 1e-3, "rk4", {}, False),
             ("rk45 dense, rtol 1e-10, t in [0, 1], 101 points", np.linspace(0.0, 1.0, 101), "rk45",
              {"rtol": 1e-10}, True)]
    print(f"Lorenz ensemble, {runs} runs (rho over [10, 40]), one worker (RAYON_NUM_THREADS="
          f"{os.environ.get('RAYON_NUM_THREADS')}); best of {args.repeat}, wall / processor seconds; load "
          f"average {os.getloadavg()[0]:.1f} at start")
    for label, t, method, options, outputs in cases:
        points = len(t)
        out = {"x": np.empty((runs, points, 3)), "energy": np.empty((runs, points))}
        if outputs:
            out.update(supplied_power=np.empty((runs, points)), outputs=np.empty((runs, points, 0)))

        def batch():
            _engine.simulate_batch(model, x0s, t, None, params=params, method=method, dense=True, **options, **out)

        def sweep_of(fn):
            return lambda: fn(ensemble.system, t, x0=ensemble.x0, params={ensemble.varied: ensemble.values},
                              method=method, progress=False, outputs=outputs, **options)

        batch()
        ds = sweep_of(zarel.sweep)()
        same = all(np.asarray(ds[name]).tobytes() == out["x"][:, :, j].tobytes() for j, name in enumerate("xyz"))
        same = same and np.asarray(ds["energy"]).tobytes() == out["energy"].tobytes()
        del ds
        times = {"batch": [], **{k: [] for k in sweeps}}
        for _ in range(args.repeat):
            times["batch"].append(Clock().measure(batch))
            for k, fn in sweeps.items():
                times[k].append(Clock().measure(sweep_of(fn)))
        best = {k: (min(w for w, _ in v), min(c for _, c in v)) for k, v in times.items()}
        base = best["batch"]
        unit, scale = ("ns per trajectory-step", 1e9 / (runs * (points - 1))) if method == "rk4" else \
            ("us per trajectory", 1e6 / runs)
        print(f"\n  {label}: sweep equals the batch bit for bit: {same}")
        for k, (wall, cpu) in best.items():
            ratio = "" if k == "batch" else f"   sweep / batch {wall / base[0]:5.2f} / {cpu / base[1]:5.2f}"
            print(f"    {k if k == 'batch' else 'sweep, ' + k:<24} {wall:6.3f} s / {cpu:6.3f} s "
                  f"({cpu * scale:6.1f} {unit}){ratio}")


def against(args):
    """Local sweeps (chunk 2000) of this tree and of the revision's zarel/sweeps.py, alternately."""
    from zarel.sweeps import grid, sweep

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    text = subprocess.run(["git", "show", f"{args.against}:src/zarel/sweeps.py"], cwd=root, check=True,
                          capture_output=True, text=True).stdout
    directory = tempfile.mkdtemp()
    path = os.path.join(directory, "sweeps.py")
    with open(path, "w") as f:
        f.write(text)
    # a module of the installed package, so that its relative imports find the same System and inputs
    spec = importlib.util.spec_from_file_location("zarel._sweeps_against", path)
    old = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = old
    spec.loader.exec_module(old)
    system = oscillator()
    side = int(round(np.sqrt(args.runs)))
    params = grid(k=np.linspace(1.0, 9.0, side), c=np.linspace(0.0, 1.0, args.runs // side))
    t = np.linspace(0.0, 10.0, POINTS)
    x0 = np.array([1.0, 0.0])
    print(f"{len(params['k'])} runs over {POINTS} points, midpoint, chunk 2000, in this process: this tree "
          f"against {args.against} (best of {args.repeat}, wall / processor seconds)")
    for outputs in (False, True):
        times = {"this tree": [], args.against: []}
        for _ in range(args.repeat):
            for label, fn in (("this tree", sweep), (args.against, old.sweep)):
                times[label].append(Clock().measure(
                    lambda: fn(system, t, x0=x0, params=params, chunk=2000, outputs=outputs, progress=False)))
        best = {k: (min(w for w, _ in v), min(c for _, c in v)) for k, v in times.items()}
        new, ref = best["this tree"], best[args.against]
        print(f"  {'with' if outputs else 'without'} supplied power and outputs: this tree {new[0]:.2f} / "
              f"{new[1]:.2f} s, {args.against} {ref[0]:.2f} / {ref[1]:.2f} s, ratio {new[0] / ref[0]:.2f} / "
              f"{new[1] / ref[1]:.2f}")
    shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
