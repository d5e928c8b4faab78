"""Fits of models to measurements: known parameters recovered, standard errors that match the
spread of repeated draws, experiments run together, and refusals that name their cause."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
import sympy
import xarray as xr

import zarel
from zarel import parts

from conftest import oscillator_system

TRUE = {"k": 4.0, "c": 0.4}


def step_response(system, t, params=TRUE, x0=None):
    return zarel.simulate(system, x0 or {}, t, u={"F": 1.0}, params=params, method="dop853", rtol=1e-12,
                          atol=1e-14)


def test_recovers_known_parameters_with_standard_errors_that_match_the_spread():
    system = oscillator_system()
    t = np.linspace(0.0, 10.0, 41)
    clean = step_response(system, t).x[:, 0]
    rng = np.random.default_rng(7)
    noise = 0.01
    estimates, errors = [], []
    for _ in range(40):
        data = pd.DataFrame({"time": t, "q": clean + noise * rng.standard_normal(len(t))})
        fit = zarel.fit(system, data, ["k", "c"], u={"F": 1.0}, params={"k": 3.0, "c": 0.2}, sigma=noise,
                        positive=["k", "c"])
        assert fit.success and fit.iterations <= 20
        estimates.append([fit.values["k"], fit.values["c"]])
        errors.append([fit.standard_errors["k"], fit.standard_errors["c"]])
    estimates, errors = np.array(estimates), np.array(errors)
    truth = np.array([TRUE["k"], TRUE["c"]])
    # each draw's estimate within a few of its standard errors of the truth
    assert np.all(np.abs(estimates - truth) < 4 * errors)
    # and the standard errors are the spread of the estimates over the draws
    ratio = estimates.std(axis=0, ddof=1) / errors.mean(axis=0)
    assert np.all((0.7 < ratio) & (ratio < 1.4)), ratio


def test_experiments_run_together_with_their_own_inputs_missing_values_and_log_residuals():
    system = oscillator_system()
    t1, t2 = np.linspace(0, 6, 31), np.linspace(0, 4, 17)
    # the first experiment pushes with a step, the second lets go from a displaced start with a
    # different mass, which stays fixed
    r1 = step_response(system, t1, params={**TRUE, "m": 1.0})
    r2 = zarel.simulate(system, {"q": 0.5}, t2, params={**TRUE, "m": 2.0}, method="dop853", rtol=1e-12, atol=1e-14)
    d1 = pd.DataFrame({"q": r1.x[:, 0], "velocity": r1.output("velocity")}, index=pd.Index(t1, name="time"))
    d1.iloc[3, 0] = np.nan  # a missing value is skipped
    d2 = xr.Dataset({"q": ("time", r2.x[:, 0])}, coords={"time": t2})
    experiments = [zarel.Experiment(d1, u={"F": 1.0}, params={"m": 1.0}, name="step"),
                   zarel.Experiment(d2, x0={"q": 0.5}, params={"m": 2.0}, name="release")]
    fit = zarel.fit(system, experiments, ["k", "c"], params={"k": 3.0, "c": 0.3}, rtol=1e-11, atol=1e-13)
    assert fit.values["k"] == pytest.approx(TRUE["k"], rel=1e-6)
    assert fit.values["c"] == pytest.approx(TRUE["c"], rel=1e-6)
    assert set(fit.residuals) == {"step", "release"}
    assert math.isnan(fit.residuals["step"]["q"][3]) and not np.isnan(fit.residuals["step"]["velocity"]).any()
    assert fit.residuals["release"]["q"].shape == (17,)
    # the fitted system carries the estimates as its defaults; the fixed mass is the model's own
    assert fit.system.param_values.tolist() == [1.0, fit.values["k"], fit.values["c"]]
    table = fit.to_pandas()
    assert table.loc["k", "value"] == fit.values["k"]

    # log residuals on positive data: a decaying count and its initial value
    n, r = sympy.symbols("n r")
    decay = zarel.ODE([n], [-r * n], params={r: 0.3})
    t = np.linspace(0, 10, 11)
    counts = 1000 * np.exp(-0.3 * t)
    fit = zarel.fit(decay, pd.DataFrame({"time": t, "n": counts}), ["r", "x0.n"], x0={"n": 800}, params={"r": 0.5},
                    log_residuals=True, positive=["r", "x0.n"], method="rk45", rtol=1e-11, atol=1e-9)
    assert fit.values["r"] == pytest.approx(0.3, rel=1e-6)
    assert fit.values["x0.n"] == pytest.approx(1000, rel=1e-6)
    assert fit.x0["data"]["n"] == fit.values["x0.n"]


def test_a_parameter_the_data_cannot_determine_is_named():
    q = sympy.Symbol("q")
    k1, k2, c = sympy.symbols("k1 k2 c")
    model = zarel.ODE([q], [-(k1 * k2) * q + c], params={k1: 1.0, k2: 2.0, c: 0.0})
    t = np.linspace(0, 2, 11)
    data = pd.DataFrame({"time": t, "q": np.exp(-2 * t)})
    with pytest.warns(zarel.FitWarning, match="cannot tell"):
        fit = zarel.fit(model, data, ["k1", "k2"], x0={"q": 1.0}, params={"k1": 1.5})
    assert set(fit.unidentifiable) == {"k1", "k2"}
    assert math.isinf(fit.standard_errors["k1"]) and "k1" in str(fit)
    # a quantity the data do not depend on at all
    a = sympy.Symbol("a")
    unused = zarel.ODE([q], [-2 * q], params={a: 1.0})
    with pytest.warns(zarel.FitWarning, match="the data do not depend on a"):
        fit = zarel.fit(unused, data, ["a", "x0.q"], x0={"q": 2.0}, method="rk45")
    assert fit.unidentifiable == ("a",)
    assert fit.values["x0.q"] == pytest.approx(1.0, rel=1e-3)


def test_a_model_built_from_parts_fitted_and_plotted(tmp_path):
    motor = zarel.connect({"motor": parts.dc_motor(R=2.0, L=0.5, K=0.8, J_r=0.2, b=0.1),
                           "load": parts.mass(m=0.5, b=0.2, ports=("shaft", "torque"))},
                          [("motor.torque", "load.shaft")], name="drive")
    t = np.linspace(0, 3, 31)
    truth = {"motor.R": 2.0, "motor.K": 0.8}
    run = zarel.simulate(motor, {}, t, u={"motor.V": 12.0}, params=truth, method="dop853", rtol=1e-12, atol=1e-14)
    data = pd.DataFrame({"time": t, "motor.current": run.output("motor.current"),
                         "motor.speed": run.output("motor.speed")})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fit = zarel.fit(motor, data, ["motor.R", "motor.K"], u={"motor.V": 12.0},
                        params={"motor.R": 3.0, "motor.K": 0.5}, positive=["motor.R", "motor.K"], rtol=1e-11)
    for name, value in truth.items():
        assert fit.values[name] == pytest.approx(value, rel=1e-6)
    refit = zarel.simulate(fit.system, {}, t, u={"motor.V": 12.0}, method="dop853", rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(refit.output("motor.speed"), data["motor.speed"], rtol=1e-6, atol=1e-9)
    fit.plot(tmp_path / "fit.png")
    assert (tmp_path / "fit.png").stat().st_size > 0


def _data(t=np.linspace(0, 1, 5)):
    return pd.DataFrame({"time": t, "q": np.cos(t)})


@pytest.mark.parametrize("data, kwargs, message", [
    (_data().assign(z=1.0), {}, r"the column 'z' names no state or output of the model; states are: q, p"),
    (_data().assign(F=1.0), {}, r"the column 'F' is an input of the model; give it as u"),
    (_data(), {"fit": ["q"]}, r"fit: 'q' is neither a parameter nor an initial state"),
    (_data(np.linspace(0, 1, 2)), {"fit": ["k", "c", "m"]}, "the data hold 2 measured values for 3 fitted quantities"),
    (_data(), {"bounds": {"k": (0.0, 1.0)}}, r"bounds: k's bounds \[0, 1\] exclude its start 4"),
    (_data(), {"bounds": {"m": (0.0, 1.0)}}, r"bounds: 'm' is not fitted"),
    (_data(), {"params": {"k": -1.0}, "positive": ["k"]}, "positive: k starts at -1"),
    (_data(np.array([0.0, 0.5, 0.5])), {}, "the times must be finite and strictly increasing"),
    (_data(), {"sigma": {"q": 0.0}}, "every noise level must be a positive finite number"),
    (_data().assign(q=[1.0, 0.5, 0.0, 0.2, 0.1]), {"log_residuals": True}, "log residuals need positive measurements"),
    (_data(), {"optimizer": "lm", "bounds": {"k": (0, 10)}}, "takes no bounds"),
    (_data(), {"method": "rk5"}, "unknown method 'rk5'; methods are: euler, rk4"),
    (_data(), {"u": np.ones(3)}, r"u must have shape \(len\(t\), n_inputs\) = \(5, 1\)"),
    # a run that fails: the start is refused by the Newton iteration, named with the parameters
    (_data(), {"params": {"m": 1e-300}, "method": "midpoint"}, r"the run of the model failed during the fit, at k=4, c=0.4"),
])
def test_bad_input_is_refused_naming_the_cause(data, kwargs, message):
    kwargs = {"fit": ["k", "c"], **kwargs}
    with pytest.raises(ValueError, match=message):
        zarel.fit(oscillator_system(), data, x0={"q": 1.0}, **kwargs)
