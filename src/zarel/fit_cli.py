"""The `zarel fit` command: a document's parameters and initial states fitted to measurements in a CSV file."""

from __future__ import annotations

import argparse
import pathlib
import warnings
from typing import Any, Optional, Union

import numpy as np

from .arguments import (BadArgument, add_initial_state, assignment, assignments, initial_state, iterations, load_file,
                        number, plot_file, read_columns, read_inputs, solver_options, time_column, tolerance,
                        writable_folder)


def register(subparsers: Any) -> None:
    p = subparsers.add_parser(
        "fit", help="fit parameters and initial states to measurements in a CSV file",
        description="Fit the --fit parameters and initial states (x0.NAME) of a document to the measurements in "
                    "DATA.csv by weighted least squares, and print the estimates with their standard errors. "
                    "--out writes the document with the fitted parameters as its defaults; a fitted initial "
                    "state is not part of a document: it is in the printed table.")
    add_initial_state(p, "initial state, and the start of fitted initial states: 1,0 or q=1 p=0 (repeatable; "
                         "states left out start at 0)")
    p.add_argument("data", nargs="?", metavar="DATA.csv",
                   help="a column 'time' (or 't') and columns named after states or named outputs; an empty cell "
                        "is a value not measured")
    p.add_argument("--fit", type=names, required=True, metavar="NAMES",
                   help="the parameters and initial states (x0.NAME) to fit: k,c,x0.q")
    p.add_argument("--params", nargs="+", action="append", metavar="NAME=VALUE",
                   help="fixed parameters, and the start of fitted ones (default: the document's; repeatable)")
    p.add_argument("--positive", type=names, default=(), metavar="NAMES",
                   help="fitted names that must stay positive (fitted as their logarithm): k,c")
    p.add_argument("--sigma", nargs="+", action="append", metavar="SIGMA",
                   help="the noise level: one number for every column, or COLUMN=VALUE items (default: one, and the "
                        "standard errors take the noise level from the residuals' spread)")
    p.add_argument("--bounds", nargs="+", action="append", metavar="NAME=LOW:HIGH",
                   help="bounds of fitted names, the start within them; a side left empty is unbounded (k=0:)")
    p.add_argument("--log-residuals", action="store_true",
                   help="compare the logarithms of model and data (counts, concentrations)")
    p.add_argument("--optimizer", choices=("trf", "dogbox", "lm"), default="trf",
                   help="SciPy's least_squares method (default trf; lm takes no bounds)")
    p.add_argument("--max-evaluations", type=iterations, default=100, metavar="N",
                   help="the most evaluations of the model (default 100)")
    p.add_argument("--method", default="nonstiff",
                   help="the runs' method, one of zarel simulate's (default nonstiff: dop853 below rtol 1e-6, "
                        "else rk45)")
    p.add_argument("--rtol", type=tolerance, metavar="R", help="the runs' relative tolerance (default 1e-8)")
    p.add_argument("--atol", type=tolerance, metavar="A", help="the runs' absolute tolerance (default 1e-10)")
    p.add_argument("--out", metavar="FILE.json",
                   help="write the document with the fitted parameters as defaults (fitted initial states are in "
                        "the printed table only)")
    p.add_argument("--plot", metavar="PNG", help="write the data against the fitted model to this image")
    p.add_argument("--input", metavar="CSV", help="the inputs during the measurements: a column per input name and "
                                                 "optionally 'time' (interpolated linearly onto the data's times); "
                                                 "held between them. Without it the inputs are zero")
    p.set_defaults(run=run, parser=p, positionals=("file", "data"))


def run(args: argparse.Namespace) -> int:
    from .fitting import FitWarning, fit

    system = load_file(args.file)
    options = solver_options(args)
    params = assignments([assignment(item) for group in args.params or [] for item in group], "--params")
    x0 = initial_state(args.x0) if args.x0 else None
    sigma = noise(args.sigma) if args.sigma else None
    bounds = assignments([bound(item) for group in args.bounds or [] for item in group], "--bounds")
    out = pathlib.Path(args.out) if args.out else None
    # every file named must be writable before the fit, so that its work is not lost
    if out is not None:
        if out.suffix != ".json":
            raise ValueError(f"--out {args.out}: the fitted document is JSON; choose a file ending in .json")
        writable_folder(out, "--out")
    if args.plot:
        plot_file(args.plot)
    data = read_data(args.data)
    u = read_inputs(args.input, data["time"]) if args.input else None
    with warnings.catch_warnings():
        # the table says which quantities the data cannot determine
        warnings.simplefilter("ignore", FitWarning)
        try:
            result = fit(system, data, args.fit, x0=x0, u=u, params=params or None, bounds=bounds or None,
                         positive=args.positive, sigma=sigma, log_residuals=args.log_residuals,
                         optimizer=args.optimizer, max_evaluations=args.max_evaluations, **options)
        except ValueError as e:
            # the measurements are the file's: its name says which
            text = str(e)
            raise ValueError(f"{args.data}: {text[len('data: '):]}" if text.startswith("data: ") else text) from None
    print(result)
    if out is not None:
        result.system.to_json(out)
    if args.plot:
        result.plot(args.plot)
    if not result.success:
        raise RuntimeError(f"the fit did not converge: {result.message} (--max-evaluations raises the limit)")
    return 0


def read_data(path: str) -> dict[str, np.ndarray]:
    """The measurements of a CSV file as zarel.fit takes them: "time" and one column per quantity,
    NaN where a cell is empty."""
    columns = read_columns(path, missing=True)
    times = time_column(path, columns)
    if times is None:
        raise ValueError(f"{path}, line 1: no column 'time' (or 't'); the measurements need their times")
    return {"time": times, **columns}


def names(text: str) -> tuple[str, ...]:
    """"k,c,x0.q" -> ("k", "c", "x0.q")."""
    out = tuple(name.strip() for name in text.split(","))
    if not all(out):
        raise BadArgument(f"{text!r} is not a list of names, k,c,x0.q")
    return out


def noise(groups: list[list[str]]) -> Union[float, dict[str, float]]:
    """--sigma values, from every --sigma given: one number, or COLUMN=VALUE assignments (merged)."""
    items = [item for group in groups for item in group]
    if len(items) == 1 and "=" not in items[0]:
        return number(items[0], "--sigma")
    if any("=" not in item for item in items):
        raise BadArgument(f"--sigma {' '.join(items)!r}: give one number (0.1) or COLUMN=VALUE items (q=0.1 p=0.2)")
    return assignments([assignment(item) for item in items], "--sigma")


def bound(text: str) -> tuple[str, tuple[Optional[float], Optional[float]]]:
    """"NAME=LOW:HIGH" -> (NAME, (LOW, HIGH)), a side left empty None."""
    name, sep, values = text.partition("=")
    name = name.strip()
    parts = values.split(":")
    if not sep or not name or len(parts) != 2:
        raise BadArgument(f"--bounds {text!r} is not NAME=LOW:HIGH")
    low, high = (number(part, f"--bounds {text!r}") if part.strip() else None for part in parts)
    return name, (low, high)
