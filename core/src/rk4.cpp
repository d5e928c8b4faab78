// The explicit fixed-step methods, forward Euler and classical RK4, for a run alone and for a
// group of runs in lanes: one step over W lanes (W = 1: the run alone), by the model's compiled
// whole step where it has one for the width, else stage by stage (rk4.hpp) on the right-hand side
// bound for the lanes. Every lane shares the grid and the input series; its parameters are its own.
#include "rk4.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "checked_size.hpp"
#include "lane_rhs.hpp"

namespace zarel {

namespace {

// The stage arrays of a step of W lanes: n W values each, lane-major (Euler uses k1 alone).
struct Stages { double *xs, *k1, *k2, *k3, *k4; };

template <std::size_t W>
class FixedStep {
public:
    // u (max(m, 1) values) receives the step's inputs, the same for every lane.
    FixedStep(const Model& model, Method method, LaneRhs<W>& rhs, Stages stages, std::vector<double>& u)
        : rhs_(rhs), method_(method), at_(model.step_layout()), nw_(checked_product(model.n_states, W)),
          stages_(stages), u_(u) {}

    // One step of length h from t of the states x (n W values, lane-major; with a compiled step
    // they may be the environment's first slots, where the step updates them in place).
    void operator()(double* x, const InputSource& input, double t, double h) {
        if (rhs_.compiled()) return compiled(x, input, t, h);
        const auto take = [&](double fraction) { input(fraction, u_); };
        const auto f = [&](const double* xs, double ts, double* k) {
            std::array<double, W> times;
            std::array<const double*, W> inputs;
            times.fill(ts);
            inputs.fill(u_.data());
            rhs_(xs, times.data(), inputs.data(), k);
        };
        const Stages& s = stages_;
        if (method_ == Method::Euler) return rk4::euler(nw_, x, t, h, take, f, s.k1);
        rk4::rk4(nw_, x, t, h, take, f, s.xs, s.k1, s.k2, s.k3, s.k4);
    }

private:
    // The whole step in machine code: the states, the time, h and the inputs the step takes
    // written where it reads them, every lane the same but for its states and parameters.
    void compiled(double* x, const InputSource& input, double t, double h) {
        double* env = rhs_.env();
        const auto put = [&](std::size_t slot, const double* v, std::size_t count) {
            if constexpr (W == 1) {
                Model::copy_values(v, count, env + slot);
            } else {
                broadcast(env, W, slot, v, count);
            }
        };
        const auto take = [&](double fraction) {
            input(fraction, u_);
            put(rk4::input_slot(at_, fraction), u_.data(), at_.n_inputs);
        };
        if (x != env) Model::copy_values(x, nw_, env);
        take(0.0);
        put(at_.model - 1, &t, 1);
        put(at_.h(), &h, 1);
        if (method_ == Method::Rk4 && at_.n_inputs > 0) {
            take(0.5);
            take(1.0);
        }
        rhs_.attempt(env);
        if (x != env) Model::copy_values(env, nw_, x);
    }

    LaneRhs<W>& rhs_;
    Method method_;
    StepLayout at_;
    std::size_t nw_;
    Stages stages_;
    std::vector<double>& u_;
};

Stages stages_of(Work& work) {
    return {work.x_stage.data(), work.k1.data(), work.k2.data(), work.k3.data(), work.k4.data()};
}

NativeFn compiled_step(const Model& model, Method method) {
    return method == Method::Euler ? model.native.euler_step : model.native.rk4_step;
}

void step_alone(Method method, const Model& model, double* x, const InputSource& input, Work& work, double t,
                double h) {
    LaneRhs<1> rhs(model, work.scratch, compiled_step(model, method));
    FixedStep<1>(model, method, rhs, stages_of(work), work.u)(x, input, t, h);
}

// A group of runs in the lanes of the model's packed code, each recording as it goes.
template <std::size_t W>
class FixedGroup {
public:
    FixedGroup(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
               const SolverOptions&, Method method)
        : model_(model), t_(t), inputs_(inputs), method_(method),
          rhs_(model_, runs, method == Method::Euler ? model_.native.packed.euler_step : model_.native.packed.rk4_step),
          recorder_(model, runs, t, inputs), lanes_(runs.size()) {
        const std::size_t nw = checked_product(model_.n_states, W);
        // a compiled step updates the states where it reads them, the first n W slots of its
        // environment: no copy in and out of the step's chain of dependent operations
        for (auto* v : {&x_, &xs_, &k1_, &k2_, &k3_, &k4_}) v->assign(rhs_.compiled() ? 0 : nw, 0.0);
        state_ = rhs_.compiled() ? std::span<double>(rhs_.env(), nw) : std::span<double>(x_);
        u_.assign(std::max<std::size_t>(model_.n_inputs, 1), 0.0);
        // lanes beyond the group repeat lane 0's run
        put_lane_starts(model_, runs, W, state_);
    }

    void run(const DeliverLane& deliver) {
        const std::span<double> x = state_;
        const std::size_t n = model_.n_states, L = t_.size();
        FixedStep<W> step(model_, method_, rhs_, {xs_.data(), k1_.data(), k2_.data(), k3_.data(), k4_.data()}, u_);
        recorder_.record(0, x.data(), lanes_.active);
        for (std::size_t i = 0; i + 1 < L; ++i) {
            step(x.data(), InputSource::of_series(inputs_, i, model_.n_inputs), t_[i], t_[i + 1] - t_[i]);
            const auto lane_finite = [&](std::size_t l) { return all_finite(x.data() + l, n, W); };
            if (!lanes_.stop_non_finite(x, W, t_[i + 1], lane_finite, deliver)) return;
            recorder_.record(i + 1, x.data(), lanes_.active);
        }
        for (Counters& c : lanes_.counted) {
            c.steps = L - 1;
            c.rhs_evals = c.steps * (method_ == Method::Euler ? 1 : 4);
        }
        lanes_.finish(deliver);
    }

private:
    const Model& model_;
    std::span<const double> t_;
    const Inputs& inputs_;
    Method method_;
    LaneRhs<W> rhs_;
    LaneRecorder recorder_;
    // the stage-by-stage step's arrays (empty with a compiled step), and the input
    LaneArray x_, xs_, k1_, k2_, k3_, k4_;
    std::vector<double> u_;
    std::span<double> state_;  // every lane's state: x_, or the environment's first slots
    LaneOutcomes lanes_;
};

}  // namespace

void euler_step(const Model& model, double* x, const InputSource& input, Work& work, double t, double h) {
    work.rhs_evals += 1;
    step_alone(Method::Euler, model, x, input, work, t, h);
}

void rk4_step(const Model& model, double* x, const InputSource& input, Work& work, double t, double h) {
    work.rhs_evals += 4;
    step_alone(Method::Rk4, model, x, input, work, t, h);
}

Status fixed_step_run(const Model& model, double* x, std::span<const double> t, const Inputs& inputs, Method method,
                      Work& work, double* u_rec, const RecordTarget& target) {
    LaneRhs<1> rhs(model, work.scratch, compiled_step(model, method));
    FixedStep<1> step(model, method, rhs, stages_of(work), work.u);
    const std::size_t n = model.n_states;
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
        step(x, InputSource::of_series(inputs, i, model.n_inputs), t[i], t[i + 1] - t[i]);
        work.steps += 1;
        work.rhs_evals += method == Method::Euler ? 1 : 4;
        if (!all_finite(x, n)) return fail(NonFinite{"the state", t[i + 1]});
        record(model, inputs, t, i + 1, x, u_rec, target, work.scratch, work.out.data());
    }
    return {};
}

void run_fixed_step_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                          const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver,
                          Method method) {
    run_in_lanes<FixedGroup>(model, runs, t, inputs, options, deliver, method);
}

}  // namespace zarel
