"""The `zarel export` command: a document as an FMU for other simulation tools."""

from __future__ import annotations

import argparse
import pathlib
from typing import Any

from .arguments import load_file, writable_folder
from .fmu import KINDS, METHODS, VERSIONS


def register(subparsers: Any) -> None:
    p = subparsers.add_parser(
        "export", help="write a document as an FMU (FMI 2.0 or 3.0, Model Exchange and Co-Simulation)",
        description="Write a document as an FMU: its variables, the document and the prebuilt runtime, zipped.")
    p.add_argument("file")
    p.add_argument("--fmi", type=int, default=2, choices=list(VERSIONS), help="the FMI version: 2 or 3 (default 2)")
    p.add_argument("-o", "--out", required=True, metavar="MODEL.fmu", help="the FMU file to write")
    p.add_argument("--kind", action="append", choices=KINDS, metavar="KIND",
                   help=f"{' or '.join(KINDS)} (repeatable; default: both)")
    p.add_argument("--method", default="midpoint", choices=METHODS, metavar="METHOD",
                   help=f"the co-simulation step's method: {', '.join(METHODS)} (default: midpoint)")
    p.add_argument("--grid-steps", action="store_true",
                   help="one step per communication interval (midpoint, gauss4) or a step ending on each")
    p.add_argument("--rtol", type=float, default=1e-8, help="relative tolerance of the step (default 1e-8)")
    p.add_argument("--atol", type=float, default=1e-10, help="absolute tolerance of the step (default 1e-10)")
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    out = pathlib.Path(args.out)
    if out.suffix != ".fmu":
        raise ValueError(f"--out {args.out}: an FMU is a file ending in .fmu")
    writable_folder(out, "--out")
    system = load_file(args.file)
    system.to_fmu(out, fmi=args.fmi, kinds=tuple(args.kind or KINDS), method=args.method, grid_steps=args.grid_steps,
                  rtol=args.rtol, atol=args.atol)
    print(f"{system.name}: written to {out}")
    return 0
