// Rodas5P with dense output, for a run alone and for a group of runs in lanes: one stepper over W
// lanes, each lane a DenseStepper of its own (its step size, attempts, counters and recording),
// the stages of all running lanes evaluated and solved together. The Jacobian (and, for a model
// whose right-hand side reads time or inputs, the time derivative) is evaluated once per step at
// its start and kept through the attempts that are rejected there; I - gamma h J is factored for
// every attempt, as its h changes. A lane that has reached the end of the grid, or failed, is
// computed and ignored until every lane has.
#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <vector>

#include "checked_size.hpp"
#include "dormand_prince.hpp"
#include "iteration_matrix.hpp"
#include "lane_steppers.hpp"
#include "rosenbrock.hpp"

namespace zarel {

using namespace rosenbrock;

namespace {

template <std::size_t W>
class RosenbrockSteps : public LaneSteppers<W, DenseStepper> {
    using Base = LaneSteppers<W, DenseStepper>;
    using Base::options_, Base::rhs_, Base::n_, Base::nw_, Base::x_, Base::works_, Base::steppers_;

public:
    RosenbrockSteps(const Model& model, std::span<const double> t, const Inputs& inputs, const SolverOptions& options,
                    LaneRhs<W>& rhs, bool every_point)
        : Base(model, t, inputs, options, rhs, every_point), time_dependent_(model.rhs_reads_time_or_inputs()),
          matrix_(model, options.sensitivity_blocks) {
        for (auto* v : {&k0_, &y_, &f_, &xn_, &fn_}) v->assign(nw_, 0.0);
        U_.assign(checked_product(nw_, kStages), 0.0);
        d_.assign(checked_product(nw_, 3), 0.0);
        if (time_dependent_) f_t_.assign(nw_, 0.0);
    }

    // W > 1: the runs' parameters in their lanes, with room for the Jacobian where the factors
    // are dense.
    static LaneRhs<W> lane_rhs(const Model& model, std::span<const LaneRun> runs) {
        return LaneRhs<W>(model, runs, nullptr, true, !IterationMatrix<W>::sparse_by_size(model));
    }

    void add(const Model& model, std::span<const double> x0, Work& work, double* u_rec, const RecordTarget& target) {
        this->add_lane(model, x0, work, k0_.data(), kControl, u_rec, target);
    }

    // Every lane to the end of the grid, or to its failure: deliver(l, status) once for each, and
    // the state where it ended in x(l).
    template <class Deliver>
    void run(Deliver&& deliver) {
        const std::size_t lanes = steppers_.size();
        Lanes<W> running = this->start(deliver), fresh{}, solved{}, accepted{}, extends{};
        fresh.fill(true);
        std::array<double, W> h{}, norm{};
        while (zarel::any<W>(running)) {
            for (std::size_t l = 0; l < lanes; ++l) h[l] = running[l] ? steppers_[l].next_attempt() : 1.0;
            h_try_ = h;
            Lanes<W> refresh{};
            for (std::size_t l = 0; l < lanes; ++l) refresh[l] = running[l] && fresh[l];
            if (zarel::any<W>(refresh)) at_start(refresh);
            attempt(h, running, solved);
            error_norm(solved, running, norm);

            // the derivative at each accepted solution, the next step's first; the extension's
            // terms for an attempt that passes a grid point
            bool extending = false, accepting = false;
            for (std::size_t l = 0; l < lanes; ++l) {
                accepted[l] = running[l] && norm[l] <= 1.0;
                extends[l] = running[l] && steppers_[l].extends(norm[l]);
                extending = extending || extends[l];
                accepting = accepting || accepted[l];
            }
            if (accepting) {
                evaluate(1.0, xn_.data(), accepted, fn_.data());
                for (std::size_t l = 0; l < lanes; ++l) works_[l]->rhs_evals += accepted[l];
            }
            if (extending) extension_terms<W>(U_.data(), n_, d_.data());

            for (std::size_t l = 0; l < lanes; ++l) {
                if (!running[l]) continue;
                const auto extend = [&](double theta, double* out) {
                    extension_at<W>(theta, x_.data() + l, xn_.data() + l, d_.data() + l, n_, out);
                };
                const auto shift = [&] {
                    for (std::size_t i = 0; i < n_; ++i) k0_[i * W + l] = fn_[i * W + l];
                };
                fresh[l] = accepted[l];
                this->finish(l, norm[l], xn_.data(), extend, shift, running, deliver);
            }
        }
    }

private:
    // The Jacobian, and the time derivative where the model has one, at the start of the steps of
    // the lanes in `which`: kept through their attempts until one is accepted.
    void at_start(const Lanes<W>& which) {
        std::array<double, W> ts{};
        std::array<const double*, W> u{};
        for (std::size_t l = 0; l < W; ++l) {
            const std::size_t own = l < steppers_.size() ? l : 0;
            u[l] = works_[own]->u.data();
            if (which[l]) {
                ts[l] = steppers_[l].stage_input(0.0);
                works_[l]->jacobian_evals += 1;
            }
        }
        matrix_.evaluate(rhs_, x_.data(), ts.data(), u.data(), which);
        if (!time_dependent_) return;
        // forward difference in time over sqrt(eps max(1e-5, |t|)), as RODAS takes it, within the
        // first half of the attempt (never across a stop), the input moving with the time
        std::array<double, W> dt{};
        for (std::size_t l = 0; l < steppers_.size(); ++l) {
            if (!which[l]) continue;
            dt[l] = std::fmin(std::sqrt(DBL_EPSILON * std::fmax(1e-5, std::fabs(ts[l]))), 0.5 * h_try_[l]);
            ts[l] = steppers_[l].stage_input(dt[l] / h_try_[l]);
            works_[l]->rhs_evals += 1;
        }
        // the other lanes keep the derivative of their own step's start
        rhs_(x_.data(), ts.data(), u.data(), f_.data());
        for (std::size_t i = 0; i < nw_; i += W)
            for (std::size_t l = 0; l < W; ++l)
                if (which[l]) f_t_[i + l] = (f_[i + l] - k0_[i + l]) / dt[l];
    }

    // The stages of an attempt of length h[l] for the running lanes: their increments in U and
    // solutions in xn; `solved` clears the lanes whose iteration matrix is singular.
    void attempt(const std::array<double, W>& h, const Lanes<W>& running, Lanes<W>& solved) {
        std::array<double, W> gh{}, dh{};
        double ch[kStages - 1][W]{};
        for (std::size_t l = 0; l < W; ++l) gh[l] = kGamma * h[l];
        solved = running;
        matrix_.factor(gh, solved);
        for (std::size_t l = 0; l < steppers_.size(); ++l)
            if (running[l]) works_[l]->rhs_evals += kStages - 1;
        for (int s = 0; s < kStages; ++s) {
            for (std::size_t l = 0; l < W; ++l) {
                for (int j = 0; j < s; ++j) ch[j][l] = kC[s][j] / h[l];
                dh[l] = kD[s] * h[l];
            }
            const double* f = k0_.data();
            if (s > 0) {
                stage_state<W>(s, x_.data(), U_.data(), n_, y_.data());
                evaluate(kTime[s], y_.data(), running, f_.data());
                f = f_.data();
            }
            double* u_s = U_.data() + static_cast<std::size_t>(s) * nw_;
            stage_rhs<W>(s, f, U_.data(), time_dependent_ ? f_t_.data() : nullptr, n_, gh.data(), ch, dh.data(), u_s);
            matrix_.solve(u_s);
        }
        const double* last = U_.data() + static_cast<std::size_t>(kStages - 1) * nw_;
        for (std::size_t i = 0; i < nw_; ++i) xn_[i] = y_[i] + last[i];
    }

    // Each running lane's error norm: its last increment relative to atol + rtol max(|x|, |x_new|),
    // largest over the components; kSingular where the attempt could not be solved.
    void error_norm(const Lanes<W>& solved, const Lanes<W>& running, std::array<double, W>& norm) {
        const double* err = U_.data() + static_cast<std::size_t>(kStages - 1) * nw_;
        dormand_prince::error_norm<W>(x_.data(), xn_.data(), err, options_.controlled(n_), options_.rtol, options_.atol, norm.data());
        for (std::size_t l = 0; l < W; ++l)
            if (running[l] && !solved[l]) norm[l] = kSingular;
    }

    // The right-hand side of the lanes in `which` at states y, each at fraction c of its attempt
    // and the input there, into out.
    void evaluate(double c, const double* y, const Lanes<W>& which, double* out) {
        rhs_.stage(c, y, which, steppers_, works_, out);
    }

    bool time_dependent_;
    IterationMatrix<W> matrix_;
    // the start's derivative, a stage's state and derivative, the solution and its derivative,
    // the time derivative, the increments (kStages slots) and the extension's terms (3 slots)
    LaneArray k0_, y_, f_, xn_, fn_, f_t_, U_, d_;
    std::array<double, W> h_try_{};
};

}  // namespace

Status rodas5p_dense(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                     const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target,
                     bool every_point) {
    LaneRhs<1> rhs(model, work.scratch, nullptr);
    RosenbrockSteps<1> steps(model, t, inputs, options, rhs, every_point);
    return run_dense_alone(model, x, work, u_rec, target, steps);
}

void run_rodas5p_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                       const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver,
                       bool every_point) {
    run_in_lanes<DenseGroup<RosenbrockSteps, Method::Rodas5p>::Of>(model, runs, t, inputs, options, deliver, every_point);
}

}  // namespace zarel
