// rk45 with dense output: steps chosen by the error control alone, the grid saying only where to
// report, the values there from the pair's continuous extension.
#include <algorithm>
#include <cmath>

#include "dormand_prince.hpp"
#include "run.hpp"

namespace zarel {

using namespace dormand_prince;

namespace {

// A run's fixed companions, and where it stands on the grid.
struct DenseRun {
    const Model& model;
    std::span<const double> t;
    const Inputs& inputs;
    Work& work;
    std::size_t n, m, L;
    // the output interval [t[row], t[row + 1]) holding the start of the current step
    std::size_t row = 0;

    // The input at stage time ts of a step starting in `row`, through the interval that holds
    // it; a stage on a grid point belongs to the interval it ends (the step's own side of a
    // jump of a held input).
    void input_at(double ts) {
        if (m == 0) return;
        std::size_t r = row;
        while (r + 2 < L && t[r + 1] < ts) ++r;
        double fraction = (ts - t[r]) / (t[r + 1] - t[r]);
        if (fraction < 0.0) fraction = 0.0;
        if (fraction > 1.0) fraction = 1.0;
        inputs.at(r, m, work.u.data(), work.u.size(), fraction);
    }

    // Whether the held input changes at grid point j (0 < j < L - 1).
    bool held_jump_at(std::size_t j) const {
        const double* a = inputs.data + (j - 1) * m;
        const double* b = a + m;
        for (std::size_t i = 0; i < m; ++i)
            if (!(a[i] == b[i])) return true;
        return false;
    }

    // The first grid point after t[row] where a step must end: a jump of the held input, or the
    // end of the grid. Steps never cross one, so the order is not lost at the jump.
    std::size_t next_stop() const {
        if (m > 0 && inputs.present() && inputs.interp == Interp::Hold)
            for (std::size_t j = row + 1; j + 1 < L; ++j)
                if (held_jump_at(j)) return j;
        return L - 1;
    }

    void rhs(const double* x, double ts, double* out) {
        input_at(ts);
        model.rhs_in_run(x, work.u.data(), ts, out, work.scratch);
        work.rhs_evals += 1;
    }
};

// The continuous extension at theta of the accepted step of length h from x with stages k,
// into out: x + h sum_j b_j(theta) k_j, the terms in the order of j.
void extension_at(double theta, double h, const double* __restrict x, const double* __restrict k, std::size_t n,
                  double* __restrict out) {
    double w[kStages];
    for (int j = 0; j < kStages; ++j) {
        if (j == 1) continue;  // the second stage has no weight
        const double* p = kDense[j];
        w[j] = h * (theta * (p[0] + theta * (p[1] + theta * (p[2] + theta * p[3]))));
    }
    for (std::size_t i = 0; i < n; ++i) {
        double acc = x[i];
        for (int j = 0; j < kStages; ++j)
            if (j != 1) acc = acc + w[j] * k[j * n + i];
        out[i] = acc;
    }
}

// Root mean square of v / (atol + rtol |x|), the norm of the starting-step estimate.
double rms_scaled(const double* v, const double* x, std::size_t n, const SolverOptions& options) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = v[i] / (options.atol + options.rtol * std::fabs(x[i]));
        sum += r * r;
    }
    return std::sqrt(sum / static_cast<double>(n));
}

// The first step by Hairer, Norsett & Wanner's starting-step algorithm (II.4): one explicit Euler
// trial step, one more evaluation; f0 (the derivative at the start) is in k0 and stays there as
// the first stage. The result never passes the first stop.
double starting_step(DenseRun& run, const double* x, double t0, double t_stop, const SolverOptions& options) {
    const std::size_t n = run.n;
    double* k = run.work.stages.data();
    double* x1 = run.work.x_stage.data();
    double* f1 = k + n;
    const double span = t_stop - t0;
    if (n == 0) return span;
    const double d0 = rms_scaled(x, x, n, options);
    const double d1 = rms_scaled(k, x, n, options);
    double h0 = (d0 < 1e-5 || d1 < 1e-5) ? 1e-6 : 0.01 * d0 / d1;
    if (!(h0 <= span)) h0 = span;  // also a NaN from a zero tolerance
    for (std::size_t i = 0; i < n; ++i) x1[i] = x[i] + h0 * k[i];
    run.rhs(x1, t0 + h0, f1);
    for (std::size_t i = 0; i < n; ++i) x1[i] = f1[i] - k[i];
    const double d2 = rms_scaled(x1, x, n, options) / h0;
    const double d = std::fmax(d1, d2);
    const double h1 = d <= 1e-15 ? std::fmax(1e-6, h0 * 1e-3) : std::pow(0.01 / d, 1.0 / 5);
    const double h = std::fmin(100 * h0, h1);
    return h > 0.0 ? h : span;
}

}  // namespace

// The cap of max_substeps attempts (accepted and rejected) applies to each output interval: the
// count starts again whenever a step reaches a grid point. Failures carry the rk45 interval's
// messages and times.
Status rk45_dense(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                  const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target) {
    DenseRun run{model, t, inputs, work, model.n_states, model.n_inputs, t.size()};
    const std::size_t n = run.n;
    const std::size_t L = run.L;
    const double t_end = t[L - 1];
    const double tiny = kGuard * std::fmax(std::fabs(t_end - t[0]), 1.0);

    double* k = work.stages.data();
    double* xs = work.x_stage.data();
    const double* u = work.u.data();
    // the later stages in machine code, when the model has it: the solution and the error's
    // terms land after the stages
    const NativeFn compiled = model.native_rhs ? nullptr : model.native.dp_stages;
    double* xn = compiled ? k + kStages * n : work.x_next.data();

    // record() would write nothing but the state (and u_rec, which no one then reads)
    const bool x_only = !target.x.empty() && target.u.empty() && target.energy.empty() &&
                        target.supplied_power.empty() && target.outputs.empty();

    std::size_t stop = run.next_stop();
    double tc = t[0];
    run.rhs(x, tc, k);
    // The starting step is an estimate: it never starts below what the collapse guard allows,
    // so only the error control can make a run collapse (a span of 1e12 would otherwise start
    // below its guard of 1e-2 on dx/dt = 1).
    double h = std::fmax(starting_step(run, x, tc, t[stop], options), 100 * tiny);
    bool first_known = true;  // k0 holds the derivative at (tc, x) as the next step sees it
    std::size_t next_out = 1;
    std::uint64_t attempts = 0;

    while (tc < t_end) {
        const double t_stop = t[stop];
        const bool landing = tc + h >= t_stop;
        const double h_try = landing ? t_stop - tc : h;

        if (!first_known) run.rhs(x, tc, k);
        first_known = true;
        auto stage_input = [&](int s) {
            // landing, the last stages sit on the stop itself, on the step's side of it
            const double ts = landing && kC[s] == 1.0 ? t_stop : tc + kC[s] * h_try;
            run.input_at(ts);
            return ts;
        };
        auto evaluate = [&](int s) { model.rhs_in_run(xs, u, stage_input(s), k + s * n, work.scratch); };
        double errnorm = 0.0;
        if (compiled) {
            errnorm = compiled_attempt(compiled, model, x, k, h_try, stage_input, u, work.scratch.env.data(), options);
        } else {
            if (n <= 2) {
                for (int s = 1; s < kStages; ++s) {
                    stage_state(s, x, k, n, h_try, xs);
                    evaluate(s);
                }
            } else {
                for_later_stages([&](auto stage) {
                    stage_state<stage()>(x, k, n, h_try, xs);
                    evaluate(stage());
                });
            }
            errnorm = advance_with_error(x, k, n, h_try, options.rtol, options.atol, xn);
        }
        work.rhs_evals += kStages - 1;

        if (std::isinf(errnorm)) return fail(NonFinite{"the error estimate", tc});

        const double factor = step_factor(errnorm);
        if (errnorm <= 1.0) {
            // a step ending within the guard of its stop ends on it
            const double t_new = landing || t_stop - (tc + h_try) <= tiny ? t_stop : tc + h_try;
            work.steps += 1;
            // Grid points inside the step from the continuous extension, one on its end as is.
            const bool reported = next_out < L && t[next_out] <= t_new;
            for (; next_out < L && t[next_out] <= t_new; ++next_out) {
                // only the state recorded: the point goes straight into its row
                double* row = x_only ? target.x.data() + next_out * n : xs;
                const double* at = xn;
                if (t[next_out] != t_new) {
                    extension_at((t[next_out] - tc) / h_try, h_try, x, k, n, row);
                    at = row;
                }
                if (!all_finite(at, n)) return fail(NonFinite{"the state", t[next_out]});
                if (!x_only)
                    record(model, inputs, t, next_out, at, u_rec, target, work.scratch, work.out.data());
                else if (at != row)
                    std::copy_n(at, n, row);
            }
            std::copy_n(xn, n, x);
            // first same as last: stage 7 is the derivative at the new point
            std::copy_n(k + 6 * n, n, k);
            tc = t_new;
            while (run.row + 2 < L && t[run.row + 1] <= tc) ++run.row;
            if (tc == t_stop && stop + 1 < L) {
                // across a jump of the held input the step's last stage saw the old value
                first_known = false;
                stop = run.next_stop();
            }
            if (reported) attempts = 0;
            if (tc >= t_end) break;
        } else {
            work.rejected_steps += 1;
        }

        attempts += 1;
        h = factor * h_try;
        if (auto st = check_attempt(attempts, h, tiny, tc, options); !st) return st;
    }
    return {};
}

}  // namespace zarel
