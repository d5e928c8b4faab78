"""zarel.simulate, its labelled results and the energy-balance certificate."""

import numpy as np
import pytest
import sympy

import zarel

EPS = np.finfo(float).eps


def oscillator():
    """Damped mass-spring driven by a force and a moving wall: linear, quadratic H, two ports."""
    q, p, F, v = sympy.symbols("q p F v")
    m, k, c = sympy.symbols("m k c", positive=True)
    return zarel.PortHamiltonian(
        [q, p], H=p**2 / (2 * m) + k * q**2 / 2, J=[[0, 1], [-1, 0]], R=[[0, 0], [0, c]],
        G=[[1, 0], [0, 1]], inputs=[v, F], params={m: 1.5, k: 4.0, c: 0.3},
        outputs={"position": q}, name="oscillator")


def pendulum():
    """Damped pendulum driven by a torque: H is not quadratic and R depends on the state."""
    th, L, tau = sympy.symbols("theta L tau")
    c = sympy.Symbol("c", positive=True)
    return zarel.PortHamiltonian(
        [th, L], H=L**2 / 2 + 3 * (1 - sympy.cos(th)), J=[[0, 1], [-1, 0]],
        R=[[0, 0], [0, c * (1 + th**2)]], G=[[0], [1]], inputs=[tau], params={c: 0.2}, name="pendulum")


def test_midpoint_certificate_is_round_off_for_a_linear_system():
    system = oscillator()
    t = np.linspace(0.0, 8.0, 161)
    u = {"F": np.sin(2.0 * t), "v": 0.3 * np.cos(t)}
    for interp in ("hold", "linear"):
        for params in (None, {"c": 1.2, "m": 0.7}):
            res = zarel.simulate(system, {"q": 1.0, "p": -0.5}, t, u, params=params, interp=interp, grid_steps=True)
            bal = res.balance()
            assert res.stats["rejected_steps"] == 0
            assert bal.dissipation_known and bal.total_dissipated > 0.1
            assert abs(bal.total_supplied) > 0.1
            scale = np.max(res.energy)
            assert bal.max_residual < 16 * EPS * scale, (interp, params, bal.max_residual)
            assert bal.total_residual == pytest.approx(
                bal.total_delta_energy - bal.total_supplied + bal.total_dissipated, abs=1e-13)
    # the other methods miss the balance by their energy error, far above round-off
    rk4 = zarel.simulate(system, {"q": 1.0}, t, u, method="rk4", interp="linear").balance()
    assert rk4.max_residual > 1e6 * EPS


def test_rk4_residual_converges_at_fourth_order_on_a_nonlinear_system():
    # the method's own order: the quadrature of the powers is of fourth order as well
    system = pendulum()
    totals = []
    for points in (401, 801, 1601):
        t = np.linspace(0.0, 10.0, points)
        res = zarel.simulate(system, {"theta": 2.0}, t, lambda s: np.cos(1.3 * s), method="rk4", interp="linear")
        totals.append(abs(res.balance().total_residual))
    ratios = totals[0] / totals[1], totals[1] / totals[2]
    assert all(12 < r < 17 for r in ratios), ratios
    # midpoint with a non-quadratic H is not exact, but still of second order
    t = np.linspace(0.0, 10.0, 201)
    mid = zarel.simulate(system, {"theta": 2.0}, t, lambda s: np.cos(1.3 * s), interp="linear").balance()
    assert 1e-12 < mid.max_residual < 1e-3


def test_inputs_and_parameters_in_every_form_give_the_same_run():
    system = oscillator()
    model = system.model()
    t = np.linspace(0.0, 2.0, 41)
    force = np.exp(-t)
    reference = zarel.simulate(system, [1.0, 0.0], t, np.column_stack([np.zeros_like(t), force]),
                               params=[1.5, 4.0, 2.0], method="rk4")
    q, F, c = sympy.symbols("q F c")
    same = [
        zarel.simulate(system, {q: 1.0}, t, {F: force, "v": 0.0}, params={c: 2.0}, method="rk4"),
        zarel.simulate(system, {"q": 1.0}, t, lambda s: {"F": np.exp(-s)}, params={"c": 2.0}, method="rk4",
                       interp="hold"),
        zarel.simulate(model, {"x0": 1.0}, t, lambda s: [0.0, np.exp(-s)], params={"p2": 2.0}, method="rk4",
                       interp="hold"),
    ]
    for res in same:
        np.testing.assert_array_equal(res.x, reference.x)
        np.testing.assert_array_equal(res.u, reference.u)
        np.testing.assert_array_equal(res.params, [1.5, 4.0, 2.0])
    # the user's model runs with the parameters of the call and gets its own back afterwards,
    # and the certificate of that run uses the run's parameters
    np.testing.assert_array_equal(model.params, [1.5, 4.0, 0.3])
    assert same[2].balance().max_residual == same[0].balance().max_residual
    np.testing.assert_array_equal(model.params, [1.5, 4.0, 0.3])
    with pytest.raises(ValueError, match="unknown input 'G'; inputs are: v, F"):
        zarel.simulate(system, [1.0, 0.0], t, {"G": 1.0})
    with pytest.raises(ValueError, match=r"= \(41, 2\), got \(40, 2\)"):
        zarel.simulate(system, [1.0, 0.0], t, np.zeros((40, 2)))
    with pytest.raises(ValueError, match="unknown parameter 'd'"):
        zarel.simulate(model, [1.0, 0.0], t, params={"d": 1.0})
    with pytest.raises(ValueError, match="unknown solver"):
        zarel.simulate(model, [1.0, 0.0], t, params={"p2": 5.0}, method="rk5")
    np.testing.assert_array_equal(model.params, [1.5, 4.0, 0.3])
    no_energy = zarel.simulate(system, [1.0, 0.0], t, record_energy=False)
    with pytest.raises(ValueError, match="did not record energy"):
        no_energy.balance()


def test_labelled_results_xarray_pandas_and_plot(tmp_path):
    system = oscillator()
    t = np.linspace(0.0, 1.0, 11)
    res = zarel.simulate(system, {"q": 1.0}, t, {"F": t}, method="rk45", interp="zoh")
    ds = res.to_xarray()
    assert list(ds.data_vars) == ["q", "p", "v", "F", "position", "dissipated_power", "energy", "supplied_power"]
    np.testing.assert_array_equal(ds["time"].values, t)
    np.testing.assert_array_equal(ds["p"].values, res.x[:, 1])
    np.testing.assert_array_equal(ds["dissipated_power"].values, res.outputs[:, 1])
    assert ds.attrs["model"] == "oscillator" and ds.attrs["method"] == "rk45" and ds.attrs["interp"] == "hold"
    assert ds.attrs["param_c"] == 0.3 and ds.attrs["stats_steps"] == res.stats["steps"]
    df = res.to_pandas()
    assert df.index.name == "time" and list(df.columns) == list(ds.data_vars)
    np.testing.assert_array_equal(df["F"].to_numpy(), res.u[:, 1])
    fig = res.plot(tmp_path / "run.png")
    assert len(fig.axes) == 3 and (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    report = str(res.balance())
    assert "10 intervals (rk45)" in report and "residual" in report


@pytest.mark.parametrize("build", [
    lambda s: zarel.ODE([s("time")], [-s("time")]),
    lambda s: zarel.ODE([s("q")], [s("run")], inputs=[s("run")]),
    lambda s: zarel.ODE([s("q")], [s("status") * s("q")], params={s("status"): 1.0}),
    lambda s: zarel.ODE([s("q")], [-s("q")], outputs={"energy": s("q")}),
    lambda s: zarel.PortHamiltonian([s("q")], s("q")**2, [[0]], outputs={"supplied_power": s("q")}),
    lambda s: zarel.ODE([s("q"), s("p")], [s("p"), -s("q")], outputs={"p": 2 * s("p")}),
])
def test_names_results_use_are_refused_at_construction(build):
    with pytest.raises(ValueError, match=r"(is reserved|names both)"):
        build(sympy.Symbol)


def test_balance_needs_an_energy_and_plot_of_many_states_stays_legible(tmp_path):
    x = sympy.symbols("x0:300")
    decay = zarel.ODE(list(x), [-(i + 1) * xi for i, xi in enumerate(x)], name="decay")
    res = zarel.simulate(decay, np.ones(300), np.linspace(0.0, 1.0, 21), method="rk4")
    with pytest.raises(ValueError, match="no energy"):
        res.balance()
    fig = res.plot(tmp_path / "many.png")
    legend = fig.axes[0].get_legend()
    assert legend is not None and 2 <= len(legend.get_texts()) <= 3
    assert {"x0", "x299"} <= {text.get_text() for text in legend.get_texts()}


def test_a_run_too_large_for_memory_is_refused_before_it_starts(monkeypatch):
    import zarel.sizes

    monkeypatch.setattr(zarel.sizes, "available_memory", lambda: 10**6)
    t = np.linspace(0.0, 1.0, 10**5)
    # the grid, times, 2 states, 2 inputs, energy, supplied power, 2 outputs: 10 values a point
    with pytest.raises(ValueError, match=r"^t: a run of 100000 points takes 8\.0 MB, more than the 1\.0 MB of memory "
                                         r"available: use fewer points \(a coarser grid or a shorter span\)$"):
        zarel.simulate(oscillator(), [1.0, 0.0], t)
    # without outputs and energy, with the series of the inputs given
    with pytest.raises(ValueError, match="a run of 100000 points takes 6.4 MB"):
        zarel.simulate(oscillator(), [1.0, 0.0], t, np.zeros((len(t), 2)), record_outputs=False, record_energy=False)


def test_a_held_input_is_recorded_as_held_and_documented_so():
    run = zarel.simulate(pendulum(), [0.0, 0.0], [0.0, 1.0, 2.0], u=[1.0, 2.0, 3.0], method="rk4")
    assert run.u[:, 0].tolist() == [1.0, 2.0, 2.0]
    assert run.to_pandas()["tau"].tolist() == [1.0, 2.0, 2.0]
    said = "under \"hold\" the input recorded at the last grid point is the row held over the last interval"
    for doc in (zarel.Result.__doc__, zarel.Result.to_pandas.__doc__, zarel.Result.to_xarray.__doc__):
        assert said in " ".join(doc.split())
