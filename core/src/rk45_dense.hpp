// rk45 with dense output, one attempt at a time: a run alone drives its attempts itself, a group
// in lanes evaluates the attempts of all its runs at once and hands each run its own.
#pragma once

#include <cstdint>
#include <span>

#include "run.hpp"

namespace zarel {

// One run from x (n_states values, overwritten) over the grid t, grid point 0 recorded. The
// caller loops while !done(): next_attempt() gives the attempt's length h with the first stage's
// derivative current in work.stages[0, n); the caller evaluates stages 1..6 at the times and
// inputs stage_input(s) gives (the input left in work.u), the fifth-order solution into xn and
// the error norm, adds the six evaluations to work.rhs_evals, and calls end().
class DenseStepper {
public:
    DenseStepper(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                 const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target);

    bool done() const { return tc_ >= t_end_; }
    double next_attempt();
    double stage_input(int s);
    // The attempt's end: the grid points it passes recorded, the state moved on and the stages
    // shifted (first same as last) when it is accepted; then the next step size and the checks.
    Status end(double errnorm, const double* xn);

private:
    void input_at(double ts);
    bool held_jump_at(std::size_t j) const;
    std::size_t next_stop() const;
    void rhs(const double* x, double ts, double* out);
    double starting_step(double t_stop);

    const Model& model_;
    double* x_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    Work& work_;
    double* u_rec_;
    const RecordTarget& target_;
    std::size_t n_, m_, L_;
    double t_end_, tiny_;
    bool x_only_;  // record() would write nothing but the state
    // the output interval [t[row], t[row + 1]) holding the start of the current step, and the
    // grid point the current step must not cross
    std::size_t row_ = 0, stop_ = 0;
    double tc_, h_, h_try_ = 0.0;
    bool landing_ = false;
    bool first_known_ = true;  // k0 holds the derivative at (tc, x) as the next step sees it
    std::size_t next_out_ = 1;
    std::uint64_t attempts_ = 0;
};

}  // namespace zarel
