// The adaptive Dormand-Prince 5(4) method over one output interval, with its step-size control.
#include <algorithm>
#include <cmath>
#include <string>

#include "dormand_prince.hpp"
#include "zarel/solver.hpp"

namespace zarel {

using namespace dormand_prince;

Status rk45_interval(const Model& model, double* x, const InputSource& input, double t0, double t1,
                     const SolverOptions& options, double& h_carry, Work& work) {
    const std::size_t n = model.n_states;
    const double span = t1 - t0;
    const double tiny = kGuard * std::fmax(std::fabs(span), 1.0);
    double h = h_carry > 0.0 ? std::min(h_carry, span) : span;
    double t = t0;
    std::uint64_t attempts = 0;

    double* k = work.stages.data();
    double* xs = work.x_stage.data();
    double* xn = work.x_next.data();
    const double* u = work.u.data();

    while (t < t1 - tiny) {
        const double h_try = t + h > t1 ? t1 - t : h;

        // All seven stages on every attempt; the last stage of an accepted step is not reused.
        for (int s = 0; s < kStages; ++s) {
            const double* stage_x = x;
            if (s > 0) {
                double ah[kStages - 1];
                for (int j = 0; j < s; ++j) ah[j] = kA[s][j] * h_try;
                for (std::size_t i = 0; i < n; ++i) {
                    double acc = x[i];
                    for (int j = 0; j < s; ++j)
                        if (kA[s][j] != 0.0) acc = acc + ah[j] * k[j * n + i];
                    xs[i] = acc;
                }
                stage_x = xs;
            }
            const double ts = t + kC[s] * h_try;
            double fraction = (ts - t0) / span;
            if (fraction < 0.0) fraction = 0.0;
            if (fraction > 1.0) fraction = 1.0;
            input(fraction, work.u);
            model.rhs_in_run(stage_x, u, ts, k + s * n, work.scratch);
        }
        work.rhs_evals += kStages;

        // Largest component error relative to its tolerance; NaN components do not count.
        double errnorm = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            double next = x[i];
            double err = 0.0;
            for (int j = 0; j < kStages; ++j) {
                if (kB[j] != 0.0) next = next + (kB[j] * h_try) * k[j * n + i];
                if (kE[j] != 0.0) err = err + (kE[j] * h_try) * k[j * n + i];
            }
            xn[i] = next;
            const double scale = options.atol + options.rtol * std::fmax(std::fabs(x[i]), std::fabs(next));
            const double ratio = std::fabs(err / scale);
            if (ratio > errnorm) errnorm = ratio;
        }
        if (std::isinf(errnorm)) return fail(NonFinite{"the error estimate", t});

        double factor;
        if (errnorm <= 1.0) {
            t = t + h_try;
            std::copy_n(xn, n, x);
            work.steps += 1;
            factor = errnorm == 0.0
                         ? kMaxGrowth
                         : std::min(kMaxGrowth, std::max(kMinGrowth, kSafety * std::pow(errnorm, kAcceptExponent)));
        } else {
            work.rejected_steps += 1;
            factor = std::min(kMaxShrink, std::max(kMinShrink, kSafety * std::pow(errnorm, kRejectExponent)));
        }

        attempts += 1;
        if (attempts > options.max_substeps)
            return fail(StepFailed{t, "more than " + std::to_string(options.max_substeps) +
                                          " adaptive substeps in one output interval"});
        h = factor * h_try;
        if (h < tiny)
            return fail(StepFailed{t, "the adaptive step collapsed; the right-hand side may be discontinuous or stiff"});
    }
    h_carry = h;
    return {};
}

}  // namespace zarel
