"""Exported FMUs driven by FMPy, side by side in one run:

1. Co-Simulation: 1,000 communication steps of the motor on its hardening shaft
   (examples/flexible_shaft.json; midpoint on the grid, and rk45 with its own steps), driven by
   FMPy two ways: simulate_fmu (FMPy's usual entry: it loads the library, instantiates, steps and
   records the states) and FMPy's FMU2Slave API in a loop of doStep and getReal (instantiated once,
   reset between runs). Each against FMPy driving a trivial FMU (as many states, rhs 0) exported and
   driven the same way, plus zarel.simulate on the same grid; the goal:
   time(ours) <= 1.2 (time(trivial) + time(zarel.simulate)).
2. Model Exchange: the derivatives of the 200-mass chain (400 states), fmi2GetDerivatives against
   Model.rhs of the same model, both called in a loop from Python, each beside its bare call cost
   (fmi2GetReal of no variables through ctypes; Model.rhs of a one-state model), so that the
   evaluations themselves compare (the goal: within 1.2); and from C (bench/fmu_driver.c, built with
   cc when one is found), which leaves out ctypes.

    .venv/bin/python bench/bench_fmu.py [--quick]
"""

from __future__ import annotations

import ctypes
import math
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
from fmpy import extract, read_model_description, simulate_fmu
from fmpy.fmi2 import FMU2Model, FMU2Slave, fmi2Real, fmi2ValueReference

import zarel
from zarel.result import Method

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))

import models  # noqa: E402
from bench_fit import side_by_side  # noqa: E402  (the fastest of alternating rounds)

EXAMPLES = HERE.parent / "examples"
STEPS = 1000
STOP = 0.02  # the shaft's run: 1,000 steps of 20 us
START_VALUES = {"V": 12.0, "load_torque": -0.01, "theta": 1e-3, "k3": 800.0}


def trivial(n: int) -> zarel.System:
    """n states that stay put: the cheapest model the runtime can run."""
    return zarel.System({"name": "idle", "n_states": n, "n_inputs": 0, "n_params": 0, "param_values": [],
                         "rhs": [["const", 0.0]] * n})


def per_call(fn: Callable[[], Any], number: int) -> Callable[[], None]:
    """A run of `number` calls of fn, for side_by_side; its time divided by `number` is per call."""
    def run() -> None:
        for _ in range(number):
            fn()
    return run


# ---------------------------------------------------------------------------------------------
# 1. Co-Simulation


class Stepper:
    """An FMU driven by FMU2Slave: instantiated once, each run resets it and takes STEPS
    communication steps, reading `refs` after each, as an importer's loop does."""

    def __init__(self, path: pathlib.Path, unzipped: str, start: dict[str, float], refs: list[int]):
        md = read_model_description(str(path))
        assert md.coSimulation is not None
        by_name = {v.name: v.valueReference for v in md.modelVariables}
        self.start_refs = [by_name[name] for name in start]
        self.start_values = list(start.values())
        self.refs = refs
        self.slave = FMU2Slave(guid=md.guid, unzipDirectory=unzipped,
                               modelIdentifier=md.coSimulation.modelIdentifier, instanceName="bench")
        self.slave.instantiate()
        self.first = True

    def __call__(self) -> np.ndarray:
        slave = self.slave
        if not self.first:
            slave.reset()
        self.first = False
        slave.setupExperiment(startTime=0.0)
        slave.enterInitializationMode()
        if self.start_refs:
            slave.setReal(self.start_refs, self.start_values)
        slave.exitInitializationMode()
        h = STOP / STEPS
        rows = [slave.getReal(self.refs)]
        for k in range(STEPS):
            # the points as simulate_fmu computes them, k h, each step the difference of two
            slave.doStep(k * h, (k + 1) * h - k * h)
            rows.append(slave.getReal(self.refs))
        return np.array(rows)


def load(unzipped: str) -> None:
    """Loads an extracted Co-Simulation FMU's library, instantiates it and frees both."""
    md = read_model_description(unzipped)
    assert md.coSimulation is not None
    slave = FMU2Slave(guid=md.guid, unzipDirectory=unzipped, modelIdentifier=md.coSimulation.modelIdentifier,
                      instanceName="load")
    slave.instantiate()
    slave.freeInstance()


def cosimulation_section(quick: bool, work: pathlib.Path) -> None:
    system = zarel.load(EXAMPLES / "flexible_shaft.json")
    idle_system = trivial(system.n_states)  # as many states to record as the shaft
    t = np.linspace(0.0, STOP, STEPS + 1)
    u = np.tile([START_VALUES["V"], START_VALUES["load_torque"]], (len(t), 1))
    rounds = 3 if quick else 20
    print(f"== Co-Simulation: {STEPS} communication steps of {system.name} ({system.n_states} states) driven by FMPy,\n"
          f"   against FMPy driving an FMU of {system.n_states} states with rhs 0 the same way plus zarel.simulate on\n"
          f"   the same grid (goal: ours <= 1.2 (trivial + simulate)); 'vs simulate': the states' largest\n"
          f"   difference from zarel.simulate's, relative to each state's largest value (0: bit for bit)")
    print(f"  {'method':22s} {'driver':13s} {'ours ms':>8s} {'trivial ms':>10s} {'simulate ms':>11s}"
          f" {'ours / sum':>10s} {'met':>4s} {'vs simulate':>11s}")
    cases: tuple[tuple[str, Method, bool], ...] = (("midpoint, grid steps", "midpoint", True),
                                                   ("rk45, own steps", "rk45", False))
    for label, method, grid_steps in cases:
        ours = system.to_fmu(work / f"shaft_{method}.fmu", kinds=("co-simulation",), method=method,
                             grid_steps=grid_steps)
        idle = idle_system.to_fmu(work / f"idle_{method}.fmu", kinds=("co-simulation",), method=method,
                              grid_steps=grid_steps)
        # extracted once: both sides are driven from a directory, so unzipping is in neither
        ours_dir, idle_dir = extract(str(ours)), extract(str(idle))
        states = list(system.state_names)

        def simulate() -> Any:
            return zarel.simulate(system, {"theta": START_VALUES["theta"]}, t, u=u, params={"k3": START_VALUES["k3"]},
                                  method=method, grid_steps=grid_steps, record_outputs=False, record_energy=False)

        def fmpy_ours() -> Any:
            return simulate_fmu(ours_dir, fmi_type="CoSimulation", stop_time=STOP, output_interval=STOP / STEPS,
                                start_values=START_VALUES, output=states)

        def fmpy_idle() -> Any:
            return simulate_fmu(idle_dir, fmi_type="CoSimulation", stop_time=STOP, output_interval=STOP / STEPS,
                                output=list(idle_system.state_names))

        step_ours = Stepper(ours, ours_dir, START_VALUES, list(range(system.n_states)))
        step_idle = Stepper(idle, idle_dir, {}, list(range(idle_system.n_states)))
        want = simulate().x
        for driver, a, b in (("simulate_fmu", fmpy_ours, fmpy_idle), ("FMU2Slave", step_ours, step_idle)):
            got = a()
            x = np.column_stack([got[name] for name in states]) if driver == "simulate_fmu" else got
            diff = float(np.max(np.abs(x - want) / np.max(np.abs(want), axis=0)))
            t_ours, t_idle, t_sim = side_by_side([a, b, simulate], rounds)
            ratio = t_ours / (t_idle + t_sim)
            print(f"  {label:22s} {driver:13s} {t_ours * 1e3:8.2f} {t_idle * 1e3:10.2f} {t_sim * 1e3:11.2f}"
                  f" {ratio:10.2f} {'yes' if ratio <= 1.2 else 'NO':>4s} {diff:11.1e}")
        # simulate_fmu loads and instantiates on every run (the runtime reads and compiles the
        # document there); the FMU2Slave loop does it once
        t_load_ours, t_load_idle = side_by_side([lambda: load(ours_dir), lambda: load(idle_dir)], rounds)
        print(f"  {label:22s} {'instantiate':13s} {t_load_ours * 1e3:8.2f} {t_load_idle * 1e3:10.2f}"
              f"   (load, fmi2Instantiate, free: within simulate_fmu's figures)")
        for stepper in (step_ours, step_idle):
            stepper.slave.terminate()
            stepper.slave.freeInstance()
        shutil.rmtree(ours_dir, ignore_errors=True)
        shutil.rmtree(idle_dir, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# 2. Model Exchange derivatives


def driver_binary(work: pathlib.Path) -> pathlib.Path | None:
    """bench/fmu_driver.c compiled against fmpy's FMI 2 headers, or None without a C compiler."""
    import fmpy

    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    out = work / "fmu_driver"
    headers = pathlib.Path(fmpy.__file__).parent / "c-code"
    subprocess.run([cc, "-O2", "-std=c11", "-D_POSIX_C_SOURCE=200809L", f"-I{headers}", str(HERE / "fmu_driver.c"),
                    "-o", str(out), "-ldl"], check=True)
    return out


def derivatives_section(quick: bool, work: pathlib.Path) -> None:
    doc, _, _ = models.mass_chain(200, shallow_energy=True)  # type: ignore[no-untyped-call]
    system = zarel.System({"name": "chain", **doc})
    n = system.n_states
    path = system.to_fmu(work / "chain.fmu", kinds=("model-exchange",))
    unzipped = extract(str(path))
    md = read_model_description(str(path))
    assert md.modelExchange is not None
    fmu = FMU2Model(guid=md.guid, unzipDirectory=unzipped, modelIdentifier=md.modelExchange.modelIdentifier,
                    instanceName="bench")
    fmu.instantiate()
    fmu.setupExperiment(startTime=0.0)
    fmu.enterInitializationMode()
    fmu.exitInitializationMode()
    fmu.enterContinuousTimeMode()
    x = 1e-3 * np.arange(n, dtype=float)
    dx = np.empty(n)
    px = x.ctypes.data_as(ctypes.POINTER(fmi2Real))
    pdx = dx.ctypes.data_as(ctypes.POINTER(fmi2Real))
    fmu.setContinuousStates(px, n)
    fmu.getDerivatives(pdx, n)
    model = system.model()
    np.testing.assert_array_equal(dx, model.rhs(x))  # the same numbers before any timing
    one = trivial(1).model()
    x1 = np.zeros(1)

    # the raw ctypes functions, without FMPy's Python layer (status check, call logging)
    c = fmu.component
    raw_get = fmu._functions["fmi2GetDerivatives"]  # noqa: SLF001
    raw_real = fmu._functions["fmi2GetReal"]  # noqa: SLF001
    no_ref, no_value = (fmi2ValueReference * 1)(), (fmi2Real * 1)()
    rhs, rhs1 = model.rhs, one.rhs
    calls = 2_000 if quick else 20_000
    rounds = 3 if quick else 7
    runs = {
        "FMU2Model.getDerivatives (FMPy)": per_call(lambda: fmu.getDerivatives(pdx, n), calls),
        "fmi2GetDerivatives, raw ctypes": per_call(lambda: raw_get(c, pdx, n), calls),
        "fmi2GetReal of nothing, raw ctypes": per_call(lambda: raw_real(c, no_ref, 0, no_value), calls),
        "Model.rhs(x)": per_call(lambda: rhs(x), calls),
        "Model.rhs(x) of one state, rhs 0": per_call(lambda: rhs1(x1), calls),
    }
    took = dict(zip(runs, (b / calls for b in side_by_side(list(runs.values()), rounds))))
    print(f"\n== Model Exchange: the derivatives of the 200-mass chain ({n} states), called in a loop from Python")
    print(f"  {'call':38s} {'ns per call':>12s}")
    for name, s in took.items():
        print(f"  {name:38s} {s * 1e9:12.0f}")
    fmu_eval = took["fmi2GetDerivatives, raw ctypes"] - took["fmi2GetReal of nothing, raw ctypes"]
    rhs_eval = took["Model.rhs(x)"] - took["Model.rhs(x) of one state, rhs 0"]
    for name, short in (("FMU2Model.getDerivatives (FMPy)", "FMPy"), ("fmi2GetDerivatives, raw ctypes", "raw ctypes")):
        print(f"  {'ratio ' + short + ' / Model.rhs':38s} {took[name] / took['Model.rhs(x)']:12.2f}")
    print(f"  evaluation alone (each call less its bare call): FMU {fmu_eval * 1e9:.0f} ns, Model.rhs "
          f"{rhs_eval * 1e9:.0f} ns, ratio {fmu_eval / rhs_eval:.2f} (goal: within 1.2)")

    binary = driver_binary(work)
    if binary is None:
        print("  (no C compiler: the figures from C are left out)")
    else:
        library = pathlib.Path(unzipped) / "binaries" / "linux64" / f"{md.modelExchange.modelIdentifier}.so"
        uri = (pathlib.Path(unzipped) / "resources").as_uri()
        c_calls = 20_000 if quick else 200_000
        best = [math.inf] * 3
        best_rhs = [math.inf, math.inf]
        # the driver's runs and the extension's loops in turn, the fastest of each kept
        for _ in range(rounds):
            out = subprocess.run([str(binary), str(library), uri, md.guid, str(n), str(c_calls)], check=True,
                                 capture_output=True, text=True).stdout.split()
            best = [min(b, float(v) * 1e-9) for b, v in zip(best, out)]
            pair = side_by_side([runs["Model.rhs(x)"], runs["Model.rhs(x) of one state, rhs 0"]], 1)
            best_rhs = [min(b, p / calls) for b, p in zip(best_rhs, pair)]
        rhs_eval = best_rhs[0] - best_rhs[1]
        print(f"\n  from C (bench/fmu_driver.c, {c_calls} calls a run, no ctypes), ns per call:")
        print(f"  {'fmi2GetDerivatives':38s} {best[0] * 1e9:12.0f}")
        print(f"  {'fmi2SetContinuousStates + GetDerivatives':38s} {best[1] * 1e9:12.0f}")
        print(f"  {'fmi2GetReal of nothing':38s} {best[2] * 1e9:12.0f}")
        print(f"  {'Model.rhs evaluation (less one-state)':38s} {rhs_eval * 1e9:12.0f}")
        print(f"  ratio fmi2GetDerivatives from C / Model.rhs evaluation: {best[0] / rhs_eval:.2f}; "
              f"with fmi2SetContinuousStates: {best[1] / rhs_eval:.2f} (goal: within 1.2)")
        print("  (fmi2GetDerivatives evaluates at the states already set, into the caller's array; Model.rhs(x)\n"
              "   also reads x and allocates its result, as fmi2SetContinuousStates copies and checks the states)")
    fmu.terminate()
    fmu.freeInstance()
    shutil.rmtree(unzipped, ignore_errors=True)


def main() -> None:
    import argparse

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer rounds and calls")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        cosimulation_section(args.quick, work)
        derivatives_section(args.quick, work)


if __name__ == "__main__":
    main()
