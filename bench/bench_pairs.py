"""dop853 against numbalsoda's DOP853 on the suite's non-stiff problems at the same tolerances,
timed alternately run by run (the fastest of each over many rounds), with both evaluation counts
and the largest difference between the two solutions: the same method, so the ratio is the cost
of the implementation. Needs numbalsoda (bench/run.sh installs it).

    bench/.venv-bench/bin/python bench/bench_pairs.py [--problems pendulum,arenstorf] [--rounds 40]
"""
import argparse
import json
import os
import sys
import time
from dataclasses import replace

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # an idle BLAS pool spins beside the runs

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402
from peers import numba_peer  # noqa: E402

import zarel_engine  # noqa: E402
from zarel import _engine  # noqa: E402


def timed(run):
    start = time.perf_counter()
    out = run()
    return time.perf_counter() - start, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--problems", default="pendulum,van der pol mu=1,mass chain n=2,arenstorf")
    ap.add_argument("--rounds", type=int, default=40)
    args = ap.parse_args()
    cfg = suite.make_config(True)
    problems = {p.name: p for p in suite.build_problems(cfg)}
    print(f"{'problem':18s} {'points':>6s} {'rtol':>6s} {'nb us':>8s} {'nb evals':>8s} {'zarel us':>8s} "
          f"{'evals':>6s} {'nb/zarel':>8s} {'difference':>10s}")
    for name in args.problems.split(","):
        p = problems[name]
        for points in (201, 10_001):
            q = replace(p, t=np.linspace(p.t[0], p.t[-1], points))
            model = zarel_engine.Model(json.dumps(q.doc))
            with suite.quiet():
                dop853 = next(m for m in numba_peer.methods(q, cfg) if m.label == "numbalsoda dop853")
            for rtol in (1e-6, 1e-8, 1e-10):
                with suite.quiet():
                    peer = dop853.prepare(rtol)

                def ours(rtol=rtol):
                    return _engine.simulate(model, q.x0, q.t, method="dop853", rtol=rtol, atol=rtol * p.atol_factor,
                                            dense=True, record_outputs=False, record_energy=False)
                peer(), ours()
                best_peer = best_ours = np.inf
                for _ in range(args.rounds):
                    with suite.quiet():
                        a, (x, nfev) = timed(peer)
                    b, z = timed(ours)
                    best_peer, best_ours = min(best_peer, a), min(best_ours, b)
                print(f"{name:18s} {points:6d} {rtol:6.0e} {best_peer * 1e6:8.1f} {nfev:8d} {best_ours * 1e6:8.1f} "
                      f"{z['stats']['rhs_evals']:6d} {best_peer / best_ours:8.2f} {np.max(np.abs(x - z['x'])):10.1e}")
    print("nb/zarel > 1 where zarel is faster; both runs report on the same grid from their own extensions")


if __name__ == "__main__":
    main()
