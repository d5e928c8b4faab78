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
    m = sympy.Symbol("m", positive=True)
    zarel.PortHamiltonian([q, p], H=p**2 / (2 * m) + q**2 / 2, J=[[0, 1], [-1, 0]], params={m: 1.0},
                          name="mass").to_json(d / "mass.json")
    # as a spreadsheet saves it: byte-order mark, CRLF, a blank line at the end
    (d / "sheet.csv").write_bytes("\ufefftime,F\r\n0,0\r\n1,2\r\n3,-1\r\n\r\n".encode())
    (d / "twice.csv").write_text("time,F,F\n0,0,1\n3,1,2\n")
    (d / "header.csv").write_text("time,F\n")
    (d / "latin1.csv").write_bytes("time,F\n0,0\n# Kraft in N \u2013 gemessen\n".encode("cp1252"))
    (d / "gap.csv").write_text("time,F\n0,0\n\n3,1\n")
    return d


def test_check_and_info(files):
    ok = run("check", "spring.json", cwd=files)
    assert ok.returncode == 0 and ok.stderr == ""
    assert "states  (2): q, p" in ok.stdout and "params  (2): k, c" in ok.stdout
    assert "outputs (1): dissipated_power" in ok.stdout
    info = run("info", "spring.json", cwd=files)
    assert info.returncode == 0 and "jacobian: analytic" in info.stdout and "c = 0.3" in info.stdout
    for line in ("dq/dt = p", "dp/dt = F - (p*c + q*k)", "H = p^2/2 + k*q^2/2", "dissipated_power = c*p^2"):
        assert f"  {line}\n" in info.stdout, info.stdout
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
    # the adaptive pairs report on the grid from steps of their own, or with --grid-steps end a step
    # on every point
    system = zarel.load(files / "spring.json")
    for method, flags, grid_steps in (("rk45", (), False), ("rk45", ("--grid-steps",), True),
                                      ("dop853", (), False), ("dop853", ("--grid-steps",), True)):
        printed = run("simulate", "spring.json", "--t", "0:3:301", "--x0", "q=1", "--method", method, *flags,
                      cwd=files)
        expected = zarel.simulate(system, {"q": 1.0}, np.linspace(0.0, 3.0, 301), method=method,
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


SIMULATE = ["simulate", "spring.json", "--t", "0:1:11"]


@pytest.mark.parametrize("args, status, message", [
    (SIMULATE + ["--x0", "q=nan"], 1, "'q=nan': nan is not a finite number"),
    (SIMULATE + ["--set", "c=1", "--set", "c=2"], 1, "--set: 'c' is given twice"),
    (SIMULATE + ["--x0", "q=1", "--x0", "q=2"], 1, "--x0: 'q' is given twice"),
    (SIMULATE + ["--x0", "1,0", "p=2"], 1, "give one list of numbers (1,0) or NAME=VALUE items"),
    (["simulate", "mass.json", "--t", "0:1:11", "--set", "m=0"], 1,
     "dq/dt is nan at the start (t = 0) with m=0: a parameter or initial value makes the model non-finite"),
    (["simulate", "spring.json", "--t", "-1.7e308:1.7e308:3"], 2, "does not give 3 finite, increasing times"),
    (SIMULATE + ["--input", "latin1.csv"], 1, "latin1.csv, line 3: not UTF-8 text (byte 0x96)"),
    (SIMULATE + ["--input", "twice.csv"], 1, "twice.csv, line 1: the column 'F' appears twice"),
    (SIMULATE + ["--input", "header.csv"], 1, "header.csv: a header (time, F) and no rows of values"),
    (SIMULATE + ["--input", "gap.csv"], 1, "gap.csv, line 3: expected 2 numbers"),
    (SIMULATE + ["--out", "late.csv", "--plot", "absent/run.png"], 1, "--plot absent/run.png: the folder absent does not"),
    (SIMULATE + ["--out", "late.csv", "--plot", "run.txt"], 1, "--plot run.txt: choose an image file ending in one of"),
    (["simulate", "--t", "0:1:11"], 2, "the following arguments are required: file"),
    (["sweep", "spring.json", "--t", "0:1:11", "--vary", "k=1:2:3", "--out", "s.nc"], 1,
     "--out s.nc: a sweep is written to a Zarr store, a folder ending in .zarr"),
    (["sweep", "mass.json", "--t", "0:1:11", "--vary", "m=0:0:2", "--out", "fails.zarr", "--no-progress"], 1,
     "all 2 runs failed; the first: "),
    (["sweep", "spring.json", "--t", "0:1:11", "--vary", "k=1:2:3", "--out", "far.zarr", "--scheduler",
      "tcp://127.0.0.1:9"], 1, "--scheduler tcp://127.0.0.1:9: no Dask scheduler answered within 5 s"),
])
def test_refusals_name_the_cause(files, args, status, message):
    assert message in failed(run(*args, cwd=files), status)
    assert not (files / "late.csv").exists() and not (files / "s.nc").exists()


def test_repeated_options_signed_grids_and_spreadsheet_files(files):
    t = np.linspace(-1.0, 1.0, 11)
    expected = zarel.simulate(zarel.load(files / "spring.json"), {"q": 1.0, "p": 2.0}, t).to_pandas()
    printed = run("simulate", "--t", "-1:1:11", "--x0", "q=1", "--x0", "p=2", "spring.json", cwd=files)
    assert printed.returncode == 0, printed.stderr
    pandas.testing.assert_frame_equal(pandas.read_csv(io.StringIO(printed.stdout), index_col="time"), expected)
    sheet, plain = (run(*SIMULATE, "--input", name, cwd=files) for name in ("sheet.csv", "force.csv"))
    assert sheet.returncode == 0 and sheet.stdout == plain.stdout, sheet.stderr


def test_solver_options_reach_the_run(files):
    t = np.linspace(0.0, 3.0, 31)
    system = zarel.load(files / "spring.json")
    # x' = x^2 from 0.25 takes midpoint several Newton iterations a step
    for file, x0, flags, options in (
            ("spring.json", {"q": 1.0}, ["--method", "rk45", "--rtol", "1e-3", "--atol", "1e-6"],
             dict(method="rk45", rtol=1e-3, atol=1e-6)),
            ("blowup.json", [0.25], ["--method", "midpoint", "--grid-steps", "--newton-tol", "1e-3", "--max-newton", "2"],
             dict(method="midpoint", grid_steps=True, newton_tol=1e-3, max_newton=2))):
        given = [f"{k}={v}" for k, v in x0.items()] if isinstance(x0, dict) else [str(x0[0])]
        printed = run("simulate", file, "--t", "0:3:31", "--x0", *given, *flags, cwd=files)
        assert printed.returncode == 0, printed.stderr
        expected = zarel.simulate(zarel.load(files / file), x0, t, **options).to_pandas()
        default = zarel.simulate(zarel.load(files / file), x0, t, method=options["method"],
                                 grid_steps=options.get("grid_steps", False)).to_pandas()
        got = pandas.read_csv(io.StringIO(printed.stdout), index_col="time")
        pandas.testing.assert_frame_equal(got, expected, check_exact=True)
        assert not got.equals(default)
    swept = run("sweep", "spring.json", "--t", "0:3:31", "--x0", "q=1", "--vary", "k=1:4:3", "--method", "rk45",
                "--rtol", "1e-3", "--no-progress", "--out", "tolerant.zarr", cwd=files)
    assert swept.returncode == 0, swept.stderr
    expected = zarel.sweep(system, t, x0={"q": 1.0}, params={"k": np.linspace(1, 4, 3)}, method="rk45", rtol=1e-3,
                           progress=False)
    xarray.testing.assert_identical(xarray.open_zarr(files / "tolerant.zarr").compute().drop_encoding(), expected)


SWEEP = ["sweep", "spring.json", "--t", "0:1:11", "--vary", "k=1:2:3", "--no-progress"]


@pytest.mark.parametrize("args, status, message", [
    # a size this machine cannot hold, before any work
    (["simulate", "spring.json", "--t", "0:1:20000000000"], 2,
     "argument --t: time grid '0:1:20000000000': a run of 20000000000 points takes at least 480.0 GB, more than "
     "the "),
    (["sweep", "spring.json", "--t", "0:1:10000000", "--vary", "c=0:1:1000000", "--out", "huge.zarr"], 1,
     "--out huge.zarr: the result of 1000000 runs of 10000000 points takes up to 400.0 TB uncompressed, more than "
     "the "),
    # an option the method does not read
    (SIMULATE + ["--method", "euler", "--grid-steps"], 1,
     "--grid-steps sets the steps rk45, dop853, nonstiff, rodas5p, midpoint and gauss4 choose (euler and rk4 step on "
     "the grid); method euler does not read it"),
    (SWEEP + ["--method", "rk4", "--grid-steps", "--out", "steps.zarr"], 1,
     "--grid-steps sets the steps rk45, dop853, nonstiff, rodas5p, midpoint and gauss4 choose"),
    (SIMULATE + ["--method", "rk4", "--rtol", "1e-3"], 1,
     "--rtol sets the error control of rk45, dop853, nonstiff, rodas5p, midpoint and gauss4; method rk4 does not "
     "read it"),
    (SIMULATE + ["--method", "rk45", "--max-newton", "3"], 1,
     "--max-newton sets the Newton iteration of midpoint and gauss4; method rk45 does not read it"),
    (SIMULATE + ["--newton-tol", "1e-6"], 1,
     "--newton-tol sets the Newton iteration of midpoint with --grid-steps; method midpoint on its own steps does "
     "not read it"),
    (SIMULATE + ["--max-newton", "0"], 2, "argument --max-newton: 0 is not a positive number of iterations"),
    (SIMULATE + ["--method", "rk45", "--atol", "-1"], 2, "argument --atol: -1 is not a tolerance, a finite number >= 0"),
    (SIMULATE + ["--newton-tol", "tight"], 2, "argument --newton-tol: 'tight' is not a number"),
    # a sweep's store, like a result file, goes into a folder that exists
    (SWEEP + ["--out", "absent/s.zarr"], 1, "--out absent/s.zarr: the folder absent does not exist"),
])
def test_sizes_solver_options_and_folders_are_refused_up_front(files, args, status, message):
    assert message in failed(run(*args, cwd=files), status)
    assert not (files / "absent").exists() and not (files / "huge.zarr").exists()
    assert not (files / "steps.zarr").exists()


def test_the_help_says_what_a_held_input_records(files):
    for command in ("simulate", "sweep"):
        shown = run(command, "--help", cwd=files)
        assert "under hold the input recorded at the last grid point is the row held over the last interval" in \
            " ".join(shown.stdout.split())


@pytest.fixture(scope="module")
def measured(files):
    """Measurements of the spring (k = 4, c = 0.3, from q = 1) as CSV files with a cell left empty:
    clean.csv exactly the run's values, noisy.csv with noise added; and the same tables as frames."""
    t = np.linspace(0.0, 3.0, 16)
    run_ = zarel.simulate(zarel.load(files / "spring.json"), {"q": 1.0}, t, method="nonstiff")
    clean = pandas.DataFrame({"time": t, "q": run_.x[:, 0], "dissipated_power": run_.outputs[:, 0]})
    clean.loc[5, "q"] = np.nan
    noise = np.random.default_rng(7).normal(0.0, 0.02, (len(t), 2))
    noisy = clean.assign(q=clean.q + noise[:, 0], dissipated_power=clean.dissipated_power + noise[:, 1])
    for name, frame in (("clean.csv", clean), ("noisy.csv", noisy)):
        rows = [",".join("" if np.isnan(v) else repr(float(v)) for v in row) for row in frame.to_numpy()]
        (files / name).write_text("time,q,dissipated_power\n" + "\n".join(rows) + "\n")
    (files / "unknown.csv").write_text("time,q,z\n0,1,2\n1,0.5,3\n")
    (files / "few.csv").write_text("time,q\n0,1\n1,\n")
    (files / "text.csv").write_text("time,q\n0,1\n1,n/a\n")
    (files / "untimed.csv").write_text("time,q\n0,1\n,0.5\n")
    (files / "growth.json").write_text(json.dumps({"state_names": ["x"], "param_names": ["a"], "n_states": 1,
                                                   "n_inputs": 0, "n_params": 1, "param_values": [1.0],
                                                   "rhs": [["mul", ["ref", 1], ["mul", ["ref", 0], ["ref", 0]]]]}))
    (files / "growth.csv").write_text("time,x\n0,1\n0.5,2\n3,3\n")
    return {"clean.csv": clean, "noisy.csv": noisy}


def test_fit_recovers_the_parameters_as_zarel_fit_does(files, measured):
    system = zarel.load(files / "spring.json")
    expected = zarel.fit(system, measured["clean.csv"], ["k", "c", "x0.q"], x0={"q": 0.8},
                         params={"k": 3.0, "c": 0.5})
    # the positionals among the options: --x0 takes in the document, argparse leaves the data over
    done = run("fit", "--x0", "q=0.8", "spring.json", "--fit", "k,c,x0.q", "clean.csv", "--params", "k=3", "c=0.5",
               "--out", "fitted.json", cwd=files)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert done.stdout == f"{expected}\n"
    assert all(abs(expected.values[n] - v) < 1e-6 * v for n, v in (("k", 4.0), ("c", 0.3), ("x0.q", 1.0)))
    # the document is the model's with the estimates as its defaults, bit for bit
    written = json.loads((files / "fitted.json").read_text())
    assert written["param_values"] == [expected.values["k"], expected.values["c"]]
    assert written == dict(system.document(), param_values=written["param_values"])


def test_fit_options_reach_zarel_fit(files, measured):
    system = zarel.load(files / "spring.json")
    options = dict(x0={"q": 1.0}, params={"c": 0.5}, sigma={"q": 0.02, "dissipated_power": 0.05},
                   positive=["k"], bounds={"c": (0.0, 2.0)}, optimizer="dogbox", method="rk45", rtol=1e-6,
                   atol=1e-9, max_evaluations=50)
    expected = zarel.fit(system, measured["noisy.csv"], ["k", "c"], **options)
    plain = zarel.fit(system, measured["noisy.csv"], ["k", "c"], x0={"q": 1.0}, params={"c": 0.5})
    done = run("fit", "spring.json", "noisy.csv", "--fit", "k,c", "--x0", "q=1", "--params", "c=0.5",
               "--sigma", "q=0.02", "dissipated_power=0.05", "--positive", "k", "--bounds", "c=0:2",
               "--optimizer", "dogbox", "--method", "rk45", "--rtol", "1e-6", "--atol", "1e-9",
               "--max-evaluations", "50", "--out", "noisy.json", cwd=files)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert done.stdout == f"{expected}\n" and done.stdout != f"{plain}\n"
    assert json.loads((files / "noisy.json").read_text())["param_values"] == [expected.values["k"],
                                                                               expected.values["c"]]


def test_fit_reads_the_inputs_during_the_measurements(files, measured):
    # the spring pushed by the force of force.csv: the fit that ignored it would find other values
    system = zarel.load(files / "spring.json")
    t = measured["clean.csv"]["time"].to_numpy()
    force = np.interp(t, [0.0, 1.0, 3.0], [0.0, 2.0, -1.0])
    run_ = zarel.simulate(system, {"q": 1.0}, t, u=force, method="nonstiff")
    rows = (f"{float(a)!r},{float(b)!r}" for a, b in zip(t, run_.x[:, 0]))
    (files / "pushed.csv").write_text("time,q\n" + "\n".join(rows) + "\n")
    expected = zarel.fit(system, {"time": t, "q": run_.x[:, 0]}, ["k", "c"], x0={"q": 1.0}, u=force,
                         params={"k": 3.0, "c": 0.5})
    assert abs(expected.values["k"] - 4.0) < 1e-6 and abs(expected.values["c"] - 0.3) < 1e-6
    done = run("fit", "spring.json", "pushed.csv", "--fit", "k,c", "--x0", "q=1", "--params", "k=3", "c=0.5",
               "--input", "force.csv", cwd=files)
    assert done.returncode == 0 and done.stdout == f"{expected}\n", done.stderr


FIT = ["fit", "spring.json", "clean.csv", "--x0", "q=1", "--out", "refused.json"]


@pytest.mark.parametrize("args, message", [
    (FIT + ["--fit", "k,m"], "fit: 'm' is neither a parameter nor an initial state; parameters are: k, c"),
    (["fit", "spring.json", "unknown.csv", "--fit", "k", "--out", "refused.json"],
     "unknown.csv: the column 'z' names no state or output of the model; states are: q, p"),
    (["fit", "spring.json", "few.csv", "--fit", "k,c", "--out", "refused.json"],
     "the data hold 1 measured values for 2 fitted quantities"),
    (["fit", "spring.json", "text.csv", "--fit", "k"], "text.csv, line 3: 'n/a' in the column q is not a number"),
    (["fit", "spring.json", "untimed.csv", "--fit", "k"], "untimed.csv, line 3: a row without its time"),
    (FIT + ["--fit", "k", "--bounds", "k=5:10"], "bounds: k's bounds [5, 10] exclude its start 4"),
    (["fit", "growth.json", "growth.csv", "--x0", "1", "--fit", "a", "--method", "rk45", "--out", "refused.json"],
     "the run of the model failed during the fit, at a=1: the rk45 step at t = 1"),
    (FIT[:-1] + ["absent/fitted.json", "--fit", "k"], "--out absent/fitted.json: the folder absent does not exist"),
    (FIT[:-1] + ["fitted.txt", "--fit", "k"], "--out fitted.txt: the fitted document is JSON; choose a file ending"),
    (FIT + ["--fit", "k", "--method", "rk4", "--atol", "1e-3"],
     "--atol sets the error control of rk45, dop853, nonstiff, rodas5p, midpoint and gauss4; method rk4 does not"),
    (FIT + ["--fit", "k", "--sigma", "q=0.1", "q=0.2"], "--sigma: 'q' is given twice"),
])
def test_fit_refusals_name_the_cause(files, measured, args, message):
    assert message in failed(run(*args, cwd=files))
    assert not (files / "refused.json").exists() and not (files / "fitted.txt").exists()
