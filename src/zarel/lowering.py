"""Lowering of SymPy expressions to the engine's expression trees, one printing method per node type."""

from __future__ import annotations

import math
import sys
from collections.abc import Mapping
from fractions import Fraction
from typing import Any

import sympy
from mpmath.libmp import round_nearest, to_float
from sympy.printing.printer import Printer

from zarel.functions import FUNCTIONS, SUPPORTED, balanced

Node = list[Any]

# Digits for constants that are not exact binary fractions: far more than a double holds, so that
# the one rounding to 53 bits is the only one.
_CONSTANT_DIGITS = 40

# The engine loads documents nested at most 127 levels deep; an expression sits two levels down
# (the document, then the list holding it).
MAX_DEPTH = 125


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
        expr = sympy.sympify(expr)
        try:
            node = self._print(expr)
        except RecursionError:
            raise ValueError(f"{shorten(expr)} is nested too deeply to lower; expand it (sympy.expand)") from None
        levels = depth(node)
        if levels > MAX_DEPTH:
            raise ValueError(f"{shorten(expr)} nests {levels} levels deep, more than the {MAX_DEPTH} a model "
                             f"holds; expand it (sympy.expand)")
        return node

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
        if exponent.is_Rational and exponent.q & (exponent.q - 1):
            return rational_power(self._print(base), exponent)
        return ["pow", self._print(base), self._print(exponent)]

    def _print_Function(self, expr: sympy.Expr) -> Node:
        function = FUNCTIONS.get(type(expr).__name__)
        if function is None:
            return self.emptyPrinter(expr)
        return function.lower([self._print(a) for a in expr.args])

    # Max and Min are lattice operations to SymPy, not functions
    _print_Max = _print_Function
    _print_Min = _print_Function

    def _print_Piecewise(self, expr: sympy.Piecewise) -> Node:
        """The first piece whose condition holds, chosen by a balanced tree of "where".

        Every piece is evaluated as written (a table of quadratics would re-expand them about its
        knots and round differently). Pieces split into halves: the left half's value where any of
        its conditions holds, else the right half's; when the conditions are thresholds on one
        argument that each imply the next (x <= b1, x <= b2, ... with b1 <= b2), "any of the left
        half" is its last condition alone, and the tree is a binary search of the thresholds.
        """
        *_, (_, otherwise) = expr.args
        if otherwise != sympy.true:
            raise ValueError(f"Piecewise {expr} has no otherwise piece (condition True); add one")
        conditions = [self._print(c) for _, c in expr.args]
        values = [self._print(v) for v, _ in expr.args]
        nested = _nested_thresholds([c for _, c in expr.args[:-1]])

        def any_of(lo: int, hi: int) -> Node:
            return conditions[hi - 1] if nested else balanced("max", conditions[lo:hi])

        def first(lo: int, hi: int) -> Node:
            if hi - lo == 1:
                return values[lo]
            mid = (lo + hi) // 2
            return ["where", any_of(lo, mid), first(lo, mid), first(mid, hi)]

        return first(0, len(values))

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


def rational_power(base: Node, exponent: sympy.Rational) -> Node:
    """base ** exponent for an exponent no double holds (1/3, 2/3, ...).

    pow with the nearest double r is off by the factor base ** (exponent - r), a relative error
    of log(base) * (exponent - r): up to a hundred ulps for 1/3 at large or small bases. The
    product with 1 + log(base) * (exponent - r) takes it out; where that correction is not a
    small number (a base of 0, infinity or NaN) pow's own value stands.
    """
    r = constant(exponent)
    correction = ["mul", ["log", base], ["const", constant(exponent - sympy.Rational(r))]]
    return ["mul", ["pow", base, ["const", r]],
            ["where", ["gt", ["const", 1.0], ["abs", correction]], ["add", ["const", 1.0], correction],
             ["const", 1.0]]]


def depth(node: Node) -> int:
    """How deeply the lists of `node` nest (["const", 1.0] is 1), without recursion."""
    deepest, todo = 0, [(node, 1)]
    while todo:
        n, level = todo.pop()
        deepest = max(deepest, level)
        todo.extend((child, level + 1) for child in n if isinstance(child, list))
    return deepest


def shorten(expr: Any, width: int = 80) -> str:
    try:
        text = str(expr)
    except RecursionError:  # SymPy prints recursively too
        return f"an expression ({type(expr).__name__}) too deeply nested to print"
    return text if len(text) <= width else text[:width - 3] + "..."


_BELOW = (sympy.StrictLessThan, sympy.LessThan)
_ABOVE = (sympy.StrictGreaterThan, sympy.GreaterThan)


def _nested_thresholds(conditions: list[Any]) -> bool:
    """True when each condition is the same comparison of one argument with a number and implies
    the next one, for every argument, NaN included: all x < b_i (or all x <= b_i) with b_i
    increasing, or all x > b_i (or all x >= b_i) with b_i decreasing."""
    if not conditions:
        return True
    kind = type(conditions[0])
    if kind not in _BELOW + _ABOVE:
        return False
    arg = conditions[0].lhs
    bounds = []
    for c in conditions:
        if type(c) is not kind or c.lhs != arg or not c.rhs.is_number:
            return False
        bounds.append(constant(c.rhs))
    if kind in _ABOVE:
        bounds = [-b for b in bounds]
    return all(a <= b for a, b in zip(bounds, bounds[1:]))


def constant(value: Any) -> float:
    """The double nearest to the exact value of a SymPy number (or int), rounded once."""
    value = sympy.sympify(value)
    if value.is_Rational:
        try:
            return float(Fraction(int(value.p), int(value.q)))  # rounds to nearest
        except OverflowError:
            raise ValueError(f"constant {str(sympy.Float(value, 3)).lower()} is beyond the largest double, "
                             f"{sys.float_info.max:.3g}") from None
    # a Float is its own value at its own precision; evalf of any zero (0.0 included) is the integer 0
    approx = value if isinstance(value, sympy.Float) else value.evalf(_CONSTANT_DIGITS)
    if approx.is_zero:
        return 0.0
    if not isinstance(approx, sympy.Float):
        raise ValueError(f"constant {value} is not a finite real number")
    result = float(to_float(approx._mpf_, rnd=round_nearest))
    if not math.isfinite(result):
        raise ValueError(f"constant {value} is not a finite real number")
    return result

