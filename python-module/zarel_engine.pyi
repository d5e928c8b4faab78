"""Types of the zarel_engine extension: one compiled model class and the solver names."""

from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

import numpy as np
import numpy.typing as npt

__version__: str
SOLVERS: list[str]

_Array = npt.NDArray[np.float64]
# Names the solver parses (canonical names and aliases); any other text is a ValueError.
_Method = Literal["euler", "rk4", "rk45", "adaptive", "midpoint", "implicit_midpoint", "auto"]
_Interp = Literal["hold", "zoh", "previous", "linear"]

@type_check_only
class _Stats(TypedDict):
    steps: int
    rhs_evals: int
    newton_iterations: int
    jacobian_evals: int
    rejected_steps: int
    method: Literal["euler", "rk4", "rk45", "midpoint"]

@type_check_only
class _Trajectory(TypedDict):
    t: _Array
    x: _Array
    u: _Array
    energy: _Array
    supplied_power: _Array
    outputs: _Array
    stats: _Stats

@type_check_only
class _Batch(TypedDict):
    t: _Array
    x: _Array
    energy: _Array

@final
class Model:
    """A compiled physical model in port-Hamiltonian form."""

    def __new__(cls, json: str) -> Model: ...
    def rhs(self, x: _Array, u: _Array | None = None, t: SupportsFloat = 0.0) -> _Array: ...
    def jacobian(self, x: _Array, u: _Array | None = None, t: SupportsFloat = 0.0) -> _Array: ...
    def energy(self, x: _Array) -> float: ...
    def grad_h(self, x: _Array) -> _Array: ...
    def outputs(self, x: _Array, u: _Array | None = None, t: SupportsFloat = 0.0) -> _Array: ...
    def port_outputs(self, x: _Array, u: _Array | None = None, t: SupportsFloat = 0.0) -> _Array: ...
    def supplied_power(self, x: _Array, u: _Array | None = None, t: SupportsFloat = 0.0) -> float: ...
    def step(
        self,
        x: _Array,
        u: _Array | None,
        t: SupportsFloat,
        dt: SupportsFloat,
        method: _Method | str = "midpoint",
        rtol: SupportsFloat = 1e-8,
        atol: SupportsFloat = 1e-10,
        newton_tol: SupportsFloat = 1e-10,
        max_newton: SupportsIndex = 50,
    ) -> _Array: ...
    def simulate(
        self,
        x0: _Array,
        t: _Array,
        u: _Array | None = None,
        method: _Method | str = "midpoint",
        interp: _Interp | str = "hold",
        rtol: SupportsFloat = 1e-8,
        atol: SupportsFloat = 1e-10,
        newton_tol: SupportsFloat = 1e-10,
        max_newton: SupportsIndex = 50,
        record_outputs: bool | np.bool_ = True,
        record_energy: bool | np.bool_ = True,
    ) -> _Trajectory: ...
    def simulate_batch(
        self,
        x0s: _Array,
        t: _Array,
        u: _Array | None = None,
        params: _Array | None = None,
        method: _Method | str = "midpoint",
        interp: _Interp | str = "hold",
        rtol: SupportsFloat = 1e-8,
        atol: SupportsFloat = 1e-10,
        newton_tol: SupportsFloat = 1e-10,
        max_newton: SupportsIndex = 50,
    ) -> _Batch: ...
    @property
    def n_states(self) -> int: ...
    @property
    def n_inputs(self) -> int: ...
    @property
    def n_params(self) -> int: ...
    @property
    def output_names(self) -> list[str]: ...
    @property
    def params(self) -> _Array: ...
    @params.setter
    def params(self, p: _Array) -> None: ...
    @property
    def has_jacobian(self) -> bool: ...
