// The implicit midpoint method in lanes: every lane solves its step by its own Newton iteration,
// as NewtonSolve runs it alone, on lane-major arrays, so that the lanes' divisions of the LU
// factors and solves are independent instructions side by side rather than one lane's chain
// after another's. Each lane pivots on its own rows; the lanes still solving share the iteration
// count (all start a step together and advance once per round), so they refresh the Jacobian
// together; each converges on its own. The right-hand sides are evaluated together by the packed
// code; the time and input of a step are the same in every lane. A lane whose iteration fails
// takes the step on the scalar path, split in halves as midpoint_recursive splits it, with the
// same bits; a lane that fails there stops with that error and the others go on.
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
        for (auto* v : {&x_, &z_, &m_mid_, &r_, &k1_, &k2_}) v->assign(nw, 0.0);
        lu_.assign(checked_product(nw, n_), 0.0);
        pivots_.assign(nw, 0);
        jac_.assign(checked_product(n_, n_), 0.0);
        lane_x_.assign(n_, 0.0);
        u_.assign(std::max<std::size_t>(m_, 1), 0.0);
        scratch_ = Scratch::for_model(model_);
        // the parameters and the start of each lane, once; lanes beyond the group repeat lane 0's run
        put_lane_parameters(runs, W, env_);
        put_lane_starts(runs, W, x_);
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
    using Lanes = std::array<bool, W>;

    static bool any(const Lanes& lanes) { return std::any_of(lanes.begin(), lanes.end(), [](bool b) { return b; }); }

    // The packed right-hand side at the states `from`, the step's input and tm, into `into`; one
    // evaluation counted for each lane in `counted`.
    void rhs(const LaneArray& from, double tm, LaneArray& into, const Lanes& counted) {
        copy_lanes(env_.data(), from.data(), n_, W);
        broadcast(env_.data(), W, n_, u_.data(), m_);
        broadcast(env_.data(), W, n_ + m_ + model_.n_params, &tm, 1);
        model_.native.packed.rhs(env_.data(), into.data(), result_.data());
        for (std::size_t l = 0; l < runs_.size(); ++l) lanes_.counted[l].rhs_evals += counted[l];
    }

    // Per lane, the largest magnitude of v's n values, as max_abs takes it (NaN leaves it as it is).
    std::array<double, W> max_abs(const LaneArray& v) const {
        std::array<double, W> m{};
        for (std::size_t i = 0; i < n_; ++i)
            for (std::size_t l = 0; l < W; ++l) {
                const double a = std::fabs(v[i * W + l]);
                m[l] = a > m[l] ? a : m[l];
            }
        return m;
    }

    double& lu(std::size_t i, std::size_t j, std::size_t l) { return lu_[(i * n_ + j) * W + l]; }

    // NewtonSolve's refresh for the lanes in `running`: the Jacobian at m (each lane alone, by its
    // own model's jacobian_into), the iteration matrix I - J h/2, and its LU factors with partial
    // pivoting, lane by lane as lu_factor makes them. Clears the lanes whose matrix is singular.
    void refresh(Lanes& running, double t, double hh) {
        for (std::size_t l = 0; l < W; ++l) {
            if (!running[l]) continue;
            for (std::size_t j = 0; j < n_; ++j) lane_x_[j] = m_mid_[j * W + l];
            runs_[l].model->jacobian_into(lane_x_.data(), u_.data(), t + hh, jac_.data(), scratch_);
            lanes_.counted[l].jacobian_evals += 1;
            for (std::size_t i = 0; i < n_; ++i)
                for (std::size_t j = 0; j < n_; ++j) lu(i, j, l) = (i == j ? 1.0 : 0.0) - jac_[i * n_ + j] * hh;
        }
        for (std::size_t c = 0; c < n_; ++c) {
            for (std::size_t l = 0; l < W; ++l) {
                if (!running[l]) continue;
                std::size_t p = c;
                double best = std::fabs(lu(c, c, l));
                for (std::size_t r = c + 1; r < n_; ++r)
                    if (std::fabs(lu(r, c, l)) > best) {
                        p = r;
                        best = std::fabs(lu(r, c, l));
                    }
                if (best == 0.0 || !std::isfinite(best)) {
                    running[l] = false;
                    continue;
                }
                pivots_[c * W + l] = p;
                if (p != c)
                    for (std::size_t j = 0; j < n_; ++j) std::swap(lu(c, j, l), lu(p, j, l));
            }
            // the elimination on every lane (a stopped lane's numbers are never read)
            for (std::size_t r = c + 1; r < n_; ++r) {
                for (std::size_t l = 0; l < W; ++l) lu(r, c, l) = lu(r, c, l) / lu(c, c, l);
                for (std::size_t j = c + 1; j < n_; ++j)
                    for (std::size_t l = 0; l < W; ++l) {
                        const double f = lu(r, c, l), v = lu(r, j, l) - f * lu(c, j, l);
                        lu(r, j, l) = f != 0.0 ? v : lu(r, j, l);
                    }
            }
        }
    }

    // lu_solve on every lane: r is overwritten by the solution.
    void solve() {
        for (std::size_t c = 0; c < n_; ++c)
            for (std::size_t l = 0; l < W; ++l) std::swap(r_[c * W + l], r_[pivots_[c * W + l] * W + l]);
        for (std::size_t c = 0; c < n_; ++c)
            for (std::size_t i = c + 1; i < n_; ++i)
                for (std::size_t l = 0; l < W; ++l) r_[i * W + l] = r_[i * W + l] - lu(i, c, l) * r_[c * W + l];
        for (std::size_t i = n_; i-- > 0;) {
            std::array<double, W> s;
            for (std::size_t l = 0; l < W; ++l) s[l] = r_[i * W + l];
            for (std::size_t j = i + 1; j < n_; ++j)
                for (std::size_t l = 0; l < W; ++l) s[l] = s[l] - lu(i, j, l) * r_[j * W + l];
            for (std::size_t l = 0; l < W; ++l) r_[i * W + l] = s[l] / lu(i, i, l);
        }
    }

    // midpoint_recursive over [t[i], t[i+1]] for every active lane: NewtonSolve's start and
    // advance, lane by lane on lane-major arrays.
    void step(std::size_t i, const DeliverLane& deliver) {
        const double t = t_[i], h = t_[i + 1] - t, hh = 0.5 * h, tm = t + hh;
        const InputSource input = InputSource::of_series(inputs_, i, m_);
        input(0.5, u_);
        Lanes running{};
        for (std::size_t l = 0; l < runs_.size(); ++l) running[l] = lanes_.active[l];
        const std::size_t nw = x_.size();
        rhs(x_, tm, k1_, running);
        for (std::size_t j = 0; j < nw; ++j) z_[j] = k1_[j] * h + x_[j];
        for (std::size_t j = 0; j < nw; ++j) m_mid_[j] = (x_[j] + z_[j]) * 0.5;
        for (std::uint64_t k = 0; any(running); ++k) {
            rhs(m_mid_, tm, k2_, running);
            for (std::size_t j = 0; j < nw; ++j) r_[j] = (z_[j] - x_[j]) - k2_[j] * h;
            const std::array<double, W> rnorm = max_abs(r_), zmax = max_abs(z_);
            Lanes failed{};
            for (std::size_t l = 0; l < W; ++l) {
                if (!running[l]) continue;
                const double tol = (zmax[l] + 1.0) * options_.newton_tol;
                if (std::isinf(rnorm[l]) || (!(rnorm[l] <= tol) && k == options_.max_newton)) {
                    failed[l] = true;
                } else if (rnorm[l] <= tol) {
                    for (std::size_t j = 0; j < n_; ++j) x_[j * W + l] = z_[j * W + l];
                }
                if (failed[l] || rnorm[l] <= tol) running[l] = false;
            }
            if (any(running) && (k == 0 || k % 4 == 3)) {
                Lanes factored = running;
                refresh(factored, t, hh);
                for (std::size_t l = 0; l < W; ++l) failed[l] = failed[l] || (running[l] && !factored[l]);
                running = factored;
            }
            if (any(running)) {
                solve();
                for (std::size_t j = 0; j < nw; ++j) z_[j] = z_[j] - r_[j];
                for (std::size_t j = 0; j < nw; ++j) m_mid_[j] = (x_[j] + z_[j]) * 0.5;
                for (std::size_t l = 0; l < runs_.size(); ++l) lanes_.counted[l].newton_iterations += running[l];
            }
            for (std::size_t l = 0; l < W; ++l)
                if (failed[l]) split(l, input, t, hh, deliver);
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
    std::size_t n_, m_;
    LaneRecorder recorder_;
    // lane-major: value j of lane l at [j * W + l] (lu_: entry (i, j) at [(i * n + j) * W + l])
    LaneArray env_, x_, z_, m_mid_, r_, k1_, k2_, lu_;
    std::vector<std::size_t> pivots_;
    std::vector<double> jac_, lane_x_, u_;  // one lane's Jacobian and state
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
