"""The discrete gradient method: its energy certificate at round-off for energies that are not
quadratic (where midpoint's is the method's error), its order, the midpoint rule it is for a
quadratic energy, exact inputs, and the systems it refuses."""

import importlib.util
import pathlib

import numpy as np
import pytest
import sympy

import zarel
from zarel import parts

from conftest import oscillator_system


def example(name):
    path = pathlib.Path(__file__).parents[2] / "examples" / f"{name}.py"
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def duffing(a=4.0, c=0.3):
    q, p, F = sympy.symbols("q p F")
    a_, c_ = sympy.symbols("a c", positive=True)
    return zarel.PortHamiltonian([q, p], H=p**2 / 2 + q**2 / 2 + a_ * q**4 / 4, J=[[0, 1], [-1, 0]],
                                 R=[[0, 0], [0, c_]], G=[0, 1], inputs=[F], params={a_: a, c_: c}, name="duffing")


def pendulum():
    theta, p, tau = sympy.symbols("theta p tau")
    g, ell, b = sympy.symbols("g ell b", positive=True)
    return zarel.PortHamiltonian([theta, p], H=p**2 / 2 - g / ell * sympy.cos(theta), J=[[0, 1], [-1, 0]],
                                 R=[[0, 0], [0, b]], G=[0, 1], inputs=[tau], params={g: 9.81, ell: 1.0, b: 0.1},
                                 name="pendulum")


def largest_relative(balance, result):
    scale = max(np.max(np.abs(result.energy)), abs(balance.total_supplied), abs(balance.total_dissipated))
    return balance.max_residual / scale


@pytest.mark.parametrize("build, x0, u", [
    (duffing, {"q": 1.5}, lambda t: np.sin(1.3 * t)),
    (pendulum, {"theta": 2.5}, lambda t: 0.5 * np.cos(t)),
])
def test_certificate_is_at_round_off_for_energies_that_are_not_quadratic(build, x0, u):
    system = build()
    t = np.linspace(0.0, 10.0, 1001)
    dg = zarel.simulate(system, x0, t, u, method="discrete_gradient", newton_tol=1e-12)
    mp = zarel.simulate(system, x0, t, u)
    assert dg.method == "discrete_gradient" and dg.stats["steps"] == 1000
    assert largest_relative(dg.balance(), dg) <= 1e-14
    assert largest_relative(mp.balance(), mp) >= 1e-8  # midpoint's balance is its error for such an H
    np.testing.assert_allclose(dg.x, mp.x, atol=1e-2)  # the same trajectory, to the methods' error


def test_quartic_shaft_drive_balances_at_round_off_at_default_tolerances():
    system = example("flexible_shaft").build()
    t = np.linspace(0.0, 2.0, 4001)
    dg = zarel.simulate(system, {}, t, {"V": 12.0}, method="discrete_gradient")
    mp = zarel.simulate(system, {}, t, {"V": 12.0})
    dg_balance, mp_balance = dg.balance(), mp.balance()
    assert abs(dg_balance.total_residual) <= 1e-12 * dg_balance.total_supplied
    assert largest_relative(dg_balance, dg) <= 1e-13
    assert mp_balance.max_residual >= 1e4 * dg_balance.max_residual
    assert "discrete_gradient" in str(dg_balance)
    # a newton_tol below the precision some steps reach ends at their round-off floor
    tight = zarel.simulate(system, {}, t, {"V": 12.0}, method="discrete_gradient", newton_tol=1e-13)
    assert largest_relative(tight.balance(), tight) <= 1e-13


def test_order_two():
    system = duffing()
    end = {n: zarel.simulate(system, {"q": 1.5}, np.linspace(0, 2, n), method="discrete_gradient",
                             atol=1e-14).x[-1] for n in (201, 401, 12801)}
    ratio = np.linalg.norm(end[201] - end[12801]) / np.linalg.norm(end[401] - end[12801])
    assert 3.9 < ratio < 4.1


def test_quadratic_energy_is_the_midpoint_rule():
    system = oscillator_system()
    t = np.linspace(0.0, 10.0, 1001)
    force = np.sin(t)
    dg = zarel.simulate(system, {"q": 1.0}, t, {"F": force}, method="discrete_gradient", interp="linear", atol=1e-14)
    mp = system.model().simulate(np.array([1.0, 0.0]), t, force[:, None], interp="linear", newton_tol=1e-14)
    np.testing.assert_allclose(dg.x, mp["x"], rtol=0, atol=1e-13)
    assert dg.balance().max_residual <= 1e-15


def test_exact_input_expressions_enter_the_structure_too():
    system = duffing()
    F = system.inputs[0]
    t = np.linspace(0.0, 5.0, 201)
    dg = zarel.simulate(system, {"q": 1.0}, t, {F: sympy.sin(3 * zarel.t)}, method="discrete_gradient",
                        newton_tol=1e-12)
    balance = dg.balance()
    assert largest_relative(balance, dg) <= 1e-14
    assert balance.total_supplied != 0.0
    assert system.structure_system.input_names == ("F", "grad_H.q", "grad_H.p")


def assert_structure_is_the_composite(system):
    """The structure model with g = grad H is the composite, links closed, at random states and inputs."""
    rng = np.random.default_rng(3)
    model, structure = system.model(), system.structure_system.model()
    x, u = rng.normal(size=(5, system.n_states)), rng.normal(size=(5, system.n_inputs))
    grad = zarel._engine.evaluate(model, "grad_h", x)
    rhs = zarel._engine.evaluate(model, "rhs", x, u)
    np.testing.assert_allclose(zarel._engine.evaluate(structure, "rhs", x, np.column_stack([u, grad])), rhs,
                               rtol=1e-14, atol=1e-14 * np.max(np.abs(rhs)))


def rig(nested):
    """A pendulum hung from a cart through a quartic spring, the cart pushed from outside: every
    part's energy but the cart's is not quadratic."""
    cart, spring = parts.mass(m=2.0, b=0.2, ports=("F", "right")), parts.spring(k=1.0, k3=4.0)
    if nested:
        arm = zarel.connect({"cart": cart, "spring": spring}, [("cart.right", "spring.a")])
        return zarel.connect({"arm": arm, "pend": pendulum()}, [("arm.spring.b", "pend.tau")])
    return zarel.connect({"cart": cart, "spring": spring, "pend": pendulum()},
                         [("cart.right", "spring.a"), ("spring.b", "pend.tau")])


@pytest.mark.parametrize("nested", [False, True])
def test_composite_balances_at_round_off_for_the_whole_and_each_part(nested):
    system = rig(nested)
    push = system.input_names[0]
    assert_structure_is_the_composite(system)
    t = np.linspace(0.0, 10.0, 1001)
    x0 = {"pend.theta": 2.5, system.state_names[1]: 0.3}
    dg = zarel.simulate(system, x0, t, {push: np.sin(1.3 * t)}, method="discrete_gradient", newton_tol=1e-12)
    mp = zarel.simulate(system, x0, t, {push: np.sin(1.3 * t)}, grid_steps=True, newton_tol=1e-12)
    scale = np.max(np.abs(dg.energy))
    whole = dg.balance()
    assert [b.part for b in whole.parts] == (["arm", "pend"] if nested else ["cart", "spring", "pend"])
    for b in (whole, *whole.parts):
        assert b.max_residual <= 1e-13 * scale, (b.part, b.max_residual)
    np.testing.assert_array_equal(dg.balance(part="pend").residual, whole.parts[-1].residual)
    assert abs(whole.parts[-1].total_supplied) > 1e-2 * scale  # energy did travel through the links
    assert mp.balance(part="pend").max_residual >= 1e-7 * scale  # midpoint's is its error for such an H


def test_links_through_parts_that_act_at_once():
    # the resistor's port output and the source's read their inputs at once: the structure model
    # places them after the outputs they read, as the composite does
    system = zarel.connect({"C": parts.capacitor(C=1e-3), "L": parts.inductor(L=0.1, ports=("source", "res", "C")),
                            "res": parts.resistor(R=10.0), "source": parts.voltage_source()},
                           [("source.i", "L.source"), ("L.res", "res.i"), ("L.C", "C.i")])
    assert_structure_is_the_composite(system)
    t = np.linspace(0.0, 0.05, 501)
    dg = zarel.simulate(system, {"C.Q": 1e-3}, t, {"source.V": np.sin(2 * np.pi * 100.0 * t)},
                        method="discrete_gradient", atol=1e-14)
    whole, scale = dg.balance(), np.max(dg.energy)
    for b in (whole, *whole.parts):
        assert b.max_residual <= 1e-13 * scale, (b.part, b.max_residual)
    assert dg.balance("res").total_dissipated > 0.01 * scale
    np.testing.assert_allclose(dg.balance("res").dissipated, whole.dissipated, rtol=0, atol=1e-15 * scale)


def test_refusals_name_the_cause():
    t = np.linspace(0.0, 1.0, 11)
    with pytest.raises(ValueError, match="not a bare zarel_engine.Model"):
        zarel.simulate(oscillator_system().model(), [1.0, 0.0], t, method="discrete_gradient")
    q = sympy.Symbol("q")
    with pytest.raises(ValueError, match=r"'decay' \(ODE\) has no such structure"):
        zarel.simulate(zarel.ODE([q], [-q], energy=q**2 / 2, name="decay"), [1.0], t, method="discrete_gradient")
    loaded = zarel.load(oscillator_system().json())
    assert loaded.structure_system is None
    with pytest.raises(ValueError, match="has no such structure"):
        zarel.simulate(loaded, [1.0, 0.0], t, method="discrete_gradient")
    chain = zarel.connect({"m": parts.mass(m=1.0, b=0.1), "s": parts.spring(k=1.0, k3=1.0)}, [("m.F", "s.b")])
    stored = zarel.connect({"arm": zarel.load(chain.json()), "p": pendulum()}, [("arm.s.a", "p.tau")], name="rig")
    with pytest.raises(ValueError, match=r"every part of 'rig'; its part 'arm' has none \(a document loaded"):
        zarel.simulate(stored, {}, t, method="discrete_gradient")
    with pytest.raises(ValueError, match="zarel.sweep does not take method 'discrete_gradient'"):
        zarel.sweep(duffing(), t, x0={"q": 1.0}, params={"a": np.array([1.0, 2.0])}, method="discrete_gradient")
    with pytest.raises(ValueError, match="rtol > 0"):
        zarel.simulate(duffing(), {"q": 1.0}, t, method="discrete_gradient", rtol=0.0)
