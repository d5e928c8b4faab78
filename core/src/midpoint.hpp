// The implicit midpoint rule's Newton iteration, advanced one right-hand side at a time. The runs
// in lanes (lanes_midpoint.cpp) take the same steps on the same numbers, on lane-major arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zarel/solver.hpp"

namespace zarel {

// One solve of z = x + h f((x + z)/2, u, tm), tm = t + h/2, for n states. The caller evaluates
// the right-hand side wherever the solve asks (at x for the predictor, then at m) and hands the
// derivative back.
class NewtonSolve {
public:
    // The buffers of one solve: z, m and r hold n values, jac and lu n * n, pivots n.
    struct Buffers {
        double *z, *m, *r, *jac, *lu;
        std::size_t* pivots;
    };

    enum class Next { Evaluate, Converged, Failed };

    NewtonSolve(const Model& model, double t, double h, const SolverOptions& options, const Buffers& b)
        : model_(model), t_(t), h_(h), options_(options), b_(b) {}

    // From the predictor's derivative k1 = f(x, u, tm): the explicit Euler guess z, and m, where
    // the right-hand side is wanted next.
    void start(const double* x, const double* k1);

    // From k2 = f(m, u, tm): Converged (z holds the solution), Failed (failure holds why), or
    // Evaluate (m holds where the right-hand side is wanted next). Refreshes the Jacobian at m
    // and its factors at the first update and before every fourth one after it; counts into
    // counted.
    Next advance(const double* x, const double* k2, const double* u, Counters& counted, Scratch& scratch,
                 Status& failure);

private:
    const Model& model_;
    double t_, h_;
    const SolverOptions& options_;
    Buffers b_;
    std::uint64_t k_ = 0;
};

}  // namespace zarel
