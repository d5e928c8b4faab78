"""The energy-balance certificate of a run: the whole's, and that of each part of a model built
by `zarel.connect`."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Optional, Protocol

import numpy as np
import numpy.typing as npt

import zarel_engine

from . import _engine
from .quadrature import interval_integrals
from .system import Signature

Array = npt.NDArray[np.float64]

# The output that, when a model has it, gives the power its resistive structure dissipates.
DISSIPATED_POWER = "dissipated_power"

# the outputs a composite adds for each part, read by the per-part certificate
ENERGY, SUPPLIED, DISSIPATED = "energy", "supplied_power", DISSIPATED_POWER


# eq=False, as on Result: its fields are arrays, which have no single truth value to compare by
@dataclass(frozen=True, eq=False)
class Balance:
    """The energy balance of a run, one value per output interval [t[k], t[k+1]].

    - ``delta_energy[k] = H(x[k+1]) - H(x[k])``, from the recorded energy;
    - ``supplied[k]`` and ``dissipated[k]``: the integrals over the interval of the supplied
      power and of the output "dissipated_power" (zero when the model has no such output).
      For "midpoint" with ``grid_steps=True`` (one step per interval) they are the powers at the
      mean state ``(x[k] + x[k+1]) / 2``, at the middle of the interval and with the input the
      method used there (the interval's row under "hold", the mean of its two rows under
      "linear"), times the interval's length. For every other run (euler, rk4, the adaptive
      pairs, gauss4, and midpoint on its own steps) they are three-point Gauss-Legendre
      quadratures along the cubic Hermite interpolant of the end states and their derivatives,
      with the input of the continuous problem (held, interpolated linearly, or an expression's
      exact value);
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
    ``newton_tol`` even for a linear system. For euler, rk4, rk45, dop853 and rodas5p the
    residual measures the method's energy error: the quadrature's own error is of order h^4 per
    unit time (h the output interval), below the error of rk4 and the adaptive methods at tight
    tolerances once the output grid is fine (with the adaptive methods a fine grid costs no
    extra steps). rodas5p, being L-stable, damps what it does not resolve: its residual on a
    stiff model is of the order of its tolerance, not round-off.

    For "discrete_gradient" the supplied and dissipated energies are ``h (G^T gbar + D u) . u``
    and ``h (gbar^T R gbar + u^T D u)`` with Gonzalez's discrete gradient ``gbar = grad H(xm) +
    (delta_energy - grad H(xm) . d) / (d . d) d`` (d = x[k+1] - x[k], xm the mean state),
    recomputed from the recorded states and energies, at the middle of the interval with the input
    the method used there. Then ``residual = gbar . r`` exactly, r the Newton residual of the step
    the method accepted: every residual is at round-off of the energies once the iteration meets
    ``newton_tol``, for any H, quadratic or not, linear system or not. For a model built by
    ``zarel.connect`` gbar is taken per part it was built from (over the part's states, with its
    energy "part.energy"), and each such part's balance takes its supplied and dissipated energy
    by the same rule through its own ports and resistive structure: at round-off too. A part
    inside one of those keeps the three-point quadrature described above.
    For midpoint on its own steps and for gauss4 (either way) the intervals are not the method's
    steps, so no one-step formula holds: the residual is the quadrature's error (of order h^4 per
    unit time) plus the method's error in the balance, of the method's order (2 or 4) in its
    steps, and the interpolant's at grid points between two steps' ends (of the order of the
    tolerance). Without supply and dissipation (a lossless, unforced model) and with a quadratic
    H the residual is the change of H alone: at the level of the Newton threshold (1e-6 of the
    tolerance) at the steps' ends, round-off for a linear system.
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



class Run(Protocol):
    """What a certificate reads of a run (a `zarel.Result`)."""

    @property
    def t(self) -> Array: ...
    @property
    def x(self) -> Array: ...
    @property
    def u(self) -> Array: ...
    @property
    def outputs(self) -> Array: ...
    @property
    def energy(self) -> Array: ...
    @property
    def signature(self) -> Signature: ...
    @property
    def method(self) -> str: ...
    @property
    def grid_steps(self) -> bool: ...
    @property
    def interp(self) -> str: ...
    @property
    def params(self) -> Array: ...
    @property
    def model(self) -> zarel_engine.Model: ...
    @property
    def series(self) -> Optional[Array]: ...
    @property
    def structure(self) -> Optional[zarel_engine.Model]: ...


def part_names(signature: Signature) -> list[str]:
    """Every part, at any depth, whose energy, supplied and dissipated power the model reports."""
    outputs = set(signature.output_names)
    found = []
    for name in signature.output_names:
        head, _, last = name.rpartition(".")
        if last == ENERGY and head and f"{head}.{SUPPLIED}" in outputs and f"{head}.{DISSIPATED}" in outputs:
            found.append(head)
    return found


def top_parts(signature: Signature) -> list[str]:
    """The parts that a model built by `connect` was built from (none for any other model)."""
    return [p for p in part_names(signature) if "." not in p]


def part_balances(result: Run, parts: Sequence[str]) -> list[Balance]:
    """The energy balance of each part of `parts` over the run `result` (see `Result.balance`).

    A part's supplied energy counts every port, linked or not: the power of a link leaves one part
    as it enters the other, so the parts' supplied energies add up to the whole's.
    """
    sig = result.signature
    known = part_names(sig)
    for part in parts:
        if part not in known:
            raise ValueError(f"no part {part!r} in {sig.name!r}; parts are: "
                             f"{', '.join(known) or '(none: the model was not built by zarel.connect)'}")
    if not parts:
        return []
    index = {name: i for i, name in enumerate(sig.output_names)}
    model, params = result.model, result.params
    energies = np.zeros((len(result.t) - 1, 2 * len(parts)))
    structure = result.structure
    own: list[int] = []
    if result.method == "discrete_gradient" and structure is not None:
        # the parts over which the method took its discrete gradient, by the rule under which
        # their balances hold per step (a part inside one of them keeps the quadrature)
        from .discrete_gradient import part_energies

        own = [j for j, p in enumerate(parts) if f"{p}.{SUPPLIED}" in structure.output_names]
        if own:
            energies[:, [2 * j + i for j in own for i in (0, 1)]] = part_energies(result, structure,
                                                                                 [parts[j] for j in own])
    rest = [j for j in range(len(parts)) if j not in own]
    if rest:
        columns = [index[f"{parts[j]}.{what}"] for j in rest for what in (SUPPLIED, DISSIPATED)]

        def powers(x: np.ndarray, u: np.ndarray, t: np.ndarray) -> np.ndarray:
            return _engine.evaluate(model, "outputs", x, u, t, params=params)[:, columns]

        energies[:, [2 * j + i for j in rest for i in (0, 1)]] = interval_integrals(
            model, params, result.method, result.interp, result.t, result.x, result.series, powers, result.grid_steps)
    stored = [index[f"{p}.{ENERGY}"] for p in parts]
    if result.outputs.shape[1] == len(sig.output_names):
        levels = result.outputs[:, stored]
    else:  # the run did not record outputs: the parts' energies at the recorded states
        levels = _engine.evaluate(model, "outputs", result.x, result.u, result.t, params=params)[:, stored]
    delta = np.diff(levels.reshape(len(result.t), len(parts)), axis=0)
    out = []
    for j, part in enumerate(parts):
        supplied, dissipated = energies[:, 2 * j], energies[:, 2 * j + 1]
        out.append(Balance(t=result.t.copy(), delta_energy=delta[:, j], supplied=supplied, dissipated=dissipated,
                           residual=delta[:, j] - supplied + dissipated, method=result.method, part=part))
    return out
