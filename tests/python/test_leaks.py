"""Leaks: every entry point, on its success path and on each of its error paths, called many
thousands of times, must leave memory and reference counts where they were.

Three instruments, sampled after a warm-up and then after each round of calls; what is asserted
is the slope (growth per call, least squares over the rounds), never an absolute value:
- resident memory, from /proc/self/statm;
- bytes in use in the C heap (glibc's mallinfo2, when available): engine vectors, model copies,
  trajectories and NumPy's data buffers all live there, so a single forgotten vector shows;
- blocks held by Python's small-object allocator (sys.getallocatedblocks): a forgotten
  reference to a float, a str, a tuple or a dict shows there.
Reference counts: every argument object keeps its count, and every result is owned by the
caller alone (its base objects, the buffer owners, by the result alone).

A slope above its slack can come from a one-off arena growth, so a case is measured up to three
times and fails only if every measurement grows. ZAREL_LEAK_ITERATIONS sets the calls per round
(default 2000; cases that integrate run a third of that, at least 600); ZAREL_LEAK_REPORT names a
file that receives one JSON line of slopes per case.
"""
import ctypes
import ctypes.util
import gc
import json
import os
import sys

import numpy as np
import pytest

import zarel_engine
from conftest import ONE_STATE_DOC, TWO_STATE_DOC, TWO_STATE_FD_DOC

PER_ROUND = int(os.environ.get("ZAREL_LEAK_ITERATIONS", "2000"))
ROUNDS = 5
ATTEMPTS = 3
# slack per call: well below the smallest leak the engine could make (one heap block, at least
# 32 bytes with its header; one small Python object)
RSS_SLACK = 16.0  # bytes per call; one 4 KiB page per round of the smallest size is about 7
HEAP_SLACK = 4.0  # bytes per call
BLOCK_SLACK = 0.05  # pymalloc blocks per call
MIN_PER_ROUND = 600
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_reader():
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def heap():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return heap


HEAP = _heap_reader()


def sample():
    gc.collect()
    return (rss(), HEAP() if HEAP else 0, sys.getallocatedblocks())


def slopes(samples, per_round):
    calls = np.arange(len(samples)) * per_round
    return [float(np.polyfit(calls, samples[:, k], 1)[0]) for k in range(samples.shape[1])]


def run_rounds(call, expected, per_round):
    # samples go into storage made beforehand: a growing list of tuples would itself show as
    # a few pymalloc blocks per round
    samples = np.zeros((ROUNDS + 1, 3))
    samples[0] = sample()
    for r in range(1, ROUNDS + 1):
        if expected is None:
            for _ in range(per_round):
                call()
        else:
            for _ in range(per_round):
                try:
                    call()
                except expected:
                    pass
        samples[r] = sample()
    return slopes(samples, per_round)


# ---------------------------------------------------------------------------- the models

BLOWUP_DOC = {"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
              "rhs": [["mul", ["ref", 0], ["mul", ["ref", 0], ["ref", 0]]]],
              "energy": ["mul", ["ref", 0], ["ref", 0]]}
# dx/dt = sign(x) - x/2 has no midpoint solution for large steps near 0: the Newton iteration
# cycles, and with max_newton=0 it fails at once, at every split level
JUMP_DOC = {"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
            "rhs": [["sub", ["sign", ["ref", 0]], ["mul", ["const", 0.5], ["ref", 0]]]]}

two = zarel_engine.Model(json.dumps(TWO_STATE_DOC))
two_fd = zarel_engine.Model(json.dumps(TWO_STATE_FD_DOC))
one = zarel_engine.Model(json.dumps(ONE_STATE_DOC))
blowup = zarel_engine.Model(json.dumps(BLOWUP_DOC))
jump = zarel_engine.Model(json.dumps(JUMP_DOC))

# arguments, made once so that their reference counts can be watched
x = np.array([0.3, -0.2])
u = np.array([0.7])
x3 = np.zeros(3)
u2 = np.zeros(2)
x_list = [0.3, -0.2]
x_f32 = np.zeros(2, dtype=np.float32)
x_2d = np.zeros((1, 2))
x_strided = np.zeros(4)[::2]
u_strided = np.zeros(4)[::2]
grid = np.linspace(0.0, 0.5, 11)
grid_list = list(grid)
grid_strided = np.linspace(0.0, 1.0, 21)[::2]
grid_one = np.zeros(1)
grid_back = np.array([0.0, 0.2, 0.1])
series = np.linspace(-1.0, 1.0, 11).reshape(11, 1)
series_1d = np.zeros(11)
series_short = np.zeros((3, 1))
series_t = np.asfortranarray(series)
x_inf = np.array([np.inf, 0.0])
x_big = np.array([1e200])
x_jump = np.array([1e-3])
rows = np.array([[0.3, -0.2], [0.1, 0.0], [0.0, 0.4]])
rows_reversed = rows[::-1]
rows_1d = np.zeros(2)
prow = np.array([[0.5, 2.0, -1.25], [0.4, 1.0, -1.0], [0.6, 3.0, 0.0]])
prow_short = prow[:2]
prow_wide = np.zeros((3, 4))
big_rows = np.array([[1e200], [1.0]])
no_rows = np.zeros((0, 2))
params_good = np.array([0.5, 2.0, -1.25])
params_other = np.array([0.4, 1.5, -1.0])
params_f32 = params_good.astype(np.float32)
params_strided = np.zeros(6)[::2]
params_short = np.zeros(2)
params_list = [0.5, 2.0, -1.25]
method_bad = "rk5"
method_surrogate = "mid\ud800point"
method_bytes = b"euler"
text_good = json.dumps(TWO_STATE_DOC)
text_malformed = json.dumps(dict(TWO_STATE_DOC, rhs=[["sqrt", ["ref", 0], ["ref", 1]], ["ref", 0]]))
text_not_json = text_good + ","
text_deep = "[" * 200 + "]" * 200
text_bytes = text_good.encode()
text_surrogate = text_good[:-1] + ', "x": "\ud800"}'
WATCHED = [v for v in list(globals().values()) if isinstance(v, (np.ndarray, list, bytes, zarel_engine.Model))]


def describe(v):
    name = next((k for k, g in globals().items() if g is v), "?")
    return f"{name} ({type(v).__name__})"


def assert_sole_owner(result):
    """The caller's reference is the only one; each base object below an array is held by the
    arrays of the result above it alone (a run's arrays share one owner)."""
    # (counts are taken outside the assert statements: pytest's rewriting of an assert keeps
    # its intermediate values alive)
    if result is None or isinstance(result, (bool, int, str, float, tuple)):
        return
    count = sys.getrefcount(result)
    assert count == 3, count  # the caller's name, ours, the call's
    if isinstance(result, dict):
        for key in list(result):
            count = sys.getrefcount(result[key])  # the dict's, the call's
            assert count == 2, key
    values = list(result.values()) if isinstance(result, dict) else [result]
    holders = {}  # id of each base: how many objects of the result hold it
    for value in values:
        _sole_bases(value, holders)
    for value in values:
        base = getattr(value, "base", None)
        while base is not None:
            count = sys.getrefcount(base)  # the objects above it, the name base, the call
            assert count == holders[id(base)] + 2, type(base)
            base = getattr(base, "base", None)


def _sole_bases(value, holders):
    if isinstance(value, dict):
        # the statistics: fresh ints (small ones are shared by the interpreter) and a str
        for key in list(value):
            if isinstance(value[key], int) and value[key] > 256:
                count = sys.getrefcount(value[key])
                assert count == 2, key
        return
    above, base = value, getattr(value, "base", None)
    while base is not None and id(above) not in holders.setdefault("counted", set()):
        holders["counted"].add(id(above))  # each holder counted once
        holders[id(base)] = holders.get(id(base), 0) + 1
        above, base = base, getattr(base, "base", None)


# ---------------------------------------------------------------------------- the cases

POINT = ["rhs", "jacobian", "outputs", "port_outputs", "supplied_power"]

CASES = []


def case(name, call, expected=None, cost=1):
    CASES.append(pytest.param(call, expected, cost, id=name))


for method_name in POINT:
    f = getattr(two, method_name)
    fd = getattr(two_fd, method_name)
    case(f"{method_name}-ok", lambda f=f: f(x, u, 0.5))
    case(f"{method_name}-ok-defaults", lambda f=f: f(x))
    case(f"{method_name}-ok-finite-difference", lambda f=fd: f(x, u, t=0.25))
    case(f"{method_name}-x-type", lambda f=f: f(x_list), TypeError)
    case(f"{method_name}-x-dtype", lambda f=f: f(x_f32, u), TypeError)
    case(f"{method_name}-x-rank", lambda f=f: f(x_2d, u), TypeError)
    case(f"{method_name}-u-type", lambda f=f: f(x, x_list), TypeError)
    case(f"{method_name}-t-type", lambda f=f: f(x, u, None), TypeError)
    case(f"{method_name}-x-not-contiguous", lambda f=f: f(x_strided, u), TypeError)
    case(f"{method_name}-u-not-contiguous", lambda f=f: f(x, u_strided), TypeError)
    case(f"{method_name}-x-length", lambda f=f: f(x3, u), ValueError)
    case(f"{method_name}-u-length", lambda f=f: f(x, u2), ValueError)
    case(f"{method_name}-unknown-keyword", lambda f=f: f(x, v=u), TypeError)
    case(f"{method_name}-missing-argument", lambda f=f: f(), TypeError)
    case(f"{method_name}-too-many-arguments", lambda f=f: f(x, u, 0.0, 1.0), TypeError)

for method_name in ("energy", "grad_h"):
    f = getattr(two, method_name)
    case(f"{method_name}-ok", lambda f=f: f(x))
    case(f"{method_name}-ok-keyword", lambda f=f: f(x=x))
    case(f"{method_name}-x-type", lambda f=f: f(x_list), TypeError)
    case(f"{method_name}-x-not-contiguous", lambda f=f: f(x_strided), TypeError)
    case(f"{method_name}-x-length", lambda f=f: f(x3), ValueError)
    case(f"{method_name}-missing-argument", lambda f=f: f(), TypeError)

for solver in ("euler", "rk4", "rk45", "midpoint"):
    case(f"step-ok-{solver}", lambda s=solver: two.step(x, u, 0.0, 0.01, method=s))
    case(f"step-ok-{solver}-finite-difference", lambda s=solver: two_fd.step(x, None, 0.0, 0.01, s))
case("step-x-type", lambda: two.step(x_list, u, 0.0, 0.1), TypeError)
case("step-u-type", lambda: two.step(x, x_f32, 0.0, 0.1), TypeError)
case("step-t-none", lambda: two.step(x, u, None, 0.1), TypeError)
case("step-dt-type", lambda: two.step(x, u, 0.0, "0.1"), TypeError)
case("step-method-type", lambda: two.step(x, u, 0.0, 0.1, method_bytes), TypeError)
case("step-method-unknown", lambda: two.step(x, u, 0.0, 0.1, method_bad), ValueError)
case("step-method-surrogate", lambda: two.step(x, u, 0.0, 0.1, method_surrogate), UnicodeEncodeError)
case("step-rtol-type", lambda: two.step(x, u, 0.0, 0.1, rtol=None), TypeError)
case("step-max-newton-negative", lambda: two.step(x, u, 0.0, 0.1, max_newton=-1), OverflowError)
case("step-max-newton-float", lambda: two.step(x, u, 0.0, 0.1, max_newton=2.0), TypeError)
case("step-x-not-contiguous", lambda: two.step(x_strided, u, 0.0, 0.1), TypeError)
case("step-x-length", lambda: two.step(x3, u, 0.0, 0.1), ValueError)
case("step-u-length", lambda: two.step(x, u2, 0.0, 0.1), ValueError)
case("step-non-finite", lambda: blowup.step(x_big, None, 0.0, 1.0, "euler"), RuntimeError)
case("step-newton-fails", lambda: jump.step(x_jump, None, 0.0, 10.0, max_newton=0), RuntimeError)
case("step-rk45-collapses", lambda: jump.step(x_jump, None, 0.0, 10.0, "rk45", rtol=0.0, atol=1e-300),
     RuntimeError)
case("step-missing-argument", lambda: two.step(x, u, 0.0), TypeError)

for solver in ("euler", "rk4", "rk45", "midpoint"):
    case(f"simulate-ok-{solver}", lambda s=solver: two.simulate(x, grid, series, s), cost=3)
case("simulate-ok-linear-fortran-series", lambda: two.simulate(x, grid, series_t, "rk4", "linear"), cost=3)
case("simulate-ok-finite-difference", lambda: two_fd.simulate(x, grid), cost=3)
case("simulate-ok-no-recording",
     lambda: two.simulate(x, grid, record_outputs=False, record_energy=False, method="euler"), cost=3)
case("simulate-x0-type", lambda: two.simulate(x_list, grid), TypeError)
case("simulate-t-list", lambda: two.simulate(x, grid_list), TypeError)
case("simulate-u-rank", lambda: two.simulate(x, grid, series_1d), TypeError)
case("simulate-x0-not-contiguous", lambda: two.simulate(x_strided, grid), TypeError)
case("simulate-t-not-contiguous", lambda: two.simulate(x, grid_strided), TypeError)
case("simulate-method-unknown", lambda: two.simulate(x, grid, method=method_bad), ValueError)
case("simulate-interp-unknown", lambda: two.simulate(x, grid, interp=method_bad), ValueError)
case("simulate-record-type", lambda: two.simulate(x, grid, record_outputs=0), TypeError)
case("simulate-max-newton-huge", lambda: two.simulate(x, grid, max_newton=2**64), OverflowError)
case("simulate-x0-length", lambda: two.simulate(x3, grid), ValueError)
case("simulate-grid-one-point", lambda: two.simulate(x, grid_one), ValueError)
case("simulate-grid-backwards", lambda: two.simulate(x, grid_back), ValueError)
case("simulate-series-size", lambda: two.simulate(x, grid, series_short), ValueError)
case("simulate-x0-infinite", lambda: two.simulate(x_inf, grid), RuntimeError)
case("simulate-non-finite", lambda: blowup.simulate(x_big[:1], grid, method="rk4"), RuntimeError)
case("simulate-newton-fails", lambda: jump.simulate(x_jump, grid * 20, max_newton=0), RuntimeError, cost=3)

case("batch-ok", lambda: two.simulate_batch(rows, grid, series), cost=3)
case("batch-ok-params", lambda: two.simulate_batch(rows_reversed, grid, None, prow, "rk4"), cost=3)
case("batch-ok-one-run", lambda: two.simulate_batch(rows[:1], grid, method="euler"), cost=3)
case("batch-ok-no-runs", lambda: two.simulate_batch(no_rows, grid_one))
case("batch-x0s-rank", lambda: two.simulate_batch(rows_1d, grid), TypeError)
case("batch-params-rank", lambda: two.simulate_batch(rows, grid, params=params_good), TypeError)
case("batch-t-not-contiguous", lambda: two.simulate_batch(rows, grid_strided), TypeError)
case("batch-method-unknown", lambda: two.simulate_batch(rows, grid, method=method_bad), ValueError)
case("batch-params-count", lambda: two.simulate_batch(rows, grid, params=prow_short), ValueError)
case("batch-params-length", lambda: two.simulate_batch(rows, grid, params=prow_wide), ValueError, cost=3)
case("batch-grid-one-point", lambda: two.simulate_batch(rows, grid_one), ValueError, cost=3)
case("batch-run-fails", lambda: blowup.simulate_batch(big_rows, grid, method="rk4"), RuntimeError, cost=3)


def _set_params(value):
    two_fd.params = value


def _del_params():
    del two_fd.params


case("params-get", lambda: two.params)
case("params-set-ok", lambda: _set_params(params_good))
case("params-set-list", lambda: _set_params(params_list), TypeError)
case("params-set-float32", lambda: _set_params(params_f32), TypeError)
case("params-set-not-contiguous", lambda: _set_params(params_strided), TypeError)
case("params-set-length", lambda: _set_params(params_short), ValueError)
case("params-delete", _del_params, AttributeError)
case("other-properties", lambda: (two.n_states, two.n_inputs, two.n_params, two.has_jacobian, two.output_names))
case("repr", lambda: repr(two))
case("constructor-ok", lambda: zarel_engine.Model(text_good))
case("constructor-ok-keyword", lambda: zarel_engine.Model(json=text_good))
case("constructor-malformed", lambda: zarel_engine.Model(text_malformed), ValueError)
case("constructor-not-json", lambda: zarel_engine.Model(text_not_json), ValueError)
case("constructor-too-deep", lambda: zarel_engine.Model(text_deep), ValueError)
case("constructor-bytes", lambda: zarel_engine.Model(text_bytes), TypeError)
case("constructor-surrogate", lambda: zarel_engine.Model(text_surrogate), UnicodeEncodeError)
case("constructor-no-argument", lambda: zarel_engine.Model(), TypeError)
# loading makes machine code (unless ZAREL_JIT=0): here pages of it, with calls into tables and
# the math library; a page kept per model would be 4 KiB a call
_N = 12
text_machine_code = json.dumps({
    "n_states": _N, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["pw", ["mul", ["ref", k], ["exp", ["ref", (k + 1) % _N]]], [0.0, 1.0, 2.0], [[1, 2, 3], [4, 5, 6]]]
            for k in range(_N)],
    "jacobian": [["sin", ["ref", (i * j) % _N]] for i in range(_N) for j in range(_N)]})
case("constructor-machine-code", lambda: zarel_engine.Model(text_machine_code), cost=3)


@pytest.mark.parametrize("call, expected, cost", CASES)
def test_memory_and_references_stay_flat(call, expected, cost, request):
    per_round = max(PER_ROUND // cost, MIN_PER_ROUND)
    # the path under test is the one named: the call succeeds, or raises exactly that class
    if expected is None:
        call()
    else:
        with pytest.raises(expected) as info:
            call()
        assert type(info.value) is expected
        del info  # its traceback holds the frames, and they the arguments
    counts = [sys.getrefcount(v) for v in WATCHED]
    for _ in range(per_round):  # warm-up: caches, pools and arenas settle
        try:
            call()
        except Exception:  # noqa: BLE001 - the class was checked above
            pass
    measurements = []
    for _ in range(ATTEMPTS):
        rss_slope, heap_slope, block_slope = run_rounds(call, expected, per_round)
        measurements.append((rss_slope, heap_slope, block_slope))
        if rss_slope <= RSS_SLACK and heap_slope <= HEAP_SLACK and block_slope <= BLOCK_SLACK:
            break
    else:
        pytest.fail(f"memory grows with every call: (rss bytes, heap bytes, pymalloc blocks) per call "
                    f"{measurements}")
    now = [sys.getrefcount(v) for v in WATCHED]
    changed = [k for k in range(len(WATCHED)) if now[k] != counts[k]]
    assert not changed, f"reference counts changed: {[describe(WATCHED[k]) for k in changed]}"
    if expected is None:
        result = call()
        assert_sole_owner(result)
    rss_slope, heap_slope, block_slope = measurements[-1]
    if os.environ.get("ZAREL_LEAK_REPORT"):
        with open(os.environ["ZAREL_LEAK_REPORT"], "a") as f:
            f.write(json.dumps({"case": request.node.callspec.id, "rss": rss_slope, "heap": heap_slope,
                                "blocks": block_slope, "calls": ROUNDS * per_round,
                                "attempts": len(measurements)}) + "\n")
    print(f"\nslopes per call: rss {rss_slope:+.3f} B, heap {heap_slope:+.3f} B, pymalloc blocks "
          f"{block_slope:+.5f} over {ROUNDS}x{per_round} calls")


def test_the_instruments_see_a_leak():
    """The measurement itself works: keeping one small array per call is seen by every
    instrument that should see it."""
    kept = []
    slopes_seen = run_rounds(lambda: kept.append(two.rhs(x)), None, 2000)
    rss_slope, heap_slope, block_slope = slopes_seen
    assert block_slope > BLOCK_SLACK
    if HEAP:
        assert heap_slope > HEAP_SLACK
    assert rss_slope > 0


def test_a_result_outlives_its_model():
    m = zarel_engine.Model(text_good)
    r = m.simulate(x, grid)
    j = m.jacobian(x)
    del m
    gc.collect()
    assert r["x"].shape == (len(grid), 2) and j.shape == (2, 2)
    assert np.isfinite(r["x"]).all()
