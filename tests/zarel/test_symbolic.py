"""The symbolic front end against hand-written documents, exact arithmetic and the engine's finite
differences; its refusals; load() and the names of a system."""

import dataclasses
import json
import pathlib

import numpy as np
import pytest
import sympy
from conftest import oscillator_system

import zarel
import zarel_engine
from zarel.system import signature_of

RNG_SEED = 20261207


def evaluations(model, x, u, t):
    return {
        "rhs": model.rhs(x, u, t), "jacobian": model.jacobian(x, u, t), "energy": model.energy(x),
        "grad_h": model.grad_h(x), "outputs": model.outputs(x, u, t), "port_outputs": model.port_outputs(x, u, t),
        "supplied_power": model.supplied_power(x, u, t),
    }


def pendulum_system():
    theta, p, tau = sympy.symbols("theta p tau")
    m, l, g, b = sympy.symbols("m l g b", positive=True)
    inertia = m * l**2
    return zarel.PortHamiltonian(
        [theta, p], H=p**2 / (2 * inertia) + m * g * l * (1 - sympy.cos(theta)), J=[[0, 1], [-1, 0]],
        R=[[0, 0], [0, b]], G=[[0], [1]], inputs=[tau], params={m: 1.3, l: 0.7, g: 9.81, b: 0.05},
        outputs={"height": l * (1 - sympy.cos(theta))})


def ref(i):
    return ["ref", i]


# The pendulum by hand. Slots: theta=0, p=1, tau=2, m=3, l=4, g=5, b=6, t=7.
_INERTIA = ["mul", ref(3), ["mul", ref(4), ref(4)]]
_MGL = ["mul", ref(3), ["mul", ref(5), ref(4)]]
PENDULUM_DOC = {
    "n_states": 2, "n_inputs": 1, "n_params": 4, "param_values": [1.3, 0.7, 9.81, 0.05],
    "rhs": [["div", ref(1), _INERTIA],
            ["add", ["sub", ["neg", ["mul", _MGL, ["sin", ref(0)]]], ["mul", ref(6), ["div", ref(1), _INERTIA]]],
             ref(2)]],
    "jacobian": [["const", 0], ["div", ["const", 1], _INERTIA],
                 ["neg", ["mul", _MGL, ["cos", ref(0)]]], ["neg", ["div", ref(6), _INERTIA]]],
    "energy": ["add", ["div", ["mul", ref(1), ref(1)], ["mul", ["const", 2], _INERTIA]],
               ["mul", _MGL, ["sub", ["const", 1], ["cos", ref(0)]]]],
    "grad_H": [["mul", _MGL, ["sin", ref(0)]], ["div", ref(1), _INERTIA]],
    "port_outputs": [["div", ref(1), _INERTIA]],
    "port_values": [ref(2)],
    "outputs": [["mul", ref(4), ["sub", ["const", 1], ["cos", ref(0)]]],
                ["mul", ref(6), ["mul", ["div", ref(1), _INERTIA], ["div", ref(1), _INERTIA]]]],
    "output_names": ["height", "dissipated_power"],
}


@pytest.mark.parametrize("built, by_hand", [
    (lambda: oscillator_system(m=1.7, k=3.1, c=0.23), lambda doc: doc),
    (pendulum_system, lambda doc: PENDULUM_DOC),
])
def test_front_end_evaluates_like_the_model_written_by_hand(built, by_hand, oscillator_doc):
    system = built()
    hand = dict(by_hand(oscillator_doc), param_values=list(system.param_values))
    ours, theirs = system.model(), zarel_engine.Model(json.dumps(hand))
    assert system.output_names == tuple(hand["output_names"])
    rng = np.random.default_rng(RNG_SEED)
    for _ in range(50):
        x, u, t = rng.normal(size=2) * 3, rng.normal(size=1), rng.normal()
        a, b = evaluations(ours, x, u, t), evaluations(theirs, x, u, t)
        for key in a:
            np.testing.assert_allclose(a[key], b[key], rtol=4e-16, atol=4e-15, err_msg=key)


def every_function_system():
    """An ODE whose right-hand side uses every function the front end lowers."""
    x, y = sympy.symbols("x y")
    a = sympy.Symbol("a")
    t = zarel.t
    rhs = [
        sympy.exp(x / 4) * sympy.sin(y) + sympy.log(1 + x**2) * sympy.tanh(y) - sympy.sqrt(1 + y**2) * sympy.cos(x)
        + abs(x) * y + sympy.sign(y) * x**3 / 7 + sympy.tan(x / 5) + sympy.sinh(y / 2) * sympy.cosh(x / 3) - a * t,
        sympy.Max(x, y, -1) ** 2 - sympy.Min(x, 2 * y) * x + sympy.Heaviside(y - sympy.Rational(3, 10)) * y
        + sympy.Piecewise((x**2, (x > 0.5) & (y <= 1)), (-x, sympy.Or(x < -1, sympy.Not(y >= 0))), (y, True))
        + (2 + sympy.sin(x)) ** sympy.Rational(-3, 2) + 2**y + (1 + x**2) ** sympy.Rational(1, 3) * sympy.pi
        + sympy.Piecewise((0, y < -1), ((y + 1) ** 2 / 4, y < 1), (y, True)),  # quadratic pieces
    ]
    return zarel.ODE([x, y], rhs, params={a: 0.75}, energy=x**2 / 2 + a * sympy.cosh(y))


def test_every_function_lowers_to_its_value_and_its_derivative():
    system = every_function_system()
    model = system.model()
    no_jacobian = dict(system.document(), jacobian=None)
    finite_differences = zarel_engine.Model(json.dumps(no_jacobian))
    x_, y_ = system.states
    a_ = next(iter(system.params))
    values = {a_: system.params[a_]}
    rng = np.random.default_rng(RNG_SEED)
    for _ in range(40):
        x, t = rng.normal(size=2) * 2, rng.normal()
        exact = [float(f.evalf(30, subs={x_: x[0], y_: x[1], zarel.t: t, **values})) for f in system.rhs]
        np.testing.assert_allclose(model.rhs(x, t=t), exact, rtol=1e-14)
        np.testing.assert_allclose(model.jacobian(x, t=t), finite_differences.jacobian(x, t=t), rtol=2e-5, atol=2e-5)
        assert model.grad_h(x) == pytest.approx([x[0], values[a_] * np.sinh(x[1])], rel=1e-14)


def chain_system(n_masses):
    """A chain of masses and springs, damped at every mass, driven at its end: long sums in H."""
    q = sympy.symbols(f"q0:{n_masses}")
    p = sympy.symbols(f"p0:{n_masses}")
    m, k, c = sympy.symbols("m k c", positive=True)
    n = 2 * n_masses
    J, R, G = sympy.zeros(n, n), sympy.zeros(n, n), sympy.zeros(n, 1)
    for i in range(n_masses):  # spring i joins mass i-1 (the wall for i = 0) to mass i
        J[i, n_masses + i], J[n_masses + i, i] = 1, -1
        if i + 1 < n_masses:
            J[i + 1, n_masses + i], J[n_masses + i, i + 1] = -1, 1
        R[n_masses + i, n_masses + i] = c
    G[n - 1, 0] = 1
    H = sympy.Add(*(pi**2 / (2 * m) for pi in p), *(k * qi**2 / 2 for qi in q))
    return zarel.PortHamiltonian([*q, *p], H, J, R, G, inputs=[sympy.Symbol("F")], params={m: 2.0, k: 3.0, c: 0.1})


def test_a_long_chain_stays_within_the_nesting_limit():
    model = chain_system(200).model()
    rng = np.random.default_rng(RNG_SEED)
    q, p = rng.normal(size=200), rng.normal(size=200)
    x = np.concatenate([q, p])
    assert model.energy(x) == pytest.approx(np.sum(p**2) / 4 + 1.5 * np.sum(q**2), rel=1e-14)
    v = p / 2
    dq = v - np.concatenate([[0.0], v[:-1]])
    dp = -3 * q + np.concatenate([3 * q[1:], [0.0]]) - 0.1 * v + np.eye(200)[-1] * 0.5
    np.testing.assert_allclose(model.rhs(x, np.array([0.5])), np.concatenate([dq, dp]), rtol=1e-14, atol=1e-14)


q_, p_, F_ = sympy.symbols("q p F")
k_ = sympy.Symbol("k")


def ph(H=q_**2 / 2 + p_**2 / 2, J=((0, 1), (-1, 0)), R=None, G=None, inputs=(), params=None, outputs=None):
    return zarel.PortHamiltonian([q_, p_], H, J, R, G, inputs, params, outputs)


@pytest.mark.parametrize("build, message", [
    (lambda: ph(J=[[0, 1], [1, 0]]), r"J is not skew-symmetric: J\[0, 1\] \+ J\[1, 0\] = 2"),
    (lambda: ph(R=[[0, k_], [0, 1]], params={k_: 1}), r"R is not symmetric: R\[0, 1\] - R\[1, 0\] = k"),
    (lambda: ph(R=[[1, 0], [0, -2]]), r"R is not positive semi-definite: it has the eigenvalue -2"),
    # a feedthrough may pass power on (skew part) but not make it (symmetric part)
    (lambda: zarel.PortHamiltonian([], 0, [], G=sympy.zeros(0, 2), inputs=[q_, p_], D=[[1, 3], [-1, 0]]),
     r"the symmetric part of D is not positive semi-definite: it has the eigenvalue -0.618034"),
    (lambda: zarel.PortHamiltonian([q_], q_**2 / 2, [[0]], G=[[1]], inputs=[F_], D=[[q_]]),
     r"D may depend on parameters only, not on q"),
    (lambda: ph(J=sympy.zeros(3, 3)), r"J is 3 x 3, expected 2 x 2"),
    (lambda: ph(G=[[1, 0], [0, 1]], inputs=[F_]), r"G is 2 x 2, expected 2 x 1"),
    (lambda: ph(H=q_**2 + k_ * p_**2), r"H: free symbol k is neither a state, an input, a parameter nor t"),
    (lambda: ph(H=q_**2 + F_ * p_, G=[0, 1], inputs=[F_]), r"H may depend on states and parameters only, not on F"),
    (lambda: ph(params={q_: 1.0}), r"the name q is given to a state and a parameter; rename one of them"),
    (lambda: ph(outputs={"dissipated_power": q_}), r"dissipated_power is reserved"),
    (lambda: zarel.ODE([q_], [q_, p_]), r"rhs is 2 x 1, expected 1 x 1"),
    (lambda: zarel.ODE([q_], [sympy.gamma(q_)]), r"unsupported function gamma in gamma\(q\); supported: .*Heaviside"),
    (lambda: zarel.ODE([q_], [sympy.Function("f")(q_)]), r"unsupported function f in f\(q\)"),
    (lambda: zarel.ODE([q_], [sympy.Piecewise((1, sympy.Eq(q_, 0)), (q_, True))]), r"unsupported expression Equality"),
    (lambda: zarel.ODE([q_], [sympy.Piecewise((1, q_ > 0))]), r"has no otherwise piece"),
    (lambda: zarel.ODE([q_], [q_ * sympy.I]), r"constant I is not a finite real number"),
])
def test_refusals_name_what_is_wrong(build, message):
    with pytest.raises(ValueError, match=message):
        build()


def test_load_with_and_without_names(tmp_path, oscillator_doc):
    unnamed = {k: v for k, v in oscillator_doc.items() if k not in ("name", "state_names", "input_names", "param_names")}
    path = tmp_path / "spring.json"
    path.write_text(json.dumps(unnamed))
    plain = zarel.load(path)
    assert (plain.name, plain.state_names, plain.input_names, plain.param_names) == (
        "spring", ("x0", "x1"), ("u0",), ("p0", "p1", "p2"))
    assert plain.output_names == ("velocity", "dissipated_power")
    named = zarel.load(json.dumps(oscillator_doc))
    assert (named.name, named.state_names, named.input_names, named.param_names) == (
        "oscillator", ("q", "p"), ("F",), ("m", "k", "c"))
    assert named.document() == oscillator_doc and zarel.load(named.json()).document() == oscillator_doc
    assert signature_of(named.model()) == dataclasses.replace(plain.signature, name="model")

    with pytest.raises(ValueError, match="malformed model: missing integer n_inputs"):
        zarel.load('{"n_states": 1}')
    with pytest.raises(ValueError, match=r"state_names must be a list of 2 strings"):
        zarel.load(json.dumps(dict(oscillator_doc, state_names=["q"])))
    with pytest.raises(ValueError, match=r"param_names names 'k' twice"):
        zarel.load(json.dumps(dict(oscillator_doc, param_names=["m", "k", "k"])))


def test_signature_reads_values_by_name_or_symbol(oscillator):
    sig = oscillator.signature
    m, k, c = oscillator.params
    assert sig.vector("param", {k: 5, "c": 0.5}).tolist() == [1.0, 5.0, 0.5]
    assert sig.vector("state", {"p": 2}).tolist() == [0.0, 2.0]
    assert sig.vector("input", [3]).tolist() == [3.0]
    with pytest.raises(ValueError, match=r"unknown parameter 'd'; parameters are: m, k, c"):
        sig.vector("param", {"d": 1})
    with pytest.raises(ValueError, match=r"expected 2 states, got an array of shape \(3,\)"):
        sig.vector("state", [1, 2, 3])


def test_constants_are_the_nearest_double():
    from zarel.lowering import constant

    rounded_up = 0
    for c in (sympy.pi, sympy.E, sympy.sqrt(2), sympy.Rational(2, 3), sympy.log(10), sympy.Catalan, sympy.Rational(1, 10)):
        value = constant(c)
        error = sympy.Rational(value) - c
        half_ulp = sympy.Rational(np.spacing(value)) / 2
        assert abs(error.evalf(60)) <= half_ulp, c
        rounded_up += bool(error.evalf(60) > 0)
    assert rounded_up  # a conversion that truncates would fail on these


def one_function(f):
    """f(x) as the engine evaluates it: the right-hand side of dx/dt = f(x)."""
    x = sympy.Symbol("x")
    model = zarel.ODE([x], [f(x)]).model()
    return lambda point: model.rhs(np.array([point], dtype=float))[0]


TINY = (5e-324, 1e-300, 1e-16, 1e-11, 3e-5)
MODERATE = (0.1, 0.3, 0.5, 0.9, 0.999, 1.0, 1.001, 1.5, 3.0, 10.0, 25.0)


@pytest.mark.parametrize("f, points", [
    (sympy.sinh, TINY + MODERATE + (300.0, 709.0, 709.5, 710.4)),
    (sympy.cosh, TINY + MODERATE + (300.0, 709.0, 709.5, 710.4)),
    (sympy.tan, TINY + MODERATE + (1.5707963267948966, 100.0, 1e10)),
    (sympy.tanh, TINY + MODERATE + (19.0,)),
    (sympy.exp, TINY + MODERATE + (-700.0, 700.0)),
    (sympy.log, TINY + MODERATE + (1e300,)),
    (sympy.sin, TINY + MODERATE + (1e10,)),
    (sympy.cos, TINY + MODERATE + (1e10,)),
    (sympy.sqrt, TINY + MODERATE + (1e300,)),
    (lambda x: x ** sympy.Rational(1, 3), TINY + MODERATE + (1e-200, 1e300)),
    (lambda x: x ** sympy.Rational(-7, 5), TINY[2:] + MODERATE + (1e-200, 1e200)),
])
def test_every_lowered_function_is_within_a_few_ulps(f, points):
    model = one_function(f)
    signs = (1, -1) if f in (sympy.sinh, sympy.cosh, sympy.tan, sympy.tanh, sympy.exp, sympy.sin, sympy.cos) else (1,)
    for point in (s * p for p in points for s in signs):
        got = model(point)
        exact = sympy.N(f(sympy.Float(point, 60)), 40)
        ulp = np.spacing(abs(float(exact)))
        assert abs(sympy.Float(got, 60) - exact) <= 3 * ulp, (f, point, got, float(exact))


def test_piecewise_evaluates_every_piece_as_written():
    x = sympy.Symbol("x")
    clamp = one_function(lambda x: sympy.Piecewise((-1, x < -1), (x, x < 1), (1, True)))
    for point in (0.3, 1e-12, 1e-16, -0.7, 5e-324):
        assert clamp(point) == point
    assert [clamp(v) for v in (np.inf, -np.inf, 1.0, -1.0, 2.0)] == [1.0, -1.0, 1.0, -1.0, 1.0]
    # a B-H curve of 200 straight pieces; each point gets its own piece's value exactly as written
    rng = np.random.default_rng(RNG_SEED)
    knots = np.sort(rng.uniform(-100, 100, 200))
    slopes, offsets = rng.uniform(0.1, 2, 201), rng.normal(size=201)
    pieces = [(float(a) * x + float(b), x <= float(k)) for a, b, k in zip(slopes, offsets, knots)]
    curve = zarel.ODE([x], [sympy.Piecewise(*pieces, (float(slopes[-1]) * x + float(offsets[-1]), True))]).model()
    for point in [*knots, *rng.uniform(-120, 120, 300)]:
        i = int(np.searchsorted(knots, point))  # the first knot at or above the point
        assert curve.rhs(np.array([point]))[0] == slopes[i] * point + offsets[i]
    # conditions that are not thresholds keep the first one that holds
    y = sympy.Symbol("y")
    mixed = zarel.ODE([x, y], [sympy.Piecewise((1, x > y), (2, x**2 > 4), (3, y < 0), (4, True)), 0]).model()
    for (a, b), expected in {(1, 0): 1, (-3, 0): 2, (-1, -0.5): 3, (0, 1): 4, (3, 5): 2}.items():
        assert mixed.rhs(np.array([a, b], dtype=float))[0] == expected


def test_deep_expressions_and_huge_constants_are_models_or_named():
    x = sympy.Symbol("x")
    coefficients = [sympy.Rational(1, k + 2) for k in range(61)]
    horner = coefficients[-1]
    for c in reversed(coefficients[:-1]):
        horner = c + x * horner
    try:
        model = zarel.ODE([x], [horner]).model()
    except ValueError as e:
        assert "nest" in str(e)
    else:
        assert model.rhs(np.array([0.5]))[0] == pytest.approx(float(horner.subs(x, sympy.Rational(1, 2))), rel=1e-15)
    with pytest.raises(ValueError, match=r"constant 1\.00e\+400 is beyond the largest double"):
        zarel.ODE([x], [10**400 * x])


def test_the_readme_lists_the_functions_the_lowering_knows():
    from zarel.functions import readme_list

    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    assert "  " + readme_list().replace("\n", "\n  ") in readme


def test_float_zeros_lower_like_integer_zeros():
    x = sympy.Symbol("x")
    for rhs in (sympy.Max(0.0, x), sympy.Piecewise((0.0, zarel.t < 1), (1.0, True)),
                sympy.Piecewise((0.0, x < 0), (x, True)), sympy.Float(0.0) * x + sympy.Float("-0.0")):
        model = zarel.ODE([x], [rhs]).model()
        for point, time in ((-2.0, 0.5), (3.0, 2.0)):
            expected = float(rhs.subs({x: point, zarel.t: time}))
            assert model.rhs(np.array([point]), None, time)[0] == expected, rhs


def test_too_deep_expressions_are_named_where_given():
    x = sympy.Symbol("x")
    horner = sympy.Integer(1)
    for k in range(300):  # degree 300: SymPy's own recursion gives out walking it
        horner = sympy.Rational(1, k + 2) + x * horner
    with pytest.raises(ValueError, match=r"^rhs\[0\] is nested too deeply for SymPy to walk; write it with fewer levels"):
        zarel.ODE([x], [horner])
    chain = x
    for _ in range(5000):
        chain = sympy.sin(chain, evaluate=False)
    with pytest.raises(ValueError, match=r"^H is nested too deeply for SymPy to walk"):
        zarel.PortHamiltonian([x], chain, [[0]])


@pytest.mark.parametrize("build, message", [
    (lambda: ph(inputs=[sympy.Symbol("t")], G=[0, 1]), r"^the input t takes the name of time \(zarel.t\); rename the input$"),
    (lambda: zarel.ODE([q_, sympy.Symbol("q", real=True)], [0, 0]), r"^the name q is given to two states; rename one of them$"),
    (lambda: ph(inputs=[F_], G=[0, 1], params={sympy.Symbol("F", positive=True): 1.0}),
     r"^the name F is given to an input and a parameter; rename one of them$"),
    # named as written in H, not as its derivative besselj(1, q) in the right-hand side
    (lambda: ph(H=sympy.besselj(0, q_) + p_**2 / 2), r"^unsupported function besselj in besselj\(0, q\);"),
    (lambda: ph(params={k_: float("nan")}), r"^params: the default of k is nan; give a finite number$"),
    (lambda: ph(params={k_: float("-inf")}), r"^params: the default of k is -inf; give a finite number$"),
])
def test_refusals_name_the_culprit(build, message):
    with pytest.raises(ValueError, match=message):
        build()


def test_an_empty_list_is_every_empty_shape():
    # no states: the right-hand side and J are [], as are G and D without inputs
    nothing = zarel.ODE([], [], outputs={"one": 1})
    assert nothing.model().n_states == 0 and nothing.model().outputs(np.zeros(0)).tolist() == [1.0]
    held = zarel.PortHamiltonian([q_], q_**2 / 2, [[0]], G=[], D=[])
    assert held.model().n_inputs == 0 and held.model().energy(np.array([2.0])) == 2.0


def test_load_reads_a_document_once_and_writes_it_back_only_when_asked(tmp_path, monkeypatch):
    import zarel.system

    path = tmp_path / "spring.json"
    oscillator_system().to_json(path)
    dumps = []
    real_dump = zarel.system._dump
    monkeypatch.setattr(zarel.system, "_dump", lambda doc: dumps.append(1) or real_dump(doc))
    loaded = zarel.load(path)
    loaded.model()
    assert dumps == []  # the engine compiles the file's text as read
    assert loaded.json() + "\n" == path.read_text() and loaded.document() == json.loads(path.read_text())
    # without names, they are written in front of the document when it is asked for
    unnamed = {k: v for k, v in json.loads(path.read_text()).items() if k not in ("name", "state_names")}
    (tmp_path / "bare.json").write_text(json.dumps(unnamed, indent=1))
    bare = zarel.load(tmp_path / "bare.json")
    assert list(bare.document())[:4] == ["name", "state_names", "input_names", "param_names"]
    assert bare.document()["state_names"] == ["x0", "x1"] and bare.name == "bare"
    monkeypatch.undo()
    assert zarel.simulate(bare, [1.0, 0.0], [0.0, 0.5, 1.0]).x.tolist() == zarel.simulate(
        oscillator_system(), [1.0, 0.0], [0.0, 0.5, 1.0]).x.tolist()
