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
#include "rosenbrock.hpp"

namespace zarel {

using namespace rosenbrock;

namespace {

template <std::size_t W>
class RosenbrockSteps {
public:
    RosenbrockSteps(const Model& model, std::span<const double> t, const Inputs& inputs, const SolverOptions& options,
                    LaneRhs<W>& rhs, bool every_point)
        : model_(model), t_(t), inputs_(inputs), options_(options), rhs_(rhs), every_point_(every_point),
          time_dependent_(model.rhs_reads_time_or_inputs()), n_(model.n_states), nw_(checked_product(n_, W)),
          matrix_(model) {
        for (auto* v : {&x_, &k0_, &y_, &f_, &xn_, &fn_}) v->assign(nw_, 0.0);
        U_.assign(checked_product(nw_, kStages), 0.0);
        d_.assign(checked_product(nw_, 3), 0.0);
        if (time_dependent_) f_t_.assign(nw_, 0.0);
        steppers_.reserve(W);
    }

    // The next lane: its model (the group's but for its parameters), its start, its work and
    // where it records (its grid point 0 already recorded).
    void add(const Model& model, std::span<const double> x0, Work& work, double* u_rec, const RecordTarget& target) {
        const std::size_t l = steppers_.size();
        for (std::size_t i = 0; i < n_; ++i) x_[i * W + l] = x0[i];
        works_[l] = &work;
        steppers_.emplace_back(model, x_.data() + l, k0_.data() + l, W, kControl, t_, inputs_, options_, work, u_rec,
                               target, every_point_);
    }

    // Every lane to the end of the grid, or to its failure: deliver(l, status) once for each, and
    // the state where it ended in x(l).
    template <class Deliver>
    void run(Deliver&& deliver) {
        const std::size_t lanes = steppers_.size();
        Lanes<W> running{}, fresh{}, solved{}, accepted{}, extends{};
        std::array<double, W> h{}, norm{};
        bool any_running = false;
        for (std::size_t l = 0; l < lanes; ++l) {
            running[l] = !steppers_[l].done();
            fresh[l] = true;
            if (!running[l]) deliver(l, Status{});
            any_running = any_running || running[l];
        }
        while (any_running) {
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

            any_running = false;
            for (std::size_t l = 0; l < lanes; ++l) {
                if (!running[l]) continue;
                const auto extend = [&](double theta, double* out) {
                    extension_at<W>(theta, x_.data() + l, xn_.data() + l, d_.data() + l, n_, out);
                };
                const auto shift = [&] {
                    for (std::size_t i = 0; i < n_; ++i) k0_[i * W + l] = fn_[i * W + l];
                };
                Status st = steppers_[l].end(norm[l], xn_.data() + l, extend, shift);
                fresh[l] = accepted[l];
                running[l] = st && !steppers_[l].done();
                if (!running[l]) deliver(l, std::move(st));
                any_running = any_running || running[l];
            }
        }
    }

    // Lane l's state, n values W apart.
    const double* x(std::size_t l) const { return x_.data() + l; }

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
        dormand_prince::error_norm<W>(x_.data(), xn_.data(), err, n_, options_.rtol, options_.atol, norm.data());
        for (std::size_t l = 0; l < W; ++l)
            if (running[l] && !solved[l]) norm[l] = kSingular;
    }

    // The right-hand side of the lanes in `which` at states y, each at fraction c of its attempt
    // and the input there, into out.
    void evaluate(double c, const double* y, const Lanes<W>& which, double* out) {
        rhs_.stage(c, y, which, steppers_, works_, out);
    }

    const Model& model_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    LaneRhs<W>& rhs_;
    bool every_point_, time_dependent_;
    std::size_t n_, nw_;
    IterationMatrix<W> matrix_;
    // start, its derivative, a stage's state and derivative, the solution and its derivative, the
    // time derivative, the increments (kStages slots) and the extension's terms (3 slots)
    LaneArray x_, k0_, y_, f_, xn_, fn_, f_t_, U_, d_;
    std::array<double, W> h_try_{};
    std::array<Work*, W> works_{};
    std::vector<DenseStepper> steppers_;
};

template <std::size_t W>
class RosenbrockGroup {
public:
    RosenbrockGroup(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                    const Inputs& inputs, const SolverOptions& options, bool every_point)
        : model_(model), runs_(runs), t_(t), inputs_(inputs), options_(options), every_point_(every_point) {}

    void run(const DeliverLane& deliver) {
        LaneRhs<W> rhs(model_, runs_, nullptr, true);
        RosenbrockSteps<W> steps(model_, t_, inputs_, options_, rhs, every_point_);
        run_dense_group(model_, runs_, Method::Rodas5p, t_, inputs_, steps, deliver);
    }

private:
    const Model& model_;
    std::span<const LaneRun> runs_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    bool every_point_;
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
    run_in_lanes<RosenbrockGroup>(model, runs, t, inputs, options, deliver, every_point);
}

}  // namespace zarel
