"""The command line's arguments that `zarel simulate`, `zarel sweep` and `zarel fit` share: grids, values,
initial states, solver options, model documents, CSV files and output paths, each parsed and checked
before any work."""

from __future__ import annotations

import argparse
import codecs
import csv
import io
import math
import os
import pathlib
from collections.abc import Sequence
from typing import Any, Optional, TypeVar

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


# Options that take a list of items (--x0 q=1 p=0): argparse lets them take in the positionals
# written after them too, which take_positionals gives back.
ITEM_LISTS = ("x0", "params", "sigma", "bounds")

T = TypeVar("T")


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


def assignments(pairs: Sequence[tuple[str, T]], option: str) -> dict[str, T]:
    """NAME=VALUE pairs as a mapping; a name given twice is refused rather than one value dropped."""
    out: dict[str, T] = {}
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


def take_positionals(p: argparse.ArgumentParser, args: argparse.Namespace, extra: Sequence[str],
                     argv: Sequence[str]) -> None:
    """Puts the positionals (`args.positionals`, default: the model file) where they belong, in the
    order written, wherever they were written: argparse leaves one written after an option over
    (`model.json --fit k data.csv`, in `extra`), and a list of items takes in those written after
    it (`--x0 q=1 model.json`: after the first item of a list, only NAME=VALUE items belong to it)."""
    names = getattr(args, "positionals", ("file",))
    unknown = [token for token in extra if token.startswith("-")]
    if unknown:
        p.error(f"unrecognized arguments: {' '.join(unknown)}")
    tokens = [getattr(args, name) for name in names if getattr(args, name) is not None] + list(extra)
    for option in ITEM_LISTS:
        for group in getattr(args, option, None) or []:
            tokens += [item for item in group[1:] if "=" not in item]
            group[1:] = [item for item in group[1:] if "=" in item]
    tokens.sort(key=list(argv).index)
    if len(tokens) > len(names):
        p.error(f"unrecognized arguments: {' '.join(tokens[len(names):])}")
    if len(tokens) < len(names):
        p.error(f"the following arguments are required: {', '.join(names[len(tokens):])}")
    for name, token in zip(names, tokens):
        setattr(args, name, token)


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
    """The keyword arguments of zarel.simulate, zarel.sweep and zarel.fit that the command line gave:
    method, interp (where the command has it) and those of the options given, each refused with a
    method that does not read it."""
    options: dict[str, Any] = {"method": args.method}
    if hasattr(args, "interp"):
        options["interp"] = args.interp
    for name, (methods, what) in SOLVER_OPTIONS.items():
        value = getattr(args, name, None)
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


def plot_file(text: str) -> None:
    """Refuses a --plot file that matplotlib cannot write, before anything is computed."""
    from matplotlib.backend_bases import FigureCanvasBase

    path = pathlib.Path(text)
    formats = FigureCanvasBase.get_supported_filetypes()
    if path.suffix.lstrip(".").lower() not in formats:
        raise ValueError(f"--plot {text}: choose an image file ending in one of .{', .'.join(sorted(formats))}")
    writable_folder(path, "--plot")


def read_columns(path: str, missing: bool = False) -> dict[str, np.ndarray]:
    """The columns of a CSV file by the names in its header.

    A byte-order mark and blank lines at the end (as spreadsheets write them) are accepted; a
    column named twice, a blank line between rows, a cell that is not a finite number and a file
    without rows are refused with the file and line named. With `missing`, an empty cell is a
    missing value (NaN).
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
        raise ValueError(f"{path}: an empty file")
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
        if len(row) != len(header):
            raise ValueError(f"{path}, line {line}: expected {len(header)} {'cells' if missing else 'numbers'}, one "
                             f"per column ({', '.join(header)})")
        values_of_row = []
        for name, cell in zip(header, row):
            if missing and not cell.strip():
                values_of_row.append(math.nan)
                continue
            try:
                value = float(cell)
            except ValueError:
                raise ValueError(f"{path}, line {line}: {cell.strip()!r} in the column {name} is not a "
                                 f"number") from None
            if not math.isfinite(value):
                raise ValueError(f"{path}, line {line}: values must be finite numbers")
            values_of_row.append(value)
        data.append(values_of_row)
    values = np.array(data, dtype=float).reshape(len(data), len(header))
    return dict(zip(header, values.T))


def time_column(path: str, columns: dict[str, np.ndarray]) -> Optional[np.ndarray]:
    """Takes the column "time" (or "t") out of `columns`: finite, strictly increasing times, or
    None when the file has neither."""
    if "time" in columns and "t" in columns:
        raise ValueError(f"{path}, line 1: both 'time' and 't' columns; keep one")
    times = columns.pop("time", None)
    if times is None:
        times = columns.pop("t", None)
    if times is None:
        return None
    if np.any(np.isnan(times)):
        raise ValueError(f"{path}, line {int(np.flatnonzero(np.isnan(times))[0]) + 2}: a row without its time")
    if not np.all(np.diff(times) > 0):
        line = int(np.flatnonzero(~(np.diff(times) > 0))[0]) + 3
        raise ValueError(f"{path}, line {line}: the time column must be strictly increasing")
    return times


def read_inputs(path: str, t: np.ndarray) -> dict[str, np.ndarray]:
    """Input columns from a CSV file with a header of input names (see read_columns).

    With a column "time" (or "t") the series is interpolated linearly onto the grid, which must lie
    within the file's times; without one the file has one row per grid point.
    """
    columns = read_columns(path)
    times = time_column(path, columns)
    if times is None:
        rows = len(next(iter(columns.values()))) if columns else 0
        if rows != len(t):
            raise ValueError(f"{path}: {rows} rows for {len(t)} time points (add a 'time' column to interpolate)")
        return columns
    if t[0] < times[0] or t[-1] > times[-1]:
        raise ValueError(f"{path}: the time grid [{t[0]:g}, {t[-1]:g}] leaves the file's times")
    return {name: np.interp(t, times, column) for name, column in columns.items()}
