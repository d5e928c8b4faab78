"""Integrals of a run's powers over its output intervals, by the rule that suits each method."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Optional

import numpy as np
import numpy.typing as npt

import zarel_engine

from . import _engine

Array = npt.NDArray[np.float64]
# values (K, q) of some powers at K points: states (K, n), inputs (K, m), times (K,)
Integrand = Callable[[Array, Array, Array], Array]

# Three-point Gauss-Legendre on [0, 1] (Abramowitz and Stegun 25.4.29): exact for degree 5.
GAUSS_NODES = (0.5 - math.sqrt(15.0) / 10.0, 0.5, 0.5 + math.sqrt(15.0) / 10.0)
GAUSS_WEIGHTS = (5.0 / 18.0, 8.0 / 18.0, 5.0 / 18.0)


def interval_integrals(model: zarel_engine.Model, params: Array, method: str, interp: str, t: Array, x: Array,
                       series: Optional[Array], integrand: Integrand, grid_steps: bool = True) -> Array:
    """The integral of `integrand` over each interval [t[k], t[k+1]] along the run, (L - 1, q).

    Midpoint stepping on the grid (`grid_steps`): the integrand at the mean state, the middle of the
    interval and the input midpoint used there, times the length; it is this rule under which the
    method balances energy exactly. Other methods, and midpoint on steps of its own: three-point Gauss-Legendre on the cubic Hermite interpolant of the end states
    and their derivatives, with the input the continuous problem sees (the held row, or the linear
    interpolation of the rows); its error is of order h^4 per unit time, so the residual measures
    the method, not the quadrature, once the grid is fine against the method's own error.
    """
    h = np.diff(t)
    s = np.zeros((len(t), model.n_inputs)) if series is None else series
    hold = interp == "hold"
    if method == "midpoint" and grid_steps:  # the same operations, in the same order, as the method's step
        inputs = s[:-1] if hold else (s[1:] - s[:-1]) * 0.5 + s[:-1]
        return integrand((x[:-1] + x[1:]) * 0.5, inputs, t[:-1] + 0.5 * h) * h[:, None]
    start_u, end_u = s[:-1], (s[:-1] if hold else s[1:])
    f0 = _engine.evaluate(model, "rhs", x[:-1], start_u, t[:-1], params=params) * h[:, None]
    f1 = _engine.evaluate(model, "rhs", x[1:], end_u, t[1:], params=params) * h[:, None]
    total: Optional[Array] = None
    for theta, weight in zip(GAUSS_NODES, GAUSS_WEIGHTS):
        # cubic Hermite basis at theta
        a, b = theta * theta * (2.0 * theta - 3.0) + 1.0, theta * (theta - 1.0) ** 2
        c, d = theta * theta * (3.0 - 2.0 * theta), theta * theta * (theta - 1.0)
        states = a * x[:-1] + b * f0 + c * x[1:] + d * f1
        inputs = start_u if hold else (s[1:] - s[:-1]) * theta + s[:-1]
        value = weight * integrand(states, inputs, t[:-1] + theta * h)
        total = value if total is None else total + value
    assert total is not None
    return total * h[:, None]
