"""The main job: builds every example model with the front end, simulates it by name, and writes
its plot and energy-balance report into an output folder; then runs a damping sweep of the
mass-spring model as one parallel batch against the same runs one by one, compares the motor and
shaft built from parts with the same machine written whole, plots its energy by part, runs a
chain of 1,000 masses built from parts as one batch, and fits the motor and load from parts to
measurements of its current and speed.

    python examples/main.py [--out FOLDER]
"""

import argparse
import importlib
import pathlib
import time

import numpy as np

import zarel

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLES = [
    "mass_spring_damper", "rlc_series", "pendulum", "dc_motor",
    "ferroresonance", "flexible_shaft", "boost_converter", "shaft_from_parts", "rlc_ladder",
]


def run(name: str, out: pathlib.Path) -> None:
    example = importlib.import_module(name)
    system = example.build()
    document = HERE / f"{name}.json"
    if not document.exists() or document.read_text() != system.json() + "\n":
        print(f"   note: {document.name} differs from the front end's document; "
              f"python examples/{name}.py rewrites it")
    scenario = example.scenario()
    print(f"== {name}: {system!r}")
    for method in ("midpoint", "rk4"):
        start = time.perf_counter()
        result = zarel.simulate(system, method=method, **scenario)
        elapsed = time.perf_counter() - start
        balance = result.balance()
        stats = result.stats
        print(f"   {method:8s} {elapsed * 1e3:8.2f} ms  steps={stats['steps']} rhs_evals={stats['rhs_evals']} "
              f"newton={stats['newton_iterations']} largest |residual| {balance.max_residual:.3e}")
        final = ", ".join(f"{n}={v:.6g}" for n, v in zip(system.state_names[:6], result.x[-1]))
        final += f", ... ({system.n_states} states)" if system.n_states > 6 else ""
        print(f"            final {final}")
        report = out / f"{name}_{method}_balance.txt"
        report.write_text(f"{system.name}: {method}, interp {result.interp}\n{balance}\n")
        if method == "midpoint":
            result.plot(out / f"{name}.png")
    print(f"   plot and balance reports written to {out}/{name}*")


def damping_sweep() -> None:
    example = importlib.import_module("mass_spring_damper")
    system = example.build()
    model = system.model()
    t = np.linspace(0.0, 20.0, 2001)
    n_runs = 256
    params = np.tile(system.param_values, (n_runs, 1))
    params[:, system.signature.index("param", "c")] = np.linspace(0.0, 2.0, n_runs)
    x0s = np.tile(system.signature.vector("state", {"q": 1.0}), (n_runs, 1))
    model.simulate_batch(x0s[:2], t)  # the worker pool starts on first use; time it warm
    start = time.perf_counter()
    batch = model.simulate_batch(x0s, t, params=params)
    t_batch = time.perf_counter() - start
    start = time.perf_counter()
    finals = []
    for p in params:
        model.params = p
        finals.append(model.simulate(x0s[0], t, record_outputs=False)["x"][-1])
    t_loop = time.perf_counter() - start
    same = np.array_equal(np.array(finals), batch["x"][:, -1])
    print(f"== damping sweep of {system.name}: {n_runs} runs of {len(t)} points")
    print(f"   batch {t_batch * 1e3:.1f} ms, one by one {t_loop * 1e3:.1f} ms, speed-up {t_loop / t_batch:.2f}x, "
          f"identical results: {same}")
    print(f"   final energy from {batch['energy'][0, -1]:.4g} (c=0) to {batch['energy'][-1, -1]:.4g} (c=2)")


def parts_against_whole(out: pathlib.Path) -> None:
    """The motor and shaft from parts against flexible_shaft.py, which writes the machine whole."""
    parts_example, whole_example = importlib.import_module("shaft_from_parts"), importlib.import_module("flexible_shaft")
    composite, whole = parts_example.build(), whole_example.build()
    scenario = parts_example.scenario()
    start = time.perf_counter()
    ours = zarel.simulate(composite, method="midpoint", **scenario)
    elapsed = time.perf_counter() - start
    theirs = zarel.simulate(whole, method="midpoint", **whole_example.scenario())
    a, b = composite.model(), whole.model()
    rhs_gap = max(np.max(np.abs(a.rhs(x, u, t) - b.rhs(x, u, t)) / np.max(np.abs(b.rhs(x, u, t))))
                  for x, u, t in zip(theirs.x, theirs.u, theirs.t) if np.any(b.rhs(x, u, t)))
    print(f"== {composite.name} against {whole.name}: {elapsed * 1e3:.1f} ms; right-hand sides on the whole run "
          f"differ by at most {rhs_gap:.1e} (relative), trajectories by "
          f"{np.max(np.abs(ours.x - theirs.x)) / np.max(np.abs(theirs.x)):.1e}")
    print(str(ours.balance()).replace("\n", "\n   "))
    parts_example.plot_energy_flow(ours, out / f"{composite.name}_energy_by_part.png")


def chain_batch() -> None:
    example = importlib.import_module("chain_batch")
    start = time.perf_counter()
    system = example.build()
    built = time.perf_counter() - start
    dampings = np.linspace(0.0, 0.2, 8)
    t = np.linspace(0.0, 50.0, 201)
    start = time.perf_counter()
    batch = example.damping_batch(system, dampings, t)
    elapsed = time.perf_counter() - start
    print(f"== {system!r}: built from parts in {built:.2f} s; {len(dampings)} runs of {len(t)} points (rk4) "
          f"as one batch in {elapsed:.2f} s")
    print(f"   of the energy 0.5 given to the first mass, left at t = {t[-1]:g}: " + ", ".join(f"b={b:.3g}: {e:.4f}" for b, e in
                                                       zip(dampings, batch["energy"][:, -1])))


def main(argv: "list[str] | None" = None) -> None:
    parser = argparse.ArgumentParser(description="Simulate every example model; write plots and balance reports.")
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "output",
                        help="folder for the plots and balance reports (default: examples/output)")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    for name in EXAMPLES:
        run(name, args.out)
    damping_sweep()
    parts_against_whole(args.out)
    chain_batch()
    print("== the motor and load from parts, identified from measured current and speed")
    importlib.import_module("fit_motor").main([str(args.out / "fit_motor.png")])
    print("== the pendulum and the series circuit exported as FMUs, run by FMPy")
    importlib.import_module("fmu_roundtrip").main([str(args.out)])


if __name__ == "__main__":
    main()
