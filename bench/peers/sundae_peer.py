"""scikit-sundae: SUNDIALS CVODE (Adams for the non-stiff set, BDF for the stiff one) with the NumPy
right-hand side as a Python callback."""
import numpy as np


def available():
    try:
        import sksundae
        return True, f"scikit-sundae {sksundae.__version__} (SUNDIALS {sksundae.SUNDIALS_VERSION})"
    except Exception as exc:  # noqa: BLE001
        return False, f"scikit-sundae: {exc}"


def methods(p, cfg):
    from sksundae.cvode import CVODE
    from .common import Method
    f = p.f
    jac = p.jac_fn()
    lmm = "BDF" if p.stiff else "Adams"

    def rhs(t, y, yp):
        yp[:] = f(t, y)

    def jacfn(t, y, yp, JJ):
        JJ[:, :] = jac(t, y)

    def prepare(rtol):
        kw = {"jacfn": jacfn} if (jac is not None and p.stiff) else {}
        solver = CVODE(rhs, method=lmm, rtol=rtol, atol=rtol * p.atol_factor, max_num_steps=10**7, **kw)

        def run():
            r = solver.solve(p.t, p.x0)
            if not r.success:
                raise RuntimeError(r.message)
            return np.asarray(r.y), int(r.nfev)
        return run

    return [Method("sundae cvode", "scikit-sundae", "tol", cfg.peer_tols, prepare, note=f"{lmm}, Python rhs")]
