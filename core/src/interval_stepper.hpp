// Steps of the Dormand-Prince pair that end on every grid point: each output interval integrated
// in turn, the step size carried from one interval to the next, all seven stages evaluated on
// every attempt (the first included: no first same as last), each stage's input taken at its
// fraction of the interval. The same calls as DenseStepper, so one stepper runs either.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dormand_prince.hpp"
#include "run.hpp"

namespace zarel {

class IntervalStepper {
public:
    // The first stage of every attempt is the caller's to evaluate, at stage_input(0).
    static constexpr bool kFreshFirst = true;

    // One run from x over the grid t, grid point 0 recorded by the caller; x holds n values
    // `stride` apart. Each grid point reached is checked and recorded into target with u_rec;
    // with no u_rec, neither (the caller's own, as one interval's step does). `only`: the input
    // of every interval, instead of the series' rows; h_carry: the step size the first interval
    // starts from (0: the one work.carry holds where it is on, else the interval's length). Where
    // work.carry is on, the run leaves its next step size there.
    IntervalStepper(const Model& model, double* x, std::size_t stride, std::span<const double> t, const Inputs& inputs,
                    const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target,
                    double h_carry = 0.0, const InputSource* only = nullptr);

    bool done() const { return row_ + 1 >= t_.size(); }
    double next_attempt();
    // The time of the stage at fraction c of the attempt, its input left in work.u.
    double stage_input(double c) {
        const double ts = tc_ + c * h_try_;
        if (m_ > 0) input_at(ts);
        return ts;
    }
    bool extends(double) const { return false; }

    // The attempt's end: the state moved on to xn (n values `stride` apart) when it is accepted,
    // the next step size and the checks, and the grid points reached recorded.
    template <class Extend, class Shift>
    Status end(double errnorm, const double* xn, Extend&&, Shift&&) {
        const auto accept = [&] {
            for (std::size_t i = 0; i < n_; ++i) x_[i * stride_] = xn[i * stride_];
        };
        if (auto st = dormand_prince::end_attempt(errnorm, h_try_, tiny_, tc_, h_, attempts_, work_, options_, accept);
            !st)
            return st;
        return reach_points();
    }

    // The step size the next interval would start from.
    double h_carry() const { return h_; }

private:
    void begin(std::size_t row);
    void input_at(double ts);
    Status reach_points();

    const Model& model_;
    double* x_;
    std::size_t stride_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    Work& work_;
    double* u_rec_;
    const RecordTarget& target_;
    const InputSource* only_;
    std::size_t n_, m_;
    bool x_only_;  // record() would write nothing but the state
    InputSource input_;
    // the interval [t0, t1) being integrated, row of the grid, and the step's place in it
    std::size_t row_ = 0;
    double t0_ = 0.0, t1_ = 0.0, span_ = 0.0, tiny_ = 0.0, tc_ = 0.0, h_, h_try_ = 0.0;
    std::uint64_t attempts_ = 0;
    std::vector<double> lane_;  // a lane's values gathered, n of them
};

}  // namespace zarel
