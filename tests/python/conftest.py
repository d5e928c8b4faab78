"""Shared model documents and fixtures for the Python tests of zarel_engine.

Documents are built as Python dicts and handed to Model as JSON text. Environment slots are
the states, then the inputs, then the parameters, then t.
"""

import copy
import json

import pytest

import zarel_engine


def ref(i):
    return ["ref", i]


def const(v):
    return ["const", v]


def op(name, *args):
    return [name, *args]


# One state, one input, one parameter: dx/dt = -p*x + u, H = x^2/2, one port (y = x, v = u).
# Slots: x0=0, u0=1, p0=2, t=3.
ONE_STATE_DOC = {
    "n_states": 1,
    "n_inputs": 1,
    "n_params": 1,
    "param_values": [0.5],
    "rhs": [op("add", op("mul", op("neg", ref(2)), ref(0)), ref(1))],
    "energy": op("mul", const(0.5), op("mul", ref(0), ref(0))),
    "grad_H": [ref(0)],
    "port_outputs": [ref(0)],
    "port_values": [ref(1)],
    "outputs": [ref(0)],
    "output_names": ["x"],
}

# Two states, one input, three parameters, analytic Jacobian.
# Slots: x0=0, x1=1, u0=2, p0=3, p1=4, p2=5, t=6.
#   rhs      = [x1*p1 + u0, (-(p0*x0) - p2*(x1*x1)) + t*x0]
#   jacobian = [0, p1, -p0 + t, (-2*p2)*x1]
#   energy   = 0.5*x0^2 + (0.5*p1)*(x1*x1)
#   grad_H   = [x0, p1*x1]
#   ports    = y [x0, x1], v [u0, 3*u0]
#   outputs  = sum: x0 + x1, tx: t*x1, u: u0
TWO_STATE_PARAMS = [0.5, 2.0, -1.25]
TWO_STATE_DOC = {
    "n_states": 2,
    "n_inputs": 1,
    "n_params": 3,
    "param_values": TWO_STATE_PARAMS,
    "rhs": [
        op("add", op("mul", ref(1), ref(4)), ref(2)),
        op(
            "add",
            op("sub", op("neg", op("mul", ref(3), ref(0))), op("mul", ref(5), op("mul", ref(1), ref(1)))),
            op("mul", ref(6), ref(0)),
        ),
    ],
    "jacobian": [
        const(0),
        ref(4),
        op("add", op("neg", ref(3)), ref(6)),
        op("mul", op("mul", const(-2), ref(5)), ref(1)),
    ],
    "energy": op(
        "add",
        op("mul", const(0.5), op("pow", ref(0), const(2))),
        op("mul", op("mul", const(0.5), ref(4)), op("mul", ref(1), ref(1))),
    ),
    "grad_H": [ref(0), op("mul", ref(4), ref(1))],
    "port_outputs": [ref(0), ref(1)],
    "port_values": [ref(2), op("mul", const(3), ref(2))],
    "outputs": [op("add", ref(0), ref(1)), op("mul", ref(6), ref(1)), ref(2)],
    "output_names": ["sum", "tx", "u"],
}

# The same model without the analytic Jacobian: finite differences.
TWO_STATE_FD_DOC = {k: v for k, v in TWO_STATE_DOC.items() if k != "jacobian"}

# Two states, no inputs, no parameters, nothing but the right-hand side [x0*x1, x0].
NO_INPUT_DOC = {
    "n_states": 2,
    "n_inputs": 0,
    "n_params": 0,
    "param_values": [],
    "rhs": [op("mul", ref(0), ref(1)), ref(0)],
}

# rhs [x0*x1, x0] with a deliberately untrue analytic Jacobian [x1/x0, 7, 7, 7]: where it is
# finite it is returned as written, where x0 = 0 makes it non-finite finite differences take over.
DIV_JACOBIAN_DOC = dict(
    NO_INPUT_DOC,
    jacobian=[op("div", ref(1), ref(0)), const(7), const(7), const(7)],
)

# One state, one input, one parameter; energy and gradient read the input and time slots.
# Slots: x0=0, u0=1, p0=2, t=3.
#   energy = (x0*p0 + u0) + t
#   grad_H = [t, u0, p0*x0]  (three entries for one state)
TIME_ENERGY_DOC = {
    "n_states": 1,
    "n_inputs": 1,
    "n_params": 1,
    "param_values": [4.0],
    "rhs": [ref(3)],
    "energy": op("add", op("add", op("mul", ref(0), ref(2)), ref(1)), ref(3)),
    "grad_H": [ref(3), ref(1), op("mul", ref(2), ref(0))],
}

# No states at all, with an (empty) analytic Jacobian.
EMPTY_DOC = {"n_states": 0, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [], "jacobian": []}


def load(doc):
    return zarel_engine.Model(json.dumps(doc))


DOCS = {
    "one_state": ONE_STATE_DOC,
    "two_state": TWO_STATE_DOC,
    "two_state_fd": TWO_STATE_FD_DOC,
    "no_input": NO_INPUT_DOC,
    "div_jacobian": DIV_JACOBIAN_DOC,
    "time_energy": TIME_ENERGY_DOC,
    "empty": EMPTY_DOC,
}


@pytest.fixture
def doc():
    """A fresh copy of a named document, free to edit."""
    return lambda name: copy.deepcopy(DOCS[name])


@pytest.fixture
def make_model():
    """Builds a Model from a document dict (deep-copied, so callers may edit theirs)."""
    return lambda doc: load(copy.deepcopy(doc))


@pytest.fixture(scope="session")
def shared_two_state():
    """One two-state model for property-based tests; they must not change its params."""
    return load(TWO_STATE_DOC)


@pytest.fixture(scope="session")
def shared_two_state_fd():
    return load(TWO_STATE_FD_DOC)


@pytest.fixture
def one_state():
    return load(ONE_STATE_DOC)


@pytest.fixture
def two_state():
    return load(TWO_STATE_DOC)


@pytest.fixture
def two_state_fd():
    return load(TWO_STATE_FD_DOC)


@pytest.fixture
def no_input():
    return load(NO_INPUT_DOC)


@pytest.fixture
def div_jacobian():
    return load(DIV_JACOBIAN_DOC)


@pytest.fixture
def time_energy():
    return load(TIME_ENERGY_DOC)


@pytest.fixture
def empty_model():
    return load(EMPTY_DOC)


class FloatProbe:
    """A float-like object: counts conversions and runs `action` inside __float__."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action
        self.calls = 0

    def __float__(self):
        self.calls += 1
        if self.action is not None:
            self.action()
        return self.value


@pytest.fixture
def float_probe():
    return FloatProbe
