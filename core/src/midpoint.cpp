// The implicit midpoint rule, solved by modified Newton iteration with LU factors, and split
// into halves when the iteration fails.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "midpoint.hpp"
#include "zarel/solver.hpp"

namespace zarel {

namespace {

// Largest magnitude, starting from 0; NaN entries leave the running maximum unchanged.
double max_abs(const double* v, std::size_t n) {
    double m = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::fabs(v[i]) > m) m = std::fabs(v[i]);
    return m;
}

// In-place LU factorisation with partial pivoting: U on and above the diagonal, the unit lower
// factor's multipliers below it. The first of equal pivot candidates wins, so ties never swap.
bool lu_factor(double* a, std::size_t* pivots, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t p = c;
        double best = std::fabs(a[c * n + c]);
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r * n + c]) > best) {
                p = r;
                best = std::fabs(a[r * n + c]);
            }
        if (best == 0.0 || !std::isfinite(best)) return false;
        pivots[c] = p;
        if (p != c)
            for (std::size_t j = 0; j < n; ++j) std::swap(a[c * n + j], a[p * n + j]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double l = a[r * n + c] / a[c * n + c];
            a[r * n + c] = l;
            if (l != 0.0)
                for (std::size_t j = c + 1; j < n; ++j) a[r * n + j] = a[r * n + j] - l * a[c * n + j];
        }
    }
    return true;
}

// Solves with the factors of lu_factor; b is overwritten by the solution.
void lu_solve(const double* a, const std::size_t* pivots, double* b, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) std::swap(b[c], b[pivots[c]]);
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t i = c + 1; i < n; ++i) b[i] = b[i] - a[i * n + c] * b[c];
    for (std::size_t i = n; i-- > 0;) {
        double s = b[i];
        for (std::size_t j = i + 1; j < n; ++j) s = s - a[i * n + j] * b[j];
        b[i] = s / a[i * n + i];
    }
}

}  // namespace

void NewtonSolve::start(const double* x, const double* k1) {
    const std::size_t n = model_.n_states;
    for (std::size_t i = 0; i < n; ++i) b_.z[i] = k1[i] * h_ + x[i];
    for (std::size_t i = 0; i < n; ++i) b_.m[i] = (x[i] + b_.z[i]) * 0.5;
}

NewtonSolve::Next NewtonSolve::advance(const double* x, const double* k2, const double* u, Counters& counted,
                                       Scratch& scratch, Status& failure) {
    const std::size_t n = model_.n_states;
    const double hh = 0.5 * h_;
    double* z = b_.z;
    double* r = b_.r;
    for (std::size_t i = 0; i < n; ++i) r[i] = (z[i] - x[i]) - k2[i] * h_;
    const double rnorm = max_abs(r, n);
    const double tol = (max_abs(z, n) + 1.0) * options_.newton_tol;
    if (std::isinf(rnorm)) {
        failure = fail(NonFinite{"the Newton residual", t_});
        return Next::Failed;
    }
    if (rnorm <= tol) return Next::Converged;
    if (k_ == options_.max_newton) {
        failure = fail(StepFailed{t_, "Newton residual " + format_exponent(rnorm, 3) + " after " + std::to_string(k_) +
                                          " iterations (tolerance " + format_exponent(options_.newton_tol, 1) +
                                          "); reduce the step or use rk45"});
        return Next::Failed;
    }
    if (k_ == 0 || k_ % 4 == 3) {
        model_.jacobian_into(b_.m, u, t_ + hh, b_.jac, scratch);
        counted.jacobian_evals += 1;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) b_.lu[i * n + j] = (i == j ? 1.0 : 0.0) - b_.jac[i * n + j] * hh;
        if (!lu_factor(b_.lu, b_.pivots, n)) {
            failure = fail(StepFailed{t_, "the Newton iteration matrix is singular"});
            return Next::Failed;
        }
    }
    lu_solve(b_.lu, b_.pivots, r, n);
    for (std::size_t i = 0; i < n; ++i) z[i] = z[i] - r[i];
    counted.newton_iterations += 1;
    k_ += 1;
    for (std::size_t i = 0; i < n; ++i) b_.m[i] = (x[i] + z[i]) * 0.5;
    return Next::Evaluate;
}

namespace {

// Solves the step's equation for z, starting from the explicit Euler guess; on success x holds
// z. The predictor is evaluated at the mid time but at the start state.
Status newton_solve(const Model& model, double* x, double t, double h, const SolverOptions& options, Work& work) {
    const double tm = t + 0.5 * h;
    const double* u = work.u.data();
    NewtonSolve solve(model, t, h, options,
                      {work.x_stage.data(), work.x_next.data(), work.resid.data(), work.jac.data(),
                       work.iter_matrix.data(), work.pivots.data()});
    model.rhs_in_run(x, u, tm, work.k1.data(), work.scratch);
    work.rhs_evals += 1;
    solve.start(x, work.k1.data());
    Status failure;
    for (;;) {
        model.rhs_in_run(work.x_next.data(), u, tm, work.k2.data(), work.scratch);
        work.rhs_evals += 1;
        switch (solve.advance(x, work.k2.data(), u, work, work.scratch, failure)) {
        case NewtonSolve::Next::Converged: std::copy_n(work.x_stage.data(), model.n_states, x); return {};
        case NewtonSolve::Next::Failed: return failure;
        case NewtonSolve::Next::Evaluate: break;
        }
    }
}

}  // namespace

Status midpoint_recursive(const Model& model, double* x, const InputSource& input, double t, double h,
                          const SolverOptions& options, Work& work, int depth) {
    const std::size_t n = model.n_states;
    const double hh = 0.5 * h;
    const double tm = t + hh;
    // kept so that a failed step can be retried in halves from where it began
    double* x0 = depth <= kMidpointSplitDepth ? work.saved.data() + static_cast<std::size_t>(depth) * n : nullptr;
    if (x0) std::copy_n(x, n, x0);

    // Every half-step asks for fraction 0.5 again, so all of them see the interval's midpoint input.
    input(0.5, work.u);
    Status solved = newton_solve(model, x, t, h, options, work);
    if (solved || !x0) return solved;

    // The failure of this level is dropped: what reaches the caller comes from the deepest level.
    std::copy_n(x0, n, x);
    work.rejected_steps += 1;
    if (Status first = midpoint_recursive(model, x, input, t, hh, options, work, depth + 1); !first) return first;
    return midpoint_recursive(model, x, input, tm, hh, options, work, depth + 1);
}

}  // namespace zarel
