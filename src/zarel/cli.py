"""The `zarel` command: check, describe, simulate and fit model documents from the shell."""

from __future__ import annotations

import argparse
import csv
import math
import os
import pathlib
import sys
from collections.abc import Mapping, Sequence
from typing import Any, Optional, TextIO

import numpy as np

from . import fit_cli, fmu_cli, sweep_cli
from .arguments import (add_initial_state, add_solver_options, assignment, assignments, initial_state, load_file,
                        plot_file, read_inputs, solver_options, take_positionals, time_grid, writable_folder)
from .infix import infix
from .sizes import check_run
from .system import System

# Errors that bad input produces (files, documents, values, solver failures); each becomes one
# line on stderr. Anything else is a fault of the program and keeps its traceback.
EXPECTED_ERRORS = (ValueError, OSError, RuntimeError, KeyError, TypeError, ImportError, MemoryError, OverflowError)


# Options whose value may start with a minus sign (--t -1:1:11, --x0 -1,0), which argparse would
# otherwise take for an option of its own.
_SIGNED_OPTIONS = ("--t", "--x0")


def _attach_signed_values(argv: Sequence[str]) -> list[str]:
    out: list[str] = []
    i = 0
    while i < len(argv):
        if argv[i] in _SIGNED_OPTIONS and i + 1 < len(argv) and _is_signed_value(argv[i + 1]):
            out.append(f"{argv[i]}={argv[i + 1]}")
            i += 2
        else:
            out.append(argv[i])
            i += 1
    return out


def _is_signed_value(text: str) -> bool:
    return len(text) > 1 and text[0] == "-" and (text[1].isdigit() or text[1] == "." or text[1:4].lower() in
                                                 ("inf", "nan"))


def write_csv(columns: dict[str, np.ndarray], t: np.ndarray, out: TextIO) -> None:
    """A column "time" and one per quantity, as Result.to_pandas has them: an input under "hold"
    is, at the last grid point, the row held over the last interval (see Result)."""
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["time", *columns])
    for k, tk in enumerate(t):
        writer.writerow([repr(float(tk)), *(repr(float(v[k])) for v in columns.values())])


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
    names = [*system.state_names, *system.input_names, *system.param_names, "t"]
    print("  right-hand side:")
    for state, node in zip(system.state_names, doc["rhs"]):
        print(f"    d{state}/dt = {infix(node, names)}")
    if "energy" in doc:
        print(f"  H = {infix(doc['energy'], names)}")
    for key, label in (("grad_H", "dH/d{}"), ("port_outputs", "port output {}")):
        for i, node in enumerate(doc.get(key) or []):
            name = system.state_names[i] if key == "grad_H" else str(i)
            print(f"  {label.format(name)} = {infix(node, names)}")
    for name, node in zip(system.output_names, doc.get("outputs") or []):
        print(f"  {name} = {infix(node, names)}")
    return 0


def run_simulate(args: argparse.Namespace) -> int:
    from .result import simulate

    system = load_file(args.file)
    t = args.t
    check_run(system.signature, len(t), series=args.input is not None, option="--t")
    options = solver_options(args)
    params = assignments(args.set, "--set")
    x0 = initial_state(args.x0) if args.x0 else {}
    u = read_inputs(args.input, t) if args.input else None
    out = pathlib.Path(args.out) if args.out else None
    if out is not None and out.suffix not in (".csv", ".nc", ".parquet"):
        raise ValueError(f"--out {args.out}: choose a file ending in .csv, .nc or .parquet")
    # every file named must be writable before the run, so that none is left half done
    if out is not None:
        writable_folder(out, "--out")
    if args.plot:
        plot_file(args.plot)
    check_start(system, x0, t, u, params)
    result = simulate(system, x0, t, u=u, params=params, **options)
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


def check_start(system: System, x0: Any, t: np.ndarray, u: Any, params: Mapping[str, float]) -> None:
    """Names the value that makes the model non-finite where the run starts, instead of the
    solver reporting a non-finite state at some later time."""
    from . import _engine
    from .inputs import input_series

    sig = system.signature
    model = system.model()  # shared: the parameters go with the evaluation, never into the model
    state = sig.vector("state", x0) if x0 is not None else np.zeros(len(sig.state_names))
    series = input_series(sig, t, u)
    inputs = series[0] if series is not None else np.zeros(len(sig.input_names))
    with np.errstate(all="ignore"):
        rates = _engine.evaluate(model, "rhs", state[None, :], inputs[None, :], t[:1],
                                 params=sig.vector("param", params, model.params))[0]
    bad = [name for name, rate in zip(sig.state_names, rates) if not math.isfinite(rate)]
    if bad:
        given = ", ".join(f"{k}={v:g}" for k, v in params.items()) or "the default parameters"
        raise ValueError(f"d{bad[0]}/dt is {rates[sig.state_names.index(bad[0])]} at the start (t = {t[0]:g}) with "
                         f"{given}: a parameter or initial value makes the model non-finite (a division by zero?)")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="zarel", description="Check, describe, simulate and fit zarel model documents.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    check = commands.add_parser("check", help="load a document and print its sizes and names")
    check.add_argument("file")
    check.set_defaults(run=run_check)
    info = commands.add_parser("info", help="describe a document: names, defaults, Jacobian, energy")
    info.add_argument("file")
    info.set_defaults(run=run_info)
    sim = commands.add_parser("simulate", help="simulate a document over a time grid")
    sim.add_argument("--t", type=time_grid, required=True, metavar="START:STOP:POINTS", help="the output grid")
    add_initial_state(sim, "initial state: 1,0 or q=1 p=0 (repeatable; states left out start at 0)")
    sim.add_argument("--set", type=assignment, action="append", default=[], metavar="NAME=VALUE",
                     help="a parameter value (repeatable)")
    add_solver_options(sim)
    sim.add_argument("--input", metavar="CSV", help="inputs by name, one column each; optional 'time' column")
    sim.add_argument("--out", metavar="FILE", help="result.csv, .nc or .parquet (without: CSV on stdout)")
    sim.add_argument("--plot", metavar="PNG", help="write states, energy and power balance to this image")
    sim.set_defaults(run=run_simulate, parser=sim)
    sweep_cli.register(commands)
    fit_cli.register(commands)
    fmu_cli.register(commands)
    return top


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        top = parser()
        given = _attach_signed_values(sys.argv[1:] if argv is None else argv)
        args, extra = top.parse_known_args(given)
        if hasattr(args, "x0"):
            take_positionals(args.parser, args, extra, given)
        elif extra:
            top.error(f"unrecognized arguments: {' '.join(extra)}")
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
