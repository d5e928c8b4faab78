"""zarel.sweep on a LocalCluster of two single-threaded worker processes against one simulate_batch
in this process, for 20,000 runs of a small model over 1,001 points: both times and their ratio at
chunks of 2,000 runs, the ratio over chunk sizes (where the per-task overhead starts to dominate),
the cost of supplied power and named outputs, and the time to write results to Zarr per run.

    PYTHONPATH=src .venv/bin/python bench/bench_sweep.py            # the full measurement
    PYTHONPATH=src .venv/bin/python bench/bench_sweep.py --runs 4000 --chunks 2000,500
"""
import argparse
import os
import shutil
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


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def best(fn, repeat):
    return min(timed(fn) for _ in range(repeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20_000)
    parser.add_argument("--chunks", default="5000,2000,1000,500,200,100",
                        help="chunk sizes to compare (comma-separated)")
    parser.add_argument("--repeat", type=int, default=2, help="best of this many timings")
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster

    from zarel.sweep import grid, sweep

    system = oscillator()
    side = int(round(np.sqrt(args.runs)))
    params = grid(k=np.linspace(1.0, 9.0, side), c=np.linspace(0.0, 1.0, args.runs // side))
    n = len(params["k"])
    t = np.linspace(0.0, 10.0, POINTS)
    x0 = np.array([1.0, 0.0])
    p = np.column_stack([params["k"], params["c"]])
    model = system.model()
    print(f"{n} runs of a 2-state oscillator over {POINTS} points, method midpoint; "
          f"{os.cpu_count()} logical processors, load average {os.getloadavg()[0]:.1f} at start")

    x0s = np.tile(x0, (n, 1))
    local_times = []

    def side_by_side(fn):
        """Best of `repeat` timings of fn, each right after one of the local batch (the machine is
        shared: a baseline measured at another moment would compare other loads)."""
        times = []
        for _ in range(args.repeat):
            local_times.append(timed(lambda: model.simulate_batch(x0s, t, params=p)))
            times.append(timed(fn))
        return min(times)

    rows = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        def on_cluster(chunk, outputs=False):
            return lambda: sweep(system, t, x0=x0, params=params, client=client, chunk=chunk, outputs=outputs,
                                 progress=False)

        on_cluster(2000)()  # workers import zarel and build the model once
        for chunk in [int(c) for c in args.chunks.split(",")]:
            rows.append((chunk, side_by_side(on_cluster(chunk))))
        with_outputs = side_by_side(on_cluster(2000, outputs=True))
    local = min(local_times)
    print(f"one local simulate_batch (engine pool on both processors): {local:.2f} s (best of {len(local_times)})")
    print("\nLocalCluster, 2 worker processes x 1 thread (engine pool of 1 each), states and energy "
          "returned to this process:")
    print(f"{'chunk':>7} {'tasks':>6} {'time s':>8} {'ratio':>6}")
    for chunk, seconds in rows:
        print(f"{chunk:>7} {-(-n // chunk):>6} {seconds:>8.2f} {seconds / local:>6.2f}")
    print(f"chunk 2000 with supplied power and outputs: {with_outputs:.2f} s, ratio {with_outputs / local:.2f}")

    def local_sweep(store=None, outputs=True):
        def run():
            if store is not None:
                shutil.rmtree(store, ignore_errors=True)
            return sweep(system, t, x0=x0, params=params, chunk=2000, store=store, outputs=outputs, progress=False)
        return run

    directory = tempfile.mkdtemp()
    try:
        store = os.path.join(directory, "bench.zarr")
        states_only = side_by_side(local_sweep(outputs=False))
        in_memory = side_by_side(local_sweep())
        to_zarr = side_by_side(local_sweep(store))
        ds = local_sweep()()
        ds["status"] = ds["status"].astype(str)
        ds = ds.chunk({"run": 2000})
        values = sum(v.size for v in ds.data_vars.values())

        def write():
            shutil.rmtree(store, ignore_errors=True)
            ds.to_zarr(store, zarr_format=2)
        writing = best(write, args.repeat)
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    print("\nlocal sweep (no client), chunk 2000:")
    print(f"  states and energy: {states_only:.2f} s (ratio {states_only / local:.2f} to simulate_batch)")
    print(f"  with supplied power and outputs: {in_memory:.2f} s "
          f"({(in_memory - states_only) / n * 1e6:.1f} us per run for them)")
    print(f"  the same into a Zarr store: {to_zarr:.2f} s ({(to_zarr - in_memory) / n * 1e6:.1f} us per run more)")
    print(f"  writing the {len(ds.data_vars)} variables ({values * 8 / 2**20:.0f} MiB) to Zarr alone: "
          f"{writing:.2f} s, {writing / n * 1e6:.1f} us per run")


if __name__ == "__main__":
    main()
