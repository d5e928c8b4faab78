"""The installed `zarel` command on good and bad files: exit statuses, messages, written results."""

import io
import json
import pathlib
import subprocess
import sys

import numpy as np
import pandas
import pytest
import sympy
import xarray

import zarel

ZAREL = pathlib.Path(sys.executable).with_name("zarel")


def run(*args, cwd):
    return subprocess.run([str(ZAREL), *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120)


def failed(proc, status=1):
    """The one-line error a bad input must give: status, no traceback, nothing on stdout."""
    assert proc.returncode == status, (proc.returncode, proc.stdout, proc.stderr)
    assert "Traceback" not in proc.stderr and proc.stdout == ""
    lines = proc.stderr.strip().splitlines()
    if status == 1:
        assert len(lines) == 1 and lines[0].startswith("zarel: error: "), proc.stderr
    return lines[-1]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("cli")
    q, p, F = sympy.symbols("q p F")
    k, c = sympy.symbols("k c", positive=True)
    system = zarel.PortHamiltonian([q, p], H=(p**2 + k * q**2) / 2, J=[[0, 1], [-1, 0]], R=[[0, 0], [0, c]],
                                   G=[[0], [1]], inputs=[F], params={k: 4.0, c: 0.3}, name="spring")
    system.to_json(d / "spring.json")
    (d / "blowup.json").write_text(json.dumps({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
                                               "rhs": [["mul", ["ref", 0], ["ref", 0]]]}))
    (d / "incomplete.json").write_text('{"n_states": 1}')
    (d / "broken.json").write_text('{"n_states": 1,')
    (d / "force.csv").write_text("time,F\n0,0\n1,2\n3,-1\n")
    return d


def test_check_and_info(files):
    ok = run("check", "spring.json", cwd=files)
    assert ok.returncode == 0 and ok.stderr == ""
    assert "states  (2): q, p" in ok.stdout and "params  (2): k, c" in ok.stdout
    assert "outputs (1): dissipated_power" in ok.stdout
    info = run("info", "spring.json", cwd=files)
    assert info.returncode == 0 and "jacobian: analytic" in info.stdout and "c = 0.3" in info.stdout
    assert "malformed model: missing integer n_inputs" in failed(run("check", "incomplete.json", cwd=files))
    assert "malformed model: not JSON" in failed(run("info", "broken.json", cwd=files))
    assert failed(run("check", "absent.json", cwd=files)) == "zarel: error: absent.json: No such file or directory"
    failed(run(cwd=files), status=2)


def test_simulate_writes_what_the_library_computes(files):
    t = np.linspace(0.0, 3.0, 31)
    expected = zarel.simulate(zarel.load(files / "spring.json"), {"q": 1.0}, t,
                              {"F": np.interp(t, [0, 1, 3], [0, 2, -1])}, params={"c": 0.9},
                              method="rk4", interp="linear").to_pandas()
    common = ["spring.json", "--t", "0:3:31", "--x0", "q=1", "--set", "c=0.9", "--method", "rk4",
              "--interp", "linear", "--input", "force.csv"]
    printed = run("simulate", *common, cwd=files)
    assert printed.returncode == 0, printed.stderr
    pandas.testing.assert_frame_equal(pandas.read_csv(io.StringIO(printed.stdout), index_col="time"), expected)
    for out in ("r.csv", "r.nc", "r.parquet"):
        written = run("simulate", *common, "--out", out, "--plot", "r.png", cwd=files)
        assert written.returncode == 0, written.stderr
        assert "energy balance over [0, 3], 30 intervals (rk4)" in written.stdout
        path = files / out
        if out.endswith(".nc"):
            with xarray.open_dataset(path) as ds:
                got = ds.to_dataframe()
                assert ds.attrs["model"] == "spring" and ds.attrs["param_c"] == 0.9
        else:
            got = pandas.read_csv(path, index_col="time") if out.endswith(".csv") else pandas.read_parquet(path)
        pandas.testing.assert_frame_equal(got, expected)
    assert (files / "r.png").read_bytes()[:4] == b"\x89PNG"
    # rk45 reports on the grid from steps of its own, or with --grid-steps ends a step on every point
    system = zarel.load(files / "spring.json")
    for flags, grid_steps in (((), False), (("--grid-steps",), True)):
        printed = run("simulate", "spring.json", "--t", "0:3:301", "--x0", "q=1", "--method", "rk45", *flags,
                      cwd=files)
        expected = zarel.simulate(system, {"q": 1.0}, np.linspace(0.0, 3.0, 301), method="rk45",
                                  grid_steps=grid_steps).to_pandas()
        pandas.testing.assert_frame_equal(pandas.read_csv(io.StringIO(printed.stdout), index_col="time"), expected,
                                          check_exact=True)


def test_simulate_errors_are_one_line(files):
    base = ["simulate", "spring.json", "--t", "0:1:11"]
    assert "unknown solver" in failed(run(*base, "--method", "rk5", cwd=files))
    assert "unknown parameter 'm'; parameters are: k, c" in failed(run(*base, "--set", "m=1", cwd=files))
    assert "unknown state 'x'" in failed(run(*base, "--x0", "x=1", cwd=files))
    assert "expected 2 states" in failed(run(*base, "--x0", "1,2,3", cwd=files))
    assert "choose a file ending in .csv, .nc or .parquet" in failed(run(*base, "--out", "r.txt", cwd=files))
    assert "leaves the file's times" in failed(run("simulate", "spring.json", "--t", "0:4:5", "--input", "force.csv",
                                                   cwd=files))
    assert "became non-finite" in failed(run("simulate", "blowup.json", "--t", "0:11:12", "--x0", "1",
                                             "--method", "euler", cwd=files))
    assert "needs at least 2 points" in failed(run(*base[:2], "--t", "0:1:1", cwd=files), status=2)
    assert "not NAME=VALUE" in failed(run(*base, "--set", "c", cwd=files), status=2)
    assert not (files / "r.txt").exists()
