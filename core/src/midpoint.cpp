// The implicit midpoint rule, solved by modified Newton iteration with LU factors and split into
// halves when the iteration fails, for a run alone and for a group of runs in lanes. The solve is
// written once over W lanes of lane-major arrays (value j of lane l at [j W + l], matrix entry
// (i, j) at [(i n + j) W + l]; W = 1 is a run alone), each lane's operations in the same order
// whatever W, so a lane's bits are those of its run alone: the lanes' divisions of the LU factors
// and solves are independent instructions side by side rather than one lane's chain after
// another's. Each lane pivots on its own rows and converges on its own; the lanes still solving
// share the iteration count (all start a step together and advance once per round), so they
// refresh the Jacobian together. A lane of a group whose iteration fails takes the step alone,
// split in halves as midpoint_recursive splits it.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "checked_size.hpp"
#include "lane_lu.hpp"
#include "lane_rhs.hpp"
#include "zarel/solver.hpp"

namespace zarel {

namespace {

// The buffers of one solve: z, m, r, k1 and k2 hold n W values, jac and lu n n W, pivots n W.
struct NewtonArrays {
    double *z, *m, *r, *k1, *k2, *jac, *lu;
    std::size_t* pivots;
};

// Solves z = x + h f((x + z)/2, u, tm), tm = t + h/2, for the lanes in `running`, starting from
// the explicit Euler guess (the predictor is evaluated at the mid time but at the start state).
// The Jacobian at m and its factors are refreshed at the first update and before every fourth
// one after it. A lane that converges gets z in x (n W values); one that fails is handed to
// failed(l, why) at the end of the round where it failed, in the order of the lanes. Counts into
// counted[l].
template <std::size_t W, class Failed>
void newton_solve(const Model& model, LaneRhs<W>& rhs, const NewtonArrays& b, double* x, double t, double h,
                  const double* u, const SolverOptions& options, Lanes<W> running,
                  const std::array<Counters*, W>& counted, Failed&& failed) {
    const std::size_t n = model.n_states, nw = n * W;
    const double hh = 0.5 * h;
    std::array<double, W> tm;
    std::array<const double*, W> us;
    tm.fill(t + hh);
    us.fill(u);
    const auto count = [&](std::uint64_t Counters::*counter) {
        for (std::size_t l = 0; l < W; ++l)
            if (running[l]) counted[l]->*counter += 1;
    };
    rhs(x, tm.data(), us.data(), b.k1);
    count(&Counters::rhs_evals);
    for (std::size_t j = 0; j < nw; ++j) b.z[j] = b.k1[j] * h + x[j];
    for (std::size_t j = 0; j < nw; ++j) b.m[j] = (x[j] + b.z[j]) * 0.5;
    for (std::uint64_t k = 0; any(running); ++k) {
        rhs(b.m, tm.data(), us.data(), b.k2);
        count(&Counters::rhs_evals);
        for (std::size_t j = 0; j < nw; ++j) b.r[j] = (b.z[j] - x[j]) - b.k2[j] * h;
        const std::array<double, W> rnorm = max_abs<W>(b.r, n), zmax = max_abs<W>(b.z, n);
        std::array<Status, W> why;
        for (std::size_t l = 0; l < W; ++l) {
            if (!running[l]) continue;
            const double tol = (zmax[l] + 1.0) * options.newton_tol;
            if (std::isinf(rnorm[l])) {
                why[l] = fail(NonFinite{"the Newton residual", t});
            } else if (rnorm[l] <= tol) {
                for (std::size_t j = 0; j < n; ++j) x[j * W + l] = b.z[j * W + l];
            } else if (k == options.max_newton) {
                why[l] = fail(StepFailed{t, "Newton residual " + format_exponent(rnorm[l], 3) + " after " +
                                                std::to_string(k) + " iterations (tolerance " +
                                                format_exponent(options.newton_tol, 1) +
                                                "); reduce the step or use rk45"});
            } else {
                continue;
            }
            running[l] = false;
        }
        if (any(running) && (k == 0 || k % 4 == 3)) {
            rhs.jacobian(b.m, tm.data(), us.data(), running, b.jac);
            count(&Counters::jacobian_evals);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    for (std::size_t l = 0; l < W; ++l) {
                        const std::size_t e = (i * n + j) * W + l;
                        b.lu[e] = (i == j ? 1.0 : 0.0) - b.jac[e] * hh;
                    }
            const Lanes<W> factoring = running;
            lu_factor<W>(b.lu, b.pivots, n, running);
            for (std::size_t l = 0; l < W; ++l)
                if (factoring[l] && !running[l])
                    why[l] = fail(StepFailed{t, "the Newton iteration matrix is singular"});
        }
        if (any(running)) {
            lu_solve<W>(b.lu, b.pivots, b.r, n);
            for (std::size_t j = 0; j < nw; ++j) b.z[j] = b.z[j] - b.r[j];
            for (std::size_t j = 0; j < nw; ++j) b.m[j] = (x[j] + b.z[j]) * 0.5;
            count(&Counters::newton_iterations);
        }
        for (std::size_t l = 0; l < W; ++l)
            if (!why[l]) failed(l, std::move(why[l]));
    }
}

// The solve of a run alone, on its work's buffers: on success x holds z.
Status solve_alone(const Model& model, double* x, double t, double h, const SolverOptions& options, Work& work) {
    LaneRhs<1> rhs(model, work.scratch, nullptr);
    const NewtonArrays b{work.x_stage.data(), work.x_next.data(), work.resid.data(),       work.k1.data(),
                         work.k2.data(),      work.jac.data(),    work.iter_matrix.data(), work.pivots.data()};
    Status solved;
    newton_solve<1>(model, rhs, b, x, t, h, work.u.data(), options, {true}, {&work},
                    [&](std::size_t, Status&& why) { solved = std::move(why); });
    return solved;
}

}  // namespace

Status midpoint_recursive(const Model& model, double* x, const InputSource& input, double t, double h,
                          const SolverOptions& options, Work& work, int depth) {
    const std::size_t n = model.n_states;
    const double hh = 0.5 * h;
    const double tm = t + hh;
    // kept so that a failed step can be retried in halves from where it began
    double* x0 = depth <= kMidpointSplitDepth ? work.saved.data() + static_cast<std::size_t>(depth) * n : nullptr;
    if (x0) std::copy_n(x, n, x0);

    // Every half-step asks for fraction 0.5 again, so all of them see the interval's midpoint input.
    input(0.5, work.u);
    Status solved = solve_alone(model, x, t, h, options, work);
    if (solved || !x0) return solved;

    // The failure of this level is dropped: what reaches the caller comes from the deepest level.
    std::copy_n(x0, n, x);
    work.rejected_steps += 1;
    if (Status first = midpoint_recursive(model, x, input, t, hh, options, work, depth + 1); !first) return first;
    return midpoint_recursive(model, x, input, tm, hh, options, work, depth + 1);
}

namespace {

// A group of runs in the lanes of the model's packed code, stepping together over the grid; the
// time and input of a step are the same in every lane.
template <std::size_t W>
class MidpointGroup {
public:
    MidpointGroup(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                  const Inputs& inputs, const SolverOptions& options)
        : runs_(runs), model_(model), t_(t), inputs_(inputs), options_(options), n_(model_.n_states),
          rhs_(model_, runs, nullptr, true), recorder_(model, runs, t, inputs), lanes_(runs.size()) {
        const std::size_t nw = checked_product(n_, W);
        for (auto* v : {&x_, &z_, &m_, &r_, &k1_, &k2_}) v->assign(nw, 0.0);
        for (auto* v : {&jac_, &lu_}) v->assign(checked_product(nw, n_), 0.0);
        pivots_.assign(nw, 0);
        lane_x_.assign(n_, 0.0);
        u_.assign(std::max<std::size_t>(model_.n_inputs, 1), 0.0);
        for (std::size_t l = 0; l < runs.size(); ++l) counted_[l] = &lanes_.counted[l];
        // the start of each lane; lanes beyond the group repeat lane 0's run
        put_lane_starts(model_, runs, W, x_);
    }

    void run(const DeliverLane& deliver) {
        recorder_.record(0, x_.data(), lanes_.active);
        const auto lane_finite = [&](std::size_t l) { return all_finite(x_.data() + l, n_, W); };
        for (std::size_t i = 0; i + 1 < t_.size(); ++i) {
            step(i, deliver);
            for (std::size_t l = 0; l < runs_.size(); ++l) lanes_.counted[l].steps += lanes_.active[l];
            if (!lanes_.stop_non_finite(x_, W, t_[i + 1], lane_finite, deliver)) return;
            recorder_.record(i + 1, x_.data(), lanes_.active);
        }
        lanes_.finish(deliver);
    }

private:
    // midpoint_recursive over [t[i], t[i+1]] for every active lane.
    void step(std::size_t i, const DeliverLane& deliver) {
        const double t = t_[i], h = t_[i + 1] - t;
        const InputSource input = InputSource::of_series(inputs_, i, model_.n_inputs);
        input(0.5, u_);
        Lanes<W> running{};
        for (std::size_t l = 0; l < runs_.size(); ++l) running[l] = lanes_.active[l];
        const NewtonArrays b{z_.data(), m_.data(), r_.data(), k1_.data(), k2_.data(), jac_.data(), lu_.data(),
                             pivots_.data()};
        // the failure of the whole step is dropped, as midpoint_recursive drops it at depth 0
        newton_solve<W>(model_, rhs_, b, x_.data(), t, h, u_.data(), options_, running, counted_,
                        [&](std::size_t l, Status&&) { split(l, input, t, 0.5 * h, deliver); });
    }

    // The rest of midpoint_recursive after a failed solve at depth 0, on the scalar path: the
    // state is still the step's start; two halves, each split further if it must be. A lane that
    // fails there stops with that error and the others go on.
    void split(std::size_t l, const InputSource& input, double t, double hh, const DeliverLane& deliver) {
        const Model& model = model_;
        if (!alone_) alone_.emplace(Work::for_run(model, Method::Midpoint, nullptr));
        Work& work = *alone_;
        work.scratch.params = runs_[l].own_params();
        model.fill_params(work.scratch);
        static_cast<Counters&>(work) = Counters{};
        work.rejected_steps += 1;
        for (std::size_t j = 0; j < n_; ++j) lane_x_[j] = x_[j * W + l];
        double* x = lane_x_.data();
        Status st = midpoint_recursive(model, x, input, t, hh, options_, work, 1);
        if (st) st = midpoint_recursive(model, x, input, t + hh, hh, options_, work, 1);
        for (std::size_t j = 0; j < n_; ++j) x_[j * W + l] = lane_x_[j];
        Counters& c = lanes_.counted[l];
        c.rhs_evals += work.rhs_evals;
        c.newton_iterations += work.newton_iterations;
        c.jacobian_evals += work.jacobian_evals;
        c.rejected_steps += work.rejected_steps;
        if (!st) lanes_.stop(l, std::move(st), deliver);
    }

    std::span<const LaneRun> runs_;
    const Model& model_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    std::size_t n_;
    LaneRhs<W> rhs_;
    LaneRecorder recorder_;
    LaneArray x_, z_, m_, r_, k1_, k2_, jac_, lu_;
    std::vector<std::size_t> pivots_;
    std::vector<double> lane_x_, u_;  // one lane's state, and the step's input
    std::optional<Work> alone_;       // for the lanes that take a step on the scalar path
    LaneOutcomes lanes_;
    std::array<Counters*, W> counted_{};
};

}  // namespace

void run_midpoint_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                        const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver) {
    run_in_lanes<MidpointGroup>(model, runs, t, inputs, options, deliver);
}

}  // namespace zarel
