"""Document expressions written back as readable infix text, for `zarel info`."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

# binding strength of each operator's result; an operand binding less strongly gets parentheses
_BINARY = {"add": (" + ", 1), "sub": (" - ", 1), "mul": ("*", 2), "div": ("/", 2), "pow": ("^", 4), "gt": (" > ", 0)}
_ATOM = 5


def infix(node: Any, names: Sequence[str], width: int = 160) -> str:
    """`node` as infix text, slot i read as names[i], shortened to `width` characters."""
    text, _ = _write(node, names)
    return text if len(text) <= width else text[:width - 3] + "..."


def _write(node: Any, names: Sequence[str]) -> tuple[str, int]:
    op, args = node[0], node[1:]
    if op == "const":
        value = float(args[0])
        return (repr(value) if value != int(value) or abs(value) >= 1e16 else str(int(value))), (
            _ATOM if value >= 0 else 3)
    if op == "ref":
        slot = int(args[0])
        return (names[slot] if slot < len(names) else f"slot{slot}"), _ATOM
    if op == "neg":
        text, strength = _write(args[0], names)
        return "-" + (text if strength >= 3 else f"({text})"), 3
    if op in _BINARY:
        symbol, strength = _BINARY[op]
        (a, sa), (b, sb) = _write(args[0], names), _write(args[1], names)
        # left-associative: the right operand of - and / needs parentheses at equal strength
        left = a if sa >= strength and not (op == "pow" and sa == strength) else f"({a})"
        right = b if sb > strength or (sb == strength and op in ("add", "mul")) else f"({b})"
        return f"{left}{symbol}{right}", strength
    if op == "where":
        c, a, b = (_write(n, names)[0] for n in args)
        return f"where({c}, {a}, {b})", _ATOM
    if op == "pw":
        return f"pw({_write(args[0], names)[0]}; {len(args[1]) - 1} segments)", _ATOM
    return f"{op}({', '.join(_write(n, names)[0] for n in args)})", _ATOM
