// Gonzalez's discrete gradient method: one implicit step per grid interval whose energy change is
// the discrete gradient's product with the step (see zarel/discrete_gradient.hpp).
#include "zarel/discrete_gradient.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "iteration_matrix.hpp"
#include "lane_rhs.hpp"
#include "run.hpp"

namespace zarel {

namespace {

// A defect H(x1) - H(x0) - grad H(xm) . d at most this many units of round-off of its terms
// (|H(x0)| + |H(x1)| + sum |grad_j H(xm) d_j|) is taken as zero: 8 ulps.
constexpr double kDefectRoundOff = 8.0 * std::numeric_limits<double>::epsilon();
// A Newton update whose size relative to the threshold no longer falls, and is at most this many
// thresholds, ends the iteration: it stagnates at the round-off of the step's evaluations.
constexpr double kRoundOffFloor = 100.0;

// The fixed companions of one run and all its buffers, sized once: the step loop allocates nothing.
class DiscreteGradientRun {
public:
    DiscreteGradientRun(const Model& model, const Model& structure, const double* params,
                        const SolverOptions& options, std::span<const EnergyBlock> blocks)
        : model_(model), structure_(structure), options_(options), blocks_(blocks), n_(model.n_states),
          m_(model.n_inputs),
          scratch_(Scratch::for_model(model)), structure_scratch_(Scratch::for_model(structure)),
          rhs_(model, scratch_, nullptr), matrix_(model) {
        scratch_.params = params;
        structure_scratch_.params = params;
        model.fill_params(scratch_);
        structure.fill_params(structure_scratch_);
        for (auto* v : {&x1_, &xm_, &d_, &gm_, &f_, &r_}) v->assign(n_, 0.0);
        u_.assign(std::max<std::size_t>(m_, 1), 0.0);
        su_.assign(m_ + n_, 0.0);
        e0_.assign(blocks.size(), 0.0);
        e1_.assign(blocks.size(), 0.0);
    }

    Counters counted;

    // One step from (x, t) of length h with the interval's input; x holds x1 on success.
    Status step(double* x, const InputSource& input, double t, double h) {
        const std::size_t n = n_;
        const double hh = 0.5 * h, tm = t + hh;
        input(0.5, u_);
        std::copy_n(u_.data(), m_, su_.data());
        double* g = su_.data() + m_;
        const double h0 = blocks_.empty() ? model_.energy(x, scratch_) : 0.0;
        if (!blocks_.empty()) block_energies(x, e0_.data());
        // the explicit Euler predictor at the mid time, the structure fed with grad H(x0)
        gradient(x, g);
        structure_.rhs_in_run(x, su_.data(), tm, f_.data(), structure_scratch_);
        counted.rhs_evals += 1;
        for (std::size_t j = 0; j < n; ++j) x1_[j] = f_[j] * h + x[j];
        double last_ratio = 0.0;
        const double* us = u_.data();
        for (std::uint64_t k = 0;; ++k) {
            if (k == options_.max_newton)
                return fail(StepFailed{t, "Newton update " + format_exponent(last_update_, 3) + " after " +
                                              std::to_string(k) + " iterations (tolerance " +
                                              format_exponent(options_.newton_tol, 1) +
                                              " relative to the error scale); reduce the step"});
            for (std::size_t j = 0; j < n; ++j) d_[j] = x1_[j] - x[j];
            for (std::size_t j = 0; j < n; ++j) xm_[j] = (x[j] + x1_[j]) * 0.5;
            discrete_gradient(h0, g);
            structure_.rhs_in_run(xm_.data(), su_.data(), tm, f_.data(), structure_scratch_);
            counted.rhs_evals += 1;
            for (std::size_t j = 0; j < n; ++j) r_[j] = d_[j] - f_[j] * h;
            if (!all_finite(r_.data(), n)) return fail(NonFinite{"the Newton residual", t});
            if (k == 0 || k % 4 == 3) {
                Lanes<1> which{true};
                matrix_.evaluate(rhs_, xm_.data(), &tm, &us, which);
                counted.jacobian_evals += 1;
                matrix_.factor({hh}, which);
                if (!which[0]) return fail(StepFailed{t, "the Newton iteration matrix is singular"});
            }
            matrix_.solve(r_.data());
            counted.newton_iterations += 1;
            // the largest update relative to its threshold newton_tol / rtol (atol + rtol |x1_j|)
            double ratio = 0.0;
            last_update_ = 0.0;
            for (std::size_t j = 0; j < n; ++j) {
                x1_[j] = x1_[j] - r_[j];
                const double size = std::fabs(r_[j]);
                last_update_ = std::max(last_update_, size);
                ratio = std::max(ratio, (size * options_.rtol) /
                                            (options_.newton_tol * (options_.atol + options_.rtol * std::fabs(x1_[j]))));
            }
            if (ratio <= 1.0) break;
            // an update that no longer shrinks, close to the threshold, is the round-off floor of
            // the iteration (a newton_tol near the precision of the states): the step is solved
            if (k > 0 && ratio >= last_ratio && ratio <= kRoundOffFloor) break;
            last_ratio = ratio;
        }
        std::copy_n(x1_.data(), n, x);
        return {};
    }

private:
    // grad H at x into out, on the model's scratch
    void gradient(const double* x, double* out) {
        model_.fill_env_at_rest(x, scratch_);
        Model::eval_into(model_.native.grad_h, model_.grad_h_programs, scratch_, out);
    }

    // each block's energy at x into out, on the model's scratch
    void block_energies(const double* x, double* out) {
        model_.fill_env_at_rest(x, scratch_);
        for (std::size_t b = 0; b < blocks_.size(); ++b)
            out[b] = eval(model_.output_programs[blocks_[b].output], scratch_.env.data(), scratch_.stack);
    }

    // Gonzalez's discrete gradient of H between x and x1 (d_, xm_ set) into g, per block when the
    // model has blocks (see correct).
    void discrete_gradient(double h0, double* g) {
        if (blocks_.empty()) {
            const double h1 = model_.energy(x1_.data(), scratch_);
            gradient(xm_.data(), gm_.data());
            correct(0, n_, h0, h1, g);
            return;
        }
        block_energies(x1_.data(), e1_.data());
        gradient(xm_.data(), gm_.data());
        for (std::size_t b = 0; b < blocks_.size(); ++b) correct(blocks_[b].first, blocks_[b].count, e0_[b], e1_[b], g);
    }

    // grad H(xm) plus the multiple of d that makes g . d = h1 - h0 over the states [first, first +
    // count), whose energy goes from h0 to h1. The defect (h1 - h0) - grad H(xm) . d is of order
    // |d|^3; where it is within the round-off of its own terms it is noise, and divided by d . d it
    // would grow without bound as the state comes to rest (0/0 at rest): the midpoint gradient is
    // taken, and g . d misses the change of energy by that round-off only. A quotient that is not
    // finite (d . d subnormal) drops the correction too.
    void correct(std::size_t first, std::size_t count, double h0, double h1, double* g) const {
        const std::size_t end = first + count;
        double dot = 0.0, dd = 0.0, size = 0.0;
        for (std::size_t j = first; j < end; ++j) dot += gm_[j] * d_[j];
        for (std::size_t j = first; j < end; ++j) dd += d_[j] * d_[j];
        for (std::size_t j = first; j < end; ++j) size += std::fabs(gm_[j] * d_[j]);
        const double defect = (h1 - h0) - dot;
        const double noise = kDefectRoundOff * ((std::fabs(h0) + std::fabs(h1)) + size);
        double c = 0.0;
        if (std::fabs(defect) > noise && dd >= std::numeric_limits<double>::min()) {
            c = defect / dd;
            if (!std::isfinite(c)) c = 0.0;
        }
        for (std::size_t j = first; j < end; ++j) g[j] = c * d_[j] + gm_[j];
    }

    const Model& model_;
    const Model& structure_;
    const SolverOptions& options_;
    std::span<const EnergyBlock> blocks_;
    std::size_t n_, m_;
    Scratch scratch_, structure_scratch_;
    LaneRhs<1> rhs_;
    IterationMatrix<1> matrix_;
    std::vector<double> x1_, xm_, d_, gm_, f_, r_, u_, su_, e0_, e1_;
    double last_update_ = 0.0;
};

Status check_structure(const Model& model, const Model& structure) {
    const std::size_t n = model.n_states, m = model.n_inputs;
    if (structure.n_states != n || structure.n_params != model.n_params || structure.n_inputs != m + n)
        return invalid("the structure model must have the model's " + std::to_string(n) + " states and " +
                       std::to_string(model.n_params) + " parameters and " + std::to_string(m + n) +
                       " inputs (the model's inputs, then one per state), got " +
                       std::to_string(structure.n_states) + " states, " + std::to_string(structure.n_params) +
                       " parameters and " + std::to_string(structure.n_inputs) + " inputs");
    if (model.grad_h_programs.size() != n)
        return invalid("the discrete gradient method needs the model's energy and its gradient (grad_H)");
    return {};
}

// the blocks take the states in order, each block's energy an output of the model
Status check_blocks(const Model& model, std::span<const EnergyBlock> blocks) {
    std::size_t next = 0;
    for (const EnergyBlock& b : blocks) {
        if (b.first != next || b.count > model.n_states - next)
            return invalid("the energy blocks must take the model's " + std::to_string(model.n_states) +
                           " states in order: a block of " + std::to_string(b.count) + " states starts at " +
                           std::to_string(b.first) + ", not at " + std::to_string(next));
        if (b.output >= model.output_programs.size())
            return invalid("the energy of a block is output " + std::to_string(b.output) + "; the model has " +
                           std::to_string(model.output_programs.size()) + " outputs");
        next += b.count;
    }
    if (!blocks.empty() && next != model.n_states)
        return invalid("the energy blocks take " + std::to_string(next) + " of the model's " +
                       std::to_string(model.n_states) + " states");
    return {};
}

}  // namespace

Result<Trajectory> simulate_discrete_gradient(const Model& model, const Model& structure,
                                              std::span<const double> x0, std::span<const double> t,
                                              const Inputs& inputs, const SolverOptions& options,
                                              std::optional<std::span<const double>> params,
                                              std::span<const EnergyBlock> blocks) {
    const std::size_t n = model.n_states;
    if (x0.size() != n)
        return invalid("initial state has " + std::to_string(x0.size()) + " entries, the model has " +
                       std::to_string(n) + " states");
    if (auto st = check_structure(model, structure); !st) return fail(std::move(st.error()));
    if (auto st = check_blocks(model, blocks); !st) return fail(std::move(st.error()));
    if (auto st = check_grid(model, t, inputs); !st) return fail(std::move(st.error()));
    if (params && params->size() != model.n_params)
        return invalid("expected " + std::to_string(model.n_params) + " parameter values, got " +
                       std::to_string(params->size()));
    if (!(options.rtol > 0.0))
        return invalid("the discrete gradient method needs rtol > 0 (its Newton test is relative to atol + rtol |x|)");

    const double* own = params ? params->data() : nullptr;
    Trajectory traj = Trajectory::sized_for(model, t, Method::Midpoint, options);
    DiscreteGradientRun run(model, structure, own, options, blocks);
    std::vector<double> x(x0.begin(), x0.end());
    if (!all_finite(x.data(), n)) return fail(NonFinite{"the state", t[0]});
    const RecordTarget target{traj.x, traj.u, traj.energy, traj.supplied_power, traj.outputs};
    std::copy_n(x.data(), n, traj.x.begin());
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
        const InputSource input = InputSource::of_series(inputs, i, model.n_inputs);
        if (auto st = run.step(x.data(), input, t[i], t[i + 1] - t[i]); !st) return fail(std::move(st.error()));
        run.counted.steps += 1;
        if (!all_finite(x.data(), n)) return fail(NonFinite{"the state", t[i + 1]});
        std::copy_n(x.data(), n, traj.x.begin() + static_cast<std::ptrdiff_t>((i + 1) * n));
    }
    Scratch scratch = Scratch::for_model(model);
    scratch.params = own;
    record_points(model, inputs, t, 0, t.size(), target, scratch);
    static_cast<Counters&>(traj) = run.counted;
    return traj;
}

}  // namespace zarel
