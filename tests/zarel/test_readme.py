"""The README's examples, run as a reader runs them: each block that shows what a Python block prints
is compared with what it prints, and the shell command of the quick start gives the same run."""

import contextlib
import io
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import zarel.functions

ROOT = pathlib.Path(__file__).parents[2]
README = (ROOT / "README.md").read_text()
ZAREL = pathlib.Path(sys.executable).with_name("zarel")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.S | re.M)


def shown():
    """Each Python block with the block after it that shows what it prints (a fence without a language)."""
    pairs, code = [], None
    for match in FENCE.finditer(README):
        language, text = match.groups()
        if language == "python":
            code = text
        elif language == "" and code is not None:
            pairs.append((code, text))
            code = None
    return pairs


def same(printed, expected):
    """Line by line and word by word; numbers to the digits shown (a sum at round-off, below 1e-12,
    may differ in its last digits from one NumPy to another)."""
    a, b = printed.splitlines(), expected.splitlines()
    if len(a) != len(b):
        return False
    for x, y in zip(a, b):
        words_x, words_y = x.split(), y.split()
        if len(words_x) != len(words_y):
            return False
        for u, v in zip(words_x, words_y):
            if u == v:
                continue
            try:
                fu, fv = float(u), float(v)
            except ValueError:
                return False
            if not (abs(fu - fv) <= 1e-6 * abs(fv) or max(abs(fu), abs(fv)) < 1e-12):
                return False
    return True


def run(code, folder):
    out = io.StringIO()
    namespace = {"__name__": "__main__"}
    cwd = os.getcwd()
    os.chdir(folder)
    try:
        with contextlib.redirect_stdout(out):
            exec(compile(code, "README.md", "exec"), namespace)
    finally:
        os.chdir(cwd)
    return out.getvalue(), namespace


@pytest.mark.parametrize("code, expected", shown(), ids=lambda v: v.splitlines()[0][:40])
def test_readme_examples_print_what_the_readme_shows(code, expected, tmp_path):
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    printed, _ = run(code, tmp_path)
    assert same(printed, expected), f"the README shows\n{expected}\nthe code prints\n{printed}"


def test_readme_quick_start_runs_from_the_shell_as_from_python(tmp_path):
    code = next(code for code, _ in shown() if "oscillator.json" in code)
    _, namespace = run(code, tmp_path)
    command = re.search(r"^zarel simulate oscillator\.json (.*?)( >.*)?$", README, re.M)
    args = command.group(1).split()
    done = subprocess.run([str(ZAREL), "simulate", "oscillator.json", *args], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    rows = np.loadtxt(io.StringIO(done.stdout), delimiter=",", skiprows=1)
    res = namespace["res"]
    assert rows.shape == (len(res.t), 8) and np.array_equal(rows[:, 0], res.t)
    # the force sampled and interpolated is within h^2 of the exact one
    assert np.max(np.abs(rows[:, 1:3] - res.x)) < 1e-4 and np.max(np.abs(res.x[:, 0])) > 0.5


def test_readme_table_of_functions_is_the_one_the_lowering_reads():
    # the table sits in a list item, indented by two spaces
    table = "\n".join("  " + row for row in zarel.functions.readme_list().splitlines())
    assert table in README


def test_readme_bounds_of_the_c_library_functions_hold_where_it_is_worst():
    """Each "within n ulps" of the table holds at points where the C library measured its largest
    errors (tanh near -0.25: 1.9 ulps)."""
    import sympy

    from zarel import _engine

    x = sympy.Symbol("x")
    points = np.array([-0.2517007555963361, 0.2517007555963361, -123.96268118844728, 1.678373966403658,
                       -0.20025626283408152, -13.983538697782109])
    for name in ("exp", "log", "sin", "cos", "tanh"):
        bound = int(re.search(r"within (\d+) ulp", zarel.functions.FUNCTIONS[name].accuracy).group(1))
        f = getattr(sympy, name)
        at = np.abs(points) if name == "log" else points
        model = zarel.ODE([x], [0], outputs={"y": f(x)}).model()
        got = _engine.evaluate(model, "outputs", at[:, None], np.zeros((len(at), 0)), np.zeros(len(at)),
                               params=np.zeros(0))[:, 0]
        for point, value in zip(at, got):
            exact = sympy.N(f(sympy.Float(point, 60)), 40)
            assert abs(sympy.Float(value, 60) - exact) <= bound * np.spacing(abs(float(exact))), (name, point)
