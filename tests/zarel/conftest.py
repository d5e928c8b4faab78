"""Shared models of the zarel package tests: one port-Hamiltonian oscillator built with the front end
and the same oscillator written by hand as an engine document."""

import copy
import signal

import pytest
import sympy

import zarel

# The Ctrl-C tests need SIGINT to raise KeyboardInterrupt here and to end the commands they start:
# a shell that starts the suite in the background leaves it ignored, and children inherit that.
signal.signal(signal.SIGINT, signal.default_int_handler)


def oscillator_system(m=1.0, k=4.0, c=0.4):
    """Damped mass-spring oscillator driven by a force F: H = p^2/(2m) + k q^2/2, R = diag(0, c)."""
    q, p, F = sympy.symbols("q p F")
    m_, k_, c_ = sympy.symbols("m k c", positive=True)
    return zarel.PortHamiltonian(
        [q, p], H=p**2 / (2 * m_) + k_ * q**2 / 2, J=[[0, 1], [-1, 0]], R=[[0, 0], [0, c_]], G=[0, 1],
        inputs=[F], params={m_: m, k_: k, c_: c}, outputs={"velocity": p / m_}, name="oscillator")


def ref(i):
    return ["ref", i]


# The same oscillator by hand. Slots: q=0, p=1, F=2, m=3, k=4, c=5, t=6.
OSCILLATOR_DOC = {
    "name": "oscillator",
    "state_names": ["q", "p"],
    "input_names": ["F"],
    "param_names": ["m", "k", "c"],
    "n_states": 2,
    "n_inputs": 1,
    "n_params": 3,
    "param_values": [1.0, 4.0, 0.4],
    "rhs": [["div", ref(1), ref(3)],
            ["sub", ["sub", ref(2), ["mul", ref(4), ref(0)]], ["mul", ref(5), ["div", ref(1), ref(3)]]]],
    "jacobian": [["const", 0], ["div", ["const", 1], ref(3)], ["neg", ref(4)], ["neg", ["div", ref(5), ref(3)]]],
    "energy": ["add", ["div", ["mul", ref(1), ref(1)], ["mul", ["const", 2], ref(3)]],
               ["mul", ["const", 0.5], ["mul", ref(4), ["mul", ref(0), ref(0)]]]],
    "grad_H": [["mul", ref(4), ref(0)], ["div", ref(1), ref(3)]],
    "port_outputs": [["div", ref(1), ref(3)]],
    "port_values": [ref(2)],
    "outputs": [["div", ref(1), ref(3)], ["mul", ref(5), ["mul", ["div", ref(1), ref(3)], ["div", ref(1), ref(3)]]]],
    "output_names": ["velocity", "dissipated_power"],
}


@pytest.fixture
def oscillator():
    """The front end's oscillator (a zarel.PortHamiltonian)."""
    return oscillator_system()


@pytest.fixture
def oscillator_doc():
    """The hand-written oscillator document, a fresh copy free to edit."""
    return copy.deepcopy(OSCILLATOR_DOC)
