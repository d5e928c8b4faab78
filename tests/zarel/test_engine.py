"""zarel._engine: runs with parameters per call, batches that keep every run, evaluations at many points."""

import json
import math
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from conftest import OSCILLATOR_DOC

import zarel_engine
from zarel import _engine

# A nonlinear oscillator of the same layout: the spring force k q + q^3. Slots: q=0, p=1, F=2,
# m=3, k=4, c=5, t=6.
HARD_SPRING_DOC = json.loads(json.dumps(OSCILLATOR_DOC))
HARD_SPRING_DOC["rhs"][1] = ["sub", ["sub", ["ref", 2], ["add", ["mul", ["ref", 4], ["ref", 0]],
                                                       ["mul", ["ref", 0], ["mul", ["ref", 0], ["ref", 0]]]]],
                             ["mul", ["ref", 5], ["div", ["ref", 1], ["ref", 3]]]]
HARD_SPRING_DOC.pop("jacobian")
METHODS = ["euler", "rk4", "rk45", "midpoint"]
KEYS = ["t", "x", "u", "energy", "supplied_power", "outputs"]


def model(doc=HARD_SPRING_DOC, params=None):
    m = zarel_engine.Model(json.dumps(doc))
    if params is not None:
        m.params = np.asarray(params, dtype=float)
    return m


def same(a, b):
    """Bit for bit, NaN included."""
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def assert_same_run(a, b):
    assert list(a) == list(b)
    for key in KEYS:
        assert same(a[key], b[key]), key
    assert a["stats"] == b["stats"]


T = np.linspace(0.0, 3.0, 31)
U = np.sin(T)[:, None]
X0 = np.array([0.8, -0.2])


def test_simulate_equals_model_simulate_with_the_params_set_and_leaves_the_model():
    m = model()
    before = m.params.copy()
    for method in METHODS:
        for interp in ("hold", "linear"):
            options = dict(method=method, interp=interp, rtol=1e-7, atol=1e-9)
            # without parameters and dense output it is Model.simulate itself
            assert_same_run(_engine.simulate(m, X0, T, U, **options), m.simulate(X0, T, U, **options))
            p = np.array([1.5, 2.0, 0.1])
            assert_same_run(_engine.simulate(m, X0, T, U, params=p, **options),
                            model(params=p).simulate(X0, T, U, **options))
            assert same(m.params, before)
    with pytest.raises(ValueError, match="^expected 3 parameter values, got 2$"):
        _engine.simulate(m, X0, T, params=np.ones(2))
    with pytest.raises(ValueError, match="^rtol must be a finite non-negative number, got -1.0$"):
        _engine.simulate(m, X0, T, rtol=-1.0)
    with pytest.raises(TypeError):
        _engine.simulate(m, X0, T, None, np.ones(3))  # params is keyword-only


def test_dense_output_reports_on_the_grid_without_stepping_on_it():
    m = model()
    fine, coarse = np.linspace(0.0, 3.0, 3001), np.linspace(0.0, 3.0, 4)
    a = _engine.simulate(m, X0, fine, method="rk45", dense=True)
    b = _engine.simulate(m, X0, coarse, method="rk45", dense=True)
    assert a["stats"] == b["stats"]
    assert same(a["x"][-1], b["x"][-1])
    stepped = m.simulate(X0, fine, method="rk45", rtol=1e-12, atol=1e-14)["x"]
    assert np.max(np.abs(a["x"] - stepped)) < 3e-7
    assert a["stats"]["rhs_evals"] * 10 < m.simulate(X0, fine, method="rk45")["stats"]["rhs_evals"]
    # the other methods step on the grid whatever dense says
    assert_same_run(_engine.simulate(m, X0, T, method="rk4", dense=True), m.simulate(X0, T, method="rk4"))


def test_many_threads_with_their_own_params_equal_sequential_runs():
    m = model()
    before = m.params.copy()
    params = [np.array([1.0 + 0.1 * i, 1.0 + i, 0.05 * i]) for i in range(8)]
    method = lambda i: METHODS[i % 4]  # noqa: E731
    sequential = [_engine.simulate(m, X0, T, U, params=p, method=method(i), dense=i % 2 == 0)
                  for i, p in enumerate(params)]

    def run(i):
        return [_engine.simulate(m, X0, T, U, params=params[i], method=method(i), dense=i % 2 == 0)
                for _ in range(5)]

    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(run, range(8)))
    for i, runs in enumerate(results):
        for r in runs:
            assert_same_run(r, sequential[i])
    assert same(m.params, before)


def batch_arrays(m, N, L):
    n, ni, q = m.n_states, m.n_inputs, len(m.output_names)
    return dict(x=np.full((N, L, n), -1.0), energy=np.full((N, L), -1.0), supplied_power=np.full((N, L), -1.0),
                outputs=np.full((N, L, q), -1.0), u_out=np.full((N, L, ni), -1.0),
                stats=np.zeros((N, 5), dtype=np.uint64))


@pytest.mark.parametrize("lanes", ["1", "2", None])
def test_batch_with_a_failing_run_in_the_middle(lanes, monkeypatch):
    if lanes is None:
        monkeypatch.delenv("ZAREL_LANES", raising=False)
    else:
        monkeypatch.setenv("ZAREL_LANES", lanes)
    m = model()  # lanes are chosen when a model loads
    N, L = 9, len(T)
    x0s = np.tile(X0, (N, 1))
    x0s[4] = [1e200, 0.0]  # the cube overflows at once
    params = np.array([[1.0 + 0.1 * i, 2.0, 0.1] for i in range(N)])
    # euler and rk4 run in groups of lanes: run 4 fails inside a group
    for method, dense in (("rk45", True), ("rk45", False), ("midpoint", False), ("rk4", False), ("euler", False)):
        out = batch_arrays(m, N, L)
        outcomes = _engine.simulate_batch(m, x0s, T, U, params=params, method=method, dense=dense, **out)
        with pytest.raises(RuntimeError) as failure:
            _engine.simulate(m, x0s[4], T, U, params=params[4], method=method, dense=dense)
        assert outcomes == [None] * 4 + [str(failure.value)] + [None] * 4
        for key in ("x", "energy", "supplied_power", "outputs", "u_out"):
            assert np.isnan(out[key][4]).all(), key
        for i in (0, 3, 5, 8):
            single = _engine.simulate(m, x0s[i], T, U, params=params[i], method=method, dense=dense)
            for key, name in (("x", "x"), ("energy", "energy"), ("supplied_power", "supplied_power"),
                              ("outputs", "outputs"), ("u_out", "u")):
                assert same(out[key][i], single[name]), (method, key, i)
            s = single["stats"]
            assert out["stats"][i].tolist() == [s["steps"], s["rhs_evals"], s["newton_iterations"],
                                                s["jacobian_evals"], s["rejected_steps"]]
    assert same(m.params, model().params)

    # only x is required; faults common to every run raise before any run
    x = np.full((N, L, 2), -1.0)
    assert _engine.simulate_batch(m, x0s, T, x=x)[4] is not None
    with pytest.raises(ValueError, match=r"^energy must have shape \(9, 31\), got \(9, 30\)$"):
        _engine.simulate_batch(m, x0s, T, x=x, energy=np.zeros((N, L - 1)))
    with pytest.raises(ValueError, match="C-contiguous"):
        _engine.simulate_batch(m, x0s, T, x=np.zeros((L, N, 2)).transpose(1, 0, 2))
    for bad in (dict(atol=math.nan), dict(t=T[::-1].copy()), dict(params=params[:3])):
        x[:] = -1.0
        with pytest.raises(ValueError):
            _engine.simulate_batch(m, x0s, **(dict(t=T) | bad), x=x)
        assert (x == -1.0).all()
    with pytest.raises(TypeError, match="'x'"):
        _engine.simulate_batch(m, x0s, T)


def test_evaluate_equals_the_model_methods_at_every_point():
    rng = np.random.default_rng(7)
    K = 25
    x, u, t = rng.normal(size=(K, 2)), rng.normal(size=(K, 1)), rng.uniform(0, 5, size=K)
    p = np.array([0.7, 3.0, 0.2])
    m, with_p = model(), model(params=p)
    calls = {
        "rhs": lambda mm, k, uk: mm.rhs(x[k], uk, t[k]),
        "outputs": lambda mm, k, uk: mm.outputs(x[k], uk, t[k]),
        "port_outputs": lambda mm, k, uk: mm.port_outputs(x[k], uk, t[k]),
        "supplied_power": lambda mm, k, uk: np.float64(mm.supplied_power(x[k], uk, t[k])),
        "energy": lambda mm, k, uk: np.float64(mm.energy(x[k])),
        "grad_h": lambda mm, k, uk: mm.grad_h(x[k]),
    }
    for what, call in calls.items():
        for params, reference in ((None, m), (p, with_p)):
            got = _engine.evaluate(m, what, x, u, t, params=params)
            expected = np.array([call(reference, k, u[k]) for k in range(K)])
            assert same(got, expected), what
        no_input = _engine.evaluate(m, what, x, None, t)
        assert same(no_input, np.array([call(m, k, None) for k in range(K)])), what
    assert same(_engine.evaluate(m, "rhs", x), np.array([m.rhs(x[k]) for k in range(K)]))
    assert same(m.params, model().params)
    with pytest.raises(ValueError, match='unknown quantity "jacobian"'):
        _engine.evaluate(m, "jacobian", x)
    with pytest.raises(ValueError, match="state has 3 entries, the model has 2 states"):
        _engine.evaluate(m, "rhs", np.zeros((2, 3)))
    with pytest.raises(TypeError, match="zarel_engine.Model"):
        _engine.evaluate(object(), "rhs", x)
