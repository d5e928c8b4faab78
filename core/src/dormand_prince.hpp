// The Dormand-Prince 5(4) pair, its continuous extension and the step-size controller shared by
// both rk45 drivers: one set of constants for the interval stepper and the dense-output stepper.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "dense_stepper.hpp"
#include "zarel/solver.hpp"

namespace zarel::dormand_prince {

// Dormand & Prince RK5(4)7M: Hairer, Norsett & Wanner, Solving Ordinary Differential
// Equations I, Table II.5.2. The last stage is evaluated at the fifth-order solution.
constexpr int kStages = 7;
constexpr double kC[kStages] = {0.0, 1.0 / 5, 3.0 / 10, 4.0 / 5, 8.0 / 9, 1.0, 1.0};
constexpr double kA[kStages][kStages - 1] = {
    {},
    {1.0 / 5},
    {3.0 / 40, 9.0 / 40},
    {44.0 / 45, -56.0 / 15, 32.0 / 9},
    {19372.0 / 6561, -25360.0 / 2187, 64448.0 / 6561, -212.0 / 729},
    {9017.0 / 3168, -355.0 / 33, 46732.0 / 5247, 49.0 / 176, -5103.0 / 18656},
    {35.0 / 384, 0.0, 500.0 / 1113, 125.0 / 192, -2187.0 / 6784, 11.0 / 84},
};
// fifth-order weights (propagated) and fourth-order weights (for the error estimate only)
constexpr double kB[kStages] = {35.0 / 384, 0.0, 500.0 / 1113, 125.0 / 192, -2187.0 / 6784, 11.0 / 84, 0.0};
constexpr double kBHat[kStages] = {5179.0 / 57600,     0.0,          7571.0 / 16695, 393.0 / 640,
                                   -92097.0 / 339200, 187.0 / 2100, 1.0 / 40};
// The difference of the two rounded weight sets, not the exact fractions, so the estimate is
// the one every build of the engine computes.
constexpr double kE[kStages] = {kB[0] - kBHat[0], kB[1] - kBHat[1], kB[2] - kBHat[2], kB[3] - kBHat[3],
                                kB[4] - kBHat[4], kB[5] - kBHat[5], kB[6] - kBHat[6]};

// Continuous extension of fourth order (Shampine, "Some practical Runge-Kutta formulas", Math.
// Comp. 46, 1986; the coefficients SciPy's RK45 uses): within an accepted step from (t, x) of
// length h, x(t + theta h) = x + h sum_j k_j b_j(theta) with
// b_j(theta) = theta (P[j][0] + theta (P[j][1] + theta (P[j][2] + theta P[j][3]))); at theta = 1
// the weights are kB, and stage 7 is the derivative at the end of the step.
constexpr double kDense[kStages][4] = {
    {1.0, -8048581381.0 / 2820520608, 8663915743.0 / 2820520608, -12715105075.0 / 11282082432},
    {0.0, 0.0, 0.0, 0.0},
    {0.0, 131558114200.0 / 32700410799, -68118460800.0 / 10900136933, 87487479700.0 / 32700410799},
    {0.0, -1754552775.0 / 470086768, 14199869525.0 / 1410260304, -10690763975.0 / 1880347072},
    {0.0, 127303824393.0 / 49829197408, -318862633887.0 / 49829197408, 701980252875.0 / 199316789632},
    {0.0, -282668133.0 / 205662961, 2019193451.0 / 616988883, -1453857185.0 / 822651844},
    {0.0, 40617522.0 / 29380423, -110615467.0 / 29380423, 69997945.0 / 29380423},
};

// Step-size controller: the standard h_new = h * safety * err^(-1/(q+1)) with q = 4 after an
// accepted step (Hairer, Norsett & Wanner, II.4), a more cautious 1/4 after a rejection, and
// bounds on the change so one odd estimate cannot run the step away.
constexpr double kGuard = 1e-14;  // relative to max(span, 1): closer than this to t1 counts as there
constexpr double kSafety = 0.9;
constexpr double kAcceptExponent = -0.2;
constexpr double kMinGrowth = 0.2;
constexpr double kMaxGrowth = 5.0;
constexpr double kRejectExponent = -0.25;
constexpr double kMinShrink = 0.1;
constexpr double kMaxShrink = 0.9;

// The factor of the next step size after an attempt with this error norm (accepted when <= 1).
inline double step_factor(double errnorm) {
    if (errnorm <= 1.0)
        return errnorm == 0.0 ? kMaxGrowth
                              : std::min(kMaxGrowth, std::max(kMinGrowth, kSafety * std::pow(errnorm, kAcceptExponent)));
    return std::min(kMaxShrink, std::max(kMinShrink, kSafety * std::pow(errnorm, kRejectExponent)));
}

// The dense-output stepper's control: the pair's order 5 in the starting step, and step_factor
// whatever the attempt before.
constexpr StepControl kControl{5, [](double errnorm, bool) { return step_factor(errnorm); }};

// The continuous extension at theta of the accepted step of length h from x with stages k,
// into out (n values): x + h sum_j b_j(theta) k_j, the terms in the order of j. With a stride W,
// value i of x and value (j n + i) of k sit W doubles apart: one lane of lane-major arrays.
template <std::size_t W = 1>
inline void extension_at(double theta, double h, const double* __restrict x, const double* __restrict k,
                         std::size_t n, double* __restrict out) {
    double w[kStages];
    for (int j = 0; j < kStages; ++j) {
        if (j == 1) continue;  // the second stage has no weight
        const double* p = kDense[j];
        w[j] = h * (theta * (p[0] + theta * (p[1] + theta * (p[2] + theta * p[3]))));
    }
    for (std::size_t i = 0; i < n; ++i) {
        double acc = x[i * W];
        for (int j = 0; j < kStages; ++j)
            if (j != 1) acc = acc + w[j] * k[(j * n + i) * W];
        out[i] = acc;
    }
}

// The state of stage s > 0 of every lane's step of length h[l] from x, from the derivatives k of
// the stages before it (n W values each, lane-major), into xs. The stage is a template argument
// so that its tableau row is known where the loop is compiled: no test of a zero coefficient is
// left in it, and the terms keep their order (j ascending), so the sums are the same as a loop
// over j would give.
template <int s, std::size_t W>
inline void stage_state(const double* __restrict x, const double* __restrict k, std::size_t n, const double* h,
                        double* __restrict xs) {
    static_assert(0 < s && s < kStages);
    const std::size_t nw = n * W;
    double ah[s][W];
    for (int j = 0; j < s; ++j)
        for (std::size_t l = 0; l < W; ++l) ah[j][l] = kA[s][j] * h[l];
    for (std::size_t i = 0; i < nw; i += W)
        for (std::size_t l = 0; l < W; ++l) {
            double acc = x[i + l];
            [&]<int... j>(std::integer_sequence<int, j...>) {
                ((kA[s][j] != 0.0 ? (acc = acc + ah[j][l] * k[j * nw + i + l]) : acc), ...);
            }(std::make_integer_sequence<int, s>{});
            xs[i + l] = acc;
        }
}

// stage_state of a run alone with the stage number known only at run time: the same sums; for
// the smallest states, where the unrolled and vectorised form of each stage costs more than it
// saves.
inline void stage_state(int s, const double* x, const double* k, std::size_t n, double h, double* xs) {
    double ah[kStages - 1];
    for (int j = 0; j < s; ++j) ah[j] = kA[s][j] * h;
    for (std::size_t i = 0; i < n; ++i) {
        double acc = x[i];
        for (int j = 0; j < s; ++j)
            if (kA[s][j] != 0.0) acc = acc + ah[j] * k[j * n + i];
        xs[i] = acc;
    }
}

// Calls f(std::integral_constant<int, s>{}) for s = 1 .. kStages - 1 in order: the stages after
// the first, each with its number known at compile time.
template <class F>
inline void for_later_stages(F&& f) {
    [&]<int... s>(std::integer_sequence<int, s...>) {
        (f(std::integral_constant<int, s + 1>{}), ...);
    }(std::make_integer_sequence<int, kStages - 1>{});
}

// std::fmax for operands that are magnitudes (never -0) or NaN: the same value, without the
// library call that std::fmax compiles to (x86 has no instruction with its NaN rule).
inline double fmax_of_magnitudes(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a < b ? b : a;
}

// One component's error relative to its tolerance, from its start x and its new value next.
inline double error_ratio(double x, double next, double err, double rtol, double atol) {
    const double scale = atol + rtol * fmax_of_magnitudes(std::fabs(x), std::fabs(next));
    return std::fabs(err / scale);
}

// The fifth-order solution of every lane's step into xn, and each lane's largest component error
// relative to its tolerance, over the first nc components, into errnorm; NaN components do not
// count. All arrays lane-major.
template <std::size_t W>
inline void advance_with_error(const double* __restrict x, const double* __restrict k, std::size_t n, std::size_t nc,
                               const double* h, double rtol, double atol, double* __restrict xn, double* errnorm) {
    const std::size_t nw = n * W, ncw = nc * W;
    double bh[kStages][W], eh[kStages][W];
    for (int j = 0; j < kStages; ++j)
        for (std::size_t l = 0; l < W; ++l) {
            bh[j][l] = kB[j] * h[l];
            eh[j][l] = kE[j] * h[l];
        }
    for (std::size_t l = 0; l < W; ++l) errnorm[l] = 0.0;
    for (std::size_t i = 0; i < nw; i += W)
        for (std::size_t l = 0; l < W; ++l) {
            double next = x[i + l];
            double err = 0.0;
            for (int j = 0; j < kStages; ++j) {
                if (kB[j] != 0.0) next = next + bh[j][l] * k[j * nw + i + l];
                if (kE[j] != 0.0) err = err + eh[j][l] * k[j * nw + i + l];
            }
            xn[i + l] = next;
            const double ratio = error_ratio(x[i + l], next, err, rtol, atol);
            if (i < ncw && ratio > errnorm[l]) errnorm[l] = ratio;
        }
}

// The same norms over n components when the machine code has computed the solutions xn and each
// component's error err (lane-major).
template <std::size_t W>
inline void error_norm(const double* x, const double* xn, const double* err, std::size_t n, double rtol, double atol,
                       double* errnorm) {
    for (std::size_t l = 0; l < W; ++l) errnorm[l] = 0.0;
    for (std::size_t i = 0; i < n * W; i += W)
        for (std::size_t l = 0; l < W; ++l) {
            const double ratio = error_ratio(x[i + l], xn[i + l], err[i + l], rtol, atol);
            if (ratio > errnorm[l]) errnorm[l] = ratio;
        }
}

// Writes what the compiled attempt reads into lane l of an environment of W lanes (lane-major;
// W = 1: a scalar one): the start x and the first stage's derivative k0 (n values each, `stride`
// apart), h, and each later stage's time and input as stage_input(s) leaves them in u.
// The stages written are 1 .. last, the Dormand-Prince pair's by default.
template <std::size_t W, int last = kStages - 1, class StageInput>
inline void put_attempt(const Model& model, double* env, std::size_t l, const double* x, const double* k0,
                        std::size_t stride, double h, StageInput&& stage_input, const double* u) {
    const StepLayout at = model.step_layout();
    const std::size_t n = model.n_states, m = model.n_inputs;
    for (std::size_t j = 0; j < n; ++j) {
        env[j * W + l] = x[j * stride];
        env[(at.k0() + j) * W + l] = k0[j * stride];
    }
    env[at.h() * W + l] = h;
    if (m == 0) {
        // without inputs a stage time is all there is: all of them first, from the stepper's
        // values read once, then stored
        std::array<double, last + 1> ts{};
        for (int s = 1; s <= last; ++s) ts[s] = stage_input(s);
        for (int s = 1; s <= last; ++s) env[at.stage_time(s) * W + l] = ts[s];
        return;
    }
    for (int s = 1; s <= last; ++s) {
        env[at.stage_time(s) * W + l] = stage_input(s);
        for (std::size_t j = 0; j < m; ++j) env[(at.stage_u(s) + j) * W + l] = u[j];
    }
}

// The two ways an attempt at time t ends the run: more attempts in one output interval than the
// cap, or a proposed step h below the guard.
inline Status check_attempt(std::uint64_t attempts, double h, double tiny, double t, const SolverOptions& options) {
    if (attempts > options.max_substeps)
        return fail(StepFailed{t, "more than " + std::to_string(options.max_substeps) +
                                      " adaptive substeps in one output interval"});
    if (h < tiny)
        return fail(StepFailed{t, "the adaptive step collapsed; the right-hand side may be discontinuous or stiff"});
    return {};
}

// The end of an attempt of length h_try from t with this error norm, as the interval stepper
// ends it: an infinite norm fails; an accepted attempt moves t on, takes its new state (accept())
// and counts a step, a rejected one counts a rejection; then the next step size h, and the cap on
// attempts and the collapse guard.
template <class Accept>
inline Status end_attempt(double errnorm, double h_try, double tiny, double& t, double& h, std::uint64_t& attempts,
                          Counters& counted, const SolverOptions& options, Accept&& accept) {
    if (std::isinf(errnorm)) return fail(NonFinite{"the error estimate", t});
    const double factor = step_factor(errnorm);
    if (errnorm <= 1.0) {
        t = t + h_try;
        accept();
        counted.steps += 1;
    } else {
        counted.rejected_steps += 1;
    }
    attempts += 1;
    h = factor * h_try;
    return check_attempt(attempts, h, tiny, t, options);
}

}  // namespace zarel::dormand_prince
