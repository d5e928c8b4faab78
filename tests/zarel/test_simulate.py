"""zarel.simulate on the package's own compiled module: one compiled model per System, parameters per
call from many threads, rk45 reporting on the grid, inputs exact as expressions, bad tolerances refused."""

import pickle
import threading

import numpy as np
import pytest
import sympy

import zarel
import zarel_engine


def driven_oscillator():
    """q' = p, p' = F - k q - c p: linear, so the response to a sinusoidal force has a closed form."""
    q, p, F = sympy.symbols("q p F")
    k, c = sympy.symbols("k c", positive=True)
    return zarel.PortHamiltonian([q, p], H=p**2 / 2 + k * q**2 / 2, J=[[0, 1], [-1, 0]], R=[[0, 0], [0, c]],
                                 G=[0, 1], inputs=[F], params={k: 4.0, c: 0.5}, name="driven")


def pendulum():
    th, L = sympy.symbols("theta L")
    return zarel.PortHamiltonian([th, L], H=L**2 / 2 + 3 * (1 - sympy.cos(th)), J=[[0, 1], [-1, 0]],
                                 name="pendulum")


def test_a_system_compiles_once_and_runs_from_many_threads_with_its_own_parameters(tmp_path, monkeypatch):
    system = driven_oscillator()
    system.to_json(tmp_path / "driven.json")
    compiled = []
    engine_model = zarel_engine.Model
    monkeypatch.setattr(zarel_engine, "Model", lambda text: compiled.append(text) or engine_model(text))
    loaded = zarel.load(tmp_path / "driven.json")
    loaded.model()
    monkeypatch.undo()
    assert len(compiled) == 1
    assert loaded.model() is loaded.model() and system.model() is system.model()
    # a copy (as a Dask worker receives it) compiles its own, once
    copy = pickle.loads(pickle.dumps(system))
    assert copy.model() is copy.model() and copy.model() is not system.model()

    t = np.linspace(0.0, 5.0, 51)
    cases = [([1.0 + i, 0.1 * i], [1.0, -0.2 * i]) for i in range(8)]
    for target in (system, zarel_engine.Model(system.json())):
        own = target.model().params.copy() if isinstance(target, zarel.System) else target.params.copy()
        sequential = [zarel.simulate(target, x0, t, np.cos(t), params=p, method=method,
                                     grid_steps=method == "midpoint")
                      for (p, x0) in cases for method in ("midpoint", "rk45")]
        results = [None] * len(sequential)
        start = threading.Barrier(8)

        def work(i):
            start.wait()
            for r in range(20):  # many calls overlap in the engine
                p, x0 = cases[i]
                for j, method in enumerate(("midpoint", "rk45")):
                    results[2 * i + j] = zarel.simulate(target, x0, t, np.cos(t), params=p,
                                                        method=method, grid_steps=method == "midpoint")

        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        for a, b in zip(sequential, results):
            assert np.array_equal(a.x, b.x) and np.array_equal(a.energy, b.energy)
            assert np.array_equal(a.params, b.params)
        assert not np.array_equal(sequential[0].x, sequential[2].x)
        model = target.model() if isinstance(target, zarel.System) else target
        np.testing.assert_array_equal(model.params, own)
        # the certificate of a run uses the run's parameters, and leaves the model as it was too
        assert sequential[2].balance().max_residual < 1e-12
        np.testing.assert_array_equal(model.params, own)


def test_rk45_reports_on_the_grid_or_steps_on_it():
    system = pendulum()
    reference = None
    for points in (101, 10001):
        t = np.linspace(0.0, 10.0, points)
        dense = zarel.simulate(system, {"theta": 2.5}, t, method="rk45", rtol=1e-10, atol=1e-12)
        stepped = zarel.simulate(system, {"theta": 2.5}, t, method="rk45", rtol=1e-10, atol=1e-12, grid_steps=True)
        model_run = system.model().simulate(np.array([2.5, 0.0]), t, method="rk45", rtol=1e-10, atol=1e-12)
        for key in ("x", "energy", "u", "outputs", "supplied_power"):
            assert np.array_equal(getattr(stepped, key), model_run[key]), key
        assert stepped.stats == model_run["stats"]
        if reference is None:
            reference = dense
            tight = system.model().simulate(np.array([2.5, 0.0]), t, method="rk45", rtol=1e-13, atol=1e-14)
            assert np.max(np.abs(dense.x - tight["x"])) < 1e-8
        else:
            # a grid 100 times finer costs the same steps, and agrees where the grids meet
            assert dense.stats["rhs_evals"] == reference.stats["rhs_evals"]
            assert stepped.stats["rhs_evals"] > 10 * dense.stats["rhs_evals"]
            assert np.max(np.abs(dense.x[::100] - reference.x)) < 1e-8


def test_dop853_reports_on_the_grid_and_nonstiff_takes_the_pair_that_suits_the_tolerance():
    system = pendulum()
    x0 = np.array([2.5, 0.0])
    t = np.linspace(0.0, 10.0, 201)
    tight = system.model().simulate(x0, t, method="rk45", rtol=1e-13, atol=1e-14)["x"]
    for rtol in (1e-6, 1e-10):
        dense = zarel.simulate(system, x0, t, method="dop853", rtol=rtol, atol=rtol / 100)
        stepped = zarel.simulate(system, x0, t, method="dop853", rtol=rtol, atol=rtol / 100, grid_steps=True)
        assert dense.method == dense.stats["method"] == "dop853"
        assert np.max(np.abs(dense.x - tight)) < 100 * rtol and np.max(np.abs(stepped.x - tight)) < 100 * rtol
        assert stepped.stats["steps"] >= 200 > dense.stats["steps"]
    rk45 = zarel.simulate(system, x0, t, method="rk45", rtol=1e-10, atol=1e-12)
    assert 2 * dense.stats["rhs_evals"] < rk45.stats["rhs_evals"]
    for rtol, picked in ((1e-4, "rk45"), (1e-6, "rk45"), (1e-7, "dop853"), (np.array(1e-7), "dop853")):
        run = zarel.simulate(system, x0, t, method="nonstiff", rtol=rtol)
        assert run.method == picked
        assert np.array_equal(run.x, zarel.simulate(system, x0, t, method=picked, rtol=rtol).x)
    # the engine's own methods stay what they were
    with pytest.raises(ValueError, match='unknown solver "dop853"; choose euler, rk4, rk45 or midpoint'):
        system.model().simulate(x0, t, method="dop853")
    with pytest.raises(ValueError, match='unknown solver "dop85"; choose euler, rk4, rk45, dop853, rodas5p, gauss4 '
                                         'or midpoint'):
        zarel.simulate(system, x0, t, method="dop85")
    # a tolerance that is not a number is refused by the engine's message, not by the picking
    refusals = []
    for method in ("nonstiff", "rk45"):
        with pytest.raises((TypeError, ValueError)) as refused:
            zarel.simulate(system, x0, t, method=method, rtol="x")
        refusals.append((refused.type, str(refused.value)))
    assert refusals[0] == refusals[1] and "rtol" in refusals[0][1]


def stiff_circuit():
    """Two RC stages, time constants 1e-6 and 1: a fast capacitor voltage follows the source v,
    a slow one follows the fast one (q1' = (v - q1 / C1) / (R1 C1)... written on the voltages)."""
    v1, v2, v = sympy.symbols("v1 v2 v")
    tau = sympy.Symbol("tau", positive=True)
    return zarel.ODE([v1, v2], [(v - v1) / tau, v1 - v2], inputs=[v], params={tau: 1e-6}, name="stiff")


def test_the_stiff_method_takes_few_steps_where_explicit_pairs_need_millions():
    system = stiff_circuit()
    t = np.linspace(0.0, 5.0, 51)
    u = {"v": sympy.sin(2 * zarel.t) + 1}
    # the reference: SciPy's Radau at a tight tolerance on the same equations
    from scipy.integrate import solve_ivp
    ref = solve_ivp(lambda s, x: [(np.sin(2 * s) + 1 - x[0]) / 1e-6, x[0] - x[1]], (0.0, 5.0), [0.0, 0.0],
                    method="Radau", t_eval=t, rtol=1e-13, atol=1e-15,
                    jac=lambda s, x: [[-1e6, 0.0], [1.0, -1.0]]).y.T
    for rtol in (1e-5, 1e-9):
        run = zarel.simulate(system, [0.0, 0.0], t, u, method="stiff", rtol=rtol, atol=rtol)
        assert run.method == "rodas5p" and np.array_equal(
            run.x, zarel.simulate(system, [0.0, 0.0], t, u, method="rodas5p", rtol=rtol, atol=rtol).x)
        assert np.max(np.abs(run.x - ref)) < 30 * rtol
        # an explicit pair's stability alone would take 5 / 3.3e-6 ~ 1.5e6 steps
        assert run.stats["steps"] < 2000 and run.stats["jacobian_evals"] == run.stats["steps"]
        stepped = zarel.simulate(system, [0.0, 0.0], t, u, method="rodas5p", rtol=rtol, atol=rtol, grid_steps=True)
        assert stepped.stats["steps"] >= 50 and np.max(np.abs(stepped.x - ref)) < 30 * rtol


def test_expression_inputs_are_exact_and_functions_are_sampled():
    system = driven_oscillator()
    t = np.linspace(0.0, 6.0, 61)
    w, k, c = 3.0, 4.0, 0.5
    # the closed-form response of q'' + c q' + k q = sin(w t) from rest
    s = sympy.Symbol("s", real=True)
    q = sympy.Function("q")
    ode = sympy.Eq(q(s).diff(s, 2) + sympy.Rational(1, 2) * q(s).diff(s) + 4 * q(s), sympy.sin(3 * s))
    exact_q = sympy.dsolve(ode, q(s), ics={q(0): 0, q(s).diff(s).subs(s, 0): 0}).rhs
    expected = np.array([float(exact_q.subs(s, sympy.Float(v, 30)).evalf(30)) for v in t])

    force = sympy.sin(w * zarel.t)
    runs = {
        "expression": zarel.simulate(system, {}, t, {"F": force}, method="rk45", rtol=1e-12, atol=1e-14),
        "one input": zarel.simulate(system, {}, t, force, method="rk45", rtol=1e-12, atol=1e-14),
        "function": zarel.simulate(system, {}, t, lambda v: np.sin(w * v), method="rk45", rtol=1e-12, atol=1e-14),
    }
    assert np.max(np.abs(runs["expression"].x[:, 0] - expected)) < 1e-10
    assert np.array_equal(runs["expression"].x, runs["one input"].x)
    # a function is sampled and interpolated linearly between grid points: far from exact
    assert runs["function"].interp == "linear"
    assert np.max(np.abs(runs["function"].x[:, 0] - expected)) > 1e-4
    # the recorded input and supplied power are those of the exact input
    exact = runs["expression"]
    np.testing.assert_allclose(exact.u[:, 0], np.sin(w * t), rtol=0, atol=4e-16)
    np.testing.assert_allclose(exact.supplied_power, np.sin(w * t) * exact.x[:, 1], rtol=0, atol=1e-15)
    # the expressions compile once per System
    assert zarel.simulate(system, {}, t, {"F": force}, method="rk45").model is exact.model
    with pytest.raises(ValueError, match="time .*only, not on z"):
        zarel.simulate(system, {}, t, {"F": force + sympy.Symbol("z")})
    with pytest.raises(TypeError, match="need a zarel.System"):
        zarel.simulate(system.model(), {}, t, {"u0": force})
    # a function for one input is not sampled by guess: the message says what to pass instead
    with pytest.raises(TypeError, match="input 'F' is a function; .* pass u itself as a function of time"):
        zarel.simulate(system, {}, t, {"F": lambda v: np.sin(w * v)})


def test_the_certificate_of_rk45_measures_its_error():
    th, L, tau = sympy.symbols("theta L tau")
    system = zarel.PortHamiltonian([th, L], H=L**2 / 2 + 3 * (1 - sympy.cos(th)), J=[[0, 1], [-1, 0]],
                                   R=[[0, 0], [0, 0.2]], G=[0, 1], inputs=[tau], name="driven pendulum")
    t = np.linspace(0.0, 10.0, 10001)  # fine enough that the quadrature's error is far below the method's
    torque = {"tau": sympy.cos(1.3 * zarel.t)}
    tight = zarel.simulate(system, {"theta": 2.5}, t, torque, method="rk45", rtol=1e-13, atol=1e-15)
    residuals = []
    for rtol in (1e-6, 1e-10):
        run = zarel.simulate(system, {"theta": 2.5}, t, torque, method="rk45", rtol=rtol, atol=rtol * 1e-2)
        balance = run.balance()
        assert abs(balance.total_supplied) > 0.1 and balance.total_dissipated > 0.1
        # the energy error of the run bounds what the method can miss of the balance
        true_error = np.max(np.abs(run.energy - tight.energy))
        residual = abs(balance.total_residual)
        assert residual < 10 * true_error, (rtol, residual, true_error)
        residuals.append(residual)
    # the residual follows the tolerance: it is the method's, not the quadrature's
    assert residuals[1] < 1e-3 * residuals[0]
    assert residuals[1] < 1e-8


def test_bad_tolerances_are_refused_by_name():
    system = driven_oscillator()
    t = np.linspace(0.0, 1.0, 11)
    for name in ("rtol", "atol", "newton_tol"):
        for value in (-1.0, float("nan"), float("inf")):
            with pytest.raises(ValueError, match=name):
                zarel.simulate(system, {}, t, method="rk45", **{name: value})
            with pytest.raises(ValueError, match=name):
                zarel.sweep(system, t, params={"k": [1.0, 2.0]}, progress=False, **{name: value})


def test_a_grid_with_a_non_finite_time_is_refused_by_its_index():
    system = driven_oscillator()
    for bad in (float("inf"), float("nan")):
        t = np.array([0.0, 0.5, bad])
        with pytest.raises(ValueError, match=f"the time grid holds {bad} at index 2"):
            zarel.simulate(system, {}, t)
        with pytest.raises(ValueError, match=f"the time grid holds {bad} at index 2"):
            zarel.sweep(system, t, params={"k": [1.0, 2.0]}, progress=False)


def test_a_name_given_twice_is_refused_not_overwritten():
    system = driven_oscillator()
    q, p = system.states
    F, = system.inputs
    k = next(s for s in system.params if s.name == "k")
    t = np.linspace(0.0, 1.0, 11)
    for kwargs, message in (
            (dict(u={F: 1.0, "F": 2.0}), r"^u gives the input 'F' twice \(as F and as 'F'\); give each name once$"),
            (dict(u={"F": zarel.t, F: 2.0}), r"^u gives the input 'F' twice \(as 'F' and as F\)"),
            (dict(x0={q: 1.0, "q": 2.0}), r"^x0 gives the state 'q' twice \(as q and as 'q'\)"),
            (dict(params={"k": 1.0, k: 2.0}), r"^params gives the parameter 'k' twice \(as 'k' and as k\)")):
        kwargs.setdefault("x0", {})
        with pytest.raises(ValueError, match=message):
            zarel.simulate(system, t=t, **kwargs)


def test_non_finite_start_values_and_parameters_are_refused_by_name():
    system = driven_oscillator()
    t = np.linspace(0.0, 1.0, 11)
    for kwargs, message in (
            (dict(x0={"p": float("nan")}), r"^x0: the state 'p' is nan; give a finite number$"),
            (dict(x0=[0.0, float("inf")]), r"^x0: the state 'p' is inf; give a finite number$"),
            (dict(x0={}, params={"c": float("inf")}), r"^params: the parameter 'c' is inf; give a finite number$"),
            (dict(x0={}, params=[float("nan"), 0.5]), r"^params: the parameter 'k' is nan; give a finite number$")):
        with pytest.raises(ValueError, match=message):
            zarel.simulate(system, t=t, **kwargs)


def test_max_newton_out_of_range_is_refused_by_name():
    system = driven_oscillator()
    t = np.linspace(0.0, 1.0, 11)
    for value in (-3, 10**30):
        message = rf"^max_newton must be a whole number from 0 to 18446744073709551615, got {value}$"
        with pytest.raises(ValueError, match=message):
            zarel.simulate(system, {}, t, max_newton=value)
        with pytest.raises(ValueError, match=message):
            zarel.sweep(system, t, params={"k": [1.0, 2.0]}, max_newton=value, progress=False)


def test_an_explicit_pair_that_fails_is_named_not_called_implicit():
    x = sympy.Symbol("x")
    jump = zarel.ODE([x], [sympy.Piecewise((0, zarel.t < 0.5), (1e300, True))])
    t = np.linspace(0.0, 1.0, 3)
    for method in ("rk45", "dop853"):
        with pytest.raises(RuntimeError, match=rf"^the {method} step at t = 0\.4999\d* failed: the adaptive step "
                                               r"collapsed; the right-hand side may be discontinuous or stiff$"):
            zarel.simulate(jump, [0.0], t, method=method)
    status = zarel.sweep(jump, t, x0={"x": [0.0, 0.0]}, method="rk45", progress=False)["status"].values
    assert all(s.startswith("the rk45 step at t = 0.4999") for s in status)
    # the engine's own model keeps the engine's one wording for every failed step
    with pytest.raises(RuntimeError, match=r"^the implicit step at t = 0\.4999\d* did not converge: the adaptive"):
        zarel_engine.Model(jump.json()).simulate(np.array([0.0]), t, method="rk45")


def test_midpoint_and_gauss4_choose_their_steps_unless_grid_steps():
    system = pendulum()
    t = np.linspace(0.0, 20.0, 20001)
    x0 = np.array([2.5, 0.0])
    tight = system.model().simulate(x0, t, method="rk45", rtol=1e-13, atol=1e-14)
    for method in ("midpoint", "gauss4"):
        own = zarel.simulate(system, x0, t, method=method, rtol=1e-6, atol=1e-9)
        # a smooth run on a long grid: far fewer steps than intervals, the points from the interpolant
        assert own.stats["steps"] < (len(t) - 1) / (10 if method == "midpoint" else 100), own.stats
        assert own.stats["rejected_steps"] < own.stats["steps"]
        if method == "midpoint":  # the default
            default = zarel.simulate(system, x0, t, rtol=1e-6, atol=1e-9)
            assert np.array_equal(default.x, own.x) and default.stats == own.stats
        assert np.max(np.abs(own.x - tight["x"])) < 1e-6 * own.stats["steps"]
        stepped = zarel.simulate(system, x0, t, method=method, rtol=1e-6, atol=1e-9, grid_steps=True)
        assert stepped.stats["steps"] == len(t) - 1
        assert np.max(np.abs(stepped.x - tight["x"])) < 1e-3
    # on the grid, midpoint is the engine's method, bit for bit
    stepped = zarel.simulate(system, x0, t, method="midpoint", grid_steps=True)
    engine = system.model().simulate(x0, t, method="midpoint")
    for key in ("x", "energy", "u", "outputs", "supplied_power"):
        assert np.array_equal(getattr(stepped, key), engine[key]), key
    assert stepped.stats == engine["stats"]
    # the engine's own model keeps its grid steps and has no gauss4
    with pytest.raises(ValueError, match='unknown solver "gauss4"'):
        system.model().simulate(x0, t, method="gauss4")


def test_a_circuit_in_si_units_runs_at_tight_tolerances_on_its_nanosecond_span():
    # 1 pF and 1 nH: a period of 0.2 ns, charges near 1e-12; steps of 1e-14 s are no collapse
    q, phi = sympy.symbols("q phi")
    lc = zarel.PortHamiltonian([q, phi], H=q**2 / 2e-12 + phi**2 / 2e-9, J=[[0, 1], [-1, 0]], name="lc")
    omega = 1 / np.sqrt(1e-21)
    t = np.linspace(0.0, 10 * 2 * np.pi / omega, 201)
    scale = np.array([1e-12, 1e-12 * 1e-9 * omega])
    exact = scale * np.column_stack([np.cos(omega * t), -np.sin(omega * t)])
    for method, rtol in (("midpoint", 1e-12), ("gauss4", 1e-12), ("rk45", 1e-12), ("rodas5p", 1e-11)):
        run = zarel.simulate(lc, [1e-12, 0.0], t, method=method, rtol=rtol, atol=rtol * 1e-14)
        assert np.max(np.abs(run.x - exact) / scale) < 1e-6, method
        if method in ("midpoint", "gauss4"):
            assert np.max(np.abs(run.energy / run.energy[0] - 1.0)) < 1e-12, method
