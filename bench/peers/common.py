"""Records shared by the suite and the peer modules."""
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import numpy as np


@dataclass
class Problem:
    name: str
    doc: dict
    f: Callable                      # NumPy right-hand side f(t, x)
    x0: np.ndarray
    t: np.ndarray                    # the grid on which every solver reports and errors are measured
    stiff: bool
    jac: Any = None                  # NumPy Jacobian: array or callable (t, x), or None
    knots: Optional[tuple] = None    # (knots_t, knots_u) of a piecewise-linear input, or None
    atol_factor: float = 1e-3        # atol = rtol * atol_factor
    explicit: str = "all"            # which explicit solvers are practical: all, compiled, none
    family: str = ""                 # group name for the scaling sections
    midpoint_scale: int = 1          # multiplies the midpoint refinements (fast transients)

    def jac_fn(self):
        if self.jac is None:
            return None
        if callable(self.jac):
            return self.jac
        A = self.jac
        return lambda t, x: A


@dataclass
class Method:
    label: str                       # e.g. "scipy Radau"
    peer: str                        # package, for the availability report
    kind: str                        # "tol" (rtol sweep) or "grid" (refinement sweep)
    params: list
    prepare: Callable                # param -> run(); run() -> (x on problem.t, rhs evaluations)
    note: str = ""
    extra: dict = field(default_factory=dict)


def refine(t, r):
    """The grid t with every interval cut into r equal parts; t is t_fine[::r]."""
    if r == 1:
        return np.ascontiguousarray(t, dtype=float)
    steps = np.arange(r) / r
    fine = (t[:-1, None] + (t[1:] - t[:-1])[:, None] * steps[None, :]).ravel()
    return np.ascontiguousarray(np.append(fine, t[-1]))
