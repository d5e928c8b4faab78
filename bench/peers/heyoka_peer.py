"""heyoka: Taylor integration of the ensembles (see ensembles.py) with LLVM-compiled right-hand
sides, in batches of its SIMD width; measured by bench_ensemble.py, not on the suite's problems."""
import time

import numpy as np


def available():
    try:
        import heyoka
        return True, f"heyoka {heyoka.__version__} (recommended SIMD size {heyoka.recommended_simd_size()})"
    except Exception as exc:  # noqa: BLE001
        return False, f"heyoka: {exc}"


def methods(p, cfg):
    return []


def system(e):
    """The ensemble's right-hand side in heyoka's expressions, parameters as hy.par[i] in the
    order of e.params, the forcing written into the equations."""
    import heyoka as hy

    par = {name: hy.par[i] for i, name in enumerate(e.params)}
    if e.name == "lorenz":
        x, y, z = hy.make_vars("x", "y", "z")
        return [(x, par["sigma"] * (y - x)), (y, x * (par["rho"] - z) - y), (z, x * y - par["beta"] * z)]
    q, p = hy.make_vars("q", "p")
    return [(q, p), (p, -par["delta"] * p + q - q**3 + 0.3 * hy.cos(1.2 * hy.time))]


def reference(e, t_end):
    """Final states of every run from heyoka's scalar integrator in long double."""
    import heyoka as hy

    ld = np.longdouble
    ta = hy.taylor_adaptive(system(e), np.asarray(e.x0, dtype=ld), pars=np.zeros(len(e.params), dtype=ld),
                            fp_type=ld)
    rows = e.param_rows()
    out = np.empty((len(rows), len(e.x0)))
    for i, row in enumerate(rows):
        ta.time = ld(0.0)
        ta.state[:] = np.asarray(e.x0, dtype=ld)
        ta.pars[:] = row.astype(ld)
        ta.propagate_until(ld(t_end))
        out[i] = ta.state.astype(np.float64)
    return out


def runs(e, t, tol, size):
    """A function running every run of the ensemble through taylor_adaptive_batch in batches of
    `size`, returning the final states, and the compilation time (not in the runs' time)."""
    import heyoka as hy

    rows, n = e.param_rows(), len(e.x0)
    runs = len(rows)
    start = time.perf_counter()
    ta = hy.taylor_adaptive_batch(system(e), np.tile(e.x0[:, None], (1, size)),
                                  pars=np.zeros((len(e.params), size)), tol=tol)
    compile_time = time.perf_counter() - start
    grid = np.ascontiguousarray(np.repeat(t[:, None], size, axis=1))
    x0 = np.tile(e.x0[:, None], (1, size))
    padded = np.vstack([rows, np.repeat(rows[-1:], (-runs) % size, axis=0)])
    final = np.empty((len(padded), n))

    def run():
        for b in range(0, len(padded), size):
            ta.set_time(0.0)
            ta.state[:] = x0
            ta.pars[:] = padded[b:b + size].T
            states = ta.propagate_grid(grid)[-1]
            final[b:b + size] = states[-1].T
        return final[:runs]
    return run, compile_time
