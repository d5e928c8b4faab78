"""A small library of parts to join with `zarel.connect`, each a `zarel.PortHamiltonian`.

Every port is an input u with its collocated output y = G^T grad H + D u, and u y is the power the part
receives through it. Mechanical ports take a force (or torque) and give a velocity; electrical
ports take a voltage and give a current, or (capacitor) take a current and give a voltage. A link
("a.u1", "b.u2") sets u1 = -y2 and u2 = y1, so a force port is linked to a velocity port (a mass
to a spring end), a voltage port to a current port (an inductor to a capacitor). A port left
unlinked is an input of the whole: a force, a voltage source, a moving wall.

A part without storage acts at once through its feedthrough D, y = D u: a damper or a resistor
(D positive semi-definite, dissipating u^T D u) or a voltage source (D skew-symmetric, passing
the power of its external input to its port). Two such ports are never linked to each other (an
algebraic loop); a part with storage goes between them. Storage parts carry their own losses too
(a mass's friction, an inductor's resistance, a capacitor's leak).

A part is never changed once made, so a call with the arguments of a part still in use returns that
part: a chain of a thousand masses, a new `mass()` for each, builds one mass, not a thousand.
"""

from __future__ import annotations

import functools
import inspect
import weakref
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import sympy

from zarel.symbolic import PortHamiltonian


Factory = TypeVar("Factory", bound=Callable[..., PortHamiltonian])

# the parts in use by their factory and arguments
_made: weakref.WeakValueDictionary[tuple[Any, ...], PortHamiltonian] = weakref.WeakValueDictionary()


def _shared(factory: Factory) -> Factory:
    """`factory`, returning the part already made with the same arguments while that part is in use."""
    signature = inspect.signature(factory)

    @functools.wraps(factory)
    def made(*args: Any, **kwargs: Any) -> PortHamiltonian:
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        # names given as a list or a tuple are the same names; the type keeps 1 and True apart
        key = (factory.__name__, *(tuple(v) if isinstance(v, (list, tuple)) else (type(v), v)
                                   for v in bound.arguments.values()))
        try:
            part = _made.get(key)
        except TypeError:  # an argument with no hash, which the factory will judge
            return factory(*args, **kwargs)
        if part is None:
            part = _made[key] = factory(*args, **kwargs)
        return part

    return made  # type: ignore[return-value]


def _positive(*names: str) -> tuple[sympy.Symbol, ...]:
    return tuple(sympy.Symbol(s, positive=True) for s in names)


def _nonnegative(*names: str) -> tuple[sympy.Symbol, ...]:
    return tuple(sympy.Symbol(s, nonnegative=True) for s in names)


@_shared
def mass(m: float = 1.0, b: float = 0.0, ports: Sequence[str] = ("F",), name: str = "mass") -> PortHamiltonian:
    """A mass (or, with torques for forces, an inertia) with viscous friction to the ground.

    State p (momentum), H = p^2/(2 m), R = b. Parameters m, b. One force port per name in `ports`
    (default "F"), each giving the velocity p/m; the forces add. Outputs "velocity".
    """
    p = sympy.Symbol("p")
    m_, b_ = _positive("m")[0], _nonnegative("b")[0]
    forces = sympy.symbols(list(ports)) if ports else []
    return PortHamiltonian([p], H=p**2 / (2 * m_), J=[[0]], R=[[b_]], G=[[1] * len(forces)], inputs=forces,
                           params={m_: m, b_: b}, outputs={"velocity": p / m_}, name=name)


@_shared
def spring(k: float = 1.0, k3: float = 0.0, ends: Sequence[str] = ("a", "b"), name: str = "spring") -> PortHamiltonian:
    """A spring, linear or hardening: force k q + k3 q^3 at elongation q.

    State q, H = k q^2/2 + k3 q^4/4. Parameters k, and k3 unless it is 0 (a linear spring, which
    then costs no cubic term). Two velocity ports (default "a" and "b", q growing at v_b - v_a),
    each giving the force on the part linked to it; with one name in `ends` the other end is
    fixed (q growing at its velocity). Outputs "force" (k q + k3 q^3).
    """
    q = sympy.Symbol("q")
    k_, k3_ = _positive("k")[0], _nonnegative("k3")[0]
    velocities = sympy.symbols(list(ends))
    if len(velocities) not in (1, 2):
        raise ValueError(f"a spring has one or two ends, got {len(velocities)}")
    G = [[1]] if len(velocities) == 1 else [[-1, 1]]
    params = {k_: k, k3_: k3} if k3 else {k_: k}
    hardening = k3_ if k3 else 0
    return PortHamiltonian([q], H=k_ * q**2 / 2 + hardening * q**4 / 4, J=[[0]], G=G, inputs=velocities,
                           params=params, outputs={"force": k_ * q + hardening * q**3}, name=name)


@_shared
def inductor(L: float = 1.0, R: float = 0.0, ports: Sequence[str] = ("V",), name: str = "inductor") -> PortHamiltonian:
    """An inductor with series resistance: the current common to a series loop.

    State phi (flux linkage), H = phi^2/(2 L), R = R. Parameters L, R. One voltage port per name
    in `ports` (default "V"), each giving the current phi/L; the voltages add around the loop,
    and one left unlinked is a voltage source. Outputs "current".
    """
    phi = sympy.Symbol("phi")
    L_, R_ = _positive("L")[0], _nonnegative("R")[0]
    voltages = sympy.symbols(list(ports)) if ports else []
    return PortHamiltonian([phi], H=phi**2 / (2 * L_), J=[[0]], R=[[R_]], G=[[1] * len(voltages)], inputs=voltages,
                           params={L_: L, R_: R}, outputs={"current": phi / L_}, name=name)


@_shared
def capacitor(C: float = 1.0, G: float = 0.0, ports: Sequence[str] = ("i",), name: str = "capacitor") -> PortHamiltonian:
    """A capacitor with a parallel leak conductance: the voltage common to a node.

    State Q (charge), H = Q^2/(2 C), R = G (dissipating G v^2 at voltage v = Q/C). Parameters C, G.
    One current port per name in `ports` (default "i"), each giving the voltage Q/C; the currents
    into the node add, and one left unlinked is a current source. Outputs "voltage".
    """
    Q = sympy.Symbol("Q")
    C_, G_ = _positive("C")[0], _nonnegative("G")[0]
    currents = sympy.symbols(list(ports)) if ports else []
    return PortHamiltonian([Q], H=Q**2 / (2 * C_), J=[[0]], R=[[G_]], G=[[1] * len(currents)], inputs=currents,
                           params={C_: C, G_: G}, outputs={"voltage": Q / C_}, name=name)


@_shared
def dc_motor(R: float = 1.0, L: float = 0.5, K: float = 0.01, J_r: float = 0.01, b: float = 0.1,
             name: str = "dc_motor") -> PortHamiltonian:
    """A permanent-magnet DC motor: its armature and rotor joined by the gyrator K.

    States phi (armature flux linkage) and p (rotor angular momentum), H = phi^2/(2 L) + p^2/(2 J_r),
    J = [[0, -K], [K, 0]], R = diag(R, b). Parameters R, L, K, J_r, b. Ports "V" (electrical:
    the armature voltage, giving the current) and "torque" (mechanical: a torque on the rotor,
    giving its speed). Outputs "current", "speed", "motor_torque" (K i), "back_emf" (K omega).
    """
    phi, p, V, torque = sympy.symbols("phi p V torque")
    R_, L_, J_r_, b_, K_ = _positive("R", "L", "J_r", "b", "K")
    current, speed = phi / L_, p / J_r_
    return PortHamiltonian(
        [phi, p], H=phi**2 / (2 * L_) + p**2 / (2 * J_r_),
        J=[[0, -K_], [K_, 0]], R=[[R_, 0], [0, b_]], G=[[1, 0], [0, 1]], inputs=[V, torque],
        params={R_: R, L_: L, K_: K, J_r_: J_r, b_: b},
        outputs={"current": current, "speed": speed, "motor_torque": K_ * current, "back_emf": K_ * speed},
        name=name)


def _ends(ends: Sequence[str], what: str) -> tuple[list[sympy.Symbol], list[int]]:
    """The velocity ports of a two-ended element and their signs in its elongation rate."""
    velocities = sympy.symbols(list(ends))
    if len(velocities) not in (1, 2):
        raise ValueError(f"a {what} has one or two ends, got {len(velocities)}")
    return velocities, [1] if len(velocities) == 1 else [-1, 1]


@_shared
def damper(c: float = 1.0, ends: Sequence[str] = ("a", "b"), name: str = "damper") -> PortHamiltonian:
    """A linear viscous damper: force c v at elongation rate v, stored energy none.

    No state; D = c g^T g with g = [-1, 1] (or [1] with one end), dissipating c v^2. Parameter c.
    Two velocity ports (default "a" and "b", v = v_b - v_a), each giving the force on the part
    linked to it, as a spring's ends do; with one name in `ends` the other end is fixed (v its
    velocity). Link its ends to parts with storage (masses), never to another damper or spring
    end acting at once. Outputs "force" (c v).
    """
    c_ = _nonnegative("c")[0]
    velocities, g = _ends(ends, "damper")
    rate = sympy.Add(*(s * v for s, v in zip(g, velocities)))
    return PortHamiltonian([], H=0, J=[], G=sympy.zeros(0, len(velocities)), inputs=velocities, params={c_: c},
                           D=[[c_ * a * b for b in g] for a in g], outputs={"force": c_ * rate}, name=name)


@_shared
def resistor(R: float = 1.0, port: str = "i", name: str = "resistor") -> PortHamiltonian:
    """A linear resistor in a series loop: voltage R i at current i, stored energy none.

    No state; D = [[R]], dissipating R i^2. Parameter R. One current port (default "i"), giving
    the voltage R i; link it to an inductor's voltage port, as ("inductor.V", "resistor.i").
    Outputs "voltage" (R i).
    """
    R_ = _nonnegative("R")[0]
    i = sympy.Symbol(port)
    return PortHamiltonian([], H=0, J=[], G=sympy.zeros(0, 1), inputs=[i], params={R_: R}, D=[[R_]],
                           outputs={"voltage": R_ * i}, name=name)


@_shared
def voltage_source(port: str = "i", effort: str = "V", name: str = "voltage_source") -> PortHamiltonian:
    """An ideal voltage source: its port's output is the voltage V given from outside.

    No state, no parameter. Inputs: the current port (default "i"), giving the voltage V, and the
    voltage V itself (default "V"), which left unlinked is an input of the whole, giving the
    current -i: D = [[0, 1], [-1, 0]], lossless, so the power V (-i) that enters the whole through
    V is what the source delivers through its port. Link it as ("voltage_source.i", "inductor.V")
    so that the inductor sees +V. Outputs "delivered_power" (-V i).
    """
    i, V = sympy.symbols([port, effort])
    return PortHamiltonian([], H=0, J=[], G=sympy.zeros(0, 2), inputs=[i, V], D=[[0, 1], [-1, 0]],
                           outputs={"delivered_power": -V * i}, name=name)
