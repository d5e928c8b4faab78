"""Lowering of SymPy expressions to the engine's expression trees, one printing method per node type."""

from __future__ import annotations

import math
from collections.abc import Mapping
from fractions import Fraction
from typing import Any

import sympy
from mpmath.libmp import round_nearest, to_float
from sympy.printing.printer import Printer

Node = list[Any]

# What the engine evaluates, as the unsupported-node message lists it.
SUPPORTED = (
    "numbers, states, inputs, parameters, t, +, -, *, /, **, exp, log, sqrt, Abs, sign, sin, cos, tan, "
    "tanh, sinh, cosh, Max, Min, Heaviside, Piecewise (with <, <=, >, >=, And, Or, Not)"
)

# Digits for constants that are not exact binary fractions: far more than a double holds, so that
# the one rounding to 53 bits is the only one.
_CONSTANT_DIGITS = 40


def lower(expr: Any, slots: Mapping[sympy.Symbol, int]) -> Node:
    """The expression tree of `expr`, each symbol read from its environment slot in `slots`."""
    return Lowering(slots).lower(expr)


class Lowering(Printer):
    """Writes a SymPy expression as nested lists ["op", operand, ...] the engine compiles.

    Subtrees without symbols become one constant, the nearest double of their exact value. Sums,
    products, Max and Min of many terms become balanced trees, so a long sum nests only
    log2(terms) deep and large models stay within the loader's nesting limit.
    """

    printmethod = "_zarel"

    def __init__(self, slots: Mapping[sympy.Symbol, int]):
        super().__init__()
        self._slots = slots

    def lower(self, expr: Any) -> Node:
        return self._print(sympy.sympify(expr))

    def _print(self, expr: Any, **kwargs: Any) -> Node:
        if isinstance(expr, sympy.Expr) and not isinstance(expr, sympy.Symbol) and expr.is_number:
            return ["const", constant(expr)]
        node: Node = super()._print(expr, **kwargs)
        return node

    def emptyPrinter(self, expr: Any) -> Node:
        if isinstance(expr, sympy.Function):  # also a user's undefined f(x)
            what = f"function {type(expr).__name__}"
        else:
            what = f"expression {type(expr).__name__}"
        raise ValueError(f"unsupported {what} in {expr}; supported: {SUPPORTED}")

    def _print_Symbol(self, expr: sympy.Symbol) -> Node:
        slot = self._slots.get(expr)
        if slot is None:
            raise ValueError(f"free symbol {expr} is neither a state, an input, a parameter nor t")
        return ["ref", slot]

    def _print_Add(self, expr: sympy.Add) -> Node:
        # a - b is Add(a, Mul(-1, b)) in SymPy: collect the negated terms and subtract their sum once
        plus, minus = [], []
        for term in expr.args:
            coeff, rest = term.as_coeff_Mul()
            if coeff.is_negative:
                minus.append(self._print(sympy.Mul(-coeff, rest)))
            else:
                plus.append(self._print(term))
        if not plus:
            return ["neg", balanced("add", minus)]
        if not minus:
            return balanced("add", plus)
        return ["sub", balanced("add", plus), balanced("add", minus)]

    def _print_Mul(self, expr: sympy.Mul) -> Node:
        # numeric factors fold into one coefficient; a rational one p/q puts q in the denominator,
        # as do factors with a negative exponent, so that x/3 divides by 3 rather than multiply by 1/3
        coeff, factors = expr.as_coeff_mul()
        numer: list[Node] = []
        denom: list[Node] = []
        negative = bool(coeff.is_negative)
        coeff = abs(coeff)
        if coeff.is_Rational:
            if coeff.p != 1:
                numer.append(["const", constant(coeff.p)])
            if coeff.q != 1:
                denom.append(["const", constant(coeff.q)])
        elif coeff != 1:  # a float 1.0 multiplies exactly: leave it out
            numer.append(["const", constant(coeff)])
        for factor in factors:
            base, exponent = factor.as_base_exp()
            if exponent.is_Number and exponent.is_negative:
                denom.append(self._print(sympy.Pow(base, -exponent)))
            else:
                numer.append(self._print(factor))
        node = balanced("mul", numer) if numer else ["const", 1.0]
        if denom:
            node = ["div", node, balanced("mul", denom)]
        return ["neg", node] if negative else node

    def _print_Pow(self, expr: sympy.Pow) -> Node:
        base, exponent = expr.args
        if exponent.is_Number and exponent.is_negative:
            return ["div", ["const", 1.0], self._print(sympy.Pow(base, -exponent))]
        if exponent == sympy.S.Half:
            return ["sqrt", self._print(base)]
        return ["pow", self._print(base), self._print(exponent)]

    def _print_exp(self, expr: sympy.Expr) -> Node:
        return ["exp", self._print(expr.args[0])]

    def _print_log(self, expr: sympy.Expr) -> Node:
        return ["log", self._print(expr.args[0])]

    def _print_Abs(self, expr: sympy.Expr) -> Node:
        return ["abs", self._print(expr.args[0])]

    def _print_sign(self, expr: sympy.Expr) -> Node:
        return ["sign", self._print(expr.args[0])]

    def _print_sin(self, expr: sympy.Expr) -> Node:
        return ["sin", self._print(expr.args[0])]

    def _print_cos(self, expr: sympy.Expr) -> Node:
        return ["cos", self._print(expr.args[0])]

    def _print_tanh(self, expr: sympy.Expr) -> Node:
        return ["tanh", self._print(expr.args[0])]

    def _print_tan(self, expr: sympy.Expr) -> Node:
        arg = self._print(expr.args[0])
        return ["div", ["sin", arg], ["cos", arg]]

    def _print_sinh(self, expr: sympy.Expr) -> Node:
        arg = self._print(expr.args[0])
        return ["mul", ["const", 0.5], ["sub", ["exp", arg], ["exp", ["neg", arg]]]]

    def _print_cosh(self, expr: sympy.Expr) -> Node:
        arg = self._print(expr.args[0])
        return ["mul", ["const", 0.5], ["add", ["exp", arg], ["exp", ["neg", arg]]]]

    def _print_Max(self, expr: sympy.Expr) -> Node:
        return balanced("max", [self._print(a) for a in expr.args])

    def _print_Min(self, expr: sympy.Expr) -> Node:
        return balanced("min", [self._print(a) for a in expr.args])

    def _print_Heaviside(self, expr: sympy.Expr) -> Node:
        # 1 above zero, 0 below, and the value SymPy gives at zero (1/2 unless set)
        arg = self._print(expr.args[0])
        at_zero = expr.args[1] if len(expr.args) > 1 else sympy.S.Half
        return ["where", ["gt", arg, ["const", 0.0]], ["const", 1.0],
                ["where", ["gt", ["const", 0.0], arg], ["const", 0.0], self._print(at_zero)]]

    def _print_Piecewise(self, expr: sympy.Piecewise) -> Node:
        *pieces, (last, otherwise) = expr.args
        if otherwise != sympy.true:
            raise ValueError(f"Piecewise {expr} has no otherwise piece (condition True); add one")
        table = self._table(expr)
        if table is not None:
            return table
        node = self._print(last)
        for value, condition in reversed(pieces):
            node = ["where", self._print(condition), self._print(value), node]
        return node

    def _table(self, expr: sympy.Piecewise) -> Node | None:
        """A "pw" table for a Piecewise of quadratics in one argument s cut at increasing constants,
        Piecewise((a0(s), s < b1), (a1(s), s < b2), ..., (an(s), True)), or None.

        The engine finds the segment by binary search and evaluates each quadratic in Horner form
        about its left knot; the coefficients are expanded about the knots exactly and rounded once.
        """
        *pieces, (last, _) = expr.args
        if not pieces:
            return None
        arg = pieces[0][1].lhs if isinstance(pieces[0][1], sympy.StrictLessThan) else None
        if arg is None or any(not isinstance(c, sympy.StrictLessThan) or c.lhs != arg or not c.rhs.is_number
                              for _, c in pieces):
            return None
        cuts = [constant(c.rhs) for _, c in pieces]
        if any(a >= b for a, b in zip(cuts, cuts[1:])):
            return None
        z = sympy.Dummy("z")
        polys = []
        for value in [v for v, _ in pieces] + [last]:
            value = sympy.sympify(value).subs(arg, z)
            if value.free_symbols - {z}:
                return None
            try:
                poly = sympy.Poly(_exact(value), z)
            except sympy.PolynomialError:
                return None
            if poly.degree() > 2 or not all(c.is_Rational for c in poly.all_coeffs()):
                return None
            polys.append(poly)
        # the outer knots only anchor the first segment's expansion and bound the last one
        knots = [cuts[0] - max(1.0, abs(cuts[0])), *cuts, cuts[-1] + max(1.0, abs(cuts[-1]))]
        triples = []
        for poly, knot in zip(polys, knots):
            k = sympy.Rational(knot)
            triples.append([constant(poly.eval(k)), constant(poly.diff(z).eval(k)),
                            constant(poly.diff(z).diff(z).eval(k) / 2)])
        return ["pw", self._print(arg), knots, triples]

    # conditions evaluate to 1.0 or 0.0
    def _print_StrictGreaterThan(self, expr: sympy.Expr) -> Node:
        return ["gt", self._print(expr.lhs), self._print(expr.rhs)]

    def _print_StrictLessThan(self, expr: sympy.Expr) -> Node:
        return ["gt", self._print(expr.rhs), self._print(expr.lhs)]

    def _print_GreaterThan(self, expr: sympy.Expr) -> Node:
        return ["sub", ["const", 1.0], ["gt", self._print(expr.rhs), self._print(expr.lhs)]]

    def _print_LessThan(self, expr: sympy.Expr) -> Node:
        return ["sub", ["const", 1.0], ["gt", self._print(expr.lhs), self._print(expr.rhs)]]

    def _print_And(self, expr: sympy.Expr) -> Node:
        return balanced("mul", [self._print(a) for a in expr.args])

    def _print_Or(self, expr: sympy.Expr) -> Node:
        return balanced("max", [self._print(a) for a in expr.args])

    def _print_Not(self, expr: sympy.Expr) -> Node:
        return ["sub", ["const", 1.0], self._print(expr.args[0])]

    def _print_BooleanTrue(self, expr: Any) -> Node:
        return ["const", 1.0]

    def _print_BooleanFalse(self, expr: Any) -> Node:
        return ["const", 0.0]


def balanced(op: str, nodes: list[Node]) -> Node:
    """`nodes` joined by the associative `op` as a tree of depth ceil(log2(len(nodes)))."""
    if len(nodes) == 1:
        return nodes[0]
    half = len(nodes) // 2
    return [op, balanced(op, nodes[:half]), balanced(op, nodes[half:])]


def _exact(expr: sympy.Expr) -> sympy.Expr:
    """`expr` with every Float replaced by the rational number it holds exactly."""
    return expr.xreplace({f: sympy.Rational(f) for f in expr.atoms(sympy.Float)})


def constant(value: Any) -> float:
    """The double nearest to the exact value of a SymPy number (or int), rounded once."""
    if isinstance(value, int):
        return float(value)  # Python rounds ints to nearest
    value = sympy.sympify(value)
    if value.is_Rational:
        return float(Fraction(int(value.p), int(value.q)))
    approx = value.evalf(_CONSTANT_DIGITS)
    if not isinstance(approx, sympy.Float):
        raise ValueError(f"constant {value} is not a finite real number")
    result = float(to_float(approx._mpf_, rnd=round_nearest))
    if not math.isfinite(result):
        raise ValueError(f"constant {value} is not a finite real number")
    return result

