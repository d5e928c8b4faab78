// The right-hand side of a group of W runs, bound once per group: a run alone (W = 1) evaluates on
// its own scratch (machine code or interpreter, whichever the model has), a group by the model's
// packed code on a lane-major environment. The integrators call it without asking which; a
// method's compiled attempt or whole step, where the model has one for the width, runs on the
// same environment. The Jacobian is evaluated lane by lane, each by its run's model (it has no
// packed code).
#pragma once

#include <array>
#include <span>
#include <vector>

#include "checked_size.hpp"
#include "lane_arrays.hpp"
#include "lanes.hpp"

namespace zarel {

template <std::size_t W>
class LaneRhs {
public:
    // W = 1: the run's scratch, which holds its parameters, and the scalar attempt (null: none).
    LaneRhs(const Model& model, Scratch& scratch, NativeFn attempt)
        : model_(model), scratch_(&scratch), attempt_(model.native_rhs ? nullptr : attempt) {}
    // W > 1: the runs' parameters written once into their lanes, and the packed attempt; with
    // `jacobian`, a scratch to evaluate one lane at a time (lane_scratch) and, with
    // `dense_jacobian` too, room for one lane's whole Jacobian (jacobian(); a method that
    // evaluates J on its pattern only needs none: n^2 values for nothing on a large model).
    LaneRhs(const Model& model, std::span<const LaneRun> runs, PackedFn attempt, bool jacobian = false,
            bool dense_jacobian = true)
        : model_(model), runs_(runs), packed_attempt_(attempt) {
        env_.assign(checked_product(model.scratch_size(), W), 0.0);
        put_lane_parameters(model, runs, W, env_);
        if (!jacobian) return;
        lane_x_.assign(model.n_states, 0.0);
        if (dense_jacobian) lane_jac_.assign(checked_product(model.n_states, model.n_states), 0.0);
        lane_scratch_ = Scratch::for_model(model);
    }

    // Whether the attempt is compiled, and the lane-major environment it reads (laid out by the
    // model's step_layout()), where the caller writes what it reads before attempt(out).
    bool compiled() const { return attempt_ || packed_attempt_; }
    double* env() { return W == 1 ? scratch_->env.data() : env_.data(); }
    void attempt(double* out) {
        if constexpr (W == 1) {
            attempt_(scratch_->env.data(), out);
        } else {
            packed_attempt_(env_.data(), out, result_.data());
        }
    }

    // dx/dt of every lane at states x (n W values, lane-major), times t[l] and inputs u[l] into out.
    void operator()(const double* x, const double* t, const double* const* u, double* out) {
        if constexpr (W == 1) {
            model_.rhs_in_run(x, u[0], t[0], out, *scratch_);
        } else {
            const std::size_t n = model_.n_states, m = model_.n_inputs;
            copy_lanes(env_.data(), x, n, W);
            for (std::size_t l = 0; l < W; ++l) {
                for (std::size_t j = 0; j < m; ++j) env_[(n + j) * W + l] = u[l][j];
                env_[(n + m + model_.n_params) * W + l] = t[l];
            }
            model_.native.packed.rhs(env_.data(), out, result_.data());
        }
    }

    // The stage at fraction c of the steps of the lanes in `which` from their states xs into out:
    // each lane at the time its stepper's stage_input(c) gives, with the input that leaves in its
    // work's u.
    template <class Steppers>
    void stage(double c, const double* xs, const std::array<bool, W>& which, Steppers& steppers,
               const std::array<Work*, W>& works, double* out) {
        std::array<double, W> ts{};
        std::array<const double*, W> u{};
        for (std::size_t l = 0; l < steppers.size(); ++l) {
            u[l] = works[l]->u.data();
            if (which[l]) ts[l] = steppers[l].stage_input(c);
        }
        for (std::size_t l = steppers.size(); l < W; ++l) u[l] = u[0];
        (*this)(xs, ts.data(), u.data(), out);
    }

    // The Jacobian of every lane in `which` at states x, times t[l] and inputs u[l] into out (entry
    // (i, j) of lane l at [(i n + j) W + l]), as each run's model.jacobian_into gives it.
    void jacobian(const double* x, const double* t, const double* const* u, const std::array<bool, W>& which,
                  double* out) {
        if constexpr (W == 1) {
            model_.jacobian_into(x, u[0], t[0], out, *scratch_);
        } else {
            const std::size_t n = model_.n_states;
            for (std::size_t l = 0; l < W; ++l) {
                if (!which[l]) continue;
                for (std::size_t j = 0; j < n; ++j) lane_x_[j] = x[j * W + l];
                lane_scratch_.params = runs_[l].own_params();
                model_.jacobian_into(lane_x_.data(), u[l], t[l], lane_jac_.data(), lane_scratch_);
                for (std::size_t e = 0; e < n * n; ++e) out[e * W + l] = lane_jac_[e];
            }
        }
    }

    // The scratch that evaluates lane l alone, holding its run's parameters: the run's own for
    // W = 1, else (when made with `jacobian`) one shared by the lanes in turn.
    Scratch& lane_scratch(std::size_t l) {
        if constexpr (W == 1) {
            return *scratch_;
        } else {
            lane_scratch_.params = runs_[l].own_params();
            return lane_scratch_;
        }
    }

private:
    const Model& model_;
    std::span<const LaneRun> runs_;
    Scratch* scratch_ = nullptr;
    NativeFn attempt_ = nullptr;
    PackedFn packed_attempt_ = nullptr;
    LaneArray env_;
    std::array<double, W> result_{};
    std::vector<double> lane_x_, lane_jac_;  // one lane's state and Jacobian
    Scratch lane_scratch_;
};

}  // namespace zarel
