"""zarel: port-Hamiltonian models in SymPy, simulated by the zarel_engine extension.

``import zarel`` alone needs only NumPy and the extension: the SymPy front end is imported when
one of its names is first used, and every module imports its other dependencies (xarray, Dask,
matplotlib, pandas) inside the functions that need them. Type checkers see every name with its
type.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from zarel.balance import Balance
from zarel.fitting import Experiment, FitResult, FitWarning, fit
from zarel.result import Result, simulate
from zarel.sweeps import grid, sweep
from zarel.system import System, load

if TYPE_CHECKING:
    from zarel import parts
    from zarel.compose import connect
    from zarel.symbolic import ODE, PortHamiltonian, t

# public name -> the module that defines it, for the names imported on first use
_LAZY = {
    "t": "zarel.symbolic",
    "PortHamiltonian": "zarel.symbolic",
    "ODE": "zarel.symbolic",
    "connect": "zarel.compose",
    "parts": "zarel.parts",
}

__all__ = ["Balance", "Experiment", "FitResult", "FitWarning", "ODE", "PortHamiltonian", "Result", "System", "connect",
           "fit", "grid", "load", "parts", "simulate", "sweep", "t"]

# hidden from type checkers, which would otherwise take every unknown name for one it returns
if not TYPE_CHECKING:

    def __getattr__(name: str) -> Any:
        module = _LAZY.get(name)
        if module is None:
            raise AttributeError(f"module 'zarel' has no attribute {name!r}")
        # a name whose module is its own (zarel.parts) is that module
        value = importlib.import_module(module)
        value = value if module == f"zarel.{name}" else getattr(value, name)
        globals()[name] = value
        return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
