"""Hostile input: random documents at the constructor, random arguments at every method.

Every property runs in a child interpreter (this file run as a script), so that a crash of the
interpreter (a signal, an abort) or a hang fails the test that started it instead of taking the
whole session down. The child writes a description of the input it is about to try to a file
before each call; when the child dies, the test shows that description.

The only acceptable outcomes are a result of the documented form or one of the exception classes
a caller can be told to expect (exactly these classes, so the engine's internal-fault class, a
subclass of RuntimeError, counts as a failure). After every example the model must still accept
a params assignment: a shared hold left behind on some exit path would refuse it.

Environment:
- ZAREL_PROPERTY_EXAMPLES: examples per property (default: a few hundred, see CASES);
- ZAREL_HOSTILE_SEED: the seed of a run to repeat (each run prints its seed).

Integration work per example stays small: grids of at most six points, max_newton at most 8 or
out of range, batches of at most three runs; huge sizes only ever appear as zero-stride or
zero-element arrays, whose conversion must fail fast or cost nothing.
"""
import json
import math
import os
import random
import signal
import subprocess
import sys
import time
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
EXAMPLES_DIR = HERE.parent.parent / "examples"

# examples per property in the normal suite; ZAREL_PROPERTY_EXAMPLES replaces them all
CASES = {"documents": 250, "texts": 250, "arguments": 1200, "attributes": 250}
# seconds a child may take per example on top of its start-up, before it counts as hung
SECONDS_PER_EXAMPLE = 0.5
STARTUP_SECONDS = 60


def examples_for(case):
    override = os.environ.get("ZAREL_PROPERTY_EXAMPLES")
    return int(override) if override else CASES[case]


# ---------------------------------------------------------------------------- outer tests


@pytest.mark.parametrize("case", sorted(CASES))
def test_hostile_inputs_never_crash(case, tmp_path):
    examples = examples_for(case)
    seed = int(os.environ.get("ZAREL_HOSTILE_SEED") or random.SystemRandom().randrange(2**32))
    last = tmp_path / "last-input.txt"
    command = [sys.executable, str(Path(__file__)), case, str(examples), str(seed), str(last)]
    timeout = STARTUP_SECONDS + SECONDS_PER_EXAMPLE * examples
    started = time.monotonic()
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=timeout, cwd=HERE)
    except subprocess.TimeoutExpired as hung:
        pytest.fail(f"{case}: child still running after {timeout:.0f} s (seed {seed}); last input:\n"
                    f"{_read(last)}\nstderr tail:\n{_tail(hung.stderr)}")
    elapsed = time.monotonic() - started
    if proc.returncode != 0:
        how = (f"killed by {signal.Signals(-proc.returncode).name}" if proc.returncode < 0
               else f"exit status {proc.returncode}")
        pytest.fail(f"{case}: child {how} (seed {seed}, rerun with ZAREL_HOSTILE_SEED={seed}); "
                    f"last input:\n{_read(last)}\nstdout tail:\n{_tail(proc.stdout)}\n"
                    f"stderr tail:\n{_tail(proc.stderr)}")
    summary = [line for line in proc.stdout.splitlines() if line.startswith("HOSTILE ")]
    assert summary, f"{case}: no summary from the child\n{_tail(proc.stdout)}\n{_tail(proc.stderr)}"
    report = json.loads(summary[-1][len("HOSTILE "):])
    print(f"\n{case}: {report['inputs']} inputs tried in {elapsed:.1f} s (seed {seed}); "
          f"slowest {report['slowest']:.3f} s; outcomes {report['outcomes']}")
    assert report["inputs"] >= min(examples, 50)
    # the generators must reach past the argument checks, not only bounce off them
    assert report["outcomes"].get("result", 0) > 0


def _read(path):
    try:
        return Path(path).read_text(errors="replace")[:4000]
    except OSError:
        return "(none)"


def _tail(text, lines=40):
    text = text or ""
    if isinstance(text, bytes):
        text = text.decode(errors="replace")
    return "\n".join(text.splitlines()[-lines:])


# ---------------------------------------------------------------------------- fixed faults
#
# Inputs that once crashed or hung the interpreter, kept as plain tests. They run in a child
# too: should one come back, it fails here instead of ending the session.

PRELUDE = """
import json, re, sys, time
import numpy as np
import zarel_engine
from conftest import TWO_STATE_DOC, NO_INPUT_DOC
two = zarel_engine.Model(json.dumps(TWO_STATE_DOC))
no_input = zarel_engine.Model(json.dumps(NO_INPUT_DOC))

class Reshaping:
    # a number whose conversion changes an array in place after the array's type was checked
    def __init__(self, target, change, value=0.0):
        self.target, self.change, self.value = target, change, value
    def __float__(self):
        self.change(self.target)
        return float(self.value)
    def __index__(self):
        self.change(self.target)
        return int(self.value)

def flatten(a): a.shape = (a.size,)
def to_2d(a): a.shape = (1, a.size)
def to_float32(a): a.dtype = np.float32
def to_uint8(a): a.dtype = np.uint8

def type_error_naming(name, call):
    try:
        call()
    except TypeError as e:
        assert re.search(r"\\b%s\\b" % name, str(e)), (name, str(e))
        return
    raise AssertionError("no TypeError for " + name)
"""


def run_child(body, timeout=120):
    proc = subprocess.run([sys.executable, "-c", PRELUDE + body + "\nprint('CHILD OK')\n"], capture_output=True,
                          text=True, timeout=timeout, cwd=HERE)
    if proc.returncode < 0:
        pytest.fail(f"child killed by {signal.Signals(-proc.returncode).name}\n{_tail(proc.stderr)}")
    assert proc.returncode == 0 and "CHILD OK" in proc.stdout, _tail(proc.stdout) + _tail(proc.stderr)


def test_an_array_changed_by_a_later_conversion_is_checked_again():
    # The float and integer conversions run after the arrays' type checks and may run Python
    # code; an array made 1-D, 2-D or of another dtype there must be refused as if it had come
    # that way (reading it by its old shape wrote past a buffer and crashed).
    run_child("""
x = np.array([0.3, -0.2]); grid = np.linspace(0.0, 0.2, 3)
u = np.zeros((3, 1))
type_error_naming("u", lambda: two.simulate(x, grid, u, rtol=Reshaping(u, flatten, 1e-8)))
u = np.zeros((3, 1))
type_error_naming("u", lambda: two.simulate_batch(np.zeros((2, 2)), grid, u, atol=Reshaping(u, flatten, 1e-9)))
rows = np.zeros((2, 2))
type_error_naming("x0s", lambda: two.simulate_batch(rows, grid, max_newton=Reshaping(rows, flatten, 5)))
prow = np.zeros((2, 3))
type_error_naming("params", lambda: two.simulate_batch(np.zeros((2, 2)), grid, None, prow,
                                                       newton_tol=Reshaping(prow, flatten, 1e-10)))
xs = np.zeros(2)  # two float64 read as four float32 would be read past their end
type_error_naming("x", lambda: two.rhs(xs, None, Reshaping(xs, to_float32)))
xs = np.zeros(2)
type_error_naming("x", lambda: two.jacobian(xs, t=Reshaping(xs, to_uint8)))
xs = np.zeros(2)
type_error_naming("x", lambda: two.step(xs, None, Reshaping(xs, to_2d), 0.1))
us = np.zeros(1)
type_error_naming("u", lambda: two.step(np.zeros(2), us, 0.0, Reshaping(us, to_uint8, 0.1)))
t = np.linspace(0.0, 1.0, 4)
type_error_naming("t", lambda: two.simulate(x, t, max_newton=Reshaping(t, to_float32, 3)))
x0 = np.zeros(2)
type_error_naming("x0", lambda: two.simulate(x0, grid, rtol=Reshaping(x0, to_2d, 1e-6)))
""")


def test_a_series_of_no_values_in_many_rows_costs_nothing():
    # np.empty((2**40, 0)) holds no values; copying it once walked all its rows, for hours,
    # holding the interpreter lock
    run_child("""
start = time.monotonic()
x = np.array([0.3, -0.2]); grid = np.linspace(0.0, 0.2, 3)
empty = np.empty((2**40, 0))
try:
    two.simulate(x, grid, empty)
except ValueError as e:
    assert str(e) == "inputs must be len(t) x n_inputs = 3 x 1 = 3 values, got 0", str(e)
else:
    raise AssertionError("no ValueError")
r = no_input.simulate(x, grid, empty, method="rk4")
assert r["u"].shape == (3, 0)
r = no_input.simulate_batch(np.zeros((2, 2)), grid, empty)
assert r["x"].shape == (2, 3, 2)
assert time.monotonic() - start < 10
""", timeout=60)


def test_a_type_error_does_not_run_the_argument_repr():
    # the TypeError for a wrong argument names its type; it does not call a __repr__ that could
    # raise something else (or run anything at all)
    run_child("""
class NoRepr:
    def __repr__(self):
        raise ZeroDivisionError("no repr")
class Sub(np.ndarray):
    def __repr__(self):
        raise ZeroDivisionError("no repr")
type_error_naming("x", lambda: two.rhs(NoRepr()))
type_error_naming("x", lambda: two.energy(np.zeros(2, np.float32).view(Sub)))
type_error_naming("u", lambda: two.simulate(np.zeros(2), np.linspace(0, 1, 3), NoRepr()))
type_error_naming("p", lambda: setattr(two, "params", np.zeros((1, 3)).view(Sub)))
try:
    two.rhs(np.zeros(2, dtype=">f8"))
except TypeError as e:
    assert "float64" in str(e) and "byte order" in str(e), str(e)
""")


# ---------------------------------------------------------------------------- child side
#
# Everything below runs only in the child interpreter started above.

ALLOWED = (TypeError, ValueError, RuntimeError, OverflowError, MemoryError, UnicodeEncodeError)


class Tally:
    def __init__(self, last_path):
        self.inputs = 0
        self.outcomes = {}
        self.slowest = 0.0
        self.last_path = last_path
        self.started = 0.0
        self.label = None  # what is being called, for the detailed counts
        self.detail = {}

    def begin(self, description):
        self.inputs += 1
        with open(self.last_path, "w", errors="backslashreplace") as f:
            f.write(description[:20000])
        self.started = time.monotonic()

    def end(self):
        self.slowest = max(self.slowest, time.monotonic() - self.started)

    def note(self, what):
        self.outcomes[what] = self.outcomes.get(what, 0) + 1
        if self.label:
            key = f"{self.label}:{what}"
            self.detail[key] = self.detail.get(key, 0) + 1


TALLY = None


def attempt(call, allowed=ALLOWED):
    """Runs call(); returns (result, None) or (None, exception) for an allowed exception class."""
    try:
        result = call()
    except Exception as e:  # noqa: BLE001 - the class is what is under test
        if type(e) not in allowed:
            raise AssertionError(f"unexpected {type(e).__module__}.{type(e).__qualname__}: {e!r}") from e
        message = str(e)  # the message must be readable
        assert isinstance(message, str)
        TALLY.note(type(e).__name__)
        return None, e
    TALLY.note("result")
    return result, None


def describe(value, limit=300):
    try:
        import numpy as np
        if isinstance(value, np.ndarray):
            return (f"ndarray(type={type(value).__name__}, dtype={value.dtype.str}, shape={value.shape}, "
                    f"strides={value.strides}, flags=C{int(value.flags.c_contiguous)}"
                    f"F{int(value.flags.f_contiguous)}A{int(value.flags.aligned)}W{int(value.flags.writeable)})")
        text = repr(value)
    except Exception as e:  # noqa: BLE001 - some hostile objects refuse repr
        text = f"<{type(value).__name__}, repr raised {type(e).__name__}>"
    return text if len(text) <= limit else text[:limit] + f"... ({len(text)} chars)"


def child_main(case, examples, seed, last_path):
    import faulthandler

    faulthandler.enable()
    global TALLY
    TALLY = Tally(last_path)
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import seed as hypothesis_seed

    body, strategies = PROPERTIES[case]()
    run = settings(max_examples=examples, deadline=None, database=None, derandomize=False,
                   phases=[Phase.generate, Phase.shrink], suppress_health_check=list(HealthCheck),
                   print_blob=True)(hypothesis_seed(seed)(given(*strategies)(body)))
    run()
    print("HOSTILE " + json.dumps({"inputs": TALLY.inputs, "outcomes": TALLY.outcomes,
                                   "slowest": TALLY.slowest, "detail": dict(sorted(TALLY.detail.items()))}),
          flush=True)


# ---- JSON text with tokens that json.dumps cannot write (1e400, duplicate keys, raw text)


class Raw:
    """A token written into the JSON text verbatim."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return f"Raw({self.text!r})"


class Pairs(list):
    """A JSON object as a list of (key, value) pairs, so keys may repeat."""


def dump(value, ascii_only=True):
    if isinstance(value, Raw):
        return value.text
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "NaN"
        if math.isinf(value):
            return "1e400" if value > 0 else "-1e400"
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=ascii_only)
    if isinstance(value, Pairs):
        return "{" + ",".join(dump(k, ascii_only) + ":" + dump(v, ascii_only) for k, v in value) + "}"
    if isinstance(value, dict):
        return "{" + ",".join(dump(k, ascii_only) + ":" + dump(v, ascii_only) for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(dump(v, ascii_only) for v in value) + "]"
    raise TypeError(type(value))


# ---- strategies (built lazily: hypothesis is imported only in the child)

UNARY = ["neg", "sqrt", "exp", "log", "abs", "tanh", "sin", "cos", "sign"]
BINARY = ["add", "sub", "mul", "div", "pow", "max", "min", "gt"]
OPERATORS = ["const", "ref", *UNARY, *BINARY, "where", "pw", "sym"]
JUNK_OPERATORS = ["SIN", "Add", "", " add", "add ", "ref\u0000", "\u00e9", "\U0001F600", "pw\n", "constant",
                  "\ud800"]
NUMBER_TOKENS = ["1e400", "-1e400", "1e-400", "-0", "-0.0", "0e0", "1E+2", "4.9e-324", "2.2250738585072014e-308",
                 "1.7976931348623157e308", "1.7976931348623159e308", "18446744073709551615",
                 "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
                 "123456789012345678901234567890", "1" + "0" * 400, "0." + "0" * 400 + "1"]
BAD_NUMBER_TOKENS = ["NaN", "Infinity", "-Infinity", "01", "1.", ".5", "+1", "0x10", "1e", "--1"]
SPECIAL_CHARS = ["\x00", "\ud800", "\udfff", "\x7f", "\u200b", "\u00e9", "\U0001F600", "\n", "\t", '"', "\\",
                 "\x1b", "\u2028", "\ufeff"]
FLOAT_SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, 5e-324, 1e300, 1.7976931348623157e308,
                  math.nan, math.inf, -math.inf]
METHOD_NAMES = ["euler", "rk4", "rk45", "adaptive", "midpoint", "implicit_midpoint", "auto"]
INTERP_NAMES = ["hold", "zoh", "previous", "linear"]
NAME_NOISE = ["Euler", "RK4", "rk45 ", " midpoint", "midpoint\x00", "linear\n", "", "rk5", "h\u00f6ld",
              "\ud800", "\U0001F600", "x" * 300]


def _strategies():
    from hypothesis import strategies as st

    chars = st.one_of(st.characters(codec=None, exclude_categories=()), st.sampled_from(SPECIAL_CHARS))
    texts = st.text(chars, max_size=12)
    numbers = st.one_of(
        st.integers(-5, 5),
        st.integers(-2**70, 2**70),
        st.floats(allow_nan=False, allow_infinity=False),
        st.sampled_from([0.5, -1.5, 1e-9, 3.0]),
        st.sampled_from(NUMBER_TOKENS).map(Raw),
    )
    junk = st.recursive(
        st.one_of(st.none(), st.booleans(), numbers, texts),
        lambda inner: st.one_of(st.lists(inner, max_size=4),
                                st.dictionaries(texts, inner, max_size=3)),
        max_leaves=8,
    )
    return st, chars, texts, numbers, junk


class _Lazy:
    cache = None

    @classmethod
    def get(cls):
        if cls.cache is None:
            cls.cache = _strategies()
        return cls.cache


def expression_nodes(n_slots):
    """Random expression trees: mostly well formed, with wrong arities, bad operands, unknown
    operators, refs past the table, and "pw" tables of every kind."""
    st, chars, texts, numbers, junk = _Lazy.get()
    slot = st.one_of(
        st.integers(0, max(n_slots - 1, 0)), st.integers(0, max(n_slots - 1, 0)),
        st.integers(n_slots, n_slots + 3), st.just(2**64 - 1), st.just(2**64), st.integers(-3, -1),
        st.just(1.0), st.sampled_from(NUMBER_TOKENS).map(Raw), texts,
    )
    leaf = st.one_of(
        st.builds(lambda v: ["const", v], numbers),
        st.builds(lambda i: ["ref", i], slot),
        st.builds(lambda i: ["ref", i], st.integers(0, max(n_slots - 1, 0))),
        st.builds(lambda v: ["const", v], junk),
        st.just([]),
        st.builds(lambda args: ["sym", *args], st.lists(junk, max_size=2)),
        junk,
    )
    finite = st.floats(-100, 100, allow_nan=False)
    good_knots = st.lists(finite, min_size=2, max_size=6, unique=True).map(sorted)
    triple = st.one_of(st.lists(numbers, min_size=3, max_size=3),
                       st.lists(st.one_of(numbers, junk), min_size=3, max_size=3))

    def pw_node(child):
        matched = st.tuples(child, good_knots).flatmap(
            lambda ck: st.lists(triple, min_size=len(ck[1]) - 1, max_size=len(ck[1]) - 1).map(
                lambda cs: ["pw", ck[0], ck[1], cs]))
        anything = st.builds(lambda c, k, cs: ["pw", c, k, cs], child,
                             st.one_of(st.lists(st.one_of(numbers, junk), max_size=5), junk),
                             st.one_of(st.lists(st.one_of(triple, junk), max_size=5), junk))
        return st.one_of(matched, matched, anything)

    def extend(child):
        return st.one_of(
            st.builds(lambda o, a: [o, a], st.sampled_from(UNARY), child),
            st.builds(lambda o, a, b: [o, a, b], st.sampled_from(BINARY), child, child),
            st.builds(lambda o, a, b: [o, a, b], st.sampled_from(BINARY), child, child),
            st.builds(lambda a, b, c: ["where", a, b, c], child, child, child),
            pw_node(child),
            st.builds(lambda o, args: [o, *args], st.sampled_from(OPERATORS + JUNK_OPERATORS),
                      st.lists(child, max_size=4)),
        )

    return st.recursive(leaf, extend, max_leaves=14)


def valid_expression_nodes(n_slots):
    """Well-formed expression trees only: refs inside the table, finite constants (some of them
    extreme), valid "pw" tables."""
    st, chars, texts, numbers, junk = _Lazy.get()
    constants = st.one_of(st.floats(-10, 10), st.integers(-3, 3), st.floats(allow_nan=False, allow_infinity=False),
                          st.integers(-2**70, 2**70), st.sampled_from(["1e-400", "-0", "4.9e-324",
                                                                        "1.7976931348623157e308"]).map(Raw))
    leaf = st.one_of(st.builds(lambda v: ["const", v], constants),
                     st.builds(lambda i: ["ref", i], st.integers(0, n_slots - 1)),
                     st.builds(lambda i: ["ref", i], st.integers(0, n_slots - 1)))
    knots = st.lists(st.floats(-5, 5, allow_nan=False), min_size=2, max_size=5, unique=True).map(sorted)

    def extend(child):
        pw = st.tuples(child, knots).flatmap(lambda ck: st.lists(
            st.lists(constants, min_size=3, max_size=3), min_size=len(ck[1]) - 1, max_size=len(ck[1]) - 1).map(
            lambda cs: ["pw", ck[0], ck[1], cs]))
        return st.one_of(
            st.builds(lambda o, a: [o, a], st.sampled_from(UNARY), child),
            st.builds(lambda o, a, b: [o, a, b], st.sampled_from(BINARY), child, child),
            st.builds(lambda a, b, c: ["where", a, b, c], child, child, child),
            pw,
        )

    return st.recursive(leaf, extend, max_leaves=10)


def deep_expression(depth, inner):
    node = inner
    for k in range(depth):
        node = ["neg", node] if k % 3 else ["pw", node, [0, 1], [[0, 1, 0]]]
    return node


def documents():
    """Model documents: the right sizes most of the time, then a few random mutations."""
    st, chars, texts, numbers, junk = _Lazy.get()
    keys = ["n_states", "n_inputs", "n_params", "param_values", "rhs", "jacobian", "energy", "grad_H",
            "port_outputs", "port_values", "outputs", "output_names"]
    size = st.one_of(st.integers(0, 4), st.integers(0, 2))
    by_slots = {}

    def exprs(n_slots, clean):
        if (n_slots, clean) not in by_slots:
            by_slots[n_slots, clean] = (valid_expression_nodes if clean else expression_nodes)(n_slots)
        return by_slots[n_slots, clean]

    @st.composite
    def build(draw):
        ns, ni, npar = draw(size), draw(st.integers(0, 3)), draw(st.integers(0, 3))
        # a clean document compiles unless a mutation below breaks it; the others rarely do
        clean = draw(st.integers(0, 9)) < 6
        e = exprs(ns + ni + npar + 1, clean)
        doc = {"n_states": ns, "n_inputs": ni, "n_params": npar,
               "param_values": draw(st.lists(st.one_of(numbers, numbers, numbers, junk), min_size=npar,
                                             max_size=npar)),
               "rhs": draw(st.lists(e, min_size=ns, max_size=ns))}
        if draw(st.booleans()):
            doc["jacobian"] = draw(st.lists(e, min_size=ns * ns, max_size=ns * ns))
        if draw(st.booleans()):
            doc["energy"] = draw(e)
        if draw(st.booleans()):
            doc["grad_H"] = draw(st.lists(e, max_size=4))
        if draw(st.booleans()):
            k = draw(st.integers(0, 3))
            doc["port_outputs"] = draw(st.lists(e, min_size=k, max_size=k))
            doc["port_values"] = draw(st.lists(e, min_size=k, max_size=k))
        if draw(st.booleans()):
            k = draw(st.integers(0, 3))
            doc["outputs"] = draw(st.lists(e, min_size=k, max_size=k))
            doc["output_names"] = draw(st.lists(st.one_of(texts, junk), min_size=k, max_size=k))
        if draw(st.integers(0, 9)) == 0:
            # an expression nested right around the parser's depth limit
            doc["energy"] = deep_expression(draw(st.integers(115, 135)), ["ref", 0])
        pairs = Pairs(doc.items())
        for _ in range(draw(st.sampled_from([0, 0, 0, 1, 2, 3]))):
            kind = draw(st.sampled_from(["drop", "junk", "null", "resize", "extra", "repeat"]))
            key = draw(st.sampled_from(keys))
            if kind == "drop":
                pairs = Pairs((k, v) for k, v in pairs if k != key)
            elif kind == "junk":
                pairs = Pairs((k, draw(junk) if k == key else v) for k, v in pairs)
            elif kind == "null":
                pairs = Pairs((k, None if k == key else v) for k, v in pairs)
            elif kind == "resize":
                pairs = Pairs((k, (v + [draw(e)] if draw(st.booleans()) else v[:-1])
                               if k == key and isinstance(v, list) else v) for k, v in pairs)
            elif kind == "extra":
                pairs.append((draw(texts), draw(junk)))
            else:
                pairs.append((key, draw(st.one_of(junk, e, size))))
        ascii_only = draw(st.booleans())
        text = dump(pairs, ascii_only)
        padding = draw(st.sampled_from(["", " ", "\n", " \t\r\n", "\n\n  "]))
        return text + padding

    return build()


def texts_at_the_parser():
    """Raw text: fragments of JSON, truncated or damaged documents, extreme nesting, odd numbers."""
    st, chars, texts, numbers, junk = _Lazy.get()
    valid = json.dumps({"n_states": 1, "n_inputs": 1, "n_params": 1, "param_values": [0.5],
                        "rhs": [["add", ["mul", ["neg", ["ref", 2]], ["ref", 0]], ["ref", 1]]],
                        "energy": ["mul", ["const", 0.5], ["mul", ["ref", 0], ["ref", 0]]]})
    fragments = st.sampled_from(["{", "}", "[", "]", ",", ":", '"n_states"', '"rhs"', '"param_values"', "1",
                                 "0", "-1", "null", "true", "false", '"', "\\", " ", "\n", "\x00", "\ud800",
                                 '"\\ud800"', '"\\u0000"', *NUMBER_TOKENS, *BAD_NUMBER_TOKENS,
                                 '["ref",0]', '["const",1e400]', "/*", "//", "\ufeff"])
    nesting = st.sampled_from([1, 2, 125, 126, 127, 128, 129, 1000, 100000, 1000000])

    def nested(d, kind):
        if kind == 0:
            return "[" * d + "]" * d
        if kind == 1:
            return "[" * d
        if kind == 2:
            return '{"a":' * d + "1" + "}" * d
        if kind == 3:
            return '{"n_states":' + "[" * d + "]" * d + "}"
        return "[" * d + "1" + "]" * (d - 1)

    def damaged(pos, replacement):
        pos %= len(valid) + 1
        return valid[:pos] + replacement + valid[pos + 1:]

    return st.one_of(
        st.text(chars, max_size=40),
        st.lists(fragments, max_size=30).map("".join),
        st.builds(nested, nesting, st.integers(0, 4)),
        st.builds(lambda n: valid[:n], st.integers(0, len(valid))),
        st.builds(damaged, st.integers(0, 10**6), st.one_of(fragments, st.text(chars, max_size=2))),
        st.builds(lambda tail: valid + tail, st.one_of(fragments, st.text(chars, max_size=4))),
        st.builds(lambda tok: valid.replace("0.5]", tok + "]"), st.sampled_from(NUMBER_TOKENS + BAD_NUMBER_TOKENS)),
        st.just(valid + " " * 100000),
        st.just('{"n_states":0,"n_inputs":0,"n_params":0,"param_values":[],"rhs":[],"x":"' + "a" * 1000000 + '"}'),
        junk.map(dump),
    )


# ---- the documents property


def _expect_vector(result, length):
    import numpy as np
    assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == (length,), \
        describe(result)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata is False


def exercise_loaded_model(m, data):
    """A model that loaded: every method with well-formed arguments gives a result (point
    evaluations never fail) or, for the integrators, a RuntimeError; batch rows agree with
    single runs."""
    import numpy as np
    from hypothesis import strategies as st

    n, ni, npar = m.n_states, m.n_inputs, m.n_params
    assert repr(m) == str(m) == (f"zarel_engine.Model(n_states={n}, n_inputs={ni}, n_params={npar}, jacobian="
                                 f"{'analytic' if m.has_jacobian else 'finite-difference'})")
    p = m.params
    assert p.dtype == np.float64 and p.shape == (npar,)
    names = m.output_names
    assert all(type(s) is str for s in names)
    values = st.one_of(st.floats(-3, 3), st.sampled_from(FLOAT_SPECIALS))

    def vector(size):
        # Hypothesis draws lists of a few thousand values at most: a longer vector repeats its draws
        drawn = data.draw(st.lists(values, min_size=min(size, 256), max_size=min(size, 256)))
        return np.resize(np.array(drawn, dtype=np.float64), size)

    x, u = vector(n), vector(ni)
    t = data.draw(values)
    none_error = ()
    for name in ("rhs", "outputs", "port_outputs", "jacobian", "supplied_power"):
        r, _ = attempt(lambda: getattr(m, name)(x, u, t), none_error)
        r2, _ = attempt(lambda: getattr(m, name)(x), none_error)
        if name == "rhs":
            _expect_vector(r, n)
        elif name == "outputs":
            _expect_vector(r, len(names))
        elif name == "jacobian":
            assert r.shape == (n, n) and r.dtype == np.float64
        elif name == "supplied_power":
            assert type(r) is float and type(r2) is float
    e, _ = attempt(lambda: m.energy(x), none_error)
    assert type(e) is float
    g, _ = attempt(lambda: m.grad_h(x), none_error)
    assert g.dtype == np.float64 and g.ndim == 1

    method = data.draw(st.sampled_from(METHOD_NAMES))
    options = dict(method=method, max_newton=data.draw(st.integers(0, 4)), rtol=1e-4, atol=1e-7)
    dt = data.draw(st.sampled_from([0.0, 1e-3, 0.05]))
    r, _ = attempt(lambda: m.step(x, u, 0.0, dt, **options), (RuntimeError,))
    if r is not None:
        _expect_vector(r, n)

    grid = np.array(data.draw(st.sampled_from([[0.0, 0.05], [0.0, 0.02, 0.05], [-1.0, -0.99, -0.98, -0.97]])))
    series = None
    if data.draw(st.booleans()) and ni:
        series = np.array(data.draw(st.lists(st.floats(-2, 2), min_size=len(grid) * ni,
                                             max_size=len(grid) * ni))).reshape(len(grid), ni)
    interp = data.draw(st.sampled_from(INTERP_NAMES))
    x0 = np.array(data.draw(st.lists(st.floats(-3, 3), min_size=n, max_size=n)), dtype=np.float64)
    single, error = attempt(lambda: m.simulate(x0, grid, series, interp=interp, **options), (RuntimeError,))
    if single is not None:
        assert list(single) == ["t", "x", "u", "energy", "supplied_power", "outputs", "stats"]
        assert single["x"].shape == (len(grid), n) and single["u"].shape == (len(grid), ni)
        assert single["outputs"].shape == (len(grid), len(names))
        assert single["stats"]["method"] in ("euler", "rk4", "rk45", "midpoint")
    rows = np.array([x0, x0]) if n else np.zeros((2, 0))
    param_rows = None if data.draw(st.booleans()) else np.array([p, p]).reshape(2, npar)
    batch, batch_error = attempt(lambda: m.simulate_batch(rows, grid, series, param_rows, interp=interp, **options),
                                 (RuntimeError,))
    assert (batch is None) == (single is None), (error, batch_error)
    if batch is not None:
        assert list(batch) == ["t", "x", "energy"]
        assert batch["x"].shape == (2, len(grid), n)
        for i in range(2):
            assert np.array_equal(batch["x"][i], single["x"], equal_nan=True)
            assert np.array_equal(batch["energy"][i], single["energy"], equal_nan=True)
    else:
        assert str(batch_error) == str(error)


def property_documents():
    from hypothesis import strategies as st
    import zarel_engine

    def body(text, data):
        TALLY.begin(f"Model({text!r})")
        TALLY.label = "load"
        m, _ = attempt(lambda: zarel_engine.Model(text), (ValueError, UnicodeEncodeError, MemoryError))
        if m is not None:
            TALLY.label = f"use-n{m.n_states}"
            exercise_loaded_model(m, data)
            m.params = m.params
        TALLY.end()

    return body, [documents(), st.data()]


def property_texts():
    import zarel_engine

    def body(text):
        TALLY.begin(f"Model({describe(text, 2000)})")
        m, _ = attempt(lambda: zarel_engine.Model(text), (ValueError, UnicodeEncodeError, MemoryError))
        if m is not None:
            m.params = m.params
        TALLY.end()

    return body, [texts_at_the_parser()]


# ---- the arguments property

MODELS = None


def models():
    global MODELS
    if MODELS is None:
        import conftest
        import zarel_engine

        docs = [json.dumps(d) for d in conftest.DOCS.values()]
        docs += [p.read_text() for p in sorted(EXAMPLES_DIR.glob("*.json"))]
        MODELS = [zarel_engine.Model(d) for d in docs]
    return MODELS


class FloatLike:
    def __init__(self, value=1.0, error=None):
        self.value, self.error = value, error

    def __float__(self):
        if self.error:
            raise self.error("refused by __float__")
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r}, {self.error.__name__ if self.error else None})"


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexLike({self.value})"


SABOTAGE = ["flatten", "to_2d", "to_3d", "float32", "int64", "complex128", "uint8", "assign_params"]


class Sabotage:
    """A float (or index) whose conversion changes an array in place, or assigns the model's
    params, before it answers."""

    def __init__(self, model, target, action, value):
        self.model, self.target, self.action, self.value = model, target, action, value

    def _act(self):
        import numpy as np
        a = self.target
        try:
            if self.action == "flatten":
                a.shape = (a.size,)
            elif self.action == "to_2d":
                a.shape = (1, a.size)
            elif self.action == "to_3d":
                a.shape = (1, 1, a.size)
            elif self.action == "assign_params":
                self.model.params = self.model.params  # refused: the call holds the model
            else:
                a.dtype = {"float32": np.float32, "int64": np.int64, "complex128": np.complex128,
                           "uint8": np.uint8}[self.action]
        except (ValueError, AttributeError, TypeError):
            pass  # NumPy refuses this change for this array: the call goes on unchanged

    def __float__(self):
        self._act()
        return float(self.value)

    def __index__(self):
        self._act()
        return int(self.value)

    def __repr__(self):
        return f"Sabotage({self.action}, {describe(self.target)}, {self.value!r})"


class NoRepr:
    def __repr__(self):
        raise ZeroDivisionError("no repr for you")


def _array_classes():
    import numpy as np

    class Sub(np.ndarray):
        pass

    class SubNoRepr(np.ndarray):
        def __repr__(self):
            raise ZeroDivisionError("no repr for you")

    return Sub, SubNoRepr


def arrays(ndim, length, values):
    """NumPy arrays of many dtypes, ranks, shapes and memory layouts; mostly float64 of the
    requested rank and length so that the later checks are reached."""
    import numpy as np
    st = _Lazy.get()[0]
    Sub, SubNoRepr = _array_classes()
    dtypes = [np.float32, np.float16, np.int8, np.int64, np.uint64, np.bool_, np.complex128, np.dtype(">f8"),
              np.longdouble, object, "U3", "S4", "datetime64[s]", "V8", [("a", "<f8")]]
    layouts = ["c", "c", "c", "f", "reversed", "step2", "inner_step", "zero_stride", "unaligned", "readonly",
               "subclass", "subclass_norepr", "masked", "huge_zero_stride", "empty_rows", "swapped"]

    def dim():
        return st.one_of(st.just(length), st.just(length), st.integers(0, 4))

    @st.composite
    def build(draw):
        rank = draw(st.one_of(st.just(ndim), st.just(ndim), st.just(ndim), st.integers(0, 3)))
        shape = tuple(draw(dim()) if k == rank - 1 or rank == 1 else draw(st.integers(0, 3))
                      for k in range(rank))
        size = int(np.prod(shape)) if shape else 1
        flat = draw(st.lists(values, min_size=size, max_size=size))
        base = np.array(flat, dtype=np.float64).reshape(shape)
        layout = draw(st.sampled_from(layouts))
        if draw(st.integers(0, 4)) == 0:
            dtype = draw(st.sampled_from(dtypes))
            try:
                with np.errstate(all="ignore"):
                    base = base.astype(dtype)
            except (TypeError, ValueError):
                base = np.zeros(shape, dtype=dtype)
        if layout == "f":
            return np.asfortranarray(base)
        if layout == "reversed" and rank:
            return base[(slice(None, None, -1),) * rank]
        if layout == "step2" and rank:
            doubled = np.repeat(base, 2, axis=0)
            return doubled[::2]
        if layout == "inner_step" and rank:
            doubled = np.repeat(base, 2, axis=rank - 1)
            return doubled[(Ellipsis, slice(None, None, 2))]
        if layout == "zero_stride":
            first = base.reshape(-1)[:1] if size else np.zeros(1, base.dtype)
            return np.broadcast_to(first.reshape((1,) * rank) if rank else first[0], shape)
        if layout == "unaligned" and base.dtype == np.float64:
            raw = np.zeros(size * 8 + 1, dtype=np.uint8)[1:]
            out = raw.view(np.float64).reshape(shape)
            out[...] = base
            return out
        if layout == "readonly":
            base.flags.writeable = False
            return base
        if layout == "subclass":
            return base.view(Sub)
        if layout == "subclass_norepr":
            return base.view(SubNoRepr)
        if layout == "masked":
            return np.ma.masked_array(base)
        if layout == "huge_zero_stride" and rank:
            huge = tuple(draw(st.sampled_from([2**40, 2**50, 3])) for _ in range(rank))
            try:
                return np.lib.stride_tricks.as_strided(np.zeros(1, base.dtype), shape=huge, strides=(0,) * rank)
            except ValueError:
                return base
        if layout == "empty_rows" and rank == 2:
            return np.empty((draw(st.sampled_from([2**40, 2**59, 0, 5])), 0))
        if layout == "swapped" and base.dtype == np.float64:
            return base.astype(">f8")
        return base

    return build()


def argument_strategies(m):
    """Per kind of parameter: a strategy for its value (well formed or hostile) on model m."""
    import numpy as np
    st, chars, texts, numbers, junk = _Lazy.get()
    n, ni, npar = m.n_states, m.n_inputs, m.n_params
    values = st.one_of(st.floats(-3, 3), st.sampled_from(FLOAT_SPECIALS))
    grid_values = st.one_of(st.floats(-5, 5), st.sampled_from([0.0, 1.0, 1e-15, 1e-300, 1e300, math.nan,
                                                                 math.inf, -math.inf]))

    def grids():
        increasing = st.builds(lambda start, steps: np.cumsum([start] + steps),
                               st.floats(-5, 5), st.lists(st.floats(1e-3, 1.0), min_size=1, max_size=5))
        return st.one_of(increasing, increasing, increasing,
                         st.builds(np.array, st.lists(grid_values, max_size=6)),
                         arrays(1, 3, grid_values))

    anything = st.one_of(
        st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(), texts, st.binary(max_size=6),
        st.lists(st.floats(), max_size=4), st.tuples(st.floats()), st.just(object()), st.just(Ellipsis),
        st.just(NoRepr()), st.just(np.float64(1.5)), st.just(np.int64(3)), st.just(np.bool_(True)),
        st.just(Fraction(1, 3)), st.just(Fraction(10**400, 3)), st.just(Decimal("nan")), st.just(Decimal("1e400")),
        st.builds(FloatLike, st.floats()), st.sampled_from([FloatLike(error=TypeError), FloatLike(error=ValueError),
                                                            FloatLike(error=OverflowError)]),
        st.just(complex(1, 2)), st.dictionaries(texts, st.integers(), max_size=2),
        arrays(1, n, values), arrays(2, n, values), junk,
    )
    # max_newton: small counts, or values that fail to convert. No mid-range count: a Newton
    # iteration that never converges would run that many times.
    counts = st.one_of(st.integers(0, 8), st.integers(0, 8), st.integers(-2**70, -1), st.integers(2**64, 2**70),
                       st.just(True), st.builds(IndexLike, st.integers(2**64, 2**66)),
                       st.builds(IndexLike, st.integers(0, 8)), st.just(np.int64(2)), st.just(np.uint8(3)),
                       st.floats(), texts, st.none(), st.just(NoRepr()))
    tolerances = st.one_of(st.sampled_from([1e-8, 1e-6, 1e-3, 0.1, 1, 0, -1e-6, math.nan, math.inf, 1e-300]),
                           anything.filter(lambda v: not isinstance(v, (int, float, np.number))))
    names = st.one_of(st.sampled_from(METHOD_NAMES), st.sampled_from(NAME_NOISE), texts, anything)
    interps = st.one_of(st.sampled_from(INTERP_NAMES), st.sampled_from(NAME_NOISE), texts, anything)

    def maybe(strategy, weight=4):
        return st.one_of(*([strategy] * weight), anything)

    return {
        "state": maybe(arrays(1, n, values)),
        "input": st.one_of(st.none(), maybe(arrays(1, ni, values))),
        "scalar": maybe(values),
        "dt": maybe(st.sampled_from([0.0, 1e-3, 0.01, 0.1, 1.0, -0.1, math.nan, math.inf, 1e300])),
        "tol": tolerances,
        "count": counts,
        "method": names,
        "interp": interps,
        "flag": st.one_of(st.booleans(), st.booleans(), st.just(np.bool_(False)), st.sampled_from([0, 1, None, ""]),
                          anything),
        "grid": maybe(grids()),
        "series": st.one_of(st.none(), maybe(arrays(2, ni, values))),
        "states": maybe(arrays(2, n, values)),
        "param_rows": st.one_of(st.none(), maybe(arrays(2, npar, values))),
        "params": maybe(arrays(1, npar, values)),
        "anything": anything,
        "texts": texts,
    }


def well_formed_strategies(m):
    """Per kind of parameter: a value that passes every check (for the coupled sizes, series rows
    and parameter rows, the caller fixes the row count)."""
    import numpy as np
    st = _Lazy.get()[0]
    Sub, _ = _array_classes()
    values = st.one_of(st.floats(-3, 3), st.sampled_from([0.0, 1.0, -1.0, 1e-300, 1e300]))

    def benign(a, layout):
        if layout == "readonly":
            a.flags.writeable = False
        elif layout == "subclass":
            return a.view(Sub)
        elif layout == "fortran":
            return np.asfortranarray(a)
        elif layout == "unaligned" and a.ndim == 1:
            raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)[1:]
            out = raw.view(np.float64)
            out[...] = a
            return out
        elif layout == "strided" and a.ndim == 2:
            return np.repeat(a, 2, axis=0)[::-2][::-1]
        return a

    layouts = st.sampled_from(["plain", "plain", "readonly", "subclass", "fortran", "unaligned", "strided"])

    def vector(length):
        return st.builds(lambda v, lay: benign(np.array(v, dtype=np.float64), lay),
                         st.lists(values, min_size=length, max_size=length), layouts)

    def matrix(rows, cols):
        return st.builds(lambda v, lay: benign(np.array(v, dtype=np.float64).reshape(rows, cols), lay),
                         st.lists(values, min_size=rows * cols, max_size=rows * cols), layouts)

    n, ni, npar = m.n_states, m.n_inputs, m.n_params
    grid = st.builds(lambda start, steps: np.cumsum([start] + steps), st.floats(-5, 5),
                     st.lists(st.sampled_from([1e-3, 0.01, 0.1, 0.25]), min_size=1, max_size=5))
    return {
        "state": vector(n),
        "input": st.one_of(st.none(), vector(ni)),
        "scalar": values,
        "dt": st.sampled_from([0.0, 1e-3, 0.01, 0.1]),
        "tol": st.sampled_from([1e-8, 1e-6, 1e-3]),
        "count": st.integers(0, 8),
        "method": st.sampled_from(METHOD_NAMES),
        "interp": st.sampled_from(INTERP_NAMES),
        "flag": st.booleans(),
        "grid": grid,
        "series": lambda rows: st.one_of(st.none(), matrix(rows, ni)),
        "states": lambda rows: matrix(rows, n),
        "param_rows": lambda rows: st.one_of(st.none(), matrix(rows, npar)),
        "params": vector(npar),
    }


SIGNATURES = {
    "rhs": [("x", "state", True), ("u", "input", False), ("t", "scalar", False)],
    "jacobian": [("x", "state", True), ("u", "input", False), ("t", "scalar", False)],
    "outputs": [("x", "state", True), ("u", "input", False), ("t", "scalar", False)],
    "port_outputs": [("x", "state", True), ("u", "input", False), ("t", "scalar", False)],
    "supplied_power": [("x", "state", True), ("u", "input", False), ("t", "scalar", False)],
    "energy": [("x", "state", True)],
    "grad_h": [("x", "state", True)],
    "step": [("x", "state", True), ("u", "input", True), ("t", "scalar", True), ("dt", "dt", True),
             ("method", "method", False), ("rtol", "tol", False), ("atol", "tol", False),
             ("newton_tol", "tol", False), ("max_newton", "count", False)],
    "simulate": [("x0", "state", True), ("t", "grid", True), ("u", "series", False), ("method", "method", False),
                 ("interp", "interp", False), ("rtol", "tol", False), ("atol", "tol", False),
                 ("newton_tol", "tol", False), ("max_newton", "count", False), ("record_outputs", "flag", False),
                 ("record_energy", "flag", False)],
    "simulate_batch": [("x0s", "states", True), ("t", "grid", True), ("u", "series", False),
                       ("params", "param_rows", False), ("method", "method", False), ("interp", "interp", False),
                       ("rtol", "tol", False), ("atol", "tol", False), ("newton_tol", "tol", False),
                       ("max_newton", "count", False)],
}


def check_result(m, name, result, kwargs):
    import numpy as np
    n = m.n_states
    if name in ("rhs", "step"):
        _expect_vector(result, n)
    elif name == "jacobian":
        assert type(result) is np.ndarray and result.shape == (n, n) and result.dtype == np.float64
    elif name in ("outputs", "port_outputs", "grad_h"):
        assert type(result) is np.ndarray and result.ndim == 1 and result.dtype == np.float64
    elif name in ("energy", "supplied_power"):
        assert type(result) is float
    elif name == "simulate":
        assert list(result) == ["t", "x", "u", "energy", "supplied_power", "outputs", "stats"]
        L = len(result["t"])
        assert L >= 2 and result["x"].shape == (L, n) and result["u"].shape == (L, m.n_inputs)
        assert result["outputs"].shape[0] == L and result["energy"].shape in ((L,), (0,))
    elif name == "simulate_batch":
        assert list(result) == ["t", "x", "energy"]
        N, L = result["energy"].shape
        assert result["x"].shape == (N, L, n)


def property_arguments():
    from hypothesis import strategies as st

    all_models = models()
    per_model = {}

    @st.composite
    def call(draw):
        index = draw(st.integers(0, len(all_models) - 1))
        m = all_models[index]
        if index not in per_model:
            per_model[index] = argument_strategies(m), well_formed_strategies(m)
        kinds, good = per_model[index]
        name = draw(st.sampled_from(sorted(SIGNATURES)))
        signature = SIGNATURES[name]
        # most calls are hostile in one or two places only, so that every later check is reached
        mode = draw(st.sampled_from(["none", "none", "one", "one", "one", "two", "all"]))
        hostile = {"none": set(), "all": set(range(len(signature)))}.get(mode)
        if hostile is None:
            count = 1 if mode == "one" else 2
            hostile = set(draw(st.lists(st.integers(0, len(signature) - 1), min_size=count, max_size=count)))
        values, rows = [], {"grid": 2, "states": 1}
        for k, (_, kind, _) in enumerate(signature):
            if k in hostile:
                value = draw(kinds[kind])
            elif kind in ("series", "param_rows", "states"):
                count_of = rows["grid"] if kind == "series" else rows["states"]
                value = draw(good[kind](count_of if kind != "states" else draw(st.integers(0, 3))))
            else:
                value = draw(good[kind])
            # a hostile grid or state array may be a zero-stride view of 2**40 rows: well-formed
            # companions are only sized after arrays that could really be filled
            if kind == "grid" and hasattr(value, "shape") and value.ndim == 1 and value.shape[0] <= 1000:
                rows["grid"] = value.shape[0]
            if kind == "states" and hasattr(value, "shape") and value.ndim == 2 and value.shape[0] <= 1000:
                rows["states"] = value.shape[0]
            values.append(value)
        if draw(st.integers(0, 7)) == 0:
            # a number whose conversion reshapes, retypes or locks one of the arrays passed
            # along with it (or the model), after that array has passed its type check
            import numpy as np
            numeric = [k for k, (_, kind, _) in enumerate(signature) if kind in ("scalar", "dt", "tol", "count")]
            targets = [k for k, v in enumerate(values) if isinstance(v, np.ndarray)]
            if numeric and targets:
                k = draw(st.sampled_from(numeric))
                kind = signature[k][1]
                value = draw(good[kind]) if kind != "scalar" else draw(st.floats(-1, 1))
                values[k] = Sabotage(m, values[draw(st.sampled_from(targets))], draw(st.sampled_from(SABOTAGE)),
                                     value)
        # how the arguments are passed: a positional prefix, then keywords or omissions
        n_positional = draw(st.integers(0, len(signature)))
        args, kwargs = values[:n_positional], {}
        for (pname, _, required), value in zip(signature[n_positional:], values[n_positional:]):
            how = draw(st.sampled_from(["kw", "kw", "omit"] if not required else ["kw"] * 9 + ["omit"]))
            if how == "kw":
                kwargs[pname] = value
        trouble = draw(st.integers(0, 19))
        if trouble == 0:
            args.append(draw(kinds["anything"]))  # one positional too many (or filling a gap)
        elif trouble == 1:
            kwargs[draw(kinds["texts"])] = draw(kinds["anything"])  # unknown keyword, any spelling
        elif trouble == 2 and args:
            kwargs[signature[0][0]] = args[0]  # the same parameter twice
        return index, name, args, kwargs

    def body(drawn):
        index, name, args, kwargs = drawn
        m = models()[index]
        before = m.params
        TALLY.begin(f"models()[{index}] {m!r}.{name}(" + ", ".join(
            [describe(a) for a in args] + [f"{k!r}={describe(v)}" for k, v in kwargs.items()]) + ")")
        TALLY.label = name
        result, error = attempt(lambda: getattr(m, name)(*args, **kwargs))
        if error is None:
            check_result(m, name, result, kwargs)
        import numpy as np
        assert np.array_equal(m.params, before, equal_nan=True)
        m.params = before  # no hold was left behind
        TALLY.end()

    return body, [call()]


# ---- the attributes property: params assignment, deletion, unknown attributes, reads


def property_attributes():
    import numpy as np
    from hypothesis import strategies as st

    all_models = models()
    per_model = {}

    @st.composite
    def action(draw):
        index = draw(st.integers(0, len(all_models) - 1))
        m = all_models[index]
        if index not in per_model:
            per_model[index] = argument_strategies(m), well_formed_strategies(m)
        kinds, good = per_model[index]
        what = draw(st.sampled_from(["params", "params", "params", "delete", "set_other", "get_other", "read"]))
        attribute = draw(st.one_of(st.sampled_from(["n_states", "n_inputs", "n_params", "output_names",
                                                    "has_jacobian", "__dict__", "__weakref__", "params"]),
                                   kinds["texts"].filter(lambda s: s.isidentifier() and not s.startswith("__"))))
        return index, what, attribute, draw(st.one_of(good["params"], kinds["params"]))

    def body(drawn):
        index, what, attribute, value = drawn
        m = models()[index]
        before = m.params
        TALLY.begin(f"models()[{index}] {m!r}: {what} {attribute!r} {describe(value)}")
        if what == "params":
            _, error = attempt(lambda: setattr(m, "params", value), (TypeError, ValueError))
            if error is None:
                assert np.array_equal(m.params, np.asarray(value, dtype=np.float64), equal_nan=True)
                m.params = before
        elif what == "delete":
            _, error = attempt(lambda: delattr(m, "params"), (AttributeError,))
            assert error is not None and str(error) == "can't delete attribute"
        elif what == "set_other":
            if attribute != "params":
                _, error = attempt(lambda: setattr(m, attribute, value), (AttributeError, TypeError))
                assert error is not None
        elif what == "get_other":
            result, error = attempt(lambda: getattr(m, attribute), (AttributeError,))
            if attribute in ("n_states", "n_inputs", "n_params"):
                assert type(result) is int
        else:
            for prop in ("n_states", "n_inputs", "n_params", "output_names", "has_jacobian", "params"):
                attempt(lambda: getattr(m, prop), ())
            assert repr(m) == str(m)
        assert np.array_equal(m.params, before, equal_nan=True)
        m.params = before
        TALLY.end()

    return body, [action()]


PROPERTIES = {
    "documents": property_documents,
    "texts": property_texts,
    "arguments": property_arguments,
    "attributes": property_attributes,
}


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    child_main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
