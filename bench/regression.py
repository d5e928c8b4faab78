"""Bit-for-bit regression check for optimisations: hashes full trajectories, statistics and point
evaluations of the example and benchmark models. `--write` records the current build's figures
(from the interpreter); the default compares both evaluation paths against them: the interpreter
(ZAREL_JIT=0, read when a model is loaded) and the default path (machine code where available)."""
import argparse
import hashlib
import json
import pathlib
import sys

import numpy as np

import zarel_engine

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))
from evaluation_path import evaluation_path  # noqa: E402
from models import cubic_chain, mass_chain, pendulum, van_der_pol  # noqa: E402

GOLDEN = HERE / "regression.json"


def documents():
    # pinned copies of the example documents: the examples may be regenerated, these stay
    docs = {p.stem: json.loads(p.read_text()) for p in sorted((HERE / "regression_docs").glob("*.json"))}
    docs["chain5"] = mass_chain(5)[0]
    docs["chain5_fd"] = {k: v for k, v in mass_chain(5)[0].items() if k != "jacobian"}
    docs["vdp1"] = van_der_pol(1.0)[0]
    docs["vdp1000"] = van_der_pol(1000.0)[0]
    docs["pendulum"] = pendulum()[0]
    docs["cubic4"] = cubic_chain(4)[0]
    return docs


def digest(value):
    h = hashlib.sha256()
    if isinstance(value, dict):
        for key, item in value.items():
            h.update(key.encode())
            h.update(digest(item).encode())
    elif isinstance(value, np.ndarray):
        h.update(str(value.shape).encode())
        h.update(np.ascontiguousarray(value).tobytes())
    else:
        h.update(repr(value).encode())
    return h.hexdigest()


def figures():
    out = {}
    for name, doc in documents().items():
        model = zarel_engine.Model(json.dumps(doc))
        n, m = model.n_states, model.n_inputs
        rng = np.random.default_rng(7)
        x0 = rng.uniform(-1.0, 1.0, n)
        t = np.linspace(0.0, 3.0, 61)
        u = np.sin(np.outer(t, np.arange(1, m + 1))) if m else None
        u0 = np.full(m, 0.25)
        out[f"{name}/point"] = digest({"rhs": model.rhs(x0, u0, 0.5), "jac": model.jacobian(x0, u0, 0.5),
                                       "energy": model.energy(x0), "grad": model.grad_h(x0),
                                       "power": model.supplied_power(x0, u0, 0.5),
                                       "outputs": model.outputs(x0, u0, 0.5)})
        for method in ("euler", "rk4", "rk45", "midpoint"):
            for interp in ("hold", "linear"):
                try:
                    res = model.simulate(x0, t, u, method=method, interp=interp)
                except RuntimeError as e:
                    res = {"error": str(e)}
                out[f"{name}/{method}/{interp}"] = digest(res)
            try:
                out[f"{name}/{method}/step"] = digest(model.step(x0, u0, 0.1, 0.2, method=method))
            except RuntimeError as e:
                out[f"{name}/{method}/step"] = str(e)
        x0s = rng.uniform(-1.0, 1.0, (5, n))
        try:
            out[f"{name}/batch"] = digest(model.simulate_batch(x0s, t, u, method="rk45", interp="linear"))
        except RuntimeError as e:
            out[f"{name}/batch"] = str(e)
        # batches run in lanes: seven runs leave a remainder group on two, four or eight lanes; a short
        # span keeps every run finite, since which of several failing runs a batch reports
        # depends on the order its workers meet them
        x0s = rng.uniform(-1.0, 1.0, (7, n))
        out.update(package_figures(name, model, x0, x0s, t, u))
        for method in ("euler", "rk4", "midpoint"):
            try:
                out[f"{name}/batch/{method}"] = digest(model.simulate_batch(x0s, t[:7] / 1000, None if u is None else u[:7],
                                                                            method=method, interp="linear"))
            except RuntimeError as e:
                out[f"{name}/batch/{method}"] = str(e)
    return out


def package_figures(name, model, x0, x0s, t, u):
    """The package's adaptive pairs with dense output, a run alone and a batch of seven (a remainder
    group in lanes) into arrays."""
    from zarel import _engine

    out = {}
    for method in ("rk45", "dop853"):
        try:
            res = _engine.simulate(model, x0, t, u, method=method, interp="linear", dense=True, rtol=1e-9, atol=1e-11)
        except RuntimeError as e:
            res = {"error": str(e)}
        out[f"{name}/package/{method}"] = digest(res)
        xs = np.empty((len(x0s), len(t), model.n_states))
        stats = np.empty((len(x0s), 5), dtype=np.uint64)
        status = _engine.simulate_batch(model, x0s, t, u, method=method, interp="linear", dense=True, rtol=1e-9,
                                        atol=1e-11, x=xs, stats=stats)
        out[f"{name}/package/{method}/batch"] = digest({"x": xs, "stats": stats, "status": status})
    return out


def figures_on(jit):
    with evaluation_path(jit):
        return figures()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--write", action="store_true", help="record the current figures")
    args = parser.parse_args()
    if args.write:
        now = figures_on(jit=False)
        GOLDEN.write_text(json.dumps(now, indent=1, sort_keys=True) + "\n")
        print(f"wrote {len(now)} figures to {GOLDEN}")
        return 0
    before = json.loads(GOLDEN.read_text())
    failed = False
    for path, jit in (("interpreter", False), ("default path", True)):
        now = figures_on(jit)
        changed = sorted(k for k in before if before[k] != now.get(k))
        added = sorted(set(now) - set(before))
        for key in changed:
            print(f"changed on the {path}: {key}")
        print(f"{path}: {len(before) - len(changed)} of {len(before)} figures identical; {len(added)} new")
        failed = failed or bool(changed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
