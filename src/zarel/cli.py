"""The `zarel` command: check, describe and simulate model documents from the shell."""

from __future__ import annotations

import argparse
import csv
import importlib
import importlib.util
import math
import os
import pathlib
import sys
from collections.abc import Sequence
from typing import Any, Optional, TextIO

import numpy as np

from .system import System, load

# Errors that bad input produces (files, documents, values, solver failures); each becomes one
# line on stderr. Anything else is a fault of the program and keeps its traceback.
EXPECTED_ERRORS = (ValueError, OSError, RuntimeError, KeyError, TypeError, ImportError, MemoryError, OverflowError)


GRID_STEPS_HELP = "rk45: end a step on every grid point (default: steps of its own, reported on the grid)"


class BadArgument(ValueError, argparse.ArgumentTypeError):
    """A malformed option value: a ValueError to callers, a usage error (status 2) to argparse."""


def time_grid(text: str) -> np.ndarray:
    """"START:STOP:POINTS" -> POINTS evenly spaced times from START to STOP (numpy.linspace)."""
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
    return np.linspace(start, stop, points)


def assignment(text: str) -> tuple[str, float]:
    """"NAME=VALUE" -> (NAME, VALUE as float)."""
    name, sep, value = text.partition("=")
    name = name.strip()
    if not sep or not name:
        raise BadArgument(f"{text!r} is not NAME=VALUE")
    try:
        return name, float(value)
    except ValueError:
        raise BadArgument(f"{text!r}: {value.strip()!r} is not a number") from None


def initial_state(items: Sequence[str]) -> Any:
    """--x0 values: one comma-separated list of numbers, or NAME=VALUE assignments."""
    if len(items) == 1 and "=" not in items[0]:
        try:
            return [float(v) for v in items[0].split(",")]
        except ValueError:
            raise BadArgument(f"--x0 {items[0]!r} is not a comma-separated list of numbers") from None
    return dict(assignment(item) for item in items)


def read_inputs(path: str, t: np.ndarray) -> dict[str, np.ndarray]:
    """Input columns from a CSV file with a header of input names.

    With a column "time" (or "t") the series is interpolated linearly onto the grid, which must lie
    within the file's times; without one the file has one row per grid point.
    """
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    if not rows:
        raise ValueError(f"{path}: empty input file")
    header = [name.strip() for name in rows[0]]
    data = []
    for line, row in enumerate(rows[1:], start=2):
        try:
            if len(row) != len(header):
                raise ValueError
            data.append([float(v) for v in row])
        except ValueError:
            raise ValueError(f"{path}, line {line}: expected {len(header)} numbers, one per column "
                             f"({', '.join(header)})") from None
    values = np.array(data, dtype=float).reshape(len(data), len(header))
    columns = dict(zip(header, values.T))
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


def write_csv(columns: dict[str, np.ndarray], t: np.ndarray, out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["time", *columns])
    for k, tk in enumerate(t):
        writer.writerow([repr(float(tk)), *(repr(float(v[k])) for v in columns.values())])


def load_file(file: str) -> System:
    try:
        return load(pathlib.Path(file))
    except ValueError as e:
        raise ValueError(f"{file}: {e}") from None


def _names(names: Sequence[str]) -> str:
    return ", ".join(names) if names else "(none)"


def run_check(args: argparse.Namespace) -> int:
    system = load_file(args.file)
    print(f"{args.file}: ok, model {system.name!r}")
    print(f"  states  ({system.n_states}): {_names(system.state_names)}")
    print(f"  inputs  ({system.n_inputs}): {_names(system.input_names)}")
    print(f"  params  ({system.n_params}): {_names(system.param_names)}")
    print(f"  outputs ({len(system.output_names)}): {_names(system.output_names)}")
    return 0


def run_info(args: argparse.Namespace) -> int:
    system = load_file(args.file)
    doc = system.document()
    model = system.model()
    print(f"model {system.name!r} from {args.file}")
    if isinstance(doc.get("description"), str):
        print(f"  {doc['description']}")
    print(f"  jacobian: {'analytic' if model.has_jacobian else 'finite differences'}")
    print(f"  energy: {'yes' if 'energy' in doc else 'no (H = 0)'}, ports: {len(doc.get('port_outputs', []))}")
    print(f"  states  ({system.n_states}): {_names(system.state_names)}")
    print(f"  inputs  ({system.n_inputs}): {_names(system.input_names)}")
    print(f"  params  ({system.n_params}):")
    for name, value in zip(system.param_names, system.param_values):
        print(f"    {name} = {float(value)!r}")
    print(f"  outputs ({len(system.output_names)}): {_names(system.output_names)}")
    return 0


def run_simulate(args: argparse.Namespace) -> int:
    from .result import simulate

    system = load_file(args.file)
    t = args.t
    params = dict(args.set)
    x0 = initial_state(args.x0) if args.x0 else {}
    u = read_inputs(args.input, t) if args.input else None
    out = pathlib.Path(args.out) if args.out else None
    if out is not None and out.suffix not in (".csv", ".nc", ".parquet"):
        raise ValueError(f"--out {args.out}: choose a file ending in .csv, .nc or .parquet")
    result = simulate(system, x0, t, u=u, params=params, method=args.method, interp=args.interp,
                      grid_steps=args.grid_steps)
    if out is None:
        write_csv({name: values for name, (_, values) in result.columns().items()}, result.t, sys.stdout)
    elif out.suffix == ".csv":
        with open(out, "w", newline="", encoding="utf-8") as f:
            write_csv({name: values for name, (_, values) in result.columns().items()}, result.t, f)
    elif out.suffix == ".nc":
        result.to_xarray().to_netcdf(out)
    else:
        result.to_pandas().to_parquet(out)
    if args.plot:
        result.plot(args.plot)
    if out is not None:
        stats = result.stats
        print(f"{system.name}: {len(t)} points, {stats['method']}, {stats['steps']} steps, "
              f"{stats['rhs_evals']} rhs evaluations; written to {out}")
        print(result.balance())
    return 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="zarel", description="Check, describe and simulate zarel model documents.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    check = commands.add_parser("check", help="load a document and print its sizes and names")
    check.add_argument("file")
    check.set_defaults(run=run_check)
    info = commands.add_parser("info", help="describe a document: names, defaults, Jacobian, energy")
    info.add_argument("file")
    info.set_defaults(run=run_info)
    sim = commands.add_parser("simulate", help="simulate a document over a time grid")
    sim.add_argument("file")
    sim.add_argument("--t", type=time_grid, required=True, metavar="START:STOP:POINTS", help="the output grid")
    sim.add_argument("--x0", nargs="+", metavar="X0",
                     help="initial state: 1,0 or q=1 p=0 (states left out start at 0; --x0=-1,0 for a leading minus)")
    sim.add_argument("--set", type=assignment, action="append", default=[], metavar="NAME=VALUE",
                     help="a parameter value (repeatable)")
    sim.add_argument("--method", default="midpoint", help="euler, rk4, rk45 or midpoint (default)")
    sim.add_argument("--interp", default="hold", help="input interpolation: hold (default) or linear")
    sim.add_argument("--grid-steps", action="store_true", help=GRID_STEPS_HELP)
    sim.add_argument("--input", metavar="CSV", help="inputs by name, one column each; optional 'time' column")
    sim.add_argument("--out", metavar="FILE", help="result.csv, .nc or .parquet (without: CSV on stdout)")
    sim.add_argument("--plot", metavar="PNG", help="write states, energy and power balance to this image")
    sim.set_defaults(run=run_simulate)
    if importlib.util.find_spec("zarel.sweep_cli") is not None:
        importlib.import_module("zarel.sweep_cli").register(commands)
    return top


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        args = parser().parse_args(argv)
        status: int = args.run(args)
    except BrokenPipeError:
        # the reader went away (zarel simulate ... | head): leave quietly, no traceback
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except EXPECTED_ERRORS as e:
        print(f"zarel: error: {_message(e)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return status


def _message(e: BaseException) -> str:
    if isinstance(e, ImportError):
        return f"{e} (pip install 'zarel_engine[all]' installs what every command needs)"
    if isinstance(e, OSError) and e.filename is not None:
        return f"{e.filename}: {e.strerror}"
    text = str(e.args[0]) if isinstance(e, KeyError) and e.args else str(e)
    return " ".join(text.split()) or type(e).__name__


if __name__ == "__main__":
    sys.exit(main())
