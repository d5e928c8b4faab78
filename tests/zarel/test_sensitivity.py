"""Forward sensitivities: the tree derivatives, the variational equations under every method, and
what a run with sensitivities reports."""

import json

import numpy as np
import pytest
import sympy

import zarel
import zarel_engine
from zarel import _engine, parts
from zarel.derivative import derivative

from conftest import OSCILLATOR_DOC


def _point_model(trees):
    """One state x (slot 0), one parameter a (slot 1), t (slot 2); the trees are the rhs."""
    doc = {"n_states": len(trees), "n_inputs": 0, "n_params": 1, "param_values": [0.7], "rhs": trees}
    return zarel_engine.Model(json.dumps(doc))


X, A = ["ref", 0], ["ref", 1]
# every operator the engine knows, each reading x in a way its rule must follow
TREES = {
    "neg sqrt exp log": ["neg", ["sqrt", ["exp", ["log", ["add", X, ["const", 3.0]]]]]],
    "abs sign": ["mul", ["abs", ["sub", X, A]], ["sign", X]],
    "tanh sin cos": ["tanh", ["mul", ["sin", X], ["cos", ["mul", A, X]]]],
    "div": ["div", ["mul", A, X], ["add", ["mul", X, X], ["const", 1.0]]],
    "pow": ["add", ["pow", ["add", X, ["const", 2.0]], ["const", 3.5]], ["pow", ["add", X, ["const", 2.0]], A]],
    "max min": ["add", ["max", ["mul", X, X], A], ["min", ["sin", X], ["mul", A, X]]],
    "gt where": ["where", ["gt", X, A], ["mul", X, X], ["exp", X]],
    "pw": ["pw", ["mul", A, X], [-1.0, 0.0, 1.0, 2.0], [[0.5, 1.0, -2.0], [1.0, 0.25, 3.0], [2.0, -1.0, 0.5]]],
}


@pytest.mark.parametrize("name", TREES)
def test_every_operator_differentiates_as_central_differences(name):
    tree = TREES[name]
    model = _point_model([tree])
    by_x, by_a = _point_model([derivative(tree, 0)]), _point_model([derivative(tree, 1)])
    h = 1e-6
    for x, a in [(0.3, 0.7), (-0.8, 0.7), (1.4, 1.9), (0.6, -0.5)]:
        def f(x, a):
            return _engine.evaluate(model, "rhs", np.array([[x]]), params=np.array([a]))[0, 0]

        for d, exact in ((lambda: (f(x + h, a) - f(x - h, a)) / (2 * h), by_x),
                         (lambda: (f(x, a + h) - f(x, a - h)) / (2 * h), by_a)):
            value = _engine.evaluate(exact, "rhs", np.array([[x]]), params=np.array([a]))[0, 0]
            assert value == pytest.approx(d(), rel=1e-6, abs=1e-8), (name, x, a)


def duffing():
    """A nonlinear port-Hamiltonian oscillator driven by a force F."""
    q, p, F = sympy.symbols("q p F")
    k, k3, c, m = sympy.symbols("k k3 c m", positive=True)
    return zarel.PortHamiltonian(
        [q, p], H=p**2 / (2 * m) + k * q**2 / 2 + k3 * q**4 / 4, J=[[0, 1], [-1, 0]], R=[[0, 0], [0, c]], G=[0, 1],
        inputs=[F], params={k: 2.0, k3: 0.5, c: 0.3, m: 1.5}, outputs={"speed": p / m}, name="duffing")


def motor_and_load():
    return zarel.connect({"motor": parts.dc_motor(R=2.0, L=0.5, K=0.8, J_r=0.2, b=0.1),
                          "shaft": parts.spring(k=5.0, k3=2.0), "load": parts.mass(m=0.5, b=0.2,
                                                                                   ports=("shaft", "torque"))},
                         [("motor.torque", "shaft.b"), ("load.shaft", "shaft.a")], name="drive")


def _central(system, x0, t, wrt, run, h=1e-5):
    """d(states, outputs)/d wrt by central differences of runs."""
    def shifted(sign):
        x = dict(x0)
        params = dict(zip(system.param_names, system.param_values))
        if wrt.startswith("x0."):
            x[wrt[3:]] = x.get(wrt[3:], 0.0) + sign * h
        else:
            params[wrt] += sign * h
        r = run(x, params)
        return np.column_stack([r.x, r.outputs])

    return (shifted(1) - shifted(-1)) / (2 * h)


METHODS = ["euler", "rk4", "rk45", "dop853", "rodas5p", "midpoint", "gauss4"]
EXPLICIT = {"euler", "rk4", "rk45", "dop853"}


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case", ["duffing, input expression", "composite, sampled input"])
def test_sensitivities_agree_with_central_differences(method, case):
    fine = method in ("euler", "rk4")
    t = np.linspace(0.0, 3.0, 3001 if fine else 31)
    if case.startswith("duffing"):
        system, x0 = duffing(), {"q": 1.0, "p": -0.2}
        u = {"F": sympy.sin(2 * zarel.t)}
        wrt = ["k", "k3", "c", "x0.q"]
    else:
        system, x0 = motor_and_load(), {"motor.p": 0.1}
        u = {"motor.V": np.where(t > 0.5, 12.0, 0.0), "load.torque": np.cos(t)}
        wrt = ["motor.R", "motor.K", "shaft.k3", "x0.motor.p"]
    options = dict(u=u, method=method, rtol=1e-11, atol=1e-12)

    def run(x, params):
        return zarel.simulate(system, x, t, params=params, **options)

    with_sens = zarel.simulate(system, x0, t, sensitivities=wrt, **options)
    plain = run(x0, None)
    if method in EXPLICIT:
        # the error control covers the states alone: the same steps, the same states and outputs
        np.testing.assert_array_equal(with_sens.x, plain.x)
        np.testing.assert_array_equal(with_sens.outputs, plain.outputs)
        np.testing.assert_array_equal(with_sens.energy, plain.energy)
        np.testing.assert_array_equal(with_sens.supplied_power, plain.supplied_power)
        assert with_sens.stats["steps"] == plain.stats["steps"]
    else:
        np.testing.assert_allclose(with_sens.x, plain.x, rtol=1e-8, atol=1e-9)
    for k, name in enumerate(wrt):
        expected = _central(system, x0, t, name, run)
        got = with_sens.sensitivities[:, :, k]
        scale = np.max(np.abs(expected), axis=0)
        assert np.all(np.abs(got - expected) <= 1e-6 * scale + 1e-9), (name, np.max(np.abs(got - expected) / scale))


def test_what_a_run_with_sensitivities_reports():
    system = duffing()
    t = np.linspace(0, 1, 11)
    r = zarel.simulate(system, {"q": 1.0}, t, method="rk45", sensitivities=["c", "x0.q"])
    assert r.sensitivity_names == ("c", "x0.q")
    assert r.sensitivities.shape == (11, 4, 2)  # q, p, speed, dissipated_power by c, x0.q
    np.testing.assert_array_equal(r.sensitivity("speed", "x0.q"), r.sensitivities[:, 2, 1])
    np.testing.assert_array_equal(r.sensitivity("p"), r.sensitivities[:, 1, :])
    # at the start: nothing by a parameter, the unit vector by an initial state
    np.testing.assert_array_equal(r.sensitivities[0, :2], [[0.0, 1.0], [0.0, 0.0]])
    ds = r.to_xarray()
    assert list(ds["parameter"].values) == ["c", "x0.q"]
    assert ds["sensitivity_q"].dims == ("time", "parameter")
    np.testing.assert_array_equal(ds["sensitivity_speed"].values, r.sensitivities[:, 2, :])
    # the balance of a run with sensitivities is the plain run's
    plain = zarel.simulate(system, {"q": 1.0}, t, method="rk45")
    np.testing.assert_array_equal(r.balance().residual, plain.balance().residual)
    with pytest.raises(KeyError, match="no sensitivity with respect to 'k'"):
        r.sensitivity("q", "k")
    with pytest.raises(KeyError, match="no state or recorded output 'F'"):
        r.sensitivity("F")
    with pytest.raises(ValueError, match="the run has no sensitivities"):
        plain.sensitivity("q")


@pytest.mark.parametrize("given, kwargs, message", [
    (["q"], {}, r"'q' is neither a parameter nor an initial state; parameters are: k, k3, c, m; initial states are: "
                r"x0.q, x0.p"),
    (["k", "k"], {}, "'k' is given twice"),
    ([], {}, "name at least one parameter or initial state"),
    (["k"], {"method": "discrete_gradient"}, "the discrete gradient method does not run them"),
])
def test_sensitivities_refused_name_the_cause(given, kwargs, message):
    with pytest.raises(ValueError, match=message):
        zarel.simulate(duffing(), {"q": 1.0}, [0.0, 1.0], sensitivities=given, **kwargs)


def test_a_loaded_document_and_a_bare_model():
    # a document loaded from JSON is differentiated through its trees as well
    system = zarel.load(json.dumps(OSCILLATOR_DOC))
    t = np.linspace(0, 2, 21)
    r = zarel.simulate(system, {"q": 1.0}, t, method="dop853", rtol=1e-12, atol=1e-14, sensitivities=["k"])
    # q'' = -k q / m - c q' / m; the sensitivity of q by k against the run's own central differences
    expected = _central(system, {"q": 1.0}, t, "k",
                        lambda x, p: zarel.simulate(system, x, t, params=p, method="dop853", rtol=1e-12, atol=1e-14))
    np.testing.assert_allclose(r.sensitivity("q", "k"), expected[:, 0], rtol=1e-6, atol=1e-9)
    with pytest.raises(TypeError, match="sensitivities need a zarel.System"):
        zarel.simulate(system.model(), [1.0, 0.0], t, sensitivities=["p0"])


@pytest.mark.parametrize("method", ["rk45", "dop853", "rodas5p", "midpoint", "gauss4"])
def test_the_augmented_model_in_lanes_is_each_run_alone(method):
    # runs of the augmented model in a batch (lanes) take the steps the states choose, as alone
    from zarel.sensitivity import augmented, quantities

    system = duffing()
    aug = augmented(system, None, quantities(system.signature, ["k", "c", "x0.q"]))
    t = np.linspace(0.0, 2.0, 11)
    starts = np.array([aug.start(np.array([v, 0.1])) for v in (0.5, 1.0, 1.5, 2.0, 2.5)])
    params = np.tile(system.param_values, (5, 1))
    params[:, 0] = [1.0, 2.0, 3.0, 4.0, 5.0]
    x = _engine.empty(5, len(t), starts.shape[1])
    options = dict(method=method, rtol=1e-9, atol=1e-11, dense=True, error_states=2)
    assert _engine.simulate_batch(aug.model, starts, t, params=params, x=x, **options) == [None] * 5
    for i in range(5):
        alone = _engine.simulate(aug.model, starts[i], t, params=params[i], **options)
        np.testing.assert_array_equal(x[i], alone["x"])
    # and the error control did leave the sensitivities out: all of them controlled takes other steps
    covered = _engine.simulate(aug.model, starts[0], t, params=params[0], **{**options, "error_states": None})
    assert covered["stats"]["steps"] != _engine.simulate(aug.model, starts[0], t, params=params[0],
                                                         **options)["stats"]["steps"]
