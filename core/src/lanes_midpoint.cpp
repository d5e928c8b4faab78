// The implicit midpoint method in lanes: every lane solves its step by its own Newton iteration
// (its own iteration count, Jacobian refreshes and factors, as NewtonSolve runs it alone), and
// the right-hand sides the lanes ask for are evaluated together by the packed code; the time and
// input of a step are the same in every lane. A lane whose iteration fails takes the step on the
// scalar path, split in halves as midpoint_recursive splits it, with the same bits; a lane that
// fails there stops with that error and the others go on.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "checked_size.hpp"
#include "lanes.hpp"
#include "midpoint.hpp"

namespace zarel {

namespace {

template <std::size_t W>
class MidpointGroup {
public:
    MidpointGroup(std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                  const SolverOptions& options)
        : runs_(runs), model_(*runs[0].model), t_(t), inputs_(inputs), options_(options), n_(model_.n_states),
          m_(model_.n_inputs), recorder_(runs, t, inputs), lanes_(runs.size()) {
        const std::size_t nw = checked_product(n_, W);
        env_.assign(checked_product(model_.env_size(), W), 0.0);
        x_.assign(nw, 0.0);
        packed_x_.assign(nw, 0.0);
        k_.assign(nw, 0.0);
        for (auto* v : {&z_, &m_lane_, &r_, &k1_, &k2_}) v->assign(nw, 0.0);
        jac_.assign(checked_product(nw, n_), 0.0);
        lu_.assign(jac_.size(), 0.0);
        pivots_.assign(nw, 0);
        u_.assign(std::max<std::size_t>(m_, 1), 0.0);
        scratch_ = Scratch::for_model(model_);
        // the parameters and the start of each lane, once; lanes beyond the group repeat lane 0's run
        put_lane_parameters(runs, W, env_);
        for (std::size_t l = 0; l < W; ++l)
            std::copy_n(runs[l < runs.size() ? l : 0].x0.begin(), n_, x_.begin() + static_cast<std::ptrdiff_t>(l * n_));
    }

    void run(const DeliverLane& deliver) {
        record(0);
        const auto lane_finite = [&](std::size_t l) { return all_finite(lane(x_, l), n_); };
        for (std::size_t i = 0; i + 1 < t_.size(); ++i) {
            step(i, deliver);
            for (std::size_t l = 0; l < runs_.size(); ++l) lanes_.counted[l].steps += lanes_.active[l];
            if (!lanes_.stop_non_finite(x_, t_[i + 1], lane_finite, deliver)) return;
            record(i + 1);
        }
        lanes_.finish(deliver);
    }

private:
    // Lane l's n values (n * n for the matrices) of a lane-contiguous array.
    double* lane(std::vector<double>& v, std::size_t l, std::size_t per = 1) { return v.data() + l * n_ * per; }

    // The packed right-hand side at the states `from` of the lanes in `wanted` (lane-contiguous),
    // the step's input and tm; into `into`, lane-contiguous.
    void rhs(const std::vector<double>& from, const std::array<bool, W>& wanted, double tm, std::vector<double>& into) {
        for (std::size_t l = 0; l < W; ++l)
            if (wanted[l])
                for (std::size_t j = 0; j < n_; ++j) env_[j * W + l] = from[l * n_ + j];
        for (std::size_t j = 0; j < m_; ++j) fill_lanes(env_.data() + (n_ + j) * W, u_[j], W);
        fill_lanes(env_.data() + (n_ + m_ + model_.n_params) * W, tm, W);
        model_.native.packed.rhs(env_.data(), k_.data(), result_.data());
        for (std::size_t l = 0; l < W; ++l)
            if (wanted[l])
                for (std::size_t j = 0; j < n_; ++j) into[l * n_ + j] = k_[j * W + l];
    }

    // midpoint_recursive over [t[i], t[i+1]] for every active lane.
    void step(std::size_t i, const DeliverLane& deliver) {
        const double t = t_[i], h = t_[i + 1] - t, hh = 0.5 * h, tm = t + hh;
        const InputSource input = InputSource::of_series(inputs_, i, m_);
        input(0.5, u_);
        std::array<bool, W> running{};
        for (std::size_t l = 0; l < runs_.size(); ++l) running[l] = lanes_.active[l];
        std::array<std::optional<NewtonSolve>, W> solves;
        rhs(x_, running, tm, k1_);
        for (std::size_t l = 0; l < runs_.size(); ++l) {
            if (!running[l]) continue;
            lanes_.counted[l].rhs_evals += 1;
            solves[l].emplace(*runs_[l].model, t, h, options_,
                              NewtonSolve::Buffers{lane(z_, l), lane(m_lane_, l), lane(r_, l), lane(jac_, l, n_),
                                                   lane(lu_, l, n_), pivots_.data() + l * n_});
            solves[l]->start(lane(x_, l), lane(k1_, l));
        }
        bool any = std::any_of(running.begin(), running.end(), [](bool b) { return b; });
        while (any) {
            rhs(m_lane_, running, tm, k2_);
            any = false;
            for (std::size_t l = 0; l < runs_.size(); ++l) {
                if (!running[l]) continue;
                lanes_.counted[l].rhs_evals += 1;
                Status failure;
                switch (solves[l]->advance(lane(x_, l), lane(k2_, l), u_.data(), lanes_.counted[l], scratch_, failure)) {
                case NewtonSolve::Next::Converged:
                    std::copy_n(lane(z_, l), n_, lane(x_, l));
                    running[l] = false;
                    break;
                case NewtonSolve::Next::Failed:
                    running[l] = false;
                    split(l, input, t, hh, deliver);
                    break;
                case NewtonSolve::Next::Evaluate: any = true; break;
                }
            }
        }
    }

    // The rest of midpoint_recursive after a failed solve at depth 0, on the scalar path: the
    // state is still the step's start; two halves, each split further if it must be.
    void split(std::size_t l, const InputSource& input, double t, double hh, const DeliverLane& deliver) {
        const Model& model = *runs_[l].model;
        if (!alone_) alone_.emplace(Work::for_run(model, Method::Midpoint, nullptr));
        Work& work = *alone_;
        work.scratch.params = model.params.data();
        model.fill_params(work.scratch);
        static_cast<Counters&>(work) = Counters{};
        work.rejected_steps += 1;
        double* x = lane(x_, l);
        Status st = midpoint_recursive(model, x, input, t, hh, options_, work, 1);
        if (st) st = midpoint_recursive(model, x, input, t + hh, hh, options_, work, 1);
        Counters& c = lanes_.counted[l];
        c.rhs_evals += work.rhs_evals;
        c.newton_iterations += work.newton_iterations;
        c.jacobian_evals += work.jacobian_evals;
        c.rejected_steps += work.rejected_steps;
        if (!st) lanes_.stop(l, std::move(st), deliver);
    }

    void record(std::size_t k) {
        for (std::size_t l = 0; l < W; ++l)
            for (std::size_t j = 0; j < n_; ++j) packed_x_[j * W + l] = x_[l * n_ + j];
        recorder_.record(k, packed_x_.data(), lanes_.active);
    }

    std::span<const LaneRun> runs_;
    const Model& model_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    std::size_t n_, m_;
    LaneRecorder recorder_;
    // env_, k_ and packed_x_ lane-major, as the packed code reads them; the rest lane-contiguous
    LaneArray env_, k_;
    std::vector<double> packed_x_, x_, z_, m_lane_, r_, k1_, k2_, jac_, lu_, u_;
    std::vector<std::size_t> pivots_;
    std::array<double, W> result_{};
    Scratch scratch_;
    std::optional<Work> alone_;  // for the lanes that take a step on the scalar path
    LaneOutcomes lanes_;
};

}  // namespace

void run_midpoint_group(std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                        const SolverOptions& options, const DeliverLane& deliver) {
    run_in_lanes<MidpointGroup>(runs, t, inputs, options, deliver);
}

}  // namespace zarel
