"""Simulation by name: the run of a model with labelled results, and its energy-balance certificate."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import numpy.typing as npt

import zarel_engine

from .system import Signature, System, as_system

if TYPE_CHECKING:
    import matplotlib.figure
    import pandas
    import xarray

Array = npt.NDArray[np.float64]
Inputs = Union[None, npt.ArrayLike, Mapping[Any, Any], Callable[[float], Any]]

# The output that, when a model has it, gives the power its resistive structure dissipates.
DISSIPATED_POWER = "dissipated_power"

_INTERP_NAMES = {"hold": "hold", "zoh": "hold", "previous": "hold", "linear": "linear"}


# eq=False here and on Result: their fields are arrays, which have no single truth value to compare by
@dataclass(frozen=True, eq=False)
class Balance:
    """The energy balance of a run, one value per output interval [t[k], t[k+1]].

    - ``delta_energy[k] = H(x[k+1]) - H(x[k])``, from the recorded energy;
    - ``supplied[k]`` and ``dissipated[k]``: the supplied power and the output "dissipated_power"
      (zero when the model has no such output), both evaluated at the mean state
      ``(x[k] + x[k+1]) / 2``, at the middle of the interval and with the input the method used
      inside it, times the interval's length. That input is the interval's row of the series
      under "hold"; under "linear" it is the mean of the interval's two rows for "midpoint",
      "rk4" and "rk45" (what midpoint sees, and what rk4's middle stages see), and the first row
      for "euler";
    - ``residual = delta_energy - supplied + dissipated``;
    - ``t``: the run's grid, interval k being [t[k], t[k+1]];
    - ``part``: for a model built by ``zarel.connect``, the part this balance is of (None for the
      whole), its energy, supplied and dissipated power read from the outputs "part.energy",
      "part.supplied_power" and "part.dissipated_power"; ``parts``: in the whole's balance, those
      of its parts, whose totals and largest residual its report lists.

    For the implicit midpoint method and a quadratic H every residual is at the level of the
    Newton tolerance, and at round-off for a linear system (one step per interval, no splitting)
    in every interval where Newton made its update: the method conserves the discrete balance
    exactly. An interval whose explicit predictor already met the Newton test (a slowly varying
    state, as near a steady state) keeps that predictor, so its residual is at the level of
    ``newton_tol`` even for a linear system. For the other methods the residual
    measures the method's energy error together with the midpoint-rule error of the power
    integrals (order h^2 per unit time for rk4).
    """

    t: Array
    delta_energy: Array
    supplied: Array
    dissipated: Array
    residual: Array
    method: str
    # False when the model has no output "dissipated_power" and the dissipation was taken as zero
    dissipation_known: bool = True
    # the part of a model built by zarel.connect that this balance is of (None: the whole)
    part: Optional[str] = None
    # the whole's balance lists those of its parts
    parts: tuple[Balance, ...] = ()

    @property
    def total_delta_energy(self) -> float:
        return float(np.sum(self.delta_energy))

    @property
    def total_supplied(self) -> float:
        return float(np.sum(self.supplied))

    @property
    def total_dissipated(self) -> float:
        return float(np.sum(self.dissipated))

    @property
    def total_residual(self) -> float:
        return float(np.sum(self.residual))

    @property
    def max_residual(self) -> float:
        """The largest residual of one interval, in magnitude."""
        return float(np.max(np.abs(self.residual))) if self.residual.size else 0.0

    def __str__(self) -> str:
        scale = max(abs(self.total_supplied), abs(self.total_dissipated), abs(self.total_delta_energy))
        relative = abs(self.total_residual) / scale if scale > 0 else 0.0
        of = "" if self.part is None else f" of part {self.part}"
        lines = [
            f"energy balance{of} over [{self.t[0]:g}, {self.t[-1]:g}], {self.residual.size} intervals ({self.method}):",
            f"  change of H        {self.total_delta_energy: .6e}",
            f"  supplied           {self.total_supplied: .6e}",
            f"  dissipated         {self.total_dissipated: .6e}"
            + ("" if self.dissipation_known else f"  (no output {DISSIPATED_POWER!r}: taken as zero)"),
            f"  residual           {self.total_residual: .6e}  (relative {relative:.1e})",
            f"  largest |residual| {self.max_residual: .6e}  in one interval",
        ]
        if self.parts:
            width = max(4, *(len(str(b.part)) for b in self.parts))
            lines.append(f"  {'part':{width}s}  {'change of H':>13s}  {'supplied':>13s}  {'dissipated':>13s}  "
                         f"{'residual':>13s}  {'largest |res.|':>13s}")
            lines += [f"  {str(b.part):{width}s}  {b.total_delta_energy: .6e}  {b.total_supplied: .6e}  "
                      f"{b.total_dissipated: .6e}  {b.total_residual: .6e}  {b.max_residual: .6e}" for b in self.parts]
            worst = max(self.parts, key=lambda b: b.max_residual)
            lines.append(f"  largest |residual| of a part {worst.max_residual: .6e}  ({worst.part})")
        return "\n".join(lines)


@dataclass(eq=False)
class Result:
    """One run of a model, plain data like SciPy's ``OdeResult``.

    ``t`` (L,), ``x`` (L, n), ``u`` (L, m), ``energy`` and ``supplied_power`` (L,), ``outputs``
    (L, q) and ``stats`` as the engine returns them; ``signature`` names the columns, ``params``
    are the parameter values of the run, ``model`` the engine model that ran it.
    """

    t: Array
    x: Array
    u: Array
    energy: Array
    supplied_power: Array
    outputs: Array
    stats: dict[str, Any]
    signature: Signature
    method: str
    interp: str
    params: Array
    model: zarel_engine.Model = field(repr=False)
    # the input series handed to the engine (None for zero inputs); the balance samples it as the
    # methods did, which the recorded last row does not allow under "linear"
    series: Optional[Array] = field(default=None, repr=False)

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
        interpolation, the parameters and the run statistics in ``attrs``."""
        import xarray

        data = {name: ("time", values, {"kind": kind}) for name, (kind, values) in self.columns().items()}
        attrs: dict[str, Any] = {"model": self.signature.name, "method": self.method, "interp": self.interp}
        attrs.update({f"param_{name}": float(v) for name, v in zip(self.signature.param_names, self.params)})
        attrs.update({f"stats_{k}": v for k, v in self.stats.items() if k != "method"})
        return xarray.Dataset(data, coords={"time": ("time", self.t)}, attrs=attrs)

    def to_pandas(self) -> pandas.DataFrame:
        """A DataFrame indexed by time, one column per state, input, output, energy and supplied power."""
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
        for j, name in enumerate(self.signature.state_names):
            ax_x.plot(self.t, self.x[:, j], label=name)
        ax_x.set_ylabel("state")
        if self.signature.state_names:
            ax_x.legend(loc="best")
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
        if self.energy.size == 0:
            raise ValueError("the run did not record energy (record_energy=False); no balance to certify")
        from .compose import part_balances, top_parts

        if part is not None:
            return part_balances(self, [part])[0]
        sig = self.signature
        dissipation = sig.output_names.index(DISSIPATED_POWER) if DISSIPATED_POWER in sig.output_names else None
        model = self.model

        def powers(x: Array, u: Array, t: float) -> Array:
            supplied = model.supplied_power(x, u, t)
            return np.array([supplied, model.outputs(x, u, t)[dissipation] if dissipation is not None else 0.0])

        energies = self.interval_energies(powers, 2)
        delta = np.diff(self.energy)
        supplied, dissipated = energies[:, 0], energies[:, 1]
        return Balance(t=self.t.copy(), delta_energy=delta, supplied=supplied, dissipated=dissipated,
                       residual=delta - supplied + dissipated, method=self.method,
                       dissipation_known=dissipation is not None,
                       parts=tuple(part_balances(self, top_parts(sig))))

    def interval_energies(self, powers: Callable[[Array, Array, float], Array], width: int) -> Array:
        """The integral over each output interval of the `width` powers that `powers(x, u, t)`
        gives at a point, one row per interval: taken at the interval's mean state, its middle and
        the input the method used there (see `Balance`), times its length."""
        t, x, series = self.t, self.x, self.series
        # the same operations, in the same order, as the methods apply to each interval
        h = np.diff(t)
        middles = t[:-1] + 0.5 * h
        means = (x[:-1] + x[1:]) * 0.5
        if series is None:
            inputs = np.zeros((len(h), len(self.signature.input_names)))
        elif self.method == "euler" or self.interp == "hold":
            inputs = series[:-1]
        else:  # "linear", sampled at the middle of the interval
            inputs = (series[1:] - series[:-1]) * 0.5 + series[:-1]
        with _parameters(self.model, self.params):
            rows = [powers(mean, u, middle) for mean, u, middle in zip(means, inputs, middles)]
        return np.array(rows, dtype=float).reshape(len(h), width) * h[:, None]


def _add(columns: dict[str, tuple[str, Array]], name: str, kind: str, values: Array) -> None:
    if name in columns:
        raise ValueError(f"{name!r} names both a column of kind {columns[name][0]} and one of kind {kind}; "
                         f"rename one of them")
    columns[name] = (kind, values)


@contextlib.contextmanager
def _parameters(model: zarel_engine.Model, params: Array) -> Iterator[None]:
    """Runs the block with `params` in force on `model`, and puts the model's own back after."""
    saved = model.params
    if np.array_equal(saved, params, equal_nan=True):
        yield
        return
    model.params = params
    try:
        yield
    finally:
        model.params = saved


def simulate(
    system_or_model: Union[System, zarel_engine.Model],
    x0: Any,
    t: npt.ArrayLike,
    u: Inputs = None,
    params: Any = None,
    **options: Any,
) -> Result:
    """Simulates a System (or a bare engine model) over the time grid `t`.

    - `x0` and `params`: arrays in the model's order, or mappings from names or SymPy symbols to
      values (states left out start at 0, parameters left out keep their default).
    - `u`: None (zero inputs), an array of shape (len(t), n_inputs) (a 1-D array of len(t) values
      when the model has one input), a mapping from input names or symbols to a (len(t),) array
      or a scalar (inputs left out are zero), or a function of time, called once per grid point
      ``u(t[k])`` and returning the input vector (a scalar for one input, or a mapping). The
      engine holds or interpolates this series between grid points (``interp``).
    - `options` go to ``zarel_engine.Model.simulate``: method, interp, rtol, atol, newton_tol,
      max_newton, record_outputs, record_energy.

    A System runs on a model of its own. A bare engine model is used as given; when `params` are
    passed they are in force only during the run and the model's own are put back afterwards.
    """
    signature, model, _ = as_system(system_or_model)
    x0_vector = signature.vector("state", x0)
    grid = np.array(t, dtype=float)
    if grid.ndim != 1:
        raise ValueError(f"the time grid must be one-dimensional, got an array of shape {grid.shape}")
    series = input_series(signature, grid, u)
    param_vector = model.params if params is None else signature.vector("param", params, model.params)
    with _parameters(model, param_vector):
        run = model.simulate(x0_vector, grid, series, **options)
    interp = _INTERP_NAMES[str(options.get("interp", "hold"))]
    return Result(
        t=run["t"], x=run["x"], u=run["u"], energy=run["energy"], supplied_power=run["supplied_power"],
        outputs=run["outputs"], stats=dict(run["stats"]), signature=signature, method=run["stats"]["method"],
        interp=interp, params=param_vector, model=model, series=series,
    )


def input_series(signature: Signature, t: Array, u: Inputs) -> Optional[Array]:
    """The (len(t), n_inputs) series the engine reads, from any form `simulate` accepts."""
    if u is None:
        return None
    n, m = len(t), len(signature.input_names)
    if callable(u):
        rows = [u(float(tk)) for tk in t]
        return np.stack([_input_vector(signature, row) for row in rows]) if n else np.zeros((0, m))
    if isinstance(u, Mapping):
        series = np.zeros((n, m))
        for key, values in u.items():
            column = np.asarray(values, dtype=float)
            if column.shape not in ((), (n,)):
                raise ValueError(f"input {str(key)!r} has shape {column.shape}; expected a scalar or {n} values, "
                                 f"one per time point")
            series[:, signature.index("input", key)] = column
        return series
    series = np.array(u, dtype=float)
    if series.ndim == 1 and m == 1:
        series = series[:, None]
    if series.shape != (n, m):
        raise ValueError(f"u must have shape (len(t), n_inputs) = ({n}, {m}), got {series.shape}")
    return series


def _input_vector(signature: Signature, value: Any) -> Array:
    if isinstance(value, Mapping):
        return signature.vector("input", value)
    return signature.vector("input", np.atleast_1d(np.asarray(value, dtype=float)))
