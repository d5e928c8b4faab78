"""step and simulate: argument rules, result layout, counters, and the integrators against the
mathematics."""
import json
import math
import threading
import time

import numpy as np
import pytest

import zarel_engine
from models import MSD

# dx/dt = -p x
DECAY = {"n_states": 1, "n_inputs": 0, "n_params": 1, "param_values": [1.0],
         "rhs": [["mul", ["neg", ["ref", 1]], ["ref", 0]]],
         "jacobian": [["neg", ["ref", 1]]],
         "energy": ["mul", ["const", 0.5], ["mul", ["ref", 0], ["ref", 0]]]}
# dx/dt = x
GROWTH = {"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [["ref", 0]]}
# lossless oscillator q' = p, p' = -q with H = (q^2 + p^2)/2
OSCILLATOR = {"n_states": 2, "n_inputs": 0, "n_params": 0, "param_values": [],
              "rhs": [["ref", 1], ["neg", ["ref", 0]]],
              "jacobian": [["const", 0], ["const", 1], ["const", -1], ["const", 0]],
              "energy": ["mul", ["const", 0.5], ["add", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["ref", 1], ["ref", 1]]]]}
# x' = u0 + 10 u1, outputs the inputs themselves
TWO_INPUTS = {"n_states": 1, "n_inputs": 2, "n_params": 0, "param_values": [],
              "rhs": [["add", ["ref", 1], ["mul", ["const", 10], ["ref", 2]]]],
              "outputs": [["ref", 1]], "output_names": ["u0"]}


def load(doc):
    return zarel_engine.Model(json.dumps(doc))


def grid(n, end=1.0):
    return np.linspace(0.0, end, n)


# ---------------------------------------------------------------- step

def test_step_euler_and_rk4_follow_the_formulas_exactly():
    m = load(GROWTH)
    x = np.array([1.0])
    assert m.step(x, None, 0.0, 0.1, method="euler")[0] == 1.0 * 0.1 + 1.0
    h, hh = 0.1, 0.05
    k1 = 1.0
    k2 = k1 * hh + 1.0
    k3 = k2 * hh + 1.0
    k4 = k3 * h + 1.0
    expected = (((k1 + 2 * k2) + 2 * k3) + k4) * (h / 6.0) + 1.0
    assert m.step(x, None, 0.0, 0.1, method="rk4")[0] == expected
    assert expected == pytest.approx(1.1051708333333, abs=1e-12)


def test_step_returns_a_new_array_and_leaves_x_alone():
    m = load(MSD)
    x = np.array([0.5, -0.25])
    out = m.step(x, np.array([0.0]), 0.0, 0.0, method="euler")
    assert np.array_equal(out, x) and out is not x
    out[0] = 99.0
    assert x[0] == 0.5


def test_step_with_u_none_means_zero_input():
    m = load(MSD)
    x = np.array([0.5, -0.25])
    assert np.array_equal(m.step(x, None, 0.0, 0.01), m.step(x, np.zeros(1), 0.0, 0.01))


@pytest.mark.parametrize("alias,canonical", [("auto", "midpoint"), ("implicit_midpoint", "midpoint"),
                                             ("adaptive", "rk45")])
def test_step_aliases_behave_like_their_method(alias, canonical):
    m = load(MSD)
    x, u = np.array([0.5, -0.25]), np.array([0.3])
    assert np.array_equal(m.step(x, u, 0.0, 0.05, method=alias), m.step(x, u, 0.0, 0.05, method=canonical))


def test_step_non_finite_state_reports_t_plus_dt():
    m = load({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
              "rhs": [["div", ["const", 1], ["const", 0]]]})
    with pytest.raises(RuntimeError) as e:
        m.step(np.array([0.0]), None, 1.0, 0.5, method="euler")
    assert str(e.value) == "the state became non-finite at t = 1.5"


@pytest.mark.parametrize("kwargs,exc,text", [
    (dict(x=[1.0, 2.0]), TypeError, "'x'"),
    (dict(x=np.arange(6.0)[::2]), TypeError, "The given array is not contiguous"),
    (dict(x=np.zeros(3)), ValueError, "state has 3 entries, the model has 2 states"),
    (dict(u=np.zeros(2)), ValueError, "input has 2 entries, the model has 1 inputs"),
    (dict(method="rk5"), ValueError, 'unknown solver "rk5"; choose euler, rk4, rk45 or midpoint'),
    (dict(t=None), TypeError, "'t'"),
    (dict(dt="0.1"), TypeError, "'dt'"),
])
def test_step_argument_errors(kwargs, exc, text):
    m = load(MSD)
    args = dict(x=np.zeros(2), u=np.zeros(1), t=0.0, dt=0.1) | kwargs
    with pytest.raises(exc) as e:
        m.step(**args)
    assert text in str(e.value)


@pytest.mark.parametrize("t,dt", [(0.0, -0.1), (0.0, math.inf), (0.0, math.nan), (math.nan, 0.1), (math.inf, 0.1)])
def test_step_rk45_rejects_steps_it_cannot_take(t, dt):
    m = load(DECAY)
    with pytest.raises(ValueError):
        m.step(np.array([1.0]), None, t, dt, method="rk45")


def test_step_rk45_with_zero_dt_returns_the_state_and_other_methods_step_backward():
    m = load(DECAY)
    x = np.array([1.0])
    assert m.step(x, None, 0.0, 0.0, method="rk45")[0] == 1.0
    assert m.step(x, None, 0.0, -0.1, method="euler")[0] == 1.0 * -0.1 * -1.0 + 1.0


# ---------------------------------------------------------------- simulate: layout

def test_simulate_result_layout():
    m = load(MSD)
    t = grid(11)
    res = m.simulate(np.array([1.0, 0.0]), t)
    assert list(res) == ["t", "x", "u", "energy", "supplied_power", "outputs", "stats"]
    assert list(res["stats"]) == ["steps", "rhs_evals", "newton_iterations", "jacobian_evals", "rejected_steps",
                                  "method"]
    shapes = {"t": (11,), "x": (11, 2), "u": (11, 1), "energy": (11,), "supplied_power": (11,), "outputs": (11, 2)}
    for key, shape in shapes.items():
        a = res[key]
        assert a.shape == shape and a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable, key
    assert np.array_equal(res["t"], t) and not np.shares_memory(res["t"], t)
    assert np.array_equal(res["x"][0], [1.0, 0.0])
    assert np.array_equal(res["u"], np.zeros((11, 1)))
    assert res["stats"]["method"] == "midpoint"


@pytest.mark.parametrize("method,canonical", [("adaptive", "rk45"), ("implicit_midpoint", "midpoint"),
                                              ("auto", "midpoint"), ("euler", "euler"), ("rk4", "rk4")])
def test_simulate_reports_the_canonical_method(method, canonical):
    res = load(DECAY).simulate(np.array([1.0]), grid(3), method=method)
    assert res["stats"]["method"] == canonical


def test_simulate_recording_switches():
    m = load(MSD)
    res = m.simulate(np.array([1.0, 0.0]), grid(5), record_outputs=False, record_energy=np.bool_(False))
    assert res["outputs"].shape == (5, 0)
    assert res["energy"].shape == (0,) and res["supplied_power"].shape == (0,)
    assert res["x"].shape == (5, 2) and res["u"].shape == (5, 1)


@pytest.mark.parametrize("kwargs,exc,text", [
    (dict(record_outputs=0), TypeError, "record_outputs"),
    (dict(record_energy=1), TypeError, "record_energy"),
    (dict(u=np.zeros(5)), TypeError, "'u'"),
    (dict(t=[0.0, 1.0]), TypeError, "'t'"),
    (dict(t=np.linspace(0, 1, 5)[::-1].copy()[::-1]), TypeError, "The given array is not contiguous"),
    (dict(max_newton=2.0), TypeError, "max_newton"),
    (dict(max_newton=-1), OverflowError, ""),
    (dict(rtol=None), TypeError, "rtol"),
    (dict(method=5), TypeError, "method"),
    (dict(interp="Linear"), ValueError,
     'unknown input interpolation "Linear"; choose hold or linear'),
    (dict(method="Euler", x0=np.zeros(4)[::2]), ValueError, 'unknown solver "Euler"'),
    (dict(x0=np.zeros(3)), ValueError, "initial state has 3 entries, the model has 2 states"),
    (dict(t=np.array([0.0])), ValueError, "the time grid needs at least two points"),
    (dict(t=np.array([0.0, 1.0, 1.0])), ValueError,
     "the time grid must be strictly increasing (t[2] = 1 after t[1] = 1)"),
    (dict(t=np.array([math.nan, 1.0])), ValueError,
     "the time grid must be strictly increasing (t[1] = 1 after t[0] = NaN)"),
    (dict(u=np.zeros((5, 2))), ValueError, "inputs must be len(t) x n_inputs = 5 x 1 = 5 values, got 10"),
    (dict(x0=np.array([math.inf, 0.0])), RuntimeError, "the state became non-finite at t = 0"),
])
def test_simulate_argument_errors(kwargs, exc, text):
    m = load(MSD)
    args = dict(x0=np.zeros(2), t=grid(5)) | kwargs
    with pytest.raises(exc) as e:
        m.simulate(**args)
    assert text in str(e.value)


def test_simulate_accepts_int_tolerances_and_any_layout_of_u():
    m = load(TWO_INPUTS)
    t = grid(4)
    series = np.arange(8.0).reshape(4, 2)
    base = m.simulate(np.zeros(1), t, series, method="euler", rtol=1)
    # the transposed shape with the same number of values is read row-major as (len(t), n_inputs)
    other = m.simulate(np.zeros(1), t, np.asfortranarray(series.reshape(2, 4)), method="euler")
    assert np.array_equal(base["x"], other["x"])
    strided = np.zeros((4, 4))
    strided[:, ::2] = series
    assert np.array_equal(m.simulate(np.zeros(1), t, strided[:, ::2], method="euler")["x"], base["x"])


def test_inputs_given_to_a_model_without_inputs():
    with pytest.raises(ValueError, match="the model has no inputs but inputs were given"):
        load(DECAY).simulate(np.array([1.0]), grid(3), np.zeros((3, 1)))


# ---------------------------------------------------------------- simulate: recording and counters

def test_euler_trajectory_and_counters_are_exact():
    m = load(DECAY)
    t = np.array([0.0, 0.1, 0.25, 0.7])
    res = m.simulate(np.array([2.0]), t, method="euler")
    x = 2.0
    expected = [x]
    for i in range(3):
        x = (-1.0 * x) * (t[i + 1] - t[i]) + x
        expected.append(x)
    assert res["x"][:, 0].tolist() == expected
    assert res["energy"].tolist() == [0.5 * (v * v) for v in expected]
    s = res["stats"]
    assert (s["steps"], s["rhs_evals"], s["newton_iterations"], s["jacobian_evals"], s["rejected_steps"]) == (3, 3, 0, 0, 0)


def test_rk4_counters():
    s = load(DECAY).simulate(np.array([1.0]), grid(6), method="rk4")["stats"]
    assert (s["steps"], s["rhs_evals"]) == (5, 20)


def test_midpoint_on_a_linear_model_takes_one_newton_update_per_step():
    s = load(DECAY).simulate(np.array([1.0]), grid(11))["stats"]
    assert (s["steps"], s["rhs_evals"], s["newton_iterations"], s["jacobian_evals"], s["rejected_steps"]) == (10, 30, 10, 10, 0)


@pytest.mark.parametrize("interp", ["hold", "linear"])
def test_recorded_inputs_and_the_last_grid_point(interp):
    m = load(TWO_INPUTS)
    t = grid(4)
    series = np.array([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0], [7.0, 1.0]])
    res = m.simulate(np.zeros(1), t, series, method="euler", interp=interp)
    assert np.array_equal(res["u"][:3], series[:3])
    assert np.array_equal(res["u"][3], series[2] if interp == "hold" else series[3])
    assert np.array_equal(res["outputs"][:, 0], res["u"][:, 0])


def test_linear_inputs_give_rk4_the_interval_midpoint():
    # x' = u0 with u0 linear in time: RK4 then integrates the input exactly
    m = load(TWO_INPUTS)
    t = np.array([0.0, 1.0, 3.0])
    series = np.array([[0.0, 0.0], [1.0, 0.0], [5.0, 0.0]])
    res = m.simulate(np.zeros(1), t, series, method="rk4", interp="linear")
    assert res["x"][1, 0] == pytest.approx(0.5, abs=1e-15)
    assert res["x"][2, 0] == pytest.approx(0.5 + 6.0, abs=1e-14)
    held = m.simulate(np.zeros(1), t, series, method="rk4", interp="hold")
    assert held["x"][2, 0] == pytest.approx(0.0 + 1.0 * 2.0, abs=1e-14)


# ---------------------------------------------------------------- the integrators against the mathematics

def test_midpoint_conserves_a_quadratic_energy():
    m = load(OSCILLATOR)
    res = m.simulate(np.array([1.0, 0.0]), np.linspace(0.0, 100.0, 2001))
    drift = np.max(np.abs(res["energy"] - 0.5))
    assert drift < 1e-12


@pytest.mark.parametrize("method,order", [("rk4", 4), ("euler", 1), ("midpoint", 2)])
def test_fixed_step_methods_reach_their_order(method, order):
    m = load(DECAY)
    errors = []
    for n in (20, 40, 80):
        res = m.simulate(np.array([1.0]), grid(n + 1, 2.0), method=method, newton_tol=1e-14)
        errors.append(abs(res["x"][-1, 0] - math.exp(-2.0)))
    rates = [math.log2(errors[k] / errors[k + 1]) for k in range(2)]
    assert all(abs(r - order) < 0.15 for r in rates), rates


def test_rk45_meets_its_tolerance_and_tightens_with_it():
    m = load(OSCILLATOR)
    t = np.linspace(0.0, 10.0, 11)
    errs = []
    for tol in (1e-6, 1e-9):
        res = m.simulate(np.array([1.0, 0.0]), t, method="rk45", rtol=tol, atol=tol)
        errs.append(np.max(np.abs(res["x"][:, 0] - np.cos(t))))
        assert errs[-1] < 100 * tol
    assert errs[1] < errs[0] / 100


@pytest.mark.parametrize("method,tol", [("midpoint", 1e-5), ("rk45", 1e-7), ("rk4", 1e-9)])
def test_energy_balance_of_the_damped_driven_oscillator(method, tol):
    # H(T) - H(0) = integral of supplied power - integral of c v^2, under a constant force
    m = load(MSD)
    t = np.linspace(0.0, 5.0, 5001)
    u = np.full((len(t), 1), 0.5)
    res = m.simulate(np.array([1.0, 0.0]), t, u, method=method)
    v = res["outputs"][:, 1]

    def simpson(y):
        h = t[1] - t[0]
        return float(h / 3.0 * (y[0] + y[-1] + 4.0 * np.sum(y[1:-1:2]) + 2.0 * np.sum(y[2:-1:2])))

    supplied = simpson(res["supplied_power"])
    dissipated = simpson(0.3 * v * v)
    assert supplied != 0.0
    assert res["energy"][-1] - res["energy"][0] == pytest.approx(supplied - dissipated, abs=tol)


# ---------------------------------------------------------------- threads

LONG = dict(t=np.linspace(0.0, 20.0, 200_001), method="rk4")


def test_two_simulations_run_at_the_same_time():
    m = load(OSCILLATOR)
    spans = {}
    barrier = threading.Barrier(2)

    def run(key):
        barrier.wait()
        start = time.perf_counter()
        m.simulate(np.array([1.0, 0.0]), **LONG)
        spans[key] = (start, time.perf_counter())

    threads = [threading.Thread(target=run, args=(k,)) for k in "ab"]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    (a0, a1), (b0, b1) = spans["a"], spans["b"]
    overlap = min(a1, b1) - max(a0, b0)
    assert overlap > 0.5 * min(a1 - a0, b1 - b0)


def test_params_cannot_change_under_a_running_simulation():
    m = load(DECAY)
    before = m.params
    done = threading.Event()
    refused = []

    def run():
        m.simulate(np.array([1.0]), np.linspace(0.0, 1.0, 400_001), method="rk4")
        done.set()

    th = threading.Thread(target=run)
    th.start()
    while not done.is_set():
        try:
            m.params = before
        except RuntimeError as e:
            refused.append(str(e))
    th.join()
    assert refused and set(refused) == {"Already borrowed"}
    assert np.array_equal(m.params, before)


# ---------------------------------------------------------------- tolerances


def test_bad_tolerances_are_refused_before_any_work_and_zero_keeps_its_meaning():
    m = load(MSD)
    # a non-finite state would fail the run: the tolerance must be refused first
    x_bad = np.array([math.inf, 0.0])
    entry_points = {
        "step": lambda **tol: m.step(x_bad, np.zeros(1), 0.0, 0.1, "rk45", **tol),
        "simulate": lambda **tol: m.simulate(x_bad, grid(3), method="rk45", **tol),
        "simulate_batch": lambda **tol: m.simulate_batch(np.array([x_bad]), grid(3), method="rk45", **tol),
    }
    for name, call in entry_points.items():
        for parameter in ("rtol", "atol", "newton_tol"):
            for value, shown in ((-1.0, "-1.0"), (-1e-300, "-1e-300"), (math.nan, "nan"), (math.inf, "inf"),
                                 (-math.inf, "-inf")):
                with pytest.raises(ValueError) as e:
                    call(**{parameter: value})
                assert str(e.value) == f"{parameter} must be a finite non-negative number, got {shown}", name
        with pytest.raises(OverflowError):
            call(max_newton=-1)

    x0 = np.array([1.0, 0.0])
    with pytest.raises(RuntimeError, match=r"^the error estimate became non-finite at t = "):
        m.simulate(x0, grid(3), method="rk45", rtol=0, atol=0)
    with pytest.raises(RuntimeError, match="did not converge"):
        m.simulate(x0, grid(3), method="midpoint", newton_tol=0)
