// The bookkeeping of rk45's steps over each output interval in turn.
#include "interval_stepper.hpp"

#include <algorithm>
#include <cmath>

namespace zarel {

IntervalStepper::IntervalStepper(const Model& model, double* x, std::size_t stride, std::span<const double> t,
                                 const Inputs& inputs, const SolverOptions& options, Work& work, double* u_rec,
                                 const RecordTarget& target, double h_carry, const InputSource* only)
    : model_(model), x_(x), stride_(stride), t_(t), inputs_(inputs), options_(options), work_(work), u_rec_(u_rec),
      target_(target), only_(only), n_(model.n_states), m_(model.n_inputs),
      x_only_(!target.x.empty() && target.u.empty() && target.energy.empty() && target.supplied_power.empty() &&
              target.outputs.empty()),
      h_(h_carry > 0.0 || !work.carry.on ? h_carry : work.carry.h), lane_(stride == 1 ? 0 : n_) {
    begin(0);
    // the start is finite (the callers check it), so the points of intervals too short to step
    // are recorded without fail
    static_cast<void>(reach_points());
}

// The interval from grid point `row` begins: its input, its guard, and the step carried into it.
void IntervalStepper::begin(std::size_t row) {
    row_ = row;
    t0_ = t_[row];
    t1_ = t_[row + 1];
    span_ = t1_ - t0_;
    tiny_ = dormand_prince::kGuard * std::fmax(std::fabs(span_), 1.0);
    input_ = only_ ? *only_ : InputSource::of_series(inputs_, row, model_.n_inputs);
    h_ = h_ > 0.0 ? std::min(h_, span_) : span_;
    tc_ = t0_;
    attempts_ = 0;
}

double IntervalStepper::next_attempt() {
    h_try_ = tc_ + h_ > t1_ ? t1_ - tc_ : h_;
    return h_try_;
}

// The input at stage time ts: at its fraction of the interval, clamped to it.
void IntervalStepper::input_at(double ts) {
    double fraction = (ts - t0_) / span_;
    if (fraction < 0.0) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    input_(fraction, work_.u);
}

// Every interval whose end the step has reached (closer than the guard counts as there): its end
// point checked and recorded, and the next interval begun.
Status IntervalStepper::reach_points() {
    while (!(tc_ < t1_ - tiny_)) {
        const std::size_t k = row_ + 1;
        if (u_rec_) {
            const double* at = x_;
            if (stride_ != 1) {
                for (std::size_t i = 0; i < n_; ++i) lane_[i] = x_[i * stride_];
                at = lane_.data();
            }
            if (!all_finite(at, n_)) return fail(NonFinite{"the state", t_[k]});
            if (x_only_) {
                std::copy_n(at, n_, target_.x.data() + k * n_);
            } else {
                record(model_, inputs_, t_, k, at, u_rec_, target_, work_.scratch, work_.out.data());
            }
        }
        if (k + 1 >= t_.size()) {
            row_ = k;
            if (work_.carry.on) work_.carry.h = h_;  // the step the next interval would start from
            return {};
        }
        begin(k);
    }
    return {};
}

}  // namespace zarel
