// Runs in lanes: euler and rk4 for a group of runs, stage by stage on the packed right-hand
// side. Every array is lane-major, as the packed code reads it: value j of lane l at [j * W + l],
// so the states are the first n * W values of the environment. The vector work is the
// integrators' own arithmetic, written element by element in the same order, so each lane
// computes the bits its run computes alone.
#include "lanes.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "checked_size.hpp"
#include "run.hpp"

namespace zarel {

std::size_t group_width(const Model& model, Method method) {
    const bool fixed_step = method == Method::Euler || method == Method::Rk4;
    if (!fixed_step || !model.native.packed.rhs || model.native_rhs) return 1;
    return model.native.lanes;
}

namespace {

// Whether simulate would accept the grid and the input series: anything else runs on its own,
// where the error is built.
bool grid_and_series_valid(const Model& model, std::span<const double> t, const Inputs& inputs) {
    const std::size_t L = t.size(), m = model.n_inputs;
    if (L < 2) return false;
    for (std::size_t j = 1; j < L; ++j)
        if (!(t[j - 1] < t[j])) return false;
    if (!inputs.present()) return true;
    std::size_t expected = 0;
    if (m == 0) return inputs.size == 0;
    return !__builtin_mul_overflow(L, m, &expected) && expected == inputs.size;
}

bool finite(std::span<const double> v) {
    return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
}

// The group's arrays and one trajectory per lane.
class Group {
public:
    Group(std::span<const Model* const> models, std::span<const double> t, const Inputs& inputs, Method method,
          const SolverOptions& options)
        : models_(models), model_(*models[0]), t_(t), inputs_(inputs), method_(method),
          w_(model_.native.lanes), n_(model_.n_states), m_(model_.n_inputs),
          step_(method == Method::Euler ? model_.native.packed.euler_step : model_.native.packed.rk4_step) {
        env_.assign(checked_product(model_.step_layout().size(), w_), 0.0);
        x_.assign(checked_product(n_, w_), 0.0);
        xs_.assign(x_.size(), 0.0);
        for (auto* k : {&k1_, &k2_, &k3_, &k4_}) k->assign(x_.size(), 0.0);
        result_.assign(w_, 0.0);
        u_.assign(std::max<std::size_t>(m_, 1), 0.0);
        u_rec_.assign(u_.size(), 0.0);
        lane_x_.assign(n_, 0.0);
        out_.assign(model_.output_programs.size(), 0.0);
        scratch_ = Scratch::for_model(model_);
        for (std::size_t l = 0; l < models.size(); ++l) {
            runs_.push_back(Trajectory::sized_for(model_, t, method, options));
        }
        active_.assign(models.size(), true);
        // the parameters of each lane, once; lanes beyond the group repeat lane 0's run
        const std::size_t p0 = n_ + m_;
        for (std::size_t l = 0; l < w_; ++l) {
            const Model& lm = *models[l < models.size() ? l : 0];
            for (std::size_t j = 0; j < model_.n_params; ++j) env_[(p0 + j) * w_ + l] = lm.params[j];
        }
    }

    void start(std::span<const std::span<const double>> x0s) {
        for (std::size_t l = 0; l < w_; ++l) {
            const std::span<const double> x0 = x0s[l < x0s.size() ? l : 0];
            for (std::size_t i = 0; i < n_; ++i) x_[i * w_ + l] = x0[i];
        }
        record(0);
    }

    void run(const DeliverRun& deliver) {
        const std::size_t L = t_.size();
        for (std::size_t i = 0; i + 1 < L; ++i) {
            const double h = t_[i + 1] - t_[i];
            const InputSource input = InputSource::of_series(inputs_, i, m_);
            if (step_) {
                compiled(input, t_[i], h);
            } else if (method_ == Method::Euler) {
                euler(input, t_[i], h);
            } else {
                rk4(input, t_[i], h);
            }
            bool any = false;
            for (std::size_t l = 0; l < runs_.size(); ++l) {
                if (!active_[l]) continue;
                if (!lane_finite(l)) {
                    active_[l] = false;
                    deliver(l, fail(NonFinite{"the state", t_[i + 1]}));
                    continue;
                }
                any = true;
            }
            if (!any) return;
            record(i + 1);
        }
        const std::uint64_t steps = L - 1;
        for (std::size_t l = 0; l < runs_.size(); ++l) {
            if (!active_[l]) continue;
            runs_[l].steps = steps;
            runs_[l].rhs_evals = steps * (method_ == Method::Euler ? 1 : 4);
            deliver(l, std::move(runs_[l]));
        }
    }

private:
    // Slots [first, first + count) of every lane set to the shared values v.
    void broadcast(std::size_t first, const double* v, std::size_t count) {
        for (std::size_t j = 0; j < count; ++j)
            std::fill_n(env_.begin() + static_cast<std::ptrdiff_t>((first + j) * w_), w_, v[j]);
    }

    // The packed right-hand side at (xs, u, t) into k: the states of every lane, the shared
    // input and time.
    void rhs(const std::vector<double>& xs, double t, std::vector<double>& k) {
        std::copy(xs.begin(), xs.end(), env_.begin());
        broadcast(n_, u_.data(), m_);
        broadcast(n_ + m_ + model_.n_params, &t, 1);
        model_.native.packed.rhs(env_.data(), k.data(), result_.data());
    }

    // The whole step by the packed machine code, as euler_step and rk4_step run it on one lane.
    void compiled(const InputSource& input, double t, double h) {
        const StepLayout at = model_.step_layout();
        std::copy(x_.begin(), x_.end(), env_.begin());
        input(0.0, u_);
        broadcast(n_, u_.data(), m_);
        broadcast(at.model - 1, &t, 1);
        broadcast(at.h(), &h, 1);
        if (m_ > 0 && method_ == Method::Rk4) {
            input(0.5, u_);
            broadcast(at.u_half(), u_.data(), m_);
            input(1.0, u_);
            broadcast(at.u_end(), u_.data(), m_);
        }
        step_(env_.data(), x_.data(), result_.data());
    }

    // euler_step, lane by lane.
    void euler(const InputSource& input, double t, double h) {
        input(0.0, u_);
        rhs(x_, t, k1_);
        for (std::size_t i = 0; i < x_.size(); ++i) x_[i] = k1_[i] * h + x_[i];
    }

    // rk4_step, lane by lane.
    void rk4(const InputSource& input, double t, double h) {
        const double hh = 0.5 * h;
        const std::size_t nw = x_.size();
        input(0.0, u_);
        rhs(x_, t, k1_);
        for (std::size_t i = 0; i < nw; ++i) xs_[i] = k1_[i] * hh + x_[i];
        input(0.5, u_);
        rhs(xs_, t + hh, k2_);
        for (std::size_t i = 0; i < nw; ++i) xs_[i] = k2_[i] * hh + x_[i];
        rhs(xs_, t + hh, k3_);
        for (std::size_t i = 0; i < nw; ++i) xs_[i] = k3_[i] * h + x_[i];
        input(1.0, u_);
        rhs(xs_, t + h, k4_);
        const double h6 = h / 6.0;
        for (std::size_t i = 0; i < nw; ++i)
            x_[i] = (((k1_[i] + 2.0 * k2_[i]) + 2.0 * k3_[i]) + k4_[i]) * h6 + x_[i];
    }

    void gather(std::size_t l) {
        for (std::size_t i = 0; i < n_; ++i) lane_x_[i] = x_[i * w_ + l];
    }

    bool lane_finite(std::size_t l) const {
        for (std::size_t i = 0; i < n_; ++i)
            if (!std::isfinite(x_[i * w_ + l])) return false;
        return true;
    }

    // Grid point k of every active run, recorded as simulate records it.
    void record(std::size_t k) {
        for (std::size_t l = 0; l < runs_.size(); ++l) {
            if (!active_[l]) continue;
            Trajectory& traj = runs_[l];
            gather(l);
            zarel::record(*models_[l], inputs_, t_, k, lane_x_.data(), u_rec_.data(),
                          RecordTarget{traj.x, traj.u, traj.energy, traj.supplied_power, traj.outputs}, scratch_,
                          out_.data());
        }
    }

    std::span<const Model* const> models_;
    const Model& model_;
    std::span<const double> t_;
    const Inputs& inputs_;
    Method method_;
    std::size_t w_, n_, m_;
    PackedFn step_;  // the whole step in machine code, when the model has it
    std::vector<double> env_, x_, xs_, k1_, k2_, k3_, k4_, result_, u_, u_rec_, lane_x_, out_;
    Scratch scratch_;
    std::vector<Trajectory> runs_;
    std::vector<bool> active_;
};

}  // namespace

void simulate_group(std::span<const Model* const> models, std::span<const std::span<const double>> x0s,
                    std::span<const double> t, const Inputs& inputs, Method method, const SolverOptions& options,
                    const DeliverRun& deliver) {
    if (models.empty()) return;
    const Model& model = *models[0];
    const std::size_t width = group_width(model, method);
    // runs the lanes cannot take (a bad grid, series or initial state) run alone, where simulate
    // builds their error
    std::vector<std::size_t> lanes;
    const bool grid_ok = width > 1 && grid_and_series_valid(model, t, inputs);
    for (std::size_t k = 0; k < models.size(); ++k) {
        if (grid_ok && lanes.size() < width && x0s[k].size() == model.n_states && finite(x0s[k])) {
            lanes.push_back(k);
        } else {
            deliver(k, simulate(*models[k], x0s[k], t, inputs, method, options));
        }
    }
    if (lanes.empty()) return;
    std::vector<const Model*> lane_models;
    std::vector<std::span<const double>> lane_x0s;
    for (std::size_t k : lanes) {
        lane_models.push_back(models[k]);
        lane_x0s.push_back(x0s[k]);
    }
    Group group(lane_models, t, inputs, method, options);
    group.start(lane_x0s);
    group.run([&](std::size_t l, Result<Trajectory>&& run) { deliver(lanes[l], std::move(run)); });
}

}  // namespace zarel
