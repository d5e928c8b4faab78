"""The zarel_engine module and its Model class: attributes, class layout, construction,
representation, properties, the params property and the access holds."""

import ctypes
import gc
import importlib
import inspect
import json
import pickle
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import zarel_engine
from zarel_engine import Model

NOT_CONTIGUOUS = "The given array is not contiguous"

METHODS = [
    "rhs",
    "jacobian",
    "energy",
    "grad_h",
    "outputs",
    "port_outputs",
    "supplied_power",
    "step",
    "simulate",
    "simulate_batch",
]
PROPERTIES = ["n_states", "n_inputs", "n_params", "output_names", "params", "has_jacobian"]

SMALL_DOC = {"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [["ref", 0]]}
SMALL_TEXT = json.dumps(SMALL_DOC)


# ---------------------------------------------------------------------------------------------
# module


def test_module_attributes_and_their_order():
    names = list(vars(zarel_engine))
    public = [n for n in names if not (n.startswith("__") and n.endswith("__"))]
    assert public == ["Model", "SOLVERS"]
    start = names.index("Model")
    assert names[start : start + 3] == ["Model", "__version__", "SOLVERS"]
    assert zarel_engine.Model is Model
    assert zarel_engine.__version__ == "2.0.1"
    assert type(zarel_engine.SOLVERS) is list
    assert zarel_engine.SOLVERS == ["euler", "rk4", "rk45", "midpoint"]
    assert zarel_engine.__doc__ == ""
    assert zarel_engine.__name__ == "zarel_engine"


def test_importing_twice_gives_the_same_module():
    import zarel_engine as again

    assert again is zarel_engine
    assert importlib.import_module("zarel_engine") is zarel_engine


def test_import_after_removal_from_sys_modules_gives_the_same_module():
    saved = sys.modules.pop("zarel_engine")
    try:
        reloaded = importlib.import_module("zarel_engine")
        assert reloaded is saved
        assert reloaded.Model is Model
    finally:
        sys.modules["zarel_engine"] = saved


def test_entry_point_returns_the_existing_module():
    entry = ctypes.PyDLL(zarel_engine.__file__).PyInit_zarel_engine
    entry.restype = ctypes.py_object
    assert entry() is zarel_engine
    assert entry() is zarel_engine


def test_import_from_a_sub_interpreter_is_refused():
    # run in a child process: sub-interpreters must not disturb this one
    script = textwrap.dedent(
        """
        import sys
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters
            except ImportError:
                sys.exit(3)
        import zarel_engine
        sub = interpreters.create()
        code = (
            "import sys\\n"
            "try:\\n"
            "    import zarel_engine\\n"
            "except ImportError as e:\\n"
            "    sys.stdout.write('refused: ' + str(e) + '\\\\n')\\n"
            "else:\\n"
            "    sys.stdout.write('imported\\\\n')\\n"
        )
        try:
            interpreters.run_string(sub, code)
        finally:
            interpreters.destroy(sub)
        print("main still has", zarel_engine.__version__)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    if done.returncode == 3:
        pytest.skip("this interpreter has no sub-interpreter module")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("refused: ")
    assert lines[-1] == "main still has 2.0.1"


# ---------------------------------------------------------------------------------------------
# the class


def test_class_names():
    assert Model.__name__ == "Model"
    assert Model.__qualname__ == "Model"
    assert Model.__module__ == "zarel_engine"
    assert repr(Model) == "<class 'zarel_engine.Model'>"


def test_class_docstring_and_signature():
    assert Model.__text_signature__ == "(json)"
    assert str(inspect.signature(Model)) == "(json)"
    # after the signature: one sentence, no leftover signature lines
    doc = Model.__doc__
    assert doc and doc == doc.strip() and "\n" not in doc and doc.endswith(".")
    assert "--" not in doc and "Model(json)" not in doc


POINT_DEFAULTS = "x, u=None, t=0.0"
METHOD_DOCS = [
    ("rhs", f"($self, {POINT_DEFAULTS})", f"({POINT_DEFAULTS})", "dx/dt at (x, u, t)."),
    (
        "jacobian",
        f"($self, {POINT_DEFAULTS})",
        f"({POINT_DEFAULTS})",
        "d(dx/dt)/dx at (x, u, t), shape (n, n).",
    ),
    ("energy", "($self, x)", "(x)", "Stored energy H(x)."),
    ("grad_h", "($self, x)", "(x)", "grad H(x)."),
    ("outputs", f"($self, {POINT_DEFAULTS})", f"({POINT_DEFAULTS})", "Named outputs at (x, u, t)."),
    (
        "port_outputs",
        f"($self, {POINT_DEFAULTS})",
        f"({POINT_DEFAULTS})",
        "Port outputs y (the conjugate of each port's u).",
    ),
    (
        "supplied_power",
        f"($self, {POINT_DEFAULTS})",
        f"({POINT_DEFAULTS})",
        "Power entering through all ports at (x, u, t).",
    ),
    (
        "step",
        '($self, x, u, t, dt, method="midpoint", rtol=1e-8, atol=1e-10, newton_tol=1e-10, max_newton=50)',
        "(x, u, t, dt, method='midpoint', rtol=1e-08, atol=1e-10, newton_tol=1e-10, max_newton=50)",
        "One integration step with a constant input.",
    ),
    (
        "simulate",
        '($self, x0, t, u=None, method="midpoint", interp="hold", rtol=1e-8, atol=1e-10, '
        "newton_tol=1e-10, max_newton=50, record_outputs=True, record_energy=True)",
        "(x0, t, u=None, method='midpoint', interp='hold', rtol=1e-08, atol=1e-10, "
        "newton_tol=1e-10, max_newton=50, record_outputs=True, record_energy=True)",
        "Integrate over a time grid.\n\n"
        "``u`` is ``(len(t), n_inputs)`` or ``None`` for zero inputs. Returns a\n"
        "dict with ``t``, ``x``, ``u``, ``energy``, ``supplied_power``,\n"
        "``outputs`` and ``stats``.",
    ),
    (
        "simulate_batch",
        '($self, x0s, t, u=None, params=None, method="midpoint", interp="hold", rtol=1e-8, '
        "atol=1e-10, newton_tol=1e-10, max_newton=50)",
        "(x0s, t, u=None, params=None, method='midpoint', interp='hold', rtol=1e-08, "
        "atol=1e-10, newton_tol=1e-10, max_newton=50)",
        "Many simulations in parallel: ``x0s`` is ``(N, n_states)``, ``params``\n"
        "optionally ``(N, n_params)``. Returns ``x`` of shape ``(N, len(t), n_states)``\n"
        "and ``energy`` of shape ``(N, len(t))``.",
    ),
]


@pytest.mark.parametrize("name, text_signature, bound_signature, summary", METHOD_DOCS, ids=[m[0] for m in METHOD_DOCS])
def test_method_docstrings_and_signatures(one_state, name, text_signature, bound_signature, summary):
    method = getattr(Model, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == summary
    assert str(inspect.signature(getattr(one_state, name))) == bound_signature
    assert str(inspect.signature(method)) == "(self, /, " + bound_signature[1:]
    # every parameter can be given by position or by keyword
    kinds = {p.kind for p in inspect.signature(getattr(one_state, name)).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_members_in_order():
    members = [k for k in Model.__dict__ if not k.startswith("_")]
    assert members == METHODS + PROPERTIES
    for name in PROPERTIES:
        assert inspect.isgetsetdescriptor(Model.__dict__[name])
        assert not Model.__dict__[name].__doc__


def test_no_extra_special_methods(one_state):
    assert Model.__eq__ is object.__eq__
    assert Model.__hash__ is object.__hash__
    assert Model.__str__ is object.__str__
    for name in ("__iter__", "__len__", "__call__", "__getitem__", "__lt__", "__reduce__", "__getstate__"):
        assert name not in Model.__dict__
    twin = Model(json.dumps(SMALL_DOC))
    assert twin == twin and twin != Model(json.dumps(SMALL_DOC))
    assert hash(one_state) == object.__hash__(one_state)
    with pytest.raises(TypeError):
        pickle.dumps(one_state)


def test_no_instance_dict_and_no_weak_references(one_state):
    assert Model.__dictoffset__ == 0
    assert Model.__weakrefoffset__ == 0
    with pytest.raises(AttributeError):
        one_state.__dict__
    with pytest.raises(TypeError):
        weakref.ref(one_state)


@pytest.mark.parametrize("name", ["not_an_attribute", "N_STATES", "params_", "__weakref__"])
def test_unknown_attributes(one_state, name):
    with pytest.raises(AttributeError):
        getattr(one_state, name)
    with pytest.raises(AttributeError):
        setattr(one_state, name, 1)


@pytest.mark.parametrize("name", ["n_states", "n_inputs", "n_params", "output_names", "has_jacobian"])
def test_read_only_properties(two_state, name):
    before = getattr(two_state, name)
    with pytest.raises(AttributeError):
        setattr(two_state, name, before)
    with pytest.raises(AttributeError):
        delattr(two_state, name)
    assert getattr(two_state, name) == before


@pytest.mark.parametrize(
    "name, n_states, n_inputs, n_params, output_names, has_jacobian",
    [
        ("one_state", 1, 1, 1, ["x"], False),
        ("two_state", 2, 1, 3, ["sum", "tx", "u"], True),
        ("two_state_fd", 2, 1, 3, ["sum", "tx", "u"], False),
        ("no_input", 2, 0, 0, [], False),
        ("div_jacobian", 2, 0, 0, [], True),
        ("empty", 0, 0, 0, [], True),
    ],
)
def test_size_properties(make_model, doc, name, n_states, n_inputs, n_params, output_names, has_jacobian):
    model = make_model(doc(name))
    assert type(model.n_states) is int and model.n_states == n_states
    assert type(model.n_inputs) is int and model.n_inputs == n_inputs
    assert type(model.n_params) is int and model.n_params == n_params
    assert type(model.has_jacobian) is bool and model.has_jacobian is has_jacobian
    assert type(model.output_names) is list and model.output_names == output_names


def test_output_names_are_a_new_list_each_time(two_state, make_model, doc):
    names = two_state.output_names
    assert names is not two_state.output_names
    names.append("extra")
    names[0] = "changed"
    assert two_state.output_names == ["sum", "tx", "u"]

    d = doc("one_state")
    d["outputs"] = [["ref", 0], ["ref", 0], ["ref", 0]]
    d["output_names"] = ["Überlauf ✓", 7, ""]
    assert make_model(d).output_names == ["Überlauf ✓", "", ""]


@pytest.mark.parametrize(
    "name, text",
    [
        ("one_state", "zarel_engine.Model(n_states=1, n_inputs=1, n_params=1, jacobian=finite-difference)"),
        ("two_state", "zarel_engine.Model(n_states=2, n_inputs=1, n_params=3, jacobian=analytic)"),
        ("two_state_fd", "zarel_engine.Model(n_states=2, n_inputs=1, n_params=3, jacobian=finite-difference)"),
        ("no_input", "zarel_engine.Model(n_states=2, n_inputs=0, n_params=0, jacobian=finite-difference)"),
        ("empty", "zarel_engine.Model(n_states=0, n_inputs=0, n_params=0, jacobian=analytic)"),
    ],
)
def test_repr_and_str(make_model, doc, name, text):
    model = make_model(doc(name))
    assert repr(model) == text
    assert str(model) == text


def test_repr_with_large_counts(make_model):
    n = 12
    d = {"n_states": n, "n_inputs": 10, "n_params": 0, "param_values": [], "rhs": [["ref", 0]] * n}
    assert repr(make_model(d)) == "zarel_engine.Model(n_states=12, n_inputs=10, n_params=0, jacobian=finite-difference)"


def test_jacobian_null_counts_as_absent(make_model, doc):
    d = doc("two_state")
    d["jacobian"] = None
    model = make_model(d)
    assert model.has_jacobian is False
    assert repr(model).endswith(", jacobian=finite-difference)")


# ---------------------------------------------------------------------------------------------
# construction


def same_model(a, b):
    x = np.array([0.25, -1.5])
    u = np.array([2.0])
    return (
        repr(a) == repr(b)
        and a.params.tolist() == b.params.tolist()
        and a.rhs(x, u, 0.5).tolist() == b.rhs(x, u, 0.5).tolist()
        and a.output_names == b.output_names
    )


def test_keyword_and_positional_construction_are_equivalent(doc):
    text = json.dumps(doc("two_state"))
    assert same_model(Model(text), Model(json=text))


class TextSubclass(str):
    pass


def test_str_subclass_is_accepted(doc):
    text = json.dumps(doc("two_state"))
    assert same_model(Model(TextSubclass(text)), Model(text))


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("{}", "{}"), {}),
        (("{}",), {"json": "{}"}),
        ((), {"text": "{}"}),
        ((), {"json": "{}", "extra": 1}),
    ],
    ids=["none", "two-positional", "both-forms", "wrong-keyword", "extra-keyword"],
)
def test_constructor_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        Model(*args, **kwargs)


@pytest.mark.parametrize(
    "value",
    [
        SMALL_TEXT.encode(),
        bytearray(SMALL_TEXT.encode()),
        None,
        0,
        {"n_states": 1},
    ],
    ids=["bytes", "bytearray", "None", "int", "dict"],
)
def test_constructor_needs_str(value):
    with pytest.raises(TypeError, match=r"\bjson\b"):
        Model(value)
    with pytest.raises(TypeError, match=r"\bjson\b"):
        Model(json=value)


def test_lone_surrogate_fails_to_encode(doc):
    text = json.dumps(doc("one_state"), ensure_ascii=False).replace('"x"', '"\ud800"')
    assert "\ud800" in text
    with pytest.raises(UnicodeEncodeError):
        Model(text)


@pytest.mark.parametrize("tail", [" ", "\n", "\t", "\r\n", " \t\r\n\n   "])
def test_trailing_blanks_are_accepted(doc, tail):
    text = json.dumps(doc("one_state"))
    assert same_model_one_state(Model(text + tail), Model(text))
    assert same_model_one_state(Model(tail + text), Model(text))


def same_model_one_state(a, b):
    x = np.array([2.0])
    u = np.array([1.5])
    return repr(a) == repr(b) and a.rhs(x, u).tolist() == b.rhs(x, u).tolist()


@pytest.mark.parametrize(
    "tail",
    [
        "x",
        ",",
        "{}",
        "0",
        "\x0c",
        "\u00a0",
        "\v",
        " }",
        "\n\n//",
        "\x00",
    ],
    ids=["letter", "comma", "second-document", "number", "form-feed", "nbsp", "vtab", "brace", "comment", "nul"],
)
def test_trailing_junk_is_not_json(doc, tail):
    with pytest.raises(ValueError) as info:
        Model(json.dumps(doc("one_state")) + tail)
    assert type(info.value) is ValueError
    assert str(info.value).startswith("malformed model: not JSON: ")
    assert len(str(info.value)) > len("malformed model: not JSON: ")
    assert len(info.value.args) == 1


@pytest.mark.parametrize("text", ["", "   ", "{", '{"n_states": 1,}', "NaN", "{'n_states': 1}", "[1, 2"])
def test_text_that_does_not_parse(text):
    with pytest.raises(ValueError, match=r"^malformed model: not JSON: ."):
        Model(text)


def edit(base, **changes):
    def build(doc):
        d = doc(base)
        for key, value in changes.items():
            if value is DELETE:
                del d[key]
            else:
                d[key] = value
        return d

    return build


DELETE = object()

LOADER_CASES = [
    ("not-an-object", lambda doc: [1, 2], "missing integer n_states"),
    ("empty-object", lambda doc: {}, "missing integer n_states"),
    ("float-count", edit("one_state", n_states=2.0), "missing integer n_states"),
    ("negative-count", edit("one_state", n_states=-1), "missing integer n_states"),
    ("missing-n_inputs", edit("one_state", n_inputs=DELETE), "missing integer n_inputs"),
    ("text-n_params", edit("one_state", n_params="1"), "missing integer n_params"),
    ("missing-param_values", edit("one_state", param_values=DELETE), "missing param_values"),
    ("object-param_values", edit("one_state", param_values={}), "missing param_values"),
    ("short-param_values", edit("two_state", param_values=[1.0, 2.0]), "param_values length differs from n_params"),
    ("missing-rhs", edit("one_state", rhs=DELETE), "missing list rhs"),
    ("long-rhs", edit("one_state", rhs=[["ref", 0], ["ref", 0]]), "rhs length differs from n_states"),
    ("bad-node-before-length", edit("one_state", rhs=[["ref", 0], ["SIN", ["ref", 0]]]), "unknown operator SIN"),
    ("short-jacobian", edit("two_state", jacobian=[["ref", 0]] * 3), "jacobian is not n_states^2 long"),
    ("energy-number", edit("one_state", energy=5), "expected a list, got 5"),
    ("grad_H-number", edit("one_state", grad_H=5), "missing list grad_H"),
    ("ports-differ", edit("one_state", port_values=[]), "port_values and port_outputs differ in length"),
    ("names-text", edit("one_state", output_names="x"), "output_names and outputs differ in length"),
    ("symbol", edit("one_state", rhs=[["sym", "x"]]), "expression still contains a named symbol; lower it first"),
    ("arity", edit("one_state", rhs=[["add", ["const", 1]]]), "add expects 2 operand(s), got 1"),
    (
        "slot",
        edit("one_state", outputs=[["add", ["ref", 9], ["ref", 4]]]),
        "expression refers to table slot 9 but the table has 4 entries",
    ),
    (
        "slot-rhs-first",
        edit("one_state", rhs=[["ref", 5]], outputs=[["ref", 9]]),
        "expression refers to table slot 5 but the table has 4 entries",
    ),
]


@pytest.mark.parametrize("build, message", [c[1:] for c in LOADER_CASES], ids=[c[0] for c in LOADER_CASES])
def test_loader_errors_surface_as_value_error(doc, build, message):
    with pytest.raises(ValueError) as info:
        Model(json.dumps(build(doc)))
    assert type(info.value) is ValueError
    assert info.value.args == ("malformed model: " + message,)


def test_parameters_that_are_not_numbers_load_as_nan(make_model, doc):
    d = doc("two_state")
    d["param_values"] = [1, "a", None]
    params = make_model(d).params
    assert params[0] == 1.0
    assert np.isnan(params[1]) and np.isnan(params[2])


def test_a_later_key_wins(doc):
    text = json.dumps(doc("one_state"))
    text = text[:-1] + ', "param_values": [3.5]}'
    assert Model(text).params.tolist() == [3.5]


# ---------------------------------------------------------------------------------------------
# params


def test_params_read(two_state):
    p = two_state.params
    assert type(p) is np.ndarray
    assert p.dtype == np.float64 and p.ndim == 1 and p.shape == (3,)
    assert p.tolist() == [0.5, 2.0, -1.25]
    assert p.flags.writeable


def test_params_read_is_a_fresh_copy(two_state):
    first = two_state.params
    second = two_state.params
    assert first is not second
    assert not np.shares_memory(first, second)
    first[:] = 99.0
    assert two_state.params.tolist() == [0.5, 2.0, -1.25]
    x = np.array([1.0, 3.0])
    # rhs0 = x1*p1 + u0 still sees p1 = 2
    assert two_state.rhs(x)[0] == 6.0


def test_params_read_modify_assign(two_state):
    p = two_state.params
    p[1] = 10.0
    two_state.params = p
    assert two_state.params.tolist() == [0.5, 10.0, -1.25]
    assert two_state.rhs(np.array([1.0, 3.0]))[0] == 30.0
    # the model took a copy: changing the assigned array later changes nothing
    p[1] = -1.0
    assert two_state.params.tolist() == [0.5, 10.0, -1.25]


class ArraySubclass(np.ndarray):
    pass


def readonly(a):
    a = np.array(a, dtype=np.float64)
    a.flags.writeable = False
    return a


def unaligned_params(values):
    raw = bytearray(8 * len(values) + 1)
    a = np.ndarray(len(values), dtype=np.float64, buffer=raw, offset=1)
    a[:] = values
    assert not a.flags.aligned
    return a


ACCEPTED_PARAMS = [
    ("plain", lambda v: np.array(v)),
    ("subclass", lambda v: np.array(v).view(ArraySubclass)),
    ("read-only", readonly),
    ("fortran", lambda v: np.asfortranarray(np.array(v))),
    ("reversed-copy", lambda v: np.array(v[::-1])[::-1].copy()),
    ("unaligned", unaligned_params),
]


@pytest.mark.parametrize("make", [c[1] for c in ACCEPTED_PARAMS], ids=[c[0] for c in ACCEPTED_PARAMS])
def test_params_assign_accepted_forms(two_state, make):
    value = make([1.5, -2.0, 0.125])
    two_state.params = value
    assert two_state.params.tolist() == [1.5, -2.0, 0.125]


def test_params_length_one_views_are_contiguous(one_state):
    one_state.params = np.array([7.0, 8.0])[::-1][:1]
    assert one_state.params.tolist() == [8.0]
    one_state.params = np.array([1.0, 2.0, 3.0])[::2][1:]
    assert one_state.params.tolist() == [3.0]


def test_params_delete(two_state):
    with pytest.raises(AttributeError) as info:
        del two_state.params
    assert str(info.value) == "can't delete attribute"
    assert two_state.params.tolist() == [0.5, 2.0, -1.25]


BAD_TYPE_PARAMS = [
    ("list", [1.0, 2.0, 3.0]),
    ("tuple", (1.0, 2.0, 3.0)),
    ("float", 1.0),
    ("None", None),
    ("float64-scalar", np.float64(1.0)),
    ("float32", np.array([1.0, 2.0, 3.0], dtype=np.float32)),
    ("int64", np.array([1, 2, 3])),
    ("longdouble", np.array([1.0, 2.0, 3.0], dtype=np.longdouble)),
    ("complex", np.array([1.0, 2.0, 3.0], dtype=np.complex128)),
    ("object", np.array([1.0, 2.0, 3.0], dtype=object)),
    ("byte-swapped", np.array([1.0, 2.0, 3.0], dtype=">f8")),
    ("2-d", np.array([[1.0, 2.0, 3.0]])),
    ("0-d", np.array(1.0)),
    ("memoryview", memoryview(np.array([1.0, 2.0, 3.0]))),
    ("strided-float32", np.zeros(6, dtype=np.float32)[::2]),
]
if np.dtype(np.longdouble) == np.dtype(np.float64):
    BAD_TYPE_PARAMS = [c for c in BAD_TYPE_PARAMS if c[0] != "longdouble"]


@pytest.mark.parametrize("value", [c[1] for c in BAD_TYPE_PARAMS], ids=[c[0] for c in BAD_TYPE_PARAMS])
def test_params_assign_wrong_type(two_state, value):
    with pytest.raises(TypeError) as info:
        two_state.params = value
    assert str(info.value) != NOT_CONTIGUOUS
    assert "'p'" in str(info.value) or '"p"' in str(info.value) or " p " in str(info.value)
    assert two_state.params.tolist() == [0.5, 2.0, -1.25]


@pytest.mark.parametrize(
    "value",
    [
        np.arange(6.0)[::2],
        np.arange(3.0)[::-1],
        np.arange(2.0)[::-1],
        np.arange(4.0)[::2],
        np.arange(12.0).reshape(3, 4)[:, 1],
    ],
    ids=["every-second", "reversed", "reversed-short", "every-second-short", "column"],
)
def test_params_assign_not_contiguous(two_state, value):
    # also when the length is wrong: contiguity is checked first
    with pytest.raises(TypeError) as info:
        two_state.params = value
    assert str(info.value) == NOT_CONTIGUOUS
    assert two_state.params.tolist() == [0.5, 2.0, -1.25]


@pytest.mark.parametrize("length", [0, 1, 2, 4, 10])
def test_params_assign_wrong_length(two_state, length):
    with pytest.raises(ValueError) as info:
        two_state.params = np.ones(length)
    assert type(info.value) is ValueError
    assert info.value.args == (f"expected 3 parameter values, got {length}",)
    assert two_state.params.tolist() == [0.5, 2.0, -1.25]
    assert two_state.rhs(np.array([1.0, 3.0]))[0] == 6.0


def test_params_of_a_model_without_parameters(no_input):
    p = no_input.params
    assert p.dtype == np.float64 and p.shape == (0,)
    no_input.params = np.empty(0)
    no_input.params = np.zeros(0)[::-1]
    assert no_input.params.shape == (0,)
    with pytest.raises(ValueError) as info:
        no_input.params = np.zeros(1)
    assert info.value.args == ("expected 0 parameter values, got 1",)


def test_params_nan_and_infinity_are_accepted(two_state):
    two_state.params = np.array([np.nan, np.inf, -0.0])
    p = two_state.params
    assert np.isnan(p[0]) and p[1] == np.inf and p[2] == 0.0 and np.signbit(p[2])


# ---------------------------------------------------------------------------------------------
# access holds


def params_assignment_result(model, value):
    try:
        model.params = value
    except Exception as e:  # noqa: BLE001 - the class and text are what is checked
        return type(e), str(e)
    return None


HELD_METHODS = ["rhs", "jacobian", "outputs", "port_outputs", "supplied_power"]


@pytest.mark.parametrize("method", HELD_METHODS)
def test_params_assignment_during_a_method_call_is_refused(two_state, float_probe, method):
    seen = {}

    def inside():
        seen["good"] = params_assignment_result(two_state, np.array([9.0, 9.0, 9.0]))
        # the exclusive hold is requested after the type check and before the contiguity check
        seen["list"] = params_assignment_result(two_state, [9.0, 9.0, 9.0])
        seen["strided"] = params_assignment_result(two_state, np.arange(6.0)[::2])
        seen["short"] = params_assignment_result(two_state, np.ones(2))
        # shared holds do not conflict with each other
        seen["reads"] = (two_state.n_states, two_state.params.tolist(), repr(two_state))
        seen["nested"] = two_state.rhs(np.array([1.0, 3.0])).tolist()

    probe = float_probe(0.0, inside)
    getattr(two_state, method)(np.array([1.0, 3.0]), None, probe)
    assert probe.calls == 1
    assert seen["good"] == (RuntimeError, "Already borrowed")
    assert seen["list"][0] is TypeError and seen["list"][1] != "Already borrowed"
    assert seen["strided"] == (RuntimeError, "Already borrowed")
    assert seen["short"] == (RuntimeError, "Already borrowed")
    assert seen["reads"] == (2, [0.5, 2.0, -1.25], repr(two_state))
    assert seen["nested"] == [6.0, -0.5 - (-1.25 * 9.0)]
    # the holds are gone once the calls have returned
    assert two_state.params.tolist() == [0.5, 2.0, -1.25]
    two_state.params = np.array([1.0, 1.0, 1.0])
    assert two_state.params.tolist() == [1.0, 1.0, 1.0]


def test_refusal_inside_a_call_propagates_unchanged(two_state, float_probe):
    def inside():
        two_state.params = np.ones(3)

    with pytest.raises(RuntimeError) as info:
        two_state.rhs(np.zeros(2), t=float_probe(0.0, inside))
    assert info.value.args == ("Already borrowed",)
    assert two_state.params.tolist() == [0.5, 2.0, -1.25]
    two_state.params = np.ones(3)


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.rhs(np.zeros(3)),
        lambda m: m.rhs([0.0, 0.0]),
        lambda m: m.rhs(np.zeros(4)[::2]),
        lambda m: m.rhs(np.zeros(2), np.zeros(2)),
        lambda m: m.rhs(np.zeros(2), t=None),
        lambda m: m.energy(np.zeros(1)),
        lambda m: m.grad_h(np.zeros(1)),
        lambda m: m.jacobian(np.zeros(2), np.zeros(3)),
        lambda m: m.rhs(),
        lambda m: m.rhs(np.zeros(2), bogus=1),
    ],
)
def test_holds_are_released_after_errors(two_state, call):
    with pytest.raises((TypeError, ValueError)):
        call(two_state)
    two_state.params = np.array([4.0, 5.0, 6.0])
    assert two_state.params.tolist() == [4.0, 5.0, 6.0]


class Finalizing:
    """Part of a reference cycle; its finalizer records what reading the model gives."""

    def __init__(self, model, seen):
        self.model = model
        self.seen = seen

    def __del__(self):
        try:
            self.seen.append(("read", self.model.n_states))
        except Exception as e:  # noqa: BLE001
            self.seen.append((type(e).__name__, str(e)))
        try:
            self.seen.append(("rhs", self.model.rhs(np.zeros(2)).tolist()))
        except Exception as e:  # noqa: BLE001
            self.seen.append((type(e).__name__, str(e)))


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the collector no longer runs inside allocations")
@pytest.mark.parametrize(
    "value, error",
    [(np.ones(2), ValueError), (np.arange(6.0)[::2], TypeError)],
    ids=["wrong-length", "not-contiguous"],
)
def test_reads_while_params_is_assigned_are_refused(two_state, value, error):
    # The only Python code that can run while the setter holds the object exclusively is a
    # finalizer started by the cyclic collector when the setter raises its exception inside an
    # `except` block (the new exception is then built at once for chaining, an allocation the
    # collector may act on). A cycle waiting in the youngest generation with a threshold of 1
    # makes that happen.
    seen = []
    old = gc.get_threshold()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        try:
            raise KeyError("context")
        except KeyError:
            a = Finalizing(two_state, seen)
            b = Finalizing(two_state, seen)
            a.other, b.other = b, a
            del a, b
            gc.set_threshold(1)
            gc.enable()
            raised = params_assignment_result(two_state, value)
    finally:
        gc.set_threshold(*old)
        if not was_enabled:
            gc.disable()
    gc.collect()
    assert raised is not None and raised[0] is error
    if not seen or seen[0][0] == "read":
        pytest.skip("the collector did not run while params was being assigned")
    assert seen == [("RuntimeError", "Already mutably borrowed")] * 4
    assert two_state.params.tolist() == [0.5, 2.0, -1.25]
    assert two_state.n_states == 2
