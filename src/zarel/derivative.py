"""Exact derivatives of the engine's expression trees, as expression trees.

The derivative of a tree with respect to one environment slot is written node by node by the
rules of calculus, so it is the derivative of exactly what the engine computes: a model loaded
from JSON and one lowered from SymPy are differentiated alike. Terms that are structurally zero
are left out as they are made, so a linear model's derivatives are constants and a state that
an expression does not read costs nothing.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, Optional

Node = list[Any]

ZERO: Node = ["const", 0.0]
ONE: Node = ["const", 1.0]


def const(value: float) -> Node:
    return ["const", value]


def is_const(node: Node, value: float) -> bool:
    return bool(node[0] == "const" and node[1] == value)


def add(a: Node, b: Node) -> Node:
    if is_const(a, 0.0):
        return b
    if is_const(b, 0.0):
        return a
    return ["add", a, b]


def sub(a: Node, b: Node) -> Node:
    if is_const(b, 0.0):
        return a
    if is_const(a, 0.0):
        return neg(b)
    return ["sub", a, b]


def mul(a: Node, b: Node) -> Node:
    if is_const(a, 0.0) or is_const(b, 0.0):
        return ZERO
    if is_const(a, 1.0):
        return b
    if is_const(b, 1.0):
        return a
    return ["mul", a, b]


def div(a: Node, b: Node) -> Node:
    if is_const(a, 0.0):
        return ZERO
    if is_const(b, 1.0):
        return a
    return ["div", a, b]


def neg(a: Node) -> Node:
    if is_const(a, 0.0):
        return ZERO
    if a[0] == "neg":
        inner: Node = a[1]
        return inner
    return ["neg", a]


def total(terms: list[Node]) -> Node:
    """The sum of `terms` without the zero ones, as a balanced tree (zero when none is left)."""
    terms = [t for t in terms if not is_const(t, 0.0)]
    if not terms:
        return ZERO
    while len(terms) > 1:
        terms = [add(terms[i], terms[i + 1]) if i + 1 < len(terms) else terms[i] for i in range(0, len(terms), 2)]
    last: Node = terms[0]
    return last


def slots_read(node: Any, memo: Optional[dict[int, tuple[Any, frozenset[int]]]] = None) -> frozenset[int]:
    """The environment slots the tree reads; with `memo`, each subtree's set is kept there (by the
    subtree's identity, the subtree held with it) for later calls."""
    if not isinstance(node, list) or not node or node[0] == "const":
        return frozenset()
    if memo is not None and id(node) in memo:
        return memo[id(node)][1]
    if node[0] == "ref":
        out = frozenset((node[1],))
    elif node[0] == "pw":
        out = slots_read(node[1], memo)
    else:
        out = frozenset().union(*(slots_read(child, memo) for child in node[1:]))
    if memo is not None:
        memo[id(node)] = (node, out)
    return out


def derivative(node: Node, slot: int, memo: Optional[dict[int, tuple[Any, frozenset[int]]]] = None) -> Node:
    """d node / d env[slot], simplified as it is built. Differentiating one tree by many slots,
    pass the same `memo` (a dict) to every call: the slots each subtree reads are found once."""
    memo = {} if memo is None else memo
    return _derivative(node, slot, memo)


def _derivative(node: Node, slot: int, memo: dict[int, tuple[Any, frozenset[int]]]) -> Node:
    op = node[0]
    if op == "const":
        return ZERO
    if op == "ref":
        return ONE if node[1] == slot else ZERO
    if slot not in slots_read(node, memo):
        return ZERO
    rule = _RULES.get(op)
    if rule is None:
        raise ValueError(f"cannot differentiate the operator {op!r}")

    def d(child: Node) -> Node:
        return _derivative(child, slot, memo)

    return rule(node, d)


Rule = Callable[[Node, Callable[[Node], Node]], Node]


def _pow(node: Node, d: Callable[[Node], Node]) -> Node:
    a, b = node[1], node[2]
    da, db = d(a), d(b)
    if is_const(db, 0.0):
        # b a^(b - 1) da; a constant exponent stays a constant
        lower = const(b[1] - 1.0) if b[0] == "const" else sub(b, ONE)
        return mul(mul(b, ["pow", a, lower]), da)
    # a^b (db log a + b da / a)
    return mul(node, add(mul(db, ["log", a]), div(mul(b, da), a)))


def _pw(node: Node, d: Callable[[Node], Node]) -> Node:
    # each segment's (c2 d + c1) d + c0 has the derivative (0 d + 2 c2) d + c1, exactly
    # (a NaN coefficient is written as null, which the engine reads as NaN)
    slope = [[None if math.isnan(v) else v for v in (_number(c[1]), 2.0 * _number(c[2]), 0.0)] for c in node[3]]
    return mul(["pw", node[1], node[2], slope], d(node[1]))


def _number(value: Any) -> float:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else math.nan


_RULES: dict[str, Rule] = {
    "neg": lambda n, d: neg(d(n[1])),
    "sqrt": lambda n, d: div(d(n[1]), mul(const(2.0), n)),
    "exp": lambda n, d: mul(n, d(n[1])),
    "log": lambda n, d: div(d(n[1]), n[1]),
    "abs": lambda n, d: mul(["sign", n[1]], d(n[1])),
    "tanh": lambda n, d: mul(sub(ONE, mul(n, n)), d(n[1])),
    "sin": lambda n, d: mul(["cos", n[1]], d(n[1])),
    "cos": lambda n, d: neg(mul(["sin", n[1]], d(n[1]))),
    "sign": lambda n, d: ZERO,
    "gt": lambda n, d: ZERO,
    "add": lambda n, d: add(d(n[1]), d(n[2])),
    "sub": lambda n, d: sub(d(n[1]), d(n[2])),
    "mul": lambda n, d: add(mul(d(n[1]), n[2]), mul(n[1], d(n[2]))),
    # (da - (a / b) db) / b
    "div": lambda n, d: div(sub(d(n[1]), mul(n, d(n[2]))), n[2]),
    "pow": _pow,
    # max(a, b) is b <= a ? a : b, min(a, b) a <= b ? a : b: the derivative of the branch taken
    "max": lambda n, d: _select(["gt", n[2], n[1]], d(n[2]), d(n[1])),
    "min": lambda n, d: _select(["gt", n[1], n[2]], d(n[2]), d(n[1])),
    "where": lambda n, d: _select(n[1], d(n[2]), d(n[3])),
    "pw": _pw,
}


def _select(condition: Node, if_true: Node, if_false: Node) -> Node:
    if if_true == if_false:
        return if_true
    return ["where", condition, if_true, if_false]


def shifted(node: Any, first: int, by: int) -> Any:
    """`node` with every ["ref", i] of i >= first reading slot i + by instead."""
    if not isinstance(node, list) or not node:
        return node
    if node[0] == "ref":
        return ["ref", node[1] + by] if node[1] >= first else node
    if node[0] == "const":
        return node
    if node[0] == "pw":
        return ["pw", shifted(node[1], first, by), node[2], node[3]]
    return [node[0], *(shifted(child, first, by) for child in node[1:])]
