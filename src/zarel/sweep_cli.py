"""The `zarel sweep` command: a parameter study from the shell, locally or on a Dask cluster, into Zarr."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import numpy as np


def vary(text: str) -> tuple[str, np.ndarray]:
    """"NAME=START:STOP:COUNT" -> (NAME, COUNT evenly spaced values from START to STOP)."""
    from .cli import BadArgument

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


def register(subparsers: Any) -> None:
    from .cli import GRID_STEPS_HELP, METHOD_HELP, add_initial_state, assignment, time_grid

    p = subparsers.add_parser(
        "sweep", help="simulate a document for every combination of parameter values, into a Zarr store",
        description="Simulate a document for every combination of the --vary values (other parameters at "
                    "their defaults or --set); chunks are written to --out as they finish, and running the "
                    "same command again resumes an interrupted sweep.")
    p.add_argument("--t", type=time_grid, required=True, metavar="START:STOP:POINTS", help="the output grid")
    p.add_argument("--vary", type=vary, action="append", required=True, metavar="NAME=START:STOP:COUNT",
                   help="a parameter's values (repeatable: the runs are every combination)")
    p.add_argument("--set", type=assignment, action="append", default=[], metavar="NAME=VALUE",
                   help="a fixed parameter value (repeatable)")
    add_initial_state(p, "initial state of every run: 1,0 or q=1 p=0 (repeatable)")
    p.add_argument("--method", default="midpoint", help=METHOD_HELP)
    p.add_argument("--interp", default="hold", help="input interpolation: hold (default) or linear")
    p.add_argument("--grid-steps", action="store_true", help=GRID_STEPS_HELP)
    p.add_argument("--input", metavar="CSV", help="inputs by name, one column each; optional 'time' column")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler (tcp://host:8786); without: this machine")
    p.add_argument("--chunk", type=int, metavar="N", help="runs per chunk (default: about two seconds of work)")
    p.add_argument("--out", required=True, metavar="STORE.zarr", help="the Zarr store, a folder ending in .zarr "
                                                                      "(reused to resume)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.set_defaults(run=run, parser=p)


# How long to try to reach a --scheduler before giving up: a scheduler that is up answers at once.
CONNECT_SECONDS = 5


def run(args: argparse.Namespace) -> int:
    import pathlib

    from .cli import initial_state, load_file, read_inputs
    from .sweeps import grid, sweep

    if pathlib.Path(args.out).suffix != ".zarr":
        raise ValueError(f"--out {args.out}: a sweep is written to a Zarr store, a folder ending in .zarr")
    system = load_file(args.file)
    given = [name for name, _ in args.vary + args.set]
    for name in given:
        system.signature.index("param", name)  # an unknown name gets the list of known ones
        if given.count(name) > 1:
            raise ValueError(f"parameter {name!r} is given twice")
    params = grid(**dict(args.vary))
    n_runs = len(next(iter(params.values())))
    for name, value in args.set:
        params[name] = np.full(n_runs, value)
    x0 = initial_state(args.x0) if args.x0 else None
    u = read_inputs(args.input, args.t) if args.input else None
    client = None
    if args.scheduler:
        client = _connect(args.scheduler)
    try:
        ds = sweep(system, args.t, x0=x0, params=params, u=u, method=args.method, client=client,
                   chunk=args.chunk, store=args.out, progress=not args.no_progress, interp=args.interp,
                   grid_steps=args.grid_steps)
    except KeyboardInterrupt:
        print(f"zarel: interrupted; the finished chunks are kept in {args.out}: run the same command again "
              f"to resume", file=sys.stderr)
        raise
    finally:
        if client is not None:
            client.close()
    status = ds["status"].values
    failed = int((status != "ok").sum())
    if failed == n_runs:
        raise RuntimeError(f"all {n_runs} runs failed; the first: {status[0]}")
    print(f"{system.name}: {n_runs} runs of {len(args.t)} points, {failed} failed; written to {args.out}")
    return 0


def _connect(address: str) -> Any:
    from dask.distributed import Client

    try:
        return Client(address, timeout=CONNECT_SECONDS)
    except (OSError, TimeoutError) as e:
        raise OSError(f"--scheduler {address}: no Dask scheduler answered within {CONNECT_SECONDS} s "
                      f"({type(e).__name__})") from None
