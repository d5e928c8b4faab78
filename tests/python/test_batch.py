"""simulate_batch: argument rules, result layout, agreement with single runs for any worker
count, and the single reported error."""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zarel_engine
from models import MSD

# x' = x^2 blows up at t = 1/x0
BLOWUP = {"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
          "rhs": [["mul", ["ref", 0], ["ref", 0]]]}


@pytest.fixture
def model():
    return zarel_engine.Model(json.dumps(MSD))


T = np.linspace(0.0, 2.0, 41)


def test_layout_and_agreement_with_single_runs(model):
    x0s = np.array([[1.0, 0.0], [0.5, 0.5], [0.0, -1.0]])
    res = model.simulate_batch(x0s, T)
    assert list(res) == ["t", "x", "energy"]
    assert res["x"].shape == (3, 41, 2) and res["energy"].shape == (3, 41)
    assert all(a.dtype == np.float64 and a.flags.c_contiguous for a in res.values())
    assert np.array_equal(res["t"], T) and not np.shares_memory(res["t"], T)
    for i, x0 in enumerate(x0s):
        single = model.simulate(x0, T)
        assert np.array_equal(res["x"][i], single["x"])
        assert np.array_equal(res["energy"][i], single["energy"])


@pytest.mark.parametrize("method", ["euler", "rk4", "rk45", "midpoint"])
def test_parameter_rows_match_simulate_with_those_params(model, method):
    params = np.array([[1.0, 4.0, 0.0], [2.0, 1.0, 0.5], [0.5, 9.0, 1.5]])
    x0s = np.tile([1.0, 0.0], (3, 1))
    u = np.sin(T)[:, None]
    before = model.params
    res = model.simulate_batch(x0s, T, u, params, method=method, interp="linear")
    assert np.array_equal(model.params, before)
    for i, p in enumerate(params):
        other = zarel_engine.Model(json.dumps(MSD))
        other.params = p
        single = other.simulate(x0s[i], T, u, method=method, interp="linear")
        assert np.array_equal(res["x"][i], single["x"])
        assert np.array_equal(res["energy"][i], single["energy"])


def test_identical_rows_give_identical_runs_and_any_layout_is_copied(model):
    x0s = np.asfortranarray(np.tile([0.3, -0.2], (4, 1)))
    params = np.tile(model.params, (4, 2))[:, ::2]  # non-contiguous rows of the right values
    params[:] = model.params
    res = model.simulate_batch(x0s, T, params=params, method="rk45")
    assert all(np.array_equal(res["x"][0], res["x"][i]) for i in range(1, 4))


@pytest.mark.parametrize("kwargs,exc,text", [
    (dict(x0s=np.zeros(2)), TypeError, "x0s"),
    (dict(params=np.zeros(3)), TypeError, "params"),
    (dict(t=np.linspace(0, 1, 10)[::2]), TypeError, "The given array is not contiguous"),
    (dict(params=np.zeros((2, 3))), ValueError, "3 initial states but 2 parameter sets"),
    (dict(params=np.zeros((3, 4))), ValueError, "expected 3 parameter values, got 4"),
    (dict(x0s=np.zeros((3, 3))), ValueError, "initial state has 3 entries, the model has 2 states"),
    (dict(t=np.array([0.0])), ValueError, "the time grid needs at least two points"),
    (dict(method="rk5"), ValueError, 'unknown solver "rk5"'),
    (dict(u=np.zeros((3, 1))), ValueError, "inputs must be len(t) x n_inputs = 41 x 1 = 41 values, got 3"),
])
def test_argument_errors(model, kwargs, exc, text):
    before = model.params
    args = dict(x0s=np.zeros((3, 2)), t=T) | kwargs
    with pytest.raises(exc) as e:
        model.simulate_batch(**args)
    assert str(e.value) == text or text in str(e.value)
    assert np.array_equal(model.params, before)


def test_empty_batch_validates_nothing(model):
    res = model.simulate_batch(np.zeros((0, 5)), np.array([0.0]))
    assert res["x"].shape == (0, 1, 2) and res["energy"].shape == (0, 1)


def test_one_failing_run_fails_the_batch():
    m = zarel_engine.Model(json.dumps(BLOWUP))
    x0s = np.array([[0.1], [0.2], [5.0], [0.3]])
    with pytest.raises(RuntimeError) as e:
        m.simulate_batch(x0s, np.linspace(0.0, 1.0, 11), method="rk45")
    assert "became non-finite" in str(e.value) or "did not converge" in str(e.value)


SCRIPT = textwrap.dedent("""
    import json, sys
    import numpy as np
    import zarel_engine
    m = zarel_engine.Model(sys.argv[1])
    t = np.linspace(0.0, 3.0, 301)
    x0s = np.column_stack([np.linspace(-1, 1, 37), np.linspace(1, -1, 37)])
    params = np.column_stack([np.full(37, 1.0), np.linspace(1, 5, 37), np.linspace(0, 1, 37)])
    res = m.simulate_batch(x0s, t, params=params, method="rk45")
    np.save(sys.stdout.buffer, res["x"])
""")


def run_with_workers(n):
    env = dict(os.environ, RAYON_NUM_THREADS=str(n))
    out = subprocess.run([sys.executable, "-c", SCRIPT, json.dumps(MSD)], env=env, check=True,
                         capture_output=True).stdout
    import io
    return np.load(io.BytesIO(out))


def test_results_do_not_depend_on_the_worker_count():
    one, two = run_with_workers(1), run_with_workers(2)
    assert one.shape == (37, 301, 2)
    assert np.array_equal(one, two)
