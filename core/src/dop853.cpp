// dop853 with dense output, for a run alone and for a group of runs in lanes: one stepper over W
// lanes, each lane a DenseStepper of its own (its step size, attempts, counters and recording),
// the stages of all running lanes evaluated together. A lane that has reached the end of the grid,
// or failed, is computed and ignored until every lane has.
#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "checked_size.hpp"
#include "dop853.hpp"
#include "lane_steppers.hpp"

namespace zarel {

using namespace dop853;

namespace {

template <std::size_t W>
class Dop853Steps : public LaneSteppers<W, DenseStepper> {
    using Base = LaneSteppers<W, DenseStepper>;
    using Base::model_, Base::options_, Base::rhs_, Base::n_, Base::nw_, Base::x_, Base::works_, Base::steppers_;

public:
    Dop853Steps(const Model& model, std::span<const double> t, const Inputs& inputs, const SolverOptions& options,
                LaneRhs<W>& rhs, bool every_point = false)
        : Base(model, t, inputs, options, rhs, every_point) {
        xs_.assign(nw_, 0.0);
        k_.assign(checked_product(nw_, kSlots), 0.0);
        r_.assign(checked_product(nw_, 7), 0.0);
    }

    // W > 1: the runs' parameters in their lanes, and the packed code of the whole attempt.
    static LaneRhs<W> lane_rhs(const Model& model, std::span<const LaneRun> runs) {
        return LaneRhs<W>(model, runs, model.native.packed.dop853_stages);
    }

    void add(const Model& model, std::span<const double> x0, Work& work, double* u_rec, const RecordTarget& target) {
        this->add_lane(model, x0, work, k_.data(), kControl, u_rec, target);
    }

    // Every lane to the end of the grid, or to its failure: deliver(l, status) once for each, and
    // the state where it ended in x(l).
    template <class Deliver>
    void run(Deliver&& deliver) {
        const std::size_t lanes = steppers_.size();
        std::array<bool, W> running = this->start(deliver), extends{};
        std::array<double, W> h{}, norm{};
        while (zarel::any<W>(running)) {
            for (std::size_t l = 0; l < lanes; ++l) h[l] = running[l] ? steppers_[l].next_attempt() : 0.0;
            double* xn = stage(kSolution);
            if (rhs_.compiled()) {
                // the whole attempt in machine code: the stages land in their places, the solution
                // and the error sums after the extension's
                for (std::size_t l = 0; l < lanes; ++l) {
                    if (!running[l]) continue;
                    const auto stage_input = [&](int s) { return steppers_[l].stage_input(kC[s]); };
                    dormand_prince::put_attempt<W, kFsal>(model_, rhs_.env(), l, x_.data() + l, k_.data() + l, W,
                                                          h[l], stage_input, works_[l]->u.data());
                }
                rhs_.attempt(stage(1));
            } else {
                for_stages<1, kFsal>([&](auto s) {
                    stage_state<s(), W>(x_.data(), k_.data(), n_, h.data(), xs_.data());
                    evaluate(s(), xs_.data(), running);
                });
                stage_state<kFsal, W>(x_.data(), k_.data(), n_, h.data(), xn);
                evaluate(kFsal, xn, running);
                error_sums<W>(k_.data(), n_, stage(kError5), stage(kError3));
            }
            error_norms<W>(x_.data(), xn, stage(kError5), stage(kError3), options_.controlled(n_), h.data(), options_.rtol, options_.atol,
                           norm.data());
            bool extending = false;
            for (std::size_t l = 0; l < lanes; ++l) {
                extends[l] = running[l] && steppers_[l].extends(norm[l]);
                if (!running[l]) continue;
                works_[l]->rhs_evals += kStages;
                extending = extending || extends[l];
            }
            // the extension's three stages, only for an attempt that passes a grid point
            if (extending) {
                for_stages<kFsal + 1, kAllStages>([&](auto s) {
                    stage_state<s(), W>(x_.data(), k_.data(), n_, h.data(), xs_.data());
                    evaluate(s(), xs_.data(), extends);
                });
                extension_terms<W>(x_.data(), xn, k_.data(), n_, h.data(), r_.data());
                for (std::size_t l = 0; l < lanes; ++l)
                    if (extends[l]) works_[l]->rhs_evals += kAllStages - kFsal - 1;
            }
            for (std::size_t l = 0; l < lanes; ++l) {
                if (!running[l]) continue;
                const auto extend = [&](double theta, double* out) {
                    extension_at<W>(theta, x_.data() + l, r_.data() + l, n_, out);
                };
                const auto shift = [&] {
                    for (std::size_t i = 0; i < n_; ++i) k_[i * W + l] = k_[kFsal * nw_ + i * W + l];
                };
                this->finish(l, norm[l], xn, extend, shift, running, deliver);
            }
        }
    }

private:
    double* stage(int s) { return k_.data() + static_cast<std::size_t>(s) * nw_; }

    // Stage s of the lanes in `which` from their states xs, each at its own stage time and input.
    void evaluate(int s, const double* xs, const std::array<bool, W>& which) {
        rhs_.stage(kC[s], xs, which, steppers_, works_, stage(s));
    }

    // a stage's state; the stages, then the solution and the error sums (kSlots slots of n W
    // values); the extension's terms
    LaneArray xs_, k_, r_;
};

}  // namespace

Status dop853_dense(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                    const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target,
                    bool every_point) {
    LaneRhs<1> rhs(model, work.scratch, model.native.dop853_stages);
    Dop853Steps<1> steps(model, t, inputs, options, rhs, every_point);
    return run_dense_alone(model, x, work, u_rec, target, steps);
}

void run_dop853_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                      const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver,
                      bool every_point) {
    run_in_lanes<DenseGroup<Dop853Steps, Method::Dop853>::Of>(model, runs, t, inputs, options, deliver, every_point);
}

}  // namespace zarel
