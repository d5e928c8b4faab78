"""The functions the SymPy front end lowers: one table of name, lowering and accuracy rule that serves
the printer, its refusals and the README's list."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

Node = list[Any]


@dataclass(frozen=True)
class Function:
    """One supported SymPy function: its class name, how its lowered arguments become a node, and
    how close the engine's value comes to the true one (as the README states it)."""

    name: str
    lower: Callable[[Sequence[Node]], Node]
    accuracy: str


def const(value: float) -> Node:
    return ["const", value]


def _unary(op: str) -> Callable[[Sequence[Node]], Node]:
    return lambda args: [op, args[0]]


def _balanced(op: str) -> Callable[[Sequence[Node]], Node]:
    return lambda args: balanced(op, list(args))


def balanced(op: str, nodes: list[Node]) -> Node:
    """`nodes` joined by the associative `op` as a tree of depth ceil(log2(len(nodes)))."""
    if len(nodes) == 1:
        return nodes[0]
    half = len(nodes) // 2
    return [op, balanced(op, nodes[:half]), balanced(op, nodes[half:])]


def horner(x: Node, coefficients: Sequence[float]) -> Node:
    """c0 + x (c1 + x (c2 + ...)), highest degree innermost."""
    node = const(coefficients[-1])
    for c in reversed(coefficients[:-1]):
        node = ["add", const(c), ["mul", x, node]]
    return node


# Beyond this |x|, exp(|x|) overflows while cosh and sinh (about exp(|x|)/2) do not yet: there they
# are (exp(|x|/2) / 2) * exp(|x|/2), halving |x| exactly.
_EXP_SAFE = 709.0
# Below this |x|, exp(x) - exp(-x) would cancel; sinh is its Taylor series there. The terms kept,
# x^3/3! ... x^17/17!, leave out less than 0.1 ulp at |x| = 1.
_SINH_SERIES_BELOW = 1.0
_SINH_SERIES = [1.0 / math.factorial(k) for k in range(3, 18, 2)]


def _half_exp_squared(x: Node) -> Node:
    """exp(|x|) / 2 without overflow for |x| up to about 1419."""
    h = ["exp", ["mul", ["abs", x], const(0.5)]]
    return ["mul", ["mul", const(0.5), h], h]


def _sinh(args: Sequence[Node]) -> Node:
    x = args[0]
    x2 = ["mul", x, x]
    series = ["add", x, ["mul", x, ["mul", x2, horner(x2, _SINH_SERIES)]]]
    e = ["exp", x]
    middle = ["mul", const(0.5), ["sub", e, ["div", const(1.0), e]]]
    large = ["mul", ["sign", x], _half_exp_squared(x)]
    return ["where", ["gt", const(_SINH_SERIES_BELOW), ["abs", x]], series,
            ["where", ["gt", ["abs", x], const(_EXP_SAFE)], large, middle]]


def _cosh(args: Sequence[Node]) -> Node:
    x = args[0]
    e = ["exp", x]
    middle = ["mul", const(0.5), ["add", e, ["div", const(1.0), e]]]
    return ["where", ["gt", ["abs", x], const(_EXP_SAFE)], _half_exp_squared(x), middle]


def _tan(args: Sequence[Node]) -> Node:
    return ["div", ["sin", args[0]], ["cos", args[0]]]


def _heaviside(args: Sequence[Node]) -> Node:
    # 1 above zero, 0 below, and SymPy's value at zero (its second argument, 1/2 unless set)
    x = args[0]
    at_zero = args[1] if len(args) > 1 else const(0.5)
    return ["where", ["gt", x, const(0.0)], const(1.0), ["where", ["gt", const(0.0), x], const(0.0), at_zero]]


_LIBM = "the C library's, within 1 ulp"
FUNCTIONS: dict[str, Function] = {f.name: f for f in (
    Function("exp", _unary("exp"), _LIBM),
    Function("log", _unary("log"), _LIBM),
    Function("sin", _unary("sin"), _LIBM),
    Function("cos", _unary("cos"), _LIBM),
    Function("tanh", _unary("tanh"), "the C library's, within 2 ulps (1.9 measured)"),
    Function("tan", _tan, "sin/cos, within 2 ulps"),
    Function("sinh", _sinh, "a Taylor series below abs(x) = 1, exp beyond, exp(abs(x)/2)^2/2 where exp "
                            "would overflow; within 2 ulps"),
    Function("cosh", _cosh, "exp, exp(abs(x)/2)^2/2 where exp would overflow; within 2 ulps"),
    Function("Abs", _unary("abs"), "exact"),
    Function("sign", _unary("sign"), "exact"),
    Function("Max", _balanced("max"), "exact"),
    Function("Min", _balanced("min"), "exact"),
    Function("Heaviside", _heaviside, "exact"),
)}

# How the printer states what it supports when it refuses something.
SUPPORTED = (
    "numbers, states, inputs, parameters, t, +, -, *, /, **, sqrt, " + ", ".join(FUNCTIONS)
    + ", Piecewise (with <, <=, >, >=, And, Or, Not)"
)


def readme_list() -> str:
    """The README's table of lowered functions."""
    rows = [f"| `{f.name}` | {f.accuracy} |" for f in FUNCTIONS.values()]
    return "\n".join(["| function | value |", "|---|---|", *rows])
