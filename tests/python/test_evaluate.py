"""Point evaluations of a Model: rhs, jacobian, energy, grad_h, outputs, port_outputs and
supplied_power, their argument rules and their results.

Expected values are computed in Python with the operations in the order the model documents
(conftest.py) write them, so the comparisons are exact."""

import gc
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

NOT_CONTIGUOUS = "The given array is not contiguous"

POINT_METHODS = ["rhs", "jacobian", "outputs", "port_outputs", "supplied_power"]
STATE_METHODS = ["energy", "grad_h"]
ALL_METHODS = POINT_METHODS + STATE_METHODS
VECTOR_METHODS = ["rhs", "outputs", "port_outputs", "grad_h"]

P0, P1, P2 = 0.5, 2.0, -1.25


def bits(values):
    """Bit patterns of float64 values: tells -0.0 from 0.0, and any NaN from a number."""
    return np.ascontiguousarray(np.asarray(values, dtype=np.float64)).view(np.uint64)


def assert_exact(actual, expected):
    expected = np.asarray(expected, dtype=np.float64)
    assert np.shape(actual) == expected.shape
    a, e = np.asarray(actual, dtype=np.float64), expected
    # NaNs are compared as NaN, not by payload
    assert np.array_equal(np.isnan(a), np.isnan(e))
    keep = ~np.isnan(e)
    assert np.array_equal(bits(a[keep]), bits(e[keep])), (a, e)


# The two-state model of conftest.py, written out in Python.
def two_rhs(x, u, t, p=(P0, P1, P2)):
    x0, x1 = x
    (u0,) = u
    p0, p1, p2 = p
    return [x1 * p1 + u0, ((-(p0 * x0)) - (p2 * (x1 * x1))) + (t * x0)]


def two_jacobian(x, u, t, p=(P0, P1, P2)):
    x0, x1 = x
    p0, p1, p2 = p
    return [[0.0, p1], [(-p0) + t, ((-2.0) * p2) * x1]]


def two_energy(x, p=(P0, P1, P2)):
    x0, x1 = x
    return 0.5 * (x0 * x0) + (0.5 * p[1]) * (x1 * x1)


def two_grad(x, p=(P0, P1, P2)):
    return [x[0], p[1] * x[1]]


def two_port_outputs(x, u, t):
    return [x[0], x[1]]


def two_power(x, u, t):
    return (0.0 + x[0] * u[0]) + x[1] * (3.0 * u[0])


def two_outputs(x, u, t):
    return [x[0] + x[1], t * x[1], u[0]]


def finite_differences(f, x, u, t):
    """Forward differences with h = (|x_j| + 1)*1e-7, divided by h itself."""
    n = len(x)
    f0 = f(x, u, t)
    out = [[0.0] * n for _ in range(n)]
    for j in range(n):
        h = (abs(x[j]) + 1.0) * 1e-7
        xp = list(x)
        xp[j] = x[j] + h
        f1 = f(xp, u, t)
        for i in range(n):
            out[i][j] = (f1[i] - f0[i]) / h
    return out


def no_input_rhs(x, u, t):
    return [x[0] * x[1], x[0]]


POINTS = [
    ([1.0, 3.0], [0.0], 0.0),
    ([0.25, -1.5], [2.0], 0.5),
    ([-3.0, 0.1], [-0.7], 1e3),
    ([1e154, -1e-300], [1e300], -2.5),
    ([-0.0, 0.0], [-0.0], -0.0),
    ([np.inf, 2.0], [1.0], 1.0),
]


def call(model, name, x, u=None, t=None):
    method = getattr(model, name)
    args = [np.array(x, dtype=np.float64)]
    if name in STATE_METHODS:
        return method(*args)
    args.append(None if u is None else np.array(u, dtype=np.float64))
    if t is not None:
        args.append(t)
    return method(*args)


# ---------------------------------------------------------------------------------------------
# values


def test_one_state_example(one_state):
    assert one_state.rhs(np.array([2.0]), np.array([1.0]), 0.0).tolist() == [0.0]
    assert one_state.energy(np.array([2.0])) == 2.0
    assert one_state.supplied_power(np.array([2.0]), np.array([3.0])) == 6.0
    assert one_state.grad_h(np.array([2.0])).tolist() == [2.0]
    assert one_state.outputs(np.array([2.0])).tolist() == [2.0]
    assert one_state.port_outputs(np.array([-4.5])).tolist() == [-4.5]


@pytest.mark.parametrize("x, u, t", POINTS)
def test_two_state_values(two_state, x, u, t):
    assert_exact(call(two_state, "rhs", x, u, t), two_rhs(x, u, t))
    assert_exact(call(two_state, "jacobian", x, u, t), two_jacobian(x, u, t))
    assert_exact(call(two_state, "outputs", x, u, t), two_outputs(x, u, t))
    assert_exact(call(two_state, "port_outputs", x, u, t), two_port_outputs(x, u, t))
    power = call(two_state, "supplied_power", x, u, t)
    assert type(power) is float
    assert_exact(power, two_power(x, u, t))
    energy = call(two_state, "energy", x)
    assert type(energy) is float
    assert_exact(energy, two_energy(x))
    assert_exact(call(two_state, "grad_h", x), two_grad(x))


def test_values_follow_assigned_params(two_state):
    p = (3.0, -0.25, 7.5)
    two_state.params = np.array(p)
    x, u, t = [0.3, -1.1], [0.9], 2.0
    assert_exact(call(two_state, "rhs", x, u, t), two_rhs(x, u, t, p))
    assert_exact(call(two_state, "jacobian", x, u, t), two_jacobian(x, u, t, p))
    assert_exact(call(two_state, "energy", x), two_energy(x, p))
    assert_exact(call(two_state, "grad_h", x), two_grad(x, p))


# ---------------------------------------------------------------------------------------------
# jacobian


@pytest.mark.parametrize("x, u, t", POINTS[:5] + [([1e3, -7.0], [0.3], 0.25)])
def test_finite_difference_jacobian(two_state_fd, x, u, t):
    jac = call(two_state_fd, "jacobian", x, u, t)
    assert_exact(jac, finite_differences(two_rhs, x, u, t))


def test_finite_differences_divide_by_h_not_by_the_realised_step(two_state_fd):
    x, u, t = [1e3, 3.3], [0.0], 0.0
    h0 = (abs(x[0]) + 1.0) * 1e-7
    assert (x[0] + h0) - x[0] != h0  # the point is chosen so that the two divisors differ
    jac = call(two_state_fd, "jacobian", x, u, t)
    f = two_rhs
    realised = (f([x[0] + h0, x[1]], u, t)[1] - f(x, u, t)[1]) / ((x[0] + h0) - x[0])
    assert jac[1, 0] != realised
    assert_exact(jac, finite_differences(two_rhs, x, u, t))


def test_finite_difference_jacobian_of_the_product_model(no_input):
    jac = no_input.jacobian(np.array([1.0, 2.0]))
    assert_exact(jac, finite_differences(no_input_rhs, [1.0, 2.0], [], 0.0))
    np.testing.assert_allclose(jac, [[2.0, 1.0], [1.0, 0.0]], rtol=1e-6, atol=1e-12)


@pytest.mark.parametrize("x", [[0.0, 2.0], [0.0, 0.0], [-0.0, -2.0], [0.0, np.nan]], ids=["inf", "nan", "-inf", "nan-x1"])
def test_non_finite_analytic_jacobian_falls_back_to_finite_differences(div_jacobian, x):
    jac = div_jacobian.jacobian(np.array(x))
    # every entry is replaced, not only the non-finite one
    assert_exact(jac, finite_differences(no_input_rhs, x, [], 0.0))
    assert div_jacobian.has_jacobian
    assert repr(div_jacobian).endswith("jacobian=analytic)")


@pytest.mark.parametrize("x", [[3.0, 2.0], [-0.5, 0.0], [1e-300, 1e-300]])
def test_finite_analytic_jacobian_is_returned_as_written(div_jacobian, x):
    jac = div_jacobian.jacobian(np.array(x))
    assert_exact(jac, [[x[1] / x[0], 7.0], [7.0, 7.0]])


def test_jacobian_shape_and_layout(two_state, two_state_fd, empty_model):
    x = np.array([0.25, -1.5])
    for model in (two_state, two_state_fd):
        jac = model.jacobian(x)
        assert type(jac) is np.ndarray
        assert jac.shape == (2, 2) and jac.dtype == np.float64
        assert jac.flags.c_contiguous and jac.flags.writeable
    # row-major: entry [i, j] is d rhs_i / d x_j; [0, 1] is p1 = 2, [1, 0] is -p0 + t
    jac = two_state.jacobian(x, None, 4.0)
    assert jac[0, 1] == 2.0 and jac[1, 0] == -0.5 + 4.0
    assert jac.ravel().tolist() == [0.0, 2.0, 3.5, ((-2.0) * -1.25) * -1.5]
    empty = empty_model.jacobian(np.empty(0))
    assert empty.shape == (0, 0) and empty.dtype == np.float64
    assert empty_model.rhs(np.empty(0)).shape == (0,)


def test_jacobian_of_a_larger_model_is_row_major(make_model):
    # rhs_i = sum_j (10 i + j) x_j, analytic entries (i, j) = 10 i + j
    n = 3
    rhs = []
    for i in range(n):
        terms = [["mul", ["const", 10 * i + j], ["ref", j]] for j in range(n)]
        rhs.append(["add", ["add", terms[0], terms[1]], terms[2]])
    jac = [["const", 10 * i + j] for i in range(n) for j in range(n)]
    base = {"n_states": n, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": rhs}
    analytic = make_model(dict(base, jacobian=jac)).jacobian(np.array([1.0, 2.0, 3.0]))
    assert analytic.tolist() == [[0.0, 1.0, 2.0], [10.0, 11.0, 12.0], [20.0, 21.0, 22.0]]
    fd = make_model(base).jacobian(np.array([1.0, 2.0, 3.0]))
    np.testing.assert_allclose(fd, analytic, atol=1e-5)


# ---------------------------------------------------------------------------------------------
# energy, grad_h, supplied power, outputs


@pytest.mark.parametrize("x", [[2.0], [-3.5], [0.0]])
def test_energy_and_gradient_see_zero_input_and_time(time_energy, x):
    # energy = (x0*p0 + u0) + t and grad_H = [t, u0, p0*x0], with u0 = t = 0
    assert_exact(time_energy.energy(np.array(x)), (x[0] * 4.0 + 0.0) + 0.0)
    grad = time_energy.grad_h(np.array(x))
    assert_exact(grad, [0.0, 0.0, 4.0 * x[0]])
    # the other methods do see the caller's input and time
    assert time_energy.rhs(np.array(x), np.array([1.0]), 9.0).tolist() == [9.0]


def test_model_without_energy_ports_or_outputs(no_input):
    x = np.array([1.5, -2.0])
    energy = no_input.energy(x)
    assert type(energy) is float and energy == 0.0 and not np.signbit(energy)
    power = no_input.supplied_power(x)
    assert type(power) is float and power == 0.0 and not np.signbit(power)
    for name in ("grad_h", "outputs", "port_outputs"):
        result = getattr(no_input, name)(x)
        assert type(result) is np.ndarray and result.shape == (0,) and result.dtype == np.float64


def test_supplied_power_is_summed_left_to_right(make_model):
    doc = {
        "n_states": 3,
        "n_inputs": 3,
        "n_params": 0,
        "param_values": [],
        "rhs": [["ref", 0], ["ref", 1], ["ref", 2]],
        "port_outputs": [["ref", 0], ["ref", 1], ["ref", 2]],
        "port_values": [["ref", 3], ["ref", 4], ["ref", 5]],
    }
    model = make_model(doc)
    x, u = [1.0, 1e16, -1e16], [1.0, 1.0, 1.0]
    left_to_right = ((0.0 + 1.0) + 1e16) + -1e16
    assert left_to_right == 0.0 and (1e16 + -1e16) + 1.0 == 1.0
    assert model.supplied_power(np.array(x), np.array(u)) == left_to_right
    # the power is the sum of products y_k * v_k
    assert model.supplied_power(np.array([2.0, 3.0, 5.0]), np.array([7.0, 11.0, 13.0])) == 2 * 7 + 3 * 11 + 5 * 13


def test_gradient_count_is_not_tied_to_the_state_count(time_energy):
    assert time_energy.n_states == 1
    assert time_energy.grad_h(np.array([1.0])).shape == (3,)


def test_outputs_match_output_names(two_state):
    result = two_state.outputs(np.array([1.0, 2.0]), np.array([5.0]), 3.0)
    assert len(result) == len(two_state.output_names) == 3
    assert dict(zip(two_state.output_names, result.tolist())) == {"sum": 3.0, "tx": 6.0, "u": 5.0}


def test_nan_and_infinity_are_returned_as_they_are(two_state):
    x = np.array([np.nan, np.inf])
    rhs = two_state.rhs(x)
    assert rhs[0] == np.inf and np.isnan(rhs[1])
    assert np.isnan(two_state.energy(np.array([np.nan, 0.0])))


# ---------------------------------------------------------------------------------------------
# default and optional arguments


@pytest.mark.parametrize("name", POINT_METHODS)
def test_input_omitted_none_or_zeros_are_the_same(two_state, name):
    method = getattr(two_state, name)
    x = np.array([0.75, -2.5])
    reference = method(x, np.zeros(1), 0.0)
    for result in (method(x), method(x, None), method(x, u=None), method(x, None, 0.0), method(x, t=0)):
        assert_exact(result, reference)
    assert_exact(method(x=x, u=np.zeros(1), t=0.0), reference)


@pytest.mark.parametrize("name", POINT_METHODS)
def test_time_default_and_int_time(two_state, name):
    method = getattr(two_state, name)
    x, u = np.array([0.75, -2.5]), np.array([1.25])
    assert_exact(method(x, u), method(x, u, 0.0))
    assert_exact(method(x, u, 1), method(x, u, 1.0))
    assert_exact(method(x, u, True), method(x, u, 1.0))
    assert_exact(method(x, u, np.float32(0.5)), method(x, u, 0.5))
    assert_exact(method(x, u, np.int64(-3)), method(x, u, -3.0))


def test_time_matters(two_state):
    x = np.array([0.75, -2.5])
    # rhs1 and the "tx" output read t
    assert two_state.rhs(x, None, 2.0)[1] != two_state.rhs(x)[1]
    assert two_state.outputs(x, t=2.0)[1] == 2.0 * -2.5


@pytest.mark.parametrize("name", POINT_METHODS)
def test_float_like_time_is_converted(two_state, float_probe, name):
    method = getattr(two_state, name)
    x = np.array([0.75, -2.5])
    probe = float_probe(1.5)
    assert_exact(method(x, None, probe), method(x, None, 1.5))
    assert probe.calls == 1


@pytest.mark.parametrize("name", POINT_METHODS)
@pytest.mark.parametrize("t", [None, "1.0", [1.0], np.array([1.0, 2.0]), 1j, object()], ids=repr)
def test_time_that_is_not_a_float(two_state, name, t):
    with pytest.raises(TypeError) as info:
        getattr(two_state, name)(np.zeros(2), None, t)
    assert re.search(r"\bt\b", str(info.value))


class RaisingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize(
    "t, error",
    [(10**400, OverflowError), (RaisingFloat(ValueError("bad t")), ValueError), (RaisingFloat(ZeroDivisionError()), ZeroDivisionError)],
    ids=["huge-int", "value-error", "zero-division"],
)
def test_time_conversion_errors_pass_through(two_state, t, error):
    with pytest.raises(error) as info:
        two_state.rhs(np.zeros(2), None, t)
    assert type(info.value) is error


def test_model_without_inputs(no_input):
    x = np.array([1.5, -2.0])
    reference = no_input.rhs(x)
    assert_exact(no_input.rhs(x, None), reference)
    assert_exact(no_input.rhs(x, np.empty(0)), reference)
    assert_exact(no_input.rhs(x, np.zeros(0)[::-1]), reference)
    assert reference.tolist() == [1.5 * -2.0, 1.5]
    for name in POINT_METHODS:
        with pytest.raises(ValueError) as info:
            getattr(no_input, name)(x, np.zeros(1))
        assert info.value.args == ("input has 1 entries, the model has 0 inputs",)


# ---------------------------------------------------------------------------------------------
# argument rules


class ArraySubclass(np.ndarray):
    pass


def readonly(values):
    a = np.array(values, dtype=np.float64)
    a.flags.writeable = False
    return a


def unaligned(values):
    raw = bytearray(8 * len(values) + 1)
    a = np.ndarray(len(values), dtype=np.float64, buffer=raw, offset=1)
    a[:] = values
    assert not a.flags.aligned
    return a


def fortran(values):
    a = np.asfortranarray(np.array(values, dtype=np.float64))
    assert a.flags.f_contiguous
    return a


def row_of_matrix(values):
    m = np.array([values, [9.0] * len(values)])
    return m[0]


ACCEPTED_FORMS = [
    ("fortran", fortran),
    ("read-only", readonly),
    ("subclass", lambda v: np.array(v).view(ArraySubclass)),
    ("unaligned", unaligned),
    ("row-of-matrix", row_of_matrix),
    ("native-f8", lambda v: np.array(v, dtype="=f8")),
]


@pytest.mark.parametrize("name", ALL_METHODS)
@pytest.mark.parametrize("make", [f[1] for f in ACCEPTED_FORMS], ids=[f[0] for f in ACCEPTED_FORMS])
def test_accepted_array_forms(two_state, name, make):
    x, u = [0.75, -2.5], [1.25]
    method = getattr(two_state, name)
    if name in STATE_METHODS:
        assert_exact(method(make(x)), method(np.array(x)))
    else:
        assert_exact(method(make(x), make(u), 0.5), method(np.array(x), np.array(u), 0.5))


@pytest.mark.parametrize("name", POINT_METHODS)
def test_argument_arrays_are_not_changed(two_state, name):
    x, u = np.array([0.75, -2.5]), np.array([1.25])
    getattr(two_state, name)(x, u, 0.5)
    assert x.tolist() == [0.75, -2.5] and u.tolist() == [1.25]


BAD_ARRAYS = [
    ("list", [0.0, 0.0]),
    ("tuple", (0.0, 0.0)),
    ("None", None),
    ("float", 0.0),
    ("float64-scalar", np.float64(0.0)),
    ("int64", np.zeros(2, dtype=np.int64)),
    ("float32", np.zeros(2, dtype=np.float32)),
    ("float16", np.zeros(2, dtype=np.float16)),
    ("complex128", np.zeros(2, dtype=np.complex128)),
    ("object", np.zeros(2, dtype=object)),
    ("bool", np.zeros(2, dtype=bool)),
    ("byte-swapped", np.zeros(2, dtype=">f8")),
    ("0-d", np.array(0.0)),
    ("2-d", np.zeros((1, 2))),
    ("2-d-column", np.zeros((2, 1))),
    ("memoryview", memoryview(np.zeros(2))),
]


@pytest.mark.parametrize("name", ALL_METHODS)
@pytest.mark.parametrize("x", [b[1] for b in BAD_ARRAYS], ids=[b[0] for b in BAD_ARRAYS])
def test_state_of_the_wrong_type(two_state, name, x):
    with pytest.raises(TypeError) as info:
        getattr(two_state, name)(x)
    assert str(info.value) != NOT_CONTIGUOUS
    assert re.search(r"\bx\b", str(info.value))


@pytest.mark.parametrize("name", POINT_METHODS)
@pytest.mark.parametrize("u", [b[1] for b in BAD_ARRAYS if b[0] != "None"], ids=[b[0] for b in BAD_ARRAYS if b[0] != "None"])
def test_input_of_the_wrong_type(two_state, name, u):
    with pytest.raises(TypeError) as info:
        getattr(two_state, name)(np.zeros(2), u)
    assert str(info.value) != NOT_CONTIGUOUS
    assert re.search(r"\bu\b", str(info.value))


STRIDED = [
    ("every-second", lambda n: np.arange(2.0 * n)[::2]),
    ("reversed", lambda n: np.arange(float(n))[::-1]),
    ("column", lambda n: np.zeros((n, 3))[:, 1]),
]


@pytest.mark.parametrize("name", ALL_METHODS)
@pytest.mark.parametrize("make", [s[1] for s in STRIDED], ids=[s[0] for s in STRIDED])
def test_state_not_contiguous(two_state, name, make):
    with pytest.raises(TypeError) as info:
        getattr(two_state, name)(make(2))
    assert info.value.args == (NOT_CONTIGUOUS,)


@pytest.mark.parametrize("name", POINT_METHODS)
def test_input_not_contiguous(make_model, doc, name):
    d = doc("two_state")
    d["n_inputs"] = 2
    model = make_model(d)
    with pytest.raises(TypeError) as info:
        getattr(model, name)(np.zeros(2), np.arange(4.0)[::2])
    assert info.value.args == (NOT_CONTIGUOUS,)
    with pytest.raises(TypeError) as info:
        getattr(model, name)(np.zeros(2), np.arange(2.0)[::-1])
    assert info.value.args == (NOT_CONTIGUOUS,)


@pytest.mark.parametrize("name", [m for m in ALL_METHODS if m != "grad_h"])
@pytest.mark.parametrize("length", [0, 1, 3, 10])
def test_state_of_the_wrong_length(two_state, name, length):
    with pytest.raises(ValueError) as info:
        getattr(two_state, name)(np.zeros(length))
    assert type(info.value) is ValueError
    assert info.value.args == (f"state has {length} entries, the model has 2 states",)


@pytest.mark.parametrize("length", [0, 1, 3])
def test_gradient_state_of_the_wrong_length(two_state, length):
    with pytest.raises(ValueError) as info:
        two_state.grad_h(np.zeros(length))
    assert info.value.args == ("state length mismatch",)


@pytest.mark.parametrize("name", POINT_METHODS)
@pytest.mark.parametrize("length", [0, 2, 5])
def test_input_of_the_wrong_length(two_state, name, length):
    with pytest.raises(ValueError) as info:
        getattr(two_state, name)(np.zeros(2), np.zeros(length))
    assert info.value.args == (f"input has {length} entries, the model has 1 inputs",)


def strided(n):
    return np.arange(2.0 * n)[::2]


# (x, u, t) -> what is reported: the earliest problem in argument order, types and conversions
# before contiguity, contiguity before lengths, the state before the input
ORDER_CASES = [
    ("x-type-before-u-type", [0.0, 0.0], [0.0], 0.0, (TypeError, "x")),
    ("x-type-before-t", np.zeros(2, np.float32), np.zeros(1), None, (TypeError, "x")),
    ("u-type-before-t", np.zeros(2), np.zeros(1, np.int64), None, (TypeError, "u")),
    ("u-type-before-x-contiguity", strided(2), [0.0], 0.0, (TypeError, "u")),
    ("t-before-x-contiguity", strided(2), None, None, (TypeError, "t")),
    ("t-before-lengths", np.zeros(5), np.zeros(5), "t", (TypeError, "t")),
    ("x-contiguity-before-x-length", strided(3), None, 0.0, (TypeError, NOT_CONTIGUOUS)),
    ("u-contiguity-before-x-length", np.zeros(3), strided(1 + 1), 0.0, (TypeError, NOT_CONTIGUOUS)),
    ("x-length-before-u-length", np.zeros(3), np.zeros(4), 0.0, (ValueError, "state has 3 entries, the model has 2 states")),
]


@pytest.mark.parametrize("name", POINT_METHODS)
@pytest.mark.parametrize("x, u, t, expected", [c[1:] for c in ORDER_CASES], ids=[c[0] for c in ORDER_CASES])
def test_argument_check_order(two_state, name, x, u, t, expected):
    error, what = expected
    with pytest.raises(error) as info:
        getattr(two_state, name)(x, u, t)
    assert type(info.value) is error
    if what in ("x", "u", "t"):
        assert str(info.value) != NOT_CONTIGUOUS
        assert re.search(rf"\b{what}\b", str(info.value))
    else:
        assert info.value.args == (what,)


@pytest.mark.parametrize("name", POINT_METHODS)
def test_time_is_converted_after_array_types_and_before_contiguity(two_state, float_probe, name):
    method = getattr(two_state, name)
    probe = float_probe(0.0)
    with pytest.raises(TypeError):
        method([0.0, 0.0], None, probe)
    with pytest.raises(TypeError):
        method(np.zeros(2), [0.0], probe)
    assert probe.calls == 0
    with pytest.raises(TypeError, match=NOT_CONTIGUOUS):
        method(strided(2), None, probe)
    assert probe.calls == 1
    with pytest.raises(ValueError):
        method(np.zeros(3), None, probe)
    assert probe.calls == 2


@pytest.mark.parametrize("name", STATE_METHODS)
def test_state_methods_check_contiguity_before_length(two_state, name):
    with pytest.raises(TypeError) as info:
        getattr(two_state, name)(strided(3))
    assert info.value.args == (NOT_CONTIGUOUS,)
    with pytest.raises(TypeError) as info:
        getattr(two_state, name)(np.zeros(3, np.float32))
    assert re.search(r"\bx\b", str(info.value))


CALL_SHAPE_ERRORS = [
    ("energy-two-positional", "energy", (np.zeros(2), np.zeros(1)), {}),
    ("grad_h-two-positional", "grad_h", (np.zeros(2), np.zeros(1)), {}),
    ("energy-u-keyword", "energy", (np.zeros(2),), {"u": None}),
    ("energy-t-keyword", "energy", (np.zeros(2),), {"t": 0.0}),
    ("rhs-four-positional", "rhs", (np.zeros(2), None, 0.0, 0.0), {}),
    ("rhs-missing-x", "rhs", (), {}),
    ("rhs-only-keywords-without-x", "rhs", (), {"u": None, "t": 0.0}),
    ("rhs-x-twice", "rhs", (np.zeros(2),), {"x": np.zeros(2)}),
    ("rhs-t-twice", "rhs", (np.zeros(2), None, 0.0), {"t": 0.0}),
    ("rhs-unknown-keyword", "rhs", (np.zeros(2),), {"time": 0.0}),
    ("jacobian-unknown-keyword", "jacobian", (np.zeros(2),), {"X": np.zeros(2)}),
    ("energy-missing-x", "energy", (), {}),
]


@pytest.mark.parametrize("name, args, kwargs", [c[1:] for c in CALL_SHAPE_ERRORS], ids=[c[0] for c in CALL_SHAPE_ERRORS])
def test_argument_count_and_keyword_errors(two_state, name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(two_state, name)(*args, **kwargs)


@pytest.mark.parametrize("name", ALL_METHODS)
def test_keyword_arguments(two_state, name):
    method = getattr(two_state, name)
    x = np.array([0.75, -2.5])
    if name in STATE_METHODS:
        assert_exact(method(x=x), method(x))
    else:
        u = np.array([1.5])
        assert_exact(method(t=0.5, u=u, x=x), method(x, u, 0.5))


# ---------------------------------------------------------------------------------------------
# results


@pytest.mark.parametrize("name", VECTOR_METHODS + ["jacobian"])
def test_vector_results(two_state, name):
    result = call(two_state, name, [0.75, -2.5], [1.5], 0.5)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64
    assert result.ndim == (2 if name == "jacobian" else 1)
    assert result.flags.writeable and result.flags.c_contiguous and result.flags.aligned
    # the array does not own the buffer; its base object does
    assert not result.flags.owndata and result.base is not None


@pytest.mark.parametrize("name", VECTOR_METHODS + ["jacobian"])
def test_results_outlive_the_model(make_model, doc, name):
    model = make_model(doc("two_state"))
    x, u, t = [0.75, -2.5], [1.5], 0.5
    result = call(model, name, x, u, t)
    expected = result.copy()
    del model
    gc.collect()
    # churn the allocator
    junk = [np.full(3, 123.0) for _ in range(1000)]
    junk2 = [list(range(5)) for _ in range(1000)]
    assert_exact(result, expected)
    del junk, junk2
    view = result.ravel()
    del result
    gc.collect()
    assert_exact(view, expected.ravel())


@pytest.mark.parametrize("name", VECTOR_METHODS + ["jacobian"])
def test_writing_into_a_result_changes_nothing_else(two_state, name):
    x, u, t = [0.75, -2.5], [1.5], 0.5
    first = call(two_state, name, x, u, t)
    expected = first.copy()
    first[...] = 99.0
    second = call(two_state, name, x, u, t)
    assert_exact(second, expected)
    assert not np.shares_memory(first, second)
    assert two_state.params.tolist() == [P0, P1, P2]


@pytest.mark.parametrize("name", ALL_METHODS)
def test_repeated_calls_are_bit_identical(two_state_fd, name):
    x, u, t = [0.1, 1.0 / 3.0], [np.pi], np.e
    results = [call(two_state_fd, name, x, u, t) for _ in range(5)]
    for r in results[1:]:
        assert np.array_equal(bits(r), bits(results[0]))


def test_energy_and_power_are_python_floats(two_state):
    x = np.array([0.75, -2.5])
    assert type(two_state.energy(x)) is float
    assert type(two_state.supplied_power(x)) is float


# ---------------------------------------------------------------------------------------------
# property-based


finite_or_infinite = st.floats(allow_nan=False, width=64)
moderate = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False)


@settings(max_examples=300, deadline=None)
@given(x0=finite_or_infinite, x1=finite_or_infinite, u0=finite_or_infinite, t=finite_or_infinite)
def test_evaluations_match_python_arithmetic(shared_two_state, x0, x1, u0, t):
    model = shared_two_state
    x, u = [x0, x1], [u0]
    assert_exact(model.rhs(np.array(x), np.array(u), t), two_rhs(x, u, t))
    analytic = two_jacobian(x, u, t)
    if not np.all(np.isfinite(analytic)):
        analytic = finite_differences(two_rhs, x, u, t)
    assert_exact(model.jacobian(np.array(x), np.array(u), t), analytic)
    assert_exact(model.outputs(np.array(x), np.array(u), t), two_outputs(x, u, t))
    assert_exact(model.supplied_power(np.array(x), np.array(u), t), two_power(x, u, t))
    assert_exact(model.energy(np.array(x)), two_energy(x))
    assert_exact(model.grad_h(np.array(x)), two_grad(x))


@settings(max_examples=200, deadline=None)
@given(x0=moderate, x1=moderate, u0=moderate, t=moderate)
def test_finite_differences_match_python_arithmetic(shared_two_state_fd, x0, x1, u0, t):
    x, u = [x0, x1], [u0]
    jac = shared_two_state_fd.jacobian(np.array(x), np.array(u), t)
    assert_exact(jac, finite_differences(two_rhs, x, u, t))


other_dtypes = st.sampled_from(
    [np.int8, np.int32, np.int64, np.uint64, np.float16, np.float32, np.complex128, np.bool_, ">f8"]
    + ([np.longdouble] if np.dtype(np.longdouble) != np.dtype(np.float64) else [])
)


@st.composite
def rejected_arrays(draw):
    if draw(st.booleans()):
        dtype, shape = draw(other_dtypes), draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3))
    else:
        dtype = np.float64
        shape = draw(st.one_of(st.just(()), hnp.array_shapes(min_dims=2, max_dims=4, min_side=0, max_side=3)))
    return draw(hnp.arrays(dtype, shape))


@settings(max_examples=200, deadline=None)
@given(value=rejected_arrays(), name=st.sampled_from(ALL_METHODS))
def test_other_dtypes_and_shapes_are_type_errors(shared_two_state, value, name):
    with pytest.raises(TypeError) as info:
        getattr(shared_two_state, name)(value)
    assert re.search(r"\bx\b", str(info.value))
    if name in POINT_METHODS:
        with pytest.raises(TypeError) as info:
            getattr(shared_two_state, name)(np.zeros(2), value)
        assert re.search(r"\bu\b", str(info.value))


@settings(max_examples=100, deadline=None)
@given(value=rejected_arrays())
def test_params_of_other_dtypes_and_shapes_are_type_errors(shared_two_state, value):
    with pytest.raises(TypeError):
        shared_two_state.params = value
    assert shared_two_state.params.tolist() == [P0, P1, P2]
