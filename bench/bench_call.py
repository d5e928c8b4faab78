"""Fixed cost of one call: model.simulate on a two-state model over 10 grid points, where argument
conversion, buffers and the result dict cost more than the integration, timed beside numpy.add(x, x)
in the same run so that the ratio holds on a busy or slower machine. Models are loaded once with
ZAREL_JIT=0 (interpreter) and once with the default (machine code where available).

Then zarel.simulate on a System against Model.simulate of the System's model: on the same
two-state model over 11 points (the package's own cost per call: names, parameters per call,
the result object), and on a 300-state mass chain (a call must not rebuild the model)."""
import json
import timeit

import numpy as np

import zarel_engine
from evaluation_path import evaluation_path
from models import mass_chain

DOC = {
    "n_states": 2, "n_inputs": 0, "n_params": 2, "param_values": [1.0, 0.1],
    "rhs": [["ref", 1],
            ["sub", ["mul", ["neg", ["ref", 2]], ["ref", 0]], ["mul", ["ref", 3], ["ref", 1]]]],
}
METHODS = ("euler", "rk4", "midpoint", "rk45")


def best_per_call(fn, number=20_000, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def load(jit):
    with evaluation_path(jit):
        return zarel_engine.Model(json.dumps(DOC))


def main():
    x0 = np.array([1.0, 0.5])
    t = np.linspace(0.0, 1.0, 10)
    add = np.add
    t_add = best_per_call(lambda: add(x0, x0), number=200_000)
    print(f"numpy.add(x, x): {t_add * 1e9:8.1f} ns per call (the reference)")
    print(f"{'simulate, 2 states, 10 points':34s} {'ns per call':>12s} {'/ numpy.add':>12s}")
    for path, jit in (("interpreter", False), ("default", True)):
        model = load(jit)
        for method in METHODS:
            t_sim = best_per_call(lambda: model.simulate(x0, t, method=method))
            print(f"  {path:12s} {method:20s} {t_sim * 1e9:12.1f} {t_sim / t_add:12.2f}")
    package()


def package():
    import zarel

    print(f"\n{'zarel.simulate(system) vs Model.simulate':44s} {'package us':>11s} {'model us':>10s} {'ratio':>7s}")
    chain = mass_chain(150, shallow_energy=True)[0]
    for label, doc, points, number in (("2 states, 11 points", DOC, 11, 5_000),
                                       ("300-state chain, 11 points", chain, 11, 200)):
        system = zarel.System(doc)
        model = system.model()
        x0 = np.linspace(0.1, 0.0, model.n_states)
        t = np.linspace(0.0, 1.0, points)
        for method in ("midpoint", "rk45"):
            t_package = best_per_call(lambda: zarel.simulate(system, x0, t, method=method), number=number)
            t_model = best_per_call(lambda: model.simulate(x0, t, method=method), number=number)
            print(f"  {label:28s} {method:14s} {t_package * 1e6:11.1f} {t_model * 1e6:10.1f} "
                  f"{t_package / t_model:7.2f}")


if __name__ == "__main__":
    main()
