// Steps of an explicit pair with dense output, one attempt at a time: the grid, its stops, the
// inputs at each stage, the acceptance of an attempt, the grid points it passes and the step-size
// control, for any pair (rk45, dop853) and for a run alone or one lane of a group, whose attempts
// the group evaluates for all its lanes at once.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "run.hpp"

namespace zarel {

// How a pair sizes its steps: the order in the starting step's estimate (h ~ tol^(1/order)),
// and the factor of the next step size after an attempt with a given error norm (accepted when
// <= 1), knowing whether the attempt before it was rejected.
struct StepControl {
    int order;
    double (*factor)(double errnorm, bool after_rejection);
    // Whether a step collapses below a guard relative to the time it starts from rather than to
    // the whole span: a stiff run over a long span (kinetics to t = 1e11) takes short steps early.
    bool guard_by_time = false;
    // Gustafsson's predictive control, where set: after an accepted attempt of length h with error
    // norm err, following one of length h_prev with (at least 1e-2) err_prev, the next step is at
    // most predict(err, h / h_prev, err_prev) times h.
    double (*predict)(double errnorm, double h_ratio, double err_prev) = nullptr;
};

// One run from x over the grid t, grid point 0 recorded by the caller; with `every_point` every
// grid point is a stop that steps end on, else only the jumps of a held input and the end. x and k0 (the derivative at
// the start of the step, kept current by the stepper) hold n values `stride` apart: the run's own
// arrays (stride 1) or one lane of lane-major arrays. The caller loops while !done():
// next_attempt() gives the attempt's length h with k0 current; the caller evaluates the pair's
// stages at the times and inputs stage_input(c) gives (the input left in work.u), adds those
// evaluations to work.rhs_evals, and calls end() with the error norm and the new state.
class DenseStepper {
public:
    // The first stage of an attempt is the stepper's own (first same as last).
    static constexpr bool kFreshFirst = false;

    DenseStepper(const Model& model, double* x, double* k0, std::size_t stride, StepControl control,
                 std::span<const double> t, const Inputs& inputs, const SolverOptions& options, Work& work,
                 double* u_rec, const RecordTarget& target, bool every_point = false);

    bool done() const { return tc_ >= t_end_; }
    double next_attempt();
    // The time of the stage at fraction c of the attempt, its input left in work.u.
    double stage_input(double c) {
        // landing, the last stages sit on the stop itself, on the step's side of it
        const double ts = landing_ && c == 1.0 ? t_[stop_] : tc_ + c * h_try_;
        if (m_ > 0 && inputs_.present()) input_at(ts);
        return ts;
    }
    // Whether end() with this error norm will ask for the continuous extension: an accepted attempt
    // that passes a grid point before its end.
    bool extends(double errnorm) const;

    // The attempt's end: the grid points it passes recorded (extend(theta, out) writing the
    // continuous extension at fraction theta of the attempt into out, n values), the state moved on
    // to xn (n values `stride` apart) and shift() making the derivative at xn the next step's
    // first (first same as last) when it is accepted; then the next step size and the checks.
    // The cap of max_substeps attempts (accepted and rejected) applies to each output interval:
    // the count starts again whenever a step reaches a grid point. Failures carry the rk45
    // interval's messages and times.
    template <class Extend, class Shift>
    Status end(double errnorm, const double* xn, Extend&& extend, Shift&& shift) {
        if (std::isinf(errnorm)) return fail(NonFinite{"the error estimate", tc_});
        double factor = control_.factor(errnorm, rejected_);
        if (control_.predict && errnorm <= 1.0) {
            if (h_accepted_ > 0.0)
                factor = std::fmin(factor, control_.predict(errnorm, h_try_ / h_accepted_, err_accepted_));
            h_accepted_ = h_try_;
            err_accepted_ = std::fmax(1e-2, errnorm);
        }
        rejected_ = !(errnorm <= 1.0);
        if (!rejected_) {
            const double t_new = step_end();
            work_.steps += 1;
            const bool reported = next_out_ < L_ && t_[next_out_] <= t_new;
            // Grid points inside the step from the continuous extension, one on its end as is.
            const double* at_end = contiguous(xn);
            for (; next_out_ < L_ && t_[next_out_] <= t_new; ++next_out_) {
                // only the state recorded: the point goes straight into its row
                double* row = x_only_ ? target_.x.data() + next_out_ * n_ : work_.x_stage.data();
                const double* at = at_end;
                if (t_[next_out_] != t_new) {
                    extend((t_[next_out_] - tc_) / h_try_, row);
                    at = row;
                }
                if (!all_finite(at, n_)) return fail(NonFinite{"the state", t_[next_out_]});
                if (!x_only_)
                    record(model_, inputs_, t_, next_out_, at, u_rec_, target_, work_.scratch, work_.out.data());
                else if (at != row)
                    std::copy_n(at, n_, row);
            }
            for (std::size_t i = 0; i < n_; ++i) x_[i * stride_] = xn[i * stride_];
            shift();
            move_to(t_new);
            if (reported) attempts_ = 0;
            if (tc_ >= t_end_) {
                // the step the run would take next, had its grid gone on
                if (work_.carry.on) work_.carry = {true, rejected_, factor * h_try_, h_accepted_, err_accepted_};
                return {};
            }
        } else {
            work_.rejected_steps += 1;
        }
        attempts_ += 1;
        h_ = factor * h_try_;
        return check_attempt();
    }

private:
    void input_at(double ts);
    bool held_jump_at(std::size_t j) const;
    std::size_t next_stop() const;
    void rhs(const double* x, double ts, double* out);
    double starting_step(double t_stop);
    double step_end() const;
    // The new state as n contiguous values: xn itself for a run's own arrays, else a copy.
    const double* contiguous(const double* v);
    // Moves the step's start to t_new, and past the stop it reaches.
    void move_to(double t_new);
    Status check_attempt() const;
    // the step size below which a step has collapsed
    double collapse_guard() const;

    const Model& model_;
    double* x_;
    double* k0_;
    std::size_t stride_;
    StepControl control_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    Work& work_;
    double* u_rec_;
    const RecordTarget& target_;
    std::size_t n_, m_, L_;
    // closer than tiny_ to a stop counts as there: kGuard relative to the grid's largest time, so
    // a span of nanoseconds (a circuit in SI units) lands no step early
    double t_end_, tiny_;
    bool x_only_;  // record() would write nothing but the state
    bool every_point_;
    // the output interval [t[row], t[row + 1]) holding the start of the current step, and the
    // grid point the current step must not cross
    std::size_t row_ = 0, stop_ = 0;
    double tc_, h_, h_try_ = 0.0;
    bool landing_ = false;
    bool first_known_ = true;  // k0 holds the derivative at (tc, x) as the next step sees it
    bool rejected_ = false;    // the last attempt was rejected
    double h_accepted_ = 0.0, err_accepted_ = 0.0;  // the last accepted attempt, for `predict`
    std::size_t next_out_ = 1;
    std::uint64_t attempts_ = 0;
    std::vector<double> lane_;  // a lane's values gathered, n of them (strided runs only)
};

}  // namespace zarel
