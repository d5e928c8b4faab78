"""Simulation by name: the run of a model with labelled results, and its energy-balance certificate."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, Optional, Union

import numpy as np
import numpy.typing as npt

import zarel_engine

from . import _engine
from .balance import DISSIPATED_POWER, Balance, part_balances, top_parts
from .discrete_gradient import METHOD as DISCRETE_GRADIENT, interval_energies, refusal
from .discrete_gradient import run as run_discrete_gradient
from .quadrature import interval_integrals
from .inputs import Inputs, exact, input_series, split
from .sensitivity import augmented, quantities
from .sizes import check_run
from .system import Signature, System, as_system, finite_grid

if TYPE_CHECKING:
    from zarel_engine import _Stats
    import matplotlib.figure
    import pandas
    import xarray

Array = npt.NDArray[np.float64]

_INTERP_NAMES = {"hold": "hold", "zoh": "hold", "previous": "hold", "linear": "linear"}


@dataclass(eq=False)
class Result:
    """One run of a model, plain data like SciPy's ``OdeResult``.

    ``t`` (L,), ``x`` (L, n), ``u`` (L, m), ``energy`` and ``supplied_power`` (L,), ``outputs``
    (L, q) and ``stats`` as the engine returns them; ``signature`` names the columns, ``params``
    are the parameter values of the run, ``model`` the engine model that ran it.

    ``u`` is the input the run used at each grid point: under "hold" the input recorded at the
    last grid point is the row held over the last interval (the row given for the last point
    starts no interval, so no step reads it: u = [1, 2, 3] is recorded as [1, 2, 2]); under
    "linear" and for an expression, the input at that point. The outputs and the supplied power
    at the last point are computed with that recorded input, so that every column of a row
    belongs to one state and one input.
    """

    t: Array
    x: Array
    u: Array
    energy: Array
    supplied_power: Array
    outputs: Array
    stats: _Stats
    signature: Signature
    method: str
    interp: str
    params: Array
    model: zarel_engine.Model = field(repr=False)
    # the input series handed to the engine (None for zero inputs); the balance samples it as the
    # methods did, which the recorded last row does not allow under "linear"
    series: Optional[Array] = field(default=None, repr=False)
    # the structure model a run of "discrete_gradient" ran on, whose outputs its balance reads
    structure: Optional[zarel_engine.Model] = field(default=None, repr=False)
    # whether midpoint and gauss4 took one step per grid interval (grid_steps=True), which the
    # balance's rule for midpoint depends on; the adaptive pairs' steps do not change it
    grid_steps: bool = field(default=False, repr=False)
    # the quantities a run with sensitivities differentiated by, and the derivatives: (L, n + q, K),
    # the states' then the recorded outputs' by each of them
    sensitivity_names: tuple[str, ...] = ()
    sensitivities: Optional[Array] = field(default=None, repr=False)

    def sensitivity(self, name: str, wrt: Optional[str] = None) -> Array:
        """The derivatives of the state or named output `name` at every grid point: (L, K), one
        column per quantity of ``sensitivity_names``; with `wrt`, the (L,) column of that one."""
        if self.sensitivities is None:
            raise ValueError("the run has no sensitivities; pass sensitivities=[...] to zarel.simulate")
        rows = self._sensitivity_rows()
        if name not in rows:
            raise KeyError(f"no state or recorded output {name!r}; they are: {', '.join(rows) or '(none)'}")
        values = self.sensitivities[:, rows.index(name), :]
        if wrt is None:
            return values
        if wrt not in self.sensitivity_names:
            raise KeyError(f"no sensitivity with respect to {wrt!r}; the run has: {', '.join(self.sensitivity_names)}")
        return values[:, self.sensitivity_names.index(wrt)]

    def _sensitivity_rows(self) -> list[str]:
        """What the rows of ``sensitivities`` differentiate: the states, then the recorded outputs."""
        assert self.sensitivities is not None
        return [*self.signature.state_names, *self.signature.output_names][:self.sensitivities.shape[1]]

    def output(self, name: str) -> Array:
        """The recorded named output `name`, one value per grid point."""
        names = self.signature.output_names
        if name not in names:
            raise KeyError(f"no output {name!r}; outputs are: {', '.join(names) or '(none)'}")
        if self.outputs.shape[1] != len(names):
            raise ValueError("the run did not record outputs (record_outputs=False)")
        return self.outputs[:, names.index(name)]

    def columns(self) -> dict[str, tuple[str, Array]]:
        """Every recorded quantity by name: (kind, values), kinds "state", "input", "output", "energy"."""
        sig = self.signature
        out: dict[str, tuple[str, Array]] = {}
        recorded_outputs = sig.output_names if self.outputs.shape[1] == len(sig.output_names) else ()
        for kind, names, values in (
            ("state", sig.state_names, self.x),
            ("input", sig.input_names, self.u),
            ("output", recorded_outputs, self.outputs),
        ):
            for j, name in enumerate(names):
                _add(out, name, kind, values[:, j])
        if self.energy.size:
            _add(out, "energy", "energy", self.energy)
            _add(out, "supplied_power", "energy", self.supplied_power)
        return out

    def to_xarray(self) -> xarray.Dataset:
        """A Dataset with one variable per state, input and output by name, and ``energy`` and
        ``supplied_power``, on the coordinate "time"; the model's name, the method, the
        interpolation, the parameters and the run statistics in ``attrs``. As in ``u``, under
        "hold" the input recorded at the last grid point is the row held over the last interval."""
        import xarray

        data = {name: ("time", values, {"kind": kind}) for name, (kind, values) in self.columns().items()}
        attrs: dict[str, Any] = {"model": self.signature.name, "method": self.method, "interp": self.interp}
        attrs.update({f"param_{name}": float(v) for name, v in zip(self.signature.param_names, self.params)})
        attrs.update({f"stats_{k}": v for k, v in self.stats.items() if k != "method"})
        coords: dict[str, Any] = {"time": ("time", self.t)}
        if self.sensitivities is not None:
            if "parameter" in data:
                raise ValueError("'parameter' names a column and the sensitivities' dimension; rename the column")
            coords["parameter"] = ("parameter", list(self.sensitivity_names))
            for j, name in enumerate(self._sensitivity_rows()):
                _add_variable(data, f"sensitivity_{name}", (("time", "parameter"), self.sensitivities[:, j, :],
                                                             {"kind": "sensitivity", "of": name}))
        return xarray.Dataset(data, coords=coords, attrs=attrs)

    def to_pandas(self) -> pandas.DataFrame:
        """A DataFrame indexed by time, one column per state, input, output, energy and supplied power.

        As in ``u``, under "hold" the input recorded at the last grid point is the row held over
        the last interval."""
        import pandas

        columns = {name: values for name, (_, values) in self.columns().items()}
        return pandas.DataFrame(columns, index=pandas.Index(self.t, name="time"))

    def plot(self, path: Optional[Union[str, os.PathLike[str]]] = None) -> matplotlib.figure.Figure:
        """States, energy and the power balance over time; written to `path` when given.

        With a path the figure is drawn off screen (Agg) and written; without, it is made with
        pyplot so that notebooks and interactive sessions show it.
        """
        if path is None:
            import matplotlib.pyplot as plt

            fig = plt.figure(figsize=(8, 8))
        else:
            from matplotlib.backends.backend_agg import FigureCanvasAgg
            from matplotlib.figure import Figure

            fig = Figure(figsize=(8, 8))
            FigureCanvasAgg(fig)
        ax_x, ax_h, ax_p = fig.subplots(3, 1, sharex=True)
        _plot_states(ax_x, self.t, self.x, self.signature.state_names)
        if self.energy.size:
            ax_h.plot(self.t, self.energy, label="H")
            ax_p.plot(self.t, self.supplied_power, label="supplied power")
            ax_p.plot(self.t, np.gradient(self.energy, self.t), label="dH/dt", linestyle="--")
            if DISSIPATED_POWER in self.signature.output_names and self.outputs.shape[1]:
                ax_p.plot(self.t, -self.output(DISSIPATED_POWER), label="- dissipated power")
            ax_p.legend(loc="best")
        ax_h.set_ylabel("energy")
        ax_p.set_ylabel("power")
        ax_p.set_xlabel("time")
        fig.suptitle(f"{self.signature.name} ({self.method})")
        if path is not None:
            fig.savefig(path)
        return fig

    def balance(self, part: Optional[str] = None) -> Balance:
        """The energy-balance certificate of this run (see `Balance`).

        For a model built by `zarel.connect`, `part` names one of its parts ("motor", or
        "drive.motor" inside a composite part): its own balance, with the energy it received
        through all its ports. Without `part`, the whole's balance lists its parts' totals.
        """
        sig = self.signature
        if sig.has_energy is False:
            raise ValueError(f"model {sig.name!r} has no energy (its document has no \"energy\"), so there is no "
                             f"balance to certify")
        if self.energy.size == 0:
            raise ValueError("the run did not record energy (record_energy=False); no balance to certify")
        if part is not None:
            return part_balances(self, [part])[0]
        dissipation = sig.output_names.index(DISSIPATED_POWER) if DISSIPATED_POWER in sig.output_names else None
        model, params = self.model, self.params

        def powers(x: Array, u: Array, t: Array) -> Array:
            supplied = _engine.evaluate(model, "supplied_power", x, u, t, params=params)
            if dissipation is None:
                return supplied[:, None]
            return np.column_stack([supplied, _engine.evaluate(model, "outputs", x, u, t, params=params)[:, dissipation]])

        if self.method == DISCRETE_GRADIENT and self.structure is not None:
            supplied, dissipated = interval_energies(self, self.structure)
            dissipation = 0
        else:
            integrals = interval_integrals(model, params, self.method, self.interp, self.t, self.x, self.series,
                                           powers, self.grid_steps)
            supplied = integrals[:, 0]
            dissipated = integrals[:, 1] if dissipation is not None else np.zeros(len(supplied))
        t = self.t
        delta = np.diff(self.energy)
        return Balance(t=t.copy(), delta_energy=delta, supplied=supplied, dissipated=dissipated,
                       residual=delta - supplied + dissipated, method=self.method,
                       dissipation_known=dissipation is not None,
                       parts=tuple(part_balances(self, top_parts(sig))))


# Beyond this many states one legend entry per line is unreadable; the lines are coloured along a
# colour map instead and the legend names the first and the last.
LEGEND_LINES = 8


def _plot_states(ax: Any, t: Array, x: Array, names: tuple[str, ...]) -> None:
    ax.set_ylabel("state")
    if not names:
        return
    if len(names) <= LEGEND_LINES:
        for j, name in enumerate(names):
            ax.plot(t, x[:, j], label=name)
        ax.legend(loc="best")
        return
    # one collection draws every line at once, which many separate lines would not
    from matplotlib import colormaps
    from matplotlib.collections import LineCollection
    from matplotlib.lines import Line2D

    colours = colormaps["viridis"](np.linspace(0.0, 1.0, len(names)))
    lines = LineCollection([np.column_stack([t, x[:, j]]) for j in range(len(names))], colors=colours, linewidths=0.8)
    ax.add_collection(lines)
    ax.autoscale_view()
    handles = [Line2D([], [], color=colours[0]), Line2D([], [], color=colours[-1])]
    ax.legend(handles, [names[0], names[-1]], loc="best", title=f"{len(names)} states, first to last")


def _add_variable(data: dict[str, Any], name: str, variable: Any) -> None:
    if name in data:
        raise ValueError(f"{name!r} names both a column and a sensitivity; rename the column")
    data[name] = variable


def _add(columns: dict[str, tuple[str, Array]], name: str, kind: str, values: Array) -> None:
    if name in columns:
        raise ValueError(f"{name!r} names both a column of kind {columns[name][0]} and one of kind {kind}; "
                         f"rename one of them")
    columns[name] = (kind, values)


Method = Literal["euler", "rk4", "rk45", "dop853", "nonstiff", "rodas5p", "stiff", "adaptive", "midpoint",
                 "implicit_midpoint", "auto", "gauss4", "discrete_gradient"]

# The methods that never read the model's Jacobian, by the engine's names for them.
EXPLICIT = frozenset(("euler", "rk4", "rk45", "adaptive", "dop853"))

# Below this rtol "nonstiff" takes dop853, at and above it rk45: where the eighth-order pair's
# fewer, longer steps start to cost less than the fifth-order pair's (bench/bench_pairs.py).
NONSTIFF_DOP853_BELOW = 1e-6


def pick_method(method: str, rtol: float) -> str:
    """The method a run takes: "nonstiff" is the explicit pair that suits ``rtol`` (dop853 below
    1e-6, rk45 from there up), "stiff" is rodas5p; every other name is the engine's to check."""
    if method == "stiff":
        return "rodas5p"
    if method != "nonstiff":
        return method
    # an rtol that is not a number is the engine's to refuse, with its own message; one the
    # engine takes as a number (a NumPy scalar or 0-d array) picks by its value
    if isinstance(rtol, (str, bytes)):
        return "rk45"
    try:
        value = float(rtol)
    except (TypeError, ValueError):
        return "rk45"
    return "dop853" if value < NONSTIFF_DOP853_BELOW else "rk45"


Interp = Literal["hold", "zoh", "previous", "linear"]


def simulate(
    system_or_model: Union[System, zarel_engine.Model],
    x0: Any,
    t: npt.ArrayLike,
    u: Inputs = None,
    params: Any = None,
    *,
    method: Method = "midpoint",
    interp: Optional[Interp] = None,
    rtol: float = 1e-8,
    atol: float = 1e-10,
    newton_tol: float = 1e-10,
    max_newton: int = 50,
    record_outputs: bool = True,
    record_energy: bool = True,
    grid_steps: bool = False,
    sensitivities: Optional[Sequence[str]] = None,
) -> Result:
    """Simulates a System (or a bare engine model) over the time grid `t`.

    - `x0` and `params`: arrays in the model's order, or mappings from names or SymPy symbols to
      values (states left out start at 0, parameters left out keep their default).
    - `u`: None (zero inputs); an array of shape (len(t), n_inputs) (a 1-D array of len(t) values
      when the model has one input); a mapping from input names or symbols to a (len(t),) array,
      a scalar or a SymPy expression of ``zarel.t`` (inputs left out are zero); a SymPy
      expression of ``zarel.t`` when the model has one input; or a function of time returning the
      input vector (a scalar for one input, or a mapping).
      An expression is exact: it is compiled into the model, so every stage of every step sees
      the input at its own time (a System only). Arrays and functions are sampled: a function is
      called once per grid point ``u(t[k])``, and the engine holds or interpolates the samples
      between grid points (``interp``: "hold" by default, "linear" for a function).
    - `method`: "midpoint" (the implicit midpoint rule, the default), "gauss4" (the two-stage
      Gauss-Legendre method: implicit, fourth order), "euler", "rk4", "rk45" (Dormand-Prince
      5(4)), "dop853" (Hairer's eighth-order pair, for tight tolerances), "nonstiff" (dop853
      when ``rtol`` < 1e-6, else rk45) or "rodas5p" (also "stiff": Steinebach's L-stable
      Rosenbrock method of order 5, for stiff models: it solves with the model's exact Jacobian,
      or finite differences where the document has none, once per step). For euler and rk4 the
      grid is the steps. For the others the steps are chosen by the error control (``rtol``,
      ``atol``, per component ``atol + rtol |x|``: ``atol`` is in the states' own units) and the
      grid only says where to report, from the method's continuous extension (of order 4 for rk45
      and rodas5p, 7 for dop853, and for midpoint and gauss4 the quintic Hermite interpolant
      through each step's start, middle and end, of order 6). ``grid_steps=True`` makes rk45,
      dop853, nonstiff and rodas5p end a step on every grid point instead, as
      ``zarel_engine.Model.simulate`` does for rk45, and midpoint and gauss4 take one step per
      grid interval, as ``zarel_engine.Model.simulate`` does for midpoint (the results are then
      the same, bit for bit).
    - midpoint and gauss4 are symplectic and conserve quadratic invariants (the energy of a
      linear lossless model, to round-off at the steps' ends): their own steps are step doubling,
      two half steps propagated and the whole step only estimating the error, so the run is a
      composition of steps of the method. Their Newton iteration stops when every component of
      the stage residual is below 1e-6 of its tolerance ``atol + rtol |x|``; ``newton_tol`` is
      read only by midpoint with ``grid_steps=True`` (the engine's test) and by
      discrete_gradient, ``max_newton`` by all three: on their own steps an iteration that does
      not converge within it halves the step, on the grid it fails the run (midpoint with
      ``grid_steps=True`` splits the interval, as the engine does).
    - "discrete_gradient" (a `zarel.PortHamiltonian` only, models built by `zarel.connect` from
      such parts included): Gonzalez's discrete gradient method, implicit and of order 2, a step
      per grid interval, whose energy balance holds per step to round-off for any H (midpoint's
      only for a quadratic H), for a composite per part too (the discrete gradient is taken over
      each part's states with its own energy); its Newton iteration stops when every update is at
      most ``newton_tol / rtol`` of ``atol + rtol |x|``.
    - ``record_outputs`` and ``record_energy`` say whether outputs, energy and supplied power are
      recorded.
    - ``sensitivities``: names of parameters and of initial states ("x0.q" for the state q) to
      differentiate by. The run then integrates the model's variational equations with it, written
      exactly from its expression trees (a System only), and the result holds the derivatives of
      every state and recorded output at every grid point (`Result.sensitivity`, and variables
      "sensitivity_NAME" with a dimension "parameter" in `Result.to_xarray`). The error control
      covers the states alone: the sensitivities are integrated on the steps the states choose,
      with the same method and order, so their error follows the states' (see the README). With
      euler, rk4, rk45, dop853 and nonstiff the states are the plain run's, bit for bit.

    Parameters are passed to the engine with the call: the model, a System's or a bare one, is
    never changed, and one model may run in many threads at once with different parameters.
    """
    plan = Plan(system_or_model, t, u, method=method, interp=interp, rtol=rtol, atol=atol, newton_tol=newton_tol,
                max_newton=max_newton, record_outputs=record_outputs, record_energy=record_energy,
                grid_steps=grid_steps, sensitivities=sensitivities)
    x0_vector = plan.signature.vector("state", x0)
    defaults = plan.model.params if plan.system is None else plan.signature.param_values
    param_vector = (plan.signature.vector("param", params, defaults) if params is not None
                    else np.array(defaults, float))
    return plan.run(x0_vector, param_vector)


class Plan:
    """Everything of a run but its start and parameters, checked and prepared once: the grid, the
    inputs (sampled, or compiled into the model), the method and its options, the augmented model
    of a run with sensitivities. `run` then costs the engine's run and little else, as a fit's
    many runs of one experiment want."""

    def __init__(self, system_or_model: Union[System, zarel_engine.Model], t: npt.ArrayLike, u: Inputs = None, *,
                 method: Method = "midpoint", interp: Optional[Interp] = None, rtol: float = 1e-8,
                 atol: float = 1e-10, newton_tol: float = 1e-10, max_newton: int = 50, record_outputs: bool = True,
                 record_energy: bool = True, grid_steps: bool = False,
                 sensitivities: Optional[Sequence[str]] = None):
        signature, model, system = as_system(system_or_model)
        if method == DISCRETE_GRADIENT and (why := refusal(system)) is not None:
            raise ValueError(why)
        grid = np.array(t, dtype=float)
        if grid.ndim != 1:
            raise ValueError(f"the time grid must be one-dimensional, got an array of shape {grid.shape}")
        finite_grid(grid)
        check_run(signature, len(grid), record_outputs, record_energy, series=u is not None)
        sampled, expressions = split(signature, u)
        self.exact_inputs = exact(system, expressions) if expressions else None
        if self.exact_inputs is not None:
            model = self.exact_inputs.model
        self.expressions = expressions
        self.signature, self.model, self.system, self.grid = signature, model, system, grid
        self.series = input_series(signature, grid, sampled)
        self.interp: str = ("linear" if callable(sampled) else "hold") if interp is None else interp
        self.method, self.grid_steps = method, grid_steps
        self.engine_method = pick_method(method, rtol)
        self.options: dict[str, Any] = dict(rtol=rtol, atol=atol, newton_tol=newton_tol, max_newton=max_newton,
                            record_outputs=record_outputs, record_energy=record_energy)
        self.wrt = None if sensitivities is None else quantities(signature, sensitivities)
        self.augmented = None
        if self.wrt is not None:
            if method == DISCRETE_GRADIENT:
                raise ValueError("sensitivities: the discrete gradient method does not run them; use midpoint, gauss4 "
                                 "or another method")
            # the implicit methods solve with the Jacobian; the explicit ones never read it
            implicit = self.engine_method not in EXPLICIT
            self.augmented = augmented(system, None if self.exact_inputs is None else self.exact_inputs.document,
                                       self.wrt, jacobian=implicit)

    def run(self, x0: Array, params: Array) -> Result:
        """The run from `x0` with `params`, both arrays in the model's order."""
        structure = None
        sens = None
        interp, engine_method = self.interp, self.engine_method
        if self.augmented is not None:
            aug = self.augmented
            run = _engine.simulate(aug.model, aug.start(x0), self.grid, self.series, params=params,
                                   method=engine_method, interp=interp, dense=not self.grid_steps,
                                   error_states=aug.n, sensitivity_blocks=len(aug.wrt.names), **self.options)
            run["x"], run["outputs"], sens = aug.split(run["x"], run["outputs"])
        elif self.method == DISCRETE_GRADIENT:
            assert self.system is not None
            run, structure = run_discrete_gradient(self.system, self.model, self.exact_inputs, self.expressions, x0,
                                                   self.grid, self.series, params, interp, dict(self.options))
        else:
            run = _engine.simulate(self.model, x0, self.grid, self.series, params=params, method=engine_method,
                                   interp=interp, dense=not self.grid_steps,
                                   **self.options)
        if self.exact_inputs is not None:
            run["u"][:, list(self.exact_inputs.columns)] = self.exact_inputs.recorded(run["t"])
        return Result(
            t=run["t"], x=run["x"], u=run["u"], energy=run["energy"], supplied_power=run["supplied_power"],
            outputs=run["outputs"], stats=run["stats"].copy(), signature=self.signature,
            method=run["stats"]["method"], interp=_INTERP_NAMES[str(interp)], params=params, model=self.model,
            series=self.series, structure=structure, grid_steps=self.grid_steps,
            sensitivity_names=() if self.wrt is None else self.wrt.names, sensitivities=sens,
        )
