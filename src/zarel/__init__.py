"""zarel: port-Hamiltonian models in SymPy, simulated by the zarel_engine extension.

Each part imports its own dependencies when first used: ``import zarel`` alone needs only NumPy
and the extension.
"""

from __future__ import annotations

import importlib
from typing import Any

# public name -> the module that defines it
_EXPORTS = {
    "System": "zarel.system",
    "load": "zarel.system",
    "t": "zarel.symbolic",
    "PortHamiltonian": "zarel.symbolic",
    "ODE": "zarel.symbolic",
    "simulate": "zarel.result",
    "Result": "zarel.result",
    "Balance": "zarel.result",
    "sweep": "zarel.sweeps",
    "grid": "zarel.sweeps",
    "connect": "zarel.compose",
    "parts": "zarel.parts",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'zarel' has no attribute {name!r}")
    # a name whose module is its own (zarel.parts) is that module
    value = importlib.import_module(module)
    value = value if module == f"zarel.{name}" else getattr(value, name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
