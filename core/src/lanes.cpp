// Runs in lanes: a group of runs taken and handed to its method (euler and rk4 in rk4.cpp, rk45
// in rk45.cpp, the midpoint method in midpoint.cpp, dop853 in dop853.cpp, rodas5p in rosenbrock.cpp), and the recording of
// their grid points straight into each run's target. Every array is lane-major, as the packed
// code reads it: value j of lane l at [j * W + l], so the states are the first n * W values of an
// environment.
#include "lanes.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "checked_size.hpp"

namespace zarel {

std::size_t group_width(const Model& model, Method method, bool dense) {
    // every method has its group: the width is the model's
    if (!model.native.packed.rhs || model.native_rhs) return 1;
    if (dense && method == Method::Rk45 && !model.native.packed.dp_stages) return 1;
    return model.native.lanes;
}

LaneRecorder::LaneRecorder(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                           const Inputs& inputs)
    : runs_(runs), model_(model), t_(t), inputs_(inputs), w_(model_.native.lanes),
      n_(model_.n_states), m_(model_.n_inputs) {
    const Model::Native::Packed& p = model_.native.packed;
    packed_ = p.energy && p.supplied_power && p.outputs;
    env_.assign(checked_product(model_.env_size(), w_), 0.0);
    result_.assign(w_, 0.0);
    u_rec_.assign(std::max<std::size_t>(m_, 1), 0.0);
    lane_x_.assign(n_, 0.0);
    out_.assign(model_.output_programs.size(), 0.0);
    packed_out_.assign(checked_product(out_.size(), w_), 0.0);
    scratch_ = Scratch::for_model(model_);
    put_lane_parameters(model_, runs, w_, env_);
    if (!packed_) return;
    if (model_.energy_is_fixed()) {
        p.energy(env_.data(), packed_out_.data(), result_.data());
        energy_fixed_ = result_[0];
    }
    if (model_.supplied_power_is_fixed()) {
        p.supplied_power(env_.data(), packed_out_.data(), result_.data());
        power_fixed_ = result_[0];
    }
}

void put_lane_starts(const Model& model, std::span<const LaneRun> runs, std::size_t width, std::span<double> x) {
    const std::size_t n = model.n_states;
    for (std::size_t l = 0; l < width; ++l)
        for (std::size_t i = 0; i < n; ++i) x[i * width + l] = runs[l < runs.size() ? l : 0].x0[i];
}

void put_lane_parameters(const Model& model, std::span<const LaneRun> runs, std::size_t width,
                         std::span<double> env) {
    const std::size_t p0 = model.n_states + model.n_inputs;
    for (std::size_t l = 0; l < width; ++l) {
        const double* p = runs[l < runs.size() ? l : 0].own_params();
        for (std::size_t j = 0; j < model.n_params; ++j) env[(p0 + j) * width + l] = p ? p[j] : model.params[j];
    }
}

void LaneRecorder::record(std::size_t k, const double* x, const LaneFlags& active) {
    if (!packed_) {
        for (std::size_t l = 0; l < runs_.size(); ++l) {
            if (!active[l]) continue;
            for (std::size_t i = 0; i < n_; ++i) lane_x_[i] = x[i * w_ + l];
            scratch_.params = runs_[l].own_params();
            zarel::record(model_, inputs_, t_, k, lane_x_.data(), u_rec_.data(), runs_[l].target, scratch_,
                          out_.data());
        }
        return;
    }
    const std::size_t L = t_.size(), q = out_.size();
    std::array<double*, kMaxLanes> rows{};
    for (std::size_t l = 0; l < runs_.size(); ++l)
        rows[l] = active[l] && !runs_[l].target.x.empty() ? runs_[l].target.x.data() + k * n_ : nullptr;
    put_lane_rows(x, n_, w_, rows.data());
    // the last point has no interval of its own: it shows the end of the last interval's input
    if (m_ > 0) {
        inputs_.at(std::min(L - 2, k), m_, u_rec_.data(), u_rec_.size(), k == L - 1 ? 1.0 : 0.0);
        for (std::size_t l = 0; l < runs_.size(); ++l)
            if (active[l] && !runs_[l].target.u.empty())
                std::copy_n(u_rec_.data(), m_, runs_[l].target.u.begin() + static_cast<std::ptrdiff_t>(k * m_));
    }
    const RecordTarget& first = runs_[0].target;
    bool energy = !first.energy.empty(), power = !first.supplied_power.empty();
    const bool outputs = !first.outputs.empty();
    for (std::size_t l = 0; l < runs_.size(); ++l) {
        if (!active[l]) continue;
        if (energy && energy_fixed_) runs_[l].target.energy[k] = *energy_fixed_;
        if (power && power_fixed_) runs_[l].target.supplied_power[k] = *power_fixed_;
    }
    energy = energy && !energy_fixed_;
    power = power && !power_fixed_;
    if (!energy && !power && !outputs) return;
    const Model::Native::Packed& p = model_.native.packed;
    copy_lanes(env_.data(), x, n_, w_);
    const std::size_t time = n_ + m_ + model_.n_params;
    if (energy) {
        const double zero = 0.0;
        for (std::size_t j = 0; j < m_; ++j) broadcast(env_.data(), w_, n_ + j, &zero, 1);
        broadcast(env_.data(), w_, time, &zero, 1);
        p.energy(env_.data(), packed_out_.data(), result_.data());
        for (std::size_t l = 0; l < runs_.size(); ++l)
            if (active[l]) runs_[l].target.energy[k] = result_[l];
    }
    if (!power && !outputs) return;
    broadcast(env_.data(), w_, n_, u_rec_.data(), m_);
    broadcast(env_.data(), w_, time, &t_[k], 1);
    if (power) {
        p.supplied_power(env_.data(), packed_out_.data(), result_.data());
        for (std::size_t l = 0; l < runs_.size(); ++l)
            if (active[l]) runs_[l].target.supplied_power[k] = result_[l];
    }
    if (outputs) {
        p.outputs(env_.data(), packed_out_.data(), result_.data());
        for (std::size_t l = 0; l < runs_.size(); ++l)
            rows[l] = active[l] ? runs_[l].target.outputs.data() + k * q : nullptr;
        put_lane_rows(packed_out_.data(), q, w_, rows.data());
    }
}

std::vector<std::size_t> simulate_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                                        const Inputs& inputs, Method method, const SolverOptions& options,
                                        const DeliverLane& deliver, bool dense) {
    std::vector<std::size_t> alone;
    if (runs.empty()) return alone;
    const std::size_t width = group_width(model, method, dense);
    std::vector<std::size_t> lanes;
    // a run whose grid, series or start simulate refuses runs alone, where the error is built
    const bool grid_ok = width > 1 && check_grid(model, t, inputs);
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const std::span<const double> x0 = runs[k].x0;
        const std::size_t p = runs[k].params.size();
        const bool fits = grid_ok && lanes.size() < width && x0.size() == model.n_states &&
                          all_finite(x0.data(), x0.size()) && (p == 0 || p == model.n_params);
        (fits ? lanes : alone).push_back(k);
    }
    if (lanes.empty()) return alone;
    std::vector<LaneRun> taken;
    for (std::size_t k : lanes) taken.push_back(runs[k]);
    const DeliverLane to_run = [&](std::size_t l, Status&& st, const Counters& counted) {
        deliver(lanes[l], std::move(st), counted);
    };
    if (method == Method::Rk45) {
        run_rk45_group(model, taken, t, inputs, options, to_run, dense);
    } else if (method == Method::Dop853) {
        run_dop853_group(model, taken, t, inputs, options, to_run, !dense);
    } else if (method == Method::Rodas5p) {
        run_rodas5p_group(model, taken, t, inputs, options, to_run, !dense);
    } else if (method == Method::Gauss4) {
        run_gauss4_group(model, taken, t, inputs, options, to_run, dense);
    } else if (method == Method::Midpoint && dense) {
        run_adaptive_midpoint_group(model, taken, t, inputs, options, to_run);
    } else if (method == Method::Midpoint) {
        run_midpoint_group(model, taken, t, inputs, options, to_run);
    } else {
        run_fixed_step_group(model, taken, t, inputs, options, to_run, method);
    }
    return alone;
}

void simulate_group(const Model& model, std::span<const std::span<const double>> params,
                    std::span<const std::span<const double>> x0s, std::span<const double> t, const Inputs& inputs,
                    Method method, const SolverOptions& options, const DeliverRun& deliver, bool dense) {
    std::vector<Trajectory> trajectories;
    std::vector<LaneRun> runs;
    for (std::size_t k = 0; k < x0s.size(); ++k)
        trajectories.push_back(Trajectory::sized_for(model, t, method, options));
    const auto params_of = [&](std::size_t k) { return params.empty() ? std::span<const double>() : params[k]; };
    for (std::size_t k = 0; k < x0s.size(); ++k) {
        Trajectory& traj = trajectories[k];
        runs.push_back({params_of(k), x0s[k], {traj.x, traj.u, traj.energy, traj.supplied_power, traj.outputs}});
    }
    const std::vector<std::size_t> alone = simulate_group(
        model, runs, t, inputs, method, options,
        [&](std::size_t k, Status&& st, const Counters& counted) {
            if (!st) return deliver(k, fail(std::move(st.error())));
            static_cast<Counters&>(trajectories[k]) = counted;
            deliver(k, std::move(trajectories[k]));
        },
        dense);
    for (std::size_t k : alone) {
        const std::optional<std::span<const double>> own =
            params.empty() ? std::nullopt : std::optional<std::span<const double>>(params[k]);
        deliver(k, simulate(model, x0s[k], t, inputs, method, options, RunChoices{own, dense}));
    }
}

}  // namespace zarel
