// What every method that chooses its own steps keeps for a group of W runs in lanes (a run alone
// being W = 1): each lane's stepper (its step size, attempts, counters and recording) over its
// start x and the derivative k0 there, both lane-major, and its work; the start and the end of
// the loop that runs every lane to the end of its grid or to its failure. A method's steps derive
// from it and add their stages; DenseGroup runs them for a group taken in lanes.
#pragma once

#include <array>
#include <span>
#include <utility>
#include <vector>

#include "checked_size.hpp"
#include "dense_stepper.hpp"
#include "lane_arrays.hpp"
#include "lane_lu.hpp"
#include "lane_rhs.hpp"

namespace zarel {

template <std::size_t W, class Stepper>
class LaneSteppers {
public:
    // Lane l's state, n values W apart.
    const double* x(std::size_t l) const { return x_.data() + l; }

protected:
    LaneSteppers(const Model& model, std::span<const double> t, const Inputs& inputs, const SolverOptions& options,
                 LaneRhs<W>& rhs, bool every_point)
        : model_(model), t_(t), inputs_(inputs), options_(options), rhs_(rhs), every_point_(every_point),
          n_(model.n_states), nw_(checked_product(n_, W)) {
        x_.assign(nw_, 0.0);
        steppers_.reserve(W);
    }

    // The next lane, its derivative kept at k0 + l (n values W apart): its model (the group's but
    // for its parameters), its start, its work (its scratch, counters and buffers) and where it
    // records (its grid point 0 already recorded).
    void add_lane(const Model& model, std::span<const double> x0, Work& work, double* k0, StepControl control,
                  double* u_rec, const RecordTarget& target) {
        const std::size_t l = steppers_.size();
        for (std::size_t i = 0; i < n_; ++i) x_[i * W + l] = x0[i];
        works_[l] = &work;
        steppers_.emplace_back(model, x_.data() + l, k0 + l, W, control, t_, inputs_, options_, work, u_rec, target,
                               every_point_);
    }

    // The lanes that run: those not already at the end of their grid, the others delivered.
    template <class Deliver>
    Lanes<W> start(Deliver& deliver) {
        Lanes<W> running{};
        for (std::size_t l = 0; l < steppers_.size(); ++l) {
            running[l] = !steppers_[l].done();
            if (!running[l]) deliver(l, Status{});
        }
        return running;
    }

    // The end of running lane l's attempt with this error norm and solution xn + l (see the
    // stepper's end()); a lane at the end of its grid, or failed, stops running and is delivered.
    template <class Deliver, class Extend, class Shift>
    void finish(std::size_t l, double errnorm, const double* xn, Extend&& extend, Shift&& shift, Lanes<W>& running,
                Deliver& deliver) {
        Status st = steppers_[l].end(errnorm, xn + l, extend, shift);
        running[l] = st && !steppers_[l].done();
        if (!running[l]) deliver(l, std::move(st));
    }

    const Model& model_;  // the group's: its layout; each lane's stepper has its own
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    LaneRhs<W>& rhs_;
    bool every_point_;
    std::size_t n_, nw_;
    LaneArray x_;
    std::array<Work*, W> works_{};
    std::vector<Stepper> steppers_;
};

// A group of runs in the lanes of the model's packed code, each with its own work and recording,
// run by Steps<W> (a method's steps over W lanes, made from the model, the grid, the inputs, the
// options, the right-hand side Steps<W>::lane_rhs(model, runs) gives and `every_point`).
template <template <std::size_t> class Steps, Method kMethod>
struct DenseGroup {
    template <std::size_t W>
    class Of {
    public:
        Of(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
           const SolverOptions& options, bool every_point)
            : model_(model), runs_(runs), t_(t), inputs_(inputs), options_(options), every_point_(every_point) {}

        void run(const DeliverLane& deliver) {
            LaneRhs<W> rhs = Steps<W>::lane_rhs(model_, runs_);
            Steps<W> steps(model_, t_, inputs_, options_, rhs, every_point_);
            run_dense_group(model_, runs_, kMethod, t_, inputs_, steps, deliver);
        }

    private:
        const Model& model_;
        std::span<const LaneRun> runs_;
        std::span<const double> t_;
        const Inputs& inputs_;
        const SolverOptions& options_;
        bool every_point_;
    };
};

}  // namespace zarel
