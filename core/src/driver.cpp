// The simulation driver: validation, one method call per output interval (or the whole run, for
// the adaptive pairs), and recording.
#include <algorithm>
#include <cmath>
#include <string>

#include "checked_size.hpp"
#include "lane_arrays.hpp"
#include "run.hpp"
#include "zarel/solver.hpp"

namespace zarel {

namespace {

// Plain decimal of a product that may not fit 64 bits, for the series-size message.
std::string exact_product(std::size_t a, std::size_t b) {
    unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(p % 10)));
        p /= 10;
    } while (p != 0);
    return {digits.rbegin(), digits.rend()};
}

Status check_series(std::size_t L, std::size_t m, const Inputs& inputs) {
    if (!inputs.present()) return {};
    const std::size_t got = inputs.size;
    if (m == 0) {
        if (got != 0) return invalid("the model has no inputs but inputs were given");
        return {};
    }
    // A product that does not fit can never equal a real series length.
    std::size_t expected = 0;
    if (__builtin_mul_overflow(L, m, &expected) || expected != got)
        return invalid("inputs must be len(t) x n_inputs = " + std::to_string(L) + " x " + std::to_string(m) + " = " +
                       exact_product(L, m) + " values, got " + std::to_string(got));
    return {};
}

}  // namespace

Status check_grid(const Model& model, std::span<const double> t, const Inputs& inputs) {
    const std::size_t L = t.size();
    if (L < 2) return invalid("the time grid needs at least two points");
    for (std::size_t j = 1; j < L; ++j)
        if (!(t[j - 1] < t[j]))  // also catches a NaN anywhere in the grid
            return invalid("the time grid must be strictly increasing (t[" + std::to_string(j) + "] = " +
                           format_number(t[j]) + " after t[" + std::to_string(j - 1) + "] = " +
                           format_number(t[j - 1]) + ")");
    return check_series(L, model.n_inputs, inputs);
}

void record(const Model& model, const Inputs& inputs, std::span<const double> t, std::size_t k, const double* x,
            double* u_rec, const RecordTarget& target, Scratch& scratch, double* out) {
    const std::size_t n = model.n_states;
    const std::size_t m = model.n_inputs;
    const std::size_t L = t.size();
    if (!target.x.empty()) std::copy_n(x, n, target.x.begin() + static_cast<std::ptrdiff_t>(k * n));

    // The last point has no interval of its own: it shows the end of the last interval's input.
    inputs.at(std::min(L - 2, k), m, u_rec, std::max<std::size_t>(m, 1), k == L - 1 ? 1.0 : 0.0);
    if (m > 0 && !target.u.empty()) std::copy_n(u_rec, m, target.u.begin() + static_cast<std::ptrdiff_t>(k * m));

    if (!target.energy.empty()) target.energy[k] = model.energy(x, scratch);
    if (!target.supplied_power.empty()) target.supplied_power[k] = model.supplied_power(x, u_rec, t[k], scratch);
    if (!target.outputs.empty()) {
        const std::size_t q = target.outputs.size() / L;
        model.fill_params(scratch);
        model.fill_point(x, u_rec, t[k], scratch.env.data());
        Model::eval_into(model.native.outputs, model.output_programs, scratch, out);
        std::copy_n(out, q, target.outputs.begin() + static_cast<std::ptrdiff_t>(k * q));
    }
}

void record_points(const Model& model, const Inputs& inputs, std::span<const double> t, std::size_t first,
                   std::size_t last, const RecordTarget& target, Scratch& scratch) {
    if (target.x.empty() || first >= last) return;
    const std::size_t n = model.n_states, m = model.n_inputs, p = model.n_params, L = t.size();
    const std::size_t q = target.outputs.size() / L;
    // the input in force at point k: the last point has no interval of its own, it shows the end
    // of the last interval's input
    std::vector<double> u_rec(std::max<std::size_t>(m, 1), 0.0);
    const auto input_at = [&](std::size_t k) -> const double* {
        if (m == 0) return u_rec.data();
        if (!target.u.empty()) return target.u.data() + k * m;
        inputs.at(std::min(L - 2, k), m, u_rec.data(), u_rec.size(), k == L - 1 ? 1.0 : 0.0);
        return u_rec.data();
    };
    const bool energy = !target.energy.empty(), power = !target.supplied_power.empty(), outputs = q > 0;
    const Model::Native::Packed& code = model.native.packed;
    const std::size_t w = model.native.lanes;
    if (w == 1 || !code.energy || !code.supplied_power || !code.outputs) {
        // point by point as record() goes, the states already in place
        const RecordTarget rest{{}, target.u, target.energy, target.supplied_power, target.outputs};
        std::vector<double> out(model.output_programs.size());
        for (std::size_t k = first; k < last; ++k)
            record(model, inputs, t, k, target.x.data() + k * n, u_rec.data(), rest, scratch, out.data());
        return;
    }
    if (m > 0 && !target.u.empty())
        for (std::size_t k = first; k < last; ++k)
            inputs.at(std::min(L - 2, k), m, target.u.data() + k * m, m, k == L - 1 ? 1.0 : 0.0);
    if (!energy && !power && !outputs) return;
    // each lane a point: the run's parameters in every lane, the points' states, inputs and times
    LaneArray env(checked_product(model.env_size(), w), 0.0), out(checked_product(std::max<std::size_t>(q, 1), w), 0.0);
    std::vector<double> result(w, 0.0);
    const double* params = scratch.params ? scratch.params : model.params.data();
    broadcast(env.data(), w, n + m, params, p);
    const std::size_t time = n + m + p;
    // what reads no slot is evaluated once
    const auto fill_fixed = [&](bool fixed, PackedFn code_of, std::span<double> into) {
        if (!fixed) return false;
        code_of(env.data(), out.data(), result.data());
        std::fill(into.begin() + static_cast<std::ptrdiff_t>(first), into.begin() + static_cast<std::ptrdiff_t>(last),
                  result[0]);
        return true;
    };
    const bool energy_points = energy && !fill_fixed(model.energy_is_fixed(), code.energy, target.energy);
    const bool power_points =
        power && !fill_fixed(model.supplied_power_is_fixed(), code.supplied_power, target.supplied_power);
    if (!energy_points && !power_points && !outputs) return;
    for (std::size_t k0 = first; k0 < last; k0 += w) {
        // lanes past the last point repeat it
        const auto point = [&](std::size_t l) { return std::min(k0 + l, last - 1); };
        for (std::size_t l = 0; l < w; ++l)
            for (std::size_t i = 0; i < n; ++i) env[i * w + l] = target.x[point(l) * n + i];
        if (energy_points) {
            for (std::size_t l = 0; l < w; ++l) {
                for (std::size_t j = 0; j < m; ++j) env[(n + j) * w + l] = 0.0;
                env[time * w + l] = 0.0;
            }
            code.energy(env.data(), out.data(), result.data());
            for (std::size_t l = 0; l < w && k0 + l < last; ++l) target.energy[k0 + l] = result[l];
        }
        if (!power_points && !outputs) continue;
        for (std::size_t l = 0; l < w; ++l) {
            const double* u = input_at(point(l));
            for (std::size_t j = 0; j < m; ++j) env[(n + j) * w + l] = u[j];
            env[time * w + l] = t[point(l)];
        }
        if (power_points) {
            code.supplied_power(env.data(), out.data(), result.data());
            for (std::size_t l = 0; l < w && k0 + l < last; ++l) target.supplied_power[k0 + l] = result[l];
        }
        if (outputs) {
            code.outputs(env.data(), out.data(), result.data());
            for (std::size_t l = 0; l < w && k0 + l < last; ++l)
                for (std::size_t j = 0; j < q; ++j) target.outputs[(k0 + l) * q + j] = out[j * w + l];
        }
    }
}

namespace {

// run_into's integration, recording into `target` as it goes.
Status integrate_into(const Model& model, std::span<const double> x0, std::span<const double> t, const Inputs& inputs,
                Method method, const SolverOptions& options, bool dense, Work& work, const RecordTarget& target) {
    const std::size_t m = model.n_inputs;
    const std::size_t L = t.size();
    std::vector<double> x(x0.begin(), x0.end());
    std::vector<double> u_rec(std::max<std::size_t>(m, 1), 0.0);

    if (!all_finite(x.data(), x.size())) return fail(NonFinite{"the state", t[0]});
    record(model, inputs, t, 0, x.data(), u_rec.data(), target, work.scratch, work.out.data());
    if (method == Method::Rk45) return rk45_run(model, x.data(), t, inputs, options, work, u_rec.data(), target, dense);
    if (method == Method::Dop853)
        return dop853_dense(model, x.data(), t, inputs, options, work, u_rec.data(), target, !dense);
    if (method == Method::Rodas5p)
        return rodas5p_dense(model, x.data(), t, inputs, options, work, u_rec.data(), target, !dense);
    if (method == Method::Gauss4) return gauss4_run(model, x.data(), t, inputs, options, work, u_rec.data(), target, dense);
    if (method == Method::Midpoint && dense)
        return adaptive_midpoint_run(model, x.data(), t, inputs, options, work, u_rec.data(), target);
    if (method != Method::Midpoint)
        return fixed_step_run(model, x.data(), t, inputs, method, work, u_rec.data(), target);

    for (std::size_t i = 0; i + 1 < L; ++i) {
        const double h = t[i + 1] - t[i];
        const InputSource input = InputSource::of_series(inputs, i, m);
        if (auto st = midpoint_recursive(model, x.data(), input, t[i], h, options, work, 0); !st) return st;
        work.steps += 1;
        if (!all_finite(x.data(), x.size())) return fail(NonFinite{"the state", t[i + 1]});
        record(model, inputs, t, i + 1, x.data(), u_rec.data(), target, work.scratch, work.out.data());
    }
    return {};
}

}  // namespace

Status run_into(const Model& model, std::span<const double> x0, std::span<const double> t, const Inputs& inputs,
                Method method, const SolverOptions& options, bool dense, Work& work, const RecordTarget& target) {
    Status st = integrate_into(model, x0, t, inputs, method, options, dense, work, states_of(target));
    if (st) record_points(model, inputs, t, 0, t.size(), target, work.scratch);
    return st;
}

Trajectory Trajectory::sized_for(const Model& model, std::span<const double> t, Method method,
                                 const SolverOptions& options) {
    const std::size_t L = t.size();
    const std::size_t q = options.record_outputs ? model.output_programs.size() : 0;
    Trajectory traj;
    traj.t.assign(t.begin(), t.end());
    traj.x.resize(checked_product(L, model.n_states));
    traj.u.resize(checked_product(L, model.n_inputs));
    if (options.record_energy) {
        traj.energy.resize(L);
        traj.supplied_power.resize(L);
    }
    traj.outputs.resize(checked_product(L, q));
    traj.method = method;
    return traj;
}

Result<Trajectory> simulate(const Model& model, std::span<const double> x0, std::span<const double> t,
                            const Inputs& inputs, Method method, const SolverOptions& options) {
    return simulate(model, x0, t, inputs, method, options, RunChoices{});
}

Result<Trajectory> simulate(const Model& model, std::span<const double> x0, std::span<const double> t,
                            const Inputs& inputs, Method method, const SolverOptions& options,
                            const RunChoices& choices) {
    const std::size_t n = model.n_states;

    if (x0.size() != n)
        return invalid("initial state has " + std::to_string(x0.size()) + " entries, the model has " +
                       std::to_string(n) + " states");
    if (auto st = check_grid(model, t, inputs); !st) return fail(std::move(st.error()));
    if (choices.params && choices.params->size() != model.n_params)
        return invalid("expected " + std::to_string(model.n_params) + " parameter values, got " +
                       std::to_string(choices.params->size()));

    Trajectory traj = Trajectory::sized_for(model, t, method, options);
    Work work = Work::for_run(model, method, choices.params ? choices.params->data() : nullptr, choices.dense);
    const RecordTarget target{traj.x, traj.u, traj.energy, traj.supplied_power, traj.outputs};
    if (auto st = run_into(model, x0, t, inputs, method, options, choices.dense, work, target); !st)
        return fail(std::move(st.error()));

    static_cast<Counters&>(traj) = work;
    traj.method = method;
    return traj;
}

}  // namespace zarel
