"""Sweeps against the engine itself, on a real cluster of two worker processes: bit-identical results,
failing runs, a worker killed mid-sweep, Ctrl-C and resumption, and the `zarel sweep` command."""

import _thread
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest
import xarray
import zarr
from dask.distributed import Client, LocalCluster

from zarel.system import System
from zarel import grid, sweep  # the public names, as users reach them

ZAREL = pathlib.Path(sys.executable).with_name("zarel")


def ref(i):
    return ["ref", i]


def const(v):
    return ["const", v]


# Slots: q=0, p=1, F=2, k=3, c=4, g=5, t=6. With g > 0 the velocity grows as g p^2 and the run
# fails in finite time. The outputs use every family of operators, with signed zeros where c = 0.
DOC = {
    "name": "driven", "state_names": ["q", "p"], "input_names": ["F"], "param_names": ["k", "c", "g"],
    "n_states": 2, "n_inputs": 1, "n_params": 3, "param_values": [4.0, 0.3, 0.0],
    "rhs": [ref(1), ["add", ["sub", ["sub", ref(2), ["mul", ref(3), ref(0)]], ["mul", ref(4), ref(1)]],
                     ["mul", ref(5), ["mul", ref(1), ref(1)]]]],
    "energy": ["mul", const(0.5), ["add", ["mul", ref(1), ref(1)], ["mul", ref(3), ["mul", ref(0), ref(0)]]]],
    "port_outputs": [ref(1), ["sin", ref(0)]], "port_values": [ref(2), ["exp", ["neg", ref(6)]]],
    "outputs": [["mul", ref(4), ["mul", ref(1), ref(1)]],
                ["add", ["add", ["tanh", ref(0)], ["log", ["add", const(1), ["abs", ref(1)]]]],
                 ["add", ["pow", ["cos", ref(1)], const(3.5)],
                  ["pw", ref(0), [-1, 0, 1], [[0, 1, 0.5], [0, 1, -0.5]]]]],
                ["where", ["gt", ref(0), ref(1)], ["sign", ["mul", ref(4), ref(2)]],
                 ["mul", ["sqrt", ref(6)], ["max", ["mul", ref(4), ref(0)], ["neg", ["mul", ref(4), ref(0)]]]]],
                ["min", ["mul", ref(4), ["neg", ref(1)]], ["div", ["mul", ref(4), ref(1)], ["abs", ref(0)]]]],
    "output_names": ["dissipated_power", "mixed", "branches", "zeros"],
}
T = np.linspace(0.0, 2.0, 41)
U = np.cos(3 * T)[:, None] + 0.25 * T[:, None]  # the last row differs from the one before
OPTIONS = {"method": "rk4", "interp": "linear"}


@pytest.fixture(scope="module")
def system():
    return System(DOC)


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit="600MiB",
                      dashboard_address=":0", env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as c:
        yield c


def engine(system, x0s, params):
    """States and energy from one batch, supplied power and outputs as the engine records them."""
    model = system.model()
    batch = model.simulate_batch(x0s, T, u=U, params=params, **OPTIONS)
    power, outputs = [], []
    for x0, p in zip(x0s, params):
        model.params = p.copy()
        r = model.simulate(x0.copy(), T, u=U, **OPTIONS)
        assert np.array_equal(r["x"], batch["x"][len(power)])
        power.append(r["supplied_power"])
        outputs.append(r["outputs"])
    return batch["x"], batch["energy"], np.array(power), np.array(outputs)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def status_written(store):
    return np.asarray(zarr.open_group(store, mode="r")["status"][:]) != ""


def interrupted_sweep(system, params, client, store):
    """A sweep in chunks of 40 on `client`, Ctrl-C once a chunk is written."""
    def press_ctrl_c():
        while not os.path.exists(store / "status") or not status_written(store).any():
            time.sleep(0.01)
        _thread.interrupt_main()

    threading.Thread(target=press_ctrl_c).start()
    with pytest.raises(KeyboardInterrupt):
        sweep(system, T, params=params, u=U, chunk=40, client=client, store=store, progress=False, **OPTIONS)
    while client.processing() and any(client.processing().values()):  # cancelled tasks still running end
        time.sleep(0.05)


@pytest.mark.parametrize("exact_ports", [False, True])
def test_sweep_equals_the_engine_bit_for_bit(exact_ports, client, tmp_path):
    doc = dict(DOC, port_outputs=[["mul", ref(4), ref(1)], ["mul", ref(4), ref(0)]],
               port_values=[ref(2), ["pow", ref(1), const(2)]])
    system = System(doc if exact_ports else DOC)
    params = grid(k=[1.0, 4.0, 9.0], c=np.linspace(0.0, 1.0, 10))
    x0 = np.random.default_rng(1).normal(size=(30, 2))
    local = sweep(system, T, x0=x0, params=params, u=U, chunk=7, progress=False, **OPTIONS)
    store = tmp_path / "s.zarr"
    remote = sweep(system, T, x0=x0, params=params, u=U, chunk=7, client=client, store=store, progress=False,
                   **OPTIONS)
    p = np.column_stack([params["k"], params["c"], np.zeros(30)])
    x, energy, power, outputs = engine(system, x0, p)
    for ds in (local, remote.compute()):
        assert list(ds.data_vars) == ["q", "p", "energy", "supplied_power", *DOC["output_names"], "status"]
        assert same_bits(ds["q"], x[:, :, 0]) and same_bits(ds["p"], x[:, :, 1])
        assert same_bits(ds["energy"], energy) and same_bits(ds["supplied_power"], power)
        for j, name in enumerate(DOC["output_names"]):
            assert same_bits(ds[name], outputs[:, :, j]), name
        assert (ds["status"].values == "ok").all()
        assert same_bits(ds["k"], params["k"]) and same_bits(ds["c"], params["c"]) and "g" not in ds.coords
        assert same_bits(ds["time"], T)
    assert xarray.open_zarr(store)["q"].chunks == ((7, 7, 7, 7, 2), (41,))


def chunk_of_seconds(monkeypatch, seconds):
    """Chunks of `seconds` runs on any machine: on a clock where every reading is a second later,
    the first run measured takes a second, and the measurement stops there."""
    import zarel.sweep_distribution

    class Clock:
        now = 0.0

        def perf_counter(self):
            self.now += 1.0
            return self.now

    monkeypatch.setattr(zarel.sweep_distribution, "perf_counter", Clock().perf_counter)
    monkeypatch.setattr(zarel.sweep_distribution, "PROBE_SECONDS", 1.0)
    monkeypatch.setattr(zarel.sweep_distribution, "CHUNK_SECONDS", float(seconds))


def test_failing_runs_get_their_message_and_the_others_their_values(system, client, monkeypatch):
    g = np.zeros(16)
    g[[3, 4, 11]] = [5.0, np.nan, 3.0]
    x0 = np.tile([0.5, 1.0], (16, 1))
    # the run that measures the chunk is kept as the first of the result, the others are chunks of 8
    # on the workers: runs 1-8 and 9-15
    chunk_of_seconds(monkeypatch, 8)
    ds = sweep(system, T, x0=x0, params={"g": g}, u=U, client=client, progress=False, **OPTIONS)
    model = system.model()
    p = np.tile(system.param_values, (16, 1))
    p[:, 2] = g
    ok = np.isin(np.arange(16), [3, 4, 11], invert=True)
    for i in (3, 4, 11):
        with pytest.raises(RuntimeError) as failure:
            model.simulate_batch(x0[i:i + 1], T, u=U, params=p[i:i + 1], **OPTIONS)
        assert ds["status"].values[i] == str(failure.value)
        assert all(np.isnan(ds[name].values[i]).all() for name in ds.data_vars if name != "status")
    x, energy, power, outputs = engine(system, x0[ok], p[ok])
    assert same_bits(ds["p"][ok], x[:, :, 1]) and same_bits(ds["energy"][ok], energy)
    assert same_bits(ds["supplied_power"][ok], power) and same_bits(ds["mixed"][ok], outputs[:, :, 1])
    assert (ds["status"].values[ok] == "ok").all()


def test_a_worker_killed_mid_sweep_costs_only_recomputation(system, client, tmp_path):
    params = grid(k=np.linspace(1.0, 9.0, 40), c=np.linspace(0.0, 1.0, 40))
    reference = sweep(system, T, params=params, u=U, chunk=25, progress=False, **OPTIONS)
    store = tmp_path / "killed.zarr"
    victim = next(iter(client.run(os.getpid).values()))
    killed = {}

    def kill_one_worker():
        while not os.path.exists(store / "status") or not status_written(store).any():
            time.sleep(0.01)
        killed["done"] = status_written(store).sum()
        os.kill(victim, signal.SIGKILL)

    killer = threading.Thread(target=kill_one_worker)
    killer.start()
    ds = sweep(system, T, params=params, u=U, chunk=25, client=client, store=store, progress=False, **OPTIONS)
    killer.join()
    assert killed["done"] < 1600
    client.wait_for_workers(2, timeout=60)
    assert victim not in client.run(os.getpid).values()
    xarray.testing.assert_identical(ds.compute().drop_encoding(), reference)


def test_an_interrupted_sweep_resumes_from_its_store(system, client, tmp_path):
    params = grid(k=np.linspace(1.0, 9.0, 40), c=np.linspace(0.0, 1.0, 30))
    reference = sweep(system, T, params=params, u=U, chunk=40, progress=False, **OPTIONS)
    store = tmp_path / "stopped.zarr"

    interrupted_sweep(system, params, client, store)
    written = status_written(store)
    assert written.any() and not written.all()
    # a mark in a finished chunk: resuming must leave it, since it computes only what is missing
    finished = np.flatnonzero(written)[0]
    zarr.open_group(store, mode="r+")["energy"][finished, 0] = -1.0
    ds = sweep(system, T, params=params, u=U, chunk=40, client=client, store=store, progress=False,
               **OPTIONS).compute()
    assert ds["energy"].values[finished, 0] == -1.0
    ds["energy"].values[finished, 0] = reference["energy"].values[finished, 0]
    xarray.testing.assert_identical(ds.drop_encoding(), reference)


def test_bad_sweeps_are_refused_before_any_run(system, client, tmp_path):
    cases = [
        (dict(params={"k": [1.0, 2.0], "c": [0.1]}), ValueError, "differ in length"),
        (dict(params={"mass": [1.0]}), ValueError, "unknown parameter 'mass'; parameters are: k, c, g"),
        (dict(params=np.ones((3, 2))), ValueError, r"shape \(runs, 3\)"),
        (dict(x0=np.zeros((2, 2)), params={"k": [1.0, 2.0, 3.0]}), ValueError, "x0 has 2 rows but params 3"),
        (dict(u=np.zeros((5, 1))), ValueError, r"u must have shape \(len\(t\), n_inputs\) = \(41, 1\)"),
        (dict(method="rk5"), ValueError, "unknown solver"),
        (dict(chunk=0), ValueError, "chunk must be a positive number"),
        (dict(client=client, system=system.model()), TypeError, "needs a zarel.System"),
    ]
    for kwargs, error, message in cases:
        model = kwargs.pop("system", system)
        with pytest.raises(error, match=message):
            sweep(model, T, **kwargs)
    store = tmp_path / "other.zarr"
    sweep(system, T, params={"k": [1.0, 2.0]}, store=store, progress=False)
    with pytest.raises(ValueError, match="holds another sweep"):
        sweep(system, T, params={"k": [1.0, 3.0]}, store=store, progress=False)


def test_the_zarel_sweep_command(system, tmp_path):
    system.to_json(tmp_path / "driven.json")
    (tmp_path / "force.csv").write_text("time,F\n0,1\n2,-1\n")
    command = [str(ZAREL), "sweep", "driven.json", "--t", "0:2:41", "--vary", "k=1:9:5", "--vary", "c=0:1:4",
               "--set", "g=0", "--x0", "q=0.5", "--input", "force.csv", "--method", "rk4", "--chunk", "6",
               "--out", "out.zarr"]
    proc = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "driven: 20 runs of 41 points, 0 failed; written to out.zarr\n"
    expected = sweep(system, T, x0={"q": 0.5}, params={**grid(k=np.linspace(1, 9, 5), c=np.linspace(0, 1, 4)),
                                                       "g": np.zeros(20)},
                     u={"F": np.interp(T, [0, 2], [1, -1])}, method="rk4", chunk=6, progress=False)
    xarray.testing.assert_identical(xarray.open_zarr(tmp_path / "out.zarr").compute().drop_encoding(), expected)
    proc = subprocess.run(command[:-2] + ["--out", "other.zarr", "--vary", "mass=1:2:3"], capture_output=True,
                          text=True, cwd=tmp_path, timeout=120)
    assert proc.returncode == 1 and proc.stderr.startswith("zarel: error: unknown parameter 'mass'")


def test_ctrl_c_on_the_zarel_sweep_command_says_how_to_resume(system, tmp_path):
    system.to_json(tmp_path / "driven.json")
    store = tmp_path / "long.zarr"
    command = [str(ZAREL), "sweep", "driven.json", "--t", "0:20000:3", "--vary", "k=1:9:100", "--vary", "c=0:1:100",
               "--method", "rk45", "--chunk", "10", "--no-progress", "--out", store.name]
    proc = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    while not os.path.exists(store / "status") or not status_written(store).any():
        assert proc.poll() is None, proc.communicate()
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and out == ""
    # (what follows it, if anything, is the storage library's notice of writes it abandoned)
    assert err.startswith(f"zarel: interrupted; the finished chunks are kept in {store.name}: run the same command "
                          "again to resume\n")
    assert not status_written(store).all()


@pytest.mark.parametrize("jit", [False, True])
def test_sweeps_equal_single_runs_on_both_evaluation_paths(jit):
    sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "bench"))
    from evaluation_path import evaluation_path

    with evaluation_path(jit):  # every model of the test loads on this path
        sweeps_against_single_runs(System(DOC))


def sweeps_against_single_runs(system):
    """Sweeps of `system` with a failing run, varied initial states and exact inputs, run by run."""
    import sympy
    import zarel

    g = np.zeros(12)
    g[5] = 5.0  # this run fails; the others complete
    x0 = {"q": np.linspace(-1.0, 1.0, 12), "p": 0.5}
    force = {"F": sympy.cos(3 * zarel.t) + zarel.t / 4}
    for method, u in (("rk45", U), ("rk45", force), ("midpoint", U), ("dop853", U), ("dop853", force),
                      ("rodas5p", U), ("rodas5p", force)):
        ds = sweep(system, T, x0=x0, params={"g": g, "k": np.arange(1.0, 13.0)}, u=u, method=method,
                   progress=False)
        assert same_bits(ds["initial_q"], x0["q"]) and "initial_p" not in ds.coords
        for i in range(12):
            args = (system, [x0["q"][i], 0.5], T, u)
            params = {"g": g[i], "k": i + 1.0}
            if i == 5:
                with pytest.raises(RuntimeError) as failure:
                    zarel.simulate(*args, params=params, method=method)
                assert ds["status"].values[i] == str(failure.value)
                assert np.isnan(ds["q"].values[i]).all() and np.isnan(ds["mixed"].values[i]).all()
                continue
            run = zarel.simulate(*args, params=params, method=method)
            assert ds["status"].values[i] == "ok"
            assert same_bits(ds["q"][i], run.x[:, 0]) and same_bits(ds["p"][i], run.x[:, 1])
            assert same_bits(ds["energy"][i], run.energy) and same_bits(ds["supplied_power"][i], run.supplied_power)
            for j, name in enumerate(DOC["output_names"]):
                assert same_bits(ds[name][i], run.outputs[:, j]), name


def test_a_store_resumes_on_any_cluster_size(system, client, tmp_path, monkeypatch):
    params = grid(k=np.linspace(1.0, 9.0, 40), c=np.linspace(0.0, 1.0, 30))
    reference = sweep(system, T, params=params, u=U, progress=False, **OPTIONS)
    store = tmp_path / "moved.zarr"

    interrupted_sweep(system, params, client, store)
    assert not status_written(store).all()
    # resumed on one worker, with the default chunk: the store keeps its own
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, memory_limit="600MiB",
                      dashboard_address=":0") as cluster, Client(cluster) as one:
        ds = sweep(system, T, params=params, u=U, client=one, store=store, progress=False, **OPTIONS)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # consolidated metadata: xarray reads without a warning
        again = sweep(system, T, params=params, u=U, store=store, progress=False, **OPTIONS)
        xarray.open_zarr(store)
    for result in (ds, again):
        assert result["q"].chunks[0] == (40,) * 30
        xarray.testing.assert_identical(result.compute().drop_encoding(), reference)
    # a store whose creation was cut off after its group is created again, in chunks of about the
    # time set per chunk, measured on the first runs
    chunk_of_seconds(monkeypatch, 40)
    cut = tmp_path / "cut.zarr"
    zarr.open_group(cut, mode="w", zarr_format=2)
    ds = sweep(system, T, params=params, u=U, store=cut, progress=False, **OPTIONS)
    assert ds["q"].chunks[0] == (40,) * 30
    xarray.testing.assert_identical(ds.compute().drop_encoding(), reference)


def test_a_sweep_of_no_runs_is_refused_by_name(system):
    with pytest.raises(ValueError, match="^params holds no run; a sweep needs at least one$"):
        sweep(system, T, params={"k": []}, progress=False)
    with pytest.raises(ValueError, match="^x0 holds no run; a sweep needs at least one$"):
        sweep(system, T, x0={"q": [], "p": 0.5}, progress=False)


def test_a_sweep_refuses_a_name_given_twice(system):
    sympy = pytest.importorskip("sympy")
    with pytest.raises(ValueError, match=r"^x0 gives the state 'q' twice"):
        sweep(system, T, x0={"q": [0.1, 0.2], sympy.Symbol("q"): 0.5}, progress=False)
    with pytest.raises(ValueError, match=r"^params gives the parameter 'k' twice"):
        sweep(system, T, params={"k": [1.0], sympy.Symbol("k"): [2.0]}, progress=False)


def test_a_sweep_on_a_scheduler_given_by_its_address(system, client):
    params = grid(k=[1.0, 4.0], c=[0.1, 0.2, 0.3])
    local = sweep(system, T, params=params, u=U, chunk=4, progress=False, **OPTIONS)
    remote = sweep(system, T, params=params, u=U, chunk=4, client=client.scheduler.address, progress=False,
                   **OPTIONS)
    xarray.testing.assert_identical(remote, local)
    with pytest.raises(TypeError, match=r"^client must be a dask.distributed.Client or a scheduler's address "
                                        r"\(tcp://host:8786\), got int$"):
        sweep(system, T, params=params, client=8786, progress=False)


def test_a_store_is_a_zarr_folder_in_a_folder_that_exists(system, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="^store x.txt: a sweep is written to a Zarr store, a folder ending in "
                                         r"\.zarr$"):
        sweep(system, T, params={"k": [1.0]}, store="x.txt", progress=False)
    absent = tmp_path / "absent" / "s.zarr"
    with pytest.raises(ValueError, match=f"^store {absent}: the folder {absent.parent} does not exist$"):
        sweep(system, T, params={"k": [1.0]}, store=absent, progress=False)
    assert not (tmp_path / "absent").exists() and not (tmp_path / "x.txt").exists()


def test_a_sweep_too_large_is_refused_before_any_run(system, tmp_path):
    t = np.linspace(0.0, 1.0, 10**6)
    runs = {"k": np.ones(10**6)}
    # 2 states, energy, supplied power, 4 outputs: 64 bytes a point of a run
    with pytest.raises(ValueError, match=r"^the result of 1000000 runs of 1000000 points takes 64\.0 TB, more than "
                                         r"the .* of memory available: give store to write it to disk chunk by chunk, "
                                         r"or use fewer runs \(params\) or points \(t\)$"):
        sweep(system, t, params=runs, progress=False)
    with pytest.raises(ValueError, match=r"^chunk: a chunk of 1000000 runs takes 64\.0 TB, more than the .* of memory "
                                         r"available: give a smaller chunk$"):
        sweep(system, t, params=runs, chunk=10**6, store=tmp_path / "chunked.zarr", progress=False)
    store = tmp_path / "big.zarr"
    with pytest.raises(ValueError, match=f"^store {store}: the result of 1000000 runs of 1000000 points takes up to "
                                         r"64\.0 TB uncompressed, more than the .* free on its disk: use fewer runs "
                                         r"\(params\) or points \(t\), or a store on a larger disk$"):
        sweep(system, t, params=runs, store=store, progress=False)
    assert not store.exists() and not (tmp_path / "chunked.zarr").exists()
