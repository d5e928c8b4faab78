"""Translations of a model document's right-hand side into the peers' own forms: CasADi SX
expressions and Python source for numba. Both are produced from the document's expression trees,
node by node in the same order, so every peer evaluates the same arithmetic as the engine."""
import math

UNARY = ("neg", "sqrt", "exp", "log", "abs", "tanh", "sin", "cos")
BINARY = ("add", "sub", "mul", "div", "pow", "max", "min")


def count_instructions(node):
    """Number of postfix instructions the engine compiles a tree into: one per node."""
    if node[0] in ("const", "ref"):
        return 1
    if node[0] == "pw":
        return 1 + count_instructions(node[1])
    return 1 + sum(count_instructions(child) for child in node[1:])


def rhs_instructions(doc):
    return sum(count_instructions(e) for e in doc["rhs"])


def _slots(doc):
    n, m = doc["n_states"], doc["n_inputs"]
    return n, m, n + m + doc["n_params"]


def to_casadi(doc, x, t, inputs=()):
    """SX expressions of the right-hand side. x: SX vector of the states, t: SX time symbol,
    inputs: one SX expression per input (functions of t). Parameters become constants."""
    import casadi as ca
    n, m, t_slot = _slots(doc)
    params = doc["param_values"]

    def go(node):
        op = node[0]
        if op == "const":
            return ca.SX(float(node[1]))
        if op == "ref":
            i = node[1]
            if i < n:
                return x[i]
            if i < n + m:
                return inputs[i - n]
            if i < t_slot:
                return ca.SX(float(params[i - n - m]))
            return t
        if op in UNARY:
            a = go(node[1])
            return {"neg": lambda: -a, "sqrt": lambda: ca.sqrt(a), "exp": lambda: ca.exp(a),
                    "log": lambda: ca.log(a), "abs": lambda: ca.fabs(a), "tanh": lambda: ca.tanh(a),
                    "sin": lambda: ca.sin(a), "cos": lambda: ca.cos(a)}[op]()
        if op in BINARY:
            a, b = go(node[1]), go(node[2])
            return {"add": lambda: a + b, "sub": lambda: a - b, "mul": lambda: a * b, "div": lambda: a / b,
                    "pow": lambda: ca.power(a, b), "max": lambda: ca.fmax(a, b),
                    "min": lambda: ca.fmin(a, b)}[op]()
        raise NotImplementedError(f"operator {op} has no CasADi translation here")

    return ca.vertcat(*[go(e) for e in doc["rhs"]])


def to_python_source(doc, name="rhs", input_names=()):
    """Source of `def name(t, x, dx, p)` writing the right-hand side into dx and counting its calls in
    p[0]; inputs are read from functions named in input_names, called with t. Parameters are
    written as literals."""
    n, m, t_slot = _slots(doc)
    params = doc["param_values"]

    def lit(v):
        v = float(v)
        return repr(v) if math.isfinite(v) else f"float('{v}')"

    def go(node):
        op = node[0]
        if op == "const":
            return lit(node[1])
        if op == "ref":
            i = node[1]
            if i < n:
                return f"x[{i}]"
            if i < n + m:
                return f"u{i - n}"
            if i < t_slot:
                return lit(params[i - n - m])
            return "t"
        if op in UNARY:
            a = go(node[1])
            if op == "neg":
                return f"(-{a})"
            fn = "abs" if op == "abs" else f"math.{op}"
            return f"{fn}({a})"
        if op in BINARY:
            a, b = go(node[1]), go(node[2])
            sym = {"add": "+", "sub": "-", "mul": "*", "div": "/"}.get(op)
            if sym:
                return f"({a} {sym} {b})"
            return {"pow": f"math.pow({a}, {b})", "max": f"max({a}, {b})", "min": f"min({a}, {b})"}[op]
        raise NotImplementedError(f"operator {op} has no Python translation here")

    lines = [f"def {name}(t, x, dx, p):", "    p[0] += 1.0"]
    for j in range(m):
        lines.append(f"    u{j} = {input_names[j]}(t)")
    for i, e in enumerate(doc["rhs"]):
        lines.append(f"    dx[{i}] = {go(e)}")
    return "\n".join(lines) + "\n"
