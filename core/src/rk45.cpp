// rk45, the adaptive Dormand-Prince 5(4) pair, for a run alone and for a group of runs in lanes:
// one stepper over W lanes, each lane with bookkeeping of its own (its step size, attempts,
// counters and recording): a DenseStepper for dense output, an IntervalStepper for steps that end
// on every grid point. The stages of all running lanes are evaluated together, by the model's
// compiled attempt where it has one; a lane that has reached the end of the grid, or failed, is
// computed and ignored until every lane has.
#include <algorithm>
#include <array>
#include <vector>

#include "checked_size.hpp"
#include "dormand_prince.hpp"
#include "interval_stepper.hpp"
#include "lane_rhs.hpp"

namespace zarel {

using namespace dormand_prince;

namespace {

// Where an attempt's results sit among the lane-major stage arrays, after the seven stages: the
// fifth-order solution and the error's terms (as the compiled attempt writes them, out being
// stage 1).
constexpr int kSolution = kStages, kError = kStages + 1, kSlots = kStages + 2;

template <std::size_t W, class Stepper>
class Rk45Steps {
public:
    Rk45Steps(const Model& model, const SolverOptions& options, LaneRhs<W>& rhs)
        : model_(model), options_(options), rhs_(rhs), n_(model.n_states), nw_(checked_product(n_, W)) {
        x_.assign(nw_, 0.0);
        xs_.assign(nw_, 0.0);
        if (W > 1) k_ = own_stages();
        steppers_.reserve(W);
    }

    // The next lane from x0 with its work (its scratch, counters and buffers): its stepper made by
    // make(x, k0, stride) on its lane of the state and first stage, once they hold its start.
    template <class Make>
    void add(std::span<const double> x0, Work& work, Make&& make) {
        const std::size_t l = steppers_.size();
        // a run alone keeps its stages in its work, which is sized for them
        if (W == 1) k_ = work.stages.size() >= nw_ * kSlots ? work.stages.data() : own_stages();
        for (std::size_t i = 0; i < n_; ++i) x_[i * W + l] = x0[i];
        works_[l] = &work;
        steppers_.push_back(make(x_.data() + l, k_ + l, W));
    }

    // Every lane to the end of the grid, or to its failure: deliver(l, status) once for each, and
    // the state where it ended in x(l).
    template <class Deliver>
    void run(Deliver&& deliver) {
        const std::size_t lanes = steppers_.size();
        std::array<bool, W> running{};
        std::array<double, W> h{}, norm{};
        bool any = false;
        for (std::size_t l = 0; l < lanes; ++l) {
            running[l] = !steppers_[l].done();
            if (!running[l]) deliver(l, Status{});
            any = any || running[l];
        }
        double* xn = stage(kSolution);
        while (any) {
            for (std::size_t l = 0; l < lanes; ++l) h[l] = running[l] ? steppers_[l].next_attempt() : 0.0;
            if constexpr (Stepper::kFreshFirst) evaluate(0, x_.data(), running);
            if (rhs_.compiled()) {
                // the six later stages in machine code: they land in their places, the solution
                // and the error's terms after them
                for (std::size_t l = 0; l < lanes; ++l) {
                    if (!running[l]) continue;
                    const auto stage_input = [&](int s) { return steppers_[l].stage_input(kC[s]); };
                    put_attempt<W>(model_, rhs_.env(), l, x_.data() + l, k_ + l, W, h[l], stage_input,
                                   works_[l]->u.data());
                }
                rhs_.attempt(stage(1));
                error_norm<W>(x_.data(), xn, stage(kError), options_.controlled(n_), options_.rtol, options_.atol, norm.data());
            } else {
                if (W == 1 && n_ <= 2) {
                    for (int s = 1; s < kStages; ++s) {
                        stage_state(s, x_.data(), k_, n_, h[0], xs_.data());
                        evaluate(s, xs_.data(), running);
                    }
                } else {
                    for_later_stages([&](auto s) {
                        stage_state<s(), W>(x_.data(), k_, n_, h.data(), xs_.data());
                        evaluate(s(), xs_.data(), running);
                    });
                }
                advance_with_error<W>(x_.data(), k_, n_, options_.controlled(n_), h.data(), options_.rtol, options_.atol, xn,
                                      norm.data());
            }
            any = false;
            for (std::size_t l = 0; l < lanes; ++l) {
                if (!running[l]) continue;
                works_[l]->rhs_evals += Stepper::kFreshFirst ? kStages : kStages - 1;
                const auto extend = [&](double theta, double* out) {
                    extension_at<W>(theta, h[l], x_.data() + l, k_ + l, n_, out);
                };
                // first same as last: the last stage is the derivative at the new point
                const auto shift = [&] {
                    for (std::size_t i = 0; i < n_; ++i) k_[i * W + l] = k_[(kStages - 1) * nw_ + i * W + l];
                };
                Status st = steppers_[l].end(norm[l], xn + l, extend, shift);
                running[l] = st && !steppers_[l].done();
                if (!running[l]) deliver(l, std::move(st));
                any = any || running[l];
            }
        }
    }

    // Lane l's state, n values W apart, and its stepper.
    const double* x(std::size_t l) const { return x_.data() + l; }
    const Stepper& lane(std::size_t l) const { return steppers_[l]; }

private:
    double* stage(int s) { return k_ + static_cast<std::size_t>(s) * nw_; }
    double* own_stages() {
        own_k_.assign(checked_product(nw_, kSlots), 0.0);
        return own_k_.data();
    }

    // Stage s of the lanes in `which` from their states xs, each at its own stage time and input.
    void evaluate(int s, const double* xs, const std::array<bool, W>& which) {
        rhs_.stage(kC[s], xs, which, steppers_, works_, stage(s));
    }

    const Model& model_;  // the group's: its layout; each lane's stepper has its own
    const SolverOptions& options_;
    LaneRhs<W>& rhs_;
    std::size_t n_, nw_;
    // the stages, then the solution and the error's terms (kSlots slots of n W values)
    LaneArray x_, xs_, own_k_;
    double* k_ = nullptr;  // the run's work's stages (a run alone), else own_k_
    std::array<Work*, W> works_{};
    std::vector<Stepper> steppers_;
};

// The stepper of a run from x with first stage k0 (n values `stride` apart): dense output, or
// steps ending on every grid point.
auto dense_stepper(const Model& model, std::span<const double> t, const Inputs& inputs, const SolverOptions& options,
                   Work& work, double* u_rec, const RecordTarget& target) {
    return [&model, t, &inputs, &options, &work, u_rec, &target](double* x, double* k0, std::size_t stride) {
        return DenseStepper(model, x, k0, stride, kControl, t, inputs, options, work, u_rec, target);
    };
}
auto interval_stepper(const Model& model, std::span<const double> t, const Inputs& inputs,
                      const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target,
                      double h_carry = 0.0, const InputSource* only = nullptr) {
    return [&model, t, &inputs, &options, &work, u_rec, &target, h_carry, only](double* x, double*,
                                                                                 std::size_t stride) {
        return IntervalStepper(model, x, stride, t, inputs, options, work, u_rec, target, h_carry, only);
    };
}

// One run alone, W = 1 on the run's own scratch, from x (overwritten by where it ended); after()
// sees its stepper at the end.
template <class Stepper, class Make, class After>
Status run_alone(const Model& model, double* x, const SolverOptions& options, Work& work, Make&& make,
                 After&& after) {
    LaneRhs<1> rhs(model, work.scratch, model.native.dp_stages);
    Rk45Steps<1, Stepper> steps(model, options, rhs);
    steps.add({x, model.n_states}, work, make);
    Status status;
    steps.run([&](std::size_t, Status&& st) { status = std::move(st); });
    std::copy_n(steps.x(0), model.n_states, x);
    after(steps.lane(0));
    return status;
}

// A group of runs in the lanes of the model's packed code, each with its own work and recording.
template <std::size_t W>
class Rk45Group {
public:
    Rk45Group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
              const SolverOptions& options, bool dense)
        : model_(model), runs_(runs), t_(t), inputs_(inputs), options_(options), dense_(dense) {}

    void run(const DeliverLane& deliver) {
        if (dense_) return run_with<DenseStepper>(deliver, [&](const Model& m, Work& w, double* u, RecordTarget& r) {
            return dense_stepper(m, t_, inputs_, options_, w, u, r);
        });
        run_with<IntervalStepper>(deliver, [&](const Model& m, Work& w, double* u, RecordTarget& r) {
            return interval_stepper(m, t_, inputs_, options_, w, u, r);
        });
    }

private:
    template <class Stepper, class Maker>
    void run_with(const DeliverLane& deliver, Maker&& maker) {
        LaneRhs<W> rhs(model_, runs_, model_.native.packed.dp_stages);
        Rk45Steps<W, Stepper> steps(model_, options_, rhs);
        DenseLanes lanes(model_, runs_, Method::Rk45, t_, inputs_);
        for (std::size_t l = 0; l < runs_.size(); ++l)
            steps.add(runs_[l].x0, lanes.works[l],
                      maker(model_, lanes.works[l], lanes.u_rec[l].data(), lanes.states[l]));
        steps.run([&](std::size_t l, Status&& st) { lanes.deliver(l, std::move(st), deliver); });
    }

    const Model& model_;
    std::span<const LaneRun> runs_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    bool dense_;
};

}  // namespace

Status rk45_run(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target, bool dense) {
    const auto nothing = [](const auto&) {};
    if (dense)
        return run_alone<DenseStepper>(model, x, options, work,
                                       dense_stepper(model, t, inputs, options, work, u_rec, target), nothing);
    return run_alone<IntervalStepper>(model, x, options, work,
                                      interval_stepper(model, t, inputs, options, work, u_rec, target), nothing);
}

Status rk45_interval(const Model& model, double* x, const InputSource& input, double t0, double t1,
                     const SolverOptions& options, double& h_carry, Work& work) {
    const double grid[] = {t0, t1};
    const Inputs none;
    const RecordTarget nowhere{};
    return run_alone<IntervalStepper>(
        model, x, options, work, interval_stepper(model, grid, none, options, work, nullptr, nowhere, h_carry, &input),
        [&](const IntervalStepper& s) { h_carry = s.h_carry(); });
}

void run_rk45_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                    const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver, bool dense) {
    run_in_lanes<Rk45Group>(model, runs, t, inputs, options, deliver, dense);
}

}  // namespace zarel
