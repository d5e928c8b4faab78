"""The `zarel sweep` command: a parameter study from the shell, locally or on a Dask cluster, into Zarr."""

from __future__ import annotations

import argparse
import pathlib
import sys
from typing import Any

import numpy as np

from .arguments import (add_initial_state, add_solver_options, assignment, initial_state, load_file, read_inputs,
                        solver_options, time_grid, vary, writable_folder)
from .sizes import check_sweep, sweep_run_bytes


def register(subparsers: Any) -> None:
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
    add_solver_options(p)
    p.add_argument("--input", metavar="CSV", help="inputs by name, one column each; optional 'time' column")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler (tcp://host:8786); without: this machine")
    p.add_argument("--chunk", type=int, metavar="N", help="runs per chunk (default: about two seconds of work)")
    p.add_argument("--out", required=True, metavar="STORE.zarr", help="the Zarr store, a folder ending in .zarr "
                                                                      "(reused to resume)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.set_defaults(run=run, parser=p)


def run(args: argparse.Namespace) -> int:
    from .sweep_distribution import connect
    from .sweeps import grid, sweep

    out = pathlib.Path(args.out)
    if out.suffix != ".zarr":
        raise ValueError(f"--out {args.out}: a sweep is written to a Zarr store, a folder ending in .zarr")
    writable_folder(out, "--out")
    system = load_file(args.file)
    options = solver_options(args)
    given = [name for name, _ in args.vary + args.set]
    for name in given:
        system.signature.index("param", name)  # an unknown name gets the list of known ones
        if given.count(name) > 1:
            raise ValueError(f"parameter {name!r} is given twice")
    params = grid(**dict(args.vary))
    n_runs = len(next(iter(params.values())))
    sig = system.signature
    per_run = sweep_run_bytes(len(sig.state_names), len(sig.output_names), len(args.t))
    check_sweep(per_run, n_runs, len(args.t), args.chunk, args.out, local=not args.scheduler, grid="--t",
                runs="--vary", store_option="--out", chunk_option="--chunk")
    for name, value in args.set:
        params[name] = np.full(n_runs, value)
    x0 = initial_state(args.x0) if args.x0 else None
    u = read_inputs(args.input, args.t) if args.input else None
    client = None
    if args.scheduler:
        client = connect(args.scheduler, "--scheduler")
    try:
        ds = sweep(system, args.t, x0=x0, params=params, u=u, client=client, chunk=args.chunk, store=args.out,
                   progress=not args.no_progress, **options)
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

