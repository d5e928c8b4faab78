// rk45 with dense output: steps chosen by the error control alone, the grid saying only where to
// report, the values there from the pair's continuous extension.
#include "rk45_dense.hpp"

#include <algorithm>
#include <cmath>

#include "dormand_prince.hpp"

namespace zarel {

using namespace dormand_prince;

namespace {

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

}  // namespace

// The input at stage time ts of a step starting in `row`, through the interval that holds it; a
// stage on a grid point belongs to the interval it ends (the step's own side of a jump of a held
// input).
void DenseStepper::input_at(double ts) {
    if (m_ == 0) return;
    std::size_t r = row_;
    while (r + 2 < L_ && t_[r + 1] < ts) ++r;
    double fraction = (ts - t_[r]) / (t_[r + 1] - t_[r]);
    if (fraction < 0.0) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    inputs_.at(r, m_, work_.u.data(), work_.u.size(), fraction);
}

// Whether the held input changes at grid point j (0 < j < L - 1).
bool DenseStepper::held_jump_at(std::size_t j) const {
    const double* a = inputs_.data + (j - 1) * m_;
    const double* b = a + m_;
    for (std::size_t i = 0; i < m_; ++i)
        if (!(a[i] == b[i])) return true;
    return false;
}

// The first grid point after t[row] where a step must end: a jump of the held input, or the end
// of the grid. Steps never cross one, so the order is not lost at the jump.
std::size_t DenseStepper::next_stop() const {
    if (m_ > 0 && inputs_.present() && inputs_.interp == Interp::Hold)
        for (std::size_t j = row_ + 1; j + 1 < L_; ++j)
            if (held_jump_at(j)) return j;
    return L_ - 1;
}

void DenseStepper::rhs(const double* x, double ts, double* out) {
    input_at(ts);
    model_.rhs_in_run(x, work_.u.data(), ts, out, work_.scratch);
    work_.rhs_evals += 1;
}

// The first step by Hairer, Norsett & Wanner's starting-step algorithm (II.4): one explicit Euler
// trial step, one more evaluation; f0 (the derivative at the start) is in k0 and stays there as
// the first stage. The result never passes the first stop.
double DenseStepper::starting_step(double t_stop) {
    const std::size_t n = n_;
    const double* x = x_;
    const double t0 = tc_;
    double* k = work_.stages.data();
    double* x1 = work_.x_stage.data();
    double* f1 = k + n;
    const double span = t_stop - t0;
    if (n == 0) return span;
    const double d0 = rms_scaled(x, x, n, options_);
    const double d1 = rms_scaled(k, x, n, options_);
    double h0 = (d0 < 1e-5 || d1 < 1e-5) ? 1e-6 : 0.01 * d0 / d1;
    if (!(h0 <= span)) h0 = span;  // also a NaN from a zero tolerance
    for (std::size_t i = 0; i < n; ++i) x1[i] = x[i] + h0 * k[i];
    rhs(x1, t0 + h0, f1);
    for (std::size_t i = 0; i < n; ++i) x1[i] = f1[i] - k[i];
    const double d2 = rms_scaled(x1, x, n, options_) / h0;
    const double d = std::fmax(d1, d2);
    const double h1 = d <= 1e-15 ? std::fmax(1e-6, h0 * 1e-3) : std::pow(0.01 / d, 1.0 / 5);
    const double h = std::fmin(100 * h0, h1);
    return h > 0.0 ? h : span;
}

DenseStepper::DenseStepper(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                           const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target)
    : model_(model), x_(x), t_(t), inputs_(inputs), options_(options), work_(work), u_rec_(u_rec), target_(target),
      n_(model.n_states), m_(model.n_inputs), L_(t.size()), t_end_(t[t.size() - 1]),
      tiny_(kGuard * std::fmax(std::fabs(t_end_ - t[0]), 1.0)),
      x_only_(!target.x.empty() && target.u.empty() && target.energy.empty() && target.supplied_power.empty() &&
              target.outputs.empty()),
      tc_(t[0]) {
    stop_ = next_stop();
    rhs(x_, tc_, work_.stages.data());
    // The starting step is an estimate: it never starts below what the collapse guard allows,
    // so only the error control can make a run collapse (a span of 1e12 would otherwise start
    // below its guard of 1e-2 on dx/dt = 1).
    h_ = std::fmax(starting_step(t_[stop_]), 100 * tiny_);
}

double DenseStepper::next_attempt() {
    const double t_stop = t_[stop_];
    landing_ = tc_ + h_ >= t_stop;
    h_try_ = landing_ ? t_stop - tc_ : h_;
    if (!first_known_) rhs(x_, tc_, work_.stages.data());
    first_known_ = true;
    return h_try_;
}

double DenseStepper::stage_input(int s) {
    // landing, the last stages sit on the stop itself, on the step's side of it
    const double ts = landing_ && kC[s] == 1.0 ? t_[stop_] : tc_ + kC[s] * h_try_;
    input_at(ts);
    return ts;
}

// The cap of max_substeps attempts (accepted and rejected) applies to each output interval: the
// count starts again whenever a step reaches a grid point. Failures carry the rk45 interval's
// messages and times.
Status DenseStepper::end(double errnorm, const double* xn) {
    if (std::isinf(errnorm)) return fail(NonFinite{"the error estimate", tc_});
    const std::size_t n = n_;
    const double* k = work_.stages.data();
    double* xs = work_.x_stage.data();
    const double t_stop = t_[stop_];
    const double factor = step_factor(errnorm);
    if (errnorm <= 1.0) {
        // a step ending within the guard of its stop ends on it
        const double t_new = landing_ || t_stop - (tc_ + h_try_) <= tiny_ ? t_stop : tc_ + h_try_;
        work_.steps += 1;
        // Grid points inside the step from the continuous extension, one on its end as is.
        const bool reported = next_out_ < L_ && t_[next_out_] <= t_new;
        for (; next_out_ < L_ && t_[next_out_] <= t_new; ++next_out_) {
            // only the state recorded: the point goes straight into its row
            double* row = x_only_ ? target_.x.data() + next_out_ * n : xs;
            const double* at = xn;
            if (t_[next_out_] != t_new) {
                extension_at((t_[next_out_] - tc_) / h_try_, h_try_, x_, k, n, row);
                at = row;
            }
            if (!all_finite(at, n)) return fail(NonFinite{"the state", t_[next_out_]});
            if (!x_only_)
                record(model_, inputs_, t_, next_out_, at, u_rec_, target_, work_.scratch, work_.out.data());
            else if (at != row)
                std::copy_n(at, n, row);
        }
        std::copy_n(xn, n, x_);
        // first same as last: stage 7 is the derivative at the new point
        std::copy_n(k + 6 * n, n, work_.stages.data());
        tc_ = t_new;
        while (row_ + 2 < L_ && t_[row_ + 1] <= tc_) ++row_;
        if (tc_ == t_stop && stop_ + 1 < L_) {
            // across a jump of the held input the step's last stage saw the old value
            first_known_ = false;
            stop_ = next_stop();
        }
        if (reported) attempts_ = 0;
        if (tc_ >= t_end_) return {};
    } else {
        work_.rejected_steps += 1;
    }
    attempts_ += 1;
    h_ = factor * h_try_;
    return check_attempt(attempts_, h_, tiny_, tc_, options_);
}

Status rk45_dense(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                  const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target) {
    const std::size_t n = model.n_states;
    double* k = work.stages.data();
    double* xs = work.x_stage.data();
    const double* u = work.u.data();
    // the later stages in machine code, when the model has it: the solution and the error's
    // terms land after the stages
    const NativeFn compiled = model.native_rhs ? nullptr : model.native.dp_stages;
    double* xn = compiled ? k + kStages * n : work.x_next.data();
    DenseStepper run(model, x, t, inputs, options, work, u_rec, target);
    while (!run.done()) {
        const double h = run.next_attempt();
        const auto stage_input = [&](int s) { return run.stage_input(s); };
        const auto evaluate = [&](int s) { model.rhs_in_run(xs, u, stage_input(s), k + s * n, work.scratch); };
        double errnorm = 0.0;
        if (compiled) {
            errnorm = compiled_attempt(compiled, model, x, k, h, stage_input, u, work.scratch.env.data(), options);
        } else {
            if (n <= 2) {
                for (int s = 1; s < kStages; ++s) {
                    stage_state(s, x, k, n, h, xs);
                    evaluate(s);
                }
            } else {
                for_later_stages([&](auto stage) {
                    stage_state<stage()>(x, k, n, h, xs);
                    evaluate(stage());
                });
            }
            errnorm = advance_with_error(x, k, n, h, options.rtol, options.atol, xn);
        }
        work.rhs_evals += kStages - 1;
        if (auto st = run.end(errnorm, xn); !st) return st;
    }
    return {};
}

}  // namespace zarel
