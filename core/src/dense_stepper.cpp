// The bookkeeping of a pair's dense-output steps: grid, stops, stage inputs, the starting step,
// the run's place on the grid and the checks after each attempt.
#include "dense_stepper.hpp"

#include "dormand_prince.hpp"

namespace zarel {

using dormand_prince::kGuard;

namespace {

// Root mean square of v / (atol + rtol |x|), the norm of the starting-step estimate; the values of
// v are `v_stride` apart, those of x `x_stride`.
double rms_scaled(const double* v, std::size_t v_stride, const double* x, std::size_t x_stride, std::size_t n,
                  const SolverOptions& options) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = v[i * v_stride] / (options.atol + options.rtol * std::fabs(x[i * x_stride]));
        sum += r * r;
    }
    return std::sqrt(sum / static_cast<double>(n));
}

}  // namespace

// The input at stage time ts of a step starting in `row`, through the interval that holds it; a
// stage on a grid point belongs to the interval it ends (the step's own side of a jump of a held
// input).
void DenseStepper::input_at(double ts) {
    // without a series every input is zero, as the run's work holds it from the start
    if (m_ == 0 || !inputs_.present()) return;
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
// of the grid (or the next point, with every_point). Steps never cross one, so the order is not
// lost at the jump.
std::size_t DenseStepper::next_stop() const {
    if (every_point_) return row_ + 1;
    if (m_ > 0 && inputs_.present() && inputs_.interp == Interp::Hold)
        for (std::size_t j = row_ + 1; j + 1 < L_; ++j)
            if (held_jump_at(j)) return j;
    return L_ - 1;
}

// The right-hand side at (x, ts) into out, both n values `stride` apart; a lane's values pass
// through contiguous copies.
void DenseStepper::rhs(const double* x, double ts, double* out) {
    input_at(ts);
    if (stride_ == 1) {
        model_.rhs_in_run(x, work_.u.data(), ts, out, work_.scratch);
    } else {
        for (std::size_t i = 0; i < n_; ++i) lane_[i] = x[i * stride_];
        model_.rhs_in_run(lane_.data(), work_.u.data(), ts, work_.x_next.data(), work_.scratch);
        for (std::size_t i = 0; i < n_; ++i) out[i * stride_] = work_.x_next[i];
    }
    work_.rhs_evals += 1;
}

// The first step by Hairer, Norsett & Wanner's starting-step algorithm (II.4): one explicit Euler
// trial step, one more evaluation; f0 (the derivative at the start) is in k0 and stays there as
// the first stage. The result never passes the first stop.
double DenseStepper::starting_step(double t_stop) {
    const std::size_t n = n_, s = stride_;
    const double* x = x_;
    const double t0 = tc_;
    const double* k = k0_;
    double* x1 = work_.x_stage.data();
    double* f1 = work_.x_next.data();
    const double span = t_stop - t0;
    // the norms cover the states the error control covers
    const std::size_t nc = options_.controlled(n);
    if (nc == 0) return span;
    const double d0 = rms_scaled(x, s, x, s, nc, options_);
    const double d1 = rms_scaled(k, s, x, s, nc, options_);
    double h0 = (d0 < 1e-5 || d1 < 1e-5) ? 1e-6 : 0.01 * d0 / d1;
    if (!(h0 <= span)) h0 = span;  // also a NaN from a zero tolerance
    for (std::size_t i = 0; i < n; ++i) x1[i] = x[i * s] + h0 * k[i * s];
    input_at(t0 + h0);
    model_.rhs_in_run(x1, work_.u.data(), t0 + h0, f1, work_.scratch);
    work_.rhs_evals += 1;
    for (std::size_t i = 0; i < n; ++i) x1[i] = f1[i] - k[i * s];
    const double d2 = rms_scaled(x1, 1, x, s, nc, options_) / h0;
    const double d = std::fmax(d1, d2);
    const double h1 = d <= 1e-15 ? std::fmax(1e-6, h0 * 1e-3) : std::pow(0.01 / d, 1.0 / control_.order);
    const double h = std::fmin(100 * h0, h1);
    return h > 0.0 ? h : span;
}

DenseStepper::DenseStepper(const Model& model, double* x, double* k0, std::size_t stride, StepControl control,
                           std::span<const double> t, const Inputs& inputs, const SolverOptions& options, Work& work,
                           double* u_rec, const RecordTarget& target, bool every_point)
    : model_(model), x_(x), k0_(k0), stride_(stride), control_(control), t_(t), inputs_(inputs), options_(options),
      work_(work), u_rec_(u_rec), target_(target), n_(model.n_states), m_(model.n_inputs), L_(t.size()),
      t_end_(t[t.size() - 1]), tiny_(kGuard * std::fmax(std::fabs(t_end_), std::fabs(t[0]))),
      x_only_(!target.x.empty() && target.u.empty() && target.energy.empty() && target.supplied_power.empty() &&
              target.outputs.empty()),
      every_point_(every_point), tc_(t[0]), lane_(stride == 1 ? 0 : n_) {
    stop_ = next_stop();
    rhs(x_, tc_, k0_);
    // The starting step is an estimate: it never starts below what the collapse guard allows,
    // so only the error control can make a run collapse (a span of 1e12 would otherwise start
    // below its guard of 1e-2 on dx/dt = 1).
    const Work::StepCarry& carried = work.carry;
    if (carried.on && carried.h > 0.0) {
        h_ = carried.h;
        rejected_ = carried.rejected;
        h_accepted_ = carried.h_accepted;
        err_accepted_ = carried.err_accepted;
        return;
    }
    h_ = std::fmax(starting_step(t_[stop_]), 100 * collapse_guard());
}

double DenseStepper::next_attempt() {
    const double t_stop = t_[stop_];
    landing_ = tc_ + h_ >= t_stop;
    h_try_ = landing_ ? t_stop - tc_ : h_;
    if (!first_known_) rhs(x_, tc_, k0_);
    first_known_ = true;
    return h_try_;
}

// a step ending within the guard of its stop ends on it
double DenseStepper::step_end() const {
    const double t_stop = t_[stop_];
    return landing_ || t_stop - (tc_ + h_try_) <= tiny_ ? t_stop : tc_ + h_try_;
}

bool DenseStepper::extends(double errnorm) const {
    if (!(errnorm <= 1.0) || next_out_ >= L_) return false;
    return t_[next_out_] < step_end();
}

const double* DenseStepper::contiguous(const double* v) {
    if (stride_ == 1) return v;
    for (std::size_t i = 0; i < n_; ++i) lane_[i] = v[i * stride_];
    return lane_.data();
}

void DenseStepper::move_to(double t_new) {
    const double t_stop = t_[stop_];
    tc_ = t_new;
    while (row_ + 2 < L_ && t_[row_ + 1] <= tc_) ++row_;
    if (tc_ == t_stop && stop_ + 1 < L_) {
        // across a jump of the held input the step's last stage saw the old value
        if (!every_point_ || (m_ > 0 && inputs_.present() && inputs_.interp == Interp::Hold && held_jump_at(stop_)))
            first_known_ = false;
        stop_ = next_stop();
    }
}

double DenseStepper::collapse_guard() const { return control_.guard_by_time ? kGuard * std::fabs(tc_) : tiny_; }

Status DenseStepper::check_attempt() const {
    return dormand_prince::check_attempt(attempts_, h_, collapse_guard(), tc_, options_);
}

}  // namespace zarel
