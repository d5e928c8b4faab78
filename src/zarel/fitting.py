"""Models fitted to measurements: weighted nonlinear least squares, SciPy's `least_squares` as the
optimiser and the forward sensitivities as its Jacobian."""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Union, get_args

import numpy as np
import numpy.typing as npt

from .inputs import Inputs
from .result import Method, Plan, Result
from .sensitivity import Quantities, quantities
from .system import Signature, System

if TYPE_CHECKING:
    import matplotlib.figure
    import pandas

Array = npt.NDArray[np.float64]

# A Jacobian whose smallest singular value (columns scaled to unit length) is below this fraction
# of its largest cannot tell the fitted quantities apart: the data do not determine them.
ILL_CONDITIONED = 1e-8
# Points on which `FitResult.plot` draws the fitted model between the measurements.
PLOT_POINTS = 400


class FitWarning(UserWarning):
    """The data do not determine every fitted quantity (see `FitResult.unidentifiable`)."""


@dataclass(frozen=True)
class Experiment:
    """One experiment of a fit: its measurements and what the run reads besides the fitted
    quantities. `data`, `x0`, `u`, `params` and `sigma` are as `zarel.fit` takes them; what an
    experiment leaves out (None) comes from the arguments of `zarel.fit`."""

    data: Any
    x0: Any = None
    u: Inputs = None
    params: Any = None
    sigma: Any = None
    name: Optional[str] = None


@dataclass
class _Prepared:
    """An experiment checked and laid out: its grid, columns, measurements and weights."""

    name: str
    t: Array
    columns: tuple[str, ...]
    rows: tuple[int, ...]  # each column's row among the states, then the outputs
    data: Array  # (L, C), NaN where nothing was measured
    sigma: Array  # (L, C)
    x0: Array
    u: Inputs
    params: Array
    plan: Optional[Plan] = None  # the runs with sensitivities on the data's times, made by _Fit


@dataclass(eq=False)
class FitResult:
    """What `zarel.fit` found.

    ``values`` and ``standard_errors`` map each fitted name to its estimate and standard error (in
    its own units, a log-scale one's too); ``correlation`` is their correlation matrix in the order
    of ``names``. Both come from the Jacobian at the optimum: with ``sigma`` given, the weights are
    taken as the noise's own (absolute); without, the residuals' spread sets the noise level.
    ``unidentifiable`` names the quantities the data cannot determine (their standard errors are
    infinite) and ``identifiability`` says why. ``residuals`` holds, by experiment and column, the
    weighted residuals (model - data) / sigma at every grid point (NaN where nothing was measured).
    ``system`` is the model with the fitted parameters as its defaults (made when first asked
    for); ``x0`` the initial state of each experiment with the fitted initial states in it.
    """

    names: tuple[str, ...]
    values: dict[str, float]
    standard_errors: dict[str, float]
    correlation: Array
    cost: float
    iterations: int
    evaluations: int
    message: str
    success: bool
    document: dict[str, Any] = field(repr=False)
    x0: dict[str, dict[str, float]]
    residuals: dict[str, dict[str, Array]]
    unidentifiable: tuple[str, ...] = ()
    identifiability: str = ""
    _fit: Optional[_Fit] = field(default=None, repr=False)
    _system: Optional[System] = field(default=None, repr=False)

    @property
    def system(self) -> System:
        """The model with the estimates as its parameters' defaults, ready to simulate or save."""
        if self._system is None:
            name = self._fit.system.name if self._fit is not None else None
            self._system = System(self.document, name=name)
        return self._system

    def to_pandas(self) -> pandas.DataFrame:
        """The estimates: one row per fitted name, columns "value" and "standard_error"."""
        import pandas

        return pandas.DataFrame({"value": [self.values[n] for n in self.names],
                                 "standard_error": [self.standard_errors[n] for n in self.names]},
                                index=pandas.Index(list(self.names), name="name"))

    def __str__(self) -> str:
        width = max(len("name"), *(len(n) for n in self.names))
        lines = [f"{'name':<{width}}  {'value':>14}  {'standard error':>14}"]
        for n in self.names:
            lines.append(f"{n:<{width}}  {self.values[n]:>14.8g}  {self.standard_errors[n]:>14.4g}")
        lines.append(f"cost {self.cost:.8g} after {self.iterations} iterations, {self.evaluations} evaluations: "
                     f"{self.message}")
        if self.identifiability:
            lines.append(self.identifiability)
        return "\n".join(lines)

    def plot(self, path: Optional[Union[str, os.PathLike[str]]] = None) -> matplotlib.figure.Figure:
        """The data against the fitted model, one panel per experiment and column; written to
        `path` when given (off screen), else made with pyplot."""
        assert self._fit is not None
        fit = self._fit
        rows, cols = len(fit.experiments), max(len(e.columns) for e in fit.experiments)
        if path is None:
            import matplotlib.pyplot as plt

            fig = plt.figure(figsize=(4 * cols, 3 * rows))
        else:
            from matplotlib.backends.backend_agg import FigureCanvasAgg
            from matplotlib.figure import Figure

            fig = Figure(figsize=(4 * cols, 3 * rows))
            FigureCanvasAgg(fig)
        axes = fig.subplots(rows, cols, squeeze=False)
        for i, e in enumerate(fit.experiments):
            t = e.t
            if _smooth_input(e.u):
                t = np.linspace(e.t[0], e.t[-1], PLOT_POINTS)
            run = fit.run(e, fit.theta_of(self), Plan(fit.system, t, e.u, record_energy=False, **fit.options))
            for j, column in enumerate(e.columns):
                ax = axes[i][j]
                ax.plot(e.t, e.data[:, j], "o", markersize=3, label="data")
                ax.plot(run.t, fit.model_column(run, e.rows[j]), label="model")
                ax.set_title(column if rows == 1 else f"{e.name}: {column}")
                ax.set_xlabel("time")
                ax.legend(loc="best")
            for j in range(len(e.columns), cols):
                axes[i][j].set_visible(False)
        fig.tight_layout()
        if path is not None:
            fig.savefig(path)
        return fig


def fit(system: System, data: Any, fit: Sequence[str], *, x0: Any = None, u: Inputs = None, params: Any = None,
        bounds: Optional[Mapping[str, tuple[Optional[float], Optional[float]]]] = None,
        positive: Sequence[str] = (), sigma: Any = None, log_residuals: bool = False,
        method: Method = "nonstiff", rtol: float = 1e-8, atol: float = 1e-10, optimizer: str = "trf",
        max_evaluations: int = 100) -> FitResult:
    """Fits the parameters and initial states named in `fit` to measurements.

    - `data`: a pandas DataFrame with a "time" column (or a time index), or an xarray Dataset on a
      coordinate "time", whose other columns name states or named outputs of the model; NaN values
      are skipped. Or a list of experiments (`zarel.Experiment`, or such tables), each with its own
      data, x0, inputs and fixed parameters, run together. Each run starts at its first time.
    - `fit`: parameter names and initial states as "x0.NAME". A fitted initial state takes one
      value for every experiment; its start is its value in `x0`.
    - `x0`, `u`, `params`: as `zarel.simulate` takes them; `params` gives the fixed parameters and
      the start of the fitted ones (the model's defaults where left out).
    - `bounds`: name -> (lower, upper), None for no bound; the start must lie within.
    - `positive`: fitted names that must stay positive, fitted as their logarithm.
    - `sigma`: the noise level: a number, or a mapping from column names to a number or to one
      value per point. Residuals are (model - data) / sigma, with `log_residuals` (log model -
      log data) / sigma, for counts and concentrations.
    - `method`, `rtol`, `atol`: the runs' (see `zarel.simulate`); `optimizer`: "trf", "dogbox" or
      "lm" (Levenberg-Marquardt, without bounds), SciPy's `least_squares` methods;
      `max_evaluations`: the most evaluations of the residuals it may make (each one run of every
      experiment with sensitivities; an iteration takes one or more).
    """
    from scipy.optimize import least_squares

    if not isinstance(system, System):
        raise TypeError(f"expected a zarel.System, got {type(system).__name__}")
    problem = _Fit(system, data, fit, x0=x0, u=u, params=params, bounds=bounds, positive=positive, sigma=sigma,
                   log_residuals=log_residuals, method=method, rtol=rtol, atol=atol)
    if optimizer not in ("trf", "dogbox", "lm"):
        raise ValueError(f"optimizer {optimizer!r} is not one of SciPy's least_squares methods: trf, dogbox, lm")
    if optimizer == "lm" and bounds:
        raise ValueError("optimizer 'lm' (Levenberg-Marquardt) takes no bounds; use 'trf' or 'dogbox'")
    if max_evaluations < 1:
        raise ValueError(f"max_evaluations must be at least 1, got {max_evaluations}")
    solution = least_squares(problem.residuals, problem.theta0, jac=problem.jacobian, bounds=problem.bounds,
                             method=optimizer, x_scale="jac", max_nfev=max_evaluations)
    return problem.result(solution)


class _Fit:
    """One fitting problem: the experiments, the fitted quantities and their scales, and the runs
    that give the residuals and their Jacobian (one run with sensitivities serves both)."""

    def __init__(self, system: System, data: Any, names: Sequence[str], *, x0: Any, u: Inputs, params: Any,
                 bounds: Optional[Mapping[str, tuple[Optional[float], Optional[float]]]], positive: Sequence[str],
                 sigma: Any, log_residuals: bool, method: Method, rtol: float, atol: float):
        self.system = system
        sig = system.signature
        self.signature = sig
        self.wrt: Quantities = quantities(sig, names, "fit")
        self.log_residuals = log_residuals
        if method not in get_args(Method):
            raise ValueError(f"unknown method {method!r}; methods are: {', '.join(get_args(Method))}")
        self.options: dict[str, Any] = dict(method=method, rtol=rtol, atol=atol)
        listed = data if isinstance(data, (list, tuple)) else [data]
        if not listed:
            raise ValueError("data: an empty list of experiments")
        self.experiments = [self._prepare(i, e, len(listed), x0, u, params, sigma) for i, e in enumerate(listed)]
        self.absolute = sigma is not None or any(isinstance(e, Experiment) and e.sigma is not None for e in listed)
        points = sum(int(np.count_nonzero(~np.isnan(e.data))) for e in self.experiments)
        if points < len(self.wrt.names):
            raise ValueError(f"the data hold {points} measured values for {len(self.wrt.names)} fitted quantities; "
                             f"a fit needs at least as many values as quantities")
        self.points = points
        # each experiment's runs, prepared once: the method, the inputs and the grid are checked
        # here, before the fit, and its variational equations written
        for e in self.experiments:
            e.plan = Plan(system, e.t, e.u, record_energy=False, sensitivities=list(self.wrt.names), **self.options)
        # the start, from the first experiment's parameters and initial state
        first = self.experiments[0]
        start = np.array([first.params[p] if p is not None else first.x0[s]
                          for p, s in zip(self.wrt.params, self.wrt.states)], dtype=float)
        unknown = [n for n in positive if n not in self.wrt.names]
        if unknown:
            raise ValueError(f"positive: {unknown[0]!r} is not fitted; fitted are: {', '.join(self.wrt.names)}")
        self.log = np.array([n in positive for n in self.wrt.names])
        for n, v, lg in zip(self.wrt.names, start, self.log):
            if lg and not v > 0:
                raise ValueError(f"positive: {n} starts at {v:g}; a quantity fitted on a log scale must start positive")
        self.theta0 = np.where(self.log, np.log(np.where(self.log, start, 1.0)), start)
        self.bounds = self._bounds(bounds or {}, start)
        self._cache: Optional[tuple[bytes, Array, Array]] = None

    def _prepare(self, i: int, given: Any, count: int, x0: Any, u: Inputs, params: Any, sigma: Any) -> _Prepared:
        e = given if isinstance(given, Experiment) else Experiment(given)
        name = e.name if e.name is not None else (str(i) if count > 1 else "data")
        where = f"experiment {name}" if count > 1 else "data"
        t, table = _table(e.data, where)
        sig = self.signature
        rows_of = {n: j for j, n in enumerate((*sig.state_names, *sig.output_names))}
        columns, rows = [], []
        for column in table:
            if column not in rows_of:
                if column in sig.input_names:
                    raise ValueError(f"{where}: the column {column!r} is an input of the model; give it as u")
                raise ValueError(f"{where}: the column {column!r} names no state or output of the model; states are: "
                                 f"{', '.join(sig.state_names) or '(none)'}; outputs are: "
                                 f"{', '.join(sig.output_names) or '(none)'}")
            columns.append(column)
            rows.append(rows_of[column])
        if not columns:
            raise ValueError(f"{where}: no columns of measurements besides the time")
        values = np.column_stack([table[c] for c in columns])
        if self.log_residuals and np.any(values[~np.isnan(values)] <= 0):
            j = int(np.argwhere(~(values > 0) & ~np.isnan(values))[0][1])
            raise ValueError(f"{where}: log residuals need positive measurements; the column {columns[j]!r} holds "
                             f"{values[~(values[:, j] > 0) & ~np.isnan(values[:, j]), j][0]:g}")
        weights = _sigma(e.sigma if e.sigma is not None else sigma, columns, len(t), where)
        x0_vector = sig.vector("state", e.x0 if e.x0 is not None else (x0 if x0 is not None else {}))
        base = params if e.params is None else e.params
        p = sig.vector("param", base, sig.param_values) if base is not None else np.array(sig.param_values, float)
        return _Prepared(name, t, tuple(columns), tuple(rows), values, weights, x0_vector,
                         e.u if e.u is not None else u, p)

    def _bounds(self, bounds: Mapping[str, tuple[Optional[float], Optional[float]]], start: Array) -> tuple[Array, Array]:
        lower = np.full(len(start), -np.inf)
        upper = np.full(len(start), np.inf)
        for name, pair in bounds.items():
            if name not in self.wrt.names:
                raise ValueError(f"bounds: {name!r} is not fitted; fitted are: {', '.join(self.wrt.names)}")
            try:
                lo, hi = pair
            except (TypeError, ValueError):
                raise ValueError(f"bounds: {name}: expected (lower, upper), got {pair!r}") from None
            k = self.wrt.names.index(name)
            lo = -np.inf if lo is None else float(lo)
            hi = np.inf if hi is None else float(hi)
            if not lo <= start[k] <= hi or lo == hi:
                raise ValueError(f"bounds: {name}'s bounds [{lo:g}, {hi:g}] exclude its start {start[k]:g}")
            if self.log[k]:
                lo = math.log(lo) if lo > 0 else -np.inf
                hi = math.log(hi)
            lower[k], upper[k] = lo, hi
        return lower, upper

    def values(self, theta: Array) -> Array:
        return np.where(self.log, np.exp(theta), theta)

    def theta_of(self, result: FitResult) -> Array:
        v = np.array([result.values[n] for n in self.wrt.names])
        return np.where(self.log, np.log(np.where(self.log, v, 1.0)), v)

    def run(self, e: _Prepared, theta: Array, plan: Optional[Plan] = None) -> Result:
        """The run of experiment `e` at the fitted quantities `theta`: by its own plan, with the
        sensitivities on the data's times, or by `plan`."""
        values = self.values(theta)
        x0, p = e.x0.copy(), e.params.copy()
        for v, j, s in zip(values, self.wrt.params, self.wrt.states):
            if j is not None:
                p[j] = v
            else:
                x0[s] = v
        plan = plan or e.plan
        assert plan is not None
        try:
            return plan.run(x0, p)
        except (ValueError, RuntimeError) as error:
            at = ", ".join(f"{n}={v:.10g}" for n, v in zip(self.wrt.names, values))
            where = f"experiment {e.name}" if len(self.experiments) > 1 else "the model"
            raise ValueError(f"the run of {where} failed during the fit, at {at}: {error}") from None

    def model_column(self, run: Result, row: int) -> Array:
        n = len(self.signature.state_names)
        return run.x[:, row] if row < n else run.outputs[:, row - n]

    def evaluate(self, theta: Array) -> tuple[Array, Array]:
        """The weighted residuals and their Jacobian by theta, from one run per experiment."""
        key = theta.tobytes()
        if self._cache is not None and self._cache[0] == key:
            return self._cache[1], self._cache[2]
        if len(self.experiments) > 1:
            with ThreadPoolExecutor(min(len(self.experiments), os.cpu_count() or 1)) as pool:
                runs = list(pool.map(lambda e: self.run(e, theta), self.experiments))
        else:
            runs = [self.run(self.experiments[0], theta)]
        scale = np.where(self.log, self.values(theta), 1.0)  # dv/dtheta
        residuals, jacobian = [], []
        for e, run in zip(self.experiments, runs):
            assert run.sensitivities is not None
            for j, (column, row) in enumerate(zip(e.columns, e.rows)):
                measured = ~np.isnan(e.data[:, j])
                y = self.model_column(run, row)[measured]
                dy = run.sensitivities[measured, row, :] * scale
                w = e.sigma[measured, j]
                if self.log_residuals:
                    if np.any(~(y > 0)):
                        k = int(np.flatnonzero(~(y > 0))[0])
                        raise ValueError(f"log residuals need a positive model: {column} is {y[k]:g} at "
                                         f"t = {e.t[measured][k]:g} in {e.name}, at "
                                         + ", ".join(f"{n}={v:.10g}" for n, v in zip(self.wrt.names,
                                                                                      self.values(theta))))
                    residuals.append((np.log(y) - np.log(e.data[measured, j])) / w)
                    jacobian.append(dy / (y * w)[:, None])
                else:
                    residuals.append((y - e.data[measured, j]) / w)
                    jacobian.append(dy / w[:, None])
        r, J = np.concatenate(residuals), np.concatenate(jacobian)
        if not (np.all(np.isfinite(r)) and np.all(np.isfinite(J))):
            bad = "residuals" if not np.all(np.isfinite(r)) else "sensitivities"
            raise ValueError(f"the {bad} became non-finite during the fit, at "
                             + ", ".join(f"{n}={v:.10g}" for n, v in zip(self.wrt.names, self.values(theta))))
        self._cache = (key, r, J)
        return r, J

    def residuals(self, theta: Array) -> Array:
        return self.evaluate(theta)[0]

    def jacobian(self, theta: Array) -> Array:
        return self.evaluate(theta)[1]

    def result(self, solution: Any) -> FitResult:
        theta = solution.x
        values = self.values(theta)
        r, J = self.evaluate(theta)
        # the Jacobian by the quantities themselves, whatever scale they were fitted on
        Jv = J / np.where(self.log, values, 1.0)
        errors, correlation, unidentifiable, why = _covariance(Jv, self.wrt.names, float(r @ r), self.points,
                                                               self.absolute)
        if unidentifiable:
            warnings.warn(why, FitWarning, stacklevel=3)
        doc = self.system.document()
        x0s: dict[str, dict[str, float]] = {}
        for v, j in zip(values, self.wrt.params):
            if j is not None:
                doc["param_values"][j] = float(v)
        for e in self.experiments:
            x0 = e.x0.copy()
            for v, s in zip(values, self.wrt.states):
                if s is not None:
                    x0[s] = v
            x0s[e.name] = dict(zip(self.signature.state_names, map(float, x0)))
        out = FitResult(
            names=self.wrt.names, values=dict(zip(self.wrt.names, map(float, values))),
            standard_errors=dict(zip(self.wrt.names, map(float, errors))), correlation=correlation,
            cost=float(solution.cost), iterations=int(solution.njev or 0), evaluations=int(solution.nfev),
            message=str(solution.message), success=bool(solution.success), document=doc,
            x0=x0s, residuals=self._residual_tables(r), unidentifiable=unidentifiable, identifiability=why)
        out._fit = self
        return out

    def _residual_tables(self, r: Array) -> dict[str, dict[str, Array]]:
        out: dict[str, dict[str, Array]] = {}
        at = 0
        for e in self.experiments:
            columns = {}
            for j, column in enumerate(e.columns):
                measured = ~np.isnan(e.data[:, j])
                full = np.full(len(e.t), np.nan)
                full[measured] = r[at:at + int(measured.sum())]
                at += int(measured.sum())
                columns[column] = full
            out[e.name] = columns
        return out


def _covariance(J: Array, names: tuple[str, ...], rr: float, points: int,
                absolute: bool) -> tuple[Array, Array, tuple[str, ...], str]:
    """Standard errors and correlations from the Jacobian at the optimum, and the quantities the
    data cannot determine with the reason."""
    P = J.shape[1]
    norms = np.sqrt(np.sum(J * J, axis=0))
    flat = [names[k] for k in range(P) if not norms[k] > 0]
    scaled = J / np.where(norms > 0, norms, 1.0)
    _, s, vt = np.linalg.svd(scaled, full_matrices=False)
    weak = s <= ILL_CONDITIONED * s[0] if s.size and s[0] > 0 else np.ones(len(s), bool)
    unidentifiable: list[str] = list(flat)
    why = ""
    if flat:
        why = f"the data do not depend on {', '.join(flat)}: {'its' if len(flat) == 1 else 'their'} sensitivities " \
              f"are zero at every measured point"
    elif np.any(weak):
        direction = vt[-1]
        involved = [names[k] for k in np.argsort(-np.abs(direction)) if abs(direction[k]) >= 0.1]
        unidentifiable = involved
        condition = s[0] / s[-1] if s[-1] > 0 else math.inf
        combination = " + ".join(f"{direction[k]:.2g} {names[k]}" for k in range(P) if abs(direction[k]) >= 0.1)
        why = (f"the data cannot tell {', '.join(involved)} apart: the Jacobian's condition number is {condition:.3g} "
               f"(a step along {combination}, each scaled by its effect on the data, leaves the fit unchanged)")
    variance = 1.0 if absolute or points <= P else rr / (points - P)
    inverse = np.where(weak, 0.0, 1.0 / np.where(weak, 1.0, s * s))
    cov = (vt.T * inverse) @ vt * variance / np.outer(np.where(norms > 0, norms, 1.0), np.where(norms > 0, norms, 1.0))
    errors = np.sqrt(np.diag(cov))
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = cov / np.outer(errors, errors)
    for name in unidentifiable:
        k = names.index(name)
        errors[k] = math.inf
        correlation[k, :] = correlation[:, k] = math.nan
    return errors, correlation, tuple(unidentifiable), why


def _table(data: Any, where: str) -> tuple[Array, dict[str, Array]]:
    """The times and the measured columns of a DataFrame, a Dataset or a mapping of columns."""
    columns: dict[str, Any]
    if hasattr(data, "data_vars") and hasattr(data, "coords"):  # an xarray Dataset
        name = "time" if "time" in data.coords else "t" if "t" in data.coords else None
        if name is None:
            raise ValueError(f"{where}: the Dataset has no coordinate 'time'")
        times = data.coords[name].values
        columns = {}
        for key, variable in data.data_vars.items():
            if variable.dims != (name,):
                raise ValueError(f"{where}: the variable {key!r} has dimensions {variable.dims}; expected ({name!r},)")
            columns[str(key)] = variable.values
    elif hasattr(data, "columns") and hasattr(data, "index"):  # a pandas DataFrame
        frame = data
        name = "time" if "time" in frame.columns else "t" if "t" in frame.columns else None
        if name is not None:
            times = frame[name].to_numpy()
            columns = {str(c): frame[c].to_numpy() for c in frame.columns if c != name}
        else:
            times = frame.index.to_numpy()
            columns = {str(c): frame[c].to_numpy() for c in frame.columns}
    elif isinstance(data, Mapping):
        name = "time" if "time" in data else "t" if "t" in data else None
        if name is None:
            raise ValueError(f"{where}: no 'time' column")
        times = data[name]
        columns = {str(c): v for c, v in data.items() if c != name}
    else:
        raise TypeError(f"{where}: expected a pandas DataFrame, an xarray Dataset or a zarel.Experiment, got "
                        f"{type(data).__name__}")
    try:
        t = np.asarray(times, dtype=float)
    except (TypeError, ValueError):
        raise ValueError(f"{where}: the times are not numbers") from None
    if t.ndim != 1 or len(t) < 2:
        raise ValueError(f"{where}: expected at least 2 times, got {t.size}")
    if not np.all(np.isfinite(t)) or not np.all(np.diff(t) > 0):
        raise ValueError(f"{where}: the times must be finite and strictly increasing")
    out = {}
    for key, values in columns.items():
        try:
            v = np.asarray(values, dtype=float)
        except (TypeError, ValueError):
            raise ValueError(f"{where}: the column {key!r} is not numbers") from None
        if v.shape != t.shape:
            raise ValueError(f"{where}: the column {key!r} has {v.size} values for {t.size} times")
        if np.any(np.isinf(v)):
            raise ValueError(f"{where}: the column {key!r} holds an infinite value")
        out[key] = v
    return t, out


def _sigma(sigma: Any, columns: Sequence[str], L: int, where: str) -> Array:
    """The noise level of every point of every column, (L, C)."""
    out = np.ones((L, len(columns)))
    if sigma is None:
        return out
    if isinstance(sigma, Mapping):
        for key in sigma:
            if key not in columns:
                raise ValueError(f"sigma: {key!r} is not a column of the {where}; columns are: {', '.join(columns)}")
        given = {c: sigma[c] for c in columns if c in sigma}
    else:
        given = {c: sigma for c in columns}
    for c, value in given.items():
        v = np.asarray(value, dtype=float)
        if v.shape not in ((), (L,)):
            raise ValueError(f"sigma of {c!r}: expected a number or {L} values, got shape {v.shape}")
        if not np.all(np.isfinite(v) & (v > 0)):
            raise ValueError(f"sigma of {c!r}: every noise level must be a positive finite number")
        out[:, columns.index(c)] = v
    return out


def _smooth_input(u: Inputs) -> bool:
    """Whether the input can be read at any time (none, a function or expressions), so the model
    can be drawn between the measurements."""
    if u is None or callable(u) or hasattr(u, "free_symbols"):
        return True
    if isinstance(u, Mapping):
        return all(np.ndim(v) == 0 or hasattr(v, "free_symbols") for v in u.values())
    return False


