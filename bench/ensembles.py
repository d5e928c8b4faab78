"""The ensembles that bench_sweep.py and bench_ensemble.py time: many runs of one small model, one
parameter varied, as zarel systems and in the plain numbers a peer is given."""
from dataclasses import dataclass

import numpy as np


@dataclass
class Ensemble:
    name: str
    system: object              # zarel.System
    x0: np.ndarray              # the initial state of every run
    varied: str                 # the parameter varied over the runs
    values: np.ndarray          # its value in each run
    params: dict                # every parameter's value, the varied one at its default
    forcing: dict               # input name -> SymPy expression of zarel.t (empty without inputs)

    def param_rows(self):
        """(runs, n_params) in the system's order, as zarel._engine.simulate_batch takes them."""
        names = list(self.params)
        rows = np.tile([self.params[k] for k in names], (len(self.values), 1))
        rows[:, names.index(self.varied)] = self.values
        return np.ascontiguousarray(rows)

    def x0s(self):
        return np.ascontiguousarray(np.tile(self.x0, (len(self.values), 1)))


def lorenz(runs):
    """sigma 10, beta 8/3, rho over [10, 40], from (1, 1, 1)."""
    import sympy as sp
    import zarel

    x, y, z, sigma, rho, beta = sp.symbols("x y z sigma rho beta")
    params = {"sigma": 10.0, "rho": 28.0, "beta": 8.0 / 3.0}
    system = zarel.ODE([x, y, z], [sigma * (y - x), x * (rho - z) - y, x * y - beta * z],
                       params={sigma: 10.0, rho: 28.0, beta: 8.0 / 3.0}, name="lorenz")
    return Ensemble("lorenz", system, np.ones(3), "rho", np.linspace(10.0, 40.0, runs), params, {})


def duffing(runs):
    """q'' + delta q' - q + q^3 = 0.3 cos(1.2 t) from (1, 0), delta over [0.15, 0.45]: the
    double-well Duffing oscillator driven through an input given as an expression of time."""
    import sympy as sp
    import zarel

    q, p, delta, force = sp.symbols("q p delta F")
    params = {"delta": 0.3}
    system = zarel.ODE([q, p], [p, -delta * p + q - q**3 + force], inputs=[force], params={delta: 0.3},
                       name="duffing")
    return Ensemble("duffing", system, np.array([1.0, 0.0]), "delta", np.linspace(0.15, 0.45, runs), params,
                    {"F": 0.3 * sp.cos(1.2 * zarel.t)})
