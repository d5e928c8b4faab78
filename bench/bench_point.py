"""Cost of one point evaluation: model.rhs(x) for a two-state model against numpy.add(x, x)."""
import json
import timeit

import numpy as np

import zarel_engine

DOC = {
    "n_states": 2, "n_inputs": 0, "n_params": 2, "param_values": [1.0, 0.1],
    "rhs": [["ref", 1],
            ["sub", ["mul", ["neg", ["ref", 2]], ["ref", 0]], ["mul", ["ref", 3], ["ref", 1]]]],
}


def best_per_call(fn, number=200_000, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    model = zarel_engine.Model(json.dumps(DOC))
    x = np.array([1.0, 0.5])
    rhs = model.rhs
    add = np.add
    t_rhs = best_per_call(lambda: rhs(x))
    t_add = best_per_call(lambda: add(x, x))
    print(f"model.rhs(x):     {t_rhs * 1e9:8.1f} ns per call")
    print(f"numpy.add(x, x):  {t_add * 1e9:8.1f} ns per call")
    print(f"ratio:            {t_rhs / t_add:8.2f}")


if __name__ == "__main__":
    main()
