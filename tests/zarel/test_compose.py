"""zarel.connect against the same systems written whole, nested composites, the certificate per part
and the refusals."""

import importlib.util
import pathlib

import numpy as np
import pytest
import sympy

import zarel
from zarel import parts

EPS = np.finfo(float).eps
RNG_SEED = 20261208


def flexible_shaft_whole():
    """A DC motor driving a load inertia through a hardening shaft, written as one system."""
    phi, p_m, theta, p_l, V, tau = sympy.symbols("phi p_m theta p_l V tau")
    R_a, L, K, J_m, b_m, k, k3, J_l, b_l = sympy.symbols("R_a L K J_m b_m k k3 J_l b_l", positive=True)
    H = phi**2 / (2 * L) + p_m**2 / (2 * J_m) + k * theta**2 / 2 + k3 * theta**4 / 4 + p_l**2 / (2 * J_l)
    J = [[0, -K, 0, 0], [K, 0, -1, 0], [0, 1, 0, -1], [0, 0, 1, 0]]
    return zarel.PortHamiltonian(
        [phi, p_m, theta, p_l], H, J, sympy.diag(R_a, b_m, 0, b_l), [[1, 0], [0, 0], [0, 0], [0, 1]],
        inputs=[V, tau], params={R_a: 2.0, L: 5e-3, K: 0.05, J_m: 2e-5, b_m: 1e-5, k: 5.0, k3: 500.0,
                                 J_l: 1e-3, b_l: 1e-3})


def drive():
    """Motor and shaft, the shaft's free end the drive's port "shaft.a"."""
    return zarel.connect({"motor": parts.dc_motor(R=2.0, L=5e-3, K=0.05, J_r=2e-5, b=1e-5),
                          "shaft": parts.spring(k=5.0, k3=500.0)},
                         [("motor.torque", "shaft.b")], name="drive")


def load():
    return parts.mass(m=1e-3, b=1e-3, ports=("shaft", "torque"))


def flat():
    return zarel.connect({"motor": parts.dc_motor(R=2.0, L=5e-3, K=0.05, J_r=2e-5, b=1e-5),
                          "shaft": parts.spring(k=5.0, k3=500.0), "load": load()},
                         [("motor.torque", "shaft.b"), ("load.shaft", "shaft.a")])


def nested():
    return zarel.connect({"drive": drive(), "load": load()}, [("load.shaft", "drive.shaft.a")], name="nested")


def evaluations(model, x, u, t):
    return {"rhs": model.rhs(x, u, t), "jacobian": model.jacobian(x, u, t), "energy": model.energy(x),
            "grad_h": model.grad_h(x), "supplied_power": model.supplied_power(x, u, t)}


def rlc_whole():
    q, phi, V = sympy.symbols("q phi V")
    R, L, C = sympy.symbols("R L C", positive=True)
    return zarel.PortHamiltonian([q, phi], H=q**2 / (2 * C) + phi**2 / (2 * L), J=[[0, 1], [-1, 0]],
                                 R=[[0, 0], [0, R]], G=[0, 1], inputs=[V], params={R: 10.0, L: 0.1, C: 1e-3})


def rlc():
    return zarel.connect({"C": parts.capacitor(C=1e-3), "L": parts.inductor(L=0.1, R=10.0, ports=("V", "C"))},
                         [("L.C", "C.i")])


def example(name):
    path = pathlib.Path(__file__).parents[2] / "examples" / f"{name}.py"
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.build()


def mass_spring_damper():
    """The mass held by a spring and a damper to the wall, the spring first so that the states
    come in the example's order."""
    return zarel.connect({"spring": parts.spring(k=4.0, ends=("a",)),
                          "mass": parts.mass(m=1.0, ports=("spring", "damper", "F")),
                          "damper": parts.damper(c=0.4, ends=("a",))},
                         [("mass.spring", "spring.a"), ("mass.damper", "damper.a")])


def rlc_from_source():
    return zarel.connect({"C": parts.capacitor(C=1e-3), "L": parts.inductor(L=0.1, ports=("source", "res", "C")),
                          "res": parts.resistor(R=10.0), "source": parts.voltage_source()},
                         [("source.i", "L.source"), ("L.res", "res.i"), ("L.C", "C.i")])


def damped_pair_whole():
    p1, p2, F = sympy.symbols("p1 p2 F")
    m1, m2, c = sympy.symbols("m1 m2 c", positive=True)
    return zarel.PortHamiltonian([p1, p2], p1**2 / (2 * m1) + p2**2 / (2 * m2), sympy.zeros(2, 2),
                                 c * sympy.Matrix([[1, -1], [-1, 1]]), [[1], [0]], inputs=[F],
                                 params={m1: 2.0, m2: 0.5, c: 0.3})


def damped_pair_nested():
    """A driven mass with a damper whose free end is a port of the inner whole, linked outside."""
    inner = zarel.connect({"m": parts.mass(m=2.0, ports=("F", "d")), "d": parts.damper(c=0.3)}, [("m.d", "d.a")])
    return zarel.connect({"in": inner, "m2": parts.mass(m=0.5)}, [("m2.F", "in.d.b")])


@pytest.mark.parametrize("composite, whole, states, inputs, scale", [
    (mass_spring_damper, lambda: example("mass_spring_damper"), "spring.q mass.p", "mass.F", [1.0, 1.0]),
    (rlc_from_source, lambda: example("rlc_series"), "C.Q L.phi", "source.V", [1e-3, 1e-2]),
    (damped_pair_nested, damped_pair_whole, "in.m.p m2.p", "in.m.F", [1.0, 1.0]),
    (flat, flexible_shaft_whole, "motor.phi motor.p shaft.q load.p", "motor.V load.torque", [1e-2, 1e-4, 0.1, 1e-2]),
    (nested, flexible_shaft_whole, "drive.motor.phi drive.motor.p drive.shaft.q load.p", "drive.motor.V load.torque",
     [1e-2, 1e-4, 0.1, 1e-2]),
    (rlc, rlc_whole, "C.Q L.phi", "L.V", [1e-3, 1e-2]),
])
def test_composite_evaluates_like_the_system_written_whole(composite, whole, states, inputs, scale, tmp_path):
    system, whole = composite(), whole()
    assert system.state_names == tuple(states.split()) and system.input_names == tuple(inputs.split())
    assert "jacobian" in system.document()
    ours, theirs = system.model(), whole.model()
    dissipated = system.output_names.index("dissipated_power"), whole.output_names.index("dissipated_power")
    rng = np.random.default_rng(RNG_SEED)
    for _ in range(50):
        x = rng.normal(size=len(scale)) * scale
        u, t = rng.normal(size=system.n_inputs), rng.normal()
        a, b = evaluations(ours, x, u, t), evaluations(theirs, x, u, t)
        a["dissipated"] = ours.outputs(x, u, t)[dissipated[0]]
        b["dissipated"] = theirs.outputs(x, u, t)[dissipated[1]]
        for key in a:
            scale_ = np.max(np.abs(b[key]))
            np.testing.assert_allclose(a[key], b[key], rtol=0, atol=8 * EPS * scale_, err_msg=key)
    # saved and loaded, the composite runs as it did
    system.to_json(tmp_path / "composite.json")
    t = np.linspace(0.0, 0.2, 201)
    run = [zarel.simulate(s, {system.state_names[0]: 1e-3}, t, u={system.input_names[0]: 12.0}, method="rk4")
           for s in (system, zarel.load(tmp_path / "composite.json"))]
    assert np.array_equal(run[0].x, run[1].x) and np.array_equal(run[0].outputs, run[1].outputs)


def chain(n, c=0.05):
    """n masses joined by n - 1 springs, the first mass pushed by an outside force."""
    m, s = parts.mass(1.0, c, ports=("left", "right")), parts.spring(1.0)
    links = (end for i in range(n - 1) for end in ((f"m{i}.right", f"s{i}.a"), (f"m{i + 1}.left", f"s{i}.b")))
    return zarel.connect({**{f"m{i}": m for i in range(n)}, **{f"s{i}": s for i in range(n - 1)}}, links)


def test_certificate_per_part_is_round_off_with_midpoint_and_links_cancel():
    system = chain(5)
    assert system.input_names == ("m0.left", "m4.right") and len(system.links) == 8  # links given once, as a generator
    t = np.linspace(0.0, 6.0, 121)
    u = {"m0.left": np.sin(2.0 * t), "m4.right": 0.5 * np.cos(t)}
    res = zarel.simulate(system, {"m0.p": 1.0, "s2.q": -0.4}, t, u, interp="linear", grid_steps=True)
    whole = res.balance()
    names = [b.part for b in whole.parts]
    assert names == [f"m{i}" for i in range(5)] + [f"s{i}" for i in range(4)]
    scale = np.max(res.energy)
    for b in whole.parts:
        assert b.max_residual < 16 * EPS * scale, (b.part, b.max_residual)
        assert np.array_equal(b.delta_energy, np.diff(res.output(f"{b.part}.energy")))
    # a link's power leaves one part as it enters the other: the parts' supplied energy is the whole's
    parts_supplied = np.sum([b.supplied for b in whole.parts], axis=0)
    np.testing.assert_allclose(parts_supplied, whole.supplied, rtol=0, atol=16 * EPS * scale)
    inner = sum(b.total_supplied for b in whole.parts if b.part in ("m1", "m2", "m3", "s0", "s1", "s2", "s3"))
    assert abs(inner) > 0.1  # energy did travel through the links
    np.testing.assert_allclose(np.sum([b.dissipated for b in whole.parts], axis=0), whole.dissipated,
                               rtol=0, atol=16 * EPS * scale)
    assert "largest |residual| of a part" in str(whole) and "s3" in str(whole)
    # the same balance of one part, asked alone, also without recorded outputs
    quiet = zarel.simulate(system, {"m0.p": 1.0, "s2.q": -0.4}, t, u, interp="linear", record_outputs=False,
                           grid_steps=True)
    for alone in (res.balance(part="s1"), quiet.balance("s1")):
        assert alone.part == "s1"
        np.testing.assert_array_equal(alone.residual, whole.parts[6].residual)
    with pytest.raises(ValueError, match="no part 'm9'.*parts are: m0, m1"):
        res.balance(part="m9")


@pytest.mark.parametrize("composite, x0, u, resistive", [
    (mass_spring_damper, {"spring.q": 1.0}, {"mass.F": lambda t: 0.5 * np.sin(2 * np.pi * t / 10.0)}, "damper"),
    (rlc_from_source, {"C.Q": 1e-3}, {"source.V": lambda t: np.sin(2 * np.pi * 100.0 * t)}, "res"),
])
def test_certificate_of_parts_without_storage(composite, x0, u, resistive):
    system = composite()
    t = np.linspace(0.0, 10.0 if resistive == "damper" else 0.05, 501)
    res = zarel.simulate(system, x0, t, {key: f(t) for key, f in u.items()}, interp="linear", grid_steps=True)
    whole = res.balance()
    scale = np.max(np.abs(res.energy))
    for b in whole.parts:
        assert b.max_residual < 16 * EPS * scale, (b.part, b.max_residual)
    np.testing.assert_allclose(np.sum([b.supplied for b in whole.parts], axis=0), whole.supplied,
                               rtol=0, atol=16 * EPS * scale)
    # the whole's losses are the resistive part's: it stores nothing and gives off all it receives
    lossy = res.balance(resistive)
    assert np.all(lossy.delta_energy == 0) and lossy.total_dissipated > 0.01 * scale
    np.testing.assert_allclose(lossy.dissipated, whole.dissipated, rtol=0, atol=16 * EPS * scale)
    if resistive == "res":
        # the source only passes on what enters through its voltage: what it delivers is the whole's supply
        source = res.balance("source")
        assert np.all(source.supplied == 0) and abs(whole.total_supplied) > 0.01 * scale
        delivered = res.output("source.delivered_power")
        np.testing.assert_allclose(res.supplied_power, delivered, rtol=0, atol=16 * EPS * np.max(np.abs(delivered)))


def test_nested_parts_have_their_own_certificate():
    system = nested()
    t = np.linspace(0.0, 0.5, 501)
    res = zarel.simulate(system, {}, t, u={"drive.motor.V": 12.0, "load.torque": -0.05})
    whole = res.balance()
    assert [b.part for b in whole.parts] == ["drive", "load"]
    drive_, motor, shaft = res.balance("drive"), res.balance("drive.motor"), res.balance("drive.shaft")
    np.testing.assert_array_equal(drive_.residual, whole.parts[0].residual)
    # the drive receives what its motor and shaft receive, less what passes between them
    np.testing.assert_allclose(motor.supplied + shaft.supplied, drive_.supplied, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(motor.dissipated + shaft.dissipated, drive_.dissipated, rtol=1e-12)
    assert motor.total_supplied > 1.0 and whole.total_supplied == pytest.approx(
        sum(b.total_supplied for b in whole.parts), rel=1e-12)


def test_a_composite_saved_and_loaded_is_connected_again(tmp_path):
    drive().to_json(tmp_path / "drive.json")
    loaded = zarel.load(tmp_path / "drive.json")
    again = zarel.connect({"drive": loaded, "load": load()}, [("load.shaft", "drive.shaft.a")], name="nested")
    assert again.json() == nested().json()
    # and once more, the whole saved, loaded and given a port of its own
    again.to_json(tmp_path / "nested.json")
    outer = zarel.connect({"n": zarel.load(tmp_path / "nested.json"), "m": parts.mass()}, [("m.F", "n.load.torque")])
    direct = zarel.connect({"n": nested(), "m": parts.mass()}, [("m.F", "n.load.torque")])
    assert outer.json() == direct.json() and outer.input_names == ("n.drive.motor.V",)


def test_parts_are_lowered_once_per_distinct_part_not_per_object(monkeypatch):
    # the library's parts: a new call with the same arguments is the part in use
    assert parts.mass(m=2.0, ports=["l", "r"]) is parts.mass(2.0, 0.0, ("l", "r"))
    assert parts.mass(m=2.0) is not parts.mass(m=3.0)
    # parts of one's own, made anew for each place: equal documents are lowered once
    import zarel.compose

    lowered = []
    monkeypatch.setattr(zarel.compose, "lower", lambda e, slots: lowered.append(e) or zarel.lowering.lower(e, slots))
    zarel.connect({"a": _g_reads_state(), "b": _g_reads_state(), "c": _g_reads_state()}, [])
    assert len(lowered) == 2  # G and the port output's derivative, of one part


def _g_reads_state():
    x, u = sympy.symbols("x u")
    return zarel.PortHamiltonian([x], x**2 / 2, [[0]], G=[[x]], inputs=[u], name="own")


def test_jacobian_left_to_finite_differences_beyond_the_dense_limit():
    big = chain(200)
    assert big.n_states == 399 and "jacobian" not in big.document()
    small = zarel.connect({"c": chain(3)}, [], jacobian=False)
    assert "jacobian" not in small.document()
    with pytest.raises(ValueError, match="part 'c' has no analytic Jacobian"):
        zarel.connect({"c": small}, [], jacobian=True)


def refusal(parts_, links):
    return lambda: zarel.connect(parts_, links)


def _g_reads_input():
    x, u = sympy.symbols("x u")
    return zarel.PortHamiltonian([x], x**2 / 2, [[0]], G=[[u]], inputs=[u], name="odd")


def _energy_output():
    x, u = sympy.symbols("x u")
    return zarel.PortHamiltonian([x], x**2 / 2, [[0]], G=[[1]], inputs=[u], outputs={"energy": x}, name="odd")


M, S = parts.mass(), parts.spring()


@pytest.mark.parametrize("build, error, message", [
    (refusal({"m": M, "s": S}, [("x.F", "s.a")]), ValueError, r"unknown part 'x'; parts are: m, s"),
    (refusal({"m": M, "s": S}, [("m.G", "s.a")]), ValueError, r"part 'm' has no input 'G'; its inputs are: F"),
    (refusal({"m": M, "s": S, "t": S}, [("m.F", "s.a"), ("t.b", "m.F")]), ValueError,
     r"input 'F' of part 'm' is linked twice \(again to 't.b'\)"),
    (refusal({"s": S}, [("s.a", "s.b")]), ValueError, r"joins part 's' to itself"),
    (refusal({"m.1": M}, []), ValueError, r"part name 'm.1' is not an identifier"),
    # the name each part's energy takes in the whole is refused already in the part
    (lambda: zarel.connect({"a": _energy_output()}, []), ValueError, r"the output name 'energy' is reserved"),
    (refusal({"m": M, "o": _g_reads_input()}, [("m.F", "o.u")]), ValueError, r"G of 'odd' depends on the input u"),
    (refusal({"m": flexible_shaft_whole().model()}, []), TypeError, r"part 'm' is a Model, not a zarel.PortHamiltonian"),
    (refusal({"m": zarel.load(M.json())}, []), TypeError,
     r"part 'm' is a System whose document keeps no port structure, not a zarel.PortHamiltonian"),
    (lambda: zarel.connect({"m": M}, [], jacobian="yes"), TypeError, r"jacobian must be True, False or None"),
    (refusal({"m": M, "s": S}, [("m.F",)]), ValueError, r"a link is a pair of inputs"),
    (refusal({"m": M, "s": S}, [("mF", "s.a")]), ValueError, r"'mF' is not of the form"),
    (refusal({"m": M, "d": parts.damper(), "r": parts.damper(ends=("a",))}, [("m.F", "d.b"), ("d.a", "r.a")]),
     ValueError, r"link \('d.a', 'r.a'\) joins two feedthrough ports.*algebraic loop"),
])
def test_refusals_name_the_part_and_input(build, error, message):
    with pytest.raises(error, match=message):
        build()


def imported_modules(module):
    """The zarel modules that `module`'s source imports, at any depth of its code."""
    import ast

    tree = ast.parse(pathlib.Path(module.__file__).read_text())
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            found.add(("zarel." if node.level else "") + (node.module or ""))
        elif isinstance(node, ast.Import):
            found.update(a.name for a in node.names)
    return found


def test_the_certificate_per_part_lives_beside_the_certificate_not_in_composition():
    import zarel.balance
    import zarel.compose
    import zarel.result

    assert "zarel.result" not in imported_modules(zarel.compose)
    assert "zarel.compose" not in imported_modules(zarel.result)
    assert not {"zarel.result", "zarel.compose"} & imported_modules(zarel.balance)
