// The implicit midpoint rule, solved by modified Newton iteration with LU factors, and split
// into halves when the iteration fails.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "zarel/solver.hpp"

namespace zarel {

namespace {

// A step is split at depths 0 to 5, so the shortest step tried is h / 64.
constexpr int kMaxSplitDepth = 5;

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

// Solves z = x + h f((x + z)/2, u, tm) for z, starting from the explicit Euler guess; on success
// x holds z. The Jacobian and its factors are refreshed only at the first update and before
// every fourth one after it, which is what makes most iterations cheap.
Status newton_solve(const Model& model, double* x, double t, double h, const SolverOptions& options, Work& work) {
    const std::size_t n = model.n_states;
    const double hh = 0.5 * h;
    const double tm = t + hh;
    const double* u = work.u.data();
    double* z = work.x_stage.data();
    double* m = work.x_next.data();
    double* r = work.resid.data();
    const double* k1 = work.k1.data();
    const double* k2 = work.k2.data();

    // The predictor is evaluated at the mid time but at the start state.
    model.rhs_in_run(x, u, tm, work.k1.data(), work.scratch);
    work.rhs_evals += 1;
    for (std::size_t i = 0; i < n; ++i) z[i] = k1[i] * h + x[i];

    for (std::uint64_t k = 0;; ++k) {
        for (std::size_t i = 0; i < n; ++i) m[i] = (x[i] + z[i]) * 0.5;
        model.rhs_in_run(m, u, tm, work.k2.data(), work.scratch);
        work.rhs_evals += 1;
        for (std::size_t i = 0; i < n; ++i) r[i] = (z[i] - x[i]) - k2[i] * h;
        const double rnorm = max_abs(r, n);
        const double tol = (max_abs(z, n) + 1.0) * options.newton_tol;
        if (std::isinf(rnorm)) return fail(NonFinite{"the Newton residual", t});
        if (rnorm <= tol) {
            std::copy_n(z, n, x);
            return {};
        }
        if (k == options.max_newton)
            return fail(StepFailed{t, "Newton residual " + format_exponent(rnorm, 3) + " after " + std::to_string(k) +
                                          " iterations (tolerance " + format_exponent(options.newton_tol, 1) +
                                          "); reduce the step or use rk45"});
        if (k == 0 || k % 4 == 3) {
            double* jac = work.jac.data();
            double* lu = work.iter_matrix.data();
            model.jacobian_into(m, u, tm, jac, work.scratch);
            work.jacobian_evals += 1;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) lu[i * n + j] = (i == j ? 1.0 : 0.0) - jac[i * n + j] * hh;
            if (!lu_factor(lu, work.pivots.data(), n))
                return fail(StepFailed{t, "the Newton iteration matrix is singular"});
        }
        lu_solve(work.iter_matrix.data(), work.pivots.data(), r, n);
        for (std::size_t i = 0; i < n; ++i) z[i] = z[i] - r[i];
        work.newton_iterations += 1;
    }
}

}  // namespace

Status midpoint_recursive(const Model& model, double* x, const InputSource& input, double t, double h,
                          const SolverOptions& options, Work& work, int depth) {
    const std::size_t n = model.n_states;
    const double hh = 0.5 * h;
    const double tm = t + hh;
    // kept so that a failed step can be retried in halves from where it began
    const std::vector<double> x0(x, x + n);

    // Every half-step asks for fraction 0.5 again, so all of them see the interval's midpoint input.
    input(0.5, work.u);
    Status solved = newton_solve(model, x, t, h, options, work);
    if (solved || depth > kMaxSplitDepth) return solved;

    // The failure of this level is dropped: what reaches the caller comes from the deepest level.
    std::copy(x0.begin(), x0.end(), x);
    work.rejected_steps += 1;
    if (Status first = midpoint_recursive(model, x, input, t, hh, options, work, depth + 1); !first) return first;
    return midpoint_recursive(model, x, input, tm, hh, options, work, depth + 1);
}

}  // namespace zarel
