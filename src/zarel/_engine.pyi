"""Types of zarel._engine: runs and point evaluations of zarel_engine models for the package."""

from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt
from zarel_engine import Model, _Trajectory

_Array = npt.NDArray[np.float64]
_Method = Literal["euler", "rk4", "rk45", "dop853", "adaptive", "midpoint", "implicit_midpoint", "auto", "gauss4"]
_Interp = Literal["hold", "zoh", "previous", "linear"]
_Quantity = Literal["rhs", "outputs", "port_outputs", "supplied_power", "energy", "grad_h"]

def simulate(
    model: Model,
    x0: _Array,
    t: _Array,
    u: _Array | None = None,
    *,
    params: _Array | None = None,
    method: _Method | str = "midpoint",
    interp: _Interp | str = "hold",
    rtol: SupportsFloat = 1e-8,
    atol: SupportsFloat = 1e-10,
    newton_tol: SupportsFloat = 1e-10,
    max_newton: SupportsIndex = 50,
    dense: bool | np.bool_ = False,
    record_outputs: bool | np.bool_ = True,
    record_energy: bool | np.bool_ = True,
    error_states: SupportsIndex | None = None,
    sensitivity_blocks: SupportsIndex | None = None,
) -> _Trajectory: ...
def simulate_batch(
    model: Model,
    x0s: _Array,
    t: _Array,
    u: _Array | None = None,
    *,
    params: _Array | None = None,
    method: _Method | str = "midpoint",
    interp: _Interp | str = "hold",
    rtol: SupportsFloat = 1e-8,
    atol: SupportsFloat = 1e-10,
    newton_tol: SupportsFloat = 1e-10,
    max_newton: SupportsIndex = 50,
    dense: bool | np.bool_ = False,
    x: _Array,
    energy: _Array | None = None,
    supplied_power: _Array | None = None,
    outputs: _Array | None = None,
    u_out: _Array | None = None,
    stats: npt.NDArray[np.uint64] | None = None,
    error_states: SupportsIndex | None = None,
    sensitivity_blocks: SupportsIndex | None = None,
) -> list[str | None]: ...
def empty(runs: SupportsIndex, points: SupportsIndex, columns: SupportsIndex | None = None) -> _Array: ...
def evaluate(
    model: Model,
    what: _Quantity | str,
    x: _Array,
    u: _Array | None = None,
    t: _Array | None = None,
    *,
    params: _Array | None = None,
) -> _Array: ...
def simulate_discrete_gradient(
    model: Model,
    structure: Model,
    x0: _Array,
    t: _Array,
    u: _Array | None = None,
    *,
    params: _Array | None = None,
    interp: _Interp | str = "hold",
    rtol: SupportsFloat = 1e-8,
    atol: SupportsFloat = 1e-10,
    newton_tol: SupportsFloat = 1e-10,
    max_newton: SupportsIndex = 50,
    record_outputs: bool | np.bool_ = True,
    record_energy: bool | np.bool_ = True,
    blocks: Sequence[tuple[int, int, int]] | None = None,
) -> _Trajectory: ...
