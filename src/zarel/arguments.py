"""The command line's arguments that `zarel simulate` and `zarel sweep` share: grids, values, initial
states, solver options, model documents and input files, each parsed and checked before any work."""

from __future__ import annotations

import argparse
import codecs
import csv
import io
import math
import os
import pathlib
from collections.abc import Sequence
from typing import Any

import numpy as np

from .sizes import check_memory, grid_bytes
from .system import System, load

GRID_STEPS_HELP = ("rk45, dop853, nonstiff, rodas5p, stiff: end a step on every grid point; midpoint, gauss4: one "
                   "step per grid interval (default: steps of its own, reported on the grid)")
METHOD_HELP = ("euler, rk4, rk45, dop853, nonstiff (dop853 below rtol 1e-6, else rk45), rodas5p (stiff models; "
               "stiff is its other name), gauss4 (implicit, fourth order, symplectic), discrete_gradient (a "
               "port-Hamiltonian model's energy balance at round-off for any H) or midpoint (implicit, the default)")
INTERP_HELP = ("input interpolation: hold (default) or linear; under hold the input recorded at the last grid "
               "point is the row held over the last interval, as the engine records it")

# The methods that read each solver option, by the engine's names for them; an option given to a
# method that does not read it is refused rather than silently ignored.
ADAPTIVE = ("rk45", "adaptive", "dop853", "nonstiff", "rodas5p", "stiff")
MIDPOINT = ("midpoint", "implicit_midpoint", "auto")
IMPLICIT = MIDPOINT + ("gauss4",)
# option -> (the methods that read it, what they are)
SOLVER_OPTIONS = {
    # discrete_gradient's Newton test reads rtol and atol too
    "rtol": (ADAPTIVE + IMPLICIT + ("discrete_gradient",),
             "the error control of rk45, dop853, nonstiff, rodas5p, midpoint and gauss4"),
    "atol": (ADAPTIVE + IMPLICIT + ("discrete_gradient",),
             "the error control of rk45, dop853, nonstiff, rodas5p, midpoint and gauss4"),
    "newton_tol": (MIDPOINT + ("discrete_gradient",), "the Newton iteration of midpoint with --grid-steps"),
    "max_newton": (IMPLICIT + ("discrete_gradient",), "the Newton iteration of midpoint and gauss4"),
    "grid_steps": (ADAPTIVE + IMPLICIT, "the steps rk45, dop853, nonstiff, rodas5p, midpoint and gauss4 choose "
                                        "(euler and rk4 step on the grid)"),
}


class BadArgument(ValueError, argparse.ArgumentTypeError):
    """A malformed option value: a ValueError to callers, a usage error (status 2) to argparse."""


def time_grid(text: str) -> np.ndarray:
    """"START:STOP:POINTS" -> POINTS evenly spaced times from START to STOP (numpy.linspace); a grid
    whose run could not fit in memory is refused before it is made."""
    parts = text.split(":")
    if len(parts) != 3:
        raise BadArgument(f"time grid {text!r} is not START:STOP:POINTS")
    try:
        start, stop = float(parts[0]), float(parts[1])
        points = int(parts[2])
    except ValueError:
        raise BadArgument(f"time grid {text!r} is not START:STOP:POINTS (numbers, POINTS an integer)") from None
    if not (math.isfinite(start) and math.isfinite(stop) and start < stop):
        raise BadArgument(f"time grid {text!r} needs finite START < STOP")
    if points < 2:
        raise BadArgument(f"time grid {text!r} needs at least 2 points")
    try:
        check_memory(grid_bytes(points), f"time grid {text!r}: a run of {points} points",
                     "use fewer points (a coarser grid or a shorter span)", least=True)
    except ValueError as e:
        raise BadArgument(str(e)) from None
    with np.errstate(over="ignore", invalid="ignore"):
        grid = np.linspace(start, stop, points)
    if not (np.all(np.isfinite(grid)) and np.all(np.diff(grid) > 0)):
        raise BadArgument(f"time grid {text!r} does not give {points} finite, increasing times")
    return grid


def number(text: str, what: str) -> float:
    """A finite float, or a BadArgument naming `what`."""
    try:
        value = float(text)
    except ValueError:
        raise BadArgument(f"{what}: {text.strip()!r} is not a number") from None
    if not math.isfinite(value):
        raise BadArgument(f"{what}: {text.strip()} is not a finite number")
    return value


def tolerance(text: str) -> float:
    """A finite number >= 0, as the engine takes its tolerances."""
    try:
        value = float(text)
    except ValueError:
        raise BadArgument(f"{text.strip()!r} is not a number") from None
    if not (math.isfinite(value) and value >= 0):
        raise BadArgument(f"{text.strip()} is not a tolerance, a finite number >= 0")
    return value


def iterations(text: str) -> int:
    """A positive whole number of iterations."""
    try:
        value = int(text)
    except ValueError:
        raise BadArgument(f"{text.strip()!r} is not a whole number") from None
    if value < 1:
        raise BadArgument(f"{value} is not a positive number of iterations")
    return value


def assignment(text: str) -> tuple[str, float]:
    """"NAME=VALUE" -> (NAME, VALUE as a finite float)."""
    name, sep, value = text.partition("=")
    name = name.strip()
    if not sep or not name:
        raise BadArgument(f"{text!r} is not NAME=VALUE")
    return name, number(value, repr(text))


def assignments(pairs: Sequence[tuple[str, float]], option: str) -> dict[str, float]:
    """NAME=VALUE pairs as a mapping; a name given twice is refused rather than one value dropped."""
    out: dict[str, float] = {}
    for name, value in pairs:
        if name in out:
            raise ValueError(f"{option}: {name!r} is given twice")
        out[name] = value
    return out


def vary(text: str) -> tuple[str, np.ndarray]:
    """"NAME=START:STOP:COUNT" -> (NAME, COUNT evenly spaced values from START to STOP)."""
    name, sep, values = text.partition("=")
    name = name.strip()
    parts = values.split(":")
    try:
        if not sep or not name or len(parts) != 3:
            raise ValueError
        start, stop, count = float(parts[0]), float(parts[1]), int(parts[2])
    except ValueError:
        raise BadArgument(f"{text!r} is not NAME=START:STOP:COUNT") from None
    if count < 1:
        raise BadArgument(f"{text!r} needs a COUNT of at least 1")
    return name, np.linspace(start, stop, count)


def initial_state(groups: Sequence[Sequence[str]]) -> Any:
    """--x0 values, from every --x0 given: one comma-separated list of numbers, or NAME=VALUE
    assignments (merged)."""
    items = [item for group in groups for item in group]
    if len(items) == 1 and "=" not in items[0]:
        return [number(v, f"--x0 {items[0]!r}") for v in items[0].split(",")]
    if any("=" not in item for item in items):
        raise BadArgument(f"--x0 {' '.join(items)!r}: give one list of numbers (1,0) or NAME=VALUE items (q=1 p=0)")
    return assignments([assignment(item) for item in items], "--x0")


def add_initial_state(p: argparse.ArgumentParser, help: str) -> None:
    # optional to argparse only: take_file finds it after --x0 items when the list took it in
    p.add_argument("file", nargs="?", help="the model document")
    p.add_argument("--x0", nargs="+", action="append", metavar="X0", help=help)


def take_file(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """The FILE a greedy --x0 list took in (`--x0 q=1 model.json`): after the first item of a group,
    only NAME=VALUE items belong to --x0."""
    if args.file is None and args.x0:
        group = args.x0[-1]
        if len(group) > 1 and "=" not in group[-1]:
            args.file = group.pop()
    if args.file is None:
        p.error("the following arguments are required: file")


def add_solver_options(p: argparse.ArgumentParser) -> None:
    """--method, --interp, --grid-steps and the tolerances; each left out keeps zarel.simulate's default."""
    p.add_argument("--method", default="midpoint", help=METHOD_HELP)
    p.add_argument("--interp", default="hold", help=INTERP_HELP)
    p.add_argument("--grid-steps", action="store_true", help=GRID_STEPS_HELP)
    p.add_argument("--rtol", type=tolerance, metavar="R", help="rk45, dop853, nonstiff, rodas5p, midpoint, gauss4: "
                                                               "relative tolerance (default 1e-8)")
    p.add_argument("--atol", type=tolerance, metavar="A", help="rk45, dop853, nonstiff, rodas5p, midpoint, gauss4: "
                                                               "absolute tolerance (default 1e-10)")
    p.add_argument("--newton-tol", type=tolerance, metavar="TOL", help="midpoint with --grid-steps: Newton tolerance "
                                                                       "(default 1e-10; the methods' own steps "
                                                                       "scale theirs with rtol and atol)")
    p.add_argument("--max-newton", type=iterations, metavar="N", help="midpoint, gauss4: Newton iterations at most "
                                                                      "per step (default 50)")


def solver_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of zarel.simulate and zarel.sweep that the command line gave: method,
    interp and those of the options given, each refused with a method that does not read it."""
    options: dict[str, Any] = {"method": args.method, "interp": args.interp}
    for name, (methods, what) in SOLVER_OPTIONS.items():
        value = getattr(args, name)
        if value is None or value is False:
            continue
        if args.method not in methods:
            raise ValueError(f"--{name.replace('_', '-')} sets {what}; method {args.method} does not read it")
        options[name] = value
    # on its own steps midpoint's Newton test scales with rtol and atol
    if "newton_tol" in options and not args.grid_steps:
        raise ValueError(f"--newton-tol sets {SOLVER_OPTIONS['newton_tol'][1]}; method {args.method} on its own "
                         f"steps does not read it")
    return options


def load_file(file: str) -> System:
    try:
        return load(pathlib.Path(file))
    except ValueError as e:
        raise ValueError(f"{file}: {e}") from None


def writable_folder(path: pathlib.Path, option: str) -> None:
    folder = path.parent if str(path.parent) else pathlib.Path(".")
    if not folder.is_dir():
        raise ValueError(f"{option} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK):
        raise ValueError(f"{option} {path}: the folder {folder} is not writable")


def read_inputs(path: str, t: np.ndarray) -> dict[str, np.ndarray]:
    """Input columns from a CSV file with a header of input names.

    With a column "time" (or "t") the series is interpolated linearly onto the grid, which must lie
    within the file's times; without one the file has one row per grid point. A byte-order mark
    and blank lines at the end (as spreadsheets write them) are accepted; a column named twice, a
    blank line between rows and a file without rows are refused with the file and line named.
    """
    with open(path, "rb") as f:
        raw = f.read().removeprefix(codecs.BOM_UTF8)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        line = raw[:e.start].count(b"\n") + 1
        raise ValueError(f"{path}, line {line}: not UTF-8 text (byte 0x{raw[e.start]:02x}); save it as UTF-8 CSV") from None
    rows = list(csv.reader(io.StringIO(text, newline="")))
    while rows and not any(field.strip() for field in rows[-1]):
        rows.pop()
    if not rows:
        raise ValueError(f"{path}: empty input file")
    header = [name.strip() for name in rows[0]]
    for name in header:
        if not name:
            raise ValueError(f"{path}, line 1: a column without a name")
        if header.count(name) > 1:
            raise ValueError(f"{path}, line 1: the column {name!r} appears twice")
    if len(rows) == 1:
        raise ValueError(f"{path}: a header ({', '.join(header)}) and no rows of values")
    data = []
    for line, row in enumerate(rows[1:], start=2):
        try:
            if len(row) != len(header):
                raise ValueError
            values_of_row = [float(v) for v in row]
        except ValueError:
            raise ValueError(f"{path}, line {line}: expected {len(header)} numbers, one per column "
                             f"({', '.join(header)})") from None
        if not all(math.isfinite(v) for v in values_of_row):
            raise ValueError(f"{path}, line {line}: values must be finite numbers")
        data.append(values_of_row)
    values = np.array(data, dtype=float).reshape(len(data), len(header))
    columns = dict(zip(header, values.T))
    if "time" in columns and "t" in columns:
        raise ValueError(f"{path}, line 1: both 'time' and 't' columns; keep one")
    times = columns.pop("time", None)
    if times is None:
        times = columns.pop("t", None)
    if times is None:
        if len(values) != len(t):
            raise ValueError(f"{path}: {len(values)} rows for {len(t)} time points (add a 'time' column to interpolate)")
        return columns
    if not np.all(np.diff(times) > 0):
        raise ValueError(f"{path}: the time column must be strictly increasing")
    if len(times) == 0 or t[0] < times[0] or t[-1] > times[-1]:
        raise ValueError(f"{path}: the time grid [{t[0]:g}, {t[-1]:g}] leaves the file's times")
    return {name: np.interp(t, times, column) for name, column in columns.items()}
