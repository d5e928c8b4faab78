"""Models written in SymPy: port-Hamiltonian systems and plain ODEs, lowered to engine documents."""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Optional

import numpy as np
import sympy

from zarel.lowering import lower, shorten
from zarel.system import System

t = sympy.Symbol("t", real=True)
"""The symbol of time."""


class _Symbols:
    """The model's symbols, checked, with their environment slots.

    Expressions are differentiated with every symbol made real (a user's plain `Symbol("x")` is
    complex to SymPy, whose derivative of Abs(x) would then involve re and im); the user's own
    symbols come back in everything kept for display.
    """

    def __init__(self, states: Iterable[Any], inputs: Iterable[Any], params: Optional[Mapping[Any, Any]]):
        self.states = _symbol_tuple(states, "states")
        self.inputs = _symbol_tuple(inputs, "inputs")
        if params is not None and not isinstance(params, Mapping):
            raise TypeError(f"params must map symbols to default values, got {type(params).__name__}")
        params = dict(params or {})
        self.params = _symbol_tuple(params, "params")
        self.param_values = [_default(s, v) for s, v in params.items()]
        every = (*self.states, *self.inputs, *self.params)
        kinds: dict[str, str] = {}
        for kind, symbols in (("state", self.states), ("input", self.inputs), ("parameter", self.params)):
            for s in symbols:
                if s.name == t.name:
                    raise ValueError(f"the {kind} {s.name} takes the name of time (zarel.t); rename the {kind}")
                if s.name in kinds:
                    first = kinds[s.name]
                    both = f"two {kind}s" if first == kind else f"a{'n' * (first == 'input')} {first} and a {kind}"
                    raise ValueError(f"the name {s.name} is given to {both}; rename one of them")
                kinds[s.name] = kind
        self.real = {s: s if s.is_real else sympy.Symbol(s.name, real=True) for s in every}
        self.user = {r: s for s, r in self.real.items()}
        self.slots = {self.real[s]: i for i, s in enumerate(every)}
        self.slots[t] = len(every)

    def expr(self, value: Any, where: str, allow: Optional[set[sympy.Symbol]] = None) -> sympy.Expr:
        """`value` as a real-symbol expression, every free symbol known (and in `allow` if given)."""
        try:
            expr = sympy.sympify(value).xreplace(self.real)
            free = expr.free_symbols
        except (sympy.SympifyError, TypeError) as e:
            raise ValueError(f"{where} is not a SymPy expression: {e}") from None
        except RecursionError:
            # SymPy walks expressions recursively: one nested deeper than Python's recursion limit
            # cannot even be printed, so the message names where it was given
            raise ValueError(f"{where} is nested too deeply for SymPy to walk; write it with fewer levels "
                             f"(sympy.expand flattens nested sums and products)") from None
        for s in sorted(free, key=str):
            if s not in self.slots:
                hint = " (time is the symbol zarel.t)" if s.name == t.name else ""
                raise ValueError(f"{where}: free symbol {s} is neither a state, an input, a parameter nor t{hint}")
            if allow is not None and s not in allow:
                raise ValueError(f"{where} may depend on states and parameters only, not on {s}")
        return expr

    def matrix(self, value: Any, where: str, shape: tuple[int, int]) -> tuple[sympy.Matrix, Sparse]:
        """`value` as given (for display) and its nonzero entries as real-symbol expressions."""
        try:
            m = sympy.Matrix(value)
        except (ValueError, TypeError, sympy.SympifyError) as e:
            raise ValueError(f"{where} is not a matrix: {e}") from None
        if m.shape != shape and 0 in m.shape and 0 in shape:
            m = sympy.zeros(*shape)  # [] is every empty shape (a model without states or inputs)
        if m.shape != shape:
            raise ValueError(f"{where} is {m.shape[0]} x {m.shape[1]}, expected {shape[0]} x {shape[1]}")
        return m, {(i, j): self.expr(v, f"{where}[{i}, {j}]" if shape[1] > 1 else f"{where}[{i}]")
                   for (i, j), v in m.todok().items() if v != 0}

    def display(self, expr: Any) -> Any:
        return expr.xreplace(self.user)

    def document(self, name: Optional[str], rhs: Sequence[sympy.Expr], outputs: Mapping[str, sympy.Expr],
                 energy: Optional[sympy.Expr] = None, grad: Optional[Sequence[sympy.Expr]] = None,
                 port_outputs: Sequence[sympy.Expr] = ()) -> dict[str, Any]:
        """The engine document of a model, its Jacobian by symbolic differentiation."""
        # the energy and then the right-hand side are lowered first so that an unsupported function
        # is named as written, not as its derivative (besselj(0, q) in H is -besselj(1, q) in the rhs)
        energy_tree = None if energy is None else lower(energy, self.slots)
        rhs_trees = [lower(e, self.slots) for e in rhs]
        x = [self.real[s] for s in self.states]
        zero = ["const", 0.0]
        jacobian = []
        for f in rhs:
            row = derivatives(f, x)
            jacobian += [lower(row[j], self.slots) if j in row else zero for j in range(len(x))]

        def trees(exprs: Iterable[Any]) -> list[Any]:
            return [lower(e, self.slots) for e in exprs]

        doc: dict[str, Any] = {
            "name": name if name is not None else "model",
            "state_names": [s.name for s in self.states],
            "input_names": [s.name for s in self.inputs],
            "param_names": [s.name for s in self.params],
            "n_states": len(self.states),
            "n_inputs": len(self.inputs),
            "n_params": len(self.params),
            "param_values": self.param_values,
            "rhs": rhs_trees,
            "jacobian": jacobian,
        }
        if energy_tree is not None:
            doc["energy"] = energy_tree
        if grad is not None:
            doc["grad_H"] = trees(grad)
        if port_outputs:
            doc["port_outputs"] = trees(port_outputs)
            doc["port_values"] = trees(self.real[u] for u in self.inputs)
        doc["outputs"] = trees(outputs.values())
        doc["output_names"] = list(outputs)
        return doc


# nonzero entries of a matrix by (row, column)
Sparse = dict[tuple[int, int], sympy.Expr]


def gradient(expr: sympy.Expr, x: Sequence[sympy.Symbol]) -> dict[int, sympy.Expr]:
    """The nonzero partial derivatives of `expr` by position in `x`.

    Each term of a sum is differentiated only by the symbols it contains, so the gradient of a
    sum of many small terms (the energy of a long chain) costs what its terms cost.
    """
    position = {s: j for j, s in enumerate(x)}
    parts: dict[int, list[sympy.Expr]] = {}
    for term in sympy.Add.make_args(expr):
        for s in term.free_symbols:
            j = position.get(s)
            if j is not None:
                parts.setdefault(j, []).append(term.diff(s))
    out = {j: sympy.Add(*p) for j, p in parts.items()}
    return {j: d for j, d in sorted(out.items()) if d != 0}


def derivatives(expr: sympy.Expr, x: Sequence[sympy.Symbol]) -> dict[int, sympy.Expr]:
    """The nonzero partial derivatives of `expr` by position in `x`, as a Jacobian row.

    Step functions differentiate to impulses: the Jacobian a solver wants is the derivative where
    it exists, so they are dropped.
    """
    try:
        row = gradient(expr, x)
    except RecursionError:
        raise ValueError(f"{shorten(expr)} is nested too deeply to differentiate; expand it "
                         f"(sympy.expand)") from None
    return {j: d.replace(sympy.DiracDelta, lambda *args: sympy.S.Zero) for j, d in row.items()}


def structured(J: Sparse, R: Sparse, G: Sparse, D: Sparse, g: Sequence[sympy.Expr],
               u: Sequence[sympy.Expr]) -> tuple[list[sympy.Expr], list[sympy.Expr], sympy.Expr]:
    """(J - R) g + G u, the port outputs G^T g + D u and the dissipated power g^T R g + u^T D u
    of a port-Hamiltonian structure at g (grad H for the model, a stand-in for the discrete
    gradient method's structure model)."""
    terms: list[list[sympy.Expr]] = [[] for _ in g]
    for (i, j), v in J.items():
        terms[i].append(v * g[j])
    for (i, j), v in R.items():
        terms[i].append(-v * g[j])
    for (i, k), v in G.items():
        terms[i].append(v * u[k])
    ports: list[list[sympy.Expr]] = [[] for _ in u]
    for (i, k), v in G.items():
        ports[k].append(v * g[i])
    for (k, j), v in D.items():
        ports[k].append(v * u[j])
    dissipated = sympy.Add(*(g[i] * v * g[j] for (i, j), v in R.items()),
                           *(u[i] * v * u[j] for (i, j), v in D.items()))
    return [sympy.Add(*row) for row in terms], [sympy.Add(*y) for y in ports], dissipated


class PortHamiltonian(System):
    """dx/dt = (J - R) grad H(x) + G u, with port outputs y = G^T grad H + D u.

    `states` and `inputs` are SymPy symbols, `params` maps symbols to their default values, `H` is
    the stored energy (of states and parameters), J (skew-symmetric), R (symmetric, positive
    semi-definite when constant) and G are anything `sympy.Matrix` accepts, with entries that may
    depend on states and parameters; `outputs` maps names to expressions; `zarel.t` is time.
    D (m x m, entries of parameters only) is the feedthrough of a part whose ports act at once,
    a resistor or a source: its symmetric part (positive semi-definite when constant) dissipates
    u^T D u, its skew-symmetric part passes power from one port to another.
    The named output "dissipated_power" = grad H^T R grad H + u^T D u is added after the given outputs.
    The Jacobian of the right-hand side is derived symbolically.
    """

    def __init__(self, states: Iterable[Any], H: Any, J: Any, R: Any = None, G: Any = None,
                 inputs: Iterable[Any] = (), params: Optional[Mapping[Any, Any]] = None,
                 outputs: Optional[Mapping[str, Any]] = None, name: Optional[str] = None, D: Any = None):
        sym = _Symbols(states, inputs, params)
        n, m = len(sym.states), len(sym.inputs)
        state_or_param = {sym.real[s] for s in (*sym.states, *sym.params)}
        energy = sym.expr(H, "H", allow=state_or_param)
        J_shown, J_ = sym.matrix(J, "J", (n, n))
        R_shown, R_ = sym.matrix(sympy.zeros(n, n) if R is None else R, "R", (n, n))
        G_shown, G_ = sym.matrix(sympy.zeros(n, m) if G is None else G, "G", (n, m))
        D_shown, D_ = sym.matrix(sympy.zeros(m, m) if D is None else D, "D", (m, m))
        params_only = {sym.real[s] for s in sym.params}
        for other in sorted({s for v in D_.values() for s in v.free_symbols} - params_only, key=str):
            raise ValueError(f"D may depend on parameters only, not on {sym.user.get(other, other)}")
        _require_zero(J_, +1, "J is not skew-symmetric: J[{i}, {j}] + J[{j}, {i}] = {value}")
        _require_zero(R_, -1, "R is not symmetric: R[{i}, {j}] - R[{j}, {i}] = {value}")
        _require_semidefinite(R_)
        _require_semidefinite({ij: (v + D_.get(ij[::-1], 0)) / 2 for ij, v in D_.items()}, "the symmetric part of D")
        x = [sym.real[s] for s in sym.states]
        u = [sym.real[s] for s in sym.inputs]
        partial = gradient(energy, x)
        grad = [partial.get(j, sympy.S.Zero) for j in range(n)]
        rhs, ports, dissipated = structured(J_, R_, G_, D_, grad, u)
        named = _named_outputs(sym, outputs)
        if "dissipated_power" in named:
            raise ValueError("the output name dissipated_power is reserved for grad H^T R grad H + u^T D u")
        named["dissipated_power"] = dissipated
        super().__init__(sym.document(name, rhs, named, energy, grad, ports))
        self.states, self.inputs = sym.states, sym.inputs
        self.params = dict(zip(sym.params, sym.param_values))
        self.H = sym.display(energy)
        self.J, self.R, self.G, self.D = J_shown, R_shown, G_shown, D_shown
        self.grad_H = sym.display(sympy.Matrix(grad))
        self.rhs = sym.display(sympy.Matrix(rhs))
        self.outputs = {k: sym.display(v) for k, v in named.items()}
        # what the structure model is built from, when first asked for
        self._structure_parts = (sym, self.name, J_, R_, G_, D_)

    @property
    def structure_system(self) -> Optional[System]:
        """The structure model (J - R)(x) g + G(x) u of inputs u then g, with the port outputs
        G^T g + D u and "dissipated_power" = g^T R g + u^T D u, that the discrete gradient method
        runs on; built once, when first asked for."""
        parts = getattr(self, "_structure_parts", None)
        if parts is None:
            return None
        with self._lock:
            built: Optional[System] = self.__dict__.get("_structure")
            if built is None:
                from zarel.discrete_gradient import structure_document

                built = self._structure = System(structure_document(*parts))
            return built


class ODE(System):
    """dx/dt = rhs(x, u, p, t), with an optional stored energy (of states and parameters) whose
    gradient is derived symbolically, and named outputs; no ports. The Jacobian is derived
    symbolically."""

    def __init__(self, states: Iterable[Any], rhs: Any, inputs: Iterable[Any] = (),
                 params: Optional[Mapping[Any, Any]] = None, outputs: Optional[Mapping[str, Any]] = None,
                 energy: Any = None, name: Optional[str] = None):
        sym = _Symbols(states, inputs, params)
        n = len(sym.states)
        f_shown, f_ = sym.matrix(rhs, "rhs", (n, 1))
        f = [f_.get((i, 0), sympy.S.Zero) for i in range(n)]
        x = [sym.real[s] for s in sym.states]
        state_or_param = {sym.real[s] for s in (*sym.states, *sym.params)}
        H = None if energy is None else sym.expr(energy, "energy", allow=state_or_param)
        grad = None
        if H is not None:
            partial = gradient(H, x)
            grad = [partial.get(j, sympy.S.Zero) for j in range(n)]
        named = _named_outputs(sym, outputs)
        super().__init__(sym.document(name, f, named, H, grad))
        self.states, self.inputs = sym.states, sym.inputs
        self.params = dict(zip(sym.params, sym.param_values))
        self.rhs = f_shown
        self.energy = None if H is None else sym.display(H)
        self.grad_H = None if grad is None else sym.display(sympy.Matrix(grad))
        self.outputs = {k: sym.display(v) for k, v in named.items()}


def _symbol_tuple(symbols: Iterable[Any], what: str) -> tuple[sympy.Symbol, ...]:
    out = tuple(symbols)
    for s in out:
        if not isinstance(s, sympy.Symbol):
            raise TypeError(f"{what} must be SymPy symbols, got {s!r}")
    return out


def _default(symbol: sympy.Symbol, value: Any) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"params: the default of {symbol} is not a number: {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"params: the default of {symbol} is {number}; give a finite number")
    return number


def _named_outputs(sym: _Symbols, outputs: Optional[Mapping[str, Any]]) -> dict[str, sympy.Expr]:
    named = {}
    for key, value in (outputs or {}).items():
        if not isinstance(key, str):
            raise TypeError(f"output names must be strings, got {key!r}")
        named[key] = sym.expr(value, f"output {key}")
    return named


def _require_zero(m: Sparse, sign: int, message: str) -> None:
    """Checks m + sign * m^T == 0 entry by entry (skew-symmetry for +1, symmetry for -1)."""
    zero = sympy.S.Zero
    for (i, j), v in m.items():
        value = v + sign * m.get((j, i), zero)
        if value != 0 and sympy.simplify(value) != 0:
            raise ValueError(message.format(i=i, j=j, value=value))


def _require_semidefinite(R: Sparse, what: str = "R") -> None:
    """Checks a constant R (only a constant one can be judged without values for its symbols) on
    the rows and columns its nonzero entries touch."""
    if any(v.free_symbols for v in R.values()):
        return
    used = sorted({i for i, _ in R} | {j for _, j in R})
    if not used:
        return
    where = {k: n for n, k in enumerate(used)}
    values = np.zeros((len(used), len(used)))
    for (i, j), v in R.items():
        values[where[i], where[j]] = float(v)
    eigenvalues = np.linalg.eigvalsh(values)
    if eigenvalues[0] < -1e-12 * max(1.0, float(np.abs(eigenvalues).max())):
        raise ValueError(f"{what} is not positive semi-definite: it has the eigenvalue {eigenvalues[0]:.6g}")
