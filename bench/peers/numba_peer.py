"""numbalsoda: LSODA and DOP853 calling a numba-compiled right-hand side generated from the
document's trees."""
import math
import time

import numpy as np

from .codegen import to_python_source

_cache = {}


def available():
    try:
        import numba
        import numbalsoda  # noqa: F401
        return True, f"numbalsoda (numba {numba.__version__})"
    except Exception as exc:  # noqa: BLE001
        return False, f"numbalsoda: {exc}"


def compiled(p):
    """(cfunc for numbalsoda, njit function of the same source) for the problem's document."""
    if p.name in _cache:
        return _cache[p.name]
    import numba as nb
    from numbalsoda import lsoda_sig
    ns = {"math": math, "np": np}
    names = []
    if p.knots is not None:
        kt = np.asarray(p.knots[0], float)
        ku = np.asarray(p.knots[1], float)

        @nb.njit
        def _u0(t):
            return np.interp(t, kt, ku)

        ns["_u0"] = _u0
        names = ["_u0"]
    exec(to_python_source(p.doc, input_names=names), ns)  # noqa: S102
    pyf = ns["rhs"]
    _cache[p.name] = (nb.cfunc(lsoda_sig)(pyf), nb.njit(pyf))
    return _cache[p.name]


def methods(p, cfg):
    from numbalsoda import dop853, lsoda
    from .common import Method
    c, _ = compiled(p)
    address = c.address
    x0 = np.ascontiguousarray(p.x0, dtype=float)
    t = np.ascontiguousarray(p.t, dtype=float)

    def make(solver):
        def prepare(rtol):
            data = np.zeros(1)

            def run():
                data[0] = 0.0
                usol, ok = solver(address, x0, t, data=data, rtol=rtol, atol=rtol * p.atol_factor, mxstep=10**7)
                if not ok:
                    raise RuntimeError("integration failed")
                return usol, int(data[0])
            return run
        return prepare

    out = [Method("numbalsoda lsoda", "numbalsoda", "tol", cfg.peer_tols, make(lsoda), note="numba rhs")]
    if p.explicit in ("all", "compiled"):
        out.append(Method("numbalsoda dop853", "numbalsoda", "tol", cfg.peer_tols, make(dop853), note="numba rhs"))
    return out


def eval_cost(p, evals):
    """ns per evaluation of the numba-compiled right-hand side, called in a compiled loop. The
    derivative array comes from outside the loop and the last entry is summed, as in the native
    program: with a local array and only dx[0] read, LLVM drops the work of every other entry
    (the pendulum's sine among it) once the right-hand side is inlined into the loop."""
    import numba as nb
    _, jf = compiled(p)

    @nb.njit
    def loop(x, dx, n):
        data = np.zeros(1)
        acc = 0.0
        last = dx.size - 1
        for i in range(n):
            x[0] += 1e-15
            jf(0.0, x, dx, data)
            acc += dx[last]
        return acc

    x = np.array(p.x0, dtype=float)
    loop(x.copy(), np.empty_like(x), 10)
    best = np.inf
    for _ in range(3):
        dx = np.empty_like(x)
        start = time.perf_counter()
        loop(x.copy(), dx, evals)
        best = min(best, (time.perf_counter() - start) / evals)
    return best * 1e9
