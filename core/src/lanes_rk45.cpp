// rk45 in lanes: each lane a run of rk45_interval over every output interval, with its own step
// size, time, attempts and counters; every attempt of the group evaluates its seven stages by
// the packed right-hand side for all lanes at once, each lane at its own stage time and input.
// A lane that has reached the end of the interval waits (its lanes of the stage arrays are
// computed and ignored) until every lane has; a lane that fails stops with rk45_interval's error
// and the others go on. The stage sums and the error estimate are the single run's own
// functions, on one lane of the lane-major arrays, so each lane computes its run's bits.
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "checked_size.hpp"
#include "dormand_prince.hpp"
#include "lanes.hpp"
#include "dense_stepper.hpp"

namespace zarel {

using namespace dormand_prince;

namespace {

template <std::size_t W>
class Rk45Group {
public:
    Rk45Group(std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
              const SolverOptions& options)
        : runs_(runs), model_(*runs[0].model), t_(t), inputs_(inputs), options_(options), n_(model_.n_states),
          m_(model_.n_inputs), recorder_(runs, t, inputs), lanes_(runs.size()) {
        env_.assign(checked_product(model_.scratch_size(), W), 0.0);
        x_.assign(checked_product(n_, W), 0.0);
        xs_.assign(x_.size(), 0.0);
        xn_.assign(x_.size(), 0.0);
        // the stages, then where the packed code for an attempt writes the solution and the error
        k_.assign(checked_product(x_.size(), kStages + 2), 0.0);
        u_.assign(std::max<std::size_t>(m_, 1), 0.0);
        // the parameters and the start of each lane, once; lanes beyond the group repeat lane 0's run
        put_lane_parameters(runs, W, env_);
        put_lane_starts(runs, W, x_);
    }

    void run(const DeliverLane& deliver) {
        recorder_.record(0, x_.data(), lanes_.active);
        const auto lane_finite = [&](std::size_t l) { return all_finite(x_.data() + l, n_, W); };
        for (std::size_t i = 0; i + 1 < t_.size(); ++i) {
            interval(i, deliver);
            if (!lanes_.stop_non_finite(x_, W, t_[i + 1], lane_finite, deliver)) return;
            recorder_.record(i + 1, x_.data(), lanes_.active);
        }
        lanes_.finish(deliver);
    }

private:
    // rk45_interval over [t[i], t[i+1]] for every active lane.
    void interval(std::size_t i, const DeliverLane& deliver) {
        const double t0 = t_[i], t1 = t_[i + 1], span = t1 - t0;
        const double tiny = kGuard * std::fmax(std::fabs(span), 1.0);
        const InputSource input = InputSource::of_series(inputs_, i, m_);
        std::array<double, W> h{}, t{}, h_try{};
        std::array<std::uint64_t, W> attempts{};
        std::array<bool, W> running{};
        bool any = false;
        for (std::size_t l = 0; l < runs_.size(); ++l) {
            if (!lanes_.active[l]) continue;
            h[l] = h_carry_[l] > 0.0 ? std::min(h_carry_[l], span) : span;
            t[l] = t0;
            running[l] = t[l] < t1 - tiny;
            any = any || running[l];
        }
        // the seven stages of every running lane: the first by the packed right-hand side, the
        // others by the packed code of the whole attempt where the model has it
        const PackedFn compiled = model_.native.packed.dp_stages;
        const double* xn = compiled ? k_.data() + kStages * n_ * W : xn_.data();
        const auto stage_input = [&](std::size_t l, int s) {
            return interval_stage(input, t[l], h_try[l], s, t0, span, u_);
        };
        while (any) {
            for (std::size_t l = 0; l < runs_.size(); ++l)
                if (running[l]) h_try[l] = t[l] + h[l] > t1 ? t1 - t[l] : h[l];
            for (int s = 0; s < (compiled ? 1 : kStages); ++s) {
                for (std::size_t l = 0; l < runs_.size(); ++l) {
                    if (!running[l]) continue;
                    if (s > 0) stage_state<W>(s, x_.data() + l, k_.data() + l, n_, h_try[l], xs_.data() + l);
                    const double ts = stage_input(l, s);
                    const std::vector<double>& stage_x = s == 0 ? x_ : xs_;
                    for (std::size_t j = 0; j < n_; ++j) env_[j * W + l] = stage_x[j * W + l];
                    for (std::size_t j = 0; j < m_; ++j) env_[(n_ + j) * W + l] = u_[j];
                    env_[(n_ + m_ + model_.n_params) * W + l] = ts;
                }
                model_.native.packed.rhs(env_.data(), k_.data() + static_cast<std::size_t>(s) * n_ * W, result_.data());
            }
            if (compiled) {
                for (std::size_t l = 0; l < runs_.size(); ++l)
                    if (running[l])
                        put_attempt<W>(model_, env_.data(), l, x_.data() + l, k_.data() + l, W, h_try[l],
                                       [&](int s) { return stage_input(l, s); }, u_.data());
                compiled(env_.data(), k_.data() + n_ * W, result_.data());
            }
            any = false;
            for (std::size_t l = 0; l < runs_.size(); ++l) {
                if (!running[l]) continue;
                Counters& c = lanes_.counted[l];
                c.rhs_evals += kStages;
                const double errnorm =
                    compiled ? error_norm<W>(x_.data() + l, xn + l, xn + n_ * W + l, n_, options_.rtol, options_.atol)
                             : advance_with_error<W>(x_.data() + l, k_.data() + l, n_, h_try[l], options_.rtol,
                                                     options_.atol, xn_.data() + l);
                const auto accept = [&] {
                    for (std::size_t j = 0; j < n_; ++j) x_[j * W + l] = xn[j * W + l];
                };
                if (auto st = end_attempt(errnorm, h_try[l], tiny, t[l], h[l], attempts[l], c, options_, accept); !st) {
                    running[l] = false;
                    lanes_.stop(l, std::move(st), deliver);
                    continue;
                }
                running[l] = t[l] < t1 - tiny;
                any = any || running[l];
            }
        }
        for (std::size_t l = 0; l < runs_.size(); ++l)
            if (lanes_.active[l]) h_carry_[l] = h[l];
    }

    std::span<const LaneRun> runs_;
    const Model& model_;
    std::span<const double> t_;
    const Inputs& inputs_;
    const SolverOptions& options_;
    std::size_t n_, m_;
    LaneRecorder recorder_;
    LaneArray env_, k_;
    std::vector<double> x_, xs_, xn_, u_;
    std::array<double, W> result_{}, h_carry_{};
    LaneOutcomes lanes_;
};

// rk45 with dense output in lanes: each lane a DenseStepper of its own (its state, stages, steps,
// counters and recording, as the run alone has them), the six later stages of the attempts of
// all running lanes by one call of the packed attempt code. A lane that has reached the end of
// the grid, or failed, is computed and ignored until every lane has.
template <std::size_t W>
class DenseGroup {
public:
    DenseGroup(std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
               const SolverOptions& options)
        : runs_(runs), model_(*runs[0].model), options_(options), n_(model_.n_states), m_(model_.n_inputs),
          lanes_(runs, Method::Rk45, t, inputs) {
        env_.assign(checked_product(model_.scratch_size(), W), 0.0);
        // where the packed code writes stages 1..6, the solution and the error's terms
        out_.assign(checked_product(checked_product(n_, kStages + 1), W), 0.0);
        put_lane_parameters(runs, W, env_);
        // the steppers keep references into these: no reallocation after this
        x_.reserve(runs.size());
        steppers_.reserve(runs.size());
        for (std::size_t l = 0; l < runs.size(); ++l) {
            const LaneRun& r = runs[l];
            Work& w = lanes_.works[l];
            double* x = x_.emplace_back(r.x0.begin(), r.x0.end()).data();
            steppers_.emplace_back(*r.model, x, w.stages.data(), 1, kControl, t, inputs, options, w,
                                   lanes_.u_rec[l].data(), lanes_.states[l]);
        }
    }

    void run(const DeliverLane& deliver) {
        std::array<bool, W> running{};
        std::array<double, W> h{};
        bool any = false;
        for (std::size_t l = 0; l < runs_.size(); ++l) {
            running[l] = !steppers_[l].done();
            if (!running[l]) lanes_.deliver(l, Status{}, deliver);
            any = any || running[l];
        }
        while (any) {
            for (std::size_t l = 0; l < runs_.size(); ++l) {
                if (!running[l]) continue;
                h[l] = steppers_[l].next_attempt();
                put_attempt<W>(model_, env_.data(), l, x_[l].data(), lanes_.works[l].stages.data(), 1, h[l],
                               [&](int s) { return steppers_[l].stage_input(kC[s]); }, lanes_.works[l].u.data());
            }
            model_.native.packed.dp_stages(env_.data(), out_.data(), result_.data());
            std::array<double*, W> rows{};
            for (std::size_t l = 0; l < runs_.size(); ++l)
                if (running[l]) rows[l] = lanes_.works[l].stages.data() + n_;
            put_lane_rows(out_.data(), (kStages + 1) * n_, W, rows.data());
            any = false;
            for (std::size_t l = 0; l < runs_.size(); ++l) {
                if (!running[l]) continue;
                Work& w = lanes_.works[l];
                const double* xn = w.stages.data() + kStages * n_;
                const double errnorm = error_norm(x_[l].data(), xn, xn + n_, n_, options_.rtol, options_.atol);
                w.rhs_evals += kStages - 1;
                double* k = w.stages.data();
                Status st = steppers_[l].end(errnorm, xn, extension(x_[l].data(), k, n_, h[l]), shift_stages(k, n_));
                running[l] = st && !steppers_[l].done();
                if (!running[l]) lanes_.deliver(l, std::move(st), deliver);
                any = any || running[l];
            }
        }
    }

private:
    std::span<const LaneRun> runs_;
    const Model& model_;
    const SolverOptions& options_;
    std::size_t n_, m_;
    LaneArray env_, out_;
    std::array<double, W> result_{};
    DenseLanes lanes_;
    std::vector<std::vector<double>> x_;
    std::vector<DenseStepper> steppers_;
};

}  // namespace

void run_rk45_dense_group(std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                          const SolverOptions& options, const DeliverLane& deliver) {
    run_in_lanes<DenseGroup>(runs, t, inputs, options, deliver);
}

void run_rk45_group(std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                    const SolverOptions& options, const DeliverLane& deliver) {
    run_in_lanes<Rk45Group>(runs, t, inputs, options, deliver);
}

}  // namespace zarel
